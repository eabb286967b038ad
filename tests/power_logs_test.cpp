// The three readers: where a reading stands in a line, the weights, the
// header, and that how the bytes arrive never changes a figure.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "read/log_reading.h"
#include "read/power_logs.h"

namespace {

using reader_fn = log_reader;

// The weight a reader's log has by default.
double default_weight(reader_fn reader)
{
    return reader == read_total_power_log ? total_power_weight
           : reader == read_gpu_power_log ? gpu_weight
                                          : 1;
}

// A descriptor reading text from memory, positioned at its start.
int memory_file(const std::string& text)
{
    int fd = memfd_create("log", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0)
        std::abort();
    return fd;
}

// Runs reader over text through a buffer that starts at capacity bytes.
energy_summary read_text(reader_fn reader, const std::string& text,
                         size_t capacity = default_line_buffer_size, log_shape* seen = nullptr)
{
    energy_summary s;
    log_shape shape;
    line_buffer lb;
    EXPECT_EQ(line_buffer_init(lb, capacity), 0);
    int fd = memory_file(text);
    EXPECT_EQ(reader(fd, lb, s, shape, default_weight(reader)), 0);
    if (seen != nullptr)
        *seen = shape;
    close(fd);
    line_buffer_free(lb);
    return s;
}

void VerifyTotal(const std::string& log, double expected)
{
    EXPECT_EQ(read_text(read_total_power_log, log).total_energy, expected) << "log \"" << log << "\"";
}

void VerifyCpu(const std::string& lines, double cpu1, double cpu2)
{
    energy_summary s = read_text(read_cpu_power_log, "header\n" + lines);
    EXPECT_EQ(s.cpu1, cpu1) << "lines \"" << lines << "\"";
    EXPECT_EQ(s.cpu2, cpu2) << "lines \"" << lines << "\"";
}

void VerifyGpu(const std::string& log, double expected)
{
    EXPECT_EQ(read_text(read_gpu_power_log, log).gpu1, expected) << "log \"" << log << "\"";
}

uint64_t bits(double d)
{
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

void ExpectSameBits(const energy_summary& a, const energy_summary& b, const std::string& what)
{
    EXPECT_EQ(bits(a.total_energy), bits(b.total_energy)) << what;
    EXPECT_EQ(bits(a.cpu1), bits(b.cpu1)) << what;
    EXPECT_EQ(bits(a.cpu2), bits(b.cpu2)) << what;
    EXPECT_EQ(bits(a.gpu1), bits(b.gpu1)) << what;
}

// Runs of up to `longest` lines of one of a few shapes (printf formats of
// a number from 0 to its range, then a digit), some broken by a byte. No
// byte makes an exponent or a hexadecimal number, or joins two lines: a
// huge reading would leave the sum too coarse to show a small one wrong.
std::string repeated_shapes(const std::vector<std::pair<const char*, unsigned>>& shapes,
                            unsigned longest = 40)
{
    std::mt19937 rng(7);
    std::string log;
    for (int run = 0; run < 2000; ++run) {
        const auto& [format, range] = shapes[rng() % shapes.size()];
        for (int n = static_cast<int>(rng() % longest); n >= 0; --n) {
            char line[64];
            std::snprintf(line, sizeof line, format, static_cast<int>(rng() % range),
                          static_cast<int>(rng() % 10));
            if (rng() % 30 == 0)
                line[rng() % (std::strlen(line) - 1)] = "0123456789. -W\t"[rng() % 15];
            log += line;
        }
    }
    return log;
}

// The figure of a log read line by line with strtod, from where its rule
// says the reading starts (npos: none), in order, at every mask width, and
// the readings' statistics; and the same from the reader.
void VerifyLineByLine(reader_fn reader, const std::string& log, size_t (*start)(const std::string&))
{
    double expected = 0;
    reading_range range;
    for (size_t at = 0; at < log.size();) {
        size_t nl = log.find('\n', at);
        std::string line = log.substr(at, nl + 1 - at);
        size_t from = start(line);
        double reading = from == std::string::npos ? 0 : std::strtod(line.c_str() + from, nullptr);
        expected = add_figures(reading * default_weight(reader), expected);
        range.see(reading);
        at = nl + 1;
    }
    line_kernel in_use = lines_kernel;
    for (line_kernel k : {line_kernel::portable, line_kernel::avx2}) {
        if (!line_kernel_available(k))
            continue;
        lines_kernel = k;
        log_shape shape;
        energy_summary s = read_text(reader, log, default_line_buffer_size, &shape);
        double got = reader == read_total_power_log ? s.total_energy : s.gpu1;
        EXPECT_EQ(bits(got), bits(expected)) << line_kernel_name(k);
        // 0 and -0 may be either: no warning tells them apart.
        const reading_range& r = shape.readings;
        EXPECT_EQ(r.lowest, range.lowest) << line_kernel_name(k);
        EXPECT_EQ(r.highest, range.highest) << line_kernel_name(k);
        EXPECT_EQ(r.steepest, range.steepest) << line_kernel_name(k);
        EXPECT_EQ(r.negatives, range.negatives) << line_kernel_name(k);
    }
    lines_kernel = in_use;
}


TEST(TotalPowerLog, ReadingFollowsSecondWhitespace)
{
    VerifyTotal("10:00:01 A 40\n", 20);
    VerifyTotal("t1  t2 40\n", 0);
    VerifyTotal(" t1 t2 40\n", 0);
    VerifyTotal("t1 t2  40\n", 20);
    VerifyTotal("t1\tt2\t3.5e1\n", 17.5);
    VerifyTotal("t1 40\n", 0);
    VerifyTotal("a b -12.5 W\n", -6.25);
    VerifyTotal("a\rb\v7\n", 3.5);
    VerifyTotal("a b \n7\n", 0); // the reading may not come from the next line
}

TEST(TotalPowerLog, LinesWithoutReading)
{
    VerifyTotal("", 0);
    VerifyTotal("\n\n\n", 0);
    VerifyTotal(" \n", 0);
    VerifyTotal("40", 0);
    VerifyTotal(" ", 0);
    VerifyTotal("a 40", 0);
    VerifyTotal("a b", 0);
    VerifyTotal("a b ", 0);
    VerifyTotal("time A power\n", 0);
}

TEST(TotalPowerLog, LastLineAndLineEndings)
{
    VerifyTotal("a b 40", 20);
    VerifyTotal("a b 40\na b 2", 21);
    VerifyTotal("a b 40\r\na b 2\r\n", 21);
    VerifyTotal("\r\n\r\na b 40\r\n", 20);
}

TEST(TotalPowerLog, OddBytesAreFieldBytes)
{
    VerifyTotal(std::string("\0 \0 40\n", 7), 20);
    VerifyTotal(std::string("a b 4\0" "0\n", 8), 2);
    VerifyTotal("\xff\xfe \xc2\xa0 40\n", 20);
    VerifyTotal("a\xc2\xa0" "b 40\n", 0); // no-break space is not whitespace
}

// Each product is added to the running total in file order: after 1e17 the
// halves of 1 are lost, as a plain loop loses them.
TEST(TotalPowerLog, AddsInFileOrder)
{
    std::string log = "a b 1e17\n";
    for (int i = 0; i < 10; ++i)
        log += "a b 1\n";
    VerifyTotal(log, 5e16);
    std::string reversed;
    for (int i = 0; i < 10; ++i)
        reversed += "a b 1\n";
    VerifyTotal(reversed + "a b 1e17\n", 5e16 + 5);
}

// 400 lines of a meter between low and high watts: prefix, the reading
// (its whole digits from one line to the next two or three, then a point
// and two), suffix.
std::string changing_widths(const std::string& prefix, int low, int high, const std::string& suffix)
{
    std::string log;
    for (int i = 0; i < 400; ++i) {
        char reading[32];
        std::snprintf(reading, sizeof reading, "%d.%02d", low + i * 37 % (high - low), i * 7 % 100);
        log += prefix + reading + suffix;
    }
    return log;
}

// Runs of one shape, and lines whose shape changes from one to the next.
TEST(TotalPowerLog, RepeatedShapes)
{
    auto reading_start = [](const std::string& line) {
        size_t i = line.find_first_of(" \t\n\v\f\r");
        if (line[i] != '\n')
            i = line.find_first_of(" \t\n\v\f\r", i + 1);
        return line[i] == '\n' ? std::string::npos : i + 1;
    };
    for (unsigned longest : {40u, 1u})
        VerifyLineByLine(
            read_total_power_log,
            repeated_shapes({{"10:00:%02d A %03d.01\n", 60}, {"%08d B  %d.5\n", 100000000},
                             {"t\t-%02d.%d W\n", 100}, {"a b %03d\n", 1000},
                             {"2026-12-08T10:00:00 A %06d.%d\n", 1000000},
                             {"x y %09d\n", 1000000000}, {"a b 1%02d.%de1\n", 100},
                             {"x %d\n", 10}, {"10:00:00 A %d.%d\n", 1000},
                             {"10:00:00 A %d.%d7.\n", 100}, {"a b %d.%d0000000\n", 10}},
                            longest),
            reading_start);
    VerifyLineByLine(read_total_power_log, changing_widths("10:00:00 A ", 50, 400, "\n"),
                     reading_start);
}

TEST(CpuPowerLog, FieldsThreeAndSeven)
{
    VerifyCpu("  a b 3.5 c\td e 7.25 f\n", 3.5, 7.25);
    VerifyCpu("a b 2 c d e\n", 2, 0);
    VerifyCpu("a b 12W c d e x\n", 12, 0);
    VerifyCpu("a b 1 c d e 2\na b 10 c d e 20\n", 11, 22);
    VerifyCpu("a\t\tb  \t 1 c d e\t2 tail\n", 1, 2);
    VerifyCpu("a b -1 c d e -2\r\n", -1, -2);
}

// Lines of 50 to 140 bytes (a host's full name), their fields 3 and 7 on
// either side of byte 64, against strtod on the split fields.
TEST(CpuPowerLog, LongLines)
{
    std::mt19937 rng(3);
    std::string log;
    double cpu1 = 0, cpu2 = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string host(rng() % 90 + 1, 'n');
        std::string blanks(rng() % 30, ' ');
        auto number = [&](unsigned below) { return static_cast<unsigned>(rng() % below); };
        unsigned whole3 = number(200), point3 = number(100), whole7 = number(200),
                 point7 = number(10);
        char line[256];
        std::snprintf(line, sizeof line, "10:00:00 %s %u.%02u 1%s 60.1 2.8 %u.%u\n", host.c_str(),
                      whole3, point3, blanks.c_str(), whole7, point7);
        std::istringstream fields(line);
        std::string f[7];
        for (std::string& field : f)
            fields >> field;
        cpu1 = add_figures(std::strtod(f[2].c_str(), nullptr), cpu1);
        cpu2 = add_figures(std::strtod(f[6].c_str(), nullptr), cpu2);
        log += line;
    }
    VerifyCpu(log, cpu1, cpu2);
    log_shape shape;
    read_text(read_cpu_power_log, "header\n" + log, default_line_buffer_size, &shape);
    EXPECT_EQ(shape.lines, 3000u);
    // The seventh field runs on past the line's first 64 bytes.
    std::string seventh(61, '7');
    std::string line = "a b 1 2 3 4 ";
    line += seventh + "\na b 1 2 3 4 5\n";
    VerifyCpu(line, 2, add_figures(5, std::strtod(seventh.c_str(), nullptr)));
}

TEST(CpuPowerLog, ShortLines)
{
    VerifyCpu("\n", 0, 0);
    VerifyCpu("   \n", 0, 0);
    VerifyCpu("a\n", 0, 0);
    VerifyCpu("a b\n", 0, 0);
    VerifyCpu("a b 5", 5, 0);
    VerifyCpu("a b 5 c d e", 5, 0);
    VerifyCpu("a b 5 c d e 6", 5, 6);
    VerifyCpu("a b 5 c\nd e 6\n", 11, 0); // field 7 is not taken from the next line
}

TEST(CpuPowerLog, Header)
{
    // The first line goes, whatever it holds.
    VerifyCpu("", 0, 0);
    EXPECT_EQ(read_text(read_cpu_power_log, "a b 1 c d e 2\n").cpu1, 0);
    EXPECT_EQ(read_text(read_cpu_power_log, "a b 1 c d e 2").cpu2, 0);
    EXPECT_EQ(read_text(read_cpu_power_log, "").cpu1, 0);
    energy_summary s = read_text(read_cpu_power_log, "a b 1 c d e 2\na b 3 c d e 4\n");
    EXPECT_EQ(s.cpu1, 3);
    EXPECT_EQ(s.cpu2, 4);
    // A header far longer than the buffer.
    s = read_text(read_cpu_power_log, std::string(10000, 'h') + "\na b 3 c d e 4\n", 16);
    EXPECT_EQ(s.cpu1, 3);
    EXPECT_EQ(s.cpu2, 4);
    // What the warnings learn of a header is the same whether it lies whole
    // in the buffer or grows one too small for it.
    for (const char* log : {"a b 1 c d e 2\nx\n", "time host pkg0_J\nx\n", "a b 1 c d e 2"}) {
        log_shape whole, grown;
        read_text(read_cpu_power_log, log, default_line_buffer_size, &whole);
        read_text(read_cpu_power_log, log, 4, &grown);
        EXPECT_EQ(whole.header_readings, grown.header_readings) << "log \"" << log << "\"";
        bool unended = log[std::strlen(log) - 1] != '\n';
        EXPECT_EQ(whole.unended, unended) << "log \"" << log << "\"";
        EXPECT_EQ(grown.unended, unended) << "log \"" << log << "\"";
        EXPECT_EQ(std::string(whole.opening.text, whole.opening.length),
                  std::string(grown.opening.text, grown.opening.length))
            << "log \"" << log << "\"";
    }
}

TEST(CpuPowerLog, OddBytesAreFieldBytes)
{
    VerifyCpu(std::string("\0 \0 5 \0 \0 \0 6\n", 14), 5, 6);
    VerifyCpu(std::string("a b 5\0" "9 c d e 6\n", 16), 5, 6);
    VerifyCpu("a\xe2\x80\x83" "b 5 c d e 6 7\n", 0, 7); // an em space does not split a field
}

TEST(GpuPowerLog, ReadingStartsTheLine)
{
    VerifyGpu("12.5\n", 1.25);
    VerifyGpu("  12.5 W\n", 1.25);
    VerifyGpu("power\n", 0);
    VerifyGpu("\n12.5\n", 1.25);
    VerifyGpu("10 W\n20 W\n", 10 * 0.1 + 20 * 0.1);
    VerifyGpu("12.5", 1.25);
    VerifyGpu("-3", -3 * 0.1);
}

// The trapezoid rule, restated: stamps in nanoseconds, readings, in order.
double trapezoids(const std::vector<std::pair<int64_t, double>>& points)
{
    double energy = 0.0;
    for (size_t i = 1; i < points.size(); ++i) {
        double dt = static_cast<double>(points[i].first - points[i - 1].first) / 1e9;
        energy = ((points[i - 1].second + points[i].second) * dt) * 0.5 + energy;
    }
    return energy;
}

void VerifyStamped(const std::string& log, const std::vector<std::pair<int64_t, double>>& points,
                   uint64_t skipped = 0, uint64_t gaps = 0)
{
    log_shape shape;
    energy_summary s = read_text(read_stamped_gpu_log, log, 16, &shape);
    EXPECT_EQ(s.gpu1, trapezoids(points)) << "log \"" << log << "\"";
    EXPECT_EQ(shape.stamps.skipped, skipped) << "log \"" << log << "\"";
    EXPECT_EQ(shape.stamps.gaps, gaps) << "log \"" << log << "\"";
}

// Lines of one shape are read four at a time where the CPU allows, lines
// of changing widths by their tail or a window at a time.
TEST(GpuPowerLog, RepeatedShapes)
{
    for (unsigned longest : {40u, 1u})
        VerifyLineByLine(read_gpu_power_log,
                         repeated_shapes({{"%03d.%02d W\n", 1000}, {"%02d.%02d W\n", 100},
                                          {"-%03d.%d\n", 1000}, {"%03d\n", 1000},
                                          {" %03d.%03d,W\n", 1000}, {"%08d\n", 100000000},
                                          {"%09d\n", 1000000000}, {"1%03d.%de1 W\n", 1000},
                                          {"%d.%d W\n", 1000}, {"%d.%d.5\n", 100},
                                          {"%d.%d000000 W\n", 100}, {"%d.\n", 10000}},
                                         longest),
                         [](const std::string&) { return size_t{0}; });
    VerifyLineByLine(read_gpu_power_log, changing_widths("", 20, 300, " W\n"),
                     [](const std::string&) { return size_t{0}; });
    // The lowest reading and the steepest step, at each place of four lines
    // read at once.
    for (int dip = 150; dip < 154; ++dip) {
        std::string log;
        for (int i = 0; i < 300; ++i)
            log += std::to_string(i == dip ? 100 : 200 + i) + ".25 W\n";
        VerifyLineByLine(read_gpu_power_log, log, [](const std::string&) { return size_t{0}; });
    }
}

// GPU energy from time stamps: each format, a header, a line skipped, a
// stamp that does not advance, and a gap.
TEST(GpuPowerLog, TimeStamped)
{
    const int64_t t0 = 1714557600LL * 1000000000;  // 2024-05-01 10:00:00 UTC
    VerifyStamped("timestamp, power.draw [W]\n"
                  "2024/05/01 10:00:00.000, 196.51 W\n"
                  "2024/05/01 10:00:00.105, 200.25 W\n"
                  "2024/05/01 10:00:00.2999999999, 50\n",
                  {{t0, 196.51}, {t0 + 105000000, 200.25}, {t0 + 299999999, 50}});
    VerifyStamped("2024-05-01T12:00:00.5+02:00 , 100\n2024-05-01 10:00:01Z,300,1500 MHz\n"
                  "1714557602.25,\t20\n",
                  {{t0 + 500000000, 100}, {t0 + 1000000000, 300}, {t0 + 2250000000, 20}});
    // Month first, as power analyzers write it; a month past 12 is none.
    VerifyStamped("05-01-2024 10:00:00.000, 10\n05-01-2024 10:00:00.5, 20\n13-01-2024 10:00:01, 5\n"
                  "05-01-2024 10:00:01.25, 30\n",
                  {{t0, 10}, {t0 + 500000000, 20}, {t0 + 1250000000, 30}}, 1);
    VerifyStamped("1714557600.0, 10\n1714557600.1 20\nnoise\n1714557600.1, 5\n"
                  "1714557600.05, 7\n1714557600.2, 30\n",
                  {{t0, 10}, {t0 + 100000000, 5}, {t0 + 200000000, 30}}, 3);
    // Seconds since the epoch of fewer than four digits, and of four.
    VerifyStamped("12.5, 10\n1714, 20\n", {{12500000000, 10}, {1714000000000, 20}});
    std::string log;
    std::vector<std::pair<int64_t, double>> points;
    for (int i = 0; i < 40; ++i) {
        int64_t ns = t0 + i * 100000000LL + (i >= 30 ? 1000000000 : 0);
        log += std::to_string(ns / 1000000000) + "." + std::to_string(ns % 1000000000 / 100000000) +
               ", " + std::to_string(100 + i) + "\n";
        points.push_back({ns, 100 + i});
    }
    VerifyStamped(log, points, 0, 1);
    // Of two intervals, a ten-year stall is the gap.
    VerifyStamped("1714557600, 10\n1714557601, 10\n2029557601, 10\n",
                  {{t0, 10}, {t0 + 1000000000, 10}, {2029557601LL * 1000000000, 10}}, 0, 1);
}

TEST(Readers, ErrorsAreReturned)
{
    energy_summary s;
    line_buffer lb;
    ASSERT_EQ(line_buffer_init(lb, 64), 0);
    int dir = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    log_shape shape;
    EXPECT_EQ(read_total_power_log(dir, lb, s, shape), EISDIR);
    EXPECT_EQ(read_cpu_power_log(dir, lb, s, shape), EISDIR);
    EXPECT_EQ(read_gpu_power_log(dir, lb, s, shape), EISDIR);
    // Read at once, each log's first error is its own.
    log_job jobs[3];
    log_reader readers[] = {read_total_power_log, read_cpu_power_log, read_gpu_power_log};
    int gpu_log = memory_file("1\n2\n");
    for (int i = 0; i < 3; ++i) {
        jobs[i].fd = i < 2 ? dir : gpu_log;
        jobs[i].reader = readers[i];
        jobs[i].size = 1 << 20;
    }
    read_logs_at_once(jobs, 3, 2, 4096);
    EXPECT_EQ(jobs[0].err, EISDIR);
    EXPECT_EQ(jobs[1].err, EISDIR);
    EXPECT_EQ(jobs[2].err, 0);
    EXPECT_EQ(jobs[2].part.gpu1, 3.0);
    close(gpu_log);
    close(dir);
    EXPECT_EQ(read_gpu_power_log(-1, lb, s, shape), EBADF);
    line_buffer_free(lb);
    line_buffer_free(lb); // twice is harmless
}

// A log of mixed lines, some far longer than a small buffer, some odd;
// with finite, no nan or inf, which would hide every later reading.
std::string generated_log(unsigned seed, size_t lines, bool finite = false)
{
    std::mt19937 rng(seed);
    const char* pieces[] = {"10:00:01", "A", "123.45", " ", "\t", "  ", "W", "-0.5e2",
                            "0x1p3", "nan", "inf", "1e", "12W", "", "\r", "x"};
    std::string log;
    for (size_t i = 0; i < lines; ++i) {
        size_t n = rng() % 12;
        if (rng() % 50 == 0)
            log += std::string(rng() % 3000, "a 1"[rng() % 3]);
        for (size_t j = 0; j < n; ++j) {
            const char* piece = pieces[rng() % (sizeof pieces / sizeof pieces[0])];
            log += finite && (piece[0] == 'n' || piece[0] == 'i') ? "97.25" : piece;
            if (rng() % 3)
                log += ' ';
        }
        log += '\n';
    }
    return log;
}

energy_summary scan_memory(const std::string& text, bool skip_header, log_shape* seen = nullptr)
{
    std::string lines = text;
    if (skip_header) {
        size_t nl = lines.find('\n');
        lines = nl == std::string::npos ? "" : lines.substr(nl + 1);
    }
    if (!lines.empty() && lines.back() != '\n')
        lines += '\n';
    energy_summary s;
    log_shape shape;
    const char* b = lines.data();
    const char* e = b + lines.size();
    if (skip_header) {
        add_cpu_power_lines(b, e, s, shape);
    } else {
        add_total_power_lines(b, e, s, shape);
        add_gpu_power_lines(b, e, s, shape);
    }
    if (seen != nullptr)
        *seen = shape;
    return s;
}

energy_summary read_all(const std::string& text, size_t capacity, bool skip_header)
{
    if (skip_header)
        return read_text(read_cpu_power_log, text, capacity);
    energy_summary t = read_text(read_total_power_log, text, capacity);
    t.gpu1 = read_text(read_gpu_power_log, text, capacity).gpu1;
    return t;
}

// However the reads split the lines, and however small the buffer starts,
// the figures are those of the lines taken whole.
TEST(Readers, BufferSizeNeverChangesFigures)
{
    for (unsigned seed = 1; seed <= 8; ++seed) {
        // Half of them finite, so that no nan hides what follows it.
        std::string log = generated_log(seed, 400, seed > 4);
        for (bool header : {false, true}) {
            energy_summary expected = scan_memory(log, header);
            for (size_t capacity : std::initializer_list<size_t>{1, 2, 3, 5, 16, 100, 4096, 1 << 20})
                ExpectSameBits(read_all(log, capacity, header), expected,
                               "seed " + std::to_string(seed) + " capacity " +
                                   std::to_string(capacity));
        }
    }
}

// Where the CPU has AVX2, its kernel reads as the portable one, the
// reference.
TEST(Readers, KernelsGiveThePortableFigures)
{
    if (!line_kernel_available(line_kernel::avx2))
        GTEST_SKIP() << "this CPU runs the portable kernel alone";
    line_kernel in_use = lines_kernel;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::string log = generated_log(seed, 400, true);
        for (bool header : {false, true}) {
            log_shape fast_shape, portable_shape;
            lines_kernel = line_kernel::avx2;
            energy_summary fast = scan_memory(log, header, &fast_shape);
            lines_kernel = line_kernel::portable;
            energy_summary portable = scan_memory(log, header, &portable_shape);
            ExpectSameBits(fast, portable, "seed " + std::to_string(seed));
            EXPECT_EQ(fast_shape.no_reading, portable_shape.no_reading) << "seed " << seed;
            EXPECT_EQ(fast_shape.runs_on, portable_shape.runs_on) << "seed " << seed;
        }
    }
    // A line's fields, as the timed readers split it at whitespace.
    std::mt19937 random(7);
    const char bytes[] = {' ', '\t', '\v', '\r', 'a', '5', '\0', '\xe2', ','};
    for (int i = 0; i < 3000; ++i) {
        std::string line(random() % 65, ' ');
        for (char& c : line)
            c = bytes[random() % sizeof bytes];
        for (int most : {64, 3}) {
            const char* p = line.data();
            lines_kernel = line_kernel::avx2;
            line_fields fast = split_line(p, p + line.size(), field_split::blanks, most);
            lines_kernel = line_kernel::portable;
            line_fields portable = split_line(p, p + line.size(), field_split::blanks, most);
            ASSERT_EQ(fast.count, portable.count) << "\"" << line << "\"";
            for (int f = 0; f < fast.count; ++f)
                EXPECT_TRUE(fast.at[f] == portable.at[f] && fast.length[f] == portable.length[f])
                    << "field " << f << " of \"" << line << "\"";
        }
    }
    // The newlines of up to 64 bytes, by which the pass in time finds lines.
    for (int i = 0; i < 1000; ++i) {
        std::string block(64, ' ');
        for (char& c : block)
            c = "\n a5"[random() % 4];
        size_t n = 1 + random() % 64;
        uint64_t expected = 0;
        for (size_t k = 0; k < n; ++k)
            expected |= uint64_t{block[k] == '\n'} << k;
        for (line_kernel k : {line_kernel::avx2, line_kernel::portable}) {
            lines_kernel = k;
            EXPECT_EQ(newline_bits(block.data(), n), expected) << n << " bytes of \"" << block << "\"";
        }
    }
    lines_kernel = in_use;
}

// The time-stamped and one-log readers against a reading of their own
// here: random meters of three GPUs, their periods jittered, their readings'
// widths changing, now and then no number or a stall; each GPU's energy by
// the trapezoid rule in its lines' order, the stamps' difference in
// nanoseconds over 1e9, as strtod reads the readings. The one log is read
// through a buffer of 8 bytes too, which every line grows; the third meter
// writes long columns (a fraction of 70 digits, ids of 80 bytes).
TEST(Readers, StampedAndOneLogByAnIndependentReading)
{
    for (unsigned seed = 1; seed <= 3; ++seed) {
        bool long_columns = seed == 3;
        std::mt19937 rng(seed);
        std::string one_log = "timestamp, index, power.draw [W]\n", stamped;
        double expected[3] = {0, 0, 0}, last[3] = {0, 0, 0};
        int64_t last_ns[3] = {-1, -1, -1};
        int64_t ns = 1714557600LL * 1000000000;
        for (int i = 0; i < 300; ++i) {
            ns += 90000000 + static_cast<int64_t>(rng() % 20000000) + (rng() % 50 == 0 ? 2000000000 : 0);
            for (int g = 0; g < 3; ++g) {
                char stamp[48], reading[32];
                std::snprintf(stamp, sizeof stamp, "%lld.%09lld", static_cast<long long>(ns / 1000000000),
                              static_cast<long long>(ns % 1000000000));
                std::string id = std::to_string(g);
                if (long_columns)
                    id = "g" + id + std::string(80, 'x');
                bool none = rng() % 40 == 0;
                std::snprintf(reading, sizeof reading, "%u.%0*u", 20 + static_cast<unsigned>(rng() % 300),
                              static_cast<int>(1 + rng() % 3), static_cast<unsigned>(rng() % 10));
                std::string field = none ? "[N/A]" : std::string(reading) + " W";
                one_log += std::string(stamp) + (long_columns ? std::string(61, '0') + "123456789" : "") + ", " +
                           id + ", " + field + "\n";
                if (g == 0)
                    stamped += std::string(stamp) + ", " + field + "\n";
                if (none)
                    continue;
                double power = std::strtod(reading, nullptr);
                if (last_ns[g] >= 0) {
                    double dt = static_cast<double>(ns - last_ns[g]) / 1e9;
                    expected[g] = (((last[g] + power) * dt) * 0.5) + expected[g];
                }
                last[g] = power;
                last_ns[g] = ns;
            }
        }
        EXPECT_EQ(bits(read_text(read_stamped_gpu_log, stamped).gpu1), bits(expected[0])) << "seed " << seed;
        for (size_t capacity : {default_line_buffer_size, size_t{8}}) {
            static gpu_csv_log all;
            all = gpu_csv_log{};
            line_buffer lb;
            ASSERT_EQ(line_buffer_init(lb, capacity), 0);
            int fd = memory_file(one_log);
            ASSERT_EQ(read_gpu_csv_log(fd, lb, nullptr, 0, all), 0);
            close(fd);
            line_buffer_free(lb);
            ASSERT_EQ(all.gpus, 3) << "seed " << seed << " capacity " << capacity;
            for (int g = 0; g < 3; ++g)
                EXPECT_EQ(bits(gpu_figure(all.part, g + 1)), bits(expected[g]))
                    << "seed " << seed << " capacity " << capacity << " GPU" << g + 1;
        }
    }
}

// Read at once in chunks, on any number of threads, each log gives the
// bits and the counts of one thread reading it whole: chunks cut inside
// lines, inside a line longer than the buffer, and past a last line
// without a newline; a time-stamped GPU log is read beside them.
TEST(Readers, ChunksAndThreadsNeverChangeFigures)
{
    std::string odd = generated_log(3, 3000, true) + "a b " + std::string(100000, '5') + "\n" +
                      generated_log(4, 300) + "a b 7";
    std::string stamped;
    for (int i = 0; i < 2000; ++i)
        stamped += "2026/12/08 10:00:0" + std::to_string(i % 10) + "." +
                   std::to_string(100 + i % 900) + ", " + std::to_string(150 + i % 7) + " W\n";
    std::string plain = "GPU power\n";
    // Negative readings first from line 15002, in a chunk of its own.
    for (int i = 0; i < 20000; ++i) {
        if (i / 100 == 150)
            plain += '-';
        plain += std::to_string(150 + i * 7 % 150) + "." + std::to_string(10 + i % 90) + " W\n";
    }
    // More lines than a chunk keeps before its turn: it waits, and adds.
    std::string short_lines;
    for (int i = 0; i < 700000; ++i)
        short_lines += i % 3 == 0 ? "1\n" : "-5\n";
    const std::string texts[] = {odd, "h\n" + odd, plain, stamped, short_lines};
    log_reader readers[] = {read_total_power_log, read_cpu_power_log, read_gpu_power_log,
                            read_stamped_gpu_log, read_gpu_power_log};
    log_job whole[5];
    for (int i = 0; i < 5; ++i) {
        whole[i].fd = memory_file(texts[i]);
        whole[i].reader = readers[i];
        whole[i].weight = default_weight(readers[i]);
        whole[i].size = static_cast<long long>(texts[i].size());
    }
    log_job expected[5];
    for (int i = 0; i < 5; ++i) {
        line_buffer lb;
        ASSERT_EQ(line_buffer_init(lb, default_line_buffer_size), 0);
        ASSERT_EQ(readers[i](whole[i].fd, lb, expected[i].part, expected[i].shape, whole[i].weight), 0);
        line_buffer_free(lb);
    }
    for (unsigned threads : {1u, 2u, 3u})
        for (size_t chunk : std::initializer_list<size_t>{5, 100, 4096, 70000, 1 << 20}) {
            // The short lines only in large chunks, where they fill a slot.
            int count = chunk < 4096 ? 4 : 5;
            log_job jobs[5];
            std::copy(whole, whole + 5, jobs);
            for (log_job& job : jobs)
                ASSERT_EQ(lseek(job.fd, 0, SEEK_SET), 0);
            read_logs_at_once(jobs, count, threads, chunk);
            std::string what = std::to_string(threads) + " threads, chunks of " + std::to_string(chunk);
            for (int i = 0; i < count; ++i) {
                EXPECT_EQ(jobs[i].err, 0) << what;
                ExpectSameBits(jobs[i].part, expected[i].part, what + ", log " + std::to_string(i));
                const log_shape& a = jobs[i].shape;
                const log_shape& b = expected[i].shape;
                EXPECT_EQ(a.lines, b.lines) << what;
                EXPECT_EQ(a.no_reading + a.runs_on + a.not_finite,
                          b.no_reading + b.runs_on + b.not_finite) << what;
                EXPECT_EQ(a.header, b.header) << what;
                EXPECT_EQ(a.unended, b.unended) << what;
                EXPECT_EQ(std::memcmp(&a.readings, &b.readings, sizeof a.readings), 0) << what;
                EXPECT_EQ(a.negative_line.number, b.negative_line.number) << what;
            }
        }
    for (log_job& job : whole)
        close(job.fd);
}

// A log cut short at every length reads as the lines it still holds.
TEST(Readers, Truncate)
{
    std::string log = "10:00:01 A 40\nx y 1e3\n a b 2 c d e 7\n0x1p3 W\n\n-nan t 5\n";
    for (size_t length = 0; length <= log.size(); ++length) {
        std::string cut = log.substr(0, length);
        for (bool header : {false, true})
            ExpectSameBits(read_all(cut, 4, header), scan_memory(cut, header),
                           "cut at " + std::to_string(length));
    }
}

TEST(Readers, VeryLongLine)
{
    std::string line = "a b " + std::string(3 << 20, '7') + " c d e 1\n";
    EXPECT_EQ(read_text(read_total_power_log, line, 8).total_energy,
              std::strtod(std::string(3 << 20, '7').c_str(), nullptr) * 0.5);
    energy_summary s = read_text(read_cpu_power_log, "h\n" + line + "a b 1 c d e 2\n", 8);
    EXPECT_EQ(s.cpu1, std::strtod(std::string(3 << 20, '7').c_str(), nullptr) + 1);
    EXPECT_EQ(s.cpu2, 1 + 2);
}

} // namespace
