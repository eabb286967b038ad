// What every reader notes of a log's lines as they go by, for the
// warnings to say (its first, last and odd lines, its blank lines), the
// header taken from the buffer's first bytes, and what a header's column
// names say each column holds.
#include "read/log_reading.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <unistd.h>

#include "read/reading_number.h"

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

// Looks at each line of the run alone, by the rule, for what the warnings
// say: blank lines, and the first line of each kind of fault. number is
// the number of the line before the run; a header is passed over.
void walk_faults(const line_run& run, const log_rule& rule, uint64_t number, bool header,
                 log_shape& shape)
{
    for (const char* p = run.begin; p < run.end; ++number) {
        const char* end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(run.end - p))) + 1;
        run_line line = quoted(p, end);
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

// Notes in shape what the warnings say of the header [p, end), which ends
// with its newline: its first bytes, and whether it holds both readings.
void note_header(const log_rule& rule, const char* p, const char* end, const char* head,
                 size_t head_length, log_shape& shape)
{
    energy_summary ignored;
    log_shape seen;
    rule.scan(p, end, ignored, seen, 1);
    shape.header_readings = seen.no_reading == 0;
    pick(shape.opening, 1, head, head_length);
}

} // namespace

int take_header(byte_source& src, line_buffer& lb, const log_rule& rule, log_shape& shape,
                bool* at_end)
{
    // Most headers arrive whole with the first read, and are looked at
    // where they lie; a longer one is read on, the buffer growing for it.
    for (;;) {
        ssize_t n = read_more(src, lb);
        if (n < 0)
            return errno;
        lb.end += static_cast<size_t>(n);
        const char* p = lb.data + lb.begin;
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', lb.end - lb.begin));
        if (nl == nullptr && n == 0) {
            // The file ended with its header, which had no newline.
            *at_end = true;
            shape.unended = lb.end > lb.begin;
            nl = lb.data + lb.end;
            lb.data[lb.end] = '\n';
        }
        if (nl != nullptr) {
            note_header(rule, p, nl + 1, p, static_cast<size_t>(nl - p), shape);
            lb.begin = std::min(static_cast<size_t>(nl + 1 - lb.data), lb.end);
            return 0;
        }
        if (lb.end == lb.capacity) {
            int status = grow_buffer(lb);
            if (status != 0) {
                shape.too_long_line = 1;
                shape.too_long_at = 0;
                return status;
            }
        }
    }
}

namespace {

bool same_word(const char* name, size_t n, const char* word)
{
    if (std::strlen(word) != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != word[i])
            return false;
    return true;
}

// The role of a bare name, from the table.
column_name role_by_name(const char* p, size_t n)
{
    static const struct {
        const char* name;
        column_role role;
        int rank;
        int id_kind;
    } names[] = {
        {"timestamp", column_role::stamp, 1, 0},
        {"time", column_role::stamp, 1, 0},
        {"date", column_role::stamp, 1, 0},
        {"time_of_day_seconds", column_role::stamp, 1, 0},
        {"tod", column_role::stamp, 1, 0},
        {"power.draw.instant", column_role::power, 4, 0},
        {"power.draw", column_role::power, 3, 0},
        {"power.draw.average", column_role::power, 2, 0},
        {"power", column_role::power, 1, 0},
        {"gpu power", column_role::power, 1, 0},
        {"gpu_power", column_role::power, 1, 0},
        {"socket_power", column_role::power, 1, 0},
        {"average graphics package power", column_role::power, 1, 0},
        {"board power", column_role::power, 1, 0},
        {"power_usage", column_role::power, 1, 0},
        {"power usage", column_role::power, 1, 0},
        {"watts", column_role::power, 1, 0},
        {"w", column_role::power, 1, 0},
        {"pkgwatt", column_role::power, 1, 0},
        {"pkg_w", column_role::power, 1, 0},
        {"pkgwatts", column_role::power, 1, 0},
        {"pkg_j", column_role::energy, 1, 0},
        {"pkgj", column_role::energy, 1, 0},
        {"energy", column_role::energy, 1, 0},
        {"energy_j", column_role::energy, 1, 0},
        {"j", column_role::energy, 1, 0},
        {"joules", column_role::energy, 1, 0},
        {"energy_uj", column_role::counter, 1, 0},
        {"uj", column_role::counter, 1, 0},
        {"domain", column_role::domain, 1, 0},
        {"event", column_role::domain, 1, 0},
        {"zone", column_role::domain, 1, 0},
        {"interval", column_role::interval, 1, 0},
        {"index", column_role::id, 9, 0},
        {"gpu_index", column_role::id, 8, 0},
        {"gpu", column_role::id, 7, 0},
        {"gpu_id", column_role::id, 6, 0},
        {"device", column_role::id, 5, 0},
        {"deviceid", column_role::id, 4, 0},
        {"card", column_role::id, 3, 0},
        {"uuid", column_role::id, 2, 1},
        {"pci.bus_id", column_role::id, 1, 2},
        {"package", column_role::id, 1, 0},
        {"pkg", column_role::id, 1, 0},
        {"socket", column_role::id, 1, 0},
        {"sock", column_role::id, 1, 0},
        {"node", column_role::id, 1, 0},
    };
    column_name c;
    for (const auto& e : names)
        if (same_word(p, n, e.name)) {
            c.role = e.role;
            c.rank = e.rank;
            c.id_kind = e.id_kind;
            break;
        }
    return c;
}

} // namespace

column_name name_of_column(const char* p, size_t n)
{
    // The name as it stands ("Pkg_W"), else with its unit taken off.
    column_name c = role_by_name(p, n);
    if (c.role != column_role::none)
        return c;
    static const struct {
        const char* unit;
        bool milli;
    } units[] = {{"[mW]", true}, {"(mW)", true}, {"_mW", true}, {"[W]", false},
                 {"(W)", false}, {"_W", false},  {"[%]", false}, {"(%)", false}};
    bool milliwatts = false;
    for (const auto& u : units) {
        size_t k = std::strlen(u.unit);
        if (n > k && std::memcmp(p + n - k, u.unit, k) == 0) {
            milliwatts = u.milli;
            n -= k;
            break;
        }
    }
    while (n > 0 && is_blank(p[n - 1]))
        --n;
    c = role_by_name(p, n);
    c.milliwatts = milliwatts;
    return c;
}

column_roles name_roles(const line_fields& names)
{
    column_roles r;
    std::fill(r.at, r.at + role_count, -1);
    int power_rank = 0, id_ranks[4] = {};
    for (int i = 0; i < names.count; ++i) {
        column_name c = name_of_column(names.at[i], names.length[i]);
        int& at = r.at[static_cast<int>(c.role)];
        if (c.role == column_role::power && c.rank > power_rank) {
            at = i;
            power_rank = c.rank;
            r.milliwatts = c.milliwatts;
        } else if (c.role == column_role::id && r.id_count < 4) {
            int k = r.id_count++;
            for (; k > 0 && id_ranks[k - 1] < c.rank; --k) {
                r.ids[k] = r.ids[k - 1];
                r.id_kinds[k] = r.id_kinds[k - 1];
                id_ranks[k] = id_ranks[k - 1];
            }
            r.ids[k] = i;
            r.id_kinds[k] = c.id_kind;
            id_ranks[k] = c.rank;
        } else if (c.role != column_role::power && c.role != column_role::id && at < 0) {
            at = i;
        }
    }
    r.at[static_cast<int>(column_role::id)] = r.ids[0];
    return r;
}
