// The two renderings of the figures, the table's name, and the append.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "table/table_append.h"
#include "report/summary_output.h"
#include "table/table_lock.h"
#include "test_util.h"

namespace {

std::string row_text(const energy_summary& s, const char* label = nullptr)
{
    char row[results_row_size];
    int length = format_results_row(s, label, row, sizeof row);
    EXPECT_GT(length, 0);
    EXPECT_LT(static_cast<size_t>(length), sizeof row);
    return std::string(row, static_cast<size_t>(length));
}

const pid_t test_process = getpid();

// Appends s's row to table; returns the status, having checked that a
// failure other than a refused undo says so. The append holds every signal
// until the process exits, as the tool does. The test process itself lets
// them go again (a child forked to append keeps them), or the tools that
// later tests start would inherit the held mask and outlive their SIGTERM
// when the suite runs as one process.
int append_row(const std::string& table, const energy_summary& s, const char* label = nullptr)
{
    std::string row = row_text(s, label);
    int undo_error = 0;
    int err = append_results_row(table.c_str(), row.data(), row.size(), &undo_error);
    EXPECT_EQ(undo_error, 0) << table;
    uint64_t none = 0;
    if (getpid() == test_process)
        syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    return err;
}

// How many entries the directory at path holds, "." and ".." included.
int entries(const std::string& path)
{
    DIR* dir = opendir(path.c_str());
    int count = 0;
    while (dir != nullptr && readdir(dir) != nullptr)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count;
}

// All that was written to f.
std::string read_stream(FILE* f)
{
    std::string text;
    char buf[512];
    std::rewind(f);
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    return text;
}

energy_summary figures(double total, double cpu1, double cpu2, double gpu1)
{
    energy_summary s;
    s.total_energy = total;
    s.cpu1 = cpu1;
    s.cpu2 = cpu2;
    s.gpu1 = gpu1;
    return s;
}

TEST(ConsoleSummary, NineLabelledLines)
{
    EXPECT_EQ(console_text(energy_summary{}),
              "total energy: 0.000000\nCPU1: 0.000000\nCPU2: 0.000000\ntotal CPU: 0.000000\n"
              "GPU1: 0.000000\nGPU2: 0.000000\nGPU3: 0.000000\nGPU4: 0.000000\n"
              "total GPU: 0.000000\n");
    EXPECT_EQ(console_text(figures(1.5e6, 20, 1.25, 0.1)),
              "total energy: 1500000.000000\nCPU1: 20.000000\nCPU2: 1.250000\n"
              "total CPU: 21.250000\nGPU1: 0.100000\nGPU2: 0.000000\nGPU3: 0.000000\n"
              "GPU4: 0.000000\ntotal GPU: 0.100000\n");
    EXPECT_EQ(console_text(figures(-HUGE_VAL, 1e-7, NAN, -NAN)),
              "total energy: -inf\nCPU1: 0.000000\nCPU2: nan\ntotal CPU: nan\nGPU1: -nan\n"
              "GPU2: 0.000000\nGPU3: 0.000000\nGPU4: 0.000000\ntotal GPU: -nan\n");
}

TEST(ResultsRow, TabPattern)
{
    EXPECT_EQ(row_text(energy_summary{}), "0\t\t0\t\t0\t\t0\t\t\t0\t\t0\t\t0\t\t0\t\t0\n");
    EXPECT_EQ(row_text(figures(1.5e6, 20, 1.25, 123456.7)),
              "1.5e+06\t\t20\t\t1.25\t\t21.25\t\t\t123457\t\t0\t\t0\t\t0\t\t123457\n");
    EXPECT_EQ(row_text(figures(0.0001, 0.00001, -2.5, 1e300)),
              "0.0001\t\t1e-05\t\t-2.5\t\t-2.49999\t\t\t1e+300\t\t0\t\t0\t\t0\t\t1e+300\n");
    // The widest figures still fit the row buffer.
    energy_summary widest = figures(-1.7976931348623157e308, -1.7976931348623157e308,
                                    -2.2250738585072014e-308, -1.7976931348623157e308);
    widest.gpu2 = widest.gpu3 = widest.gpu4 = -4.9e-324;
    row_text(widest);
}

// The sum of two NaNs, or of infinities of both signs, is pinned so that no
// compiler or CPU can print "nan" where another prints "-nan".
TEST(DerivedTotals, SumsInTheirOrder)
{
    EXPECT_EQ(total_cpu(figures(0, 1, 2, 0)), 3);
    EXPECT_EQ(total_gpu(figures(0, 0, 0, 2.5)), 2.5);
    EXPECT_TRUE(std::signbit(total_cpu(figures(0, -NAN, NAN, 0))));
    EXPECT_FALSE(std::signbit(total_cpu(figures(0, NAN, -NAN, 0))));
    EXPECT_FALSE(std::signbit(total_cpu(figures(0, 1, NAN, 0))));
    EXPECT_TRUE(std::isnan(total_cpu(figures(0, HUGE_VAL, -HUGE_VAL, 0))));
    EXPECT_TRUE(std::signbit(total_cpu(figures(0, HUGE_VAL, -HUGE_VAL, 0))));
    EXPECT_TRUE(std::signbit(add_figures(-HUGE_VAL, HUGE_VAL)));
    EXPECT_EQ(add_figures(-0.0, 0.0), 0.0);
    EXPECT_FALSE(std::signbit(add_figures(-0.0, 0.0)));
}

TEST(ResultsTableName, FromResultsId)
{
    EXPECT_STREQ(results_table_name(0).text, "results.txt");
    EXPECT_STREQ(results_table_name(-5).text, "results.txt");
    EXPECT_STREQ(results_table_name(INT32_MIN).text, "results.txt");
    EXPECT_STREQ(results_table_name(1).text, "results1.txt");
    EXPECT_STREQ(results_table_name(12).text, "results12.txt");
    EXPECT_STREQ(results_table_name(INT32_MAX).text, "results2147483647.txt");
}

TEST(AppendResultsRow, AddsAfterTheLastByte)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    energy_summary s = figures(20, 1.25, 2, 0.5);
    std::string row = row_text(s);

    write_file(table, "heading\n");
    ASSERT_EQ(append_row(table, s), 0);
    ASSERT_EQ(append_row(table, s), 0);
    EXPECT_EQ(read_file(table), "heading\n" + row + row);


    write_file(table, "");
    ASSERT_EQ(append_row(table, s), 0);
    EXPECT_EQ(read_file(table), row);
}

TEST(AppendResultsRow, TableIsNeverCreated)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    EXPECT_EQ(append_row(table, energy_summary{}), ENOENT);
    EXPECT_FALSE(file_exists(table));
    EXPECT_EQ(append_row(dir.path, energy_summary{}), EISDIR);
    std::string dangling = dir.file("dangling.txt");
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_EQ(append_row(dangling, energy_summary{}), ENOENT);
    EXPECT_FALSE(file_exists(dir.file("nowhere")));
}

// A write that stops part way (here at the file size limit) leaves the
// table as it was, not with half a row.
TEST(AppendResultsRow, FailedWriteLeavesTableAsItWas)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    std::string before = "heading\n0\t\t0\n";
    write_file(table, before);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {before.size() + 5, before.size() + 5};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(100);
        _exit(append_row(table, figures(1, 2, 3, 4)) == EFBIG ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(table), before);
}

// The table's record of an append, as a run stopped at some point of it
// left it: it wrote `written` where the table was `start` bytes long.
// With also, it had appended also_bytes to the file also, from its end
// less them, first.
void leave_record(const std::string& table, long long start, const std::string& written,
                  const std::string& cut = "", const std::string& also = "", const std::string& also_bytes = "",
                  long long also_start = -1)
{
    static append_record r;
    r = append_record{};
    struct stat st;
    ASSERT_EQ(stat(table.c_str(), &st), 0);
    r.inode = st.st_ino;
    r.start = start;
    r.write_size = written.size();
    r.cut_size = cut.size();
    std::memcpy(r.bytes, written.data(), written.size());
    std::memcpy(r.bytes + written.size(), cut.data(), cut.size());
    if (!also.empty()) {
        ASSERT_EQ(stat(also.c_str(), &st), 0);
        ASSERT_NE(realpath(also.c_str(), r.also_path), nullptr);
        r.also_inode = st.st_ino;
        r.also_start = also_start >= 0 ? also_start : st.st_size - static_cast<long long>(also_bytes.size());
        r.also_size = also_bytes.size();
        std::memcpy(r.bytes + written.size() + cut.size(), also_bytes.data(), also_bytes.size());
    }
    static char text[sizeof r.bytes + 8192];
    size_t n = format_append_record(r, text, sizeof text);
    ASSERT_GT(n, 0u);
    ASSERT_EQ(parse_append_record(text, n, &r), record_whole);
    write_file(table + ".append", std::string(text, n));
}

// A record left by a run that stopped is settled by the next append: its
// row stays where it is whole, is cut where it is part written, and the
// table is left alone where it was changed since or the record is torn;
// something that is no record is an error, with the table as it was.
TEST(AppendRecord, SettlesWhatAStoppedRunLeft)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    std::string row = row_text(figures(20, 1.25, 2, 0.5), "c1");
    std::string theirs = row_text(figures(41667.7, 17401, 16694.7, 3), "c2");
    const std::string heading = "heading\n";
    struct {
        std::string table_after_stop; // what the stopped run left in the table
        std::string settled;          // before this run's row
    } cases[] = {
        {heading, heading},                                  // stopped before its write
        {heading + theirs.substr(0, 11), heading},           // during
        {heading + theirs.substr(0, theirs.size() - 3), heading}, // inside its label
        {heading + theirs, heading + theirs},                // after
        {heading + "by hand\n", heading + "by hand\n"},      // the table changed since
    };
    for (const auto& c : cases) {
        write_file(table, c.table_after_stop);
        leave_record(table, static_cast<long long>(heading.size()), theirs);
        ASSERT_EQ(append_row(table, figures(20, 1.25, 2, 0.5), "c1"), 0) << c.table_after_stop;
        EXPECT_EQ(read_file(table), c.settled + row) << c.table_after_stop;
        EXPECT_FALSE(file_exists(table + ".append")) << c.table_after_stop;
    }
    // A run stopped with its record in the other file: the record is taken
    // out with its part row, and kept with its whole one. A record alone
    // (no row) is judged by itself: cut where part, kept where whole.
    std::string records = dir.file("runs.jsonl");
    const std::string first = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"c0\"}\n";
    const std::string line = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"c2\"}\n";
    for (bool whole : {false, true}) {
        write_file(table, heading + (whole ? theirs : theirs.substr(0, 11)));
        write_file(records, first + line);
        leave_record(table, static_cast<long long>(heading.size()), theirs, "", records, line);
        ASSERT_EQ(append_row(table, figures(20, 1.25, 2, 0.5), "c1"), 0);
        EXPECT_EQ(read_file(table), heading + (whole ? theirs : "") + row);
        EXPECT_EQ(read_file(records), whole ? first + line : first);
    }
    for (size_t kept : {line.size() - 1, line.size()}) {
        write_file(table, heading);
        write_file(records, first + line.substr(0, kept));
        leave_record(table, static_cast<long long>(heading.size()), "", "", records, line,
                     static_cast<long long>(first.size()));
        ASSERT_EQ(append_row(table, figures(20, 1.25, 2, 0.5), "c1"), 0);
        EXPECT_EQ(read_file(records), kept == line.size() ? first + line : first) << kept;
    }
    // Bytes that are no record line (another file's last bytes, named by
    // hand) are never cut, even with the row they go with part written.
    write_file(table, heading + theirs.substr(0, 11));
    write_file(records, "my thesis, its last line\n");
    leave_record(table, static_cast<long long>(heading.size()), theirs, "", records, "its last line\n");
    ASSERT_EQ(append_row(table, figures(20, 1.25, 2, 0.5), "c1"), 0);
    EXPECT_EQ(read_file(table), heading + row);
    EXPECT_EQ(read_file(records), "my thesis, its last line\n");
    // A torn record (its run stopped before it began on the table) goes.
    write_file(table, heading + "x\t");
    write_file(table + ".append", "energy-totals append rec");
    ASSERT_EQ(append_row(table, figures(20, 1.25, 2, 0.5), "c1"), 0);
    EXPECT_EQ(read_file(table), heading + "x\t" + row);
    EXPECT_FALSE(file_exists(table + ".append"));
    // Nothing else in its place is ever removed or acted on.
    write_file(table, heading + theirs.substr(0, 11));
    write_file(table + ".append", "my notes\n");
    FILE* notices = tmpfile();
    int undo_error = 0;
    EXPECT_EQ(append_results_row(table.c_str(), row.data(), row.size(), &undo_error, notices), EEXIST);
    EXPECT_NE(read_stream(notices).find(table + ".append is in the place of its append record"), std::string::npos);
    fclose(notices);
    EXPECT_EQ(read_file(table), heading + theirs.substr(0, 11));
    EXPECT_EQ(read_file(table + ".append"), "my notes\n");
    // The record's own grammar: whole, cut short, or another file.
    static append_record r;
    static char text[sizeof r.bytes + 128];
    r.write_size = 3;
    std::memcpy(r.bytes, "ab\n", 3);
    size_t n = format_append_record(r, text, sizeof text);
    EXPECT_EQ(parse_append_record(text, n, &r), record_whole);
    for (size_t cut = 0; cut < n; ++cut)
        EXPECT_EQ(parse_append_record(text, cut, &r), record_torn) << cut;
    text[n - 2] = 'x';
    EXPECT_EQ(parse_append_record(text, n, &r), record_torn);
    EXPECT_EQ(parse_append_record("energy-totals: hi", 17, &r), record_foreign);
}

// A last line without a newline and without a record was put there by
// someone else and is never cut: a caller's prefix (ending in a tab or
// blank) is joined to, anything else gets a newline first, said.
TEST(AppendResultsRow, ForeignTailsAreKept)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    energy_summary s = figures(20, 1.25, 2, 0.5);
    std::string row = row_text(s);
    for (const std::string& prefix : {std::string("case 7\t"), std::string("heading\nrun "),
                                      "heading\n" + row.substr(0, 10)}) {
        write_file(table, prefix);
        ASSERT_EQ(append_row(table, s), 0);
        EXPECT_EQ(read_file(table), prefix + row);
    }
    for (const std::string& kept : {std::string("my sweep"), "heading\n" + row.substr(0, 11),
                                    "heading\n" + row.substr(0, row.size() - 1)}) {
        write_file(table, kept);
        FILE* notices = tmpfile();
        int undo_error = 0;
        ASSERT_EQ(append_results_row(table.c_str(), row.data(), row.size(), &undo_error, notices), 0);
        EXPECT_EQ(read_file(table), kept + "\n" + row);
        EXPECT_EQ(read_stream(notices), "energy-totals: " + table +
                                            ": its last line had no newline; one was put before the row\n");
        fclose(notices);
    }
}

// Once the row is written, no signal that can be held ends the run: each
// one, sent while the run stalls before its sync, waits until it exits,
// with the row in.
TEST(AppendResultsRow, SignalsWaitForTheExit)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    write_file(table, "");
    std::string row = row_text(figures(1, 2, 3, 4));
    static int signal_to_send;
    int rows = 0;
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        signal_to_send = sig;
        pid_t pid = fork();
        if (pid == 0) {
            before_row_sync = [] { kill(getpid(), signal_to_send); };
            _exit(append_row(table, figures(1, 2, 3, 4)));
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << sig;
        ++rows;
    }
    std::string expected;
    for (int i = 0; i < rows; ++i)
        expected += row;
    EXPECT_EQ(read_file(table), expected);
}

// A record appended alone (a run that writes no row) goes in under the
// table's lock once a stopped run's append is settled, so it never lands
// behind that run's record line, which the settling takes out; and it
// starts a line of its own, in the table's record file or without a table.
TEST(AppendRecord, RecordAloneAfterTheTableIsSettled)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    std::string records = dir.file("runs.jsonl");
    std::string theirs = row_text(figures(41667.7, 17401, 16694.7, 3), "c2");
    const std::string first = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"c0\"}\n";
    const std::string killed = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"c2\"}\n";
    const std::string mine = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"c3\"}\n";
    write_file(table, "heading\n");
    write_file(records, first + killed);
    leave_record(table, 8, theirs, "", records, killed);
    int undo_error = 0;
    append_also also = {records.c_str(), mine.data(), mine.size()};
    ASSERT_EQ(append_results_row(table.c_str(), "", 0, &undo_error, stderr, nullptr, nullptr, 9, 2, &also), 0);
    EXPECT_EQ(read_file(table), "heading\n");
    EXPECT_EQ(read_file(records), first + mine);
    EXPECT_FALSE(file_exists(table + ".append"));
    write_file(records, "{\"cut\":");
    ASSERT_EQ(append_results_row(table.c_str(), "", 0, &undo_error, stderr, nullptr, nullptr, 9, 2, &also), 0);
    EXPECT_EQ(read_file(records), "{\"cut\":\n" + mine);
    write_file(records, "{\"cut\": ");
    ASSERT_EQ(append_line(records.c_str(), mine.data(), mine.size(), stderr), 0);
    EXPECT_EQ(read_file(records), "{\"cut\": \n" + mine);
    uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
}

// The record of a case of many nodes (some 300 kB for 64 nodes of 8 GPUs)
// goes in with its row, and a stopped run's one that size is taken back
// out; one over the most an append holds is refused, both files as they
// were.
TEST(AppendRecord, RecordOfManyNodes)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    std::string records = dir.file("runs.jsonl");
    auto record = [](const char* label, size_t size) {
        std::string head = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"" + std::string(label) + "\",\"x\":\"";
        return head + std::string(size - head.size() - 3, 'n') + "\"}\n";
    };
    const std::string killed = record("c2", 300000), mine = record("c3", 300000);
    std::string theirs = row_text(figures(41667.7, 17401, 16694.7, 3), "c2");
    std::string row = row_text(figures(41667.7, 17401, 16694.7, 3), "c3");
    write_file(table, "heading\n");
    write_file(records, killed);
    leave_record(table, 8, theirs, "", records, killed);
    int undo_error = 0;
    append_also also = {records.c_str(), mine.data(), mine.size()};
    ASSERT_EQ(append_results_row(table.c_str(), row.data(), row.size(), &undo_error, stderr, nullptr, nullptr, 9, 2,
                                 &also), 0);
    EXPECT_EQ(read_file(table), "heading\n" + row);
    EXPECT_EQ(read_file(records), mine);
    const std::string over = record("c4", max_append_size + 1);
    also = {records.c_str(), over.data(), over.size()};
    EXPECT_EQ(append_results_row(table.c_str(), row.data(), row.size(), &undo_error, stderr, nullptr, nullptr, 9, 2,
                                 &also), EOVERFLOW);
    EXPECT_EQ(read_file(table), "heading\n" + row);
    EXPECT_EQ(read_file(records), mine);
    uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
}

// A run stopped past the lock's stale rule and resumed, whose lock another
// run took meanwhile, writes nothing over that run's lines: it looks before
// each write and writes at the end as it is. Here the other run writes just
// before this one's record line (it then writes nothing), or just before
// its row (its record line is in; its row is not): said either way.
TEST(AppendResultsRow, ResumedRunNeverOverwrites)
{
    scratch_dir dir;
    static std::string table, records, other_line, other_row;
    table = dir.file("results.txt");
    records = dir.file("runs.jsonl");
    other_line = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"other\"}\n";
    other_row = row_text(figures(41667.7, 17401, 16694.7, 3), "other");
    const std::string mine = "{\"schema\":1,\"tool\":\"energy-totals\",\"label\":\"mine\"}\n";
    static int stage;
    for (stage = 0; stage < 2; ++stage) {
        write_file(table, "heading\n");
        write_file(records, "");
        std::string notices_path = dir.file("notices");
        pid_t pid = fork();
        if (pid == 0) {
            before_write = [](int which) {
                if (which != stage)
                    return;
                if (which == 0)
                    write_file(records, other_line);
                write_file(table, "heading\n" + other_row);
            };
            FILE* notices = fopen(notices_path.c_str(), "w");
            std::string row = row_text(figures(1, 2, 3, 4), "mine");
            int undo_error = 0;
            append_also also = {records.c_str(), mine.data(), mine.size()};
            int err = append_results_row(table.c_str(), row.data(), row.size(), &undo_error, notices, nullptr,
                                         nullptr, 9, 2, &also);
            fclose(notices);
            _exit(err == ENOLCK ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << stage;
        EXPECT_EQ(read_file(table), "heading\n" + other_row) << stage;
        EXPECT_EQ(read_file(records), stage == 0 ? other_line : mine) << stage;
        EXPECT_NE(read_file(notices_path).find(stage == 0 ? "it changed nothing" : "its record line is in"),
                  std::string::npos) << read_file(notices_path);
    }
}

// A run that cuts a stopped run's part row and then fails (its sync) puts
// the part back, with the record that lets the next run cut it.
TEST(AppendResultsRow, FailureAfterACutPutsTheTableBack)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    std::string theirs = row_text(figures(41667.7, 17401, 16694.7, 3), "c2");
    std::string left = "heading\n" + theirs.substr(0, 11);
    write_file(table, left);
    leave_record(table, 8, theirs);
    pid_t pid = fork();
    if (pid == 0) {
        // The table opens on the lowest free descriptor: its syncs fail.
        int probe = open("/dev/null", O_RDONLY);
        close(probe);
        if (!fail_syscall(SYS_fsync, EIO, {static_cast<unsigned>(probe)}, 0))
            _exit(100);
        std::string row = row_text(figures(1, 2, 3, 4));
        int undo_error = 0;
        _exit(append_results_row(table.c_str(), row.data(), row.size(), &undo_error) == EIO ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(table), left);
    ASSERT_EQ(append_row(table, figures(1, 2, 3, 4)), 0);
    EXPECT_EQ(read_file(table), "heading\n" + row_text(figures(1, 2, 3, 4)));
}

void VerifyMountinfo(const std::string& line, bool node_local)
{
    unsigned major = 0, minor = 0;
    bool local = !node_local;
    ASSERT_TRUE(read_mountinfo_line(line.c_str(), &major, &minor, &local)) << line;
    EXPECT_EQ(local, node_local) << line;
}

// Which file systems keep fcntl locks within each node, from lines of
// /proc/self/mountinfo as kernels write them.
TEST(TableLock, NodeLocalLocksFromMountinfo)
{
    const std::string nfs = "412 29 0:53 / /shared rw,relatime shared:250 - ";
    const std::string nfs_options = " 10.0.0.1:/export rw,vers=3,rsize=1048576,wsize=1048576,"
                                    "namlen=255,hard,proto=tcp,timeo=600,retrans=2,sec=sys,";
    VerifyMountinfo(nfs + "nfs" + nfs_options + "mountaddr=10.0.0.1,local_lock=none,addr=10.0.0.1", false);
    VerifyMountinfo(nfs + "nfs" + nfs_options + "nolock,mountaddr=10.0.0.1,local_lock=all,addr=10.0.0.1", true);
    VerifyMountinfo(nfs + "nfs" + nfs_options + "mountaddr=10.0.0.1,local_lock=posix,addr=10.0.0.1", true);
    VerifyMountinfo(nfs + "nfs" + nfs_options + "mountaddr=10.0.0.1,local_lock=flock,addr=10.0.0.1", false);
    VerifyMountinfo(nfs + "nfs4" + " 10.0.0.1:/ rw,vers=4.1,local_lock=none,addr=10.0.0.1", false);
    VerifyMountinfo("90 29 1234:5 / /lustre rw - lustre 10.0.0.2@o2ib:/fs rw,flock,lazystatfs", false);
    VerifyMountinfo("90 29 1234:5 / /lustre rw - lustre 10.0.0.2@o2ib:/fs rw,localflock,lazystatfs", true);
    VerifyMountinfo("91 29 0:61 / /beegfs rw,relatime - beegfs beegfs_nodev rw,cfgFile=/etc/beegfs/beegfs-client.conf", true);
    VerifyMountinfo("29 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw,errors=remount-ro", false);
    unsigned major = 0, minor = 0;
    bool local = false;
    ASSERT_TRUE(read_mountinfo_line("29 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw", &major, &minor, &local));
    EXPECT_EQ(major, 8u);
    EXPECT_EQ(minor, 1u);
    EXPECT_FALSE(read_mountinfo_line("garbage", &major, &minor, &local));
}

// A lock file's holder on this host is judged at once: dead where its PID
// is gone or now names another process; one that can't be checked (another
// host, another PID namespace, an earlier version's lock) only by age.
TEST(TableLock, StaleLockRule)
{
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    lock_holder self = this_run_holder();
    ASSERT_NE(self.start, 0u);
    ASSERT_NE(self.pid_ns, 0u);
    auto content = [](lock_holder h) {
        char text[512];
        format_holder(h, text, sizeof text);
        return std::string(text);
    };
    lock_holder gone = self, reused = self, elsewhere = self, contained = self;
    gone.pid = dead;
    reused.start = self.start + 1;
    std::strcpy(elsewhere.host, "node2");
    contained.pid_ns = self.pid_ns + 1;
    EXPECT_FALSE(lock_is_stale(content(self).c_str(), self, 1e9));
    EXPECT_TRUE(lock_is_stale(content(gone).c_str(), self, 0));
    EXPECT_TRUE(lock_is_stale(content(reused).c_str(), self, 0));
    for (const lock_holder& h : {elsewhere, contained}) {
        EXPECT_FALSE(lock_is_stale(content(h).c_str(), self, stale_lock_seconds - 1)) << content(h);
        EXPECT_TRUE(lock_is_stale(content(h).c_str(), self, stale_lock_seconds + 1)) << content(h);
    }
    std::string old_gone = std::string(self.host) + " " + std::to_string(dead) + "\n";
    EXPECT_TRUE(lock_is_stale(old_gone.c_str(), self, 0));
    EXPECT_FALSE(lock_is_stale("", self, stale_lock_seconds - 1));
    EXPECT_TRUE(lock_is_stale("", self, stale_lock_seconds + 1));

    // Taken beside the table a link reaches, over a dead holder's; gone once
    // let go.
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    write_file(table, "");
    ASSERT_EQ(symlink(table.c_str(), dir.file("link.txt").c_str()), 0);
    write_file(table + ".lock", content(reused));
    // What dead runs left beside it goes once the lock is let go; a live
    // run's file and a person's stay.
    std::string left = table + ".lock." + self.host + "." + std::to_string(dead) + ".3";
    std::string live = table + ".lock." + self.host + ".1.0";
    write_file(left, content(gone));
    write_file(live, content(self));
    write_file(table + ".lock.notes", content(gone));
    lock_file lock;
    ASSERT_EQ(take_lock_file(dir.file("link.txt").c_str(), lock, stderr), 0);
    uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    EXPECT_EQ(std::string(lock.path), table + ".lock");
    std::string held = std::string(self.host) + " " + std::to_string(getpid()) + " ";
    EXPECT_EQ(read_file(table + ".lock").compare(0, held.size(), held), 0);
    EXPECT_EQ(release_lock_file(lock), 0);
    EXPECT_FALSE(file_exists(table + ".lock"));
    remove_leftovers(lock);
    EXPECT_FALSE(file_exists(left));
    EXPECT_TRUE(file_exists(live));
    EXPECT_TRUE(file_exists(table + ".lock.notes"));

    // Something no run made in the lock file's place is an error that names
    // it, not a wait: a directory, a symbolic link, a socket, an empty file,
    // a file of other text.
    ASSERT_EQ(mkdir((table + ".lock").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", (table + "2.txt.lock").c_str()), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::string socket_path = table + "3.txt.lock";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    write_file(table + "4.txt.lock", "");
    write_file(table + "5.txt.lock", "not a lock\n");
    for (const char* n : {"2.txt", "3.txt", "4.txt", "5.txt"})
        write_file(table + n, "");
    for (const std::string& t : {table, table + "2.txt", table + "3.txt", table + "4.txt", table + "5.txt"}) {
        FILE* notices = tmpfile();
        EXPECT_EQ(take_lock_file(t.c_str(), lock, notices), EEXIST) << t;
        syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
        EXPECT_NE(read_stream(notices).find(t + ".lock is in the lock file's place"), std::string::npos) << t;
        fclose(notices);
    }
    close(sock);
    EXPECT_TRUE(file_exists(table + "5.txt.lock"));
}

// Two runs of one host name and one PID (two containers on a node): the
// lock another holds, even through a file of the name an earlier version's
// own file had, is never taken; the waiting run ends by its alarm.
TEST(TableLock, OneHolderForOneHostAndPid)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    write_file(table, "");
    pid_t pid = fork();
    if (pid == 0) {
        lock_holder other = this_run_holder();
        std::strcpy(other.token, "0123456789abcdef");
        char content[512];
        format_holder(other, content, sizeof content);
        write_file(table + ".lock", content);
        std::string old_own = table + ".lock." + other.host + "." + std::to_string(getpid()) + ".0";
        if (link((table + ".lock").c_str(), old_own.c_str()) != 0)
            _exit(100);
        alarm(1);
        lock_file lock;
        _exit(take_lock_file(table.c_str(), lock, stderr) == 0 ? 101 : 102);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) << status;
    std::string held = read_file(table + ".lock");
    EXPECT_NE(held.find(" 0123456789abcdef "), std::string::npos) << held;
}

// A holder stopped past the stale rule (suspended) whose lock another run
// broke and took: it knows, and lets the other's lock be.
TEST(TableLock, LostLockIsKnown)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    write_file(table, "");
    lock_file lock;
    ASSERT_EQ(take_lock_file(table.c_str(), lock, stderr), 0);
    uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    EXPECT_TRUE(lock_file_still_held(lock));
    write_file(dir.file("other"), "node2 4711 fedcba9876543210 - 0 0\n");
    ASSERT_EQ(rename(dir.file("other").c_str(), (table + ".lock").c_str()), 0);
    EXPECT_FALSE(lock_file_still_held(lock));
    EXPECT_EQ(release_lock_file(lock), ENOLCK);
    EXPECT_EQ(read_file(table + ".lock"), "node2 4711 fedcba9876543210 - 0 0\n");
}

// A SIGTERM (what scancel sends) at any moment of taking and letting go of
// the lock file leaves nothing beside the table: a timer sends it at
// offsets a microsecond apart, until the runs finish before it.
TEST(TableLock, SignalsNeverStrandTheLockFile)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    write_file(table, "");
    int finished = 0;
    for (long at = 1000; finished < 20; at += 1000) {
        ASSERT_LT(at, 20'000'000) << "the runs never finish before the signal";
        pid_t pid = fork();
        if (pid == 0) {
            struct sigevent event = {};
            event.sigev_notify = SIGEV_SIGNAL;
            event.sigev_signo = SIGTERM;
            timer_t timer;
            struct itimerspec when = {{0, 0}, {0, at}};
            if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0 || timer_settime(timer, 0, &when, nullptr) != 0)
                _exit(2);
            lock_file lock;
            _exit(take_lock_file(table.c_str(), lock, stderr) == 0 && release_lock_file(lock) == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) == 0) << "signal at " << at << " ns";
        finished = WIFSIGNALED(status) ? 0 : finished + 1;
        ASSERT_EQ(entries(dir.path), 3) << "left beside the table by a signal at " << at << " ns";
    }
}

} // namespace
