// The time-stamped GPU log's reader: energy by the trapezoid rule over the
// lines' own time stamps, and what its stamps say of the meter.
#include "power_logs.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// The first intervals of a log, and the lines that end them, kept until
// there are enough to tell the typical one.
struct interval_sample {
    int count = 0;
    int64_t interval[31];
    uint64_t line[31];
};

// Sets the typical interval from those sampled, and judges them by it.
void settle_typical(stamp_shape& st, const interval_sample& sample)
{
    int64_t sorted[sizeof sample.interval / sizeof sample.interval[0]] = {};
    for (int i = 0; i < sample.count; ++i)
        sorted[i] = sample.interval[i];
    st.typical_ns = median(sorted, sample.count);
    for (int i = 0; i < sample.count; ++i)
        note_gap(st, sample.interval[i], sample.line[i]);
}

// Sets the typical interval where the log ended before the sample was full.
void settle_at_end(stamp_shape& st, const interval_sample& sample)
{
    if (st.typical_ns == 0 && sample.count > 0)
        settle_typical(st, sample);
}

void note_interval(stamp_shape& st, interval_sample& sample, int64_t interval, uint64_t line)
{
    constexpr int room = sizeof sample.interval / sizeof sample.interval[0];
    if (sample.count < room) {
        sample.interval[sample.count] = interval;
        sample.line[sample.count++] = line;
        if (sample.count == room)
            settle_typical(st, sample);
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
    interval_sample sample;
};

// Adds the good point (ns, reading) of line number to the curve: the
// trapezoid to the point before, and the stamps' statistics.
void add_point(stamped_state& state, log_shape& shape, int64_t ns, double reading, uint64_t number)
{
    stamp_shape& st = shape.stamps;
    shape.readings.see(reading);
    if (state.have_last) {
        double dt = static_cast<double>(ns - state.last_ns) / 1e9;
        double area = add_figures(state.last_reading, reading) * dt * 0.5;
        state.energy = add_figures(area, state.energy);
        note_interval(st, state.sample, ns - state.last_ns, number);
    } else {
        st.first_ns = ns;
    }
    st.last_ns = ns;
    ++st.good;
    state.have_last = true;
    state.last_ns = ns;
    state.last_reading = reading;
}

// A line of a time-stamped log as the warnings quote it.
struct quoted_line {
    uint64_t number;
    const char* text;
    size_t length;
};

// A line skipped for its stamp: none, or not later than its curve's last.
void skip_line(log_shape& shape, const quoted_line& q)
{
    ++shape.stamps.skipped;
    pick_first(shape.stamps.skipped_line, q.number, q.text, q.length);
}

// Takes the reading at p of line q, stamped ns, into the curve of state
// (its statistics in curve), what is odd about it counted and quoted in
// shape. A reading that is no number ("[N/A]", a GPU's name) is no point of
// the curve: the lines on either side of it are joined. A unit after a
// blank, or the next column after ", " as nvidia-smi writes it, is the
// meter's; a number run straight on into other bytes ("12W", a decimal
// comma, "30,3") is not.
void take_reading(const char* p, int64_t ns, const quoted_line& q, stamped_state& state,
                  log_shape& curve, log_shape& shape)
{
    log_shape seen;
    const char* stop;
    double reading = scan_reading(p, &stop, seen);
    if (seen.no_reading != 0) {
        ++shape.no_reading;
        pick_first(shape.no_reading_line, q.number, q.text, q.length);
        return;
    }
    if (seen.runs_on != 0 && !(stop[0] == ',' && is_space(stop[1]))) {
        ++shape.runs_on;
        pick_first(shape.runs_on_line, q.number, q.text, q.length);
    }
    if (seen.not_finite != 0) {
        ++shape.not_finite;
        pick_first(shape.not_finite_line, q.number, q.text, q.length);
    }
    if (reading < 0)
        pick_first(shape.negative_line, q.number, q.text, q.length);
    add_point(state, curve, ns, reading, q.number);
}

// The time-stamped GPU log's line at p, in a run of lines that ends at
// end: a stamp, a comma, then the reading. Returns the next line.
const char* take_stamped_line(const char* p, const char* end, bool first, stamped_state& state,
                              log_shape& shape)
{
    stamp_shape& st = shape.stamps;
    ++state.number;
    ++shape.lines;
    const char* line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    quoted_line q = {state.number, p, static_cast<size_t>(line_end - p)};
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
    if (!good && first) {
        shape.header = true;
        ++shape.no_reading;
    } else if (!good) {
        skip_line(shape, q);
    } else {
        take_reading(p + 1, ns, q, state, shape, shape);
    }
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
    settle_at_end(shape.stamps, state.sample);
    s.gpu1 = state.energy;
    return status;
}

namespace {

// The columns of an nvidia-smi CSV log that the reader takes.
struct csv_columns {
    int stamp = -1;
    int id = -1;
    int power = -1;
    int power_rank = 0; // instant 3, plain 2, average 1
    int id_kind = 0;
};

// The next comma-separated field of [p, end): its first byte after blanks
// and its length before the comma, blanks at its end dropped. Moves p past
// the comma.
const char* next_field(const char*& p, const char* end, size_t* length)
{
    while (p < end && is_blank(*p))
        ++p;
    const char* start = p;
    while (p < end && *p != ',')
        ++p;
    const char* stop = p;
    while (stop > start && is_space(stop[-1]))
        --stop;
    if (p < end)
        ++p;
    *length = static_cast<size_t>(stop - start);
    return start;
}

// Which column a header's name is: its words up to a blank or "[".
void name_column(csv_columns& c, int i, const char* name, size_t length)
{
    size_t n = 0;
    while (n < length && name[n] != ' ' && name[n] != '[')
        ++n;
    auto is = [&](const char* word) { return std::strlen(word) == n && std::memcmp(name, word, n) == 0; };
    if (is("timestamp")) {
        c.stamp = i;
    } else if (is("index") || is("uuid") || is("pci.bus_id")) {
        int kind = is("index") ? 0 : is("uuid") ? 1 : 2;
        if (c.id < 0 || kind < c.id_kind) {
            c.id = i;
            c.id_kind = kind;
        }
    } else if (is("power.draw.instant") || is("power.draw") || is("power.draw.average")) {
        int rank = is("power.draw.instant") ? 3 : is("power.draw") ? 2 : 1;
        if (rank > c.power_rank) {
            c.power = i;
            c.power_rank = rank;
        }
    }
}

// Names the columns of a comma-separated line; returns whether the three
// are there.
bool name_columns(csv_columns& c, const char* p, const char* end)
{
    for (int i = 0; p < end; ++i) {
        size_t length;
        const char* name = next_field(p, end, &length);
        name_column(c, i, name, length);
    }
    return c.stamp >= 0 && c.id >= 0 && c.power >= 0;
}

// One GPU's curve, as its lines come.
struct gpu_track {
    char id[48];
    size_t id_length;
    stamped_state state;
    log_shape shape;
};

} // namespace

int read_gpu_csv_log(int fd, line_buffer& lb, const char* columns, gpu_csv_log& out)
{
    // On the stack, each set up as its GPU first appears: a static array
    // here would take a guard, and with it the C++ exception run-time, into
    // the binary (a tenth more of it).
    gpu_track tracks[max_csv_gpus];
    int count = 0;
    // The columns of a log without a header; one with a header names its own.
    const char* given = columns != nullptr ? columns : "timestamp,index,power.draw";
    csv_columns c;
    bool named = name_columns(c, given, given + std::strlen(given));
    if (!named)
        std::snprintf(out.columns_error, sizeof out.columns_error, "%s", given);
    uint64_t number = 0;
    log_shape& shape = out.shape;
    byte_source src = whole_file(fd);
    int status = read_lines(src, lb, gpu_csv_rule, shape, [&](const line_run& run) {
        for (const char* p = run.begin; p < run.end;) {
            const char* line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(run.end - p)));
            run_line line = quoted(run, p, line_end + 1);
            const char* at = p;
            p = line_end + 1;
            ++number;
            ++shape.lines;
            if (number == 1) {
                pick(shape.opening, 1, line.text, line.length);
                csv_columns h;
                if (name_columns(h, at, line_end)) {
                    c = h;
                    named = true;
                    out.columns_error[0] = '\0';
                    shape.header = true;
                    ++shape.no_reading;
                    continue;
                }
            }
            if (!named) {
                ++shape.no_reading;
                continue;
            }
            // The three fields.
            const char* field[3] = {};
            size_t length[3] = {};
            const char* q = at;
            int last_column = std::max(c.stamp, std::max(c.id, c.power));
            for (int i = 0; i <= last_column; ++i) {
                size_t n;
                const char* f = next_field(q, line_end, &n);
                int which = i == c.stamp ? 0 : i == c.id ? 1 : i == c.power ? 2 : -1;
                if (which >= 0) {
                    field[which] = f;
                    length[which] = n;
                }
                if (q == line_end)
                    break;
            }
            quoted_line ql = {number, line.text, line.length};
            int64_t ns;
            const char* after;
            if (field[0] == nullptr || field[1] == nullptr || field[2] == nullptr || length[1] == 0 ||
                !parse_time_stamp(field[0], field[0] + length[0], &ns, &after)) {
                skip_line(shape, ql);
                continue;
            }
            gpu_track* t = nullptr;
            size_t id_length = length[1] < sizeof t->id ? length[1] : sizeof t->id - 1;
            for (int i = 0; i < count && t == nullptr; ++i)
                if (tracks[i].id_length == id_length && std::memcmp(tracks[i].id, field[1], id_length) == 0)
                    t = &tracks[i];
            if (t == nullptr) {
                if (count == max_csv_gpus) {
                    out.too_many = true;
                    continue;
                }
                t = &tracks[count++];
                *t = gpu_track{};
                std::memcpy(t->id, field[1], id_length);
                t->id[id_length] = '\0';
                t->id_length = id_length;
            }
            if (t->state.have_last && ns <= t->state.last_ns)
                skip_line(shape, ql);
            else
                take_reading(field[2], ns, ql, t->state, t->shape, shape);
        }
    });
    // GPU k: the k-th id in index order, or in order of first appearance.
    int order[max_csv_gpus];
    for (int i = 0; i < count; ++i)
        order[i] = i;
    if (c.id_kind == 0)
        for (int i = 1; i < count; ++i)
            for (int j = i; j > 0 && std::strtol(tracks[order[j - 1]].id, nullptr, 10) >
                                         std::strtol(tracks[order[j]].id, nullptr, 10); --j) {
                int t = order[j];
                order[j] = order[j - 1];
                order[j - 1] = t;
            }
    out.gpus = count;
    out.id_kind = c.id_kind;
    for (int k = 0; k < count; ++k) {
        gpu_track& t = tracks[order[k]];
        settle_at_end(t.shape.stamps, t.state.sample);
        if (k < max_gpus)
            gpu_figure(out.part, k + 1) = t.state.energy;
        out.lines[k] = t.shape.stamps.good;
        std::memcpy(out.ids[k], t.id, sizeof out.ids[k]);
        // The lowest, highest and steepest readings of all; GPU1's stamps.
        reading_range& r = shape.readings;
        const reading_range& g = t.shape.readings;
        r.lowest = g.lowest < r.lowest ? g.lowest : r.lowest;
        r.highest = g.highest > r.highest ? g.highest : r.highest;
        r.negatives += g.negatives;
        if (k == 0) {
            shape.stamps.first_ns = t.shape.stamps.first_ns;
            shape.stamps.last_ns = t.shape.stamps.last_ns;
            shape.stamps.good = t.shape.stamps.good;
            shape.stamps.gaps = t.shape.stamps.gaps;
            shape.stamps.typical_ns = t.shape.stamps.typical_ns;
            shape.stamps.longest_gap_ns = t.shape.stamps.longest_gap_ns;
            shape.stamps.longest_gap_line = t.shape.stamps.longest_gap_line;
        }
    }
    return status;
}
