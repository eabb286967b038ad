#include "power_logs.h"

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

// Makes room to read into: moves the unfinished line to the front, and
// doubles the buffer when that line fills it. Returns 0 or ENOMEM.
int make_room(line_buffer& lb)
{
    if (lb.begin > 0) {
        std::memmove(lb.data, lb.data + lb.begin, lb.end - lb.begin);
        lb.end -= lb.begin;
        lb.begin = 0;
    }
    if (lb.end < lb.capacity)
        return 0;
    if (lb.capacity > (SIZE_MAX - 1) / 2)
        return ENOMEM;
    size_t capacity = lb.capacity * 2;
    char* data = static_cast<char*>(std::realloc(lb.data, capacity + 1));
    if (data == nullptr)
        return ENOMEM;
    lb.data = data;
    lb.capacity = capacity;
    return 0;
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

// Reads fd to its end, handing every run of whole lines to scan, and the
// last line, if it has no newline, with one added: after a newline a line
// holds nothing, so the added one changes no reading. A first_line::header
// is dropped; it is never held whole, however long it is.
int read_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape, line_scanner scan,
             first_line first)
{
    lb.begin = 0;
    lb.end = 0;
    bool at_first_line = true;
    for (;;) {
        int status = make_room(lb);
        if (status != 0)
            return status;
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
        if (at_first_line) {
            const void* nl = std::memchr(lb.data + fresh, '\n', lb.end - fresh);
            if (nl == nullptr) {
                if (first == first_line::header)
                    lb.begin = lb.end;
                continue;
            }
            at_first_line = false;
            const char* second_line = static_cast<const char*>(nl) + 1;
            if (first != first_line::header)
                scan_first_line(lb.data + lb.begin, second_line, s, shape, scan, first);
            lb.begin = static_cast<size_t>(second_line - lb.data);
            fresh = lb.begin;
        }
        const void* last = memrchr(lb.data + fresh, '\n', lb.end - fresh);
        if (last == nullptr)
            continue;
        const char* lines_end = static_cast<const char*>(last) + 1;
        scan(lb.data + lb.begin, lines_end, s, shape);
        lb.begin = static_cast<size_t>(lines_end - lb.data);
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
    return read_log(fd, lb, s, shape, add_total_power_lines, first_line::header_if_no_reading);
}

int read_cpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_cpu_power_lines, first_line::header);
}

int read_gpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape)
{
    return read_log(fd, lb, s, shape, add_gpu_power_lines, first_line::header_if_no_reading);
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
