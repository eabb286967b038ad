// Warnings about logs that do not have the shape their rules expect. The
// figures stay the rules' figures; these tell the user that they may not be
// the figures the user meant.
#ifndef ENERGY_TOTALS_LOG_WARNINGS_H
#define ENERGY_TOTALS_LOG_WARNINGS_H

#include <cstdio>

#include "power_logs.h"

// A log that has been read, and what its reader saw of it.
struct read_log_report {
    const char* name;
    const log_shape* shape;
};

// Writes to out one line "energy-totals: NAME: ..." for each thing wrong
// with each log: readings that are not numbers (a first line without one in
// the total-power or GPU log is a header and passes), nan or infinite
// readings, readings that run on into other bytes, a last line without a
// newline; and, on the
// GPU log, a length in time that does not agree with the total-power log's
// at the sampling periods the weights stand for (0.5 s and 0.1 s a line).
// Writes nothing for logs that fit their rules.
void warn_about_logs(FILE* out, const read_log_report& total, const read_log_report& cpu,
                     const read_log_report& gpu);

#endif
