// The readers on any bytes: no crash, no read outside the buffers,
// and the figures the reading rules give, however the bytes arrive, read
// plainly or in time. The
// rules are restated here the plain way, one line at a time as C strings,
// as getline and atof would see them.
#include <cstdint>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "read/power_logs.h"

namespace {

bool space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// atof on the line from pos, the line a C string.
double reading_at(const std::string& line, size_t pos)
{
    return pos < line.size() ? std::strtod(line.c_str() + pos, nullptr) : 0.0;
}

size_t skip_run(const std::string& line, size_t i, bool of_space)
{
    while (i < line.size() && space(line[i]) == of_space)
        ++i;
    return i;
}

energy_summary by_the_rules(const std::string& text)
{
    energy_summary s;
    std::vector<std::string> lines = split_lines(text);
    for (const std::string& line : lines) {
        size_t i = 0;
        int count = 0;
        while (i < line.size() && count < 2)
            count += space(line[i++]);
        s.total_energy = add_figures((count == 2 ? reading_at(line, i) : 0.0) * 0.5, s.total_energy);
        s.gpu1 = add_figures(reading_at(line, 0) * 0.1, s.gpu1);
    }
    for (size_t n = 1; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        size_t i = skip_run(line, 0, true);
        for (int f = 0; f < 2; ++f)
            i = skip_run(line, skip_run(line, i, false), true);
        s.cpu1 = add_figures(reading_at(line, i), s.cpu1);
        for (int f = 0; f < 4; ++f)
            i = skip_run(line, skip_run(line, i, false), true);
        s.cpu2 = add_figures(reading_at(line, i), s.cpu2);
    }
    return s;
}

energy_summary from_file(const std::string& text, size_t capacity, log_shape shapes[3])
{
    energy_summary s;
    line_buffer lb;
    int fd = memfd_create("log", 0);
    if (fd < 0 || line_buffer_init(lb, capacity) != 0)
        std::abort();
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    log_reader readers[] = {read_total_power_log, read_cpu_power_log, read_gpu_power_log};
    double weights[] = {total_power_weight, 1, gpu_weight};
    for (int i = 0; i < 3; ++i)
        if (lseek(fd, 0, SEEK_SET) != 0 || readers[i](fd, lb, s, shapes[i], weights[i]) != 0)
            std::abort();
    close(fd);
    line_buffer_free(lb);
    return s;
}

// The three logs read at once, in chunks of chunk_size bytes on two
// threads, so that chunks start and end anywhere in a line.
energy_summary from_chunks(const std::string& text, size_t chunk_size, log_shape shapes[3])
{
    int fd = memfd_create("log", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    log_reader readers[] = {read_total_power_log, read_cpu_power_log, read_gpu_power_log};
    double weights[] = {total_power_weight, 1, gpu_weight};
    log_job jobs[3];
    for (int i = 0; i < 3; ++i) {
        jobs[i].fd = fd;
        jobs[i].reader = readers[i];
        jobs[i].weight = weights[i];
        jobs[i].size = static_cast<long long>(text.size());
    }
    read_logs_at_once(jobs, 3, 2, chunk_size);
    close(fd);
    energy_summary s;
    s.total_energy = jobs[0].part.total_energy;
    s.cpu1 = jobs[1].part.cpu1;
    s.cpu2 = jobs[1].part.cpu2;
    s.gpu1 = jobs[2].part.gpu1;
    for (int i = 0; i < 3; ++i) {
        if (jobs[i].err != 0)
            std::abort();
        shapes[i] = jobs[i].shape;
    }
    return s;
}

// The three logs read in time, as a run with a picture reads them once:
// the readings to a sink that keeps none, the figures and shapes kept.
energy_summary in_time(const std::string& text, size_t capacity, log_shape shapes[3])
{
    timed_sink sink;
    sink.point = [](void*, int, int64_t, int, double) {};
    sink.energy = [](void*, int, int64_t, int64_t, int, double) {};
    sink.energy_run = [](void*, int, int64_t, int64_t, int, const double*, size_t) {};
    sink.energy_lines = [](void*, int, int, int, const int64_t*, const double*, size_t) {};
    int fd = memfd_create("log", 0);
    line_buffer lb;
    if (fd < 0 || line_buffer_init(lb, capacity) != 0 ||
        write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    energy_summary s, gpu;
    node_log_options node;
    node.format = static_cast<int>(total_format::plain);
    node.sink = &sink;
    char error[256];
    static cpu_log cpu;
    cpu = cpu_log{};
    cpu_log_options cpu_options;
    cpu_options.sink = &sink;
    if (lseek(fd, 0, SEEK_SET) != 0 || read_node_log(fd, lb, node, s, shapes[0], error) != 0 ||
        lseek(fd, 0, SEEK_SET) != 0 || read_cpu_log(fd, lb, cpu_options, cpu) != 0 ||
        lseek(fd, 0, SEEK_SET) != 0 || read_timed_plain_gpu_log(fd, lb, 1, gpu_weight, sink, gpu, shapes[2]) != 0)
        std::abort();
    close(fd);
    line_buffer_free(lb);
    s.cpu1 = cpu.part.cpu1;
    s.cpu2 = cpu.part.cpu2;
    s.gpu1 = gpu.gpu1;
    shapes[1] = cpu.shape;
    return s;
}

// The lines handed straight to the scanners, in a buffer exactly their size.
energy_summary from_memory(const std::string& text, log_shape shapes[3])
{
    energy_summary s;
    if (text.empty())
        return s;
    std::string lines = text;
    if (lines.back() != '\n')
        lines += '\n';
    std::vector<char> all(lines.begin(), lines.end());
    const char* b = all.data();
    const char* e = b + all.size();
    add_total_power_lines(b, e, s, shapes[0]);
    add_gpu_power_lines(b, e, s, shapes[2]);
    const char* body = static_cast<const char*>(std::memchr(b, '\n', all.size()));
    if (body != nullptr && body + 1 < e)
        add_cpu_power_lines(body + 1, e, s, shapes[1]);
    return s;
}

void expect_same(const energy_summary& a, const energy_summary& b)
{
    const double x[] = {a.total_energy, a.cpu1, a.cpu2, a.gpu1, a.gpu2, a.gpu3, a.gpu4};
    const double y[] = {b.total_energy, b.cpu1, b.cpu2, b.gpu1, b.gpu2, b.gpu3, b.gpu4};
    if (std::memcmp(x, y, sizeof x) != 0)
        std::abort();
}

// How the bytes arrive changes none of the counts behind the warnings.
void expect_same_counts(const log_shape* a, const log_shape* b)
{
    for (int i = 0; i < 3; ++i)
        if (a[i].lines != b[i].lines || a[i].no_reading != b[i].no_reading ||
            a[i].runs_on != b[i].runs_on || a[i].not_finite != b[i].not_finite)
            std::abort();
}

// The readings' statistics alike: the lowest, highest and steepest by
// value (which of 0 and -0 the paths that take four readings at once keep
// is theirs to choose, and nothing says it), the last to the bit.
bool same_range(const reading_range& a, const reading_range& b)
{
    return a.lowest == b.lowest && a.highest == b.highest && a.steepest == b.steepest &&
           std::memcmp(&a.last, &b.last, sizeof a.last) == 0 && a.negatives == b.negatives;
}

// Nor anything else the warnings say, read by the same loop in time.
void expect_same_shapes(const log_shape* a, const log_shape* b)
{
    expect_same_counts(a, b);
    auto same_line = [](const picked_line& x, const picked_line& y) {
        return x.number == y.number && x.length == y.length && std::memcmp(x.text, y.text, x.length) == 0;
    };
    for (int i = 0; i < 3; ++i)
        if (!same_range(a[i].readings, b[i].readings) || a[i].header != b[i].header ||
            a[i].unended != b[i].unended || a[i].header_readings != b[i].header_readings ||
            a[i].blanks.leading != b[i].blanks.leading || a[i].blanks.among != b[i].blanks.among ||
            a[i].blanks.trailing != b[i].blanks.trailing || a[i].blanks.any_other != b[i].blanks.any_other ||
            !same_line(a[i].opening, b[i].opening) || !same_line(a[i].first_line, b[i].first_line) ||
            !same_line(a[i].last_line, b[i].last_line) || !same_line(a[i].no_reading_line, b[i].no_reading_line) ||
            !same_line(a[i].runs_on_line, b[i].runs_on_line) || !same_line(a[i].not_finite_line, b[i].not_finite_line) ||
            !same_line(a[i].negative_line, b[i].negative_line))
            std::abort();
}

} // namespace

// The time-stamped GPU reader, through a small buffer and a large one:
// the same figure and the same counts.
void expect_same_stamped(const std::string& text, size_t capacity)
{
    energy_summary figures[2];
    log_shape shapes[2];
    int fd = memfd_create("log", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    size_t capacities[2] = {capacity, 1 << 20};
    for (int i = 0; i < 2; ++i) {
        line_buffer lb;
        if (line_buffer_init(lb, capacities[i]) != 0 || lseek(fd, 0, SEEK_SET) != 0 ||
            read_stamped_gpu_log(fd, lb, figures[i], shapes[i]) != 0)
            std::abort();
        line_buffer_free(lb);
    }
    close(fd);
    const stamp_shape& a = shapes[0].stamps;
    const stamp_shape& b = shapes[1].stamps;
    if (std::memcmp(&figures[0].gpu1, &figures[1].gpu1, sizeof(double)) != 0 ||
        a.skipped != b.skipped || a.good != b.good || a.gaps != b.gaps ||
        shapes[0].no_reading != shapes[1].no_reading)
        std::abort();
}

// The one log of every GPU, through a small buffer and a large one, with
// its header or with columns given: the same figures, GPUs and counts,
// whether a line fits the buffer at first or grows it.
void expect_same_one_log(const std::string& text, size_t capacity, const char* columns)
{
    static gpu_csv_log logs[2];
    int status[2];
    int fd = memfd_create("log", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    size_t capacities[2] = {capacity, 1 << 20};
    for (int i = 0; i < 2; ++i) {
        line_buffer lb;
        logs[i] = gpu_csv_log{};
        if (line_buffer_init(lb, capacities[i]) != 0 || lseek(fd, 0, SEEK_SET) != 0)
            std::abort();
        status[i] = read_gpu_csv_log(fd, lb, columns, 0, logs[i]);
        line_buffer_free(lb);
    }
    close(fd);
    const gpu_csv_log& a = logs[0];
    const gpu_csv_log& b = logs[1];
    if (status[0] != status[1] || (status[0] != 0 && status[0] != EINVAL) || a.gpus != b.gpus ||
        std::memcmp(&a.part, &b.part, sizeof a.part) != 0 || a.shape.no_reading != b.shape.no_reading ||
        a.shape.stamps.skipped != b.shape.stamps.skipped || a.odd_rounds != b.odd_rounds ||
        a.headers_again != b.headers_again)
        std::abort();
}

// The CPU log in each format, three CPUs of it, through a small buffer and
// a large one: the same status, figures and counts.
void expect_same_cpu_formats(const std::string& text, size_t capacity)
{
    int fd = memfd_create("log", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    for (int format = 0; format < cpu_format_count; ++format) {
        static cpu_log logs[2];
        int status[2];
        size_t capacities[2] = {capacity, 1 << 20};
        cpu_log_options o;
        o.format = static_cast<cpu_format>(format);
        o.cpus = 3;
        o.wrap_uj = format % 2 == 0 ? 262143328850 : 0;
        for (int i = 0; i < 2; ++i) {
            line_buffer lb;
            logs[i] = cpu_log{};
            if (line_buffer_init(lb, capacities[i]) != 0 || lseek(fd, 0, SEEK_SET) != 0)
                std::abort();
            status[i] = read_cpu_log(fd, lb, o, logs[i]);
            line_buffer_free(lb);
        }
        const cpu_log& a = logs[0];
        const cpu_log& b = logs[1];
        if (status[0] != status[1] || (status[0] != 0 && status[0] != EINVAL) ||
            std::memcmp(&a.part, &b.part, sizeof a.part) != 0 || a.packages != b.packages || a.odd != b.odd ||
            a.shape.lines != b.shape.lines || a.shape.no_reading != b.shape.no_reading || a.wraps != b.wraps)
            std::abort();
    }
    close(fd);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks how small the buffer starts, so that lines
    // straddle reads and the buffer grows.
    size_t capacity = 1 + data[0] % 64;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    energy_summary expected = by_the_rules(text);
    log_shape in_memory[3], in_file[3];
    expect_same(from_memory(text, in_memory), expected);
    expect_same(from_file(text, capacity, in_file), expected);
    expect_same_counts(in_memory, in_file);
    log_shape in_chunks[3];
    expect_same(from_chunks(text, 1 + data[0] / 4 % 32, in_chunks), expected);
    expect_same_counts(in_file, in_chunks);
    for (int i = 0; i < 3; i += 2)
        if (!same_range(in_file[i].readings, in_chunks[i].readings) ||
            in_file[i].header != in_chunks[i].header || in_file[i].unended != in_chunks[i].unended)
            std::abort();
    log_shape timed[3];
    expect_same(in_time(text, capacity, timed), expected);
    expect_same_shapes(in_file, timed);
    expect_same_stamped(text, capacity);
    expect_same_one_log(text, capacity, nullptr);
    expect_same_one_log(text, capacity, "timestamp,gpu,power_W");
    expect_same_cpu_formats(text, capacity);
    // The portable kernel too, where the CPU runs the AVX2 one.
    if (lines_kernel == line_kernel::avx2) {
        log_shape portable[3];
        lines_kernel = line_kernel::portable;
        expect_same(from_memory(text, portable), expected);
        lines_kernel = line_kernel::avx2;
        expect_same_counts(in_memory, portable);
    }
    return 0;
}
