#include "log_warnings.h"

namespace {

// The sampling periods, in seconds, that the weights of the total-power and
// GPU logs stand for.
constexpr double total_seconds_per_line = 0.5;
constexpr double gpu_seconds_per_line = 0.1;

// Logs shorter than this, in lines, are too short for their lengths in time
// to be compared: a few lines either way at the ends would decide it.
constexpr unsigned long long lines_to_compare = 20;

unsigned long long as_count(uint64_t n)
{
    return static_cast<unsigned long long>(n);
}

// The lines of the log that are not a header, and so stand for time.
unsigned long long data_lines(const log_shape& shape)
{
    return as_count(shape.lines) - (shape.header ? 1 : 0);
}

void warn_about_shape(FILE* out, const read_log_report& log, unsigned readings_per_line)
{
    const log_shape& shape = *log.shape;
    unsigned long long missing = as_count(shape.no_reading) - (shape.header ? 1 : 0);
    if (missing > 0)
        std::fprintf(out,
                     "energy-totals: %s: %llu of the %llu readings it should hold are not "
                     "numbers; each adds 0\n",
                     log.name, missing, data_lines(shape) * readings_per_line);
    if (shape.not_finite > 0)
        std::fprintf(out,
                     "energy-totals: %s: %llu readings are nan or infinite, and so is the "
                     "figure\n",
                     log.name, as_count(shape.not_finite));
    if (shape.runs_on > 0)
        std::fprintf(out,
                     "energy-totals: %s: %llu readings run on into other characters (as in 12W, "
                     "1,5 or 10:00); only the number before them counts\n",
                     log.name, as_count(shape.runs_on));
    if (shape.unended)
        std::fprintf(out,
                     "energy-totals: %s: the last line has no newline; the log may be cut off "
                     "or still being written\n",
                     log.name);
}

void warn_about_durations(FILE* out, const read_log_report& total, const read_log_report& gpu)
{
    unsigned long long total_lines = data_lines(*total.shape);
    unsigned long long gpu_lines = data_lines(*gpu.shape);
    if (total_lines < lines_to_compare || gpu_lines < lines_to_compare)
        return;
    double total_seconds = static_cast<double>(total_lines) * total_seconds_per_line;
    double gpu_seconds = static_cast<double>(gpu_lines) * gpu_seconds_per_line;
    if (gpu_seconds <= total_seconds * 1.5 && gpu_seconds * 1.5 >= total_seconds)
        return;
    std::fprintf(out,
                 "energy-totals: %s: covers %.1f s at %g s a line, but %s covers %.1f s at %g s "
                 "a line (several GPUs in one log, another sampling period, or a log from "
                 "another run?)\n",
                 gpu.name, gpu_seconds, gpu_seconds_per_line, total.name, total_seconds,
                 total_seconds_per_line);
}

} // namespace

void warn_about_logs(FILE* out, const read_log_report& total, const read_log_report& cpu,
                     const read_log_report& gpu)
{
    warn_about_shape(out, total, 1);
    warn_about_shape(out, cpu, 2);
    warn_about_shape(out, gpu, 1);
    warn_about_durations(out, total, gpu);
}
