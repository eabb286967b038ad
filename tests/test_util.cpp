// Helpers of the tests: scratch directories, files, and the built tool run
// in a child.
#include "test_util.h"

#include <gtest/gtest.h>

#include "read/log_lines.h"

#include "table/table_append.h"
#include "report/summary_output.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <grp.h>
#include <ftw.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

scratch_dir::scratch_dir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/energy-totals-test.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        std::abort();
    path = buf.data();
}

static int remove_entry(const char* p, const struct stat*, int, struct FTW*)
{
    chmod(p, 0700);
    return remove(p);
}

scratch_dir::~scratch_dir()
{
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        std::abort();
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Reads both pipes to their ends together, so neither can fill and stall.
static void drain(int out_fd, int err_fd, tool_result& r)
{
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&r.output, &r.errors};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

tool_result run_tool(const std::string& dir, const std::vector<std::string>& operands,
                     bool as_nobody)
{
    return run_tool_with(dir, operands, [as_nobody] {
        if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(nobody_id) != 0 ||
                          setuid(nobody_id) != 0))
            _exit(119);
    });
}

tool_result run_tool_with(const std::string& dir, const std::vector<std::string>& operands,
                          const std::function<void()>& prepare)
{
    std::vector<char*> argv;
    std::string exe = ENERGY_TOTALS_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> words = operands;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        if (chdir(dir.c_str()) != 0)
            _exit(120);
        prepare();
        execv(argv[0], argv.data());
        _exit(121);
    }
    close(out[1]);
    close(err[1]);
    tool_result r;
    drain(out[0], err[0], r);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus))
        r.status = WEXITSTATUS(wstatus);
    return r;
}

bool fail_syscall(long nr, int err, const std::vector<unsigned>& values, int arg)
{
    // The program: load the call's number; not ours: allow. With values,
    // load the argument; any of them: fail; none: allow.
    size_t k = values.size();
    size_t fail_at = k == 0 ? 2 : 3 + k + 1; // index of the failing return
    size_t allow_at = fail_at + 1;
    auto jump = [](size_t from, size_t to) { return static_cast<unsigned char>(to - from - 1); };
    std::vector<sock_filter> f;
    f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, jump(1, allow_at)));
    if (k > 0) {
        f.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(offsetof(seccomp_data, args) + 8 * static_cast<unsigned>(arg))));
        for (unsigned v : values)
            f.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, v, jump(f.size(), fail_at), 0));
        f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(err)));
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog prog = {static_cast<unsigned short>(f.size()), f.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

int start_tool(const std::string& dir, const std::vector<std::string>& operands)
{
    std::vector<std::string> words = operands;
    std::string exe = ENERGY_TOTALS_EXE;
    std::vector<char*> argv = {exe.data()};
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (chdir(dir.c_str()) != 0)
            _exit(120);
        execv(argv[0], argv.data());
        _exit(121);
    }
    return pid;
}

int wait_tool(int pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string console_text(const energy_summary& s)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    print_console_summary(s, out);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

// The suite's entry: --kernel=NAME runs the readers' tests under that
// implementation of the line scanners (the portable one is every test's
// reference; ctest runs the reader groups under it as well as under the
// CPU's own). A kernel this CPU can't run passes with nothing run.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.compare(0, 9, "--kernel=") != 0)
            continue;
        line_kernel k = arg.substr(9) == "avx2" ? line_kernel::avx2 : line_kernel::portable;
        if (!line_kernel_available(k)) {
            std::printf("the %s kernel can't run here\n", line_kernel_name(k));
            return 0;
        }
        lines_kernel = k;
    }
    return RUN_ALL_TESTS();
}
