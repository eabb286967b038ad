// The CPU log as the meters users have write it: columns of joules at any
// fields (by number or by the header's names), perf stat's counts,
// cumulative energy counters (RAPL's energy_uj), turbostat's package rows,
// a RAPL logger's CSV; each format's bid; a log of none of whose lines is
// of its format refused. Read plainly, a line at a time, but for the
// default shape (fields 3 and 7, two CPUs), which its scanners read.
#include "read/power_logs.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "read/log_reading.h"
#include "read/time_stamps.h"

namespace {

bool is_word(const line_fields& w, int i, const char* text)
{
    return i < w.count && w.length[i] == std::strlen(text) && std::memcmp(w.at[i], text, w.length[i]) == 0;
}

// The word i as a whole number (a socket's or package's), or -1.
long whole_number(const line_fields& w, int i)
{
    if (i >= w.count || w.length[i] == 0 || w.length[i] > 6)
        return -1;
    long n = 0;
    for (size_t k = 0; k < w.length[i]; ++k) {
        if (w.at[i][k] < '0' || w.at[i][k] > '9')
            return -1;
        n = n * 10 + (w.at[i][k] - '0');
    }
    return n;
}

// Whether the words from i on are whole numbers, digits alone.
bool whole_numbers(const line_fields& w, int i)
{
    for (; i < w.count; ++i)
        for (size_t k = 0; k < w.length[i]; ++k)
            if (!is_digit(w.at[i][k]))
                return false;
    return true;
}

// The word i as a number, the whole word; false where it is none.
bool whole_reading(const line_fields& w, int i, double* value)
{
    if (i < 0 || i >= w.count || w.length[i] == 0)
        return false;
    const char* stop;
    *value = parse_reading(w.at[i], &stop);
    return stop == w.at[i] + w.length[i];
}

// Where the joules of the line being read stand in time, for a sink: over
// [from, ns], from since_last for the time since the CPU's last line.
struct line_time {
    const timed_sink* sink = nullptr;
    int64_t from = since_last;
    int64_t ns = 0;
    int form = stamp_none;
    clock_days days;
    stamp_memo memo;
    // perf's times count from its start, "# started on STAMP".
    bool started = false;
    int64_t start_ns = 0;
    int start_form = stamp_instant;
    int64_t last_rel_ns[max_cpus] = {};
};

// Adds joules into CPU k (from 1), where k is one this run reads, and
// passes them on to the sink, if any.
void add_cpu(cpu_log& out, int k, double joules, const line_time* at = nullptr)
{
    if (k > out.cpus) {
        out.sockets_beyond = true;
        return;
    }
    cpu_figure(out.part, k) = add_figures(joules, cpu_figure(out.part, k));
    out.seen[k - 1] = true;
    if (at != nullptr && at->sink != nullptr)
        at->sink->energy(at->sink->context, cpu_meter(k), at->from, at->ns, at->form, joules);
}

// The field of the header named by the n bytes at name, from 1 (the last
// of that name); 0, said in out, where the header names none.
int named_field(const line_fields& header, const char* name, size_t n, cpu_log& out)
{
    int field = 0;
    for (int i = 0; i < header.count; ++i)
        if (header.length[i] == n && std::memcmp(header.at[i], name, n) == 0)
            field = i + 1;
    if (field == 0)
        std::snprintf(out.error, sizeof out.error, "--cpu-fields names \"%.*s\", which its header line does not",
                      static_cast<int>(n), name);
    return field;
}

// The length of the item at p of a list between commas.
size_t item_length(const char* p)
{
    const char* comma = std::strchr(p, ',');
    return comma != nullptr ? static_cast<size_t>(comma - p) : std::strlen(p);
}

// --cpu-format=columns: the fields of each CPU, by number or by the
// header's names, set from the header line.
struct column_state {
    int fields[max_cpus] = {};
};

// Sets the fields from --cpu-fields (numbers, or the header's names), or
// the CPU log's own (cpu_kind's two, and on at the same step: 3, 7, 11...).
// Returns false where a name is not in the header, having said which in out.
bool set_fields(column_state& st, const cpu_log_options& o, const line_fields& header, cpu_log& out)
{
    constexpr int step = cpu_kind.fields[1] - cpu_kind.fields[0];
    for (int k = 0; k < o.cpus; ++k)
        st.fields[k] = cpu_kind.fields[0] + step * k;
    if (o.fields == nullptr)
        return true;
    const char* p = o.fields;
    for (int k = 0; k < o.cpus && *p != '\0'; ++k) {
        size_t n = item_length(p);
        char* end;
        long number = std::strtol(p, &end, 10);
        st.fields[k] = end == p + n && number >= 1 ? static_cast<int>(number) : named_field(header, p, n, out);
        if (st.fields[k] == 0)
            return false;
        p += n + (p[n] == ',');
    }
    return true;
}

void take_columns(const column_state& st, const line_fields& w, const numbered_line& line, cpu_log& out, line_time& at)
{
    // Each CPU's joules for the interval that ends at the line's stamp.
    at.from = since_last;
    if (at.sink != nullptr)
        at.form = w.count > 0 ? memo_stamp(at.memo, w.at[0], w.at[0] + w.length[0], &at.ns, &at.days) : stamp_none;
    for (int k = 0; k < out.cpus; ++k) {
        int f = st.fields[k] - 1;
        double joules = 0;
        if (f < w.count) {
            const char* stop;
            log_shape& shape = out.shape;
            uint64_t runs_on = shape.runs_on, not_finite = shape.not_finite;
            joules = scan_reading(w.at[f], &stop, shape);
            if (stop == w.at[f])
                note_line(shape.no_reading_line, shape.no_reading, line);
            if (shape.runs_on != runs_on)
                pick_first(shape.runs_on_line, line.number, line.text.text, line.text.length);
            if (shape.not_finite != not_finite)
                pick_first(shape.not_finite_line, line.number, line.text.text, line.text.length);
        } else {
            note_line(out.shape.no_reading_line, out.shape.no_reading, line);
        }
        add_cpu(out, k + 1, joules, &at);
    }
}

// perf's "# started on" line, with a stamp (as date --iso-8601=ns writes
// it) or perf's own (with -o, "Wed Dec  9 10:00:00 2026", on the node's
// clock): where its times count from.
void take_perf_start(const char* p, const char* end, line_time& at)
{
    constexpr char prefix[] = "# started on ";
    size_t n = static_cast<size_t>(end - p);
    if (n <= sizeof prefix - 1 || std::memcmp(p, prefix, sizeof prefix - 1) != 0)
        return;
    char text[80];
    n -= sizeof prefix - 1;
    while (n > 0 && is_space(p[sizeof prefix - 2 + n]))
        --n;
    if (n >= sizeof text)
        return;
    std::memcpy(text, p + sizeof prefix - 1, n);
    text[n] = '\0';
    for (size_t i = 0; i < n; ++i)
        text[i] = text[i] == ',' ? '.' : text[i];
    const char* after;
    struct tm tm = {};
    if (parse_time_stamp(text, text + n, &at.start_ns, &after) && after == text + n) {
        at.start_form = date_stamp_form(text, text + n);
        at.started = true;
    } else if (const char* rest = strptime(text, "%a %b %d %H:%M:%S %Y", &tm); rest != nullptr && *rest == '\0') {
        at.start_ns = static_cast<int64_t>(timegm(&tm)) * 1000000000;
        at.start_form = stamp_wall;
        at.started = true;
    }
}

// --cpu-format=perf: a count a line, found by its unit, "[TIME] [SOCKET
// CPUS] COUNT Joules EVENT ...", text or with -x between commas: with -I,
// TIME; with --per-socket, SOCKET (S0 is CPU1); without it, every socket at
// once (into CPU1, where --cpus does not ask for more); a whole run's
// totals have no TIME. Only the package events add; lines of other events
// (energy-ram, cycles) are passed over, and so are perf's own lines around
// a whole run's ("Performance counter stats for ...", "N seconds time
// elapsed"). perf 4.x writes a count's EVENT on the line after it,
// ",EVENT,...".
struct perf_count {
    bool number = false;    // COUNT is a number: value
    double value = 0;
    bool per_socket = false;
    long socket = 0;
    bool timed = false;     // a TIME before the count, rel_ns, where it is one
    bool time_read = false;
    int64_t rel_ns = 0;
    char event[64] = {};
    uint64_t line = 0;      // its line, as said
    char text[80] = {};
    size_t length = 0;
};

bool is_socket(const line_fields& w, int i)
{
    return w.length[i] >= 2 && w.at[i][0] == 'S' && is_digit(w.at[i][1]);
}

// Whether [p, end) is one of perf's own lines around a whole run's counts:
// "Performance counter stats for 'system wide':", "5.0012 seconds time
// elapsed" (and user, sys).
bool perf_says(const char* p, const char* end)
{
    line_fields w = split_line(p, end, field_split::blanks, 2);
    double seconds;
    return is_word(w, 0, "Performance") || (whole_reading(w, 0, &seconds) && is_word(w, 1, "seconds"));
}

// Adds a count of Joules, its event known. Returns false where the log
// can't be read so, having said why in out.
bool add_perf_count(const perf_count& c, const cpu_log_options& o, cpu_log& out, line_time& at)
{
    numbered_line line = {c.line, {c.text, c.length}};
    if (!c.number) {
        note_line(out.shape.no_reading_line, out.shape.no_reading, line);
        return true;
    }
    if (std::strstr(c.event, "energy-pkg") == nullptr) {
        if (out.other_event[0] == '\0')
            std::snprintf(out.other_event, sizeof out.other_event, "%s", c.event);
        return true;
    }
    out.packages = c.socket + 1 > out.packages ? static_cast<int>(c.socket) + 1 : out.packages;
    if (!c.per_socket && o.cpus_given && o.cpus > 1) {
        std::snprintf(out.error, sizeof out.error,
                      "its package energy is every socket's at once (line %llu has no socket column), but "
                      "--cpus=%d: run perf with --per-socket",
                      static_cast<unsigned long long>(c.line), o.cpus);
        return false;
    }
    out.whole_node = out.whole_node || !c.per_socket;
    at.from = since_last;
    at.form = stamp_none;
    if (at.sink != nullptr && c.timed && c.socket < max_cpus) {
        // The interval since the socket's line before, or since perf began.
        if (!c.time_read || !at.started) {
            std::snprintf(out.error, sizeof out.error,
                          "perf's times count from its start, which the log does not say: write the start "
                          "first, echo \"# started on $(date --iso-8601=ns)\", or run perf with -o");
            return false;
        }
        at.from = at.start_ns + at.last_rel_ns[c.socket];
        at.ns = at.start_ns + c.rel_ns;
        at.form = at.start_form;
        at.last_rel_ns[c.socket] = c.rel_ns;
    }
    add_cpu(out, static_cast<int>(c.socket) + 1, c.value, &at);
    return true;
}

// Takes a line of perf's; held is a count whose event is still to come.
// Returns false where the log can't be read so (a decimal comma), having
// said why in out.
bool take_perf(const char* p, const char* end, const numbered_line& line, const cpu_log_options& o, cpu_log& out,
               line_time& at, perf_count& held)
{
    line_fields w = split_line(p, end, field_split::blanks);
    bool csv = w.count < 4 && end > p && std::memchr(p, ',', static_cast<size_t>(end - p)) != nullptr;
    if (csv)
        w = split_line(p, end, field_split::commas);
    // The event of the count on the line before.
    int first = csv && w.count > 1 && w.length[0] == 0 ? 1 : 0;
    if (held.line != 0 && first < w.count && std::isalpha(static_cast<unsigned char>(w.at[first][0]))) {
        std::snprintf(held.event, sizeof held.event, "%.*s", static_cast<int>(w.length[first] < 60 ? w.length[first] : 60),
                      w.at[first]);
        perf_count c = held;
        held = perf_count{};
        return add_perf_count(c, o, out, at);
    }
    if (held.line != 0) {
        note_line(out.odd_line, out.odd, {held.line, {held.text, held.length}});
        held = perf_count{};
    }
    int unit = -1;
    for (int i = 0; i < w.count && unit < 0; ++i)
        unit = is_word(w, i, "Joules") ? i : -1;
    int socket = -1;
    for (int i = 0; i < w.count && i != unit; ++i) {
        if (w.length[i] > 0 && w.at[i][0] == '<') {
            note_line(out.not_counted_line, out.not_counted, line);
            return true;
        }
        socket = socket < 0 && is_socket(w, i) ? i : socket;
    }
    if (unit < 0) {
        // Another event's count, "COUNT EVENT": said, left out; perf's own
        // lines around a whole run's counts pass.
        double value;
        int count = socket >= 0 ? socket + 2 : 0;
        for (; count < w.count && !whole_reading(w, count, &value); ++count) {
        }
        for (int i = count + 1; i < w.count; ++i)
            if (w.length[i] > 0 && std::isalpha(static_cast<unsigned char>(w.at[i][0]))) {
                if (out.other_event[0] == '\0')
                    std::snprintf(out.other_event, sizeof out.other_event, "%.*s",
                                  static_cast<int>(w.length[i] < 60 ? w.length[i] : 60), w.at[i]);
                return true;
            }
        note_line(out.odd_line, out.odd, line);
        return true;
    }
    // Where the count should stand: after TIME, SOCKET and CPUS, those of them there are.
    int count = unit - 1;
    bool timed = socket >= 0 ? socket == 1 : count == 1;
    int expected = socket >= 0 ? socket + 2 : timed ? 1 : 0;
    if (count >= 0 && (std::memchr(w.at[count], ',', w.length[count]) != nullptr || (csv && count != expected))) {
        std::snprintf(out.error, sizeof out.error,
                      "line %llu, \"%.*s\", writes its numbers with a decimal comma or a thousands "
                      "separator: run perf with LC_ALL=C",
                      static_cast<unsigned long long>(line.number),
                      static_cast<int>(line.text.length < 80 ? line.text.length : 80), line.text.text);
        return false;
    }
    if (count < 0 || count != expected) {
        note_line(out.odd_line, out.odd, line);
        return true;
    }
    perf_count c;
    c.number = whole_reading(w, count, &c.value);
    c.per_socket = socket >= 0;
    c.socket = socket >= 0 ? std::strtol(w.at[socket] + 1, nullptr, 10) : 0;
    c.timed = timed;
    const char* after;
    c.time_read = timed && parse_time_stamp(w.at[0], w.at[0] + w.length[0], &c.rel_ns, &after) &&
                  after == w.at[0] + w.length[0];
    c.line = line.number;
    c.length = line.text.length < sizeof c.text ? line.text.length : sizeof c.text;
    std::memcpy(c.text, line.text.text, c.length);
    if (unit + 1 >= w.count || w.length[unit + 1] == 0) {
        held = c; // its event on the next line
        return true;
    }
    size_t n = w.length[unit + 1];
    std::snprintf(c.event, sizeof c.event, "%.*s", static_cast<int>(n < 60 ? n : 60), w.at[unit + 1]);
    return add_perf_count(c, o, out, at);
}

// Package k's counter's step from last to now, in whole microjoules, into
// *step: a step down is a wrap, which adds --cpu-wrap (counted in out).
// Returns false where it wrapped with no --cpu-wrap, having said so.
bool counter_step(unsigned long long last, unsigned long long now, int k, const cpu_log_options& o, uint64_t line,
                  cpu_log& out, unsigned long long* step)
{
    *step = now - last;
    if (now >= last)
        return true;
    if (o.wrap_uj == 0) {
        std::snprintf(out.error, sizeof out.error,
                      "at line %llu, package %d's counter steps down, from %llu to %llu: it "
                      "wrapped; give the packages' max_energy_range_uj with --cpu-wrap=UJ",
                      static_cast<unsigned long long>(line), k, last, now);
        return false;
    }
    *step = o.wrap_uj - last + now;
    ++out.wraps;
    return true;
}

// The CPU logs read as tables, by the roles their header's names give
// their columns (name_roles), or by their places.
//
// --cpu-format=counters: a stamp, then a counter a package, between blanks
// or commas; its first line a header where its second field is no number.
//
// --cpu-format=turbostat: blanks between its columns (the time of day in
// seconds, the package, Pkg_J or PkgWatt, by the names turbostat's
// versions gave them), its header on any line that names them (it writes
// it again); package rows alone (a number in Package, and an energy or a
// power there), the summary row "-" and the other CPUs' rows passed over.
// Without a Package column the node has one package: its rows are the
// summary rows (every row, where no Core or CPU column says which are).
// PkgWatt counts where a row's Pkg_J is no number.
//
// --cpu-format=csv: commas between its columns, its header the first line
// (after a '#' where it has one; later '#' lines, and all after a "###"
// trailer, are passed over). Long, a row a socket and domain
// ("#timestamp,interval,socket,domain,energy,power"): the socket N<k>,
// S<k>, <k> or package-<k> is CPU k + 1, and rows of a domain other than
// the package's are said once and left out. Wide, a column a socket:
// pkg<k>_J, pkg<k>, package-<k>, or as --cpu-fields names them.
//
// The quantity: joules an interval (energy), microjoules counted up
// (energy_uj, counters: steps summed, each exact in integers, over the
// interval from the socket's stamp before; a step down is a wrap, which
// adds --cpu-wrap), or watts (power) times the interval column, or times
// the "N sec" that turbostat run once around a command writes, or held
// over the interval from the socket's row before: its last stamp, and its
// first row's power until a second row gives that first row its interval.
struct power_track {
    int64_t last_ns[max_cpus] = {};
    bool have_last[max_cpus] = {};
    double first_watts[max_cpus] = {};
    bool first_pending[max_cpus] = {};
};

// Package k's watts at ns, held over the interval from its row before,
// into CPU k + 1 (a package's first row takes its second's interval).
void add_power_interval(power_track& st, int k, int64_t ns, double watts, cpu_log& out, line_time& at)
{
    if (st.have_last[k]) {
        int64_t last = st.last_ns[k];
        double dt = static_cast<double>(ns - last) / 1e9;
        if (st.first_pending[k]) {
            at.from = last - (ns - last);
            at.ns = last;
            add_cpu(out, k + 1, st.first_watts[k] * dt, &at);
            st.first_pending[k] = false;
        }
        at.from = last;
        at.ns = ns;
        add_cpu(out, k + 1, watts * dt, &at);
    } else {
        st.first_watts[k] = watts;
        st.first_pending[k] = true;
    }
    st.have_last[k] = true;
    st.last_ns[k] = ns;
}

// What a table's columns hold, and what its sockets' rows have left.
struct cpu_table {
    bool turbostat = false;
    int stamp = -1, socket = -1, domain = -1, interval = -1, topology = -1; // columns, from 0
    int value = -1;           // the quantity's column, of kind
    column_role kind = column_role::none;
    int watts = -1;           // turbostat's PkgWatt, where Pkg_J is the quantity
    int wide[max_cpus] = {};  // a column a socket (a wide CSV's, the counters'): CPU k + 1's, from 1
    int wide_count = 0;
    bool named = false;       // a header has named the columns
    bool trailer = false;     // past a "###" line
    double seconds = 0;       // turbostat's "N sec"
    stamp_memo memo;
    power_track power;
    unsigned long long last[max_cpus] = {}; // each socket's counter, at its stamp
    int64_t last_ns[max_cpus] = {};
    bool counted[max_cpus] = {}, stamped[max_cpus] = {};
    unsigned long long total[max_cpus] = {};
    uint64_t long_line = 0;  // the last line said to hold a long interval
};

// Whether the line is turbostat's header: one that names Pkg_J or
// PkgWatt; sets its columns.
bool take_turbostat_header(cpu_table& st, const line_fields& w)
{
    column_roles r = name_roles(w);
    if (role_column(r, column_role::power) < 0 && role_column(r, column_role::energy) < 0)
        return false;
    st.stamp = role_column(r, column_role::stamp);
    st.socket = role_column(r, column_role::id);
    st.kind = role_column(r, column_role::energy) >= 0 ? column_role::energy : column_role::power;
    st.value = role_column(r, st.kind);
    st.watts = st.kind == column_role::energy ? role_column(r, column_role::power) : -1;
    st.topology = -1;
    for (int i = 0; i < w.count && st.topology < 0; ++i)
        st.topology = is_word(w, i, "Core") || is_word(w, i, "CPU") ? i : -1;
    return true;
}

// The socket a name or value gives ("pkg1_J", "package-1", "N1", "S1",
// "1"), and the quantity its unit says (counter for _uj); -1 for none.
int socket_of(const char* p, size_t n, column_role* kind)
{
    static const char* const prefixes[] = {"package-", "package", "pkg", "n", "s", ""};
    for (const char* prefix : prefixes) {
        size_t k = std::strlen(prefix), i = 0;
        while (i < k && i < n && std::tolower(static_cast<unsigned char>(p[i])) == prefix[i])
            ++i;
        if (i < k || i == n || !is_digit(p[i]))
            continue;
        int socket = 0;
        for (; i < n && is_digit(p[i]) && socket < 1000; ++i)
            socket = socket * 10 + (p[i] - '0');
        size_t rest = n - i;
        *kind = rest == 3 && (p[i + 1] == 'u' || p[i + 1] == 'U') ? column_role::counter : column_role::energy;
        bool unit = rest == 0 || (rest == 2 && p[i] == '_' && (p[i + 1] == 'J' || p[i + 1] == 'j')) ||
                    (rest == 3 && p[i] == '_' && *kind == column_role::counter && (p[i + 2] == 'J' || p[i + 2] == 'j'));
        return unit ? socket : -1;
    }
    return -1;
}

// Names the CSV's columns from its header [p, end) and --cpu-fields.
// Returns false where they name no quantity, having said so in out.
bool name_cpu_csv(cpu_table& st, const cpu_log_options& o, const char* p, const char* end, cpu_log& out)
{
    for (p = skip_blanks(p); p < end && *p == '#'; ++p) {
    }
    line_fields w = split_line(p, end, field_split::commas);
    column_roles r = name_roles(w);
    st.stamp = role_column(r, column_role::stamp);
    st.socket = role_column(r, column_role::id);
    st.domain = role_column(r, column_role::domain);
    st.interval = role_column(r, column_role::interval);
    // The quantity: joules first, then microjoules counted up, then watts.
    for (column_role c : {column_role::power, column_role::counter, column_role::energy})
        if (role_column(r, c) >= 0)
            st.value = role_column(r, c), st.kind = c;
    // Columns a socket, by their names ("pkg0_J"): where there is no socket
    // column, their quantity is the log's.
    for (int i = 0; o.fields == nullptr && i < w.count; ++i) {
        column_role kind;
        int socket = socket_of(w.at[i], w.length[i], &kind);
        if (socket >= 0 && socket < max_cpus && name_of_column(w.at[i], w.length[i]).role == column_role::none) {
            st.wide[socket] = i + 1;
            st.wide_count = socket + 1 > st.wide_count ? socket + 1 : st.wide_count;
            st.kind = st.socket < 0 ? kind : st.kind;
        }
    }
    for (const char* f = o.fields; f != nullptr && *f != '\0' && st.wide_count < o.cpus;) {
        size_t n = item_length(f);
        st.wide[st.wide_count] = named_field(w, f, n, out);
        if (st.wide[st.wide_count] == 0)
            return false;
        st.kind = name_of_column(f, n).role == column_role::counter ? column_role::counter : column_role::energy;
        ++st.wide_count;
        f += n + (f[n] == ',');
    }
    if (st.wide_count > 0 && st.socket < 0)
        return true;
    if (st.socket >= 0 && st.value >= 0)
        return true;
    std::snprintf(out.error, sizeof out.error,
                  "its header, \"%.*s\", names no socket column and energy, energy_uj or power column, nor a "
                  "column a socket (pkg0_J,pkg1_J)",
                  static_cast<int>(end - p < 120 ? end - p : 120), p);
    return false;
}

// Socket k's quantity of kind at column, at the row's stamp, into CPU
// k + 1. Returns false where the log can't be read so (a counter that
// wrapped with no --cpu-wrap).
bool take_table_value(cpu_table& st, const cpu_log_options& o, int k, const line_fields& w, int column,
                      column_role kind, const numbered_line& line, cpu_log& out, line_time& at)
{
    double v;
    if (!whole_reading(w, column, &v)) {
        note_line(out.shape.no_reading_line, out.shape.no_reading, line);
        return true;
    }
    out.packages = k + 1 > out.packages ? k + 1 : out.packages;
    if (kind == column_role::counter) {
        char* stop;
        unsigned long long now = std::strtoull(w.at[column], &stop, 10), step = 0;
        if (stop != w.at[column] + w.length[column] || w.at[column][0] == '-') {
            note_line(out.shape.no_reading_line, out.shape.no_reading, line);
            return true;
        }
        if (st.counted[k] && !counter_step(st.last[k], now, k, o, line.number, out, &step))
            return false;
        st.total[k] += step;
        bool timed = at.form != stamp_none && st.stamped[k];
        if (at.sink != nullptr && st.counted[k] && k < out.cpus)
            at.sink->energy(at.sink->context, cpu_meter(k + 1), timed ? st.last_ns[k] : since_last, at.ns, at.form,
                            static_cast<double>(step) / 1e6);
        // Two wraps in one interval, at 1000 W a package, would look like one.
        if (o.wrap_uj != 0 && st.counted[k] && timed && line.number != st.long_line &&
            static_cast<double>(at.ns - st.last_ns[k]) * 1e-9 * 1000 * 1e6 >= 2 * static_cast<double>(o.wrap_uj)) {
            note_line(out.long_interval_line, out.long_intervals, line);
            st.long_line = line.number;
        }
        st.counted[k] = true;
        st.stamped[k] = at.form != stamp_none;
        st.last[k] = now;
        st.last_ns[k] = at.ns;
        return true;
    }
    double seconds;
    if (kind == column_role::energy)
        add_cpu(out, k + 1, v, &at);
    else if (st.interval >= 0 && whole_reading(w, st.interval, &seconds))
        add_cpu(out, k + 1, v * seconds, &at);
    else if (at.form == stamp_none && st.seconds > 0)
        add_cpu(out, k + 1, v * st.seconds, &at);
    else if (at.form != stamp_none)
        add_power_interval(st.power, k, at.ns, v, out, at);
    else
        note_line(out.odd_line, out.odd, line);
    return true;
}

// A data row of a table. Returns false where the log can't be read so.
bool take_table_row(cpu_table& st, const cpu_log_options& o, const line_fields& w, const numbered_line& line,
                    cpu_log& out, line_time& at)
{
    int64_t ns = 0;
    at.from = since_last;
    at.form = st.stamp >= 0 && st.stamp < w.count
                  ? memo_stamp(st.memo, w.at[st.stamp], w.at[st.stamp] + w.length[st.stamp], &ns, &at.days)
                  : stamp_none;
    at.ns = ns;
    if (st.socket < 0 && st.wide_count > 0) {
        for (int k = 0; k < st.wide_count; ++k)
            if (!take_table_value(st, o, k, w, st.wide[k] - 1, st.kind, line, out, at))
                return false;
        return true;
    }
    column_role ignored;
    long k = !st.turbostat ? (st.socket < w.count ? socket_of(w.at[st.socket], w.length[st.socket], &ignored) : -1)
             : st.socket >= 0 ? whole_number(w, st.socket)
             : st.topology < 0 || is_word(w, st.topology, "-") ? 0 : -1;
    int column = st.value;
    column_role kind = st.kind;
    double v;
    if (st.turbostat && !whole_reading(w, column, &v))
        column = st.watts, kind = column_role::power;
    // turbostat's rows of other CPUs, and its summary row, hold no quantity.
    if (st.turbostat && (k < 0 || !whole_reading(w, column, &v)))
        return true;
    if (k < 0) {
        note_line(out.odd_line, out.odd, line);
        return true;
    }
    if (st.domain >= 0 && st.domain < w.count) {
        const char* d = w.at[st.domain];
        size_t n = w.length[st.domain];
        bool package = (n >= 3 && strncasecmp(d, "pkg", 3) == 0) || (n >= 7 && strncasecmp(d, "package", 7) == 0) ||
                       (n == 10 && strncasecmp(d, "energy-pkg", 10) == 0);
        if (!package) {
            if (out.other_event[0] == '\0')
                std::snprintf(out.other_event, sizeof out.other_event, "%.*s", static_cast<int>(n < 60 ? n : 60), d);
            return true;
        }
    }
    if (k >= max_cpus) {
        // A socket past any --cpus: left out, and said.
        out.packages = k + 1 > out.packages ? static_cast<int>(k) + 1 : out.packages;
        out.sockets_beyond = true;
        return true;
    }
    return take_table_value(st, o, static_cast<int>(k), w, column, kind, line, out, at);
}

// Each format's bid: whether the line [p, end) is one its meter writes.
// The default log's line, numbers at fields 3 and 7.
bool columns_bid(const char* p, const char* end)
{
    line_fields w = split_line(p, end, field_split::blanks);
    double value;
    return whole_reading(w, cpu_kind.fields[0] - 1, &value) && whole_reading(w, cpu_kind.fields[1] - 1, &value);
}

// perf's line of joules of an energy event, its start line, or the
// header of its columns.
bool perf_bid(const char* p, const char* end)
{
    auto n = static_cast<size_t>(end - p);
    const char* first = skip_blanks(p);
    return (memmem(p, n, "Joules", 6) != nullptr &&
            (memmem(p, n, "energy-", 7) != nullptr || memmem(p, n, "power/", 6) != nullptr)) ||
           (end - first >= 13 && std::memcmp(first, "# started on ", 13) == 0) ||
           (*first == '#' && memmem(p, n, "counts", 6) != nullptr && memmem(p, n, "unit", 4) != nullptr);
}

// A stamp, then counters, whole numbers.
bool counters_bid(const char* p, const char* end)
{
    line_fields w = split_line(p, end, field_split::blanks_and_commas);
    int64_t ns;
    return w.count > 1 && whole_numbers(w, 1) && whole_field_stamp(w.at[0], w.at[0] + w.length[0], &ns) != stamp_none;
}

// turbostat's header.
bool turbostat_bid(const char* p, const char* end)
{
    cpu_table st;
    return take_turbostat_header(st, split_line(p, end, field_split::blanks));
}

// A CSV header that names the sockets' energy.
bool socket_csv_bid(const char* p, const char* end)
{
    cpu_table st;
    cpu_log scratch;
    return std::memchr(p, ',', static_cast<size_t>(end - p)) != nullptr && name_cpu_csv(st, cpu_log_options{}, p, end, scratch);
}

// The CPU log's formats, in the order of cpu_format: each its name, as
// --cpu-format gives it, what its meter is, as the warnings say, and its
// bid.
struct cpu_format_entry {
    const char* name;
    const char* meter;
    bool (*bid)(const char* p, const char* end);
};
constexpr cpu_format_entry cpu_formats[cpu_format_count] = {
    {"columns", "a log of joules in columns", columns_bid},
    {"perf", "perf stat's log", perf_bid},
    {"counters", "a log of energy counters", counters_bid},
    {"turbostat", "turbostat's log", turbostat_bid},
    {"csv", "a CSV of RAPL's readings", socket_csv_bid},
};

} // namespace

const char* cpu_format_name(int format)
{
    return format >= 0 && format < cpu_format_count ? cpu_formats[format].name : nullptr;
}

int cpu_format_fitting(const char* p, const char* end, const char** what)
{
    for (int f = 1; f < cpu_format_count; ++f)
        if (cpu_formats[f].bid(p, end)) {
            *what = cpu_formats[f].meter;
            return f;
        }
    return -1;
}

namespace {

// Why a log from which no line gave a CPU a reading is not of the format
// asked for, into out.error: the events it holds instead, or the format its
// lines fit (fits: a bit a format), or its first line.
void say_unread(const cpu_log_options& o, unsigned fits, cpu_log& out)
{
    const char* asked = cpu_format_name(static_cast<int>(o.format));
    for (int f = 0; f < cpu_format_count; ++f)
        if ((fits & (1u << f)) != 0 && f != static_cast<int>(o.format)) {
            std::snprintf(out.error, sizeof out.error, "no line of it is one of %s's, but its lines fit "
                          "--cpu-format=%s: read it with that", asked, cpu_format_name(f));
            return;
        }
    const picked_line& first = out.shape.opening;
    if (out.other_event[0] != '\0')
        std::snprintf(out.error, sizeof out.error, "it holds no package's energy (power/energy-pkg/), only "
                      "%s and the like: run perf with -e power/energy-pkg/", out.other_event);
    else
        std::snprintf(out.error, sizeof out.error, "no line of it gives a CPU a reading as --cpu-format=%s "
                      "reads it; its first line is \"%.*s\"", asked, static_cast<int>(first.length), first.text);
}

// The plain CPU log, two CPUs' joules at fields 3 and 7, as the summary
// reads it (read_plain_in_time); with a sink, each line's readings passed
// on as the joules up to the stamp of its first field, but a blank line's,
// lines of one stamp form at a time.
int read_plain_cpu_log(int fd, line_buffer& lb, const timed_sink* sink, cpu_log& out)
{
    stamp_memo memo;
    clock_days days;
    constexpr size_t room = 1024;
    int64_t ns[room];
    double joules[2 * room];
    size_t held = 0;
    int held_form = stamp_none;
    auto pass_held = [&] {
        if (held > 0)
            sink->energy_lines(sink->context, cpu_meter(1), 2, held_form, ns, joules, held);
        held = 0;
    };
    double figures[2] = {out.part.cpu1, out.part.cpu2};
    int status = read_plain_in_time(fd, lb, cpu_rule, 1, figures, out.shape,
                                    [&](const char* p, const char* end, const double* r, size_t) {
        if (sink == nullptr)
            return;
        each_line_stamp(p, end, memo, days, [&](size_t i, int64_t at, int form) {
            if (held == room || form != held_form)
                pass_held();
            held_form = form;
            ns[held] = at;
            joules[2 * held] = r[2 * i];
            joules[2 * held + 1] = r[2 * i + 1];
            ++held;
        });
    });
    if (sink != nullptr)
        pass_held();
    out.part.cpu1 = figures[0];
    out.part.cpu2 = figures[1];
    out.seen[0] = out.seen[1] = out.shape.lines > 0;
    return status;
}

} // namespace

int read_cpu_log(int fd, line_buffer& lb, const cpu_log_options& o, cpu_log& out)
{
    out.cpus = o.cpus;
    if (o.format == cpu_format::columns && o.fields == nullptr && o.cpus == 2)
        return read_plain_cpu_log(fd, lb, o.sink, out);
    column_state columns;
    uint64_t number = 0;
    bool failed = false;
    log_shape& shape = out.shape;
    line_time timing;
    timing.sink = o.sink;
    bool perf_read = false; // a line of perf's readings has come
    unsigned fits = 0;      // the formats the first lines fit, a bit each
    perf_count held;        // perf's count whose event is on the next line
    bool by_table = o.format == cpu_format::csv || o.format == cpu_format::turbostat || o.format == cpu_format::counters;
    cpu_table* table = by_table ? new_records<cpu_table>(1) : nullptr;
    if (by_table && table == nullptr)
        return ENOMEM;
    if (table != nullptr) {
        table->turbostat = o.format == cpu_format::turbostat;
        if (o.format == cpu_format::counters) {
            table->stamp = 0;
            table->kind = column_role::counter;
            for (int k = 0; k < max_cpus; ++k)
                table->wide[k] = k + 2;
        }
    }
    // The columns' header is none of the log's lines, as the default
    // reader's is not; perf's lines before its first reading ("# started
    // on", its column names) are one header, as a log's first line is, and
    // its blank lines and its own words around a whole run's counts are
    // none of the log's lines.
    auto pass_over = [&](const char* at, const char* line_end, uint64_t n) {
        if (o.format == cpu_format::columns && n == 1) {
            failed = !set_fields(columns, o, split_line(at, line_end, field_split::blanks), out);
            return true;
        }
        // The CSV's header, its '#' lines, and all after a "###" trailer.
        if (o.format == cpu_format::csv && n == 1) {
            failed = !name_cpu_csv(*table, o, at, line_end, out);
            return true;
        }
        if (o.format == cpu_format::csv) {
            const char* first = skip_blanks(at);
            table->trailer = table->trailer || (line_end - first >= 3 && std::memcmp(first, "###", 3) == 0);
            return table->trailer || *first == '#';
        }
        if (o.format != cpu_format::perf)
            return false;
        if (is_blank_line(at, line_end) || perf_says(at, line_end))
            return true;
        if (perf_read || n == 1 || *skip_blanks(at) != '#')
            return false;
        take_perf_start(skip_blanks(at), line_end, timing);
        return true;
    };
    byte_source src = whole_file(fd);
    int status = read_lines(src, lb, line_at_a_time_rule, shape, [&](const line_run& run) {
        each_line(run, &number, shape, [&](const char* at, const char* line_end, const run_line& text, uint64_t n) {
            if (failed)
                return;
            numbered_line line = {n, text};
            // A blank line: no reading, for each CPU of the columns.
            if (is_blank_line(at, line_end)) {
                shape.no_reading += o.format == cpu_format::columns ? static_cast<unsigned>(o.cpus) - 1 : 0;
                return;
            }
            pick(shape.last_line, n, text.text, text.length);
            // The first lines, bid on by every format, for a log of none.
            for (int f = 0; n <= 16 && f < cpu_format_count; ++f)
                fits |= cpu_formats[f].bid(at, line_end) ? 1u << f : 0;
            const char* first = skip_blanks(at);
            switch (o.format) {
            case cpu_format::columns:
                take_columns(columns, split_line(at, line_end, field_split::blanks), line, out, timing);
                break;
            case cpu_format::perf:
                if (*first == '#') {
                    shape.header = shape.header || n == 1;
                    ++shape.no_reading;
                    take_perf_start(first, line_end, timing);
                } else {
                    perf_read = true;
                    failed = !take_perf(at, line_end, line, o, out, timing, held);
                }
                break;
            case cpu_format::counters: {
                line_fields w = split_line(at, line_end, field_split::blanks_and_commas);
                double ignored;
                if (n == 1 && !whole_reading(w, 1, &ignored)) {
                    shape.header = true;
                    ++shape.no_reading;
                } else if (w.count < 2) {
                    note_line(out.odd_line, out.odd, line);
                } else if (!whole_numbers(w, 1)) {
                    // A line of counters is whole numbers, or none of them counts.
                    note_line(shape.no_reading_line, shape.no_reading, line);
                } else {
                    out.packages = w.count - 1 > max_cpus && w.count - 1 > out.packages ? w.count - 1 : out.packages;
                    table->wide_count = w.count - 1 < max_cpus ? w.count - 1 : max_cpus;
                    failed = !take_table_row(*table, o, w, line, out, timing);
                }
                break;
            }
            case cpu_format::csv:
                failed = !take_table_row(*table, o, split_line(at, line_end, field_split::commas), line, out, timing);
                break;
            case cpu_format::turbostat: {
                line_fields w = split_line(at, line_end, field_split::blanks);
                double seconds;
                if (w.count == 2 && is_word(w, 1, "sec") && whole_reading(w, 0, &seconds)) {
                    table->seconds = seconds;
                    ++shape.no_reading;
                } else if (take_turbostat_header(*table, w)) {
                    shape.header = shape.header || n == 1;
                    table->named = true;
                    ++shape.no_reading;
                } else if (table->named) {
                    take_table_row(*table, o, w, line, out, timing);
                } else {
                    note_line(out.odd_line, out.odd, line);
                }
                break;
            }
            }
        }, true, pass_over);
    });
    // Counters' steps, exact, into the figures at the end.
    bool counted = table != nullptr && table->kind == column_role::counter;
    bool unnamed = o.format == cpu_format::turbostat && !table->named && number > 0;
    unsigned long long total[max_cpus] = {};
    if (table != nullptr)
        std::memcpy(total, table->total, sizeof total);
    std::free(table);
    if (status != 0)
        return status;
    if (failed)
        return EINVAL;
    if (held.line != 0)
        note_line(out.odd_line, out.odd, {held.line, {held.text, held.length}});
    if (unnamed) {
        std::snprintf(out.error, sizeof out.error,
                      "no header line names PkgWatt or Pkg_J: run turbostat with "
                      "--show Time_Of_Day_Seconds,Package,PkgWatt");
        return EINVAL;
    }
    for (int k = 0; counted && k < out.cpus && k < out.packages; ++k) {
        cpu_figure(out.part, k + 1) = static_cast<double>(total[k]) / 1e6;
        out.seen[k] = true;
    }
    if (counted && out.packages > out.cpus)
        out.sockets_beyond = true;
    // Never 0 J for a log that is not of the format asked for.
    bool read_any = out.sockets_beyond;
    for (int k = 0; k < out.cpus; ++k)
        read_any = read_any || out.seen[k];
    if (o.format != cpu_format::columns && shape.lines > 0 && !read_any) {
        say_unread(o, fits, out);
        return EINVAL;
    }
    return 0;
}
