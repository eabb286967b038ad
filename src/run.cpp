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

int32_t parse_operand(const char* text)
{
    const char* p = text;
    while (*p == ' ' || static_cast<unsigned char>(*p - '\t') < 5)
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Past 2^31 the digits that follow cannot bring the value back in range.
    int64_t value = 0;
    while (static_cast<unsigned char>(*p - '0') < 10) {
        if (value <= INT32_MAX)
            value = value * 10 + (*p - '0');
        ++p;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

namespace {

constexpr const char usage_line[] = "usage: filename case# write id\n";
constexpr const char help_text[] =
    "  case#  the case's base name: reads case#.total.pwr, case#.cpu.pwr and\n"
    "         ./gpupower1.out, and prints the nine energy figures\n"
    "  write  1 appends the figures as a row to the results table; else no row\n"
    "  id     the table: results.txt for an id below 1, else results<id>.txt\n"
    "The table must exist already. See energy-totals(1).\n";
constexpr const char gpu_log_name[] = "gpupower1.out";

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

// Reads the three logs of the case into s. A log that can't be opened or
// read whole is reported and ends the run: a figure from part of a log
// would look like a complete run's. Returns true when all three were read,
// having warned about those that do not fit their rules.
bool read_logs(const char* base_name, energy_summary& s)
{
    char* total_name = join_name(base_name, ".total.pwr");
    char* cpu_name = join_name(base_name, ".cpu.pwr");
    line_buffer lb;
    int total_fd = -1;
    int cpu_fd = -1;
    int gpu_fd = -1;
    log_shape shapes[3];
    log_shape& total_shape = shapes[0];
    log_shape& cpu_shape = shapes[1];
    log_shape& gpu_shape = shapes[2];
    bool ok = false;

    if (total_name == nullptr || cpu_name == nullptr ||
        line_buffer_init(lb, default_line_buffer_size) != 0) {
        std::printf("couldn't read %s.total.pwr: %s\n", base_name, std::strerror(ENOMEM));
        goto done;
    }
    {
        const char* const names[3] = {total_name, cpu_name, gpu_log_name};
        if (read_big_logs_at_once(names, s, shapes, &ok) != 0) {
            if (ok)
                warn_about_logs(stderr, {total_name, &total_shape}, {cpu_name, &cpu_shape},
                                {gpu_log_name, &gpu_shape});
            goto done;
        }
    }
    if ((total_fd = open_log(total_name)) < 0 || (cpu_fd = open_log(cpu_name)) < 0)
        goto done;
    if (!read_whole_log(total_fd, total_name, read_total_power_log, lb, s, total_shape) ||
        !read_whole_log(cpu_fd, cpu_name, read_cpu_power_log, lb, s, cpu_shape))
        goto done;
    if ((gpu_fd = open_log(gpu_log_name)) < 0 ||
        !read_whole_log(gpu_fd, gpu_log_name, read_gpu_power_log, lb, s, gpu_shape))
        goto done;
    warn_about_logs(stderr, {total_name, &total_shape}, {cpu_name, &cpu_shape},
                    {gpu_log_name, &gpu_shape});
    ok = true;

done:
    close_log(total_fd);
    close_log(cpu_fd);
    close_log(gpu_fd);
    line_buffer_free(lb);
    std::free(cpu_name);
    std::free(total_name);
    return ok;
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
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage_line, stdout);
        std::fputs(help_text, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("energy-totals " ENERGY_TOTALS_VERSION);
        return 0;
    }
    if (argc != 4) {
        std::fputs(usage_line, stdout);
        return -1;
    }
    run_options options;
    options.base_name = argv[1];
    options.write_switch = parse_operand(argv[2]);
    options.results_id = parse_operand(argv[3]);

    energy_summary summary;
    if (!read_logs(options.base_name, summary))
        return -1;
    print_console_summary(summary);
    // Out before the table is touched, so a run waiting for the lock has
    // shown its figures. Errors on standard output change nothing here.
    std::fflush(stdout);
    table_name table = results_table_name(options.results_id);
    if (options.write_switch != 1)
        return 0;
    char row[results_row_size];
    int row_size = format_results_row(summary, nullptr, row, sizeof row);
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
