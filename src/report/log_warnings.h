// Warnings about logs that do not have the shape their rules expect. The
// figures stay the rules' figures; these tell the user that they may not be
// the figures the user meant.
#ifndef ENERGY_TOTALS_LOG_WARNINGS_H
#define ENERGY_TOTALS_LOG_WARNINGS_H

#include <cstdio>

#include "read/power_logs.h"

// A log that has been read, and what its reader saw of it.
struct read_log_report {
    const char* name;        // as it was opened
    const char* case_name;   // said before the name where the name does not hold the case
    const log_shape* shape;
    double seconds_per_line; // the period its weight stands for; 0 for the CPU log
    unsigned readings_per_line = 1; // the CPU log's: two, by its default rule
    bool stamped = false;    // the total-power log, read by its time stamps
};

// Writes to out one line "energy-totals: NAME: ..." for each thing wrong
// with the logs, logs[0] the total-power log, logs[1] the CPU log, then
// count - 2 GPU logs (time-stamped where gpu_stamps is set): no readings at
// all, a CPU header that holds readings, readings that are not numbers (a
// first line without one in the total-power or GPU log is a header and
// passes; blank lines at the end pass), blank lines among the readings,
// nan or infinite readings, readings that run on into other bytes, each
// with the first line it saw them on, a last
// line without a newline (or lines ended by carriage returns alone); skipped
// lines and gaps in time-stamped logs.
// Then readings that can't be power: negative ones, ones that never fall
// (a clock read as power), GPU readings above 5000 W, and figures s whose
// total energy is below the total CPU or GPU. Then two checks of time:
// each GPU log's length against the total-power log's at their periods
// (or by its stamps), beyond 1.25 times either way; and the total-power
// log's time stamps, on its first and last lines, against its period.
// Writes nothing for logs that fit their rules.
void warn_about_logs(FILE* out, const read_log_report* logs, int count, bool gpu_stamps,
                     const energy_summary& s);

// What is odd about the one log of every GPU (--gpu-log), or worth saying:
// a power column in milliwatts, headers met again, a count of GPUs other
// than --gpus (where given), GPUs told by their place in a round where it
// has no id column and rounds of another size, a GPU with fewer lines
// than the others, and, for ids that are not indexes, which GPU is which.
void warn_about_gpu_log(FILE* out, const read_log_report& log, const gpu_csv_log& all, int gpus,
                        bool gpus_given);

// What is odd about a CPU log read by its format's reader: lines of
// another shape, perf's <not counted>, events that are no package's, more
// or fewer sockets than --cpus, wraps, intervals long enough for two.
void warn_about_cpu_log(FILE* out, const read_log_report& log, const cpu_log& cpu);

// The seconds the node log covers, by the stamps of its first and last
// lines (its own first and last good stamps where read by them, stamped):
// false where it has none.
bool node_log_span(const log_shape& shape, bool stamped, double* first, double* last);

// The nodes of a case whose node logs start or end further apart than the
// larger of 2% of the run and 5 s: each such node, and its span, said.
// known[i] false: node i's span is not known, and is passed over.
void warn_about_node_spans(FILE* out, const char* const* names, const double* first, const double* last,
                           const bool* known, int count);

// The node log (cpu false) or the CPU log read by its plain rule, with
// lines the rule found no reading in, whose first lines are of another
// format: what it is, and the option that reads it.
void warn_about_format(FILE* out, const read_log_report& log, bool cpu);

// The codes of the warnings written, in order, where a run keeps them for
// its record: each warning is one line, and its code names it whatever its
// wording ("not-numbers", "gaps", ...).
struct warning_codes {
    const char* code[256];
    int count = 0;
};

// Says that the log name does not fit the format that option (as
// "--cpu-format=perf") asks for: "couldn't read NAME: it does not fit
// OPTION" on standard output, and why (after the case's name where given),
// then hint, on standard error.
void say_not_fitting(const char* name, const char* option, const char* case_name, const char* why,
                     const char* hint = "");

// From now on, each warning's code goes into codes (nullptr: nowhere).
void collect_warning_codes(warning_codes* codes);

// Notes the code of the warning about to be written (warnings written
// outside this file call it too).
void note_warning_code(const char* code);

// The seconds of the stamp that is the line's first field, of any form the
// stamps take (since the epoch, or since midnight with *clock for a time
// of day); false where the line does not start with one.
bool line_stamp(const picked_line& line, double* seconds, bool* clock);

#endif
