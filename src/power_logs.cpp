#include "power_logs.h"

#include "long_lines.h"
#include "open_file.h"
#include "time_stamps.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

int line_buffer_init(line_buffer& lb, size_t capacity)
{
    if (capacity == 0)
        capacity = 1;
    lb.data = static_cast<char*>(std::malloc(capacity + 1));
    if (lb.data == nullptr)
        return ENOMEM;
    lb.capacity = capacity;
    lb.begin = 0;
    lb.end = 0;
    return 0;
}

void line_buffer_free(line_buffer& lb)
{
    std::free(lb.data);
    lb = line_buffer{};
}

namespace {

// What becomes of a log's first line.
enum class first_line { header_if_no_reading, header };

// A log's rule as the read loop takes it.
// keep is the scanner's form for a chunk read before its turn, which
// keeps `readings` a line rather than adding them.
struct log_rule {
    void (*scan)(const char*, const char*, energy_summary&, log_shape&, double);
    double* (*keep)(const char*, const char*, double*, log_shape&);
    size_t readings;
    first_line first;
    line_rule rule;
};

constexpr log_rule total_power_rule = {add_total_power_lines, keep_total_power_readings, 1,
                                       first_line::header_if_no_reading, line_rule::total_power};
constexpr log_rule cpu_rule = {add_cpu_power_lines, keep_cpu_power_readings, 2, first_line::header,
                               line_rule::cpu};
constexpr log_rule gpu_rule = {add_gpu_power_lines, keep_gpu_power_readings, 1,
                               first_line::header_if_no_reading, line_rule::gpu};
// The time-stamped GPU log's lines are taken one at a time, not scanned.
constexpr log_rule stamped_gpu_rule = {nullptr, nullptr, 1, first_line::header_if_no_reading,
                                       line_rule::stamped_gpu};

// Whole lines, [begin, end), as the read loop hands them on: the log's
// first line on its own (unless it is a header, which is dropped), and a
// line longer than the buffer condensed, with the condenser that holds it.
struct line_run {
    const char* begin;
    const char* end;
    bool first;
    const line_condenser* condensed;
};

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
    if (into.any_other)
        into.among += into.trailing + part.leading + part.among;
    else
        into.leading += part.leading, into.among = part.among;
    into.trailing = part.trailing;
    into.any_other = true;
}

bool is_blank_line(const char* p, const char* end)
{
    while (p < end && is_space(*p))
        ++p;
    return p == end;
}

// A line of a run: its bytes [p, end), end past its newline, and what the
// warnings would quote of it (a condensed line's original first bytes).
struct run_line {
    const char* text;
    size_t length;
};

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
    const char* second = static_cast<const char*>(std::memchr(run.begin, '\n', static_cast<size_t>(run.end - run.begin))) + 1;
    if (run.first) {
        run_line line = quoted(run, run.begin, second);
        pick(shape.opening, 1, line.text, line.length);
    }
    // The first line after a header: where the run starts with the header,
    // the line after it, if the run holds one.
    if (shape.first_line.number == 0 && !(header && second == run.end)) {
        const char* at = header ? second : run.begin;
        const char* end = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(run.end - at))) + 1;
        run_line line = quoted(run, at, end);
        pick(shape.first_line, number + (header ? 2 : 1), line.text, line.length);
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
    run_line line = quoted(run, last, run.end);
    pick(shape.last_line, shape.lines + (number - lines), line.text, line.length);
}

// Moves the unfinished line to the front of the buffer, to read on after
// it. Returns false when that line fills the buffer.
bool make_room(line_buffer& lb)
{
    if (lb.begin > 0) {
        std::memmove(lb.data, lb.data + lb.begin, lb.end - lb.begin);
        lb.end -= lb.begin;
        lb.begin = 0;
    }
    return lb.end < lb.capacity;
}

// Where a read loop's bytes come from: a file read on from where it stands
// (read(2), so a FIFO too), or one chunk of a regular file (pread(2)). A
// chunk holds the lines that start at an offset in [from, to): it begins
// after the first newline at or after from - 1 (at 0 where from is 0), and
// ends with the first newline at or after to - 1, or at the end of the
// file. A line that crosses to - 1 is the chunk's; one that starts at or
// after to is the next chunk's, which sees the same newline from the other
// side. So the chunks of a file, [0, c), [c, 2c), ..., hold each line once,
// whole, and in order.
struct byte_source {
    int fd;
    bool chunk = false;
    long long from = 0;
    long long to = 0;
    long long at = 0;     // the next byte to read
    bool started = false; // the chunk's first line found
    bool ended = false;   // its last newline read
};

byte_source whole_file(int fd)
{
    return byte_source{fd};
}

byte_source chunk_of(int fd, long long from, long long to)
{
    byte_source src{fd};
    src.chunk = true;
    src.from = from;
    src.to = to;
    src.at = from > 0 ? from - 1 : 0;
    src.started = from == 0;
    return src;
}

ssize_t pread_whole(int fd, char* to, size_t room, long long at)
{
    ssize_t n;
    while ((n = pread(fd, to, room, static_cast<off_t>(at))) < 0 && errno == EINTR) {
    }
    return n;
}

// The next bytes of a chunk into [to, to + room): what follows its end
// is cut off. Returns the bytes, 0 at the chunk's end, or -1 with errno.
ssize_t read_chunk(byte_source& src, char* to, size_t room)
{
    for (;;) {
        if (src.ended)
            return 0;
        // Looking for where the chunk starts, what lies past to - 1 can't
        // be the chunk's: a chunk inside a long line reads little.
        size_t want = room;
        if (!src.started && src.to - src.at < static_cast<long long>(room))
            want = static_cast<size_t>(src.to - src.at);
        ssize_t n = pread_whole(src.fd, to, want, src.at);
        if (n <= 0)
            return n;
        long long at = src.at;
        src.at += n;
        char* begin = to;
        if (!src.started) {
            // Up to and through the newline that ends the last line of the
            // chunk before; where it is the newline that ends this chunk
            // too, the chunk holds no line.
            char* nl = static_cast<char*>(std::memchr(to, '\n', static_cast<size_t>(n)));
            long long nl_at = nl != nullptr ? at + (nl - to) : src.at;
            if (nl_at >= src.to - 1) {
                src.ended = nl != nullptr || src.at >= src.to;
                if (src.ended)
                    return 0;
                continue;
            }
            if (nl == nullptr)
                continue;
            src.started = true;
            begin = nl + 1;
        }
        long long begin_at = at + (begin - to);
        long long look_from = src.to - 1 > begin_at ? src.to - 1 : begin_at;
        if (look_from < src.at) {
            char* look = to + (look_from - at);
            char* nl = static_cast<char*>(std::memchr(look, '\n', static_cast<size_t>(to + n - look)));
            if (nl != nullptr) {
                n = nl + 1 - to;
                src.ended = true;
            }
        }
        size_t kept = static_cast<size_t>(to + n - begin);
        if (begin != to)
            std::memmove(to, begin, kept);
        if (kept > 0)
            return static_cast<ssize_t>(kept);
    }
}

// Reads into the buffer after what it holds. Returns the bytes read, 0 at
// the end of the file or chunk, or -1 with errno set.
ssize_t read_more(byte_source& src, line_buffer& lb)
{
    if (src.chunk)
        return read_chunk(src, lb.data + lb.end, lb.capacity - lb.end);
    ssize_t n;
    while ((n = read(src.fd, lb.data + lb.end, lb.capacity - lb.end)) < 0 && errno == EINTR) {
    }
    return n;
}

// Takes the line that starts the buffer, to its newline or the end of the
// file, through c, reading on through the same buffer. Leaves in [begin,
// end) the bytes read after the newline, and sets *at_end where the file
// ended first. Returns 0 or the errno of a read.
int condense_line(byte_source& src, line_buffer& lb, line_condenser& c, bool* at_end)
{
    for (;;) {
        const char* p = lb.data + lb.begin;
        const void* nl = std::memchr(p, '\n', lb.end - lb.begin);
        const char* stop = nl != nullptr ? static_cast<const char*>(nl) : lb.data + lb.end;
        condenser_feed(c, p, stop);
        if (nl != nullptr) {
            lb.begin = static_cast<size_t>(stop + 1 - lb.data);
            condenser_finish(c);
            return 0;
        }
        lb.begin = lb.end = 0;
        ssize_t n = read_more(src, lb);
        if (n < 0)
            return errno;
        lb.end = static_cast<size_t>(n);
        if (n == 0) {
            *at_end = true;
            condenser_finish(c);
            return 0;
        }
    }
}

// Reads fd to its end and hands its lines to take, as line_runs; the last
// line, if it has no newline, with one added: after a newline a line holds
// nothing, so the added one changes no reading. A line that does not fit
// the buffer is condensed by the rule as it is read. A header is taken
// through a condenser as it arrives, never held whole, and shape notes
// whether it holds both readings. Returns 0 or the errno of a read.
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
        line_condenser header;
        condenser_start(header, rule.rule);
        int status = condense_line(src, lb, header, &at_end);
        if (status != 0)
            return status;
        energy_summary ignored;
        log_shape seen;
        rule.scan(header.text, header.text + header.length, ignored, seen, 1);
        shape.header_readings = seen.no_reading == 0;
        shape.unended = at_end && header.head_length > 0;
        pick(shape.opening, 1, header.head, header.head_length);
        at_first_line = false;
    }
    size_t searched = lb.begin; // [begin, searched) holds no newline
    for (;;) {
        if (at_first_line) {
            const void* nl = std::memchr(lb.data + searched, '\n', lb.end - searched);
            if (nl != nullptr) {
                const char* second_line = static_cast<const char*>(nl) + 1;
                take(line_run{lb.data + lb.begin, second_line, true, nullptr});
                lb.begin = searched = static_cast<size_t>(second_line - lb.data);
                at_first_line = false;
            }
        }
        if (!at_first_line) {
            const void* last = memrchr(lb.data + searched, '\n', lb.end - searched);
            if (last != nullptr) {
                const char* lines_end = static_cast<const char*>(last) + 1;
                take(line_run{lb.data + lb.begin, lines_end, false, nullptr});
                lb.begin = static_cast<size_t>(lines_end - lb.data);
            }
        }
        searched = lb.end;
        if (at_end)
            break;
        size_t shift = lb.begin;
        if (!make_room(lb)) {
            line_condenser c;
            condenser_start(c, rule.rule);
            int status = condense_line(src, lb, c, &at_end);
            if (status != 0)
                return status;
            shape.unended = shape.unended || at_end;
            take(line_run{c.text, c.text + c.length, at_first_line, &c});
            at_first_line = false;
            searched = lb.begin;
            continue;
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
        take(line_run{lb.data + lb.begin, lb.data + lb.end + 1, at_first_line, nullptr});
        lb.begin = lb.end;
    }
    return 0;
}

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
    while (is_blank(*p))
        ++p;
    // The newline ends the stamp, whatever its form.
    int64_t ns;
    const char* after;
    bool good = parse_time_stamp(p, end, &ns, &after, &state.prefix);
    if (good) {
        p = skip_blanks(after);
        good = *p == ',' && (!state.have_last || ns > state.last_ns);
    }
    if (!good) {
        const char* line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!first) {
            ++st.skipped;
            pick_first(st.skipped_line, state.number, line, static_cast<size_t>(line_end - line));
        } else {
            shape.header = true;
            ++shape.no_reading;
        }
        return line_end + 1;
    }
    // Only the number counts: what follows it (a unit, more columns) is
    // the meter's, and not a reading run on.
    log_shape seen;
    const char* stop;
    double reading = scan_reading(p + 1, &stop, seen);
    shape.no_reading += seen.no_reading;
    shape.not_finite += seen.not_finite;
    shape.readings.see(reading);
    if (reading < 0)
        pick_first(shape.negative_line, state.number, line, static_cast<size_t>(next_line(stop, end) - 1 - line));
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
    return next_line(stop, end);
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

namespace {

// The rule of a log that can be read in chunks, by its reader; nullptr
// for the time-stamped GPU log, each of whose lines pairs with the one
// before, which is read whole.
const log_rule* chunk_rule_of(log_reader reader)
{
    if (reader == read_total_power_log)
        return &total_power_rule;
    if (reader == read_cpu_power_log)
        return &cpu_rule;
    if (reader == read_gpu_power_log)
        return &gpu_rule;
    return nullptr;
}

// Readings a chunk keeps at most before it adds them; past that it waits
// for its turn and adds what it has, so memory is bounded whatever the
// lines' lengths. A chunk of 256 KiB of the shortest lines meters write
// (about 7 bytes) keeps some 37,000.
constexpr size_t slot_room = 64 * 1024;

constexpr int max_jobs = 8;
constexpr int max_slots = 10;

// A chunk's readings, kept in file order until it is the chunk's turn to
// add them to its log's figures.
struct chunk_slot {
    double* readings = nullptr;
    size_t count = 0;
    log_shape shape; // the chunk's counts; its lowest and highest come in the adding
    int err = 0;
    int log = -1;
    long long index = 0;
    bool in_use = false;
    bool parsed = false;
    // Its turn has come: it adds its readings to the log's figures as it
    // parses them, and its shape's lowest and highest are the log's.
    bool direct = false;
};

// Where the adding of a log's chunks stands.
struct log_progress {
    const log_rule* rule = nullptr; // nullptr: the log is read whole
    long long chunks = 0;
    long long next_to_add = 0; // all chunks before it are in the figures
    bool adding = false;       // a thread is adding a parsed chunk
};

// The work of read_logs_at_once, shared by its threads under the mutex:
// the logs read whole (largest first), then every log's chunks, in order.
struct schedule {
    log_job* jobs = nullptr;
    int count = 0;
    long long chunk_size = 0;
    int wholes = 0;
    int whole_order[max_jobs] = {};
    long long items = 0;
    long long next_item = 0;
    log_progress logs[max_jobs];
    chunk_slot slots[max_slots];
    int slot_count = 0;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
};

// Adds the readings a slot keeps into its log's figures, in order. The
// caller holds the log's turn.
void add_slot(schedule& sc, chunk_slot& slot)
{
    log_job& job = sc.jobs[slot.log];
    const log_rule* rule = sc.logs[slot.log].rule;
    const double* r = slot.readings;
    size_t n = slot.count;
    slot.count = 0;
    if (rule == &cpu_rule) {
        add_kept_cpu_readings(r, n / 2, job.part.cpu1, job.part.cpu2);
        return;
    }
    double& figure = rule == &total_power_rule ? job.part.total_energy : job.part.gpu1;
    add_kept_readings(r, n, job.weight, figure, job.shape.readings);
}

// The rest of a parsed chunk: its readings, its counts and its status.
void finish_chunk(schedule& sc, chunk_slot& slot)
{
    add_slot(sc, slot);
    log_job& job = sc.jobs[slot.log];
    log_shape& into = job.shape;
    const log_shape& part = slot.shape;
    // The chunk's lines are numbered from its start.
    auto merge = [&](picked_line& a, const picked_line& b, bool first) {
        if (b.number != 0 && (a.number == 0 || !first)) {
            a = b;
            a.number += into.lines;
        }
    };
    merge(into.opening, part.opening, true);
    merge(into.first_line, part.first_line, true);
    merge(into.last_line, part.last_line, false);
    merge(into.no_reading_line, part.no_reading_line, true);
    merge(into.runs_on_line, part.runs_on_line, true);
    merge(into.not_finite_line, part.not_finite_line, true);
    merge(into.negative_line, part.negative_line, true);
    merge_blanks(into.blanks, part.blanks);
    into.lines += slot.shape.lines;
    into.no_reading += slot.shape.no_reading;
    into.runs_on += slot.shape.runs_on;
    into.not_finite += slot.shape.not_finite;
    into.header = into.header || slot.shape.header;
    into.header_readings = into.header_readings || slot.shape.header_readings;
    into.unended = into.unended || slot.shape.unended;
    if (slot.direct)
        into.readings = slot.shape.readings;
    if (job.err == 0)
        job.err = slot.err;
}

// Adds, in order, each parsed chunk of the log whose turn has come, unless
// another thread is at it. Called and returns with the mutex held.
void add_ready_chunks(schedule& sc, int log)
{
    log_progress& progress = sc.logs[log];
    while (!progress.adding) {
        chunk_slot* slot = nullptr;
        for (int i = 0; i < sc.slot_count && slot == nullptr; ++i)
            if (sc.slots[i].parsed && sc.slots[i].log == log &&
                sc.slots[i].index == progress.next_to_add)
                slot = &sc.slots[i];
        if (slot == nullptr)
            return;
        progress.adding = true;
        pthread_mutex_unlock(&sc.mutex);
        finish_chunk(sc, *slot);
        pthread_mutex_lock(&sc.mutex);
        slot->parsed = false;
        slot->in_use = false;
        ++progress.next_to_add;
        progress.adding = false;
        pthread_cond_broadcast(&sc.changed);
    }
}

// Whether every chunk before the slot's is in its log's figures. No other
// thread adds to the log then, since its next chunk is this one, unparsed.
// Called with the mutex held.
bool turn_has_come(const schedule& sc, const chunk_slot& slot)
{
    const log_progress& progress = sc.logs[slot.log];
    return progress.next_to_add == slot.index && !progress.adding;
}

bool has_turn(schedule& sc, const chunk_slot& slot)
{
    pthread_mutex_lock(&sc.mutex);
    bool turn = turn_has_come(sc, slot);
    pthread_mutex_unlock(&sc.mutex);
    return turn;
}

// Adds what the slot keeps, and has the rest of its chunk added as it is
// parsed: the cheaper way, but for the turn it waits on.
void take_turn(schedule& sc, chunk_slot& slot)
{
    add_slot(sc, slot);
    slot.direct = true;
    slot.shape.readings = sc.jobs[slot.log].shape.readings;
}

// A slot that is full: waits for its turn, and takes it.
void wait_for_turn(schedule& sc, chunk_slot& slot)
{
    pthread_mutex_lock(&sc.mutex);
    while (!turn_has_come(sc, slot))
        pthread_cond_wait(&sc.changed, &sc.mutex);
    pthread_mutex_unlock(&sc.mutex);
    take_turn(sc, slot);
}

// Parses the slot's chunk: its readings kept in the slot until its turn
// comes (looked for between reads), added as they are parsed from then
// on. Returns 0 or the errno of a read.
int parse_chunk(schedule& sc, chunk_slot& slot, line_buffer& lb)
{
    log_job& job = sc.jobs[slot.log];
    const log_progress& progress = sc.logs[slot.log];
    const log_rule& rule = *progress.rule;
    long long from = slot.index * sc.chunk_size;
    long long to = slot.index + 1 < progress.chunks ? from + sc.chunk_size : LLONG_MAX;
    byte_source src = chunk_of(job.fd, from, to);
    return read_lines(src, lb, rule, slot.shape, [&](const line_run& run) {
        if (!slot.direct && has_turn(sc, slot))
            take_turn(sc, slot);
        take_lines(run, rule, slot.shape, [&](const char* b, const char* end) {
            while (b < end && !slot.direct) {
                // A line takes at least a byte, so room readings for room bytes.
                size_t room = (slot_room - slot.count) / rule.readings;
                if (room == 0) {
                    wait_for_turn(sc, slot);
                    break;
                }
                const char* e = end;
                if (static_cast<size_t>(e - b) > room) {
                    const void* nl = memrchr(b, '\n', room);
                    e = nl != nullptr ? static_cast<const char*>(nl) + 1
                                      : static_cast<const char*>(std::memchr(
                                            b, '\n', static_cast<size_t>(end - b))) + 1;
                }
                slot.count = static_cast<size_t>(
                    rule.keep(b, e, slot.readings + slot.count, slot.shape) - slot.readings);
                b = e;
            }
            // The log's first chunk has its turn from its first line, so a
            // header's 0 is added as the plain reader adds it.
            if (b < end)
                rule.scan(b, end, job.part, slot.shape, job.weight);
        });
    });
}

// The log and index of chunk item i, counted after the logs read whole.
void chunk_of_item(const schedule& sc, long long i, int* log, long long* index)
{
    i -= sc.wholes;
    int l = 0;
    while (sc.logs[l].rule == nullptr || i >= sc.logs[l].chunks) {
        if (sc.logs[l].rule != nullptr)
            i -= sc.logs[l].chunks;
        ++l;
    }
    *log = l;
    *index = i;
}

// Takes work until none is left: a whole log, or a chunk where a slot is
// free to keep it.
void take_work(schedule& sc)
{
    line_buffer lb;
    int no_buffer = line_buffer_init(lb, default_line_buffer_size);
    pthread_mutex_lock(&sc.mutex);
    while (sc.next_item < sc.items) {
        if (sc.next_item < sc.wholes) {
            log_job& job = sc.jobs[sc.whole_order[sc.next_item++]];
            pthread_mutex_unlock(&sc.mutex);
            job.err = no_buffer != 0 ? no_buffer
                                     : job.reader(job.fd, lb, job.part, job.shape, job.weight);
            pthread_mutex_lock(&sc.mutex);
            continue;
        }
        chunk_slot* slot = nullptr;
        for (int i = 0; i < sc.slot_count && slot == nullptr; ++i)
            if (!sc.slots[i].in_use)
                slot = &sc.slots[i];
        if (slot == nullptr) {
            pthread_cond_wait(&sc.changed, &sc.mutex);
            continue;
        }
        chunk_of_item(sc, sc.next_item++, &slot->log, &slot->index);
        slot->in_use = true;
        slot->count = 0;
        slot->shape = log_shape{};
        slot->direct = false;
        pthread_mutex_unlock(&sc.mutex);
        slot->err = no_buffer != 0 ? no_buffer : parse_chunk(sc, *slot, lb);
        pthread_mutex_lock(&sc.mutex);
        slot->parsed = true;
        add_ready_chunks(sc, slot->log);
    }
    pthread_mutex_unlock(&sc.mutex);
    line_buffer_free(lb);
}

void* work_thread(void* sc)
{
    take_work(*static_cast<schedule*>(sc));
    return nullptr;
}

} // namespace

void read_logs_at_once(log_job* jobs, int count, unsigned threads, size_t chunk_size)
{
    schedule sc;
    sc.jobs = jobs;
    sc.count = count < max_jobs ? count : max_jobs;
    sc.chunk_size = chunk_size > 0 ? static_cast<long long>(chunk_size) : 1;
    if (threads > max_jobs)
        threads = max_jobs;
    if (threads < 1)
        threads = 1;
    int want_slots = static_cast<int>(threads) + 2;
    for (; sc.slot_count < want_slots; ++sc.slot_count) {
        sc.slots[sc.slot_count].readings =
            static_cast<double*>(std::malloc(slot_room * sizeof(double)));
        if (sc.slots[sc.slot_count].readings == nullptr)
            break;
    }
    for (int i = 0; i < sc.count; ++i) {
        log_progress& progress = sc.logs[i];
        progress.rule = sc.slot_count > 0 ? chunk_rule_of(jobs[i].reader) : nullptr;
        if (progress.rule != nullptr) {
            long long size = jobs[i].size > 0 ? jobs[i].size : 0;
            progress.chunks = size / sc.chunk_size + 1;
            sc.items += progress.chunks;
            continue;
        }
        int at = sc.wholes++;
        for (; at > 0 && jobs[sc.whole_order[at - 1]].size < jobs[i].size; --at)
            sc.whole_order[at] = sc.whole_order[at - 1];
        sc.whole_order[at] = i;
        ++sc.items;
    }
    pthread_t helpers[max_jobs];
    unsigned started = 0;
    while (started + 1 < threads && started + 1 < sc.items &&
           pthread_create(&helpers[started], nullptr, work_thread, &sc) == 0)
        ++started;
    take_work(sc);
    for (unsigned i = 0; i < started; ++i)
        pthread_join(helpers[i], nullptr);
    for (int i = 0; i < sc.slot_count; ++i)
        std::free(sc.slots[i].readings);
}

namespace {

// Logs smaller than this, all together, are read on one thread: a thread
// would cost more to start than it saves.
constexpr long long bytes_worth_threads = 4 << 20;

unsigned allowed_cpus()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    int count = CPU_COUNT(&set);
    return count > 1 ? static_cast<unsigned>(count) : 1;
}

void close_all(const log_job* jobs, int count)
{
    for (int i = 0; i < count; ++i)
        if (jobs[i].fd >= 0)
            (void)close(jobs[i].fd);
}

} // namespace

int read_big_logs_at_once(log_set& logs)
{
    unsigned cpus = allowed_cpus();
    if (cpus < 2)
        return 0;
    long long bytes = 0;
    for (int i = 0; i < logs.count; ++i) {
        struct stat st;
        if (stat(logs.names[i], &st) != 0 || !S_ISREG(st.st_mode))
            return 0;
        bytes += st.st_size;
    }
    if (bytes < bytes_worth_threads)
        return 0;
    log_job jobs[max_case_logs];
    for (int i = 0; i < logs.count; ++i) {
        jobs[i].fd = open_file(logs.names[i], O_RDONLY | O_NOCTTY);
        jobs[i].reader = logs.readers[i];
        jobs[i].weight = logs.weights[i];
        struct stat st;
        if (jobs[i].fd < 0 || fstat(jobs[i].fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close_all(jobs, i + 1);
            return 0;
        }
        jobs[i].size = st.st_size;
    }
    read_logs_at_once(jobs, logs.count, cpus);
    // Read whole, the logs can't change a figure by closing.
    close_all(jobs, logs.count);
    for (int i = 0; i < logs.count; ++i) {
        logs.parts[i] = jobs[i].part;
        logs.shapes[i] = jobs[i].shape;
        logs.errs[i] = jobs[i].err;
    }
    return 1;
}
