// The case in time, as a run reports it: the marks and the window read,
// the logs read again in time, each phase's figures (and the time no
// phase marks) printed after the summary, gross and net of idle power, the
// rows of phases; and the meters' view (case_view.h) for the picture, the
// series and the record.
#ifndef ENERGY_TOTALS_PHASE_REPORT_H
#define ENERGY_TOTALS_PHASE_REPORT_H

#include <cstddef>
#include <cstdio>

#include "base/run_options.h"
#include "base/energy_summary.h"
#include "case/case_view.h"
#include "case/phases.h"

struct gpu_csv_log;
struct log_shape;

// The case's logs, as the run named them, and what it saw of the GPUs'.
struct phase_logs {
    const char* case_name = nullptr; // for messages
    const char* total = nullptr;
    const char* cpu = nullptr;
    const char* gpus[max_gpus] = {}; // each GPU's log, or the one of every GPU
    double gpu_period = 0;           // seconds between a GPU's readings, where known
    bool averaged = false;           // the GPU's power column averages over a second
    // A date the logs' stamps hold, to the hour (their first GPU stamp),
    // which dates the logs' times of day where no mark does.
    bool dated = false;
    int64_t date_ns = 0;
    // Where the run reads the one log of every GPU in time alone: its
    // record, filled there; where it reads the plain logs there alone, each
    // one's figures and what was seen of it (the node's, the CPUs', then
    // each GPU's), filled there as the plain readers fill them. Failures
    // are then left unsaid, for the run to say as it reads the logs again.
    gpu_csv_log* all_gpus = nullptr;
    energy_summary* parts = nullptr;
    log_shape* shapes = nullptr;
};

// What the phases came to, as printed, appended and recorded: each
// phase's figures (index plan.count: the time no phase marks, where phases
// do not overlap), gross and net of idle power, and its seconds. The sums
// over a case's nodes are one of these too.
struct phase_totals {
    int blocks = 0;                   // the phases, and unmarked where it is one
    char names[max_phases + 1][max_phase_name] = {};
    bool net = false;                 // idle power given: net figures too
    energy_summary gross[max_phases + 1];
    energy_summary net_figures[max_phases + 1];
    double seconds[max_phases + 1] = {};
};

// What the run's phases came to. Memory of its own: free_phase_report.
struct phase_report {
    phase_plan plan;
    phase_sums sums;
    int gpu_source[max_gpus] = {};
    energy_summary idle;  // each figure's idle power, in watts (all 0 without)
    bool net = false;     // idle power given: net figures are printed
    int idle_phase = -1;
    case_view* view = nullptr; // where the readings are gathered too, if anywhere
    phase_totals totals;       // once split
};

// Reads the marks (--phases) and the window (--window) into report.plan.
// Returns 0, or -1 having said what is wrong (status 255, nothing read).
int read_phase_plan(const run_options& options, phase_report& report);

// Whether split_by_phase reads logs whose times of day are dated in time
// once: not where a window counts from their coverage, which a pass of
// its own finds first.
bool reads_logs_once(const phase_plan& plan);

// Reads the case's logs again, in time, and splits each meter's energy at
// the phases' edges; then settles the idle power. Returns 0, or -1 having
// said what is wrong: a log that can't be read again, a phase outside a
// log, an idle phase or a row's phase the marks do not name. Its totals
// are then report.totals. Warns (on
// err) of a phase partly outside a log, or too short for its GPU readings.
int split_by_phase(const run_options& options, const phase_logs& logs, phase_report& report, FILE* err);
// Its two steps: the logs read in time into report.sums (and the view),
// then the phases checked and their idle power and totals settled.
int read_by_phase(const run_options& options, const phase_logs& logs, phase_report& report);
int judge_phases(const run_options& options, const phase_logs& logs, phase_report& report, FILE* err);

// Writes the picture (--plot) and the series (--series), each to a file of
// its own renamed into place. Returns 0, or -1 having said what is wrong.
int draw_case(const run_options& options, const phase_logs& logs, phase_report& report);

// The phases' spans as the picture shades them, at most max_drawn_phases,
// named from the plan. Returns their count.
constexpr int max_drawn_phases = 256;
int drawn_phases(const phase_plan& plan, drawn_phase* phases);

// Writes the picture (--plot) of a case over several nodes. Returns 0, or
// -1 having said what is wrong.
int draw_nodes(const run_options& options, const node_curve* nodes, const char* const* names, int count,
               const drawn_phase* phases, int phase_count);

// Keeps a node's readings, as its view of report kept them, in the file
// fd (from its start, what it held before cut off): each as the number of
// its figure (0 the node's, then CPU1.., then GPU1..), its instant and
// watts. Sets *from_ns to its first reading, where earlier. Returns 0 or an
// errno.
int keep_node_series(const run_options& options, phase_report& report, int fd, int64_t* from_ns);

// Writes the series (--series) of a case over several nodes, from each
// node's readings kept in fds[n] by keep_node_series: "seconds,meter,watts",
// seconds from from_ns, each reading's meter by its name and its node's,
// as GPU1@node07, the nodes in order. Returns 0, or -1 having said what is
// wrong.
int draw_nodes_series(const run_options& options, const int* fds, const char* const* names, int count,
                      int64_t from_ns);

// The name of GPU k's or CPU k's or the node's meter, as the picture and
// the record name it, into buf.
void meter_name(const run_options& options, int i, char* buf, size_t size);

// Adds part's figures into sum's, a node's into the case's: where first,
// sum takes part as it is; the seconds are the longer of the two.
void add_phase_totals(phase_totals& sum, const phase_totals& part, bool first);

// Prints, after the summary, a block for each phase (and for the time no
// phase marks, where phases do not overlap): "phase: NAME", "seconds: S",
// then its figures as the summary labels them, then, with idle power, each
// again net of it ("net total energy: ...").
void print_phase_blocks(FILE* out, const run_options& options, const phase_totals& totals);

// The figures of the run's row as --row asks: the whole run's (whole),
// one phase's, or the whole run's net of idle power.
energy_summary row_figures_of(const run_options& options, const phase_report& report,
                              const energy_summary& whole);

// Appends to rows (which holds used bytes, in room of size) a row for each
// phase (and unmarked), labelled LABEL/NAME (label: --label, or a node's
// LABEL@NODE), by format_results_row, net where --row=net. Returns the
// bytes used, or -1 where they do not fit.
int format_phase_rows(const run_options& options, const phase_totals& totals, const char* label, char* rows,
                      size_t used, size_t size);

// The meter (timed_readings.h) of figure i of the summary (0 the node's,
// then CPU1.., then GPU1..); -1 where it has none.
int meter_of_figure(const phase_report& report, const run_options& options, int i);

void free_phase_report(phase_report& report);

#endif
