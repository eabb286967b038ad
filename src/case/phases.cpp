// The phases of a run: their marks read, and each meter's energy split
// among them at their edges as its timed readings come.
#include "case/phases.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "base/open_file.h"
#include "read/power_logs.h"
#include "read/time_stamps.h"

namespace {

constexpr int64_t billion = 1000000000;
constexpr int64_t day_ns = 86400 * billion;

// The hour a wall-clock time falls in, as local_offset_ns keeps them.
int64_t hour_of(int64_t wall_ns)
{
    return wall_ns / (3600 * billion);
}

// The node's offset from UTC, in nanoseconds, at the wall-clock time
// wall_ns (read as if it were UTC: an hour's error only across a change of
// offset). Kept for the hour last asked, as a log asks once a reading.
int64_t local_offset_ns(int64_t wall_ns)
{
    static int64_t hour = INT64_MIN, offset = 0;
    int64_t h = hour_of(wall_ns);
    if (h != hour) {
        time_t t = static_cast<time_t>(wall_ns / billion);
        struct tm tm;
        offset = localtime_r(&t, &tm) != nullptr ? static_cast<int64_t>(tm.tm_gmtoff) * billion : 0;
        hour = h;
    }
    return offset;
}

// Whether local_offset_ns takes the walls a and b for one hour.
bool one_offset(int64_t a_ns, int64_t b_ns)
{
    return hour_of(a_ns) == hour_of(b_ns);
}

// The stamp [p, end) of a mark or a window as an instant: a date and time
// (on the node's clock where it has no offset; `date --iso-8601=ns` writes
// its fraction after a comma) or seconds since the epoch. Returns 0; 1 for
// a time of day, which has no date; -1 for no stamp.
int mark_stamp(const char* p, const char* end, int64_t* ns)
{
    char text[80];
    size_t n = static_cast<size_t>(end - p);
    if (n == 0 || n >= sizeof text)
        return -1;
    std::memcpy(text, p, n);
    for (size_t i = 0; i < n; ++i)
        text[i] = text[i] == ',' ? '.' : text[i];
    int form = whole_field_stamp(text, text + n, ns);
    if (form == stamp_wall)
        *ns -= local_offset_ns(*ns);
    return form == stamp_clock ? 1 : form == stamp_none ? -1 : 0;
}

// The phase named name (n bytes), made where new, its first mark at line.
// Returns -1 where there is no room for it.
int phase_named(phase_plan& plan, const char* name, size_t n, unsigned long line)
{
    int found = find_phase(plan, name, n);
    if (found >= 0)
        return found;
    if (plan.count == max_phases || n >= max_phase_name)
        return -1;
    std::memcpy(plan.names[plan.count], name, n);
    plan.names[plan.count][n] = '\0';
    plan.lines[plan.count] = line;
    return plan.count++;
}

bool add_span(phase_plan& plan, int phase, int64_t from_ns, int64_t to_ns)
{
    if (plan.span_count == plan.span_room) {
        int room = plan.span_room > 0 ? plan.span_room * 2 : 16;
        auto* more = static_cast<phase_span*>(std::realloc(plan.spans, sizeof(phase_span) * static_cast<size_t>(room)));
        if (more == nullptr)
            return false;
        plan.spans = more;
        plan.span_room = room;
    }
    plan.spans[plan.span_count++] = {from_ns, to_ns, phase};
    if (!plan.dated || from_ns < plan.first_mark_ns) {
        plan.first_mark_ns = from_ns;
        plan.dated = true;
    }
    return true;
}

// The marks as they are read: each phase's open begin.
struct open_marks {
    bool open[max_phases] = {};
    int64_t from_ns[max_phases] = {};
    unsigned long line[max_phases] = {};
};

// Takes a mark: a phase begins or ends. Returns null or what is wrong.
const char* take_mark(phase_plan& plan, open_marks& open, const char* name, size_t n, bool begin,
                      int64_t ns, unsigned long line, char* why, size_t why_size)
{
    if (n == 8 && std::memcmp(name, "unmarked", 8) == 0)
        return "\"unmarked\" names the time no phase marks; give the phase another name";
    int k = phase_named(plan, name, n, line);
    if (k < 0)
        return "more than 64 phases, or a name longer than 63 bytes";
    if (begin) {
        if (open.open[k]) {
            std::snprintf(why, why_size, "%s begins again before its end (it began at line %lu)", plan.names[k],
                          open.line[k]);
            return why;
        }
        open.open[k] = true;
        open.from_ns[k] = ns;
        open.line[k] = line;
        return nullptr;
    }
    if (!open.open[k])
        return "an end with no begin before it";
    if (ns <= open.from_ns[k]) {
        std::snprintf(why, why_size, "%s ends %s it begins (at line %lu)%s", plan.names[k],
                      ns < open.from_ns[k] ? "before" : "where", open.line[k],
                      ns < open.from_ns[k] ? "" : ": a phase of no time");
        return why;
    }
    open.open[k] = false;
    return add_span(plan, k, open.from_ns[k], ns) ? nullptr : std::strerror(ENOMEM);
}

// A mark line, "STAMP NAME begin|end", at [p, end). Returns null or what is wrong.
const char* take_mark_line(phase_plan& plan, open_marks& open, const char* p, const char* end,
                           unsigned long line, char* why, size_t why_size)
{
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (end > p && space(end[-1]))
        --end;
    const char* word = end;
    while (word > p && !space(word[-1]))
        --word;
    bool begin = end - word == 5 && std::memcmp(word, "begin", 5) == 0;
    if (!begin && !(end - word == 3 && std::memcmp(word, "end", 3) == 0))
        return "a mark is STAMP NAME begin, or STAMP NAME end";
    const char* name_end = word;
    while (name_end > p && space(name_end[-1]))
        --name_end;
    const char* name = name_end;
    while (name > p && !space(name[-1]))
        --name;
    const char* stamp_end = name;
    while (stamp_end > p && space(stamp_end[-1]))
        --stamp_end;
    if (name == name_end || stamp_end == p)
        return "a mark is STAMP NAME begin, or STAMP NAME end";
    int64_t ns;
    int stamp = mark_stamp(p, stamp_end, &ns);
    if (stamp == 1)
        return "its stamp is a time of day: give the date too, as date --iso-8601=ns writes it";
    // A name of several words leaves the first of them after the stamp.
    for (const char* q = p; stamp < 0 && q < stamp_end; ++q)
        if (space(*q) && mark_stamp(p, q, &ns) >= 0)
            return "a phase's name is one word, without blanks";
    if (stamp < 0)
        return "its stamp is none the tool reads (date --iso-8601=ns, 2026/12/09 10:00:00.000, "
               "or seconds since the epoch)";
    return take_mark(plan, open, name, static_cast<size_t>(name_end - name), begin, ns, line, why, why_size);
}

// A benchmark log's record, ":::MLLOG {...}", that marks its power
// window, as phase "power": MLPerf loadgen's power_begin and power_end, at
// the stamp in their value (MM-DD-YYYY HH:MM:SS.fff, on the node's clock;
// their time_ms counts from loadgen's start), or at their time_ms where
// their value is none; MLPerf training's power_measurement_start and
// power_measurement_stop, at their time_ms (milliseconds since the
// epoch). Returns null (other records too) or what is wrong.
const char* take_mllog_line(phase_plan& plan, open_marks& open, const char* p, const char* end,
                            unsigned long line, char* why, size_t why_size)
{
    static const struct {
        const char* key;
        bool begin;
        bool by_value;
    } marks[] = {{"\"power_begin\"", true, true},
                 {"\"power_end\"", false, true},
                 {"\"power_measurement_start\"", true, false},
                 {"\"power_measurement_stop\"", false, false}};
    const char* key = json_value(p, end, "\"key\"");
    for (const auto& m : marks) {
        size_t n = std::strlen(m.key);
        if (key == nullptr || end - key < static_cast<ptrdiff_t>(n) || std::memcmp(key, m.key, n) != 0)
            continue;
        const char* value = m.by_value ? json_value(p, end, "\"value\"") : nullptr;
        const char* at = json_value(p, end, "\"time_ms\"");
        const char* after;
        int64_t ns;
        if (value != nullptr && *value == '"') {
            const char* stop = static_cast<const char*>(std::memchr(value + 1, '"', static_cast<size_t>(end - value - 1)));
            if (stop == nullptr || mark_stamp(value + 1, stop, &ns) != 0)
                return "a power mark whose value is no date and time";
        } else if (at == nullptr || !parse_epoch_ms(at, end, &ns, &after)) {
            return "a power mark whose time_ms is no time";
        }
        return take_mark(plan, open, "power", 5, m.begin, ns, line, why, why_size);
    }
    return nullptr;
}

} // namespace

int find_phase(const phase_plan& plan, const char* name, size_t n)
{
    for (int i = 0; i < plan.count; ++i)
        if (std::strlen(plan.names[i]) == n && std::memcmp(plan.names[i], name, n) == 0)
            return i;
    return -1;
}

namespace {

// What a file of marks may hold: a benchmark's log line is some 54 kB.
constexpr size_t most_marks_bytes = size_t{64} << 20;
constexpr size_t most_mark_line = size_t{1} << 20;

// The file of marks, read a line at a time through a buffer no longer
// than its longest line: memory as the phases need, whatever the file.
struct marks_file {
    int fd = -1;
    char* buf = nullptr;
    size_t room = 0;          // bytes buf holds, less the one kept for a newline
    size_t start = 0, used = 0;
    size_t total = 0;         // bytes read
    bool ended = false;
};

// The next line of f at [*p, *end), a newline at *end. Returns 1, 0 at the
// file's end, -1 with *err set where it can't be read, -2 for a line or a
// file over the limits.
int next_mark_line(marks_file& f, const char** p, const char** end, int* err)
{
    for (;;) {
        char* nl = f.start < f.used ? static_cast<char*>(std::memchr(f.buf + f.start, '\n', f.used - f.start))
                                    : nullptr;
        if (nl == nullptr && f.ended) {
            if (f.start == f.used)
                return 0;
            // The last line, without a newline: one goes after it.
            nl = f.buf + f.used;
            *nl = '\n';
        }
        if (nl != nullptr) {
            *p = f.buf + f.start;
            *end = nl;
            f.start = std::min(static_cast<size_t>(nl - f.buf) + 1, f.used);
            return 1;
        }
        if (f.start > 0) {
            std::memmove(f.buf, f.buf + f.start, f.used - f.start);
            f.used -= f.start;
            f.start = 0;
        }
        if (f.used > most_mark_line)
            return -2;
        if (f.used == f.room) {
            size_t room = f.room == 0 ? 65536 : std::min(f.room * 2, most_mark_line + 1);
            char* more = static_cast<char*>(std::realloc(f.buf, room + 1));
            if (more == nullptr) {
                *err = ENOMEM;
                return -1;
            }
            f.buf = more;
            f.room = room;
        }
        ssize_t n = read(f.fd, f.buf + f.used, f.room - f.used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = errno;
            return -1;
        }
        f.used += static_cast<size_t>(n);
        f.total += static_cast<size_t>(n);
        f.ended = n == 0;
        if (f.total > most_marks_bytes)
            return -2;
    }
}

// Says what is wrong with line number line at [p, nl), quoting it.
void say_mark_fault(char* why, size_t why_size, unsigned long line, const char* p, const char* nl,
                    const char* wrong)
{
    int shown = static_cast<int>(nl - p < 80 ? nl - p : 80);
    std::snprintf(why, why_size, "line %lu, \"%.*s\": %s", line, shown, p, wrong);
}

} // namespace

int read_phase_marks(const char* file, phase_plan& plan, char* why, size_t why_size)
{
    plan.file = file;
    marks_file f;
    f.fd = open_file(file, O_RDONLY | O_NOCTTY);
    if (f.fd < 0)
        return errno;
    // Marks are read as they come; a file that turns out to hold :::MLLOG
    // records is read for those alone, and what its other lines said is
    // let go.
    bool mllog = false;
    open_marks open;
    unsigned long line = 0;
    const char* wrong = nullptr;
    char detail[160];
    char plain_fault[320] = {};
    const char *p, *nl;
    int err = 0, got;
    while (wrong == nullptr && (got = next_mark_line(f, &p, &nl, &err)) == 1) {
        ++line;
        const char* first = p;
        while (first < nl && (*first == ' ' || *first == '\t'))
            ++first;
        if (memmem(p, static_cast<size_t>(nl - p), ":::MLLOG", 8) != nullptr) {
            if (!mllog) {
                mllog = true;
                open = open_marks{};
                plan.count = plan.span_count = 0;
                plan.dated = false;
            }
            if ((wrong = take_mllog_line(plan, open, p, nl, line, detail, sizeof detail)) != nullptr)
                say_mark_fault(why, why_size, line, p, nl, wrong);
        } else if (!mllog && plain_fault[0] == '\0' && first < nl && *first != '#' && *first != '\r') {
            const char* fault = take_mark_line(plan, open, first, nl, line, detail, sizeof detail);
            if (fault != nullptr)
                say_mark_fault(plain_fault, sizeof plain_fault, line, p, nl, fault);
        }
    }
    (void)close(f.fd);
    std::free(f.buf);
    if (got == -1)
        return err;
    if (got == -2) {
        std::snprintf(why, why_size, f.total > most_marks_bytes ? "it is over 64 MiB, more than any file of marks"
                                                                : "line %lu is longer than 1 MiB, more than any mark",
                      line + 1);
        return -1;
    }
    if (wrong == nullptr && !mllog && plain_fault[0] != '\0') {
        std::snprintf(why, why_size, "%s", plain_fault);
        wrong = why;
    }
    for (int k = 0; wrong == nullptr && k < plan.count; ++k)
        if (open.open[k]) {
            std::snprintf(why, why_size, "line %lu: %s begins with no end", open.line[k], plan.names[k]);
            wrong = why;
        }
    if (wrong == nullptr && plan.span_count == 0) {
        std::snprintf(why, why_size, mllog ? "its :::MLLOG records hold no power_begin and power_end"
                                           : "it holds no mark");
        wrong = why;
    }
    return wrong != nullptr ? -1 : 0;
}

int add_window(const char* text, phase_plan& plan, char* why, size_t why_size)
{
    // The comma between FROM and TO: the one with a stamp or an offset on
    // each side (a stamp's fraction may follow a comma too).
    for (const char* comma = std::strchr(text, ','); comma != nullptr; comma = std::strchr(comma + 1, ',')) {
        const char* ends[2][2] = {{text, comma}, {comma + 1, comma + std::strlen(comma)}};
        bool offset[2];
        double seconds[2] = {0, 0};
        int64_t ns[2] = {0, 0};
        bool good = true;
        for (int i = 0; i < 2 && good; ++i) {
            const char* p = ends[i][0];
            offset[i] = *p == '+' || *p == '-';
            if (offset[i]) {
                char number[64];
                size_t n = static_cast<size_t>(ends[i][1] - p);
                good = n < sizeof number;
                if (good) {
                    std::memcpy(number, p, n);
                    number[n] = '\0';
                    char* after;
                    seconds[i] = std::strtod(number, &after);
                    good = after == number + n && n > 1 && std::isfinite(seconds[i]);
                }
            } else {
                good = mark_stamp(p, ends[i][1], &ns[i]) == 0;
            }
        }
        if (!good)
            continue;
        int k = phase_named(plan, "window", 6, 0);
        if (k < 0 || plan.window) {
            std::snprintf(why, why_size, "a phase of the marks is named window already");
            return -1;
        }
        plan.window = true;
        plan.from_offset = offset[0];
        plan.to_offset = offset[1];
        plan.from_seconds = seconds[0];
        plan.to_seconds = seconds[1];
        plan.window_from_ns = ns[0];
        plan.window_to_ns = ns[1];
        if (!offset[0] && !offset[1] && ns[1] <= ns[0]) {
            std::snprintf(why, why_size, ns[1] < ns[0] ? "it ends before it begins" : "it ends where it begins: a phase of no time");
            return -1;
        }
        // A window of stamps is a span now; one of offsets once the logs
        // are read.
        if (!offset[0] && !offset[1] && !add_span(plan, k, ns[0], ns[1])) {
            std::snprintf(why, why_size, "%s", std::strerror(ENOMEM));
            return -1;
        }
        return 0;
    }
    std::snprintf(why, why_size, "takes FROM,TO, each a stamp (2026-12-09T10:00:00Z) or seconds from "
                                 "the start (+60) or the end (-30) of the logs' common coverage");
    return -1;
}

int settle_window(phase_plan& plan, int64_t from_ns, int64_t to_ns, char* why, size_t why_size)
{
    auto place = [&](bool offset, double seconds, int64_t stamp) {
        if (!offset)
            return stamp;
        return (seconds >= 0 && !std::signbit(seconds) ? from_ns : to_ns) + static_cast<int64_t>(std::llround(seconds * 1e9));
    };
    int64_t from = place(plan.from_offset, plan.from_seconds, plan.window_from_ns);
    int64_t to = place(plan.to_offset, plan.to_seconds, plan.window_to_ns);
    if (to <= from) {
        std::snprintf(why, why_size, "it ends %s it begins, in the logs' common coverage of %.3f s",
                      to < from ? "before" : "where", static_cast<double>(to_ns - from_ns) / 1e9);
        return -1;
    }
    int k = phase_named(plan, "window", 6, 0);
    if (!add_span(plan, k, from, to)) {
        std::snprintf(why, why_size, "%s", std::strerror(ENOMEM));
        return -1;
    }
    return 0;
}

void free_phase_plan(phase_plan& plan)
{
    std::free(plan.spans);
    plan.spans = nullptr;
    plan.span_count = plan.span_room = 0;
}

namespace {

double seconds_of(const phase_sums& s, int64_t ns)
{
    return static_cast<double>(ns - s.origin_ns) / 1e9;
}

// The instant of a reading's stamp on meter m's time line.
int64_t to_instant(phase_sums& s, meter_time& m, int64_t ns, int form)
{
    if ((form == stamp_instant || form == stamp_wall) && !s.saw_instant) {
        s.saw_instant = true;
        s.first_instant_ns = form == stamp_wall ? ns - local_offset_ns(ns) : ns;
    }
    s.saw_clock = s.saw_clock || form == stamp_clock;
    if (form == stamp_instant)
        return ns;
    if (form == stamp_wall)
        return ns - local_offset_ns(ns);
    if (form == stamp_relative)
        return (s.meters[total_meter].any ? s.meters[total_meter].first_ns : 0) + ns;
    // A time of day: on the day that puts the meter's first reading
    // nearest the anchor (the first mark, or a date the logs hold; the
    // hour is all the choice needs), on the node's clock.
    if (!m.day_set && s.anchored) {
        m.day_set = true;
        int64_t anchor_wall = s.anchor_ns + local_offset_ns(s.anchor_ns);
        int64_t midnight = anchor_wall - ((anchor_wall % day_ns) + day_ns) % day_ns;
        int64_t best = midnight;
        for (int64_t d = -1; d <= 1; ++d) {
            int64_t day = midnight + d * day_ns;
            if (std::llabs(day + ns - anchor_wall) < std::llabs(best + ns - anchor_wall))
                best = day;
        }
        m.day_ns = best;
    }
    int64_t wall = m.day_ns + ns;
    return wall - local_offset_ns(wall);
}

void note_coverage(meter_time& m, int64_t from_ns, int64_t to_ns)
{
    if (!m.any || from_ns < m.first_ns)
        m.first_ns = from_ns;
    if (!m.any || to_ns > m.covered_to_ns)
        m.covered_to_ns = to_ns;
    m.any = true;
}

// Moves the meter's cursor past the spans that ended before a (its
// readings come in time order).
int first_live(phase_sums& s, int meter, double a)
{
    int& c = s.cursor[meter];
    while (c < s.span_count && s.spans[c].to <= a)
        ++c;
    return c;
}

// joules over [a, b] in seconds, shared among the spans in proportion to
// the time of theirs; all of them to the spans holding b where b <= a.
void share(phase_sums& s, int meter, double a, double b, double joules)
{
    if (!s.split_energy)
        return;
    for (int i = first_live(s, meter, b <= a ? b : a); i < s.span_count && s.spans[i].from <= b; ++i) {
        const phase_sums::span& sp = s.spans[i];
        double& into = s.energy[sp.target][meter];
        if (b <= a) {
            if (sp.from <= b && b < sp.to)
                into = add_figures(joules, into);
            continue;
        }
        double lo = a > sp.from ? a : sp.from, hi = b < sp.to ? b : sp.to;
        if (hi > lo)
            into = add_figures(lo == a && hi == b ? joules : joules * ((hi - lo) / (b - a)), into);
    }
}

// joules over [from, to] (instants): to the observer, and shared among
// the spans.
void place_energy(phase_sums& s, int meter, int64_t from_ns, int64_t to_ns, double joules)
{
    if (s.observer != nullptr)
        s.observer->energy(s.observer->context, meter, from_ns, to_ns, joules);
    share(s, meter, seconds_of(s, from_ns), seconds_of(s, to_ns), joules);
}

// The trapezoid from (a, p0) to (b, p1), cut at the spans' edges by the
// power interpolated there.
void trapezoid(phase_sums& s, int meter, double a, double p0, double b, double p1)
{
    if (!s.split_energy)
        return;
    for (int i = first_live(s, meter, a); i < s.span_count && s.spans[i].from < b; ++i) {
        const phase_sums::span& sp = s.spans[i];
        double lo = a > sp.from ? a : sp.from, hi = b < sp.to ? b : sp.to;
        if (!(hi > lo))
            continue;
        double plo = lo == a ? p0 : p0 + (p1 - p0) * ((lo - a) / (b - a));
        double phi = hi == b ? p1 : p0 + (p1 - p0) * ((hi - a) / (b - a));
        double& into = s.energy[sp.target][meter];
        into = add_figures(add_figures(plo, phi) * (hi - lo) * 0.5, into);
    }
}

void take_point(void* context, int meter, int64_t ns, int form, double watts)
{
    auto& s = *static_cast<phase_sums*>(context);
    meter_time& m = s.meters[meter];
    int64_t t = to_instant(s, m, ns, form);
    note_coverage(m, t, t);
    if (s.observer != nullptr)
        s.observer->point(s.observer->context, meter, t, watts);
    if (m.have_last)
        trapezoid(s, meter, seconds_of(s, m.last_ns), m.last_watts, seconds_of(s, t), watts);
    m.have_last = true;
    m.last_ns = t;
    m.last_watts = watts;
}

void take_energy(void* context, int meter, int64_t from_ns, int64_t ns, int form, double joules)
{
    auto& s = *static_cast<phase_sums*>(context);
    meter_time& m = s.meters[meter];
    if (form == stamp_none) {
        // No stamp: at the meter's last time, or with its first interval.
        ++m.untimed;
        if (m.have_last)
            place_energy(s, meter, m.last_ns, m.last_ns, joules);
        else
            m.pending_extra = add_figures(joules, m.pending_extra);
        return;
    }
    int64_t t = to_instant(s, m, ns, form);
    if (from_ns != since_last) {
        int64_t f = to_instant(s, m, from_ns, form);
        note_coverage(m, f, t);
        place_energy(s, meter, f, t, add_figures(joules, m.pending_extra));
        m.pending_extra = 0;
    } else if (m.pending) {
        // The first interval, as long as the second.
        int64_t f = m.pending_ns - (t - m.pending_ns);
        note_coverage(m, f, t);
        place_energy(s, meter, f, m.pending_ns, add_figures(m.pending_joules, m.pending_extra));
        place_energy(s, meter, m.pending_ns, t, joules);
        m.pending = false;
        m.pending_extra = 0;
    } else if (m.have_last) {
        note_coverage(m, t, t);
        place_energy(s, meter, m.last_ns, t, joules);
    } else {
        m.pending = true;
        m.pending_ns = t;
        m.pending_joules = joules;
    }
    m.have_last = true;
    m.last_ns = t;
}

// Whether the readings after the first of a run stand a step apart as
// instants, as they do as stamps: on a time line that is the logs' own
// shifted (a place from the log's start), or as times of day within one
// hour of the node's clock (one offset from UTC for them all). Times of
// day with a reading of -0 joules go one at a time, as they always have:
// take_energy makes each such reading +0 (0 W in the picture and series).
bool even_run(const meter_time& m, int64_t from_ns, int64_t step_ns, int form, const double* joules, size_t n)
{
    if (step_ns <= 0 || (form != stamp_relative && form != stamp_clock))
        return false;
    auto k = static_cast<int64_t>(n);
    if (form == stamp_clock && !one_offset(m.day_ns + from_ns + step_ns, m.day_ns + from_ns + k * step_ns))
        return false;
    for (size_t i = 1; form == stamp_clock && i < n; ++i)
        if (joules[i] == 0 && std::signbit(joules[i]))
            return false;
    return true;
}

// As take_energy for each reading; where they stand evenly (even_run),
// each reading's start is the reading before's end, and its seconds are
// not worked out again.
void take_energy_run(void* context, int meter, int64_t from_ns, int64_t step_ns, int form, const double* joules,
                     size_t n)
{
    auto& s = *static_cast<phase_sums*>(context);
    meter_time& m = s.meters[meter];
    auto one = [&](size_t i) {
        auto k = static_cast<int64_t>(i);
        take_energy(context, meter, from_ns + k * step_ns, from_ns + (k + 1) * step_ns, form, joules[i]);
    };
    if (n == 0)
        return;
    one(0);
    if (!even_run(m, from_ns, step_ns, form, joules, n)) {
        for (size_t i = 1; i < n; ++i)
            one(i);
        return;
    }
    size_t i = 1;
    int64_t f = m.last_ns;
    note_coverage(m, f, f + static_cast<int64_t>(n - i) * step_ns);
    if (s.observer != nullptr)
        s.observer->energy_run(s.observer->context, meter, f, step_ns, joules + i, n - i);
    if (!s.split_energy) {
        m.last_ns = f + static_cast<int64_t>(n - 1) * step_ns;
        return;
    }
    // A reading wholly within the meter's span, and none of the next,
    // is all that span's; share finds the spans of the others.
    double a = seconds_of(s, f);
    int c = first_live(s, meter, a);
    // All of them before the span's end, and no other span begun: all
    // the span's (as the loop below would add them, one at a time).
    double end = seconds_of(s, f + static_cast<int64_t>(n - i) * step_ns);
    const phase_sums::span* whole = s.spans + c;
    if (!s.overlap && c < s.span_count && whole->from <= a && end < whole->to &&
        (c + 1 == s.span_count || whole[1].from > end)) {
        double& into = s.energy[whole->target][meter];
        double sum = into;
        for (; i < n; ++i)
            sum = add_figures(joules[i], sum);
        into = sum;
        m.last_ns = f + static_cast<int64_t>(n - 1) * step_ns;
        return;
    }
    for (; i < n; ++i) {
        f += step_ns;
        double b = seconds_of(s, f);
        const phase_sums::span* sp = s.spans + c;
        if (!s.overlap && c < s.span_count && sp->from <= a && b <= sp->to && a < b &&
            (c + 1 == s.span_count || sp[1].from > b)) {
            double& into = s.energy[sp->target][meter];
            into = add_figures(joules[i], into);
        } else {
            share(s, meter, a, b, joules[i]);
            c = s.cursor[meter];
        }
        a = b;
    }
    m.last_ns = f;
}

void take_energy_lines(void* context, int first, int meters, int form, const int64_t* ns, const double* joules,
                       size_t n)
{
    for (size_t i = 0; i < n; ++i)
        for (int k = 0; k < meters; ++k)
            take_energy(context, first + k, since_last, ns[i], form, *joules++);
}

} // namespace

bool start_phase_sums(phase_sums& sums, const phase_plan& plan, bool anchored, int64_t anchor_ns)
{
    sums.plan = &plan;
    sums.anchored = plan.dated || anchored;
    sums.anchor_ns = plan.dated ? plan.first_mark_ns : anchor_ns;
    sums.origin_ns = sums.anchor_ns;
    int room = 2 * plan.span_count + 1;
    sums.spans = static_cast<phase_sums::span*>(std::malloc(sizeof(phase_sums::span) * static_cast<size_t>(room)));
    if (sums.spans == nullptr)
        return false;
    int n = 0;
    for (int i = 0; i < plan.span_count; ++i)
        sums.spans[n++] = {seconds_of(sums, plan.spans[i].from_ns), seconds_of(sums, plan.spans[i].to_ns),
                           plan.spans[i].phase};
    std::sort(sums.spans, sums.spans + n, [](const phase_sums::span& x, const phase_sums::span& y) {
        return x.from < y.from || (x.from == y.from && x.target < y.target);
    });
    for (int i = 1; i < n; ++i)
        sums.overlap = sums.overlap || sums.spans[i].from < sums.spans[i - 1].to;
    // Where no phases overlap, the time between them is unmarked: its
    // spans run out to either side, so that every reading lands somewhere.
    if (!sums.overlap) {
        double from = -HUGE_VAL;
        for (int i = 0, phases = n; i <= phases; ++i) {
            double to = i < phases ? sums.spans[i].from : HUGE_VAL;
            if (to > from)
                sums.spans[n++] = {from, to, plan.count};
            from = i < phases ? sums.spans[i].to : from;
        }
        std::sort(sums.spans, sums.spans + n, [](const phase_sums::span& x, const phase_sums::span& y) {
            return x.from < y.from || (x.from == y.from && x.target < y.target);
        });
    }
    sums.span_count = n;
    return true;
}

void free_phase_sums(phase_sums& sums)
{
    std::free(sums.spans);
    sums.spans = nullptr;
}

timed_sink phase_sink(phase_sums& sums)
{
    timed_sink sink;
    sink.context = &sums;
    sink.point = take_point;
    sink.energy = take_energy;
    sink.energy_run = take_energy_run;
    sink.energy_lines = take_energy_lines;
    return sink;
}

void finish_phase_sums(phase_sums& sums)
{
    for (int meter = 0; meter < timed_meters; ++meter) {
        meter_time& m = sums.meters[meter];
        if (!m.pending)
            continue;
        // One interval alone: where it ends.
        note_coverage(m, m.pending_ns, m.pending_ns);
        place_energy(sums, meter, m.pending_ns, m.pending_ns, add_figures(m.pending_joules, m.pending_extra));
        m.pending = false;
    }
}

bool meter_untimed(const phase_sums& sums, int meter)
{
    return sums.meters[meter].untimed > 0 && !sums.meters[meter].any;
}

bool meter_coverage(const phase_sums& sums, int meter, int64_t* first_ns, int64_t* last_ns)
{
    const meter_time& m = sums.meters[meter];
    *first_ns = m.first_ns;
    *last_ns = m.covered_to_ns;
    return m.any;
}

double phase_seconds_within(const phase_sums& sums, int phase, int64_t from_ns, int64_t to_ns)
{
    double a = seconds_of(sums, from_ns), b = seconds_of(sums, to_ns), total = 0;
    for (int i = 0; i < sums.span_count; ++i) {
        const phase_sums::span& sp = sums.spans[i];
        double lo = a > sp.from ? a : sp.from, hi = b < sp.to ? b : sp.to;
        if (sp.target == phase && hi > lo)
            total += hi - lo;
    }
    return total;
}

void phase_figures(const phase_sums& sums, int phase, const int* gpu_source, int gpus, int cpus,
                   energy_summary& out)
{
    out = energy_summary{};
    out.total_energy = sums.energy[phase][total_meter];
    for (int k = 1; k <= cpus; ++k)
        cpu_figure(out, k) = sums.energy[phase][cpu_meter(k)];
    for (int k = 1; k <= gpus; ++k)
        if (gpu_source[k - 1] >= 0)
            gpu_figure(out, k) = sums.energy[phase][first_gpu_source + gpu_source[k - 1]];
}
