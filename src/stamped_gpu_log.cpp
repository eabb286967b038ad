// The time-stamped GPU log's reader: energy by the trapezoid rule over the
// lines' own time stamps, and what its stamps say of the meter.
#include "power_logs.h"

#include <cstdint>
#include <cstring>

#include "log_reading.h"
#include "time_stamps.h"

namespace {

// Intervals more than this many times the typical one are gaps.
constexpr int64_t gap_factor = 3;

int64_t median(int64_t* v, int n)
{
    // Few values, once: an insertion sort.
    for (int i = 1; i < n; ++i)
        for (int j = i; j > 0 && v[j - 1] > v[j]; --j) {
            int64_t t = v[j];
            v[j] = v[j - 1];
            v[j - 1] = t;
        }
    // The lower middle where n is even: of two intervals, a stall can
    // only be the longer one.
    return v[(n - 1) / 2];
}

void note_gap(stamp_shape& st, int64_t interval, uint64_t line)
{
    if (st.typical_ns > INT64_MAX / gap_factor || interval <= gap_factor * st.typical_ns)
        return;
    ++st.gaps;
    if (interval > st.longest_gap_ns) {
        st.longest_gap_ns = interval;
        st.longest_gap_line = line;
    }
}

// Sets the typical interval from those sampled, and judges them by it.
void settle_typical(stamp_shape& st)
{
    int64_t sorted[sizeof st.sample / sizeof st.sample[0]] = {};
    for (int i = 0; i < st.sampled; ++i)
        sorted[i] = st.sample[i];
    st.typical_ns = median(sorted, st.sampled);
    for (int i = 0; i < st.sampled; ++i)
        note_gap(st, st.sample[i], st.sample_line[i]);
}

void note_interval(stamp_shape& st, int64_t interval, uint64_t line)
{
    constexpr int room = sizeof st.sample / sizeof st.sample[0];
    if (st.sampled < room) {
        st.sample[st.sampled] = interval;
        st.sample_line[st.sampled++] = line;
        if (st.sampled == room)
            settle_typical(st);
        return;
    }
    note_gap(st, interval, line);
}

// The state of the trapezoid rule between lines.
struct stamped_state {
    double energy = 0.0;
    bool have_last = false;
    int64_t last_ns = 0;
    double last_reading = 0.0;
    uint64_t number = 0;
    stamp_prefix prefix;
};

// The time-stamped GPU log's line at p, in a run of lines that ends at
// end: a stamp, a comma, then the reading. Returns the next line.
const char* take_stamped_line(const char* p, const char* end, bool first, stamped_state& state,
                              log_shape& shape)
{
    stamp_shape& st = shape.stamps;
    ++state.number;
    ++shape.lines;
    const char* line = p;
    const char* line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    size_t length = static_cast<size_t>(line_end - line);
    while (is_blank(*p))
        ++p;
    // The newline ends the stamp, whatever its form.
    int64_t ns;
    const char* after;
    bool good = parse_time_stamp(p, end, &ns, &after, &state.prefix);
    if (good) {
        p = skip_blanks(after);
        good = *p == ',' && (!state.have_last || ns > state.last_ns);
        // Several lines at one instant: one log of several GPUs?
        st.shared += *p == ',' && state.have_last && ns == state.last_ns;
    }
    if (!good) {
        if (!first) {
            ++st.skipped;
            pick_first(st.skipped_line, state.number, line, length);
        } else {
            shape.header = true;
            ++shape.no_reading;
        }
        return line_end + 1;
    }
    log_shape seen;
    const char* stop;
    double reading = scan_reading(p + 1, &stop, seen);
    if (seen.no_reading != 0) {
        // No number ("[N/A]", a GPU's name): no point of the curve, and the
        // line on either side of it are joined.
        ++shape.no_reading;
        pick_first(shape.no_reading_line, state.number, line, length);
        return line_end + 1;
    }
    // A unit after a blank, or the next column after ", " as nvidia-smi
    // writes it, is the meter's; a number run straight on into other
    // bytes ("12W", a decimal comma, "30,3") is not.
    if (seen.runs_on != 0 && !(stop[0] == ',' && is_space(stop[1]))) {
        ++shape.runs_on;
        pick_first(shape.runs_on_line, state.number, line, length);
    }
    if (seen.not_finite != 0) {
        ++shape.not_finite;
        pick_first(shape.not_finite_line, state.number, line, length);
    }
    shape.readings.see(reading);
    if (reading < 0)
        pick_first(shape.negative_line, state.number, line, length);
    if (state.have_last) {
        double dt = static_cast<double>(ns - state.last_ns) / 1e9;
        double area = add_figures(state.last_reading, reading) * dt * 0.5;
        state.energy = add_figures(area, state.energy);
        note_interval(st, ns - state.last_ns, state.number);
    } else {
        st.first_ns = ns;
    }
    st.last_ns = ns;
    ++st.good;
    state.have_last = true;
    state.last_ns = ns;
    state.last_reading = reading;
    return line_end + 1;
}

} // namespace

int read_stamped_gpu_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape, double)
{
    stamped_state state;
    state.energy = s.gpu1;
    byte_source src = whole_file(fd);
    int status = read_lines(src, lb, stamped_gpu_rule, shape, [&](const line_run& run) {
        if (run.first) {
            const char* end = static_cast<const char*>(std::memchr(run.begin, '\n', static_cast<size_t>(run.end - run.begin)));
            run_line line = quoted(run, run.begin, end + 1);
            pick(shape.opening, 1, line.text, line.length);
        }
        for (const char* p = run.begin; p < run.end;)
            p = take_stamped_line(p, run.end, run.first && p == run.begin, state, shape);
    });
    stamp_shape& st = shape.stamps;
    if (st.typical_ns == 0 && st.sampled > 0)
        settle_typical(st);
    s.gpu1 = state.energy;
    return status;
}
