// The built tool, run in a scratch directory: statuses, messages, summary
// and the appended row.
#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/energy_summary.h"
#include "cli/command_line.h"
#include "test_util.h"

namespace {

const std::string usage = "usage: filename case# write id\n";

// A case whose figures are exact in binary, so they can be written out here:
// total 0.5 * (100 + 101.5) = 100.75; CPU1 10.5 + 11 = 21.5; CPU2 20.25 + 2 =
// 22.25; GPU1 0.1 * 150 + 0.1 * 250, the sum of two rounded products.
void write_case(const scratch_dir& dir, const std::string& base = "case7")
{
    write_file(dir.file(base + ".total.pwr"), "10:00:00 A 100\n10:00:01 A 101.5\n");
    write_file(dir.file(base + ".cpu.pwr"),
               "time pkg cpu1 b c d cpu2\n"
               "10:00:00 pkg 10.5 b c d 20.25\n"
               "10:00:01 pkg 11 b c d 2\n");
    write_file(dir.file("gpupower1.out"), "150 W\n250 W\n");
}

// The tool on case7 with options, writing no row.
tool_result run_case7(const scratch_dir& dir, std::vector<std::string> options)
{
    for (const char* w : {"case7", "0", "0"})
        options.push_back(w);
    return run_tool(dir.path, options);
}

const std::string case_summary = "total energy: 100.750000\nCPU1: 21.500000\nCPU2: 22.250000\n"
                                 "total CPU: 43.750000\nGPU1: 40.000000\nGPU2: 0.000000\n"
                                 "GPU3: 0.000000\nGPU4: 0.000000\ntotal GPU: 40.000000\n";
const std::string case_row = "100.75\t\t21.5\t\t22.25\t\t43.75\t\t\t40\t\t0\t\t0\t\t0\t\t40\n";

void ExpectRun(const tool_result& r, int status, const std::string& output)
{
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.output, output);
    EXPECT_EQ(r.errors, "");
}

// A usage error: the usage line on standard output, the reason on standard
// error, status 255, and nothing read or written.
void VerifyUsageError(const scratch_dir& dir, const std::vector<std::string>& words,
                      const std::string& reason)
{
    tool_result r = run_tool(dir.path, words);
    std::string shown;
    for (const std::string& w : words)
        shown += " [" + w + "]";
    EXPECT_EQ(r.status, 255) << shown;
    EXPECT_EQ(r.output, usage) << shown;
    EXPECT_EQ(r.errors, "energy-totals: " + reason + "\n") << shown;
}

TEST(Cli, CommandLine)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("results.txt"), "");
    const std::string count = "expects BASE WRITE ID; see --help";
    const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
        {{}, count},
        {{"case7"}, count},
        {{"case7", "1"}, count},
        {{"case7", "1", "0", "x"}, count},
        {{"case7", "1", "0", "x", "y"}, count},
        {{"--label=a", "case7"}, count},
        {{"--label=a", "--", "--", "case7", "1", "0"}, count},
        {{"--frob=1", "case7", "1", "0"}, "--frob: unknown option; see --help"},
        {{"--label", "case7", "1", "0"}, "--label: needs a value, as in --label=VALUE"},
        {{"--label=", "case7", "1", "0"}, "--label: the label must not be empty"},
        {{"--label=a\tb", "case7", "1", "0"},
         "--label: the label must hold no tab, carriage return or newline"},
        {{"--label=" + std::string(1025, 'a'), "case7", "1", "0"},
         "--label: the label is longer than 1024 bytes"},
        {{"--help", "1"}, "--help: goes alone"},
        {{"--version", "1", "0", "x"}, "--version: goes alone"},
        {{"--gpus=0", "case7", "1", "0"}, "--gpus: takes a whole number from 1 to 8"},
        {{"--gpus=9", "case7", "1", "0"}, "--gpus: takes a whole number from 1 to 8"},
        {{"--gpus=2x", "case7", "1", "0"}, "--gpus: takes a whole number from 1 to 8"},
        {{"--total-period=0", "case7", "1", "0"}, "--total-period: takes a positive number of seconds, as in 0.5"},
        {{"--total-period=-1", "case7", "1", "0"}, "--total-period: takes a positive number of seconds, as in 0.5"},
        {{"--gpu-period=inf", "case7", "1", "0"}, "--gpu-period: takes a positive number of seconds, as in 0.5"},
        {{"--gpu-period=0.1s", "case7", "1", "0"}, "--gpu-period: takes a positive number of seconds, as in 0.5"},
        {{"--gpu-period=", "case7", "1", "0"}, "--gpu-period: takes a positive number of seconds, as in 0.5"},
        {{"--gpu-time=stamp", "case7", "1", "0"}, "--gpu-time: takes period or stamps"},
        {{"--gpus=2", "--gpus=3", "case7", "1", "0"}, "--gpus: given twice"},
        {{"case7", "1", "0", "--label=case7"}, "options go before BASE WRITE ID; see --help"},
        {{"--once", "case7", "1", "0"}, "--once: needs --label, the row's name to look for"},
        {{"--once=1", "--label=a", "case7", "1", "0"}, "--once: takes no value"},
        {{"--check=results.txt", "x"}, "--check: goes alone, or with --cases=LIST or --record=FILE"},
        {{"--cases=list", "case7", "1", "0"}, "--cases: goes alone, as in --check=TABLE --cases=LIST"},
    };
    for (const auto& [words, reason] : errors)
        VerifyUsageError(dir, words, reason);
    EXPECT_EQ(read_file(dir.file("results.txt")), "");

    // Three operands are always the operands, whatever they look like.
    write_case(dir, "--label=x");
    ExpectRun(run_tool(dir.path, {"--label=x", "1", "0"}), 0, case_summary);
    EXPECT_EQ(read_file(dir.file("results.txt")), case_row);
    // A label ends the row; "--" ends the options.
    std::string labelled = case_row.substr(0, case_row.size() - 1) + "\t\tcase 7\n";
    ExpectRun(run_tool(dir.path, {"--label=case 7", "--", "case7", "1", "0"}), 0, case_summary);
    ExpectRun(run_tool(dir.path, {"--label=case 7", "case7", "1", "0"}), 0, case_summary);
    EXPECT_EQ(read_file(dir.file("results.txt")), case_row + labelled + labelled);
}

// The summary of write_case's logs at other weights, and with more GPUs.
std::string case_summary_at(double total_period, double gpu_period, double gpu2 = 0,
                            double gpu3 = 0, double gpu4 = 0)
{
    energy_summary s;
    s.total_energy = 101.5 * total_period + 100 * total_period;
    s.cpu1 = 21.5;
    s.cpu2 = 22.25;
    s.gpu1 = 250 * gpu_period + 150 * gpu_period;
    s.gpu2 = gpu2;
    s.gpu3 = gpu3;
    s.gpu4 = gpu4;
    return console_text(s);
}

TEST(Cli, GpuLogsAndPeriods)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("results.txt"), "");
    write_file(dir.file("gpupower2.out"), "10 W\n");
    write_file(dir.file("gpupower4.out"), "30 W\n");
    // Without the option, gpupower2.out is not read.
    ExpectRun(run_tool(dir.path, {"--gpus=1", "case7", "0", "0"}), 0, case_summary);
    // A GPU log missing fails the run as any log does.
    tool_result r = run_tool(dir.path, {"--gpus=3", "case7", "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't read gpupower3.out: No such file or directory\n");
    EXPECT_EQ(r.errors, "energy-totals: case7: gpupower3.out is read from the current directory, " +
                            dir.path + "\n");
    EXPECT_EQ(read_file(dir.file("results.txt")), "");
    // Four GPUs, and their sum in order.
    write_file(dir.file("gpupower3.out"), "20 W\n");
    ExpectRun(run_tool(dir.path, {"--gpus=4", "case7", "0", "0"}), 0,
              case_summary_at(0.5, 0.1, 10 * 0.1, 20 * 0.1, 30 * 0.1));
    // Other periods weigh the readings.
    ExpectRun(run_tool(dir.path, {"--total-period=1", "--gpu-period=0.2", "case7", "0", "0"}), 0,
              case_summary_at(1, 0.2));
    ExpectRun(run_tool(dir.path, {"--total-period=0x1p-1", "case7", "0", "0"}), 0, case_summary);
    // A plain log read by stamps gives no reading: refused, not 0 J, and
    // the table as it was.
    r = run_tool(dir.path, {"--gpu-time=stamps", "case7", "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't read gpupower1.out: it does not fit --gpu-time=stamps\n");
    EXPECT_NE(r.errors.find("no line of it is a time stamp and a reading; its first line is \""), std::string::npos)
        << r.errors;
    EXPECT_EQ(read_file(dir.file("results.txt")), "");
}

// Eight GPUs, time-stamped: each GPU's trapezoids over its own stamps, the
// summary's GPU5 to GPU8 after GPU4, the row's figures after GPU4's, and a
// heading in the same pattern.
TEST(Cli, EightGpus)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("results.txt"), "");
    double gpu[8];
    for (int k = 1; k <= 8; ++k) {
        // Two readings, k / 4 s apart: ((p0 + p1) * dt) * 0.5.
        double p0 = 100 + k, p1 = 200 + k, dt = k * 0.25;
        char log[128];
        std::snprintf(log, sizeof log, "1714557600.0, %g\n%.2f, %g\n", p0, 1714557600.0 + dt, p1);
        write_file(dir.file("gpupower" + std::to_string(k) + ".out"), log);
        gpu[k - 1] = ((p0 + p1) * dt) * 0.5;
    }
    tool_result r = run_tool(dir.path, {"--gpus=8", "--gpu-time=stamps", "--label=c", "case7", "1", "0"});
    double total = ((gpu[0] + gpu[1]) + gpu[2]) + gpu[3];
    char expected[1024], row[512];
    std::snprintf(expected, sizeof expected,
                  "total energy: 100.750000\nCPU1: 21.500000\nCPU2: 22.250000\ntotal CPU: 43.750000\n"
                  "GPU1: %f\nGPU2: %f\nGPU3: %f\nGPU4: %f\nGPU5: %f\nGPU6: %f\nGPU7: %f\nGPU8: %f\n"
                  "total GPU: %f\n",
                  gpu[0], gpu[1], gpu[2], gpu[3], gpu[4], gpu[5], gpu[6], gpu[7],
                  (((total + gpu[4]) + gpu[5]) + gpu[6]) + gpu[7]);
    std::snprintf(row, sizeof row, "100.75\t\t21.5\t\t22.25\t\t43.75\t\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g\t\tc\n",
                  gpu[0], gpu[1], gpu[2], gpu[3], gpu[4], gpu[5], gpu[6], gpu[7],
                  (((total + gpu[4]) + gpu[5]) + gpu[6]) + gpu[7]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, expected);
    EXPECT_EQ(read_file(dir.file("results.txt")), row);
    r = run_tool(dir.path, {"--gpus=8", "--heading"});
    EXPECT_EQ(r.output, "total\t\tCPU1\t\tCPU2\t\ttotal CPU\t\t\tGPU1\t\tGPU2\t\tGPU3\t\tGPU4\t\tGPU5\t\t"
                        "GPU6\t\tGPU7\t\tGPU8\t\ttotal GPU\t\tcase\n");
    // The next run's append knows such a row for a whole one.
    EXPECT_EQ(run_tool(dir.path, {"--check=results.txt"}).status, 0);
}

TEST(Cli, SummaryAndRow)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("results7.txt"), "total\tcpu\n");
    ExpectRun(run_tool(dir.path, {"case7", "1", "7"}), 0, case_summary);
    EXPECT_EQ(read_file(dir.file("results7.txt")), "total\tcpu\n" + case_row);
    ExpectRun(run_tool(dir.path, {"case7", "1", "7"}), 0, case_summary);
    EXPECT_EQ(read_file(dir.file("results7.txt")), "total\tcpu\n" + case_row + case_row);
}

TEST(Cli, WriteSwitch)
{
    scratch_dir dir;
    write_case(dir);
    // A switch that is not a plain whole number is read as before, and
    // said on standard error.
    auto slip = [](const std::string& text, int value) {
        return "energy-totals: WRITE \"" + text + "\" is not a whole number; it reads as " +
               std::to_string(value) + "\n";
    };
    for (const char* yes : {"1", "01", "+1", "1x", "1.9", "  1"}) {
        write_file(dir.file("results.txt"), "");
        tool_result r = run_tool(dir.path, {"case7", yes, "0"});
        ExpectRun({r.status, r.output, ""}, 0, case_summary);
        EXPECT_EQ(r.errors, is_plain_integer(yes) ? "" : slip(yes, 1)) << "write switch " << yes;
        EXPECT_EQ(read_file(dir.file("results.txt")), case_row) << "write switch " << yes;
    }
    for (const char* no : {"0", "2", "-1", "x1", "", "yes", "4294967297"}) {
        write_file(dir.file("results.txt"), "");
        tool_result r = run_tool(dir.path, {"case7", no, "0"});
        ExpectRun({r.status, r.output, ""}, 0, case_summary);
        EXPECT_EQ(r.errors, is_plain_integer(no) ? "" : slip(no, 0)) << "write switch " << no;
        EXPECT_EQ(read_file(dir.file("results.txt")), "") << "write switch " << no;
    }
    // An option after the operands is read as an ID, as before, and said.
    write_file(dir.file("results.txt"), "");
    tool_result r = run_tool(dir.path, {"case7", "1", "--label=case7"});
    EXPECT_EQ(r.errors, "energy-totals: ID \"--label=case7\" is not a whole number; it reads as 0 "
                        "(options go before BASE WRITE ID)\n");
    EXPECT_EQ(read_file(dir.file("results.txt")), case_row);
}

TEST(Cli, ResultsIdPicksTable)
{
    scratch_dir dir;
    write_case(dir);
    const std::vector<std::pair<std::string, std::string>> picks = {
        {"0", "results.txt"},       {"-5", "results.txt"}, {"x", "results.txt"},
        {"1", "results1.txt"},      {"012", "results12.txt"},
        {"4294967297", "results2147483647.txt"}};
    for (const auto& [id, table] : picks) {
        write_file(dir.file(table), "");
        tool_result r = run_tool(dir.path, {"case7", "1", id});
        ExpectRun({r.status, r.output, ""}, 0, case_summary);
        EXPECT_EQ(read_file(dir.file(table)), case_row) << "results id " << id;
        unlink(dir.file(table).c_str());
    }
}

TEST(Cli, MissingTableIsNotCreated)
{
    scratch_dir dir;
    write_case(dir);
    tool_result r = run_tool(dir.path, {"case7", "1", "3"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, case_summary + "couldn't write results\n");
    EXPECT_EQ(r.errors, "energy-totals: results3.txt: No such file or directory\n"
                        "energy-totals: results3.txt: looked for in " + dir.path +
                        "; make one there with: energy-totals --heading > results3.txt\n");
    EXPECT_FALSE(file_exists(dir.file("results3.txt")));
    // The heading it suggests fits the run's rows.
    r = run_tool(dir.path, {"--cpus=3", "case7", "1", "3"});
    EXPECT_NE(r.errors.find("make one there with: energy-totals --cpus=3 --heading > results3.txt\n"),
              std::string::npos) << r.errors;
    // Without the write switch no table is wanted.
    ExpectRun(run_tool(dir.path, {"case7", "0", "3"}), 0, case_summary);
    EXPECT_FALSE(file_exists(dir.file("results3.txt")));
}

TEST(Cli, TableOnFullDevice)
{
    scratch_dir dir;
    write_case(dir);
    ASSERT_EQ(symlink("/dev/full", dir.file("results.txt").c_str()), 0);
    tool_result r = run_tool(dir.path, {"case7", "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, case_summary + "couldn't write results\n");
    EXPECT_EQ(r.errors, "energy-totals: results.txt: No space left on device\n");
}

TEST(Cli, UnreadableLogEndsTheRun)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("results.txt"), "heading\n");
    const std::string missing = ": No such file or directory\n";

    unlink(dir.file("case7.total.pwr").c_str());
    ExpectRun(run_tool(dir.path, {"case7", "1", "0"}), 255, "couldn't read case7.total.pwr" + missing);
    write_case(dir);
    unlink(dir.file("case7.cpu.pwr").c_str());
    ExpectRun(run_tool(dir.path, {"case7", "1", "0"}), 255, "couldn't read case7.cpu.pwr" + missing);
    write_case(dir);
    unlink(dir.file("gpupower1.out").c_str());
    tool_result r = run_tool(dir.path, {"case7", "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't read gpupower1.out" + missing);
    EXPECT_EQ(r.errors, "energy-totals: case7: gpupower1.out is read from the current directory, " +
                            dir.path + "\n");
    write_case(dir);
    unlink(dir.file("case7.total.pwr").c_str());
    mkdir(dir.file("case7.total.pwr").c_str(), 0755);
    ExpectRun(run_tool(dir.path, {"case7", "1", "0"}), 255,
              "couldn't read case7.total.pwr: Is a directory\n");
    EXPECT_EQ(read_file(dir.file("results.txt")), "heading\n");
}

TEST(Cli, BaseNameIsAPath)
{
    scratch_dir dir;
    write_case(dir);
    mkdir(dir.file("data").c_str(), 0755);
    write_file(dir.file("data/run3.total.pwr"), "a b 8\n");
    write_file(dir.file("data/run3.cpu.pwr"), "header\na b 1 c d e 2\n");
    write_file(dir.file("results.txt"), "");
    tool_result r = run_tool(dir.path, {"data/run3", "1", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.substr(0, r.output.find('\n')), "total energy: 4.000000");
    EXPECT_EQ(read_file(dir.file("results.txt")), "4\t\t1\t\t2\t\t3\t\t\t40\t\t0\t\t0\t\t0\t\t40\n");

    // An empty base name reads ".total.pwr" and ".cpu.pwr".
    write_case(dir, "");
    ExpectRun(run_tool(dir.path, {"", "0", "0"}), 0, case_summary);
    // An absolute one; the GPU log is still looked for in the current
    // directory.
    r = run_tool("/", {dir.file("case7"), "0", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't read gpupower1.out: No such file or directory\n");
}

// No fixed-size name buffer: a base name far past 512 bytes still works.
TEST(Cli, LongBaseName)
{
    scratch_dir dir;
    write_case(dir);
    std::string base;
    for (int i = 0; i < 5; ++i) {
        base += std::string(200, 'd' + static_cast<char>(i));
        mkdir(dir.file(base).c_str(), 0755);
        base += "/";
    }
    base += std::string(200, 'c');
    write_case(dir, base);
    ExpectRun(run_tool(dir.path, {base, "0", "0"}), 0, case_summary);
}

// Parallel runs of a sweep append to one table: every row arrives whole,
// half of them reaching the table through a symbolic link from a case
// directory of their own, as a sweep with one directory per case does.
TEST(Cli, ParallelRunsKeepEveryRow)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("results.txt"), "heading\n");
    std::string case_dir = dir.file("case 2");
    ASSERT_EQ(mkdir(case_dir.c_str(), 0755), 0);
    for (const char* log : {"case7.total.pwr", "case7.cpu.pwr", "gpupower1.out"})
        write_file(case_dir + "/" + log, read_file(dir.file(log)));
    ASSERT_EQ(symlink("../results.txt", (case_dir + "/results.txt").c_str()), 0);
    constexpr int runs = 64;
    std::vector<int> children;
    for (int i = 0; i < runs; ++i)
        children.push_back(start_tool(i % 2 ? case_dir : dir.path, {"case7", "1", "0"}));
    for (int pid : children)
        EXPECT_EQ(wait_tool(pid), 0);
    std::string expected = "heading\n";
    for (int i = 0; i < runs; ++i)
        expected += case_row;
    EXPECT_EQ(read_file(dir.file("results.txt")), expected);
    // On a local disk the lock is the file's own: nothing is left beside it.
    DIR* d = opendir(dir.path.c_str());
    ASSERT_NE(d, nullptr);
    for (struct dirent* e; (e = readdir(d)) != nullptr;)
        EXPECT_NE(std::string(e->d_name).rfind("results.txt.", 0), 0u) << e->d_name;
    closedir(d);
}

// Logs large enough to be read on several threads give the same figures,
// shapes and row whether the run may use one CPU or two.
// One nvidia-smi log of every GPU: split by its id column, each GPU over
// its own stamps, GPU k the k-th index; UUIDs in the order they appear,
// said; a log without a header read by the columns named.
TEST(Cli, OneLogOfEveryGpu)
{
    scratch_dir dir;
    write_case(dir);
    const char* uuids[3] = {"GPU-c", "GPU-a", "GPU-b"};
    std::string by_index = "timestamp, index, power.draw [W]\n", by_uuid;
    double gpu[3] = {0, 0, 0}, last[3] = {0, 0, 0};
    for (int i = 0; i < 10; ++i)
        for (int g : {2, 0, 1}) {
            double power = 10 + g * 5 + i % 7, t = 1714557600 + i * 0.1 + g * 0.01;
            char line[128];
            std::snprintf(line, sizeof line, "%.2f, %d, %.2f W\n", t, g, power);
            by_index += line;
            std::snprintf(line, sizeof line, "%.2f, %s, %.2f\n", t, uuids[g], power);
            by_uuid += line;
            if (i > 0)
                gpu[g] = (((last[g] + power) * 0.1) * 0.5) + gpu[g];
            last[g] = power;
        }
    write_file(dir.file("all.csv"), by_index);
    write_file(dir.file("uuid.csv"), by_uuid);
    auto summary = [&](double g1, double g2, double g3, double g4) {
        char text[512];
        std::snprintf(text, sizeof text,
                      "total energy: 100.750000\nCPU1: 21.500000\nCPU2: 22.250000\ntotal CPU: 43.750000\n"
                      "GPU1: %f\nGPU2: %f\nGPU3: %f\nGPU4: %f\ntotal GPU: %f\n",
                      g1, g2, g3, g4, ((g1 + g2) + g3) + g4);
        return std::string(text);
    };
    tool_result r = run_tool(dir.path, {"--gpus=3", "--gpu-log=all.csv", "case7", "0", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, summary(gpu[0], gpu[1], gpu[2], 0));
    EXPECT_EQ(r.errors, "");
    // Lines longer than the buffer read as they would short: a long field
    // after the three, and a reading written to 70,000 digits.
    std::string long_lines = by_index;
    size_t at = long_lines.find("\n", long_lines.find(", 0, ", 100));
    long_lines.insert(at, ", " + std::string(70000, 'x'));
    at = long_lines.find(" W\n", long_lines.find(", 1, ", 200));
    long_lines.insert(at, std::string(70000, '0'));
    write_file(dir.file("long.csv"), long_lines);
    r = run_tool(dir.path, {"--gpus=3", "--gpu-log=long.csv", "case7", "0", "0"});
    EXPECT_EQ(r.output, summary(gpu[0], gpu[1], gpu[2], 0));
    EXPECT_EQ(r.errors, "");
    // One GPU fewer than asked for.
    r = run_tool(dir.path, {"--gpus=4", "--gpu-log=all.csv", "case7", "0", "0"});
    EXPECT_EQ(r.output, summary(gpu[0], gpu[1], gpu[2], 0));
    EXPECT_EQ(r.errors, "energy-totals: case7: all.csv: holds 3 GPUs, but --gpus=4: the GPUs it lacks are 0\n");
    r = run_tool(dir.path, {"--gpus=3", "--gpu-log=uuid.csv", "--gpu-columns=timestamp,uuid,power.draw",
                            "case7", "0", "0"});
    EXPECT_EQ(r.output, summary(gpu[2], gpu[0], gpu[1], 0));
    EXPECT_EQ(r.errors, "energy-totals: case7: uuid.csv: its GPUs in the order they first appear: GPU1 "
                        "is GPU-b, GPU2 is GPU-c, GPU3 is GPU-a\n");
    // Read in time, the log's first 64 kB hold GPU 1 alone: the times of
    // day take the day of GPU 0's first stamp (23:00, so the next day's
    // 10:00), as they do where the log is read whole first.
    setenv("TZ", "UTC", 1);
    std::string late = "timestamp, index, power.draw [W]\n";
    for (int i = 0; i < 4000; ++i)
        late += std::to_string(1714521600 + i) + ", 1, 100 W\n";
    for (int i = 0; i < 4; ++i)
        late += std::to_string(1714604400 + i) + ", 0, 100 W\n" + std::to_string(1714604400 + i) + ", 1, 100 W\n";
    write_file(dir.file("late.csv"), late);
    r = run_tool(dir.path, {"--gpu-log=late.csv", "--record=rec", "case7", "0", "0"});
    EXPECT_NE(read_file(dir.file("rec")).find("\"first\":\"2024-05-02T09:59:59"), std::string::npos)
        << r.errors;
}

std::vector<std::vector<double>> figure_blocks(const std::string& output);

// A one-log CSV of two GPUs as some logger writes it: the header, then
// six rounds 0.1 s apart, each line made by `line` from the round's stamp,
// the GPU's number and its power in watts (each GPU's own); the GPUs'
// energies by the trapezoid rule, computed here.
struct logged_gpus {
    std::string text;
    double gpu[2] = {0, 0};
};

logged_gpus log_two_gpus(const std::string& header,
                         const std::function<std::string(double, int, double)>& line)
{
    logged_gpus l;
    l.text = header.empty() ? "" : header + "\n";
    double last[2] = {0, 0};
    for (int i = 0; i < 6; ++i)
        for (int g = 0; g < 2; ++g) {
            double power = 100 + 50 * g + (i * 7) % 11;
            l.text += line(1714557600 + i * 0.1, g, power) + "\n";
            if (i > 0)
                l.gpu[g] = (((last[g] + power) * 0.1) * 0.5) + l.gpu[g];
            last[g] = power;
        }
    return l;
}

std::string two_gpu_summary(const logged_gpus& l)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "total energy: 1000.000000\nCPU1: 21.500000\nCPU2: 22.250000\ntotal CPU: 43.750000\n"
                  "GPU1: %f\nGPU2: %f\nGPU3: 0.000000\nGPU4: 0.000000\ntotal GPU: %f\n",
                  l.gpu[0], l.gpu[1], l.gpu[0] + l.gpu[1]);
    return text;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The header decides a one-log CSV's columns, whatever the logger calls
// them; one that names no stamp or power column stops the run; the GPUs it
// holds are taken without --gpus.
TEST(Cli, OneLogHeadersDecide)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("case7.total.pwr"), "10:00:00 A 1000\n10:00:01 A 1000\n");
    const std::string note = "energy-totals: case7: gpus.csv: ";
    struct {
        const char* header;
        std::function<std::string(double, int, double)> line;
        std::string errors;
    } logs[] = {
        {"timestamp, index, power.draw [W]",
         [](double t, int g, double w) { return fixed(t, 3) + ", " + std::to_string(g) + ", " + fixed(w, 2) + " W"; },
         ""},
        {"timestamp,gpu_index,temperature_C,utilization_gpu_percent,power_W",
         [](double t, int g, double w) { return fixed(t, 3) + "," + std::to_string(g) + ",45,99," + fixed(w, 2); },
         ""},
        // xpu-smi dump: times of day.
        {"Timestamp, DeviceId, GPU Power (W)",
         [](double t, int g, double w) {
             return "10:00:0" + fixed(t - 1714557600, 3) + ",    " + std::to_string(g) + ", " + fixed(w, 2);
         },
         ""},
        // A constant index beside the gpu column that varies, in milliwatts.
        {"timestamp,index,gpu,Power (mW)",
         [](double t, int g, double w) { return fixed(t, 3) + ",0," + std::to_string(g) + "," + fixed(w * 1000, 0); },
         note + "its power column, \"Power (mW)\", is in milliwatts: each reading is divided by 1000\n"},
        // No id column: each round's lines share their stamp.
        {"timestamp, power.draw [W], utilization.gpu [%]",
         [](double t, int, double w) { return fixed(t, 3) + ", " + fixed(w, 2) + " W, 99 %"; },
         note + "has no GPU id column: GPU k is the k-th line of each group of lines that share a "
                "time stamp\n"},
    };
    for (const auto& l : logs) {
        logged_gpus gpus = log_two_gpus(l.header, l.line);
        write_file(dir.file("gpus.csv"), gpus.text + "\n");
        tool_result r = run_tool(dir.path, {"--gpu-log=gpus.csv", "case7", "0", "0"});
        EXPECT_EQ(r.status, 0) << l.header;
        EXPECT_EQ(r.output, two_gpu_summary(gpus)) << l.header;
        EXPECT_EQ(r.errors, l.errors) << l.header;
    }
    // Columns given by the names another logger uses.
    logged_gpus by_name = log_two_gpus("", logs[1].line);
    write_file(dir.file("gpus.csv"), by_name.text);
    tool_result named = run_tool(dir.path, {"--gpu-log=gpus.csv", "--gpu-columns=time,gpu_index,t,u,power_W",
                                            "case7", "0", "0"});
    EXPECT_EQ(named.output, two_gpu_summary(by_name)) << named.errors;
    // Nothing the tool knows for power: no figure, and why.
    write_file(dir.file("gpus.csv"), "timestamp,gpu_index,temperature_C\n1714557600.0,0,45\n");
    tool_result r = run_tool(dir.path, {"--gpu-log=gpus.csv", "case7", "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't read gpus.csv: its columns are not known\n");
    EXPECT_NE(r.errors.find("\"timestamp,gpu_index,temperature_C\", which names no time stamp"),
              std::string::npos) << r.errors;
    // A logger restarted mid-file, its columns in another order.
    logged_gpus first = log_two_gpus("timestamp, index, power.draw [W]", logs[0].line);
    logged_gpus again = log_two_gpus("power.draw [W], index, timestamp", [](double t, int g, double w) {
        return fixed(w, 2) + " W, " + std::to_string(g) + ", " + fixed(t + 10, 3);
    });
    write_file(dir.file("gpus.csv"), first.text + again.text);
    r = run_tool(dir.path, {"--gpu-log=gpus.csv", "case7", "0", "0"});
    logged_gpus both = first;
    // Across the restart the curve goes on: one segment from the first
    // part's last point to the second part's first, 10 s on.
    for (int g = 0; g < 2; ++g) {
        double last = 100 + 50 * g + (5 * 7) % 11, next = 100 + 50 * g;
        both.gpu[g] = again.gpu[g] + ((((last + next) * 9.5) * 0.5) + first.gpu[g]);
    }
    EXPECT_EQ(r.output, two_gpu_summary(both));
    EXPECT_NE(r.errors.find("1 header line among its lines (a logger restarted?)"), std::string::npos)
        << r.errors;
    // One GPU where two were asked for; a line skipped, said in the singular.
    write_file(dir.file("gpus.csv"), "timestamp, index, power.draw\n1714557600.0, 0, 100\nnoon, 0, 1\n"
                                     "1714557601.0, 0, 100\n");
    r = run_tool(dir.path, {"--gpus=2", "--gpu-log=gpus.csv", "case7", "0", "0"});
    EXPECT_EQ(r.errors, note + "1 line skipped: no time stamp and comma, or a stamp not later than the line "
                               "before (first at line 3: \"noon, 0, 1\")\n" +
                            note + "holds 1 GPU, but --gpus=2: the GPUs it lacks are 0\n");
    // No id column, two GPUs' lines a few milliseconds apart, every third
    // round's pair at one stamp: with --gpus=2, runs of two lines, each
    // GPU's curve over its own stamps.
    std::string apart = "timestamp, power.draw [W]\n";
    double apart_gpu[2] = {0, 0}, last_t[2] = {0, 0}, last_w[2] = {0, 0};
    for (int i = 0; i < 30; ++i)
        for (int g = 0; g < 2; ++g) {
            long long ms = 1714557600000LL + i * 100 + (g == 1 && i % 3 != 0 ? 3 : 0);
            double w = 100 + 50 * g + (i * 7) % 11;
            char line[64];
            std::snprintf(line, sizeof line, "%lld.%03lld, %.2f W\n", ms / 1000, ms % 1000, w);
            apart += line;
            double t = static_cast<double>(ms % 100000) / 1000;
            if (i > 0)
                apart_gpu[g] += (last_w[g] + w) * (t - last_t[g]) / 2;
            last_t[g] = t, last_w[g] = w;
        }
    write_file(dir.file("gpus.csv"), apart);
    r = run_tool(dir.path, {"--gpus=2", "--gpu-log=gpus.csv", "case7", "0", "0"});
    std::vector<std::vector<double>> apart_figures = figure_blocks(r.output);
    EXPECT_NEAR(apart_figures[0][4], apart_gpu[0], 1e-9 * apart_gpu[0]) << r.output;
    EXPECT_NEAR(apart_figures[0][5], apart_gpu[1], 1e-9 * apart_gpu[1]) << r.output;
    // More GPUs than a row of nine figures holds, without --gpus.
    std::string six = "timestamp, index, power.draw\n";
    for (int g = 0; g < 6; ++g)
        six += "1714557600.0, " + std::to_string(g) + ", 100\n";
    write_file(dir.file("gpus.csv"), six);
    VerifyUsageError(dir, {"--gpu-log=gpus.csv", "case7", "0", "0"},
                     "case7: gpus.csv: holds 6 GPUs, more than the 4 a row holds without --gpus: say --gpus=6");
}

// The CPU meters users have, each read by its format: three intervals of
// CPU1 10.5 + 11.25 + 12 = 33.75 J and CPU2 20 + 21.5 + 22.25 = 63.75 J, as
// each writes them; their odd lines said; a log that can't be read so, why.
TEST(Cli, CpuMeters)
{
    scratch_dir dir;
    write_case(dir);
    const double cpu1[3] = {10.5, 11.25, 12}, cpu2[3] = {20, 21.5, 22.25};
    std::string perf = "#           time socket cpus             counts   unit events\n", perf_csv, counters,
                turbostat = "Time_Of_Day_Seconds\tPackage\tPkgWatt\n";
    unsigned long long c[2] = {262143328850 - 15000000, 7};
    counters = "time pkg0 pkg1\n1714557600.0 " + std::to_string(c[0]) + " " + std::to_string(c[1]) + "\n";
    for (int i = 0; i < 3; ++i) {
        char line[256];
        for (int k = 0; k < 2; ++k) {
            double j = k == 0 ? cpu1[i] : cpu2[i];
            std::snprintf(line, sizeof line, "%15.9f S%d        1 %18.2f Joules power/energy-pkg/\n", 1.0 + i, k, j);
            perf += line;
            std::snprintf(line, sizeof line, "%.9f,S%d,1,%.2f,Joules,power/energy-pkg/,1000123456,100.00,,\n", 1.0 + i, k, j);
            perf_csv += line;
            // A package's first CPU's row holds its power; its other CPUs' not.
            std::snprintf(line, sizeof line, "%d.000\t%d\t%.2f\n%d.000\t%d\n", 1714557601 + i, k, j,
                          1714557601 + i, k);
            turbostat += line;
            c[k] = (c[k] + static_cast<unsigned long long>(j * 1e6)) % 262143328850;
        }
        perf += "   3.000000000 S0        1               1.25 Joules power/energy-ram/\n";
        counters += std::to_string(1714557601 + i) + ".0 " + std::to_string(c[0]) + " " + std::to_string(c[1]) + "\n";
    }
    perf += "   4.000000000 S0        1      <not counted>      Joules power/energy-pkg/\n";
    auto cpu_lines = [](const std::string& more) {
        return "total energy: 100.750000\nCPU1: 33.750000\nCPU2: 63.750000\n" + more + "total CPU: " +
               (more.empty() ? std::string("97.500000") : std::string("195.000000")) + "\n";
    };
    struct {
        std::vector<std::string> options;
        std::string log;
        std::string errors;
    } meters[] = {
        {{"--cpu-format=perf"}, perf,
         "energy-totals: case7.cpu.pwr: 1 reading is <not counted> or <not supported>: perf could not read the "
         "counters then (run it with -a, and with the rights RAPL needs) (first at line 11: \"   4.000000000 S0  "
         "      1      <not counted>      Joules po...\")\n"
         "energy-totals: case7.cpu.pwr: its events power/energy-ram/ and the like are no package's energy: left "
         "out of the CPU figures\n"},
        {{"--cpu-format=perf"}, perf_csv, ""},
        {{"--cpu-format=counters", "--cpu-wrap=262143328850"}, counters,
         "energy-totals: case7.cpu.pwr: its counters wrapped 1 time; each wrap added --cpu-wrap\n"},
        {{"--cpu-format=turbostat"}, turbostat, ""},
        {{"--cpu-format=turbostat"}, "TOD\tPkg\tPkg_W" + turbostat.substr(turbostat.find('\n')), ""},
        {{"--cpu-format=turbostat", "--cpu-wrap=100", "--cpu-fields=3,7"}, turbostat,
         "energy-totals: --cpu-wrap: only --cpu-format=counters or csv takes it; ignored\n"
         "energy-totals: --cpu-fields: only --cpu-format=columns or csv takes it; ignored with --cpu-format=turbostat\n"},
        {{"--cpu-fields=pkg0_J,pkg1_J"}, "time host x pkg1_J y pkg0_J\n10:00:00 n 9 20 9 10.5\n"
                                         "10:00:01 n 9 21.5 9 11.25\n10:00:02 n 9 22.25 9 12\n", ""},
        // A blank header line: the fields as given, by number.
        {{"--cpu-fields=6,4"}, "\n10:00:00 n 9 20 9 10.5\n10:00:01 n 9 21.5 9 11.25\n10:00:02 n 9 22.25 9 12\n", ""},
    };
    for (const auto& m : meters) {
        write_file(dir.file("case7.cpu.pwr"), m.log);
        tool_result r = run_case7(dir, m.options);
        EXPECT_EQ(r.status, 0) << m.options[0];
        EXPECT_EQ(r.output.substr(0, r.output.find("GPU1")), cpu_lines("")) << m.options[0];
        EXPECT_EQ(r.errors, m.errors) << m.options[0];
    }
    // Four sockets: CPU3 and CPU4 after CPU2 in the summary, the row and the
    // heading, at fields 3, 7, 11 and 15 by default.
    write_file(dir.file("case7.cpu.pwr"), "header\n"
                                          "t h 10.5 a b c 20 a b c 10.5 a b c 20\n"
                                          "t h 11.25 a b c 21.5 a b c 11.25 a b c 21.5\n"
                                          "t h 12 a b c 22.25 a b c 12 a b c 22.25\n");
    write_file(dir.file("results.txt"), "");
    tool_result r = run_tool(dir.path, {"--cpus=4", "case7", "1", "0"});
    EXPECT_EQ(r.output.substr(0, r.output.find("GPU1")), cpu_lines("CPU3: 33.750000\nCPU4: 63.750000\n"));
    EXPECT_EQ(read_file(dir.file("results.txt")),
              "100.75\t\t33.75\t\t63.75\t\t33.75\t\t63.75\t\t195\t\t\t40\t\t0\t\t0\t\t0\t\t40\n");
    r = run_tool(dir.path, {"--cpus=4", "--heading"});
    EXPECT_EQ(r.output, "total\t\tCPU1\t\tCPU2\t\tCPU3\t\tCPU4\t\ttotal CPU\t\t\tGPU1\t\tGPU2\t\tGPU3\t\tGPU4\t\t"
                        "total GPU\t\tcase\n");
    // Logs that can't be read by their format: a decimal comma, a wrap
    // without its range.
    write_file(dir.file("case7.cpu.pwr"), "     1.001029852 S0        1              17,85 Joules power/energy-pkg/\n");
    r = run_tool(dir.path, {"--cpu-format=perf", "case7", "0", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't read case7.cpu.pwr: it does not fit --cpu-format=perf\n");
    EXPECT_NE(r.errors.find("run perf with LC_ALL=C"), std::string::npos) << r.errors;
    write_file(dir.file("case7.cpu.pwr"), counters);
    r = run_tool(dir.path, {"--cpu-format=counters", "case7", "0", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.errors.find("--cpu-wrap=UJ"), std::string::npos) << r.errors;
    // Logs as other meters write them: each gives its figure, or is
    // refused with the reason (never 0 J with status 0).
    std::string summed;
    for (int i = 0; i < 3; ++i)
        summed += std::to_string(1.0 + i) + ",123456,,cycles,1000,100.00,,\n" + std::to_string(1.0 + i) + "," +
                  std::to_string(cpu1[i] + cpu2[i]) + ",Joules,power/energy-pkg/,1000,100.00,,\n";
    std::string columns = "time host pkg0_J\n10:00:00 n 10.5 a b c 20\n";
    struct {
        std::vector<std::string> options;
        std::string log;
        int status;
        std::string cpu1, found; // CPU1's line, and what the errors hold
    } others[] = {
        {{"--cpu-format=perf"}, summed, 0, "CPU1: 97.500000", "every socket's at once"},
        {{"--cpu-format=perf", "--cpus=2"}, summed, 255, "", "--cpus=2: run perf with --per-socket"},
        {{"--cpu-format=perf"}, "1.0,0.5,Joules,power/energy-ram/,1000,100.00,,\n", 255, "",
         "only power/energy-ram/"},
        // A whole run's totals, without and with --per-socket; perf 4.x's
        // event on the line after its count.
        {{"--cpu-format=perf", "--cpus=1"},
         "\n Performance counter stats for 'system wide':\n\n           1050.67 Joules power/energy-pkg/\n"
         "            120.50 Joules power/energy-ram/\n\n       5.001226236 seconds time elapsed\n\n",
         0, "CPU1: 1050.670000", "power/energy-ram/ and the like are no package's"},
        {{"--cpu-format=perf"}, "S0,1,600.25,Joules,power/energy-pkg/,5001226236,100.00,,\n"
                                "S1,1,450.42,Joules,power/energy-pkg/,5001226236,100.00,,\n",
         0, "CPU1: 600.250000\nCPU2: 450.420000", ""},
        {{"--cpu-format=perf"}, "0.100170268,10.5,Joules\n,power/energy-pkg/,200370173,100.00\n"
                                "0.200170268,11,Joules\n,power/energy-pkg/,200370173,100.00\n",
         0, "CPU1: 21.500000", "every socket's at once"},
        {{"--cpu-format=perf", "--cpus=1"}, " Performance counter stats for 'system wide':\n\n           1050.67 Joules\n"
                                            " power/energy-pkg/\n\n       5.001226236 seconds time elapsed\n",
         0, "CPU1: 1050.670000", ""},
        {{"--cpu-format=perf"}, "0.100170268,0.161438,Joules\n,power/energy-ram/,200370173,100.00\n", 255, "",
         "only power/energy-ram/"},
        // RAPL's readings as CSV: long (a row a socket and domain, a
        // trailer after ###), wide, watts between a socket's stamps, counters.
        {{"--cpu-format=csv"}, "#timestamp,interval,socket,domain,energy,power\n1690000000.1,0.1,N0,package,12.5,125\n"
                               "1690000000.1,0.1,N0,ram,1.5,15\n1690000000.1,0.1,N1,package,10.25,102.5\n"
                               "1690000000.2,0.1,N0,package,13,130\n1690000000.2,0.1,N1,package,11,110\n"
                               "### Meta Information\nInformation,inf\n",
         0, "CPU1: 25.500000\nCPU2: 21.250000", "its events ram and the like"},
        {{"--cpu-format=csv"}, "time,pkg0_J,pkg1_J\n1,10,20\n2,11,21\n", 0, "CPU1: 21.000000\nCPU2: 41.000000", ""},
        {{"--cpu-format=csv"}, "#timestamp,socket,power_W\n10,0,100\n11,0,110\n10,1,50\n11,1,60\n13,0,120\n", 0,
         "CPU1: 450.000000\nCPU2: 110.000000", ""},
        {{"--cpu-format=csv"}, "timestamp,socket,energy_uj\n10,S0,1000000\n10,S1,5000000\n11,S0,3500000\n11,S1,5500000\n",
         0, "CPU1: 2.500000\nCPU2: 0.500000", ""},
        {{"--cpu-format=perf"}, columns, 255, "", "fit --cpu-format=columns"},
        {{"--cpu-format=counters"}, columns, 255, "", "fit --cpu-format=columns"},
        {{"--cpu-format=turbostat", "--cpus=1"}, "5.031399 sec\nCore\tCPU\tPkgWatt\n-\t-\t44.66\n0\t0\t44.66\n0\t1\n",
         0, "CPU1: " + std::to_string(44.66 * 5.031399), ""},
        {{"--cpu-format=turbostat", "--cpus=1"}, "Pkg_J\n195.33\n", 0, "CPU1: 195.330000", ""},
        // Of two id columns, the first: the package, not the NUMA node.
        {{"--cpu-format=turbostat", "--cpus=1"}, "Package Node Core CPU Pkg_J\n0 1 0 0 5\n", 0, "CPU1: 5.000000", ""},
        // A counter missing from a line steps from its last value, not from 0.
        {{"--cpu-format=counters"}, "10:00:00 100 200\n10:00:01 300\n10:00:02 600 800\n", 0,
         "CPU1: 0.000500\nCPU2: 0.000600", ""},
        {{"--cpu-format=csv", "--cpu-wrap=1000"}, "time,pkg0_uj\n1,100\n2,300\n", 0, "CPU1: 0.000200",
         "long enough for a counter to wrap twice"},
        {{"--cpu-format=csv"}, "timestamp,socket,energy\n1,0,5\n1,9,5\n", 0, "CPU1: 5.000000", "holds 10 sockets"},
    };
    for (const std::string& start : {std::string(), std::string("# started on 2024-05-01T10:00:00,000000000+00:00\n\n")}) {
        write_file(dir.file("case7.cpu.pwr"), start + perf);
        r = run_tool(dir.path, {"case7", "0", "0"});
        EXPECT_NE(r.errors.find("case7.cpu.pwr: perf stat's log: read it with --cpu-format=perf\n"), std::string::npos)
            << r.errors;
    }
    for (const auto& m : others) {
        write_file(dir.file("case7.cpu.pwr"), m.log);
        r = run_case7(dir, m.options);
        EXPECT_EQ(r.status, m.status) << m.log;
        EXPECT_NE(r.output.find(m.status == 0 ? m.cpu1 + "\n" : "it does not fit"), std::string::npos) << m.log << r.output;
        EXPECT_NE(r.errors.find(m.found), std::string::npos) << m.log << r.errors;
    }
}

// The node's log by its own stamps: irregular intervals, across midnight,
// a line that shares its stamp skipped and said; and, read by its period, a
// meter 2% or more off it said, naming both options.
TEST(Cli, NodeLogByItsStamps)
{
    scratch_dir dir;
    write_case(dir);
    write_file(dir.file("case7.total.pwr"), "23:59:59.5 A 400\n00:00:00.2 A 410\n00:00:01.5 A 420\n"
                                            "00:00:01.5 A 999\n00:00:02.6 A 430\n");
    tool_result r = run_tool(dir.path, {"--total-time=stamps", "case7", "0", "0"});
    double expected = 0;
    const double at[4] = {0, 0.7, 2.0, 3.1}, watts[4] = {400, 410, 420, 430};
    for (int i = 1; i < 4; ++i) {
        int64_t dt_ns = static_cast<int64_t>((at[i] - at[i - 1]) * 10 + 0.5) * 100000000;
        expected = (((watts[i - 1] + watts[i]) * (static_cast<double>(dt_ns) / 1e9)) * 0.5) + expected;
    }
    char total[64];
    std::snprintf(total, sizeof total, "total energy: %f\n", expected);
    EXPECT_EQ(r.output.substr(0, r.output.find('\n') + 1), total);
    EXPECT_NE(r.errors.find("1 line shares the time stamp of the line before, and is skipped: a meter that wrote a "
                            "line twice?\n"), std::string::npos)
        << r.errors;
    // A meter at 0.55 s a line, read as 0.5.
    std::string slow;
    for (int i = 0; i < 400; ++i) {
        char line[64];
        int tenths = i * 55 / 10;
        std::snprintf(line, sizeof line, "10:%02d:%02d.%d A 400\n", tenths / 600, tenths / 10 % 60, tenths % 10);
        slow += line;
    }
    write_file(dir.file("case7.total.pwr"), slow);
    r = run_tool(dir.path, {"case7", "0", "0"});
    EXPECT_NE(r.errors.find("a line every 0.55 s by its time stamps, but each counts 0.5 s"), std::string::npos)
        << r.errors;
    EXPECT_NE(r.errors.find("--total-time=stamps"), std::string::npos) << r.errors;
    // Seconds since the epoch, as an ipmitool loop writes them: a line every
    // 0.6 s, read as 0.5; and on time, which says nothing of it.
    for (int tenths : {6, 5}) {
        std::string epoch;
        for (int i = 0; i < 400; ++i)
            epoch += std::to_string(1714557600 + i * tenths / 10) + "." + std::to_string(i * tenths % 10) + " A 400\n";
        write_file(dir.file("case7.total.pwr"), epoch);
        r = run_tool(dir.path, {"case7", "0", "0"});
        EXPECT_EQ(r.errors.find("a line every 0.60 s by its time stamps, but each counts 0.5 s") != std::string::npos,
                  tenths == 6) << r.errors;
    }
    // The node logs meters publish, as their first lines stand, each by
    // the trapezoid over its own stamps; or refused, saying why.
    struct {
        std::vector<std::string> options;
        std::string log;
        double energy; // by hand; NaN where the run is refused
        std::string said;
    } formats[] = {
        {{"--total-format=ptd"},
         "Time,08-02-2022 00:29:52.542,Watts,1453.3,Volts,205.05,Amps,7.121,PF,0.9953,Mark,NAME\n"
         "Time,08-02-2022 00:29:53.542,Watts,1455.3,Volts,205.05,Amps,7.121,PF,0.9953,Mark,NAME\n"
         "Time,08-02-2022 00:29:54.042,Watts,1460.1,Volts,-1,Amps,-1,PF,-1,Ch1,Watts,700.2,Volts,205\n",
         (1453.3 + 1455.3) * 1.0 * 0.5 + (1455.3 + 1460.1) * 0.5 * 0.5, ""},
        {{"--total-format=mllog"},
         ":::MLLOG {\"namespace\": \"\", \"time_ms\": 1715341080337, \"event_type\": \"INTERVAL_START\", \"key\": "
         "\"power_measurement_start\", \"value\": null}\n"
         ":::MLLOG {\"time_ms\": 1715341080337, \"event_type\": \"POINT_IN_TIME\", \"key\": \"power_reading\", "
         "\"value\": 2090, \"metadata\": {\"file\": \"n.py\"}}\n"
         ":::MLLOG {\"time_ms\":1715341082337,\"event_type\":\"POINT_IN_TIME\",\"key\":\"power_reading\",\"value\":2110.5}\n",
         (2090 + 2110.5) * 2.0 * 0.5, ""},
        {{"--total-format=csv", "--total-columns=timestamp,sensor,power"},
         "Timestamp,Sensor,Value\n2024-07-28 04:21:46,Current,270\n2024-07-28 04:21:48,Current,280\n",
         (270 + 280) * 2.0 * 0.5, ""},
        {{"--total-format=csv"}, "Timestamp,Sensor,Value\n2024-07-28 04:21:46,Current,270\n", NAN,
         "its header, \"Timestamp,Sensor,Value\", names no stamp or no power column: name the columns with "
         "--total-columns"},
        {{"--total-format=csv", "--total-columns=timestamp,power"},
         "1440080999,25.6, 120.7, 21.2, 1.0\n1440081000,26.6, 120.7, 21.2, 1.0\n", (25.6 + 26.6) * 1.0 * 0.5, ""},
        {{"--total-format=csv"}, "time,power (mW)\n1714557600,20000\n1714557601.5,22000\n",
         (20 + 22) * 1.5 * 0.5, ""},
        {{"--total-format=mllog"}, "10:00:00 A 400\n", NAN,
         "no line of it is one of --total-format=mllog's; its first line is \"10:00:00 A 400\""},
        {{"--total-format=mllog"}, "Time,08-02-2022 00:29:52.542,Watts,1453.3,Volts,205.05\n", NAN,
         "it is a power analyzer's log (PTDaemon), read with --total-format=ptd"},
    };
    for (const auto& f : formats) {
        write_file(dir.file("case7.total.pwr"), f.log);
        r = run_case7(dir, f.options);
        char line[64];
        std::snprintf(line, sizeof line, "total energy: %f\n", f.energy);
        EXPECT_EQ(r.status, std::isnan(f.energy) ? 255 : 0) << f.log << r.errors;
        EXPECT_EQ(r.output.substr(0, r.output.find('\n') + 1),
                  std::isnan(f.energy) ? "couldn't read case7.total.pwr: it does not fit " + f.options[0] + "\n" : line)
            << f.log;
        EXPECT_NE(r.errors.find(f.said), std::string::npos) << f.log << r.errors;
    }
    // Without the option, the Parts' figures, and what the log is said.
    write_file(dir.file("case7.total.pwr"), formats[0].log);
    r = run_tool(dir.path, {"case7", "0", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.substr(0, r.output.find('\n')), "total energy: 0.000000");
    EXPECT_NE(r.errors.find("case7.total.pwr: a power analyzer's log (PTDaemon): read it with --total-format=ptd\n"),
              std::string::npos) << r.errors;
    // Times of day in the record take the day of the first dated reading,
    // the CPU log's, though the node log comes first.
    setenv("TZ", "UTC", 1);
    write_file(dir.file("case7.total.pwr"), "10:00:00 A 400\n10:00:01 A 410\n");
    write_file(dir.file("case7.cpu.pwr"), "time h cpu1 a b c cpu2\n1714557601 h 10 a b c 20\n");
    r = run_tool(dir.path, {"--total-time=stamps", "--record=rec", "case7", "0", "0"});
    EXPECT_NE(read_file(dir.file("rec")).find("\"first\":\"2024-05-01T10:00:00.000000000Z\""), std::string::npos)
        << r.errors;
    // Times of day that meet the node's change of offset from UTC (read as
    // UTC, at 01:00 on the day the CPU log dates): the readings on either
    // side an hour apart in time, though their stamps run on.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    write_file(dir.file("case7.total.pwr"), "00:59:58 A 1\n00:59:58 A 2\n00:59:59 A 3\n00:59:59 A 4\n"
                                            "01:00:00 A 5\n01:00:00 A 6\n01:00:01 A 7\n01:00:01 A 8\n");
    write_file(dir.file("case7.cpu.pwr"), "time h cpu1 a b c cpu2\n1774746000 h 10 a b c 20\n");
    r = run_tool(dir.path, {"--series=s.csv", "case7", "0", "0"});
    std::string series = read_file(dir.file("s.csv"));
    auto seconds_at = [&](const char* reading) {
        return std::stod(series.substr(series.rfind('\n', series.find(reading)) + 1));
    };
    EXPECT_DOUBLE_EQ(seconds_at(",4\n") - seconds_at(",6\n"), 3599) << series << r.errors;
    setenv("TZ", "UTC", 1);
    // A reading of -0 is placed as 0, whichever way its run is placed.
    write_file(dir.file("case7.total.pwr"), "10:00:00 A 1\n10:00:00 A 2\n10:00:01 A -0\n");
    r = run_tool(dir.path, {"--series=s.csv", "case7", "0", "0"});
    EXPECT_NE(read_file(dir.file("s.csv")).find("1.500000000,node,0\n"), std::string::npos) << read_file(dir.file("s.csv"));
    // A line without a stamp is placed where the run of lines before it ends.
    write_file(dir.file("case7.total.pwr"), "10:00:00 A 1\n10:00:00 A 2\n10:00:01 A 3\n10:00:01 A 4\nnone A 5\n");
    r = run_tool(dir.path, {"--series=s.csv", "case7", "0", "0"});
    series = read_file(dir.file("s.csv"));
    EXPECT_DOUBLE_EQ(seconds_at(",0\n"), seconds_at(",4\n")) << series << r.errors;
}

// Runs of one label with --once, all at once: one row in the table, every
// run status 0, whatever the label looks like (a case directory's number
// too); a label of another row does not count, nor a row of another shape.
TEST(Cli, OnceAppendsOneRowPerLabel)
{
    scratch_dir dir;
    write_case(dir);
    std::string figures = case_row.substr(0, case_row.size() - 1);
    std::string other = figures + "\t\tc10\n" + figures + "\t\t0\t\t17\n";
    for (const std::string label : {"c1", "17", "007", "1e5", "nan", "-3", "case 4"}) {
        write_file(dir.file("results.txt"), "heading\n" + other);
        std::vector<int> children;
        for (int i = 0; i < 4; ++i)
            children.push_back(start_tool(dir.path, {"--once", "--label=" + label, "case7", "1", "0"}));
        for (int pid : children)
            EXPECT_EQ(wait_tool(pid), 0) << label;
        EXPECT_EQ(read_file(dir.file("results.txt")), "heading\n" + other + figures + "\t\t" + label + "\n")
            << label;
    }
    tool_result r = run_tool(dir.path, {"--once", "--label=case 4", "case7", "1", "0"});
    ExpectRun({r.status, r.output, ""}, 0, case_summary);
    EXPECT_EQ(r.errors, "energy-totals: results.txt: line 4 is a row labelled case 4 already; none "
                        "appended (--once)\n");
    // A table saved with CRLF line ends still has the row.
    write_file(dir.file("results.txt"), "heading\r\n" + figures + "\t\tc1\r\n");
    r = run_tool(dir.path, {"--once", "--label=c1", "case7", "1", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir.file("results.txt")), "heading\r\n" + figures + "\t\tc1\r\n");
}

// --check reports each finding on a line of its own and counts them; a
// clean table, and its cases all there, report nothing and exit 0.
TEST(Cli, CheckTable)
{
    scratch_dir dir;
    std::string row = case_row.substr(0, case_row.size() - 1);
    std::string heading = "total\t\tCPU1\t\tCPU2\t\ttotal CPU\t\t\tGPU1\t\tGPU2\t\tGPU3\t\tGPU4\t\ttotal GPU\t\tcase\n";
    write_file(dir.file("clean.txt"), heading + row + "\t\ta\n" + row + "\t\tb\n");
    write_file(dir.file("cases"), "a\nb\n");
    tool_result r = run_tool(dir.path, {"--check=clean.txt", "--cases=cases"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "2 rows, 0 without a label, 0 lines not rows, 0 labels on more than one "
                        "row, 0 cases without a row\n");
    write_file(dir.file("results.txt"),
               heading + row + "\t\ta\n" + row + "\n" + "garbage\t1 \"\xc3\xa9\xff\\\n" + row + "\t\tb\n" + row +
                   "\t\ta\n");
    write_file(dir.file("cases"), "a\nb\nc\n");
    r = run_tool(dir.path, {"--check=results.txt", "--cases=cases"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "line 3: a row without a label\n"
                        "line 4: not a row: \"garbage\\t1 \\\"\xc3\xa9\\xff\\\\\"\n"
                        "label a: on more than one row, lines 2 and 6\n"
                        "case c: no row\n"
                        "4 rows, 1 without a label, 1 lines not rows, 1 labels on more than one "
                        "row, 1 cases without a row\n");
    // Labels that are numbers, told by the heading; cases listed twice, and
    // CRLF line ends, count once.
    write_file(dir.file("numbers.txt"), heading + row + "\t\t17\r\n" + row + "\t\t1e5\n" + row + "\t\t17\n");
    write_file(dir.file("cases"), "17\r\n1e5\n2\n2\n");
    r = run_tool(dir.path, {"--check=numbers.txt", "--cases=cases"});
    EXPECT_EQ(r.output, "label 17: on more than one row, lines 2 and 4\n"
                        "case 2: no row\n"
                        "3 rows, 0 without a label, 0 lines not rows, 1 labels on more than one "
                        "row, 1 cases without a row\n");
    EXPECT_EQ(r.errors, "energy-totals: numbers.txt: its lines end in a carriage return and a newline "
                        "(1 of them); both are read as the line's end\n"
                        "energy-totals: cases: its lines end in a carriage return and a newline "
                        "(1 of them); both are read as the line's end\n");
    // A label as long as a row may be, twice.
    std::string long_label(1200, 'x');
    write_file(dir.file("long.txt"), heading + row + "\t\t" + long_label + "\n" + row + "\t\t" + long_label + "\n");
    r = run_tool(dir.path, {"--check=long.txt"});
    EXPECT_EQ(r.output, "label " + long_label.substr(0, 1024) + "...: on more than one row, lines 2 and 3\n2 rows, 0 without a "
                        "label, 0 lines not rows, 1 labels on more than one row\n");
    // Without a heading, nothing tells a number from a label: said.
    write_file(dir.file("numbers.txt"), row + "\t\t17\n" + row + "\t\t18\n");
    r = run_tool(dir.path, {"--check=numbers.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("2 rows read as without a label"), std::string::npos) << r.errors;
    // A report that can't be written is a failure.
    r = run_tool_with(dir.path, {"--check=clean.txt"}, [] {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.errors.find("the report could not be written"), std::string::npos) << r.errors;
    r = run_tool(dir.path, {"--check=missing.txt"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.errors, "energy-totals: missing.txt: No such file or directory\n");
}

TEST(Cli, CpusNeverChangeFigures)
{
    scratch_dir dir;
    std::string total, cpu = "time host p0 d0 t0 f0 p1\n", gpu;
    const char* odd[] = {"nan", "1e300", "-0.1", "12W", "0x1p-3"};
    for (int i = 0; i < 200000; ++i) {
        std::string r = std::to_string(i % 997) + "." + std::to_string(i % 89);
        const char* reading = i % 50000 == 8 ? odd[(i / 50000) % 5] : r.c_str();
        total += "10:00:01 A " + std::string(reading) + "\n";
        if (i % 2 == 0)
            cpu += "10:00:01 n1 " + std::string(reading) + " 1 2 3 " + r + "5\n";
        gpu += std::string(reading) + " W\n" + r + " W\n" + r + " W\n";
    }
    write_file(dir.file("big.total.pwr"), total);
    write_file(dir.file("big.cpu.pwr"), cpu);
    write_file(dir.file("gpupower1.out"), gpu);
    // One log of two GPUs, which a picture on two CPUs reads beside the others.
    std::string one = "timestamp, index, power.draw [W]\n";
    for (int i = 0; i < 100000; ++i)
        for (int g = 0; g < 2; ++g)
            one += std::to_string(1714557600 + i) + ", " + std::to_string(g) + ", " + std::to_string(i % 89 + g) + " W\n";
    write_file(dir.file("gpus.csv"), one);
    std::vector<tool_result> results;
    for (int cpus = 1; cpus <= 2; ++cpus) {
        auto on_cpus = [cpus] {
            cpu_set_t set;
            CPU_ZERO(&set);
            for (int c = 0; c < cpus; ++c)
                CPU_SET(c, &set);
            if (sched_setaffinity(0, sizeof set, &set) != 0)
                _exit(122);
        };
        write_file(dir.file("results.txt"), "");
        // Read in time too: on two CPUs, one reads while the other places.
        tool_result r = run_tool_with(dir.path, {"--plot=p.svg", "--series=s.csv", "big", "1", "0"}, on_cpus);
        if (r.status == 122)
            GTEST_SKIP() << "can't run on " << cpus << " CPUs here";
        r.output += read_file(dir.file("results.txt")) + read_file(dir.file("p.svg")) + read_file(dir.file("s.csv"));
        tool_result o = run_tool_with(dir.path, {"--gpu-log=gpus.csv", "--plot=q.svg", "--record=r.jsonl", "big", "0", "0"},
                                      on_cpus);
        std::string record = read_file(dir.file("r.jsonl"));
        r.output += o.output + o.errors + read_file(dir.file("q.svg")) + record.substr(record.find("\"operands\""));
        std::remove(dir.file("r.jsonl").c_str());
        results.push_back(r);
    }
    EXPECT_EQ(results[0].status, 0);
    EXPECT_EQ(results[0].output, results[1].output);
    EXPECT_EQ(results[0].errors, results[1].errors);
    // Without a series the picture takes a span's readings at once: the
    // same picture.
    std::string with_series = read_file(dir.file("p.svg"));
    run_tool(dir.path, {"--plot=p.svg", "big", "0", "0"});
    EXPECT_EQ(read_file(dir.file("p.svg")), with_series);
}

// A case of three meters whose edges fall between readings, times in
// seconds from 1714557600: the node's log by its period, two lines under
// each whole second's stamp (0.5 s each, up to its time); CPU intervals
// [0, 1] (the first, as long as the second) and [1, 2]; GPU points at 0, 1
// and 2 s.
void write_phase_case(const scratch_dir& dir)
{
    write_file(dir.file("p.total.pwr"), "1714557600 A 100\n1714557600 A 200\n1714557601 A 300\n"
                                        "1714557601 A 400\n");
    write_file(dir.file("p.cpu.pwr"), "time h cpu1 a b c cpu2\n1714557601 h 10 a b c 20\n"
                                      "1714557602 h 30 a b c 40\n");
    write_file(dir.file("gpupower1.out"), "1714557600, 100\n1714557601, 200\n1714557602, 100\n");
}

// The block of phase name in a run's output, its name line and all.
std::string phase_block(const std::string& output, const std::string& name)
{
    size_t at = output.find("phase: " + name + "\n");
    if (at == std::string::npos)
        return "";
    size_t end = output.find("phase: ", at + 1);
    return output.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string block_of(const std::string& name, double seconds, double total, double cpu1, double cpu2, double gpu1,
                     const std::string& prefix = "")
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "%stotal energy: %f\n%sCPU1: %f\n%sCPU2: %f\n%stotal CPU: %f\n%sGPU1: %f\n%sGPU2: %f\n"
                  "%sGPU3: %f\n%sGPU4: %f\n%stotal GPU: %f\n",
                  prefix.c_str(), total, prefix.c_str(), cpu1, prefix.c_str(), cpu2, prefix.c_str(), cpu1 + cpu2,
                  prefix.c_str(), gpu1, prefix.c_str(), 0.0, prefix.c_str(), 0.0, prefix.c_str(), 0.0,
                  prefix.c_str(), gpu1);
    if (!prefix.empty())
        return text;
    char head[128];
    std::snprintf(head, sizeof head, "phase: %s\nseconds: %f\n", name.c_str(), seconds);
    return head + std::string(text);
}

// Each phase's figures, split at edges inside a node line's period, a CPU
// interval and a GPU segment, against figures worked out by hand; marked
// as the job script writes marks, by a benchmark's :::MLLOG records, or by
// a window; nested; net of idle power.
TEST(Cli, PhasesSplitAtTheirEdges)
{
    scratch_dir dir;
    write_phase_case(dir);
    // p from 0.25 to 1.5 s: the node's 100 * 0.5 J on [0, 0.5] half in,
    // then 150 and 200; CPU1 10 * 0.75 + 30 * 0.5, CPU2 20 * 0.75 + 40 *
    // 0.5; the GPU's power 125 W at 0.25 s and 150 W at 1.5 s.
    std::string p = block_of("p", 1.25, 400, 22.5, 35, (125 + 200) * 0.75 * 0.5 + (200 + 150) * 0.5 * 0.5);
    // The rest: the whole run less p.
    std::string unmarked = block_of("unmarked", 1.25, 500 - 400, 40 - 22.5, 60 - 35, 300 - 209.375);
    const std::vector<std::string> stamped = {"--gpu-time=stamps"};
    write_file(dir.file("marks"), "2024-05-01T10:00:00,250000000+00:00 p begin\n# a comment\n\n"
                                  "2024-05-01T10:00:01.5Z p end\n");
    write_file(dir.file("mllog"), "other output\n:::MLLOG {\"namespace\": \"\", \"time_ms\": 1714557600250, "
                                  "\"event_type\": \"INTERVAL_START\", \"key\": \"power_begin\", \"value\": null}\n"
                                  ":::MLLOG {\"time_ms\": 1714557601500, \"key\": \"power_end\"}\n");
    tool_result r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=marks", "p", "0", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.substr(r.output.find("phase: ")), p + unmarked);
    EXPECT_EQ(r.errors, "energy-totals: p: phase p lasts 1.250 s, less than three GPU readings (1.000 s apart): "
                        "its GPU figures rest on a few points\n");
    r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=mllog", "p", "0", "0"});
    EXPECT_EQ(phase_block(r.output, "power"), block_of("power", 1.25, 400, 22.5, 35, 209.375));
    // MLPerf loadgen's: the window in value, on the node's clock (UTC
    // here); time_ms counts from loadgen's start.
    setenv("TZ", "UTC", 1);
    write_file(dir.file("loadgen"), ":::MLLOG {\"key\": \"power_begin\", \"value\": \"05-01-2024 10:00:00.250\", "
                                    "\"time_ms\": 1236089.083981}\n:::MLLOG {\"key\": \"power_end\", \"value\": "
                                    "\"05-01-2024 10:00:01.500\", \"time_ms\": 1236089.083981}\n");
    r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=loadgen", "p", "0", "0"});
    EXPECT_EQ(phase_block(r.output, "power"), block_of("power", 1.25, 400, 22.5, 35, 209.375)) << r.errors;
    // MLPerf training's node log, its own marks, by MLPerf's rule: each
    // reading held since the one before (the node 300 * 0.5 + 400 * 0.5;
    // the GPU's 200 W over [0.5, 1] and 100 W over [1, 1.5]; the whole
    // run's node 0.5 * (200 + 300 + 400 + 500), GPU 200 + 100).
    std::string training = ":::MLLOG {\"time_ms\": 1714557600500, \"key\": \"power_measurement_start\"}\n";
    for (int i = 0; i < 5; ++i)
        training += ":::MLLOG {\"time_ms\": " + std::to_string(1714557600000 + 500 * i) +
                    ", \"key\": \"power_reading\", \"value\": " + std::to_string(100 * (i + 1)) + "}\n";
    training += ":::MLLOG {\"time_ms\": 1714557601500, \"key\": \"power_measurement_stop\"}\n";
    write_file(dir.file("p.total.pwr"), training);
    r = run_tool(dir.path, {"--total-format=mllog", "--gpu-time=stamps", "--phases=p.total.pwr", "--integration=step",
                            "--record=r.jsonl", "p", "0", "0"});
    EXPECT_EQ(phase_block(r.output, "power"), block_of("power", 1, 350, 20, 30, 150)) << r.errors;
    EXPECT_EQ(r.output.substr(0, r.output.find("CPU1")), "total energy: 700.000000\n");
    EXPECT_NE(r.output.find("GPU1: 300.000000\n"), std::string::npos);
    EXPECT_NE(read_file(dir.file("r.jsonl")).find("\"integration\":\"step\""), std::string::npos);
    write_phase_case(dir);
    // The logs' common time is [0, 1.5]: from 0.25 s after its start to
    // 0.5 s before its end.
    r = run_tool(dir.path, {"--gpu-time=stamps", "--window=+0.25,-0.5", "p", "0", "0"});
    EXPECT_EQ(phase_block(r.output, "window"),
              block_of("window", 0.75, 200, 7.5, 15, (125 + 200) * 0.75 * 0.5));
    // Nested: no unmarked, as the phases overlap.
    write_file(dir.file("nested"), "1714557600 outer begin\n1714557600.5 inner begin\n1714557601 inner end\n"
                                   "1714557602 outer end\n");
    r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=nested", "p", "0", "0"});
    EXPECT_EQ(phase_block(r.output, "inner"), block_of("inner", 0.5, 150, 5, 10, (150 + 200) * 0.5 * 0.5));
    EXPECT_EQ(r.output.find("unmarked"), std::string::npos);
    // perf's intervals, placed from its start line; without one, said.
    std::string perf = "# started on 2024-05-01T10:00:00,000000000+00:00\n";
    for (int i = 1; i <= 2; ++i)
        for (int k = 0; k < 2; ++k)
            perf += "  " + std::to_string(i) + ".000 S" + std::to_string(k) + " 1 " + std::to_string(10 * (2 * i - 1) + 10 * k) +
                    " Joules power/energy-pkg/\n";
    write_file(dir.file("p.cpu.pwr"), perf);
    r = run_tool(dir.path, {"--gpu-time=stamps", "--cpu-format=perf", "--phases=marks", "p", "0", "0"});
    EXPECT_EQ(phase_block(r.output, "p"), p);
    write_file(dir.file("p.cpu.pwr"), perf.substr(perf.find('\n') + 1));
    r = run_tool(dir.path, {"--gpu-time=stamps", "--cpu-format=perf", "--phases=marks", "p", "0", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.errors.find("# started on"), std::string::npos) << r.errors;
    write_phase_case(dir);
    // The row of one phase, or of the run net of idle power.
    write_file(dir.file("results.txt"), "");
    run_tool(dir.path, {"--gpu-time=stamps", "--phases=marks", "--row=p", "p", "1", "0"});
    run_tool(dir.path, {"--gpu-time=stamps", "--phases=marks", "--idle-watts=gpu1:100", "--row=net", "p", "1", "0"});
    EXPECT_EQ(read_file(dir.file("results.txt")), "400\t\t22.5\t\t35\t\t57.5\t\t\t209.375\t\t0\t\t0\t\t0\t\t209.375\n"
                                                   "500\t\t40\t\t60\t\t100\t\t\t100\t\t0\t\t0\t\t0\t\t100\n");
    // Rows of many phases with a long label: one append of 40 kB, whole.
    std::string many, label(1000, 'x');
    for (int i = 0; i < 40; ++i)
        many += "1714557601." + std::to_string(10 + i) + " s" + std::to_string(i) + " begin\n1714557601." +
                std::to_string(10 + i) + "5 s" + std::to_string(i) + " end\n";
    write_file(dir.file("many"), many);
    write_file(dir.file("results.txt"), "");
    r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=many", "--phase-rows", "--label=" + label, "p", "1", "0"});
    EXPECT_EQ(r.status, 0);
    std::string rows = read_file(dir.file("results.txt"));
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 42);
    EXPECT_NE(rows.find(label + "/s39\n"), std::string::npos);
    // Net of idle power: the mean over [0, 1] (the node's 250 J, CPU1's 10,
    // CPU2's 20, the GPU's 150), times each meter's seconds in the phase.
    write_file(dir.file("idle"), "1714557600 idle begin\n1714557601 idle end\n1714557601 work begin\n"
                                 "1714557602 work end\n");
    r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=idle", "--idle=idle", "p", "0", "0"});
    std::string work = phase_block(r.output, "work");
    EXPECT_EQ(work.substr(work.find("net ")), block_of("", 0, 200 - 250 * 0.5, 30 - 10, 40 - 20, 150 - 150, "net "));
    r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=marks", "--idle-watts=total:100,gpu1:100", "p", "0", "0"});
    std::string net = phase_block(r.output, "p");
    EXPECT_EQ(net.substr(net.find("net ")), block_of("", 0, 400 - 125, 22.5, 35, 209.375 - 125, "net "));
}

// Phases and unmarked add up to the whole run, each figure, on a case whose
// meters keep their own periods (the node's 0.5 s under time-of-day
// stamps, a CPU's 1 s, two GPUs' 0.1 s in one log, each a little off); with
// --phase-rows, the run's row and each phase's go in together.
TEST(Cli, PhasesAddUpToTheRun)
{
    // The logs' times without an offset are on the node's clock: UTC here,
    // as the marks with Z are.
    setenv("TZ", "UTC", 1);
    scratch_dir dir;
    std::string total, cpu = "time h pkg0 a b c pkg1\n", gpus = "timestamp, index, power.draw.instant [W]\n";
    // CPU1's intervals' ends and joules, GPU1's points, in seconds from 10:00.
    std::vector<double> cpu_t, cpu_j, gpu_t, gpu_w;
    for (int i = 0; i < 240; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "10:%02d:%02d A %d.%d\n", i / 120, i / 2 % 60, 400 + i % 37, i % 10);
        total += line;
        std::snprintf(line, sizeof line, "10:%02d:%02d.%03d h %d.5 a b c %d.25\n", i / 60, i % 60, i % 7, 90 + i % 11,
                      80 + i % 5);
        cpu += i < 120 ? line : "";
        if (i < 120) {
            cpu_t.push_back(i + (i % 7) / 1000.0);
            cpu_j.push_back(90 + i % 11 + 0.5);
        }
    }
    for (int i = 0; i < 1200; ++i)
        for (int g = 0; g < 2; ++g) {
            char line[96];
            double t = i * 0.1 + g * 0.003;
            std::snprintf(line, sizeof line, "2024/05/01 10:%02d:%06.3f, %d, %d.%02d W\n", static_cast<int>(t) / 60,
                          std::fmod(t, 60), g, 100 + (i * 13 + g) % 97, i % 100);
            gpus += line;
            if (g == 0) {
                gpu_t.push_back(i / 10.0);
                gpu_w.push_back(std::strtod(line + std::string(line).rfind(", ") + 2, nullptr));
            }
        }
    write_file(dir.file("c.total.pwr"), total);
    write_file(dir.file("c.cpu.pwr"), cpu);
    write_file(dir.file("gpus.csv"), gpus);
    write_file(dir.file("marks"), "2024-05-01T10:00:00.3+00:00 idle begin\n2024-05-01T10:00:10.05Z idle end\n"
                                  "2024-05-01 10:00:12.77 load begin\n2024-05-01T10:00:30.01Z load end\n"
                                  "2024-05-01T10:00:30.01Z compute begin\n1714557700.123 compute end\n"
                                  "2024-05-01T10:01:45.5Z save begin\n2024-05-01T10:01:59.99Z save end\n");
    write_file(dir.file("results.txt"), "");
    tool_result r = run_tool(dir.path, {"--gpu-log=gpus.csv", "--phases=marks", "--idle=idle", "--phase-rows",
                                        "--label=c", "c", "1", "0"});
    ASSERT_EQ(r.status, 0) << r.errors;
    // Each figure's line values, whole run first, then each block's.
    std::vector<std::vector<double>> figures;
    std::vector<std::string> labels;
    for (size_t at = 0; at < r.output.size();) {
        size_t nl = r.output.find('\n', at);
        std::string line = r.output.substr(at, nl - at);
        at = nl + 1;
        if (line.rfind("phase: ", 0) == 0 || figures.empty())
            figures.emplace_back();
        if (line.rfind("seconds", 0) == 0 || line.rfind("net ", 0) == 0 || line.rfind("phase", 0) == 0)
            continue;
        if (figures.size() == 1)
            labels.push_back(line.substr(0, line.find(':')));
        figures.back().push_back(std::stod(line.substr(line.find(": ") + 2)));
    }
    ASSERT_EQ(figures.size(), 6u) << r.output; // the run, four phases, unmarked
    for (size_t i = 0; i < figures[0].size(); ++i) {
        double sum = 0;
        for (size_t b = 1; b < figures.size(); ++b)
            sum += figures[b][i];
        EXPECT_NEAR(sum, figures[0][i], 1e-9 * std::fabs(figures[0][i]) + 2e-6) << labels[i];
    }
    // Each phase's CPU1 and GPU1 as the difference of the meter's energy
    // up to its two edges: the CPU's spread evenly over each interval (the
    // first as long as the second), the GPU's power linear between points.
    auto cpu_upto = [&](double t) {
        double e = 0;
        for (size_t i = 0; i < cpu_t.size(); ++i) {
            double from = i > 0 ? cpu_t[i - 1] : cpu_t[0] - (cpu_t[1] - cpu_t[0]);
            e += cpu_j[i] * std::clamp((t - from) / (cpu_t[i] - from), 0.0, 1.0);
        }
        return e;
    };
    auto gpu_upto = [&](double t) {
        double e = 0;
        for (size_t i = 1; i < gpu_t.size() && gpu_t[i - 1] < t; ++i) {
            double end = std::min(t, gpu_t[i]);
            double p_end = gpu_w[i - 1] + (gpu_w[i] - gpu_w[i - 1]) * (end - gpu_t[i - 1]) / (gpu_t[i] - gpu_t[i - 1]);
            e += (gpu_w[i - 1] + p_end) * (end - gpu_t[i - 1]) / 2;
        }
        return e;
    };
    const double edges[4][2] = {{0.3, 10.05}, {12.77, 30.01}, {30.01, 100.123}, {105.5, 119.99}};
    for (size_t p = 0; p < 4; ++p) {
        const double* e = edges[p];
        EXPECT_NEAR(figures[1 + p][1], cpu_upto(e[1]) - cpu_upto(e[0]), 2e-6) << p;
        EXPECT_NEAR(figures[1 + p][4], gpu_upto(e[1]) - gpu_upto(e[0]), 2e-6) << p;
    }
    std::string table = read_file(dir.file("results.txt"));
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 6);
    for (const char* label : {"\t\tc\n", "\t\tc/idle\n", "\t\tc/load\n", "\t\tc/compute\n", "\t\tc/save\n",
                              "\t\tc/unmarked\n"})
        EXPECT_NE(table.find(label), std::string::npos) << label;
}

// The figures of a run: each labelled line's value, the summary's first,
// then each phase block's, net lines and seconds left out.
std::vector<std::vector<double>> figure_blocks(const std::string& output)
{
    std::vector<std::vector<double>> blocks(1);
    for (size_t at = 0; at < output.size();) {
        size_t nl = output.find('\n', at);
        std::string line = output.substr(at, nl - at);
        at = nl + 1;
        if (line.rfind("phase: ", 0) == 0)
            blocks.emplace_back();
        else if (line.rfind("seconds", 0) != 0 && line.rfind("net ", 0) != 0)
            blocks.back().push_back(std::stod(line.substr(line.find(": ") + 2)));
    }
    return blocks;
}

// One case read through every path that takes its logs: the node log by
// its period, the CPU log's fields 3 and 7, the stamped GPU log, read
// plainly (at once, as large logs are), through --cpu-format=columns, as
// the one log of every GPU (read plainly, and in time alone for a
// picture), and again in time by phases (whose blocks add up to the run)
// and as the series (whose trapezoid is GPU1). Every path
// gives the same sums: one that took a reading from another place would
// show here.
TEST(Cli, EveryPathReadsTheSameLogs)
{
    scratch_dir dir;
    std::string total, cpu = "time h pkg0 a b c pkg1\n", gpu, one = "timestamp, power.draw [W]\n";
    for (int i = 0; i < 150000; ++i) {
        char line[96];
        long long t = 1714557600 + i / 2;
        std::snprintf(line, sizeof line, "%lld.%d A %d.%d\n", t, i % 2 * 5, 400 + i % 37, i % 10);
        total += line;
        std::snprintf(line, sizeof line, "%lld.%d h %d.5 a b c %d.25\n", t, i % 2 * 5, 40 + i % 11, 30 + i % 5);
        cpu += line;
        if (i % 10 == 0) {
            std::snprintf(line, sizeof line, "%lld.%d, %d.%02d W\n", t, i % 2 * 5, 100 + i % 97, i % 100);
            gpu += line;
            one += line;
        }
    }
    write_file(dir.file("c.total.pwr"), total);
    write_file(dir.file("c.cpu.pwr"), cpu);
    write_file(dir.file("gpupower1.out"), gpu);
    write_file(dir.file("gpus.csv"), one);
    std::vector<std::string> paths[] = {
        {"--gpu-time=stamps"},
        {"--gpu-time=stamps", "--cpu-format=columns"},
        {"--gpu-log=gpus.csv"},
        {"--gpu-time=stamps", "--window=+100,-100", "--series=s.csv"},
        {"--gpu-log=gpus.csv", "--plot=p.svg"}, // the one log read in time alone
    };
    std::vector<std::vector<std::vector<double>>> runs;
    for (auto& words : paths) {
        words.insert(words.end(), {"c", "0", "0"});
        tool_result r = run_tool(dir.path, words);
        ASSERT_EQ(r.status, 0) << words[0] << r.errors;
        runs.push_back(figure_blocks(r.output));
    }
    const auto& plain = runs[0][0];
    for (size_t k = 1; k < runs.size(); ++k)
        EXPECT_EQ(runs[k][0], plain) << paths[k][1];
    const auto& phased = runs[3];
    ASSERT_EQ(phased.size(), 3u);
    for (size_t i = 0; i < plain.size(); ++i)
        EXPECT_NEAR(phased[1][i] + phased[2][i], plain[i], 1e-9 * std::fabs(plain[i])) << i;
    EXPECT_GT(phased[1][1], 0.9 * plain[1]); // the window holds most of CPU1
    double energy = 0, last_s = 0, last_w = 0;
    bool any = false;
    std::string series = read_file(dir.file("s.csv"));
    for (size_t at = series.find('\n') + 1; at < series.size();) {
        size_t nl = series.find('\n', at);
        std::string line = series.substr(at, nl - at);
        at = nl + 1;
        if (line.find(",GPU1,") == std::string::npos)
            continue;
        double seconds = std::stod(line), watts = std::stod(line.substr(line.rfind(',') + 1));
        energy += any ? (last_w + watts) * (seconds - last_s) / 2 : 0;
        last_s = seconds, last_w = watts, any = true;
    }
    EXPECT_NEAR(energy, plain[4], 1e-9 * plain[4]);
    // A plain GPU log, each line over its period from the node log's start,
    // the node log by its period and the CPU log, read in time alone: their
    // readings, as the record gives them, hold their figures, a line longer
    // than the timed pass's slice among them; a blank CPU line is no
    // reading; what is said of them is what the plain reading says.
    std::string readings;
    for (int i = 0; i < 150000; ++i)
        readings += std::to_string(100 + i % 97) + "." + std::to_string(i % 10) + " W\n";
    readings += std::string(40000, ' ') + "150 W\n-2.5 W\n";
    write_file(dir.file("gpupower1.out"), readings);
    write_file(dir.file("c.total.pwr"), total + "1714632600.0 A " + std::string(40000, '0') + "150\n" + total);
    write_file(dir.file("c.cpu.pwr"), cpu + "\n1714632600.0 h 12.5 a b c" + std::string(40000, ' ') + "7.25\n");
    tool_result r = run_tool(dir.path, {"--record=r.jsonl", "c", "0", "0"});
    ASSERT_EQ(r.status, 0) << r.errors;
    tool_result plain_run = run_tool(dir.path, {"c", "0", "0"});
    EXPECT_EQ(r.output, plain_run.output);
    EXPECT_EQ(r.errors, plain_run.errors);
    std::string record = read_file(dir.file("r.jsonl"));
    for (const char* name : {"node", "CPU1", "GPU1"}) {
        std::string meter = record.substr(record.find("{\"meter\":\"" + std::string(name) + "\""));
        auto field = [&](const std::string& key) { return std::stod(meter.substr(meter.find(key) + key.size())); };
        EXPECT_EQ(field("\"readings\":"), *name == 'n' ? 300001 : *name == 'C' ? 150001 : 150002) << name;
        double figure = figure_blocks(r.output)[0][*name == 'n' ? 0 : *name == 'C' ? 1 : 4];
        EXPECT_NEAR(field("\"mean_watts\":") * field("\"seconds\":"), figure, 1e-9 * figure) << meter;
    }
}

// A case over several nodes: each node's logs in its directory beside the
// case's base name, read alike; the summary and the row their sums, each
// node's figures after; a node without its logs, or a list that names a
// node twice or a path, stops the run with nothing appended.
TEST(Cli, Nodes)
{
    scratch_dir dir;
    for (const char* sub : {"runs", "runs/n1", "runs/n2"})
        ASSERT_EQ(mkdir(dir.file(sub).c_str(), 0755), 0) << sub;
    write_file(dir.file("runs/n1/c7.total.pwr"), "10:00:00 A 100\n10:00:01 A 101.5\n");
    write_file(dir.file("runs/n1/c7.cpu.pwr"), "h\n10:00:00 n 10.5 b c d 20.25\n");
    write_file(dir.file("runs/n1/gpupower1.out"), "150 W\n250 W\n");
    write_file(dir.file("runs/n2/c7.total.pwr"), "10:00:00 A 300\n");
    write_file(dir.file("runs/n2/c7.cpu.pwr"), "h\n10:00:00 n 1.5 b c d 0.75\n");
    write_file(dir.file("runs/n2/gpupower1.out"), "100 W\n");
    write_file(dir.file("results.txt"), "");
    write_file(dir.file("hosts"), "n1\n\nn2\n");
    std::string n1 = "total energy: 100.750000\nCPU1: 10.500000\nCPU2: 20.250000\ntotal CPU: 30.750000\n"
                     "GPU1: 40.000000\nGPU2: 0.000000\nGPU3: 0.000000\nGPU4: 0.000000\ntotal GPU: 40.000000\n";
    std::string n2 = "total energy: 150.000000\nCPU1: 1.500000\nCPU2: 0.750000\ntotal CPU: 2.250000\n"
                     "GPU1: 10.000000\nGPU2: 0.000000\nGPU3: 0.000000\nGPU4: 0.000000\ntotal GPU: 10.000000\n";
    std::string sum = "total energy: 250.750000\nCPU1: 12.000000\nCPU2: 21.000000\ntotal CPU: 33.000000\n"
                      "GPU1: 50.000000\nGPU2: 0.000000\nGPU3: 0.000000\nGPU4: 0.000000\ntotal GPU: 50.000000\n";
    for (const char* nodes : {"--nodes=n1,n2", "--nodes=@hosts"}) {
        tool_result r = run_tool(dir.path, {nodes, "runs/c7", "1", "0"});
        EXPECT_EQ(r.status, 0) << nodes << r.errors;
        EXPECT_EQ(r.output, sum + "node: n1\n" + n1 + "node: n2\n" + n2) << nodes;
    }
    const std::string row = "250.75\t\t12\t\t21\t\t33\t\t\t50\t\t0\t\t0\t\t0\t\t50\n";
    EXPECT_EQ(read_file(dir.file("results.txt")), row + row);
    struct {
        std::string nodes;
        std::string error;
    } refused[] = {
        {"--nodes=n1,n3", "energy-totals: --nodes: node n3's logs can't be read; nothing is appended\n"},
        {"--nodes=n1,n1", "energy-totals: --nodes: a name given twice: n1\n"},
        {"--nodes=n1,../n2", "energy-totals: --nodes: a name that holds /: ../n2\n"},
        {"--nodes=n1,", "energy-totals: --nodes: an empty name\n"},
        {"--nodes=@big", "energy-totals: --nodes: couldn't read big: it is over 1 MiB, no list of names\n"},
        {"--nodes=@none", "energy-totals: --nodes: couldn't read none: No such file or directory\n"},
    };
    write_file(dir.file("big"), std::string((1 << 20) + 1, 'n'));
    for (const auto& c : refused) {
        tool_result r = run_tool(dir.path, {c.nodes, "runs/c7", "1", "0"});
        EXPECT_EQ(r.status, 255) << c.nodes;
        EXPECT_NE(r.errors.find(c.error), std::string::npos) << c.nodes << r.errors;
    }
    EXPECT_EQ(read_file(dir.file("results.txt")), row + row);
    // With --node-rows, each node's row after the run's, in the same append.
    write_file(dir.file("results.txt"), "");
    tool_result r = run_tool(dir.path, {"--nodes=n1,n2", "--node-rows", "--label=c7", "runs/c7", "1", "0"});
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(read_file(dir.file("results.txt")),
              "250.75\t\t12\t\t21\t\t33\t\t\t50\t\t0\t\t0\t\t0\t\t50\t\tc7\n"
              "100.75\t\t10.5\t\t20.25\t\t30.75\t\t\t40\t\t0\t\t0\t\t0\t\t40\t\tc7@n1\n"
              "150\t\t1.5\t\t0.75\t\t2.25\t\t\t10\t\t0\t\t0\t\t0\t\t10\t\tc7@n2\n");
    VerifyUsageError(dir, {"--node-rows", "--label=c7", "runs/c7", "1", "0"},
                     "--node-rows: needs --nodes and --label, the rows are labelled LABEL@NODE");
    // A node whose log starts a minute after the other's: both said, the
    // figures summed as ever.
    EXPECT_EQ(run_tool(dir.path, {"--nodes=n1,n2", "runs/c7", "0", "0"}).errors.find("node log covers"), std::string::npos);
    write_file(dir.file("runs/n2/c7.total.pwr"), "10:01:00 A 300\n");
    r = run_tool(dir.path, {"--nodes=n1,n2", "runs/c7", "0", "0"});
    EXPECT_EQ(r.output.substr(0, r.output.find('\n')), "total energy: 250.750000");
    EXPECT_NE(r.errors.find("node n2's node log covers 60.0 s to 60.0 s of the nodes' 60.0 s"), std::string::npos)
        << r.errors;
    EXPECT_NE(r.errors.find("node n1's node log covers 0.0 s to 1.0 s"), std::string::npos) << r.errors;
}

// Each line "LABEL: NUMBER" of sum against the same lines of parts: the
// figures added, the seconds the longest.
void ExpectLinesSum(const std::string& sum, const std::vector<std::string>& parts)
{
    std::vector<std::istringstream> in;
    for (const auto& p : parts)
        in.emplace_back(p);
    std::istringstream s(sum);
    for (std::string line; std::getline(s, line);) {
        size_t colon = line.find(": ");
        double want = 0;
        for (auto& i : in) {
            std::string l;
            std::getline(i, l);
            ASSERT_EQ(l.substr(0, colon), line.substr(0, colon)) << sum;
            double v = std::strtod(l.c_str() + colon + 2, nullptr);
            want = line.compare(0, 8, "seconds:") == 0 ? std::max(want, v) : want + v;
        }
        if (line.compare(0, 6, "phase:") != 0) {
            EXPECT_NEAR(std::strtod(line.c_str() + colon + 2, nullptr), want, 1e-5) << line;
        }
    }
}

// A case over three nodes in time, their logs of other lengths, clocks and
// powers: the sums and each node's blocks against each node's run alone,
// their rows in one append, and the record of each node.
TEST(Cli, NodesInTime)
{
    scratch_dir dir;
    const std::vector<std::string> names = {"n1", "n2", "n3"};
    ASSERT_EQ(mkdir(dir.file("runs").c_str(), 0755), 0);
    for (int i = 0; i < 3; ++i) {
        std::string d = dir.file("runs/" + names[static_cast<size_t>(i)]) + "/";
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        // Node i's clock i tenths of a second on, its power i + 1 times, a
        // line more each.
        std::string total, gpu;
        for (int k = 0; k < 4 + i; ++k) {
            char line[96];
            std::snprintf(line, sizeof line, "%.1f A %d\n", 1714557600 + 0.5 * k + 0.1 * i, (k + 1) * 100 * (i + 1));
            total += line;
            std::snprintf(line, sizeof line, "%.1f, %d\n", 1714557600 + 0.5 * k + 0.1 * i, 150 + 10 * k + i);
            gpu += line;
        }
        write_file(d + "p.total.pwr", total);
        write_file(d + "p.cpu.pwr", "time h cpu1 a b c cpu2\n1714557601 h 10 a b c 20\n1714557602 h " +
                                        std::to_string(30 + i) + " a b c 40\n");
        write_file(d + "gpupower1.out", gpu);
        write_file(d + "results.txt", "");
    }
    write_file(dir.file("m"), "1714557600.6 a begin\n1714557601.2 a end\n");
    write_file(dir.file("results.txt"), "");
    const std::vector<std::string> asked = {"--gpu-time=stamps", "--phases=" + dir.file("m"), "--phase-rows",
                                            "--label=c", "--series=s.csv"};
    std::vector<std::string> words = asked;
    words.insert(words.end(), {"--nodes=n1,n2,n3", "--node-rows", "--record=rec", "--plot=p.svg", "runs/p", "1", "0"});
    tool_result r = run_tool(dir.path, words);
    ASSERT_EQ(r.status, 0) << r.errors;
    std::vector<std::string> alone;
    std::string rows;
    auto line_count = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
    long readings = 0;
    for (const auto& n : names) {
        words = asked;
        words.insert(words.end(), {"p", "1", "0"});
        tool_result a = run_tool(dir.file("runs/" + n), words);
        ASSERT_EQ(a.status, 0) << n << a.errors;
        alone.push_back(a.output);
        readings += line_count(read_file(dir.file("runs/" + n + "/s.csv"))) - 1;
        // The node's rows as its run alone writes them, labelled c@NODE.
        std::istringstream lines(read_file(dir.file("runs/" + n + "/results.txt")));
        for (std::string line; std::getline(lines, line);)
            rows += line.insert(line.find("\tc") + 2, "@" + n) + "\n";
        EXPECT_NE(r.output.find("node: " + n + "\n" + a.output), std::string::npos) << n << r.output;
    }
    ExpectLinesSum(r.output.substr(0, r.output.find("node: ")), alone);
    // The series: every node's readings, each meter named with its node.
    std::string series = read_file(dir.file("s.csv"));
    EXPECT_EQ(line_count(series) - 1, readings);
    EXPECT_NE(series.find(",GPU1@n3,"), std::string::npos) << series;
    // Read one node at a time, on one CPU: the same.
    words = asked;
    words.insert(words.end(), {"--nodes=n1,n2,n3", "runs/p", "0", "0"});
    tool_result one_cpu = run_tool_with(dir.path, words, [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        sched_setaffinity(0, sizeof set, &set);
    });
    EXPECT_EQ(one_cpu.output, r.output);
    EXPECT_EQ(one_cpu.errors, run_tool(dir.path, words).errors);
    std::string table = read_file(dir.file("results.txt"));
    size_t parts = table.rfind('\n', table.find("\tc@n1\n")) + 1;
    EXPECT_EQ(table.substr(parts), rows);
    EXPECT_EQ(std::count(table.begin(), table.begin() + static_cast<long>(parts), '\n'), 3) << table;
    std::string record = read_file(dir.file("rec"));
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 1);
    for (const char* part : {"\"nodes\":[{\"node\":\"n1\"", "\"meter\":\"GPU1@n3\"", "{\"node\":\"n3\""})
        EXPECT_NE(record.find(part), std::string::npos) << part << record;
    // The picture: each node's curves and their sum, each node's mean (n1's
    // node meter: 100 to 400 W) in the legend.
    std::string picture = read_file(dir.file("p.svg"));
    EXPECT_NE(picture.find("</svg>"), std::string::npos);
    for (const char* part : {">n1: node mean 250.0 W, peak 400.0 W;", ">n3: node mean", ">the nodes' sum: node mean"})
        EXPECT_NE(picture.find(part), std::string::npos) << part;
}

// Marks and phases that can't be read: status 255, the file and line
// quoted, nothing written; a phase partly outside a log, said.
TEST(Cli, PhaseErrors)
{
    scratch_dir dir;
    write_phase_case(dir);
    write_file(dir.file("results.txt"), "");
    struct {
        std::string marks;
        std::string output;
        std::string error;
    } cases[] = {
        {"1714557601 a end\n", "couldn't read m: its marks do not fit\n", "line 1, \"1714557601 a end\": an end with no begin"},
        {"1714557600 a begin\n", "couldn't read m: its marks do not fit\n", "line 1: a begins with no end"},
        {"1714557601 a begin\n1714557600 a end\n", "couldn't read m: its marks do not fit\n", "a ends before it begins"},
        {":::MLLOG {\"time_ms\": 1714557601000, \"key\": \"power_measurement_start\"}\n"
         ":::MLLOG {\"time_ms\": 1714557601000, \"key\": \"power_measurement_stop\"}\n",
         "couldn't read m: its marks do not fit\n", "power ends where it begins (at line 1): a phase of no time"},
        {"10:00:01 a begin\n10:00:02 a end\n", "couldn't read m: its marks do not fit\n", "give the date too"},
        {"1714557600 unmarked begin\n1714557601 unmarked end\n", "couldn't read m: its marks do not fit\n",
         "give the phase another name"},
        {"1714560000 a begin\n1714560001 a end\n", "couldn't place phase a: it lies outside p.total.pwr\n",
         "are the marks of this case?"},
        {"2024-05-01T10:00:00Z my phase begin\n", "couldn't read m: its marks do not fit\n",
         "a phase's name is one word, without blanks"},
        {"#" + std::string(1 << 20, 'x'), "couldn't read m: its marks do not fit\n", "line 1 is longer than 1 MiB"},
        {std::string(65 << 20, '\n'), "couldn't read m: its marks do not fit\n", "it is over 64 MiB"},
    };
    for (const auto& c : cases) {
        write_file(dir.file("m"), c.marks);
        tool_result r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=m", "p", "1", "0"});
        EXPECT_EQ(r.status, 255) << c.marks.substr(0, 80);
        EXPECT_EQ(r.output, c.output) << c.marks.substr(0, 80);
        EXPECT_NE(r.errors.find(c.error), std::string::npos) << c.marks.substr(0, 80) << r.errors;
    }
    tool_result endless = run_tool(dir.path, {"--gpu-time=stamps", "--phases=/dev/zero", "p", "1", "0"});
    EXPECT_EQ(endless.status, 255);
    EXPECT_NE(endless.errors.find("line 1 is longer than 1 MiB"), std::string::npos) << endless.errors;
    write_file(dir.file("m"), "1714557600 a begin\n1714557601 a end\n");
    write_file(dir.file("p.total.pwr"), "A B 100\nA B 200\n");
    tool_result r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=m", "p", "1", "0"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "couldn't place p.total.pwr in time\n");
    write_phase_case(dir);
    EXPECT_EQ(read_file(dir.file("results.txt")), "");
    VerifyUsageError(dir, {"--phases=m", "p", "0", "0"},
                     "--phases: the GPU logs have no stamps to place them in time: read them with "
                     "--gpu-time=stamps, or one log of every GPU with --gpu-log=FILE");
    VerifyUsageError(dir, {"--idle=x", "p", "0", "0"}, "--idle: needs --phases=FILE or --window=FROM,TO");
    VerifyUsageError(dir, {"-gpus=2", "p", "0", "0"}, "-gpus=2: an option starts with two dashes (--gpus=2); see --help");
    r = run_tool(dir.path, {"--gpu-time=stamps", "--window=+0,-0", "--idle-watts=total:410,cpu:35", "p", "0", "0"});
    EXPECT_NE(r.errors.find("energy-totals: --idle-watts: \"cpu\" names a meter this run has not: total, cpu1 to "
                            "cpu2, gpu1 to gpu1\n"), std::string::npos) << r.errors;
    // A window of no time, by stamps or by offsets.
    for (const char* window : {"--window=1714557600.5,1714557600.5", "--window=+0.75,-0.75"}) {
        r = run_tool(dir.path, {"--gpu-time=stamps", window, "p", "0", "0"});
        EXPECT_EQ(r.status, 255) << window;
        EXPECT_NE(r.errors.find("ends where it begins"), std::string::npos) << window << r.errors;
    }
    // Partly outside: its covered part, said once a log.
    write_file(dir.file("m"), "1714557599 a begin\n1714557601 a end\n");
    r = run_tool(dir.path, {"--gpu-time=stamps", "--phases=m", "p", "0", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "energy-totals: p: phase a: p.total.pwr covers 1.500 s of its 2.000 s; its figures are "
                        "of that part\n"
                        "energy-totals: p: phase a: p.cpu.pwr covers 1.000 s of its 2.000 s; its figures are of "
                        "that part\n"
                        "energy-totals: p: phase a: gpupower1.out covers 1.000 s of its 2.000 s; its figures are "
                        "of that part\n"
                        "energy-totals: p: phase a lasts 2.000 s, less than three GPU readings (1.000 s apart): "
                        "its GPU figures rest on a few points\n");
}

TEST(Cli, BundledExample)
{
    scratch_dir dir;
    for (const char* name : {"case1.total.pwr", "case1.cpu.pwr", "gpupower1.out", "results.txt"})
        write_file(dir.file(name), read_file(std::string(ENERGY_TOTALS_EXAMPLES) + "/" + name));
    std::string before = read_file(dir.file("results.txt"));
    ASSERT_FALSE(before.empty());
    tool_result r = run_tool(dir.path, {"case1", "1", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 9);
    std::string after = read_file(dir.file("results.txt"));
    ASSERT_EQ(after.compare(0, before.size(), before), 0);
    std::string row = after.substr(before.size());
    EXPECT_EQ(std::count(row.begin(), row.end(), '\t'), 8 * 2 + 1);
    EXPECT_EQ(row.back(), '\n');
}

} // namespace
