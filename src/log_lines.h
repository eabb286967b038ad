// The lines: where each log's rule finds its readings in a line, in two
// forms that give the same readings: a walk over the line's bytes, and on
// x86-64 (SSE2) a classification of 16 to 64 bytes at a time into bit
// masks, whose fields and newline come from bit operations. A line that does
// not fit the masks, and the last bytes of a buffer, take the walk.
//
// Each scanner adds its log's readings, weighted, in file order into its
// figures of the energy summary (the product rounded to double first, then
// added), and counts what it saw in a log_shape. It reads nothing outside the
// range it is given and does not allocate.
#ifndef ENERGY_TOTALS_LOG_LINES_H
#define ENERGY_TOTALS_LOG_LINES_H

#include "energy_summary.h"
#include "log_shape.h"

// Whether the scanners classify lines 32 bytes an instruction (AVX2) rather
// than 16: set before main where the CPU has AVX2, on x86-64; the figures
// are the same either way. Tests set it to try both; nothing may change it
// while a scanner runs.
extern bool wide_line_masks;

// The line scanners the readers run over each buffer of whole lines; they
// are exposed so that tests and fuzzers can feed them from memory. [begin,
// end) holds whole lines, each ending in '\n' (so end[-1] == '\n'), none of
// them a CPU log's header. Nothing outside [begin, end) is read. Each adds
// its lines, and the readings that do not fit the plain shape, to shape.
// weight is what each reading is multiplied by (the CPU log's readings are
// added as they stand); the defaults are the periods, in seconds, that a
// line of the total-power and GPU logs stands for.
constexpr double total_power_weight = 0.5;
constexpr double gpu_weight = 0.1;
void add_total_power_lines(const char* begin, const char* end, energy_summary& s,
                           log_shape& shape, double weight = total_power_weight);
void add_cpu_power_lines(const char* begin, const char* end, energy_summary& s,
                         log_shape& shape, double weight = 1);
void add_gpu_power_lines(const char* begin, const char* end, energy_summary& s,
                         log_shape& shape, double weight = gpu_weight);

#endif
