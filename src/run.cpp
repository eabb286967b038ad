#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "energy_summary.h"
#include "log_warnings.h"
#include "open_file.h"
#include "power_logs.h"
#include "summary_output.h"

namespace {

constexpr const char usage_line[] = "usage: filename case# write id\n";
constexpr const char help_text[] =
    "  energy-totals [--label=TEXT] [--] BASE WRITE ID\n"
    "  energy-totals --heading | --help | --version\n"
    "  BASE   the case's base name: reads BASE.total.pwr, BASE.cpu.pwr and\n"
    "         ./gpupower1.out, and prints the nine energy figures in joules\n"
    "  WRITE  1 appends the figures as a row to the results table; else no row\n"
    "  ID     the table: results.txt for an ID below 1, else results<ID>.txt\n"
    "  --label=TEXT  ends the row with TEXT, the case's name, as a tenth field\n"
    "  --heading     prints a heading line for a table of labelled rows\n"
    "The table must exist already. See energy-totals(1).\n";
constexpr const char heading_line[] =
    "total\t\tCPU1\t\tCPU2\t\ttotal CPU\t\t\tGPU1\t\tGPU2\t\tGPU3\t\tGPU4\t\ttotal GPU\t\tcase\n";
constexpr const char gpu_log_name[] = "gpupower1.out";

// The sampling periods, in seconds, that the weights of the total-power and
// GPU logs stand for.
constexpr double total_seconds_per_line = 0.5;
constexpr double gpu_seconds_per_line = 0.1;

// The case, as said before the name of the GPU log, which does not hold
// it: the base name, or the working directory where that is empty.
const char* case_name_of(const char* base_name)
{
    static char dir[4096];
    if (*base_name != '\0')
        return base_name;
    return getcwd(dir, sizeof dir) != nullptr ? dir : ".";
}

using log_reader = int (*)(int, line_buffer&, energy_summary&, log_shape&);

// base followed by suffix, in memory of its own; nullptr if there is none.
char* join_name(const char* base, const char* suffix)
{
    size_t base_length = std::strlen(base);
    size_t suffix_length = std::strlen(suffix);
    char* name = static_cast<char*>(std::malloc(base_length + suffix_length + 1));
    if (name != nullptr) {
        std::memcpy(name, base, base_length);
        std::memcpy(name + base_length, suffix, suffix_length + 1);
    }
    return name;
}

void report_unreadable(const char* name, int err)
{
    std::printf("couldn't read %s: %s\n", name, std::strerror(err));
}

int open_log(const char* name)
{
    int fd = open_file(name, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        report_unreadable(name, errno);
    return fd;
}

bool read_whole_log(int fd, const char* name, log_reader reader, line_buffer& lb,
                    energy_summary& s, log_shape& shape)
{
    int err = reader(fd, lb, s, shape);
    if (err != 0)
        report_unreadable(name, err);
    return err == 0;
}

// The logs have been read by the time they are closed, so a failing close
// can no longer change a figure.
void close_log(int fd)
{
    if (fd >= 0)
        (void)close(fd);
}

// Logs smaller than this, the three together, are read on one thread: a
// thread would cost more to start than it saves.
constexpr long long bytes_worth_threads = 4 << 20;

// The CPUs this run may use (a batch scheduler may give it fewer than the
// machine has).
unsigned allowed_cpus()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    int count = CPU_COUNT(&set);
    return count > 1 ? static_cast<unsigned>(count) : 1;
}

// Reads the three logs at once, each on a thread of its own, where the run
// may use two CPUs or more and the logs are regular files (which open
// without waiting for a writer) large enough to gain from it. All three
// must open; the figures go to s and what was seen of each log to shapes[].
// Returns 1 when it read them, with *ok false if a read failed (reported in
// the plain path's order), or 0 when it did not try, leaving the reading
// and any report to the plain path.
int read_big_logs_at_once(const char* const names[3], energy_summary& s, log_shape shapes[3],
                          bool* ok)
{
    unsigned cpus = allowed_cpus();
    if (cpus < 2)
        return 0;
    long long bytes = 0;
    for (int i = 0; i < 3; ++i) {
        struct stat st;
        if (stat(names[i], &st) != 0 || !S_ISREG(st.st_mode))
            return 0;
        bytes += st.st_size;
    }
    if (bytes < bytes_worth_threads)
        return 0;
    log_reader readers[3] = {read_total_power_log, read_cpu_power_log, read_gpu_power_log};
    log_job jobs[3];
    for (int i = 0; i < 3; ++i) {
        jobs[i].fd = open_file(names[i], O_RDONLY | O_NOCTTY);
        jobs[i].reader = readers[i];
        struct stat st;
        if (jobs[i].fd < 0 || fstat(jobs[i].fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            for (int j = 0; j <= i; ++j)
                close_log(jobs[j].fd);
            return 0;
        }
        jobs[i].size = st.st_size;
    }
    read_logs_at_once(jobs, 3, cpus);
    *ok = true;
    for (int i = 0; i < 3; ++i) {
        close_log(jobs[i].fd);
        shapes[i] = jobs[i].shape;
        if (jobs[i].err != 0 && *ok) {
            report_unreadable(names[i], jobs[i].err);
            *ok = false;
        }
    }
    s.total_energy = jobs[0].part.total_energy;
    s.cpu1 = jobs[1].part.cpu1;
    s.cpu2 = jobs[1].part.cpu2;
    s.gpu1 = jobs[2].part.gpu1;
    return 1;
}

// The three logs of a case: their names, and what their readers saw.
struct case_logs {
    char* total_name = nullptr;
    char* cpu_name = nullptr;
    log_shape shapes[3];
    picked_line total_first, total_last; // for the time stamps
    bool total_ends = false;             // whether those two were read
};

// Reads the total-power log's first and last lines, for its time stamps,
// where it is a regular file.
void read_total_ends(int fd, case_logs& logs)
{
    struct stat st;
    logs.total_ends = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      first_and_last_lines(fd, st.st_size, logs.shapes[0].header,
                                           logs.total_first, logs.total_last) == 0;
}

// Where the GPU log was looked for: the working directory, said to the
// user of a run that could not read it.
void say_where_gpu_log_is(const char* case_name)
{
    char dir[4096];
    const char* where = getcwd(dir, sizeof dir) != nullptr ? dir : "(unknown)";
    std::fprintf(stderr, "energy-totals: %s: %s is read from the current directory, %s\n",
                 case_name, gpu_log_name, where);
}

// Reads the three logs of the case into s, and what was seen of them into
// logs. A log that can't be opened or read whole is reported and ends the
// run: a figure from part of a log would look like a complete run's.
// Returns true when all three were read.
bool read_logs(const char* base_name, energy_summary& s, case_logs& logs)
{
    logs.total_name = join_name(base_name, ".total.pwr");
    logs.cpu_name = join_name(base_name, ".cpu.pwr");
    line_buffer lb;
    int total_fd = -1;
    int cpu_fd = -1;
    int gpu_fd = -1;
    bool ok = false;

    if (logs.total_name == nullptr || logs.cpu_name == nullptr ||
        line_buffer_init(lb, default_line_buffer_size) != 0) {
        std::printf("couldn't read %s.total.pwr: %s\n", base_name, std::strerror(ENOMEM));
        goto done;
    }
    {
        const char* const names[3] = {logs.total_name, logs.cpu_name, gpu_log_name};
        if (read_big_logs_at_once(names, s, logs.shapes, &ok) != 0) {
            total_fd = open_file(logs.total_name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
            if (ok && total_fd >= 0)
                read_total_ends(total_fd, logs);
            goto done;
        }
    }
    if ((total_fd = open_log(logs.total_name)) < 0 || (cpu_fd = open_log(logs.cpu_name)) < 0)
        goto done;
    if (!read_whole_log(total_fd, logs.total_name, read_total_power_log, lb, s, logs.shapes[0]) ||
        !read_whole_log(cpu_fd, logs.cpu_name, read_cpu_power_log, lb, s, logs.shapes[1]))
        goto done;
    read_total_ends(total_fd, logs);
    if ((gpu_fd = open_log(gpu_log_name)) < 0) {
        say_where_gpu_log_is(case_name_of(base_name));
        goto done;
    }
    ok = read_whole_log(gpu_fd, gpu_log_name, read_gpu_power_log, lb, s, logs.shapes[2]);

done:
    close_log(total_fd);
    close_log(cpu_fd);
    close_log(gpu_fd);
    line_buffer_free(lb);
    return ok;
}

// Whether the warnings have anything to say of a log that a second look
// could show them a line of.
bool worth_a_second_look(const log_shape& shape)
{
    return shape.no_reading > (shape.header ? 1u : 0u) || shape.runs_on > 0 || shape.not_finite > 0;
}

// Looks again, line by line, at a log that is a regular file (a FIFO can't
// be read twice, and opening one again would wait for a writer). Returns
// whether it did.
bool look_again_at(const char* name, int log, line_buffer& lb, log_details& details)
{
    int fd = open_file(name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    bool looked = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  look_again(fd, lb, log, details) == 0;
    close_log(fd);
    return looked;
}

// Says on standard error what does not fit the logs' rules, looking again
// at the logs that have something odd to show. Nothing here changes a
// figure, and a log that can't be read again just gets less said of it.
void warn_about_case(const char* base_name, const case_logs& logs)
{
    const char* names[3] = {logs.total_name, logs.cpu_name, gpu_log_name};
    log_details details[3];
    bool looked[3] = {false, false, false};
    line_buffer lb;
    for (int i = 0; i < 3; ++i)
        if (worth_a_second_look(logs.shapes[i]) &&
            (lb.data != nullptr || line_buffer_init(lb, default_line_buffer_size) == 0))
            looked[i] = look_again_at(names[i], i, lb, details[i]);
    line_buffer_free(lb);
    log_ends ends = {nullptr, nullptr};
    if (logs.total_ends)
        ends = {&logs.total_first, &logs.total_last};
    const char* case_name = case_name_of(base_name);
    warn_about_logs(stderr,
                    {logs.total_name, nullptr, &logs.shapes[0], looked[0] ? &details[0] : nullptr,
                     total_seconds_per_line},
                    {logs.cpu_name, nullptr, &logs.shapes[1], looked[1] ? &details[1] : nullptr, 0},
                    {gpu_log_name, case_name, &logs.shapes[2], looked[2] ? &details[2] : nullptr,
                     gpu_seconds_per_line},
                    ends);
}

// Readies the process for a run whose status must say whether its row is
// in the table. A closed standard descriptor gets /dev/null, or the table
// could be opened in its place and receive the summary. A reader of the
// summary that went away must not kill a run whose row is in, and a file
// size limit must fail the write (EFBIG, and the row is taken back) rather
// than kill the run half way through it.
void prepare_process()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace

int run(int argc, char** argv)
{
    prepare_process();
    run_options options;
    char reason[256];
    switch (parse_command_line(argc, argv, options, reason, sizeof reason)) {
    case command_help:
        std::fputs(usage_line, stdout);
        std::fputs(help_text, stdout);
        return 0;
    case command_version:
        std::puts("energy-totals " ENERGY_TOTALS_VERSION);
        return 0;
    case command_heading:
        std::fputs(heading_line, stdout);
        return 0;
    case command_usage:
        std::fputs(usage_line, stdout);
        std::fprintf(stderr, "energy-totals: %s\n", reason);
        return -1;
    default:
        break;
    }

    energy_summary summary;
    case_logs logs;
    bool read = read_logs(options.base_name, summary, logs);
    if (read)
        warn_about_case(options.base_name, logs);
    std::free(logs.total_name);
    std::free(logs.cpu_name);
    if (!read)
        return -1;
    print_console_summary(summary);
    // Out before the table is touched, so a run waiting for the lock has
    // shown its figures. Errors on standard output change nothing here.
    std::fflush(stdout);
    table_name table = results_table_name(options.results_id);
    if (options.write_switch != 1)
        return 0;
    char row[results_row_size];
    int row_size = format_results_row(summary, options.label, row, sizeof row);
    int undo_error = 0;
    int err = append_results_row(table.text, row, static_cast<size_t>(row_size), &undo_error);
    if (err != 0) {
        std::fputs("couldn't write results\n", stdout);
        std::fprintf(stderr, "energy-totals: %s: %s\n", table.text, std::strerror(err));
        if (undo_error != 0)
            std::fprintf(stderr,
                         "energy-totals: %s: the row could not be taken back (%s): the table "
                         "may end in part of it, which the next run removes, or hold all of it\n",
                         table.text, std::strerror(undo_error));
        return -1;
    }
    return 0;
}
