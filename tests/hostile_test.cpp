// Logs and tables as crashed meters, full disks and scripts leave them: the
// tool gives the figures the rules give, or says what it could not do and
// exits with 255, and never leaves half a row.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "read/power_logs.h"
#include "table/table_append.h"
#include "report/summary_output.h"
#include "table/table_lock.h"
#include "test_util.h"

namespace {

// The summary the rules give for these logs, read here from memory.
std::string expected_summary(const std::string& total, const std::string& cpu,
                             const std::string& gpu)
{
    auto lines = [](std::string text) {
        if (!text.empty() && text.back() != '\n')
            text += '\n';
        return text;
    };
    energy_summary s;
    log_shape shape;
    std::string t = lines(total), g = lines(gpu), c = lines(cpu);
    add_total_power_lines(t.data(), t.data() + t.size(), s, shape);
    add_gpu_power_lines(g.data(), g.data() + g.size(), s, shape);
    size_t header = c.find('\n');
    if (header != std::string::npos)
        add_cpu_power_lines(c.data() + header + 1, c.data() + c.size(), s, shape);
    return console_text(s);
}

// The row the plain case below appends.
const std::string plain_row = "20\t\t1\t\t2\t\t3\t\t\t10\t\t0\t\t0\t\t0\t\t10\n";

struct hostile_case {
    scratch_dir dir;
    // A plain case, until a test puts something worse in its place.
    std::string total = "a b 40\n";
    std::string cpu = "header\na b 1 c d e 2\n";
    std::string gpu = "100\n";

    void write(const std::string& table = "heading\n")
    {
        write_file(dir.file("case.total.pwr"), total);
        write_file(dir.file("case.cpu.pwr"), cpu);
        write_file(dir.file("gpupower1.out"), gpu);
        write_file(dir.file("results.txt"), table);
    }
    // Runs the case with a row wanted; checks the summary and that exactly
    // one row was appended. Returns what it wrote to standard error.
    std::string expect_figures()
    {
        write();
        tool_result r = run_tool(dir.path, {"case", "1", "0"});
        std::string summary = expected_summary(total, cpu, gpu);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, summary);
        std::string table = read_file(dir.file("results.txt"));
        EXPECT_EQ(table.compare(0, 8, "heading\n"), 0);
        EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 2);
        return r.errors;
    }
    // Runs the case with a row wanted, prepare called in the child; expects
    // either status 0 and exactly one row more, or status 255 with the
    // message and reason, the table as it was.
    void expect_row_or_not(const std::function<void()>& prepare, bool row,
                           const std::string& reason = "")
    {
        write();
        tool_result r = run_tool_with(dir.path, {"case", "1", "0"}, prepare);
        std::string summary = expected_summary(total, cpu, gpu);
        std::string table = read_file(dir.file("results.txt"));
        if (row) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(table, "heading\n" + plain_row);
        } else {
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.output, summary + "couldn't write results\n");
            EXPECT_EQ(r.errors, "energy-totals: results.txt: " + reason + "\n");
            EXPECT_EQ(table, "heading\n");
        }
    }
    // Runs the case and expects it to stop with message, the table as it was.
    void expect_failure(const std::string& message, bool as_nobody = false)
    {
        tool_result r = run_tool(dir.path, {"case", "1", "0"}, as_nobody);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.output, message);
        EXPECT_EQ(read_file(dir.file("results.txt")), "heading\n");
    }
};

std::string random_bytes(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

std::string repeat(const std::string& line, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += line;
    return text;
}

// Runs a case of these logs: the figures and the row are the rules', and
// standard error holds exactly these warnings.
void VerifyWarnings(const std::string& total, const std::string& cpu, const std::string& gpu,
                    const std::string& warnings)
{
    hostile_case c;
    c.total = total;
    c.cpu = cpu;
    c.gpu = gpu;
    EXPECT_EQ(c.expect_figures(), warnings)
        << "logs \"" << total << "\", \"" << cpu << "\", \"" << gpu << "\"";
    // The same bytes through FIFOs, read once as they come: the same words.
    const char* names[] = {"case.total.pwr", "case.cpu.pwr", "gpupower1.out"};
    const std::string* texts[] = {&total, &cpu, &gpu};
    for (const char* name : names) {
        unlink(c.dir.file(name).c_str());
        ASSERT_EQ(mkfifo(c.dir.file(name).c_str(), 0600), 0);
    }
    std::thread writer([&] {
        for (int i = 0; i < 3; ++i) {
            int fd = open(c.dir.file(names[i]).c_str(), O_WRONLY);
            if (fd >= 0 && !texts[i]->empty())
                (void)::write(fd, texts[i]->data(), texts[i]->size());
            close(fd);
        }
    });
    tool_result r = run_tool(c.dir.path, {"case", "0", "0"});
    writer.join();
    EXPECT_EQ(r.output, expected_summary(total, cpu, gpu)) << "through FIFOs";
    EXPECT_EQ(r.errors, warnings) << "through FIFOs: logs \"" << total << "\", \"" << cpu << "\", \"" << gpu << "\"";
}

// A total-power log of count lines, time stamped from start (seconds after
// midnight) every step seconds.
std::string stamped(double start, double step, int count)
{
    std::string log;
    char line[64];
    for (int i = 0; i < count; ++i) {
        double t = std::fmod(start + step * i, 86400);
        std::snprintf(line, sizeof line, "%02d:%02d:%04.1f A 400\n", static_cast<int>(t / 3600),
                      static_cast<int>(std::fmod(t, 3600) / 60), std::fmod(t, 60));
        log += line;
    }
    return log;
}

TEST(LogWarnings, EachOddShapeIsNamed)
{
    const std::string cpu = "header\na b 1 c d e 2\n", ok = "a b 400\n", prefix = "energy-totals: ";
    const std::string gpu = prefix + "case: gpupower1.out: ", total = prefix + "case.total.pwr: ";
    const std::string cpu_log = prefix + "case.cpu.pwr: ";
    // Logs that fit, a header line at the top of each included, and one
    // blank line at the end.
    VerifyWarnings(ok, cpu, "100\n", "");
    VerifyWarnings("time A power\n" + ok, cpu, "power.draw [W]\n100 W\n", "");
    VerifyWarnings(ok + "\n", cpu + "\n", "100\n\n", "");
    // Readings that are not numbers, the first quoted; blank lines apart.
    VerifyWarnings(ok, cpu, "100\n[N/A]\n\n[Not Supported]\n",
                   gpu + "2 of the 3 readings it should hold are not numbers; each adds 0 (first at "
                         "line 2: \"[N/A]\")\n" +
                       gpu + "1 blank line among its readings; it adds 0 (a lost sample?)\n");
    VerifyWarnings("a b 100\nt1  t2 40\n", cpu, "100\n",
                   total + "1 of the 2 readings it should hold is not a number; it adds 0 (first "
                           "at line 2: \"t1  t2 40\")\n");
    VerifyWarnings(ok, "header\n10:00:01 node07 . c d e 2\n" + repeat("a b 1 c d e 2\n", 5),
                   "100\n",
                   cpu_log + "1 of the 12 readings it should hold is not a number; it adds 0 "
                             "(first at line 2: \"10:00:01 node07 . c d e 2\")\n");
    // Logs with no reading at all, and a CPU log without its header.
    const std::string none = "holds no readings; its figures are 0 (did the meter run?)\n";
    VerifyWarnings(ok, cpu, "", gpu + none);
    VerifyWarnings("", "header\n", "100\n", total + none + cpu_log + none);
    VerifyWarnings(ok, "a b 1 c d e 2\na b 1 c d e 2\n", "100\n",
                   cpu_log + "its first line, skipped as the header, holds numbers in fields 3 "
                             "and 7: probably a reading, lost (does the log lack its header "
                             "line?)\n");
    // Logs no line of which can be read, named by what they may be; a CPU
    // log that is only a header cut short; lines ended by CRs alone.
    std::string utf16;
    for (char ch : repeat("10:00:01 A 40\n", 3))
        utf16 += std::string(1, ch) + '\0';
    const std::string cut = "the last line has no newline; the log may be cut off or still being written\n";
    VerifyWarnings(utf16, cpu, "100\n",
                   total + "no line is readable (UTF-16? compressed?); its figures are 0\n" + total + cut);
    VerifyWarnings(repeat("10:00:01  A 40\n", 3), cpu, "100\n",
                   total + "no line is readable (two blanks between the first fields? UTF-16? "
                           "compressed?); its figures are 0\n");
    VerifyWarnings(ok, "header", "100\n", cpu_log + none + cpu_log + cut);
    VerifyWarnings("a b 40\ra b 40\ra b 40", cpu, "100\n",
                   total + "its lines end in carriage returns alone (an old Mac's line ends), so it "
                           "reads as one line; convert it with tr '\\r' '\\n'\n");
    // Numbers that run on, or are not finite, the first quoted.
    const std::string runs_on =
        "reading runs on into other characters (as in 12W, 1,5 or 10:00); only the number "
        "before them counts";
    VerifyWarnings("a b 40,5\n", cpu, "100\n", total + "1 " + runs_on + " (first at line 1: \"a b 40,5\")\n");
    VerifyWarnings(ok, cpu, "100\n2024/05/01 10:00:00.000,\t196.51 W\n",
                   gpu + "1 " + runs_on +
                       " (first at line 2: \"2024/05/01 10:00:00.000,\\t196.51 W\")\n" + gpu +
                       "its lines start with time stamps: read it with --gpu-time=stamps\n" + total +
                       "the total energy, 200 J, is below the total GPU, 212.4 J: impossible if "
                       "all are joules of one run (a log in other units, at another rate, or from "
                       "another run?)\n");
    VerifyWarnings(ok, cpu, "nan\n100\n",
                   gpu + "1 reading is nan or infinite, and so is the figure (first at line 1: "
                         "\"nan\")\n");
    // A last line cut off.
    VerifyWarnings("a b 40\na b 4", cpu, "100\n",
                   total + "the last line has no newline; the log may be cut off or still being "
                           "written\n");
    // Lengths in time: 40 total-power lines are 20 s, as are 200 GPU lines;
    // a fifth either way passes.
    const std::string tail = " (a meter that died or started late, another sampling period, "
                             "several GPUs in one log, or logs of different runs?)\n";
    VerifyWarnings(repeat(ok, 40), cpu, repeat("100\n", 220), "");
    VerifyWarnings(repeat(ok, 40), cpu, repeat("100\n", 260),
                   total + "covers 20.0 s at 0.5 s a line, but gpupower1.out covers 26.0 s at "
                           "0.1 s a line, 1.30 times as long" + tail);
    VerifyWarnings(repeat(ok, 1200), cpu, repeat("100\n", 19),
                   total + "covers 600.0 s at 0.5 s a line, but gpupower1.out covers 1.9 s at "
                           "0.1 s a line, 0.00 times as long" + tail);
    // The total-power log's own time stamps: a line a second, where each
    // counts half a second; across midnight nothing is judged.
    VerifyWarnings(stamped(36000, 1, 40), cpu, repeat("100\n", 400),
                   total + "covers 20.0 s at 0.5 s a line, but gpupower1.out covers 40.0 s at "
                           "0.1 s a line, 2.00 times as long" + tail +
                   total + "a line every 1.00 s by its time stamps, but each counts 0.5 s, so the "
                           "total energy is off by as much (is the meter set to another "
                           "period? then say so with --total-period=1, or read the log by its stamps with --total-time=stamps)\n");
    VerifyWarnings(stamped(36000, 0.5, 40), cpu, repeat("100\n", 200), "");
    VerifyWarnings(stamped(86390, 0.5, 40), cpu, repeat("100\n", 200), "");
    // Readings that can't be power.
    VerifyWarnings(ok, cpu, "100\n-5 W\n100\n",
                   gpu + "1 reading is negative, the lowest -5: power can't be (a meter that "
                         "writes its sign the other way?) (first at line 2: \"-5 W\")\n");
    std::string rising = "seconds\n";
    for (int i = 0; i < 20; ++i)
        rising += std::to_string(i) + ".5\n";
    VerifyWarnings(repeat(ok, 4), cpu, rising,
                   gpu + "each reading is above the one before: a clock or a counter read as "
                         "power?\n");
    VerifyWarnings("a b 40000\n", cpu, "100\n6000\n",
                   gpu + "holds readings above 5000 W, the highest 6000: milliwatts written as "
                         "watts?\n");
    VerifyWarnings(ok, "header\na b 1000 c d e 2\n", "100\n",
                   total + "the total energy, 200 J, is below the total CPU, 1002 J: impossible "
                           "if all are joules of one run (a log in other units, at another "
                           "rate, or from another run?)\n");
}

// A time-stamped GPU log run with --gpu-time=stamps: standard error holds
// exactly these warnings, and GPU1 is gpu1.
void VerifyStampedWarnings(const std::string& gpu, const std::string& warnings, double gpu1 = -1)
{
    hostile_case c;
    c.total = repeat("a b 400\n", 2);
    c.gpu = gpu;
    c.write();
    tool_result r = run_tool(c.dir.path, {"--gpu-time=stamps", "case", "0", "0"});
    EXPECT_EQ(r.status, 0) << "log \"" << gpu << "\"";
    EXPECT_EQ(r.errors, warnings) << "log \"" << gpu << "\"";
    if (gpu1 >= 0) {
        char line[64];
        std::snprintf(line, sizeof line, "\nGPU1: %f\n", gpu1);
        EXPECT_NE(r.output.find(line), std::string::npos) << r.output;
    }
}

// Stamped logs are warned about as plain ones: a reading that is no number
// is passed over (no 0 W point) and quoted, as are readings that run on and
// negative ones; nan shows no rise; seconds may lack their 0; lines in
// groups at one instant are several GPUs.
TEST(LogWarnings, StampedLogsAsPlainOnes)
{
    const std::string gpu = "energy-totals: case: gpupower1.out: ";
    std::string lines;
    for (int i = 0; i < 20; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "1714557600.%02d, nan\n", i * 5);
        lines += line;
    }
    VerifyStampedWarnings("1714557600, 70\n1714557601, 70\n1714557602, [N/A]\n1714557603, 70\n",
                          gpu + "1 of the 4 readings it should hold is not a number; it is passed "
                                "over (first at line 3: \"1714557602, [N/A]\")\n",
                          210);
    // Whatever stands in the reading's place, bracketed or not, a blank line
    // at the end passing.
    VerifyStampedWarnings("1714557600, 70\n1714557601, N/A\n1714557602, Tesla V100\n1714557603, 70\n\n",
                          gpu + "2 of the 4 readings it should hold are not numbers; each is passed "
                                "over (first at line 2: \"1714557601, N/A\")\n",
                          210);
    // Two GPUs written in turn, each line with its own stamp.
    std::string in_turn;
    for (int i = 0; i < 10; ++i)
        for (int g = 0; g < 2; ++g) {
            char line[48];
            std::snprintf(line, sizeof line, "1714557600.%03d, %d\n", i * 100 + g * 2, 100 + g * 50);
            in_turn += line;
        }
    VerifyStampedWarnings(in_turn, gpu + "its time stamps come in rounds of 2 lines, close together, a "
                                         "longer pause before each round: 2 GPUs written in turn? (read "
                                         "it with --gpu-log)\n" +
                                       gpu + "9 gaps of more than 3 times the typical interval of 0.002 s; "
                                             "the longest, 0.098 s, ends at line 3 (the meter stalled?)\n");
    VerifyStampedWarnings("1714557600, 12W\n1714557601, 30,3\n1714557602, 40, 1500 MHz\n",
                          gpu + "2 readings run on into other characters (as in 12W, 1,5 or 10:00); "
                                "only the number before them counts (first at line 1: "
                                "\"1714557600, 12W\")\n");
    VerifyStampedWarnings("1714557600, 10\n1714557601, -5\n",
                          gpu + "1 reading is negative, the lowest -5: power can't be (a meter "
                                "that writes its sign the other way?) (first at line 2: "
                                "\"1714557601, -5\")\n");
    VerifyStampedWarnings(lines, gpu + "20 readings are nan or infinite, and so is the figure (first "
                                       "at line 1: \"1714557600.00, nan\")\n");
    VerifyStampedWarnings(".4895, 100\n1.4895, 100\n", "", 100);
    VerifyStampedWarnings(repeat("1714557600, 100\n1714557600, 90\n1714557601, 100\n1714557601, 90\n", 1) +
                              "1714557602, 100\n1714557602, 90\n",
                          gpu + "3 lines skipped: no time stamp and comma, or a stamp not later than "
                                "the line before (first at line 2: \"1714557600, 90\")\n" +
                              gpu + "3 lines share their time stamp with the line before, in groups: "
                                    "several GPUs in one log? (read it with --gpu-log)\n");
}

// Memory stays bounded whatever the lines, under an address-space limit
// of 256 MiB: readings of 60 MB are held whole and read as strtod reads
// them; a gigabyte of NUL bytes with no newline (what a crash can leave)
// is a line longer than 64 MiB, which stops the run naming it.
TEST(HostileLogs, BoundedMemoryForAnyLine)
{
    if (!ENERGY_TOTALS_EXE_STATIC)
        GTEST_SKIP() << "a sanitized tool can't run under an address-space limit";
    hostile_case c;
    c.write();
    std::mt19937 rng(3);
    std::string digits(60 << 20, '0');
    for (char& d : digits)
        d = static_cast<char>('0' + rng() % 10);
    digits[30 << 20] = '.';
    std::string field3 = digits + "e-" + std::to_string(30 << 20);
    std::string gpu = "-" + digits;
    c.cpu = "header\na b " + field3 + " c d e 2\n";
    c.gpu = gpu + "W\n100\n";
    write_file(c.dir.file("case.cpu.pwr"), c.cpu);
    write_file(c.dir.file("gpupower1.out"), c.gpu);
    auto limited = [] {
        struct rlimit limit = {256 << 20, 256 << 20};
        setrlimit(RLIMIT_AS, &limit);
    };
    tool_result r = run_tool_with(c.dir.path, {"case", "1", "0"}, limited);
    energy_summary s;
    s.total_energy = 40 * 0.5;
    s.cpu1 = std::strtod(field3.c_str(), nullptr);
    s.cpu2 = 2;
    s.gpu1 = std::strtod(gpu.c_str(), nullptr) * 0.1 + 100 * 0.1;
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.output, console_text(s));
    std::string table = read_file(c.dir.file("results.txt"));
    write_file(c.dir.file("case.total.pwr"), "a b 1\na b 2\n");
    int fd = open(c.dir.file("case.total.pwr").c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(ftruncate(fd, 1LL << 30), 0);
    close(fd);
    // Read in time first, the line stops the pass, and the plain reading
    // names it.
    for (const char* record : {"--label=x", "--record=r.jsonl"}) {
        r = run_tool_with(c.dir.path, {record, "case", "1", "0"}, limited);
        EXPECT_EQ(r.status, 255) << record;
        EXPECT_EQ(r.output, "couldn't read case.total.pwr: line 3 is longer than 64 MiB\n") << record;
    }
    EXPECT_EQ(read_file(c.dir.file("results.txt")), table);
}

TEST(HostileLogs, OnlyNewlines)
{
    hostile_case c;
    c.total = c.cpu = c.gpu = std::string(1 << 20, '\n');
    c.expect_figures();
}

TEST(HostileLogs, RandomBytes)
{
    for (unsigned seed = 1; seed <= 3; ++seed) {
        hostile_case c;
        c.total = random_bytes(1 << 20, seed);
        c.cpu = random_bytes(1 << 20, seed + 10);
        c.gpu = random_bytes(1 << 20, seed + 20);
        c.expect_figures();
    }
}

// Random bytes drawn mostly from what numbers and fields are made of.
TEST(HostileLogs, NumberLikeGarbage)
{
    std::mt19937 rng(7);
    const std::string alphabet = "0123456789.eE+-xXpinfaNt() \t\r\n\v\f";
    hostile_case c;
    for (std::string* log : {&c.total, &c.cpu, &c.gpu})
        for (int i = 0; i < 200000; ++i)
            *log += alphabet[rng() % alphabet.size()];
    c.expect_figures();
}

// Stamps 130 years apart: a typical interval past a third of the clock's
// range, whose threshold for a gap is no number the picture may compute.
TEST(HostileLogs, StampsCenturiesApart)
{
    scratch_dir dir;
    write_file(dir.file("c.total.pwr"), "10:00:00 A 100\n");
    write_file(dir.file("c.cpu.pwr"), "time host a b c d e\n10:00:00 n 1 c d e 2\n");
    write_file(dir.file("gpupower1.out"), "1970-01-01T00:00:01Z, 100\n2100-01-01T00:00:00Z, 120\n"
                                          "2230-01-01T00:00:00Z, 100\n");
    tool_result r = run_tool(dir.path, {"--gpu-time=stamps", "--plot=p.svg", "c", "0", "0"});
    EXPECT_EQ(r.status, 0) << r.errors;
    std::string picture = read_file(dir.file("p.svg"));
    EXPECT_NE(picture.find("</svg>\n"), std::string::npos) << picture;
}

TEST(HostileLogs, LineEndings)
{
    hostile_case c;
    c.total = "a b 40\r\na b 2\r\n";
    c.cpu = "header\r\na b 1 c d e 2\r\n";
    c.gpu = "100 W\r\n\r\n";
    c.expect_figures();
    c.total = "a b 40\na b 2";
    c.cpu = "header";
    c.gpu = "100";
    c.expect_figures();
}

TEST(HostileLogs, Fifo)
{
    hostile_case c;
    c.write();
    // A FIFO is read like a file, from whatever writes into it.
    unlink(c.dir.file("case.total.pwr").c_str());
    ASSERT_EQ(mkfifo(c.dir.file("case.total.pwr").c_str(), 0644), 0);
    std::string fifo = c.dir.file("case.total.pwr");
    std::thread writer([&] {
        int fd = open(fifo.c_str(), O_WRONLY);
        std::string lines;
        for (int i = 0; i < 100000; ++i)
            lines += "a b 40\n";
        EXPECT_EQ(::write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
        close(fd);
    });
    tool_result r = run_tool(c.dir.path, {"case", "1", "0"});
    writer.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.substr(0, r.output.find('\n')), "total energy: 2000000.000000");
}

// Permissions do not bind root, so as root the tool runs as nobody here.
TEST(HostileLogs, Unreadable)
{
    hostile_case c;
    c.write();
    chmod(c.dir.path.c_str(), 0777);
    chmod(c.dir.file("results.txt").c_str(), 0666);
    chmod(c.dir.file("case.cpu.pwr").c_str(), 0200);
    c.expect_failure("couldn't read case.cpu.pwr: Permission denied\n", geteuid() == 0);
}

TEST(HostileLogs, NameLongerThanPathMax)
{
    hostile_case c;
    c.write();
    std::string base;
    while (base.size() <= PATH_MAX)
        base += "d/";
    tool_result r = run_tool(c.dir.path, {base, "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't read " + base + ".total.pwr: File name too long\n");
    EXPECT_EQ(read_file(c.dir.file("results.txt")), "heading\n");
}

// The results table.

TEST(HostileTable, ReadOnlyOrDirectory)
{
    hostile_case c;
    c.write();
    chmod(c.dir.path.c_str(), 0777);
    for (const char* f : {"case.total.pwr", "case.cpu.pwr", "gpupower1.out"})
        chmod(c.dir.file(f).c_str(), 0644);
    chmod(c.dir.file("results.txt").c_str(), 0444);
    c.expect_failure(expected_summary(c.total, c.cpu, c.gpu) + "couldn't write results\n",
                     geteuid() == 0);
    mkdir(c.dir.file("results5.txt").c_str(), 0755);
    tool_result r = run_tool(c.dir.path, {"case", "1", "5"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, expected_summary(c.total, c.cpu, c.gpu) + "couldn't write results\n");
}

// A file system too full for the row, or for the record of its append: the
// table is as it was, a stopped run's part row and record included.
TEST(HostileTable, FileSystemFull)
{
    scratch_dir mount_point;
    if (mount("energy-totals-test", mount_point.path.c_str(), "tmpfs", 0, "size=8k") != 0)
        GTEST_SKIP() << "can't mount a small tmpfs here";
    hostile_case c;
    c.write();
    std::string table = mount_point.file("results.txt");
    std::string heading(8192 - 5, 'h');
    write_file(table, heading); // too large, fits only part
    symlink(table.c_str(), c.dir.file("results9.txt").c_str());
    tool_result r = run_tool(c.dir.path, {"case", "1", "9"});
    std::string after = read_file(table);
    // The table ending in part of a stopped run's row, with its record, the
    // two filling the file system: neither changes.
    std::string part = "heading\n" + plain_row.substr(0, 11);
    write_file(table, part);
    append_record record;
    struct stat st;
    stat(table.c_str(), &st);
    record.inode = st.st_ino;
    record.start = 8;
    record.write_size = plain_row.size();
    std::memcpy(record.bytes, plain_row.data(), record.write_size);
    char text[sizeof record.bytes + 128];
    std::string record_text(text, format_append_record(record, text, sizeof text));
    write_file(table + ".append", record_text);
    tool_result with_part = run_tool(c.dir.path, {"case", "1", "9"});
    std::string after_part = read_file(table);
    std::string record_after = read_file(table + ".append");
    umount(mount_point.path.c_str());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, expected_summary(c.total, c.cpu, c.gpu) + "couldn't write results\n");
    EXPECT_EQ(after, heading);
    EXPECT_EQ(with_part.status, 255);
    EXPECT_EQ(after_part, part);
    EXPECT_EQ(record_after, record_text);
}

// The bundled case (case1, whose logs are stamped) in c's directory.
void write_bundled_case(hostile_case& c)
{
    for (const char* name : {"case1.total.pwr", "case1.cpu.pwr", "gpupower1.out"})
        write_file(c.dir.file(name), read_file(std::string(ENERGY_TOTALS_EXAMPLES) + "/" + name));
}

// Readings kept for --series on a file system that fills: the run stops
// with 255 naming the series, and nothing stands under its name.
TEST(HostileTable, SeriesSpaceFull)
{
    scratch_dir mount_point;
    if (mount("energy-totals-test", mount_point.path.c_str(), "tmpfs", 0, "size=4k") != 0)
        GTEST_SKIP() << "can't mount a small tmpfs here";
    hostile_case c;
    c.write();
    write_bundled_case(c);
    std::string series = mount_point.file("c.csv");
    tool_result r = run_tool(c.dir.path, {"--series=" + series, "case1", "0", "0"});
    bool empty = std::system(("test -z \"$(ls -A '" + mount_point.path + "')\"").c_str()) == 0;
    umount(mount_point.path.c_str());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("couldn't write " + series + "\n"), std::string::npos) << r.output;
    EXPECT_NE(r.errors.find("energy-totals: " + series + ": No space left on device\n"), std::string::npos)
        << r.errors;
    EXPECT_TRUE(empty) << "left on the file system of the series";
}

tool_result run_on_node_local_locks(hostile_case& c, const std::vector<std::string>& operands,
                                    bool as_nobody = false);

// A table in a directory shared with other users (sticky, as scratch
// spaces are): what another user (uid 4242) puts beside it is never acted
// on, written through or taken for a run's own, and the owner's runs go on
// or stop naming it, with nothing of theirs cut or overwritten.
TEST(HostileTable, OtherUsersFilesBesideTheTable)
{
    constexpr unsigned other = 4242;
    hostile_case c;
    std::string rows = "heading\n" + plain_row + plain_row + plain_row;
    c.write();
    write_file(c.dir.file("results7.txt"), rows);
    write_file(c.dir.file("thesis.txt"), "my thesis, written over a year\n");
    write_file(c.dir.file("mine.svg"), "my picture\n");
    chmod(c.dir.path.c_str(), 01777);
    for (const char* f : {"case.total.pwr", "case.cpu.pwr", "gpupower1.out", "results7.txt", "thesis.txt", "mine.svg"})
        if (chown(c.dir.file(f).c_str(), nobody_id, nobody_id) != 0)
            GTEST_SKIP() << "can't give files to other users here (needs root)";
    // A record naming the three rows as its part row, and the
    // thesis's last 16 bytes as its record line.
    std::string table = c.dir.file("results7.txt"), thesis = c.dir.file("thesis.txt");
    struct stat st, thesis_st;
    stat(table.c_str(), &st);
    stat(thesis.c_str(), &thesis_st);
    static append_record r;
    r.inode = st.st_ino;
    r.start = static_cast<long long>(8);
    std::string tail = rows.substr(8) + "x";
    r.write_size = tail.size();
    std::memcpy(r.bytes, tail.data(), tail.size());
    realpath(thesis.c_str(), r.also_path);
    r.also_inode = thesis_st.st_ino;
    r.also_start = thesis_st.st_size - 16;
    r.also_size = 16;
    std::memcpy(r.bytes + r.write_size, read_file(thesis).data() + r.also_start, 16);
    static char text[sizeof r.bytes + 8192];
    std::string planted(text, format_append_record(r, text, sizeof text));
    write_file(table + ".append", planted);
    write_file(table + ".append.new", "");
    (void)chown((table + ".append").c_str(), other, other);
    (void)chown((table + ".append.new").c_str(), other, other);
    for (const char* link : {"c.svg.new", "c.csv.new", "rec.jsonl"}) {
        symlink(c.dir.file("mine.svg").c_str(), c.dir.file(link).c_str());
        (void)lchown(c.dir.file(link).c_str(), other, other);
    }
    tool_result run = run_tool(c.dir.path, {"case", "1", "7"}, true);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(table), rows + plain_row);
    EXPECT_NE(run.errors.find(table + ".append, in the place of its append record, is a file of uid 4242"),
              std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("no append record can be made beside it"), std::string::npos) << run.errors;
    EXPECT_EQ(read_file(table + ".append"), planted);
    write_bundled_case(c);
    tool_result drawn = run_tool(c.dir.path, {"--plot=c.svg", "--series=c.csv", "case1", "0", "7"}, true);
    EXPECT_EQ(drawn.status, 0) << drawn.errors;
    struct stat svg, csv;
    EXPECT_TRUE(lstat(c.dir.file("c.svg").c_str(), &svg) == 0 && S_ISREG(svg.st_mode) && svg.st_uid == nobody_id);
    EXPECT_TRUE(lstat(c.dir.file("c.csv").c_str(), &csv) == 0 && S_ISREG(csv.st_mode) && csv.st_uid == nobody_id);
    tool_result recorded = run_tool(c.dir.path, {"--record=rec.jsonl", "case", "1", "7"}, true);
    EXPECT_EQ(recorded.status, 255);
    EXPECT_NE(recorded.output.find("couldn't write rec.jsonl\n"), std::string::npos) << recorded.output;
    EXPECT_EQ(recorded.errors, "energy-totals: rec.jsonl: a symbolic link of another user's (uid 4242); not followed\n");
    EXPECT_EQ(read_file(table), rows + plain_row);
    EXPECT_EQ(read_file(thesis), "my thesis, written over a year\n");
    EXPECT_EQ(read_file(c.dir.file("mine.svg")), "my picture\n");
    // Where locks are each node's own: another user's file in the lock
    // file's place, naming a dead run, is no lock of a run's to break.
    write_file(table + ".lock", "node9 999999 fedcba9876543210 - 0 0\n");
    (void)chown((table + ".lock").c_str(), other, other);
    tool_result locked = run_on_node_local_locks(c, {"case", "1", "7"}, true);
    if (locked.status != 123) {
        EXPECT_EQ(locked.status, 255);
        EXPECT_NE(locked.errors.find("(a file of a user who may not write the table): remove it"), std::string::npos)
            << locked.errors;
        EXPECT_TRUE(file_exists(table + ".lock"));
        EXPECT_EQ(read_file(table), rows + plain_row);
    }
}

// Runs that append while the table is replaced now and then: every row
// lands whole, in one table or another, and each run's status says so.
TEST(HostileTable, ReplacedWhileRunsAppend)
{
    hostile_case c;
    c.write("");
    const std::string& row = plain_row;

    constexpr int runs = 48;
    std::vector<int> children;
    for (int i = 0; i < runs; ++i) {
        children.push_back(start_tool(c.dir.path, {"case", "1", "0"}));
        if (i % 8 == 7) {
            // Move the table aside and put an empty one in its place.
            std::string aside = c.dir.file("old" + std::to_string(i) + ".txt");
            ASSERT_EQ(link(c.dir.file("results.txt").c_str(), aside.c_str()), 0);
            write_file(c.dir.file("fresh.txt"), "");
            ASSERT_EQ(rename(c.dir.file("fresh.txt").c_str(), c.dir.file("results.txt").c_str()), 0);
        }
    }
    int succeeded = 0;
    for (int pid : children)
        succeeded += wait_tool(pid) == 0;
    EXPECT_EQ(succeeded, runs);
    int rows = 0;
    for (int i = 7; i < runs; i += 8) {
        std::string old = read_file(c.dir.file("old" + std::to_string(i) + ".txt"));
        for (size_t at = 0; at < old.size(); at += row.size(), ++rows)
            ASSERT_EQ(old.compare(at, row.size(), row), 0) << "a broken row in old" << i;
    }
    std::string now = read_file(c.dir.file("results.txt"));
    for (size_t at = 0; at < now.size(); at += row.size(), ++rows)
        ASSERT_EQ(now.compare(at, row.size(), row), 0) << "a broken row in results.txt";
    EXPECT_EQ(rows, runs);
}

// Whatever the file system, the limits and the signals: status 0 and one
// whole row more, or status 255 and the table as it was.
TEST(HostileTable, StatusSaysWhetherTheRowIsIn)
{
    hostile_case c;
    // A file system whose locks do not work: no row without the lock.
    for (int err : {ENOLCK, EOPNOTSUPP, ENOSYS})
        c.expect_row_or_not([err] { fail_syscall(SYS_fcntl, err, {F_SETLK, F_SETLKW}); }, false,
                            std::strerror(err));
    // A file size limit reached part way through the row.
    c.expect_row_or_not([] {
        struct rlimit limit = {12, 12};
        setrlimit(RLIMIT_FSIZE, &limit);
    }, false, std::strerror(EFBIG));
    // A reader of the summary that went away.
    c.expect_row_or_not([] {
        int p[2];
        if (pipe(p) == 0 && close(p[0]) == 0)
            dup2(p[1], 1);
    }, true);
    // A close that fails once the row is synced. Every close fails, which a
    // dynamic loader does not survive, so only a static tool is tried.
    if (ENERGY_TOTALS_EXE_STATIC)
        c.expect_row_or_not([] { fail_syscall(SYS_close, EIO); }, true);
    // Standard descriptors closed: the summary does not end up in the table.
    c.expect_row_or_not([] {
        close(0);
        close(1);
        close(2);
    }, true);
    // Nothing can be synced (a journal that aborted): the append record is
    // not, so the table is not touched.
    c.expect_row_or_not([] { fail_syscall(SYS_fsync, EIO); }, false, std::strerror(EIO));
}

// Standard error closed, and no /dev/null to put in its place (an empty
// /dev in a container): the table is not opened as descriptor 2, so the
// notice that a newline was put before the row does not land in it.
TEST(HostileTable, NoStandardErrorAndNoDevNull)
{
    hostile_case c;
    c.write("heading");
    tool_result r = run_tool_with(c.dir.path, {"case", "1", "0"}, [] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("energy-totals-test", "/dev", "tmpfs", 0, nullptr) != 0)
            _exit(123);
        close(2);
    });
    if (r.status == 123)
        GTEST_SKIP() << "can't put an empty /dev in place here (needs root)";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(c.dir.file("results.txt")), "heading\n" + plain_row);
}

// An append-only table (chattr +a, which refuses to cut a row back) at a
// file size limit the row would cross: nothing of the row is written.
TEST(HostileTable, AppendOnlyTableAtSizeLimit)
{
    hostile_case c;
    c.write();
    scratch_dir mount_point;
    std::string image = c.dir.file("ext4.img");
    std::string table = mount_point.file("results.txt");
    std::string setup = "truncate -s 8M '" + image + "' && mkfs.ext4 -q -F '" + image +
                        "' 2>/dev/null && mount -o loop '" + image + "' '" + mount_point.path +
                        "' 2>/dev/null";
    if (std::system(setup.c_str()) != 0)
        GTEST_SKIP() << "can't mount an ext4 image here (needs root, a loop device, e2fsprogs)";
    write_file(table, "heading\n");
    symlink(table.c_str(), c.dir.file("results9.txt").c_str());
    bool append_only = std::system(("chattr +a '" + table + "'").c_str()) == 0;
    tool_result r;
    if (append_only)
        r = run_tool_with(c.dir.path, {"case", "1", "9"}, [] {
            struct rlimit limit = {12, 12};
            setrlimit(RLIMIT_FSIZE, &limit);
        });
    std::string after = read_file(table);
    std::system(("chattr -a '" + table + "'; umount '" + mount_point.path + "'").c_str());
    if (!append_only)
        GTEST_SKIP() << "chattr +a failed";
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.errors, "energy-totals: results9.txt: File too large\n");
    EXPECT_EQ(after, "heading\n");
}

// A table that is a FIFO: with nobody reading it, a failure; with a reader
// that stopped reading, a stop signal still ends the run, which has written
// nothing, since a pipe takes a short row whole or not at all; once the
// reader drains the pipe, a run appends its row.
TEST(HostileTable, FifoTable)
{
    hostile_case c;
    c.write();
    std::string fifo = c.dir.file("results4.txt");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    tool_result r = run_tool(c.dir.path, {"case", "1", "4"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, expected_summary(c.total, c.cpu, c.gpu) + "couldn't write results\n");
    EXPECT_EQ(r.errors, "energy-totals: results4.txt: No such device or address\n");

    // A full pipe holds the tool in its write.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GE(filler, 0);
    size_t filled = 0;
    while (::write(filler, "x", 1) == 1)
        ++filled;
    close(filler);
    std::string writing = std::to_string(SYS_write) + " ";
    auto drain = [&](size_t at_least) {
        std::string drained;
        char buf[4096];
        ssize_t n;
        for (int idle = 0; idle < 200 && (drained.size() < at_least || idle < 20);) {
            if ((n = read(reader, buf, sizeof buf)) > 0) {
                drained.append(buf, static_cast<size_t>(n));
                idle = 0;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ++idle;
            }
        }
        return drained;
    };
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        int pid = start_tool(c.dir.path, {"case", "1", "4"});
        std::string syscall_file = "/proc/" + std::to_string(pid) + "/syscall";
        for (int i = 0; i < 1000 && read_file(syscall_file).compare(0, writing.size(), writing) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(read_file(syscall_file).compare(0, writing.size(), writing), 0);
        kill(pid, sig);
        EXPECT_EQ(wait_tool(pid), -1) << "signal " << sig;
    }
    EXPECT_EQ(drain(filled), std::string(filled, 'x'));
    int pid = start_tool(c.dir.path, {"case", "1", "4"});
    std::string drained = drain(plain_row.size());
    close(reader);
    EXPECT_EQ(wait_tool(pid), 0);
    EXPECT_EQ(drained, plain_row);
}

// A run kept waiting for the lock says so, once, and then appends.
TEST(HostileTable, LockWaitIsAnnounced)
{
    hostile_case c;
    c.write();
    int fd = open(c.dir.file("results.txt").c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
    std::thread holder([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(4500));
        close(fd);
    });
    // The lock belongs to this process, so the tool must run as another.
    tool_result r = run_tool(c.dir.path, {"case", "1", "0"});
    holder.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "energy-totals: results.txt: waiting for the lock, held by another run\n");
    EXPECT_EQ(read_file(c.dir.file("results.txt")),
              "heading\n" + plain_row);
}

// Runs the tool in c's directory as if that directory's file system kept
// its locks within each node (NFS mounted nolock), by a mountinfo of its
// own; 123 where that can't be set up (it needs root).
tool_result run_on_node_local_locks(hostile_case& c, const std::vector<std::string>& operands,
                                    bool as_nobody)
{
    struct stat st;
    stat(c.dir.path.c_str(), &st);
    std::string fake = c.dir.file("mountinfo");
    write_file(fake, "1 0 " + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)) +
                         " / / rw - nfs server:/export rw,vers=3,nolock\n");
    return run_tool_with(c.dir.path, operands, [fake, as_nobody] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(fake.c_str(), "/proc/self/mountinfo", nullptr, MS_BIND, nullptr) != 0)
            _exit(123);
        if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(nobody_id) != 0 || setuid(nobody_id) != 0))
            _exit(124);
    });
}

// Where the table's locks are each node's own, the lock file every node
// sees is taken and leaves nothing behind; one whose holder's PID now names
// another process is broken at once; something in its place that no run
// made is an error, with the table as it was.
TEST(HostileTable, LockFileWhereLocksAreNodeLocal)
{
    hostile_case c;
    c.write();
    tool_result r = run_on_node_local_locks(c, {"case", "1", "0"});
    if (r.status == 123)
        GTEST_SKIP() << "can't give the tool a mountinfo of its own here (needs root)";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(read_file(c.dir.file("results.txt")), "heading\n" + plain_row);
    EXPECT_EQ(std::system(("ls '" + c.dir.path + "' | grep -q lock").c_str()) == 0, false);

    // This process's PID, with a start time that is not its own.
    lock_holder reused = this_run_holder();
    reused.start += 1;
    char content[512];
    format_holder(reused, content, sizeof content);
    write_file(c.dir.file("results.txt.lock"), content);
    r = run_on_node_local_locks(c, {"case", "1", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(read_file(c.dir.file("results.txt")), "heading\n" + plain_row + plain_row);
    EXPECT_FALSE(file_exists(c.dir.file("results.txt.lock")));

    ASSERT_EQ(mkdir(c.dir.file("results.txt.lock").c_str(), 0755), 0);
    r = run_on_node_local_locks(c, {"case", "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.errors.find(c.dir.file("results.txt.lock") + " is in the lock file's place"), std::string::npos)
        << r.errors;
    EXPECT_EQ(read_file(c.dir.file("results.txt")), "heading\n" + plain_row + plain_row);

    // A table reached by two hard links would have two lock files.
    rmdir(c.dir.file("results.txt.lock").c_str());
    ASSERT_EQ(link(c.dir.file("results.txt").c_str(), c.dir.file("results2.txt").c_str()), 0);
    r = run_on_node_local_locks(c, {"case", "1", "2"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.errors.find("link it with ln -s instead"), std::string::npos) << r.errors;
    EXPECT_EQ(read_file(c.dir.file("results.txt")), "heading\n" + plain_row + plain_row);
}

// A table shared by a group: a member's run that died holding the lock
// file (here, one that took it and exited) leaves it breakable by another
// member, whose kernel allows a link of another user's file only to those
// who may write it.
TEST(HostileTable, LockFileSharedByAGroup)
{
    hostile_case c;
    c.write();
    chmod(c.dir.path.c_str(), 0777);
    for (const char* f : {"case.total.pwr", "case.cpu.pwr", "gpupower1.out"})
        chmod(c.dir.file(f).c_str(), 0644);
    std::string table = c.dir.file("results.txt");
    if (chown(table.c_str(), 0, nobody_id) != 0 || chmod(table.c_str(), 0664) != 0)
        GTEST_SKIP() << "can't give the table to a group here (needs root)";
    pid_t pid = fork();
    if (pid == 0) {
        lock_file lock;
        _exit(take_lock_file(table.c_str(), lock, stderr, {0664, static_cast<long>(nobody_id)}));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st;
    ASSERT_EQ(stat((table + ".lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, nobody_id);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
    tool_result r = run_on_node_local_locks(c, {"case", "1", "0"}, true);
    if (r.status == 123)
        GTEST_SKIP() << "can't give the tool a mountinfo of its own here (needs root)";
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(read_file(table), "heading\n" + plain_row);
    EXPECT_FALSE(file_exists(table + ".lock"));
}

} // namespace
