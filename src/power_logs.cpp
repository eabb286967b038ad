#include "power_logs.h"

#include "long_lines.h"
#include "time_stamps.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
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
struct log_rule {
    void (*scan)(const char*, const char*, energy_summary&, log_shape&, double);
    first_line first;
    line_rule rule;
};

constexpr log_rule total_power_rule = {add_total_power_lines, first_line::header_if_no_reading,
                                       line_rule::total_power};
constexpr log_rule cpu_rule = {add_cpu_power_lines, first_line::header, line_rule::cpu};
constexpr log_rule gpu_rule = {add_gpu_power_lines, first_line::header_if_no_reading,
                               line_rule::gpu};
// The time-stamped GPU log's lines are taken one at a time, not scanned.
constexpr log_rule stamped_gpu_rule = {nullptr, first_line::header_if_no_reading,
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

// Reads into the buffer after what it holds. Returns the bytes read, 0 at
// the end of the file, or -1 with errno set.
ssize_t read_more(int fd, line_buffer& lb)
{
    ssize_t n;
    while ((n = read(fd, lb.data + lb.end, lb.capacity - lb.end)) < 0 && errno == EINTR) {
    }
    return n;
}

// Takes the line that starts the buffer, to its newline or the end of the
// file, through c, reading on through the same buffer. Leaves in [begin,
// end) the bytes read after the newline, and sets *at_end where the file
// ended first. Returns 0 or the errno of a read.
int condense_line(int fd, line_buffer& lb, line_condenser& c, bool* at_end)
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
        ssize_t n = read_more(fd, lb);
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
int read_lines(int fd, line_buffer& lb, const log_rule& rule, log_shape& shape, Take take)
{
    lb.begin = 0;
    lb.end = 0;
    bool at_first_line = true;
    bool at_end = false;
    if (rule.first == first_line::header) {
        line_condenser header;
        condenser_start(header, rule.rule);
        int status = condense_line(fd, lb, header, &at_end);
        if (status != 0)
            return status;
        energy_summary ignored;
        log_shape seen;
        rule.scan(header.text, header.text + header.length, ignored, seen, 1);
        shape.header_readings = seen.no_reading == 0;
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
            int status = condense_line(fd, lb, c, &at_end);
            if (status != 0)
                return status;
            shape.unended = shape.unended || at_end;
            take(line_run{c.text, c.text + c.length, at_first_line, &c});
            at_first_line = false;
            searched = lb.begin;
            continue;
        }
        searched -= shift;
        ssize_t n = read_more(fd, lb);
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
    return read_lines(fd, lb, rule, shape, [&](const line_run& run) {
        uint64_t before = shape.no_reading;
        reading_range at_start = shape.readings;
        rule.scan(run.begin, run.end, s, shape, weight);
        if (run.first && shape.no_reading != before) {
            // A header's 0 is added, but is no reading of the meter's.
            shape.header = true;
            shape.readings = at_start;
        }
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
    return v[n / 2];
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
            if (st.skipped++ == 0) {
                st.first_skipped = state.number;
                size_t length = static_cast<size_t>(line_end - line);
                st.first_skipped_length = length < sizeof st.first_skipped_text ? length : sizeof st.first_skipped_text;
                std::memcpy(st.first_skipped_text, line, st.first_skipped_length);
            }
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
    st.negatives += reading < 0;
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
    int status = read_lines(fd, lb, stamped_gpu_rule, shape, [&](const line_run& run) {
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

void pick(picked_line& picked, uint64_t number, const char* text, size_t length)
{
    if (picked.number != 0)
        return;
    picked.number = number;
    picked.length = length < sizeof picked.text ? length : sizeof picked.text;
    std::memcpy(picked.text, text, picked.length);
}

bool is_blank_line(const char* p, const char* end)
{
    while (p < end && is_space(*p))
        ++p;
    return p == end;
}

} // namespace

int look_again(int fd, line_buffer& lb, int log, log_details& details)
{
    const log_rule& rule = log == 0 ? total_power_rule : log == 1 ? cpu_rule : gpu_rule;
    log_shape shape;
    uint64_t number = log == 1 ? 1 : 0;
    uint64_t blanks = 0;
    int status = read_lines(fd, lb, rule, shape, [&](const line_run& run) {
        for (const char* p = run.begin; p < run.end;) {
            const char* end = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(run.end - p))) + 1;
            const char* text = run.condensed != nullptr ? run.condensed->head : p;
            size_t length = run.condensed != nullptr ? run.condensed->head_length
                                                     : static_cast<size_t>(end - 1 - p);
            ++number;
            energy_summary ignored;
            log_shape seen;
            rule.scan(p, end, ignored, seen, 1);
            bool header = run.first && seen.no_reading != 0;
            if (!header && is_blank_line(p, end)) {
                ++blanks;
            } else if (!header) {
                details.blank_lines += blanks;
                blanks = 0;
                if (seen.no_reading != 0)
                    pick(details.no_reading, number, text, length);
            }
            if (seen.runs_on != 0)
                pick(details.runs_on, number, text, length);
            if (seen.not_finite != 0)
                pick(details.not_finite, number, text, length);
            // Weighted by 1, the line's reading is its figure.
            if (ignored.total_energy < 0 || ignored.gpu1 < 0) {
                ++details.negatives;
                pick(details.negative, number, text, length);
            }
            p = end;
        }
    });
    details.trailing_blanks = blanks;
    return status;
}

int first_and_last_lines(int fd, long long size, bool skip_first, picked_line& first,
                         picked_line& last)
{
    char buf[4096];
    ssize_t n = pread(fd, buf, sizeof buf, 0);
    if (n <= 0)
        return -1;
    const char* p = buf;
    const char* end = buf + n;
    if (skip_first) {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        if (nl == nullptr)
            return -1;
        p = static_cast<const char*>(nl) + 1;
    }
    const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
    pick(first, 1, p, static_cast<size_t>((nl != nullptr ? static_cast<const char*>(nl) : end) - p));
    off_t from = size > static_cast<off_t>(sizeof buf) ? size - static_cast<off_t>(sizeof buf) : 0;
    if (from > 0 || skip_first)
        n = pread(fd, buf, sizeof buf, from);
    if (n <= 0)
        return -1;
    end = buf + n;
    while (end > buf && is_space(end[-1]))
        --end;
    const char* start = static_cast<const char*>(memrchr(buf, '\n', static_cast<size_t>(end - buf)));
    if (start == nullptr && from > 0)
        return -1;
    start = start != nullptr ? start + 1 : buf;
    pick(last, 2, start, static_cast<size_t>(end - start));
    return 0;
}

namespace {

// The jobs, largest first, and the next one to take.
struct job_queue {
    log_job* jobs[8];
    int count = 0;
    std::atomic<int> next{0};
};

// Takes jobs until none is left, each read through this thread's buffer.
void take_jobs(job_queue& queue)
{
    line_buffer lb;
    int no_buffer = line_buffer_init(lb, default_line_buffer_size);
    for (int i; (i = queue.next.fetch_add(1)) < queue.count;) {
        log_job& job = *queue.jobs[i];
        job.err = no_buffer != 0 ? no_buffer : job.reader(job.fd, lb, job.part, job.shape, job.weight);
    }
    line_buffer_free(lb);
}

void* job_thread(void* queue)
{
    take_jobs(*static_cast<job_queue*>(queue));
    return nullptr;
}

} // namespace

void read_logs_at_once(log_job* jobs, int count, unsigned threads)
{
    job_queue queue;
    for (int i = 0; i < count && i < 8; ++i) {
        int at = queue.count++;
        for (; at > 0 && queue.jobs[at - 1]->size < jobs[i].size; --at)
            queue.jobs[at] = queue.jobs[at - 1];
        queue.jobs[at] = &jobs[i];
    }
    pthread_t helpers[8];
    unsigned started = 0;
    while (started + 1 < threads && static_cast<int>(started) + 1 < queue.count &&
           pthread_create(&helpers[started], nullptr, job_thread, &queue) == 0)
        ++started;
    take_jobs(queue);
    for (unsigned i = 0; i < started; ++i)
        pthread_join(helpers[i], nullptr);
}
