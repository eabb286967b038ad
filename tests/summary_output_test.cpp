// The two renderings of the figures, the table's name, and the append.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "summary_output.h"
#include "table_lock.h"
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
int append_row(const std::string& table, const energy_summary& s)
{
    std::string row = row_text(s);
    int undo_error = 0;
    int err = append_results_row(table.c_str(), row.data(), row.size(), &undo_error);
    EXPECT_EQ(undo_error, 0) << table;
    uint64_t none = 0;
    if (getpid() == test_process)
        syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    return err;
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

    // No newline is put before the row.
    write_file(table, "no newline");
    ASSERT_EQ(append_row(table, s), 0);
    EXPECT_EQ(read_file(table), "no newline" + row);

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

void VerifyFragment(const std::string& tail, bool fragment)
{
    EXPECT_EQ(is_row_fragment(tail.data(), tail.size()), fragment) << "tail \"" << tail << "\"";
}

TEST(ResultsRow, FragmentIsTheStartOfARow)
{
    std::string row = row_text(figures(1.5e6, -20, 1.25, 0.1));
    row.pop_back();
    std::string labelled = row_text(figures(-HUGE_VAL, NAN, 3, 4), "case 7");
    labelled.pop_back();
    // Every start of a row, a whole row without its newline included.
    for (const std::string& r : {row, labelled})
        for (size_t n = 1; n <= r.size(); ++n)
            VerifyFragment(r.substr(0, n), true);
    VerifyFragment(row + "\t", true);
    VerifyFragment(row + "\t\t", true);
    // Not a row: empty, a heading, a note, a figure of another format, tab
    // runs of other lengths, a label with a CR.
    VerifyFragment("", false);
    VerifyFragment("total\t\tCPU1", false);
    VerifyFragment("no newline", false);
    VerifyFragment("1.5e+6\t\t", false);
    VerifyFragment("1.\t", false);
    VerifyFragment("1\t2", false);
    VerifyFragment("1\t\t\t2", false);
    VerifyFragment("1\t\t2\t\t3\t\t4\t\t5", false);
    VerifyFragment(row + "\t\t\t", false);
    VerifyFragment(labelled + "\r", false);
}

// A row that an interrupted run left part of is cut off before the next
// row goes in; a heading or note without a newline is joined to.
TEST(AppendResultsRow, CutsOffARowFragment)
{
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    energy_summary s = figures(20, 1.25, 2, 0.5);
    std::string row = row_text(s);
    for (const std::string& before : {std::string("heading\n"), std::string()}) {
        write_file(table, before + row.substr(0, 11));
        ASSERT_EQ(append_row(table, s), 0);
        EXPECT_EQ(read_file(table), before + row);
    }
    for (const std::string& kept : {"heading\n" + row + "note: x", std::string("total\t\tCPU1")}) {
        write_file(table, kept);
        ASSERT_EQ(append_row(table, s), 0);
        EXPECT_EQ(read_file(table), kept + row);
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

// A lock file left behind is broken at once where its holder ran on this
// host and is gone, and after the bound where it ran elsewhere; a live
// holder here, or a young lock from elsewhere, is waited for.
TEST(TableLock, StaleLockRule)
{
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    std::string here = "node1 " + std::to_string(getpid()) + "\n";
    std::string gone = "node1 " + std::to_string(dead) + "\n";
    EXPECT_FALSE(lock_is_stale(here.c_str(), "node1", 1e9));
    EXPECT_TRUE(lock_is_stale(gone.c_str(), "node1", 0));
    EXPECT_FALSE(lock_is_stale(gone.c_str(), "node2", stale_lock_seconds - 1));
    EXPECT_TRUE(lock_is_stale(gone.c_str(), "node2", stale_lock_seconds + 1));
    EXPECT_FALSE(lock_is_stale("", "node1", stale_lock_seconds - 1));
    EXPECT_TRUE(lock_is_stale("", "node1", stale_lock_seconds + 1));

    // Taken beside the table a link reaches, over a dead holder's; gone once
    // let go.
    scratch_dir dir;
    std::string table = dir.file("results.txt");
    write_file(table, "");
    ASSERT_EQ(symlink(table.c_str(), dir.file("link.txt").c_str()), 0);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    write_file(table + ".lock", std::string(host) + " " + std::to_string(dead) + "\n");
    lock_file lock;
    ASSERT_EQ(take_lock_file(dir.file("link.txt").c_str(), lock, stderr), 0);
    EXPECT_EQ(std::string(lock.path), table + ".lock");
    std::string held = std::string(host) + " " + std::to_string(getpid()) + " ";
    EXPECT_EQ(read_file(table + ".lock").compare(0, held.size(), held), 0);
    EXPECT_EQ(release_lock_file(lock), 0);
    EXPECT_FALSE(file_exists(table + ".lock"));
}

} // namespace
