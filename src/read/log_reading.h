// The reading of a log, shared by its readers: each log's rule, where a
// read loop's bytes come from, the loop that hands whole lines on, and what
// every reader does with them (the header rule, and the lines the warnings
// quote); and the plain logs read in time by their rules and scanners.
// Inside the readers only; power_logs.h is their contract.
#ifndef ENERGY_TOTALS_LOG_READING_H
#define ENERGY_TOTALS_LOG_READING_H

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <sys/types.h>

#include "base/energy_summary.h"
#include "read/log_bytes.h"
#include "read/log_kinds.h"
#include "read/log_lines.h"
#include "read/log_shape.h"
#include "read/reading_number.h"
#include "read/timed_readings.h"

// What becomes of a log's first line.
enum class first_line { header_if_no_reading, header };

// A log's rule as the read loop takes it.
// keep is the scanner's form for a chunk read before its turn, which
// keeps `readings` a line rather than adding them; line, one line's.
struct log_rule {
    void (*scan)(const char*, const char*, energy_summary&, log_shape&, double);
    double* (*keep)(const char*, const char*, double*, log_shape&);
    void (*line)(const char*, const char*, log_shape&, double*);
    size_t readings;
    first_line first;
};

// The plain logs' rules, from their kinds (log_kinds.h).
constexpr first_line first_line_of(const log_kind& k)
{
    return k.header_always ? first_line::header : first_line::header_if_no_reading;
}
inline constexpr log_rule total_power_rule = {add_total_power_lines, keep_total_power_readings, total_power_line,
                                              total_power_kind.readings, first_line_of(total_power_kind)};
inline constexpr log_rule cpu_rule = {add_cpu_power_lines, keep_cpu_power_readings, cpu_power_line,
                                      cpu_kind.readings, first_line_of(cpu_kind)};
inline constexpr log_rule gpu_rule = {add_gpu_power_lines, keep_gpu_power_readings, gpu_power_line,
                                      gpu_kind.readings, first_line_of(gpu_kind)};
// The rule of the readers that take a log's lines one at a time (the
// time-stamped logs, the one log of every GPU, the CPU formats), not by a
// scanner; each reads its own header.
inline constexpr log_rule line_at_a_time_rule = {nullptr, nullptr, nullptr, 1, first_line::header_if_no_reading};

// Whole lines, [begin, end), as the read loop hands them on: the log's
// first line on its own (unless it is a header, which is dropped).
struct line_run {
    const char* begin;
    const char* end;
    bool first;
};

// A line as the warnings quote it: its bytes, without its newline.
struct run_line {
    const char* text;
    size_t length;
};

// The line from p, its newline just before end, as the warnings quote it.
inline run_line quoted(const char* p, const char* end)
{
    return {p, static_cast<size_t>(end - 1 - p)};
}

// A line as the warnings quote it, with its number.
struct numbered_line {
    uint64_t number;
    run_line text;
};

// A line's fields, as the readers that take a line at a time split it.
constexpr int most_fields = 64;
struct line_fields {
    const char* at[most_fields];
    size_t length[most_fields];
    int count = 0;
};

// Where a line splits: at runs of whitespace; at whitespace and commas
// alike; or at each comma (CSV: empty fields kept, blanks around each
// dropped).
enum class field_split { blanks, blanks_and_commas, commas };

// The fields of the line [p, end), up to most of them (at most
// most_fields). Inline: the one-log reader splits every line.
inline line_fields split_line(const char* p, const char* end, field_split by, int most = most_fields)
{
    line_fields f;
    if (by == field_split::commas) {
        while (f.count < most) {
            const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
            const char* stop = comma != nullptr ? comma : end;
            const char* q = stop;
            while (q > p && is_space(q[-1]))
                --q;
            while (p < q && is_blank(*p))
                ++p;
            f.at[f.count] = p;
            f.length[f.count++] = static_cast<size_t>(q - p);
            if (comma == nullptr)
                break;
            p = comma + 1;
        }
        return f;
    }
    if (by == field_split::blanks && lines_kernel == line_kernel::avx2 && end - p <= 64) {
        // A field starts where whitespace, or the line's start, is followed
        // by a byte that is not, and runs to the next whitespace: found by
        // bits, with no branch on each byte of its width.
        uint64_t space = whitespace_bits(p, static_cast<size_t>(end - p));
        for (uint64_t starts = ~space & (space << 1 | 1); starts != 0 && f.count < most; starts &= starts - 1) {
            auto at = static_cast<unsigned>(__builtin_ctzll(starts));
            uint64_t after = space >> at;
            f.at[f.count] = p + at;
            f.length[f.count++] = after != 0 ? static_cast<size_t>(__builtin_ctzll(after)) : 64 - at;
        }
        return f;
    }
    bool commas = by == field_split::blanks_and_commas;
    while (p < end && f.count < most) {
        while (p < end && (is_space(*p) || (commas && *p == ',')))
            ++p;
        if (p == end)
            break;
        const char* start = p;
        while (p < end && !is_space(*p) && !(commas && *p == ','))
            ++p;
        f.at[f.count] = start;
        f.length[f.count++] = static_cast<size_t>(p - start);
    }
    return f;
}


// What a column holds, by the name a header line gives it (as nvidia-smi,
// amd-smi, xpu-smi and turbostat name theirs, in any case, a unit after
// it taken off: "power.draw [W]", "GPU Power (W)", "power_W", "Power
// (mW)"): a time stamp, power, energy in joules, or an id (of a GPU, or a
// CPU package), and in a CPU's CSV, microjoules counted up (counter), the
// domain a row's energy is of, and the interval it covers. Of two columns
// of a role, the higher rank is taken: the instant power reading first, as
// the trapezoid rule wants the power at the stamp and power.draw is a
// one-second average on recent GPUs; an index before a UUID (id_kind 1) or
// a PCI bus id (id_kind 2).
enum class column_role { none, stamp, power, energy, id, counter, domain, interval };
struct column_name {
    column_role role = column_role::none;
    int rank = 0;
    int id_kind = 0;
    bool milliwatts = false;
};
column_name name_of_column(const char* p, size_t n);

// A header's columns by their names' roles, the one rule every reader of a
// header takes them by: of each role the first column, -1 for none; of
// power, the first of the highest rank; the ids, the first four, the
// highest rank first (of equal ranks, the first first).
constexpr int role_count = static_cast<int>(column_role::interval) + 1;
struct column_roles {
    int at[role_count];
    int ids[4] = {-1, -1, -1, -1};
    int id_kinds[4] = {};
    int id_count = 0;
    bool milliwatts = false; // the power column is in milliwatts
};
column_roles name_roles(const line_fields& names);

// The column of role c, or -1.
inline int role_column(const column_roles& r, column_role c)
{
    return r.at[static_cast<int>(c)];
}

// Keeps the first bytes of a line, and its number, in picked; the second
// only where picked holds none yet.
void pick(picked_line& picked, uint64_t number, const char* text, size_t length);
void pick_first(picked_line& picked, uint64_t number, const char* text, size_t length);

// Counts a line of a kind, the first of them kept in picked.
inline void note_line(picked_line& picked, uint64_t& count, const numbered_line& line)
{
    ++count;
    pick_first(picked, line.number, line.text.text, line.text.length);
}

// Whether the line [p, end) holds only whitespace.
inline bool is_blank_line(const char* p, const char* end)
{
    while (p < end && is_space(*p))
        ++p;
    return p == end;
}

// Counts a blank line, or a line that is not, after those counted.
inline void note_blank(blank_lines& b)
{
    ++(b.any_other ? b.trailing : b.leading);
}

inline void note_other(blank_lines& b)
{
    if (b.any_other)
        b.among += b.trailing;
    b.trailing = 0;
    b.any_other = true;
}

// The blank lines of part appended to those of into, which came before it.
void merge_blanks(blank_lines& into, const blank_lines& part);

// Looks at each line of the run alone, by the rule, for what the warnings
// say: blank lines, and the first line of each kind of fault. number is
// the number of the line before the run; a header is passed over.
void walk_faults(const line_run& run, const log_rule& rule, uint64_t number, bool header,
                 log_shape& shape);

// What every reader does with a run of whole lines, add having turned them
// into readings (summed, or kept for a chunk's turn). A log's first line
// without a reading is its header: its 0 is added, as the rule says, but it
// is no reading of the meter's, and is kept out of the readings'
// statistics. Then the lines the warnings quote are picked out: where the
// run holds nothing odd, only its last line is; else each line is looked
// at alone, a few times a log at most, so a log is read once however odd.
template <class Add>
void take_lines(const line_run& run, const log_rule& rule, log_shape& shape, Add add)
{
    uint64_t lines = shape.lines, no_reading = shape.no_reading, runs_on = shape.runs_on;
    uint64_t not_finite = shape.not_finite, negatives = shape.readings.negatives;
    reading_range at_start = shape.readings;
    add(run.begin, run.end);
    bool header = run.first && shape.no_reading != no_reading;
    if (header) {
        shape.header = true;
        shape.readings = at_start;
        ++no_reading;
    }
    // The CPU log's header is not among its lines, but is line 1.
    uint64_t number = lines + (rule.first == first_line::header ? 1 : 0);
    // The log's first line comes in a run of its own.
    if (run.first) {
        run_line line = quoted(run.begin, run.end);
        pick(shape.opening, 1, line.text, line.length);
    }
    // The first line that is not a header.
    if (shape.first_line.number == 0 && !header) {
        const char* end = static_cast<const char*>(std::memchr(run.begin, '\n', static_cast<size_t>(run.end - run.begin))) + 1;
        run_line line = quoted(run.begin, end);
        pick(shape.first_line, number + 1, line.text, line.length);
    }
    bool odd = shape.no_reading != no_reading ||
               (shape.runs_on != runs_on && shape.runs_on_line.number == 0) ||
               (shape.not_finite != not_finite && shape.not_finite_line.number == 0) ||
               (shape.readings.negatives != negatives && shape.negative_line.number == 0);
    if (odd) {
        walk_faults(run, rule, number, header, shape);
        return;
    }
    note_other(shape.blanks);
    const char* last = static_cast<const char*>(memrchr(run.begin, '\n', static_cast<size_t>(run.end - 1 - run.begin)));
    last = last != nullptr ? last + 1 : run.begin;
    run_line line = quoted(last, run.end);
    pick(shape.last_line, shape.lines + (number - lines), line.text, line.length);
}

// The lines of a run for the readers that take one line at a time: each
// counted in shape, numbered in *number, line 1 picked as the opening, a
// blank line counted as no reading and among the blanks; each other line
// (with blank_lines_too, each line) handed to take(p, end, line, number),
// end at its newline, line as the warnings quote it. A line for which
// pass_over(p, end, number) is true (a format's header, or the comments a
// meter writes before its readings) is taken there and is none of the
// log's lines.
template <class Take, class Pass = std::nullptr_t>
void each_line(const line_run& run, uint64_t* number, log_shape& shape, Take take, bool blank_lines_too = false,
               Pass pass_over = nullptr)
{
    for (const char* p = run.begin; p < run.end;) {
        const char* end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(run.end - p)));
        run_line line = quoted(p, end + 1);
        const char* at = p;
        p = end + 1;
        ++*number;
        if (*number == 1)
            pick(shape.opening, 1, line.text, line.length);
        if constexpr (!std::is_same_v<Pass, std::nullptr_t>)
            if (pass_over(at, end, *number))
                continue;
        ++shape.lines;
        if (is_blank_line(at, end)) {
            ++shape.no_reading;
            note_blank(shape.blanks);
            if (!blank_lines_too)
                continue;
        } else {
            note_other(shape.blanks);
        }
        take(at, end, line, *number);
    }
}

// The run's lines in slices of whole lines of at most `slice` bytes (a
// line longer than that a slice alone), each handed to take(p, end).
template <class Take>
void each_slice(const line_run& run, size_t slice, Take take)
{
    for (const char* p = run.begin; p < run.end;) {
        const char* end = run.end;
        if (static_cast<size_t>(end - p) > slice) {
            const void* nl = memrchr(p, '\n', slice);
            end = nl != nullptr ? static_cast<const char*>(nl) + 1
                                : static_cast<const char*>(std::memchr(p + slice, '\n', static_cast<size_t>(run.end - p) - slice)) + 1;
        }
        take(p, end);
        p = end;
    }
}

// The bytes of a slice of lines whose readings the timed readers keep at
// once, by the scanners: at most a reading a byte (two in the CPU log), so
// a slice's readings of a meter fit one energy_run.
constexpr size_t slice_bytes = most_run_readings;

// Takes the header, the log's first line, from an empty buffer, the
// buffer growing for it where it is long. Notes in shape its first bytes
// and whether it holds both readings; *at_end where the file ended with it.
// Leaves in [begin, end) the bytes read after it. Returns 0, the errno of
// a read, or EFBIG for a header longer than max_line_length (noted in
// shape.too_long_line).
int take_header(byte_source& src, line_buffer& lb, const log_rule& rule, log_shape& shape,
                bool* at_end);

// Reads fd to its end and hands its lines to take, as line_runs; the last
// line, if it has no newline, with one added: after a newline a line holds
// nothing, so the added one changes no reading. A line that does not fit
// the buffer grows it, up to max_line_length; a header is taken by
// take_header. Returns 0, the errno of a read, or EFBIG for a line longer
// than max_line_length, whose number (counted from the source's first
// line) is noted in shape.too_long_line.
template <class Take>
int read_lines(byte_source& src, line_buffer& lb, const log_rule& rule, log_shape& shape,
               Take take)
{
    lb.begin = 0;
    lb.end = 0;
    // Only the log's first chunk holds its first line.
    bool at_first_line = !src.chunk || src.from == 0;
    bool at_end = false;
    if (rule.first == first_line::header && at_first_line) {
        int status = take_header(src, lb, rule, shape, &at_end);
        if (status != 0)
            return status;
        at_first_line = false;
    }
    size_t searched = lb.begin; // [begin, searched) holds no newline
    for (;;) {
        if (at_first_line) {
            const void* nl = std::memchr(lb.data + searched, '\n', lb.end - searched);
            if (nl != nullptr) {
                const char* second_line = static_cast<const char*>(nl) + 1;
                take(line_run{lb.data + lb.begin, second_line, true});
                lb.begin = searched = static_cast<size_t>(second_line - lb.data);
                at_first_line = false;
            }
        }
        if (!at_first_line) {
            const void* last = memrchr(lb.data + searched, '\n', lb.end - searched);
            if (last != nullptr) {
                const char* lines_end = static_cast<const char*>(last) + 1;
                take(line_run{lb.data + lb.begin, lines_end, false});
                lb.begin = static_cast<size_t>(lines_end - lb.data);
            }
        }
        searched = lb.end;
        if (at_end)
            break;
        size_t shift = lb.begin;
        if (!make_room(lb)) {
            int status = grow_buffer(lb);
            if (status == EFBIG) {
                shape.too_long_line = shape.lines + (rule.first == first_line::header ? 2 : 1);
                shape.too_long_at = src.at - static_cast<long long>(lb.end);
            }
            if (status != 0)
                return status;
        }
        searched -= shift;
        ssize_t n = read_more(src, lb);
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        lb.end += static_cast<size_t>(n);
    }
    if (lb.begin < lb.end) {
        shape.unended = true;
        lb.data[lb.end] = '\n';
        take(line_run{lb.data + lb.begin, lb.data + lb.end + 1, at_first_line});
        lb.begin = lb.end;
    }
    return 0;
}

// The stamp of each line of [p, end) that is not blank, by its first field
// (memo_stamp, with days for a time of day): take(i, ns, form), i the
// line's place in [p, end), blank lines counted. The lines are found 64
// bytes at a time, by their newlines' bits; a line that starts with the
// stamp before, whitespace after it, has that stamp: meters write a stamp
// on several lines in turn, and the field need not be walked.
template <class Take>
void each_line_stamp(const char* p, const char* end, stamp_memo& memo, clock_days& days, Take take)
{
    size_t i = 0;
    const char* line = p;
    for (const char* block = p; block < end; block += 64) {
        for (uint64_t nl = newline_bits(block, std::min<size_t>(64, static_cast<size_t>(end - block))); nl != 0;
             nl &= nl - 1, ++i) {
            const char* line_end = block + __builtin_ctzll(nl);
            const char* q = line;
            line = line_end + 1;
            if (memo.held && static_cast<size_t>(line_end - q) >= memo.length && same_field(q, memo.text, memo.length) &&
                is_space(q[memo.length])) {
                take(i, memo.ns, memo.form);
                continue;
            }
            const char* field_end;
            const char* field = first_field(q, line_end, &field_end);
            if (field == field_end)
                continue;
            int64_t ns = 0;
            int form = memo_stamp(memo, field, field_end, &ns, &days);
            take(i, ns, form);
        }
    }
}

// A plain log read in time, by its rule and scanners: into figures the
// figure the plain reader gives (its readings times weight; the CPU log's
// pairs into figures[0] and figures[1]), into shape what it sees; and a
// slice of whole lines at a time, each slice [p, end) handed with its
// lines' readings (one a line, two in the CPU log, in order) to pass(p,
// end, readings, lines). Returns 0, ENOMEM, or what read_lines returns.
template <class Pass>
int read_plain_in_time(int fd, line_buffer& lb, const log_rule& rule, double weight, double* figures,
                       log_shape& shape, Pass pass)
{
    auto* kept = static_cast<double*>(std::malloc(rule.readings * slice_bytes * sizeof(double)));
    if (kept == nullptr)
        return ENOMEM;
    byte_source src = whole_file(fd);
    int status = read_lines(src, lb, rule, shape, [&](const line_run& run) {
        take_lines(run, rule, shape, [&](const char* begin, const char* end) {
            each_slice({begin, end, false}, slice_bytes, [&](const char* p, const char* slice_end) {
                size_t lines = 1;
                uint64_t negatives = shape.readings.negatives;
                if (slice_end - p <= static_cast<ptrdiff_t>(slice_bytes)) {
                    lines = static_cast<size_t>(rule.keep(p, slice_end, kept, shape) - kept) / rule.readings;
                } else {
                    rule.line(p, slice_end, shape, kept); // one line, longer than a slice
                    ++shape.lines;
                }
                shape.readings.negatives = negatives; // the sum counts them, as it sees each
                if (rule.readings == 2)
                    add_kept_cpu_readings(kept, lines, figures[0], figures[1]);
                else
                    add_kept_readings(kept, lines, weight, figures[0], shape.readings);
                pass(p, slice_end, kept, lines);
            });
        });
    });
    std::free(kept);
    return status;
}

#endif
