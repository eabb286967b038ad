#include "power_logs.h"

#include "long_lines.h"

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

using line_scanner = void (*)(const char*, const char*, energy_summary&, log_shape&);

// What becomes of a log's first line.
enum class first_line { header_if_no_reading, header };

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

// Takes the line that fills the buffer through a condenser (long_lines.h),
// reading on to its newline through the same buffer; c holds the condensed
// line. Leaves in [begin, end) the bytes read after the newline, and sets
// *at_end where the file ended first. Returns 0 or the errno of a read.
int condense_long_line(int fd, line_buffer& lb, line_condenser& c, bool* at_end)
{
    size_t at = 0;
    for (;;) {
        const char* p = lb.data + at;
        const void* nl = std::memchr(p, '\n', lb.end - at);
        const char* stop = nl != nullptr ? static_cast<const char*>(nl) : lb.data + lb.end;
        condenser_feed(c, p, stop);
        if (nl != nullptr) {
            lb.begin = static_cast<size_t>(stop + 1 - lb.data);
            condenser_finish(c);
            return 0;
        }
        ssize_t n = read(fd, lb.data, lb.capacity);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        at = 0;
        lb.begin = 0;
        lb.end = static_cast<size_t>(n);
        if (n == 0) {
            *at_end = true;
            condenser_finish(c);
            return 0;
        }
    }
}

// Scans the log's first line, [begin, end), on its own: with
// header_if_no_reading, a first line without a reading is taken for a header
// and set apart in shape (its 0 is still added, as for any such line).
void scan_first_line(const char* begin, const char* end, energy_summary& s, log_shape& shape,
                     line_scanner scan, first_line first)
{
    uint64_t before = shape.no_reading;
    scan(begin, end, s, shape);
    if (first == first_line::header_if_no_reading && shape.no_reading != before)
        shape.header = true;
}

// Hands the whole lines in [begin, end) to scan, the first newline no
// earlier than from; a first_line::header is dropped as it arrives, and is
// never held whole, however long it is.
void take_lines(line_buffer& lb, size_t from, bool& at_first_line, energy_summary& s,
                log_shape& shape, line_scanner scan, first_line first)
{
    if (at_first_line) {
        const void* nl = std::memchr(lb.data + from, '\n', lb.end - from);
        if (nl == nullptr) {
            if (first == first_line::header)
                lb.begin = lb.end;
            return;
        }
        at_first_line = false;
        const char* second_line = static_cast<const char*>(nl) + 1;
        if (first != first_line::header)
            scan_first_line(lb.data + lb.begin, second_line, s, shape, scan, first);
        lb.begin = static_cast<size_t>(second_line - lb.data);
        from = lb.begin;
    }
    const void* last = memrchr(lb.data + from, '\n', lb.end - from);
    if (last == nullptr)
        return;
    const char* lines_end = static_cast<const char*>(last) + 1;
    scan(lb.data + lb.begin, lines_end, s, shape);
    lb.begin = static_cast<size_t>(lines_end - lb.data);
}

// Reads fd to its end, handing every run of whole lines to scan, and the
// last line, if it has no newline, with one added: after a newline a line
// holds nothing, so the added one changes no reading. A line that does not
// fit the buffer is condensed by rule as it is read, and scanned as such.
int read_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape, line_scanner scan,
             first_line first, line_rule rule)
{
    lb.begin = 0;
    lb.end = 0;
    bool at_first_line = true;
    for (;;) {
        if (!make_room(lb)) {
            line_condenser c;
            condenser_start(c, rule);
            bool at_end = false;
            int status = condense_long_line(fd, lb, c, &at_end);
            if (status != 0)
                return status;
            shape.unended = shape.unended || at_end;
            if (at_first_line)
                scan_first_line(c.text, c.text + c.length, s, shape, scan, first);
            else
                scan(c.text, c.text + c.length, s, shape);
            at_first_line = false;
            if (at_end)
                return 0;
            take_lines(lb, lb.begin, at_first_line, s, shape, scan, first);
            continue;
        }
        ssize_t n = read(fd, lb.data + lb.end, lb.capacity - lb.end);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            break;
        size_t fresh = lb.end;
        lb.end += static_cast<size_t>(n);
        take_lines(lb, fresh, at_first_line, s, shape, scan, first);
    }
    if (lb.begin < lb.end) {
        shape.unended = true;
        lb.data[lb.end] = '\n';
        if (at_first_line)
            scan_first_line(lb.data + lb.begin, lb.data + lb.end + 1, s, shape, scan, first);
        else
            scan(lb.data + lb.begin, lb.data + lb.end + 1, s, shape);
        lb.begin = lb.end;
    }
    return 0;
}

} // namespace

int read_total_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_total_power_lines, first_line::header_if_no_reading,
                    line_rule::total_power);
}

int read_cpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_cpu_power_lines, first_line::header, line_rule::cpu);
}

int read_gpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_gpu_power_lines, first_line::header_if_no_reading,
                    line_rule::gpu);
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
        job.err = no_buffer != 0 ? no_buffer : job.reader(job.fd, lb, job.part, job.shape);
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
