// The three readers of plain logs, each by its log's rule; how the logs
// read by their stamps make energy (timed_integration); a JSON record's
// values.
#include "read/power_logs.h"

#include <cmath>
#include <cstring>

#include "read/log_reading.h"

namespace {

// Reads a log by its rule into s and shape. With header_if_no_reading, a
// first line without a reading is taken for a header and set apart in
// shape (its 0 is still added, as for any such line, but kept out of the
// readings' lowest, highest and steps).
int read_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape, const log_rule& rule,
             double weight)
{
    byte_source src = whole_file(fd);
    return read_lines(src, lb, rule, shape, [&](const line_run& run) {
        take_lines(run, rule, shape, [&](const char* b, const char* e) { rule.scan(b, e, s, shape, weight); });
    });
}

} // namespace

int read_total_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape,
                         double weight)
{
    return read_log(fd, lb, s, shape, total_power_rule, weight);
}

int read_cpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape, double)
{
    return read_log(fd, lb, s, shape, cpu_rule, 1);
}

int read_gpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape,
                       double weight)
{
    return read_log(fd, lb, s, shape, gpu_rule, weight);
}

integration_rule timed_integration = integration_rule::trapezoid;

const char* json_value(const char* p, const char* end, const char* key)
{
    size_t n = std::strlen(key);
    for (const char* q = p; (q = static_cast<const char*>(memmem(q, static_cast<size_t>(end - q), key, n))) != nullptr;
         q += n) {
        const char* v = skip_blanks(q + n);
        if (*v == ':')
            return skip_blanks(v + 1);
    }
    return nullptr;
}
