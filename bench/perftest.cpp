// The readers' perftest: each line scanner's time per line under each
// kernel, on the shapes its paths were written for and on shapes they were
// not (readings that change width, long lines, a blank line), and the
// time-stamped and one-log readers', which read plainly. Medians of several
// runs, in nanoseconds a line; a row of both kernels, read side by side.
//
//   energy_totals_perftest [LINES] [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "read/log_lines.h"
#include "read/power_logs.h"

namespace {

// Lines made by make(i) for i from 0 to n.
template <class Make>
std::string lines_of(size_t n, Make make)
{
    std::string text;
    char line[160];
    for (size_t i = 0; i < n; ++i) {
        int length = make(i, line, sizeof line);
        text.append(line, static_cast<size_t>(length));
    }
    return text;
}

unsigned noise(size_t i)
{
    return static_cast<unsigned>((i * 2654435761u) >> 7);
}

using scanner = void (*)(const char*, const char*, energy_summary&, log_shape&, double);
using reader = int (*)(int, line_buffer&, energy_summary&, log_shape&, double);

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The scanner's nanoseconds a line over text, in memory.
double time_scanner(scanner scan, const std::string& text, size_t lines, int runs)
{
    std::vector<double> ns;
    for (int r = 0; r < runs; ++r) {
        energy_summary s;
        log_shape shape;
        auto start = std::chrono::steady_clock::now();
        scan(text.data(), text.data() + text.size(), s, shape, 0.1);
        auto stop = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(lines));
        if (s.total_energy + s.cpu1 + s.gpu1 == 12345.678) // keeps the work
            std::puts("");
    }
    return median(ns);
}

// The reader's nanoseconds a line over text, read from a file in memory.
double time_reader(reader read, const std::string& text, size_t lines, int runs)
{
    int fd = memfd_create("perftest", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::abort();
    std::vector<double> ns;
    line_buffer lb;
    line_buffer_init(lb, default_line_buffer_size);
    for (int r = 0; r < runs; ++r) {
        energy_summary s;
        log_shape shape;
        lseek(fd, 0, SEEK_SET);
        auto start = std::chrono::steady_clock::now();
        read(fd, lb, s, shape, 0.1);
        auto stop = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(lines));
    }
    line_buffer_free(lb);
    close(fd);
    return median(ns);
}

int read_one_log(int fd, line_buffer& lb, energy_summary&, log_shape&, double)
{
    static gpu_csv_log log;
    log = gpu_csv_log{};
    return read_gpu_csv_log(fd, lb, nullptr, 0, log);
}

} // namespace

int main(int argc, char** argv)
{
    size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000000;
    int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    struct shape {
        const char* name;
        scanner scan;
        std::string text;
    };
    std::vector<shape> shapes = {
        {"gpu, one width", add_gpu_power_lines, lines_of(n, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "%u.%02u W\n", 100 + noise(i) % 100, noise(i + 1) % 100);
         })},
        {"gpu, changing widths", add_gpu_power_lines, lines_of(n, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "%u.%02u W\n", 20 + noise(i) % 280, noise(i + 1) % 100);
         })},
        {"gpu, a blank line in 50", add_gpu_power_lines, lines_of(n, [](size_t i, char* b, size_t m) {
             return i % 50 == 49 ? std::snprintf(b, m, "\n")
                                 : std::snprintf(b, m, "%u.%02u W\n", 100 + noise(i) % 100, noise(i + 1) % 100);
         })},
        {"total, one width", add_total_power_lines, lines_of(n, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "10:%02zu:%02zu A %u.%02u\n", i / 60 % 60, i % 60,
                                  300 + noise(i) % 100, noise(i + 1) % 100);
         })},
        {"total, changing widths", add_total_power_lines, lines_of(n, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "10:%02zu:%02zu A %u.%02u\n", i / 60 % 60, i % 60,
                                  50 + noise(i) % 350, noise(i + 1) % 100);
         })},
        {"cpu, 50 bytes", add_cpu_power_lines, lines_of(n / 2, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "10:%02zu:%02zu node07 %u.%02u 1.5 2.5 3.5 %u.%02u\n", i / 60 % 60,
                                  i % 60, 80 + noise(i) % 20, noise(i) % 100, 80 + noise(i + 1) % 20,
                                  noise(i + 2) % 100);
         })},
        {"cpu, 66 bytes", add_cpu_power_lines, lines_of(n / 2, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "10:%02zu:%02zu node07.cluster.example.org %u.%02u 1.5 2.5 3.5 %u.%02u\n",
                                  i / 60 % 60, i % 60, 80 + noise(i) % 20, noise(i) % 100,
                                  80 + noise(i + 1) % 20, noise(i + 2) % 100);
         })},
        {"cpu, 90 bytes", add_cpu_power_lines, lines_of(n / 2, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "2024-05-01T10:%02zu:%02zu.%09u+02:00 node07.cluster.example.org %u.%02u 1.5 2.5 3.5 %u.%02u\n",
                                  i / 60 % 60, i % 60, noise(i) % 1000000000, 80 + noise(i) % 20, noise(i) % 100,
                                  80 + noise(i + 1) % 20, noise(i + 2) % 100);
         })},
    };
    std::printf("%-26s %12s %12s   ns a line, medians of %d runs over %zu lines\n", "scanner", "portable",
                "avx2", runs, n);
    for (const shape& s : shapes) {
        size_t lines = static_cast<size_t>(std::count(s.text.begin(), s.text.end(), '\n'));
        double t[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            line_kernel kernel = k == 0 ? line_kernel::portable : line_kernel::avx2;
            if (!line_kernel_available(kernel))
                continue;
            lines_kernel = kernel;
            t[k] = time_scanner(s.scan, s.text, lines, runs);
        }
        std::printf("%-26s %12.2f %12.2f\n", s.name, t[0], t[1]);
    }
    struct read_shape {
        const char* name;
        reader read;
        std::string text;
    };
    std::vector<read_shape> plain = {
        {"stamped gpu", read_stamped_gpu_log, lines_of(n, [](size_t i, char* b, size_t m) {
             return std::snprintf(b, m, "2024/05/01 10:%02zu:%02zu.%03zu, %u.%02u\n", i / 600000 % 60,
                                  i / 10000 % 60, i % 10000 / 10, 100 + noise(i) % 100, noise(i + 1) % 100);
         })},
        {"one log, 4 gpus", read_one_log, "timestamp, index, power.draw [W]\n" +
                                              lines_of(n, [](size_t i, char* b, size_t m) {
                                                  size_t t = i / 4;
                                                  return std::snprintf(
                                                      b, m, "2024/05/01 10:%02zu:%02zu.%03zu, %zu, %u.%02u W\n",
                                                      t / 600000 % 60, t / 10000 % 60, t % 10000 / 10 * 10,
                                                      i % 4, 100 + noise(i) % 100, noise(i + 1) % 100);
                                              })},
    };
    std::printf("%-26s %12s\n", "reader (plain)", "ns a line");
    for (const read_shape& r : plain) {
        size_t lines = static_cast<size_t>(std::count(r.text.begin(), r.text.end(), '\n'));
        std::printf("%-26s %12.2f\n", r.name, time_reader(r.read, r.text, lines, runs));
    }
    return 0;
}
