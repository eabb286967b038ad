// The lines: where each log's rule finds its readings in a line, in two
// named implementations that give the same readings, counts and bits: the
// portable one, a walk over the line's bytes, on every CPU, which is also
// every test's reference; and the AVX2 one (masks of 64 bytes, windows of
// lines whatever their readings' widths, lines read four at a time where
// their shape repeats), where the CPU has it. A line that does not fit the
// AVX2 one's paths, and the last bytes of a buffer, take the walk.
//
// Each scanner adds its log's readings, weighted, in file order into its
// figures of the energy summary (the product rounded to double first, then
// added), and counts what it saw in a log_shape. It reads nothing outside the
// range it is given and does not allocate.
#ifndef ENERGY_TOTALS_LOG_LINES_H
#define ENERGY_TOTALS_LOG_LINES_H

#include <cstddef>
#include <cstdint>

#include "base/energy_summary.h"
#include "read/log_kinds.h"
#include "read/log_shape.h"

// The implementations of the scanners.
enum class line_kernel : int { portable, avx2 };

// Whether this build and CPU can run kernel k: the portable one always.
bool line_kernel_available(line_kernel k);

// The kernel the scanners run: avx2 where available, set before main; the
// figures are the same either way. Tests and fuzzers set it to run each;
// nothing may change it while a scanner runs.
extern line_kernel lines_kernel;

// The name of kernel k, for messages: "portable" or "avx2".
const char* line_kernel_name(line_kernel k);

// The whitespace of the n bytes at p (n at most 64) as bits, by the kernel
// in use: bit i is set where p[i] is whitespace, and every bit from n up.
// Nothing past p + n is read.
uint64_t whitespace_bits(const char* p, size_t n);

// The newlines of the n bytes at p (n at most 64) as bits, by the kernel
// in use: bit i is set where p[i] is '\n'. Nothing past p + n is read.
uint64_t newline_bits(const char* p, size_t n);

// The line scanners the readers run over each buffer of whole lines; they
// are exposed so that tests and fuzzers can feed them from memory. [begin,
// end) holds whole lines, each ending in '\n' (so end[-1] == '\n'), none of
// them a CPU log's header. Nothing outside [begin, end) is read. Each adds
// its lines, and the readings that do not fit the plain shape, to shape.
// weight is what each reading is multiplied by (the CPU log's readings are
// added as they stand); the defaults are the periods, in seconds, that a
// line of the total-power and GPU logs stands for.
constexpr double total_power_weight = total_power_kind.weight;
constexpr double gpu_weight = gpu_kind.weight;
void add_total_power_lines(const char* begin, const char* end, energy_summary& s,
                           log_shape& shape, double weight = total_power_weight);
void add_cpu_power_lines(const char* begin, const char* end, energy_summary& s,
                         log_shape& shape, double weight = 1);
void add_gpu_power_lines(const char* begin, const char* end, energy_summary& s,
                         log_shape& shape, double weight = gpu_weight);

// The readings of one line [p, end), end past its newline, into
// readings (two in the CPU log), by the portable walk: for a line longer
// than the timed readers' slices.
void total_power_line(const char* p, const char* end, log_shape& shape, double* readings);
void cpu_power_line(const char* p, const char* end, log_shape& shape, double* readings);
void gpu_power_line(const char* p, const char* end, log_shape& shape, double* readings);

// The same scanners, for a log read in chunks on several threads: each
// keeps its lines' readings in order from out on (the CPU log's two a line,
// field 3 then field 7) rather than adding them, and returns past the last
// it kept. out must have room for one reading a byte of [begin, end) (two
// in the CPU log). They count in shape as the others do, negative readings
// among them, but leave the rest of its statistics to the sum.
double* keep_total_power_readings(const char* begin, const char* end, double* out,
                                  log_shape& shape);
double* keep_cpu_power_readings(const char* begin, const char* end, double* out,
                                log_shape& shape);
double* keep_gpu_power_readings(const char* begin, const char* end, double* out,
                                log_shape& shape);

// Adds kept readings in order, each times weight, into figure and range,
// exactly as the scanners add them as they go: the same bits, whatever
// the chunks were.
void add_kept_readings(const double* readings, size_t count, double weight, double& figure,
                       reading_range& range);
// The CPU log's kept pairs: field 3 into cpu1 and field 7 into cpu2.
void add_kept_cpu_readings(const double* readings, size_t lines, double& cpu1, double& cpu2);

#endif
