// The three readers of plain logs, and what every reader notes of a log's
// lines for the warnings.
#include "power_logs.h"

#include <cstring>

#include "log_reading.h"

// Keeps the first bytes of a line, and its number, in picked.
void pick(picked_line& picked, uint64_t number, const char* text, size_t length)
{
    picked.number = number;
    picked.length = length < sizeof picked.text ? length : sizeof picked.text;
    std::memcpy(picked.text, text, picked.length);
}

void pick_first(picked_line& picked, uint64_t number, const char* text, size_t length)
{
    if (picked.number == 0)
        pick(picked, number, text, length);
}

void note_blank(blank_lines& b)
{
    ++(b.any_other ? b.trailing : b.leading);
}

void note_other(blank_lines& b)
{
    if (b.any_other)
        b.among += b.trailing;
    b.trailing = 0;
    b.any_other = true;
}

// The blank lines of part appended to those of into, which came before it.
void merge_blanks(blank_lines& into, const blank_lines& part)
{
    if (!part.any_other) {
        (into.any_other ? into.trailing : into.leading) += part.leading;
        return;
    }
    if (into.any_other) {
        into.among += into.trailing + part.leading + part.among;
    } else {
        into.leading += part.leading;
        into.among = part.among;
    }
    into.trailing = part.trailing;
    into.any_other = true;
}

bool is_blank_line(const char* p, const char* end)
{
    while (p < end && is_space(*p))
        ++p;
    return p == end;
}

run_line quoted(const line_run& run, const char* p, const char* end)
{
    if (run.condensed != nullptr)
        return {run.condensed->head, run.condensed->head_length};
    return {p, static_cast<size_t>(end - 1 - p)};
}

// Looks at each line of the run alone, by the rule, for what the warnings
// say: blank lines, and the first line of each kind of fault. number is
// the number of the line before the run; a header is passed over.
void walk_faults(const line_run& run, const log_rule& rule, uint64_t number, bool header,
                 log_shape& shape)
{
    for (const char* p = run.begin; p < run.end; ++number) {
        const char* end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(run.end - p))) + 1;
        run_line line = quoted(run, p, end);
        const char* at = p;
        p = end;
        if (header && at == run.begin)
            continue;
        energy_summary ignored;
        log_shape seen;
        rule.scan(at, end, ignored, seen, 1);
        if (is_blank_line(at, end)) {
            note_blank(shape.blanks);
        } else {
            note_other(shape.blanks);
            pick(shape.last_line, number + 1, line.text, line.length);
            if (seen.no_reading != 0)
                pick_first(shape.no_reading_line, number + 1, line.text, line.length);
        }
        if (seen.runs_on != 0)
            pick_first(shape.runs_on_line, number + 1, line.text, line.length);
        if (seen.not_finite != 0)
            pick_first(shape.not_finite_line, number + 1, line.text, line.length);
        if (seen.readings.negatives != 0)
            pick_first(shape.negative_line, number + 1, line.text, line.length);
    }
}

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
