// The readers of logs by their own time stamps: the stamped GPU log, the
// node log in each of its formats (by its stamps, a power analyzer's,
// MLPerf's, a CSV), the one log of every GPU (each GPU's curve by its id),
// each by the trapezoid rule (or the step) over its lines' stamps with what
// the stamps say of the meter; the node log and a plain GPU log in time, by
// their period (read_plain_in_time); and the formats' bids.
#include "read/power_logs.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cmath>
#include <cstring>

#include "base/fnv_hash.h"
#include "read/log_reading.h"
#include "read/time_stamps.h"

namespace {

// A stamped log's typical interval is the median of its first 31.
using stamp_watch = interval_watch<31>;

// A gap in a stamped log, the interval that ends at line number at:
// counted, the longest kept.
struct stamp_gap {
    stamp_shape& st;
    void operator()(int64_t interval, int64_t at) const
    {
        ++st.gaps;
        if (interval > st.longest_gap_ns) {
            st.longest_gap_ns = interval;
            st.longest_gap_line = static_cast<uint64_t>(at);
        }
    }
};

// Where the intervals v[0, n) come in a steady pattern, k - 1 short ones
// and then a long one (k GPUs' lines written in turn, each with its own
// stamp), k; else 0. Long is past the middle of the shortest and longest,
// and the longest is at least four times the shortest.
int rounds_in(const int64_t* v, int n)
{
    if (n < 4)
        return 0;
    int64_t lo = v[0], hi = v[0];
    for (int i = 1; i < n; ++i) {
        lo = v[i] < lo ? v[i] : lo;
        hi = v[i] > hi ? v[i] : hi;
    }
    if (hi < 4 * lo || hi == 0)
        return 0;
    int64_t middle = lo + (hi - lo) / 2;
    int first = -1, k = 0, longs = 0;
    for (int i = 0; i < n; ++i) {
        if (v[i] <= middle)
            continue;
        if (first >= 0 && k == 0)
            k = i - first;
        else if (first >= 0 && i - first != k * longs)
            return 0;
        first = first < 0 ? i : first;
        ++longs;
    }
    // Every k-th interval long, the short ones between: two rounds seen.
    if (longs < 2 || k < 2 || first >= k || n - 1 - (first + k * (longs - 1)) >= k)
        return 0;
    return k;
}

// The typical interval, and the pattern of the intervals sampled, once the
// watch has settled.
void note_typical(stamp_shape& st, const stamp_watch& w)
{
    st.typical_ns = w.median_ns;
    st.rounds_of = rounds_in(w.interval, w.count);
}

// Takes the interval that ends at line number.
void note_interval(stamp_shape& st, stamp_watch& w, int64_t interval, uint64_t number)
{
    if (watch_interval(w, interval, static_cast<int64_t>(number), stamp_gap{st}))
        note_typical(st, w);
}

// Settles the typical interval where the log ended before the sample was full.
void settle_at_end(stamp_shape& st, stamp_watch& w)
{
    if (settle_watch(w, stamp_gap{st}))
        note_typical(st, w);
}

// The state of the trapezoid rule between lines.
struct stamped_state {
    double energy = 0.0;
    bool have_last = false;
    int64_t last_ns = 0;
    double last_reading = 0.0;
    uint64_t number = 0;
    stamp_prefix prefix;
    stamp_watch intervals;
    // Where the good points go too, with their stamps' form, when asked.
    const timed_sink* sink = nullptr;
    int meter = 0;
    int form = stamp_instant;
};

// Adds the good point (ns, reading) of line number to the curve: the
// energy since the point before, by the trapezoid or held as a step
// (timed_integration), and the stamps' statistics.
void add_point(stamped_state& state, log_shape& shape, int64_t ns, double reading, uint64_t number)
{
    stamp_shape& st = shape.stamps;
    shape.readings.see(reading);
    bool step = timed_integration == integration_rule::step;
    double area = 0;
    if (state.have_last) {
        double dt = static_cast<double>(ns - state.last_ns) / 1e9;
        area = step ? reading * dt : add_figures(state.last_reading, reading) * dt * 0.5;
        state.energy = add_figures(area, state.energy);
        note_interval(st, state.intervals, ns - state.last_ns, number);
    } else {
        st.first_ns = ns;
    }
    st.last_ns = ns;
    ++st.good;
    if (state.sink != nullptr && !step)
        state.sink->point(state.sink->context, state.meter, ns, state.form, reading);
    else if (state.sink != nullptr && state.have_last)
        state.sink->energy(state.sink->context, state.meter, state.last_ns, ns, state.form, area);
    state.have_last = true;
    state.last_ns = ns;
    state.last_reading = reading;
}

// A line skipped for its stamp: none, or not later than its curve's last.
void skip_line(log_shape& shape, const numbered_line& q)
{
    note_line(shape.stamps.skipped_line, shape.stamps.skipped, q);
}

// The one rule of the time-stamped readers for a reading: the number at
// p, in a field that ends at field_end (the line's end, or a CSV column's
// comma), divided by divisor (1000 for milliwatts). A field with no number
// ("[N/A]", "N/A", a GPU's name) is no point of the curve: the lines on
// either side of it are joined, and it is counted and quoted in shape. A
// unit after a blank, or the next column after ", " as nvidia-smi writes
// it, is the meter's; a number run straight on into other bytes ("12W", a
// decimal comma, "30,3" in one column) counts, and is said.
void take_reading(const char* p, const char* field_end, double divisor, int64_t ns, const numbered_line& q,
                  stamped_state& state, log_shape& curve, log_shape& shape)
{
    // The parse counts into a shape; the curve's lends its counters, which
    // are put back: what counts here is said below.
    const char* stop;
    uint64_t no_reading = curve.no_reading, runs_on = curve.runs_on, not_finite = curve.not_finite;
    double reading = scan_reading(p, &stop, curve);
    curve.no_reading = no_reading;
    curve.runs_on = runs_on;
    curve.not_finite = not_finite;
    if (stop == p) {
        note_line(shape.no_reading_line, shape.no_reading, q);
        return;
    }
    if (stop < field_end && !is_space(*stop) && !(stop[0] == ',' && is_space(stop[1])))
        note_line(shape.runs_on_line, shape.runs_on, q);
    if (!std::isfinite(reading))
        note_line(shape.not_finite_line, shape.not_finite, q);
    reading /= divisor;
    if (reading < 0)
        pick_first(shape.negative_line, q.number, q.text.text, q.text.length);
    add_point(state, curve, ns, reading, q.number);
}

// A line of a time-stamped log, once its stamp is judged: a good one's
// reading at p (its field ends at field_end) is a point of the curve; a
// first line without a good stamp is the header; any other such line is
// skipped.
void take_stamped(bool good, bool first, const char* p, const char* field_end, int64_t ns, const numbered_line& q,
                  stamped_state& state, log_shape& shape)
{
    if (!good && first) {
        shape.header = true;
        ++shape.no_reading;
    } else if (!good) {
        skip_line(shape, q);
    } else {
        take_reading(p, field_end, 1, ns, q, state, shape, shape);
    }
}

// The columns of a one-log CSV that the reader takes.
constexpr int max_csv_columns = 64;
struct csv_columns {
    int last = 0;                // the last column taken
    signed char slot[max_csv_columns]; // each column's place in csv_fields, or -1
    column_roles roles;          // the header's columns by role
    int id = -1;                 // the one taken, or -1 for none
    int id_kind = 0;
    char power_name[48] = {};
};

// Names the columns of a comma-separated line (a header, or --gpu-columns).
// Returns whether a stamp and a power column are among them.
bool name_columns(csv_columns& c, const char* p, const char* end)
{
    c = csv_columns{};
    line_fields names = split_line(p, end, field_split::commas);
    c.roles = name_roles(names);
    const int* ids = c.roles.ids;
    int stamp = role_column(c.roles, column_role::stamp), power = role_column(c.roles, column_role::power);
    if (power >= 0)
        std::snprintf(c.power_name, sizeof c.power_name, "%.*s", static_cast<int>(names.length[power]),
                      names.at[power]);
    c.id = ids[0];
    c.id_kind = c.roles.id_kinds[0];
    std::memset(c.slot, -1, sizeof c.slot);
    int wanted[6] = {stamp, power, ids[0], ids[1], ids[2], ids[3]};
    for (int k = 0; k < 6; ++k)
        if (wanted[k] >= 0 && wanted[k] < max_csv_columns) {
            c.slot[wanted[k]] = static_cast<signed char>(k);
            c.last = wanted[k] > c.last ? wanted[k] : c.last;
        }
    return stamp >= 0 && power >= 0 && stamp < max_csv_columns && power < max_csv_columns;
}

// Whether [p, end) is a time stamp and nothing more.
bool whole_stamp(const char* p, size_t n)
{
    int64_t ns;
    return whole_field_stamp(p, p + n, &ns) != stamp_none;
}

// Whether a line is a header: no field of it is a time stamp, and one
// starts with a letter.
bool is_header_line(const char* p, const char* end)
{
    bool letters = false;
    line_fields f = split_line(p, end, field_split::commas);
    for (int i = 0; i < f.count; ++i) {
        if (f.length[i] > 0 && whole_stamp(f.at[i], f.length[i]))
            return false;
        letters = letters || (f.length[i] > 0 && std::isalpha(static_cast<unsigned char>(f.at[i][0])));
    }
    return letters;
}

// The fields of a data line that the columns take: the stamp, the power,
// then the id columns.
struct csv_fields {
    const char* at[6] = {};
    size_t length[6] = {};
};

// Inline: called apart, the split's fields went through memory on their
// way to f, and the one log read measurably slower (HACKING).
[[gnu::always_inline]] inline void split_fields(const char* p, const char* end, const csv_columns& c, csv_fields& f)
{
    line_fields all = split_line(p, end, field_split::commas, c.last + 1);
    for (int i = 0; i <= c.last && i < all.count; ++i)
        if (int k = c.slot[i]; k >= 0) {
            f.at[k] = all.at[i];
            f.length[k] = all.length[i];
        }
}

// Where a timed log's line holds its stamp and its reading, and how its
// readings make energy: one entry for each format of the node's and a
// GPU's logs read by their stamps or their period.
enum class stamp_at {
    line_start,  // "STAMP, reading"
    first_field, // the first field, the reading where the total-power rule puts it
    after_key,   // in the field after stamp_key, the reading after power_key (commas)
    json_key,    // a JSON record's values of stamp_key (epoch milliseconds) and power_key
    column,      // the columns a header (or the columns given) names
};
struct timed_format {
    const char* name; // as --total-format names it
    stamp_at stamp;
    const char* stamp_key = nullptr;
    const char* power_key = nullptr;
    const char* record = nullptr; // json_key: the records read, by their "key"; others are passed over
    // Its bid: whether a line (a log's first, as kept, of 64 bytes at
    // most) is one its meter writes, and what that meter is, as said.
    bool (*bid)(const char* p, const char* end) = nullptr;
    const char* what = nullptr;
};

bool starts(const char* p, const char* end, const char* text)
{
    size_t n = std::strlen(text);
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, text, n) == 0;
}

bool ptd_bid(const char* p, const char* end)
{
    return starts(p, end, "Time,") && memmem(p, static_cast<size_t>(end - p), ",Watts,", 7) != nullptr;
}

bool mllog_bid(const char* p, const char* end)
{
    return starts(p, end, ":::MLLOG {");
}

// A header line that names a stamp column, between commas.
bool stamp_csv_bid(const char* p, const char* end)
{
    csv_columns c;
    return std::memchr(p, ',', static_cast<size_t>(end - p)) != nullptr && is_header_line(p, end) &&
           (name_columns(c, p, end), role_column(c.roles, column_role::stamp) >= 0);
}

constexpr timed_format stamped_gpu = {"stamps", stamp_at::line_start};
// The node log's, in the order of total_format; the plain one, by its
// period, is read_node_by_period's.
constexpr timed_format node_formats[] = {
    {"plain", stamp_at::first_field},
    {"stamps", stamp_at::first_field},
    {"ptd", stamp_at::after_key, "Time", "Watts", nullptr, ptd_bid, "a power analyzer's log (PTDaemon)"},
    {"mllog", stamp_at::json_key, "\"time_ms\"", "\"value\"", "\"power_reading\"", mllog_bid,
     "an MLPerf log (:::MLLOG)"},
    {"csv", stamp_at::column, nullptr, nullptr, nullptr, stamp_csv_bid, "a CSV log with a header"},
};
constexpr int node_format_count = sizeof node_formats / sizeof node_formats[0];

// Whether a JSON log's line is a record format f reads.
bool is_record_read(const timed_format& f, const char* p, const char* end)
{
    const char* key = json_value(p, end, "\"key\"");
    size_t n = std::strlen(f.record);
    return key != nullptr && end - key >= static_cast<ptrdiff_t>(n) && std::memcmp(key, f.record, n) == 0;
}

// The field after the one that is `key`, among w's; -1 where none is.
int field_after(const line_fields& w, const char* key)
{
    size_t n = std::strlen(key);
    for (int i = 0; i + 1 < w.count; ++i)
        if (w.length[i] == n && std::memcmp(w.at[i], key, n) == 0)
            return i + 1;
    return -1;
}

// Reads a log of format f by its stamps into *energy (by the trapezoid),
// as meter; its points passed on to sink where one is given. The one line
// loop of these logs.
int read_timed(int fd, line_buffer& lb, const timed_format& f, int meter, const timed_sink* sink,
               double* energy, log_shape& shape, const char* columns = nullptr, char* error = nullptr,
               size_t error_size = 0)
{
    stamped_state state;
    state.energy = *energy;
    state.sink = sink;
    state.meter = meter;
    stamp_shape& st = shape.stamps;
    clock_days days;
    // A CSV's columns, as given or as its header names them.
    csv_columns c;
    bool named = columns != nullptr && name_columns(c, columns, columns + std::strlen(columns));
    if (columns != nullptr && !named) {
        std::snprintf(error, error_size, "--total-columns=%s names no stamp or no power column", columns);
        return EINVAL;
    }
    byte_source src = whole_file(fd);
    // A JSON log's records of other keys are none of its lines.
    auto pass_over = [&](const char* at, const char* line_end, uint64_t) {
        return f.stamp == stamp_at::json_key && !is_record_read(f, at, line_end);
    };
    auto take_line = [&](const char* at, const char* line_end, const run_line& line, uint64_t number) {
        numbered_line q = {number, line};
        if (f.stamp >= stamp_at::after_key) {
            // The stamp and the reading where the format names them.
            pick(shape.last_line, number, line.text, line.length);
            const char *stamp = nullptr, *stamp_end = nullptr, *reading = nullptr, *reading_end = line_end;
            double divisor = 1;
            int64_t ns = 0;
            bool good = false;
            if (f.stamp == stamp_at::after_key) {
                line_fields w = split_line(at, line_end, field_split::commas);
                int t = field_after(w, f.stamp_key), p = field_after(w, f.power_key);
                if (t >= 0 && p >= 0) {
                    stamp = w.at[t], stamp_end = stamp + w.length[t];
                    reading = w.at[p], reading_end = reading + w.length[p];
                }
            } else if (f.stamp == stamp_at::json_key) {
                const char* after;
                stamp = json_value(at, line_end, f.stamp_key);
                reading = json_value(at, line_end, f.power_key);
                for (reading_end = reading; reading_end != nullptr && reading_end < line_end &&
                                            *reading_end != ',' && *reading_end != '}';)
                    ++reading_end;
                if (stamp != nullptr && reading != nullptr && parse_epoch_ms(stamp, line_end, &ns, &after))
                    state.form = stamp_instant, good = true;
                stamp = nullptr; // read already
            } else if (is_header_line(at, line_end)) {
                if (number == 1) {
                    shape.header = true;
                    ++shape.no_reading;
                }
                if (columns == nullptr && !(named = name_columns(c, at, line_end)))
                    std::snprintf(error, error_size, "its header, \"%.*s\", names no stamp or no power column",
                                  static_cast<int>(line.length < 120 ? line.length : 120), line.text);
                return;
            } else if (named) {
                csv_fields fields;
                split_fields(at, line_end, c, fields);
                stamp = fields.at[0], stamp_end = stamp + fields.length[0];
                reading = fields.at[1], reading_end = reading + fields.length[1];
                divisor = c.roles.milliwatts ? 1000 : 1;
            }
            if (stamp != nullptr && reading != nullptr)
                good = (state.form = whole_field_stamp(stamp, stamp_end, &ns, &days)) != stamp_none;
            if (good && state.have_last && ns <= state.last_ns) {
                st.shared += ns == state.last_ns ? 1 : 0;
                good = false;
            }
            if (good)
                take_reading(reading, reading_end, divisor, ns, q, state, shape, shape);
            else
                skip_line(shape, q);
            return;
        }
        int64_t ns = 0;
        bool good;
        const char* reading = skip_blanks(at);
        if (f.stamp == stamp_at::line_start) {
            // The newline ends the stamp, whatever its form.
            const char* after;
            const char* stamp = reading;
            good = parse_time_stamp(stamp, line_end + 1, &ns, &after, &state.prefix);
            if (good) {
                reading = skip_blanks(after);
                good = *reading == ',' && (!state.have_last || ns > state.last_ns);
                if (good && sink != nullptr)
                    state.form = date_stamp_form(stamp, after);
                // Several lines at one instant: one log of several GPUs?
                st.shared += *reading == ',' && state.have_last && ns == state.last_ns;
            }
            ++reading;
        } else {
            // The stamp is the line's first field; the reading stands
            // where the total-power rule puts it.
            pick(shape.last_line, number, line.text, line.length);
            const char* field_end;
            const char* field = first_field(at, line_end, &field_end);
            state.form = whole_field_stamp(field, field_end, &ns, &days);
            good = state.form != stamp_none;
            reading = at;
            for (int count = 0; good && reading < line_end && count < total_power_kind.after_whitespace; ++reading)
                count += is_space(*reading) ? 1 : 0;
            if (good && state.have_last && ns <= state.last_ns) {
                st.shared += ns == state.last_ns ? 1 : 0;
                good = false;
            }
        }
        take_stamped(good, number == 1, reading, line_end, ns, q, state, shape);
    };
    int status = read_lines(src, lb, line_at_a_time_rule, shape, [&](const line_run& run) {
        each_line(run, &state.number, shape, take_line, false, pass_over);
    });
    // Never nothing, where a format was asked for: a log none of whose
    // lines is of it, said, with the format its lines fit, if one.
    const picked_line& opening = shape.opening;
    if (status == 0 && error != nullptr && error[0] == '\0' && st.good == 0 && opening.number > 0) {
        const char* what;
        int other = total_format_fitting(opening.text, opening.text + opening.length, &what);
        if (other >= 0 && std::strcmp(node_formats[other].name, f.name) != 0)
            std::snprintf(error, error_size, "no line of it is one of --total-format=%s's: it is %s, read with "
                          "--total-format=%s", f.name, what, node_formats[other].name);
        else
            std::snprintf(error, error_size, "no line of it is one of --total-format=%s's; its first line is "
                          "\"%.*s\"", f.name, static_cast<int>(opening.length), opening.text);
    }
    if (status == 0 && error != nullptr && error[0] != '\0')
        status = EINVAL;
    settle_at_end(st, state.intervals);
    *energy = state.energy;
    return status;
}

// The plain node log in time, as the summary reads it (read_plain_in_time),
// each line's reading over the period (weight seconds) up to its first
// field's stamp, into sink as the node's: the lines that share a stamp (two
// a second under a stamp of whole seconds) follow it a period apart; a line
// without one follows the one before; a blank line passes nothing.
int read_node_by_period(int fd, line_buffer& lb, double weight, const timed_sink& sink, double* energy,
                        log_shape& shape)
{
    auto period_ns = static_cast<int64_t>(std::llround(weight * 1e9));
    int64_t last_stamp = INT64_MIN, same = 0;
    stamp_memo memo;
    clock_days days;
    // Readings a period apart, each over the period that ends at its line's
    // time, passed on as runs: the sink places a run at less cost a reading.
    constexpr size_t held_room = 2048;
    double held[held_room];
    size_t held_count = 0;
    int64_t held_from = 0;
    int held_form = stamp_none;
    auto pass_held = [&] {
        if (held_count > 0)
            sink.energy_run(sink.context, total_meter, held_from, period_ns, held_form, held, held_count);
        held_count = 0;
    };
    int status = read_plain_in_time(fd, lb, total_power_rule, weight, energy, shape,
                                    [&](const char* p, const char* end, const double* r, size_t) {
        each_line_stamp(p, end, memo, days, [&](size_t i, int64_t ns, int form) {
            double joules = r[i] * weight;
            if (form == stamp_none) {
                pass_held();
                sink.energy(sink.context, total_meter, since_last, 0, stamp_none, joules);
                return;
            }
            same = ns == last_stamp ? same + 1 : 0;
            last_stamp = ns;
            int64_t t = ns + same * period_ns;
            if (held_count == held_room || form != held_form ||
                t - period_ns != held_from + static_cast<int64_t>(held_count) * period_ns)
                pass_held();
            if (held_count == 0) {
                held_from = t - period_ns;
                held_form = form;
            }
            held[held_count++] = joules;
        });
    });
    pass_held();
    return status;
}

} // namespace

int read_stamped_gpu_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape, double)
{
    return read_timed(fd, lb, stamped_gpu, 0, nullptr, &s.gpu1, shape);
}

int total_format_fitting(const char* p, const char* end, const char** what)
{
    for (int f = 0; f < node_format_count; ++f)
        if (node_formats[f].bid != nullptr && node_formats[f].bid(p, end)) {
            *what = node_formats[f].what;
            return f;
        }
    return -1;
}

const char* total_format_name(int format)
{
    return format >= 0 && format < node_format_count ? node_formats[format].name : nullptr;
}

int read_node_log(int fd, line_buffer& lb, const node_log_options& o, energy_summary& s, log_shape& shape,
                  char (&error)[256])
{
    error[0] = '\0';
    if (o.format == static_cast<int>(total_format::plain))
        return read_node_by_period(fd, lb, o.period, *o.sink, &s.total_energy, shape);
    return read_timed(fd, lb, node_formats[o.format], total_meter, o.sink, &s.total_energy, shape,
                      o.format == static_cast<int>(total_format::csv) ? o.columns : nullptr, error, sizeof error);
}

int read_timed_gpu_log(int fd, line_buffer& lb, int k, const timed_sink& sink, energy_summary& part,
                       log_shape& shape)
{
    return read_timed(fd, lb, stamped_gpu, first_gpu_source + k - 1, &sink, &part.gpu1, shape);
}

int read_timed_plain_gpu_log(int fd, line_buffer& lb, int k, double weight, const timed_sink& sink,
                             energy_summary& part, log_shape& shape)
{
    auto period_ns = static_cast<int64_t>(std::llround(weight * 1e9));
    int64_t t = 0;
    return read_plain_in_time(fd, lb, gpu_rule, weight, &part.gpu1, shape,
                              [&](const char*, const char*, double* joules, size_t lines) {
        for (size_t i = 0; i < lines; ++i)
            joules[i] *= weight;
        sink.energy_run(sink.context, first_gpu_source + k - 1, t * period_ns, period_ns, stamp_relative, joules, lines);
        t += static_cast<int64_t>(lines);
    });
}

namespace {

// The data lines after a header that the id column is chosen by.
constexpr int lines_to_choose_by = 64;

struct id_choice {
    int id = -1;
    int kind = 0;
    bool shared = false; // lines share stamps
    int group = 0;       // how many share each stamp, where every group that ended is as large
    int rounds = 0;
};

// Which id column varies, from the lines [p, end) held after a header
// (held_lines): the first of the candidates whose value changes; -1 where
// none does while several lines share a stamp (the log has no id column),
// else the first. Without one, rounds is the lines a round holds where
// each line has its own stamp and they come in a steady pattern (0 where
// they don't).
id_choice choose_id(const char* p, const char* end, const csv_columns& c)
{
    id_choice choice;
    choice.id = c.id;
    choice.kind = c.id_kind;
    const char* first[4] = {};
    size_t first_length[4] = {};
    bool varies[4] = {};
    bool shared = false, have_last = false;
    int64_t last_ns = 0;
    int64_t intervals[31];
    int count = 0;
    int group = 0, in_group = 0; // group -1: groups of more than one size
    uint64_t number = 0;
    log_shape scratch;
    each_line({p, end, false}, &number, scratch, [&](const char* q, const char* nl, const run_line&, uint64_t) {
        csv_fields f;
        if (is_header_line(q, nl))
            return;
        split_fields(q, nl, c, f);
        int64_t ns;
        if (f.at[0] == nullptr || whole_field_stamp(f.at[0], f.at[0] + f.length[0], &ns) == stamp_none)
            return;
        if (have_last && ns == last_ns) {
            shared = true;
        } else {
            if (in_group > 0)
                group = group == 0 || group == in_group ? in_group : -1;
            in_group = 0;
            if (have_last && ns > last_ns && count < 31)
                intervals[count++] = ns - last_ns;
        }
        ++in_group;
        have_last = true;
        last_ns = ns;
        for (int k = 0; k < c.roles.id_count; ++k) {
            const char* v = f.at[2 + k];
            size_t n = f.length[2 + k];
            if (v == nullptr)
                continue;
            if (first[k] == nullptr) {
                first[k] = v;
                first_length[k] = n;
            } else if (n != first_length[k] || std::memcmp(v, first[k], n) != 0) {
                varies[k] = true;
            }
        }
    });
    for (int k = 0; k < c.roles.id_count; ++k)
        if (varies[k]) {
            choice.id = c.roles.ids[k];
            choice.kind = c.roles.id_kinds[k];
            return choice;
        }
    choice.shared = shared;
    choice.group = group > 0 ? group : 0;
    if (c.roles.id_count == 0 || shared)
        choice.id = -1;
    if (choice.id < 0 && !shared)
        choice.rounds = rounds_in(intervals, count);
    return choice;
}

// One GPU's curve, as its lines come.
struct gpu_track {
    char id[48];         // the id's first bytes, as said
    size_t id_length;    // the id's length and hash, by which ids are told apart
    uint64_t id_hash;
    stamped_state state;
    log_shape shape;
};

// The reader's state between lines.
struct csv_reader {
    gpu_track* tracks;
    int count = 0;
    csv_columns c;
    bool fixed = false;      // columns given: headers are passed over
    bool named = false;
    uint64_t number = 0;
    // No id column: where the line stands in its round.
    int round_position = 0;
    int round_size = 0;      // lines a round holds; 0 until the first is full
    bool round_by_stamp = true;
    int64_t round_ns = 0;
    uint64_t round_start_line = 0;
    picked_line round_start; // its first line, as the warnings quote it
    clock_days days; // times of day, past midnight a day later
    stamp_memo memo; // the stamp of the GPUs' lines before, written again for each
    const timed_sink* sink = nullptr; // where each GPU's points go too, if anywhere
};

// The track of id [p, p + n), made where it is new; null past max_csv_gpus.
gpu_track* track_of(csv_reader& r, gpu_csv_log& out, const char* p, size_t n)
{
    uint64_t h = hash_bytes(p, n);
    for (int i = 0; i < r.count; ++i)
        if (r.tracks[i].id_length == n && r.tracks[i].id_hash == h)
            return &r.tracks[i];
    if (r.count == max_csv_gpus) {
        out.too_many = true;
        return nullptr;
    }
    gpu_track* t = &r.tracks[r.count++];
    *t = gpu_track{};
    size_t kept = n < sizeof t->id ? n : sizeof t->id - 1;
    std::memcpy(t->id, p, kept);
    t->id[kept] = '\0';
    t->id_length = n;
    t->id_hash = h;
    return t;
}

// Ends a round of lines without an id: one of another size than the first
// full one is counted, with its first line.
void end_round(csv_reader& r, gpu_csv_log& out)
{
    if (r.round_position == 0)
        return;
    if (r.round_size == 0)
        r.round_size = r.round_position;
    else if (r.round_position != r.round_size) {
        ++out.odd_rounds;
        pick_first(out.odd_round_line, r.round_start_line, r.round_start.text, r.round_start.length);
    }
    r.round_position = 0;
}

// The track of a line without an id: its place in its round.
gpu_track* round_track(csv_reader& r, gpu_csv_log& out, int64_t ns, uint64_t number, const run_line& line)
{
    bool new_round = r.round_by_stamp ? r.round_position == 0 || ns != r.round_ns
                                      : r.round_position == r.round_size;
    if (new_round) {
        if (r.round_by_stamp)
            end_round(r, out);
        r.round_position = 0;
        r.round_ns = ns;
        r.round_start_line = number;
        pick(r.round_start, number, line.text, line.length);
    }
    char id[16];
    int n = std::snprintf(id, sizeof id, "%d", r.round_position + 1);
    ++r.round_position;
    return track_of(r, out, id, static_cast<size_t>(n));
}

// Whether a line is a header: the first line, if one, or one met again
// that names the columns (a logger restarted); h is its columns. Then takes
// it.
bool is_header(const csv_reader& r, const char* p, const char* end, csv_columns& h, bool* names)
{
    if (!std::isalpha(static_cast<unsigned char>(*skip_blanks(p))) || !is_header_line(p, end))
        return false;
    *names = name_columns(h, p, end);
    return r.number == 1 || *names;
}

void take_csv_header(csv_reader& r, gpu_csv_log& out, const char* p, const char* end, const run_line& line,
                 log_shape& shape, const csv_columns& h, bool names)
{
    if (r.number > 1) {
        note_line(out.header_again_line, out.headers_again, {r.number, line});
    } else {
        shape.header = true;
        ++shape.no_reading;
    }
    if (r.fixed)
        return;
    r.c = h;
    r.named = names;
    if (!names)
        std::snprintf(out.header_error, sizeof out.header_error, "%.*s", static_cast<int>(end - p), p);
}

// Takes a data line of the log.
void take_csv_line(csv_reader& r, gpu_csv_log& out, const char* p, const char* end, uint64_t number,
                   const run_line& line, log_shape& shape)
{
    numbered_line q = {number, line};
    if (!r.named) {
        ++shape.no_reading;
        return;
    }
    csv_fields f;
    split_fields(p, end, r.c, f);
    int id_at = -1;
    for (int k = 0; k < r.c.roles.id_count; ++k)
        if (r.c.roles.ids[k] == r.c.id)
            id_at = 2 + k;
    int64_t ns;
    int form = stamp_none;
    if (f.at[0] == nullptr || f.at[1] == nullptr || (id_at >= 0 && (f.at[id_at] == nullptr || f.length[id_at] == 0)) ||
        (form = memo_stamp(r.memo, f.at[0], f.at[0] + f.length[0], &ns, &r.days)) == stamp_none) {
        skip_line(shape, q);
        return;
    }
    gpu_track* t = id_at >= 0 ? track_of(r, out, f.at[id_at], f.length[id_at]) : round_track(r, out, ns, number, line);
    if (t == nullptr)
        return;
    if (r.sink != nullptr) {
        t->state.sink = r.sink;
        t->state.meter = first_gpu_source + static_cast<int>(t - r.tracks);
        t->state.form = form;
    }
    if (t->state.have_last && ns <= t->state.last_ns)
        skip_line(shape, q);
    else
        take_reading(f.at[1], f.at[1] + f.length[1], r.c.roles.milliwatts ? 1000 : 1, ns, q, t->state, t->shape,
                     shape);
}

// The first data lines after a header, held until there are enough to
// choose the id column by (choose_id), then read: as many, whatever the
// buffer's size, so that the choice, and the figures, do not depend on it.
struct held_lines {
    static constexpr int most = lines_to_choose_by;
    char bytes[16384];
    size_t used = 0;
    int count = 0;
    uint64_t number[most];
    size_t start[most], length[most];
    char quote[most][64];
    size_t quote_length[most];
};

// Holds a line; false where there is no room for it.
bool hold(held_lines& h, const char* p, const char* end, uint64_t number, const run_line& line)
{
    size_t n = static_cast<size_t>(end - p) + 1;
    if (h.count == held_lines::most || h.used + n > sizeof h.bytes)
        return false;
    std::memcpy(h.bytes + h.used, p, n);
    h.number[h.count] = number;
    h.start[h.count] = h.used;
    h.length[h.count] = n - 1;
    h.quote_length[h.count] = line.length < sizeof h.quote[0] ? line.length : sizeof h.quote[0];
    std::memcpy(h.quote[h.count], line.text, h.quote_length[h.count]);
    h.used += n;
    ++h.count;
    return true;
}

// Chooses the id column, or the rounds, by the held lines, and reads them.
void choose_and_read_held(csv_reader& r, gpu_csv_log& out, held_lines& h, int gpus, log_shape& shape)
{
    id_choice choice = choose_id(h.bytes, h.bytes + h.used, r.c);
    r.c.id = choice.id;
    r.c.id_kind = choice.kind;
    // Rounds are the lines that share a stamp, unless --gpus says how many
    // a round holds and not every group of them is that large (GPUs whose
    // lines come a few milliseconds apart, a pair now and then at one).
    r.round_by_stamp = choice.shared && (gpus == 0 || choice.group == gpus);
    r.round_size = r.round_by_stamp ? 0 : gpus > 0 ? gpus : choice.rounds > 0 ? choice.rounds : 1;
    for (int i = 0; i < h.count; ++i) {
        const char* p = h.bytes + h.start[i];
        take_csv_line(r, out, p, p + h.length[i], h.number[i], {h.quote[i], h.quote_length[i]}, shape);
    }
    h.count = 0;
    h.used = 0;
}

} // namespace

int read_gpu_csv_log(int fd, line_buffer& lb, const char* columns, int gpus, gpu_csv_log& out,
                     const timed_sink* sink, long long head)
{
    // On the stack, each set up as its GPU first appears: a static array
    // here would take a guard, and with it the C++ exception run-time, into
    // the binary.
    gpu_track tracks[max_csv_gpus];
    csv_reader r;
    r.tracks = tracks;
    r.sink = sink;
    // The columns of a log without a header; a header names its own.
    const char* given = columns != nullptr ? columns : "timestamp,index,power.draw";
    r.fixed = columns != nullptr;
    r.named = name_columns(r.c, given, given + std::strlen(given));
    if (!r.named && r.fixed) {
        std::snprintf(out.header_error, sizeof out.header_error, "%s", given);
        return EINVAL;
    }
    log_shape& shape = out.shape;
    bool chosen = false;
    auto* held = static_cast<held_lines*>(std::malloc(sizeof(held_lines)));
    if (held == nullptr)
        return ENOMEM;
    held->count = 0;
    held->used = 0;
    byte_source src = head > 0 ? chunk_of(fd, 0, head) : whole_file(fd);
    int status = read_lines(src, lb, line_at_a_time_rule, shape, [&](const line_run& run) {
        each_line(run, &r.number, shape, [&](const char* at, const char* line_end, const run_line& line,
                                             uint64_t) {
            csv_columns h;
            bool names;
            if (is_header(r, at, line_end, h, &names)) {
                // The lines held read by the columns they came under.
                if (!chosen && held->count > 0)
                    choose_and_read_held(r, out, *held, gpus, shape);
                take_csv_header(r, out, at, line_end, line, shape, h, names);
                chosen = false;
                return;
            }
            if (!r.named) {
                ++shape.no_reading;
                return;
            }
            // Which id column, from the first lines after the header;
            // without one, what a round is.
            if (!chosen) {
                if (hold(*held, at, line_end, r.number, line))
                    return;
                choose_and_read_held(r, out, *held, gpus, shape);
                chosen = true;
            }
            take_csv_line(r, out, at, line_end, r.number, line, shape);
        });
    });
    if (!chosen && held->count > 0 && r.named)
        choose_and_read_held(r, out, *held, gpus, shape);
    std::free(held);
    if (out.header_error[0] != '\0')
        return status != 0 ? status : EINVAL;
    if (r.c.id < 0)
        end_round(r, out);
    // GPU k: the k-th id in index order, or in order of first appearance.
    int order[max_csv_gpus];
    for (int i = 0; i < r.count; ++i)
        order[i] = i;
    if (r.c.id >= 0 && r.c.id_kind == 0)
        for (int i = 1; i < r.count; ++i)
            for (int j = i; j > 0 && std::strtol(tracks[order[j - 1]].id, nullptr, 10) >
                                         std::strtol(tracks[order[j]].id, nullptr, 10); --j) {
                int t = order[j];
                order[j] = order[j - 1];
                order[j - 1] = t;
            }
    out.gpus = r.count;
    out.id_kind = r.c.id >= 0 ? r.c.id_kind : 0;
    out.no_id = r.c.id < 0;
    out.round_lines = r.round_size;
    out.rounds_by_stamp = r.round_by_stamp;
    out.milliwatts = r.c.roles.milliwatts;
    std::memcpy(out.power_column, r.c.power_name, sizeof out.power_column);
    for (int k = 0; k < r.count; ++k) {
        gpu_track& t = tracks[order[k]];
        out.source[k] = order[k];
        settle_at_end(t.shape.stamps, t.state.intervals);
        if (k < max_gpus)
            gpu_figure(out.part, k + 1) = t.state.energy;
        out.lines[k] = t.shape.stamps.good;
        std::memcpy(out.ids[k], t.id, sizeof out.ids[k]);
        // The lowest, highest and steepest readings of all; GPU1's stamps.
        reading_range& range = shape.readings;
        const reading_range& g = t.shape.readings;
        range.lowest = g.lowest < range.lowest ? g.lowest : range.lowest;
        range.highest = g.highest > range.highest ? g.highest : range.highest;
        range.negatives += g.negatives;
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
