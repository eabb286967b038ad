// The run: the command line, the logs read in their order, the warnings,
// the summary, the row, and the exit status.
#include "cli/run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "case/case_record.h"
#include "base/energy_summary.h"
#include "report/log_warnings.h"
#include "base/open_file.h"
#include "case/phase_report.h"
#include "read/power_logs.h"
#include "table/table_append.h"
#include "report/summary_output.h"
#include "table/table_check.h"
#include "table/table_rows.h"

namespace {

constexpr const char usage_line[] = "usage: filename case# write id\n";
constexpr const char help_text[] =
    "  energy-totals [OPTIONS] [--] BASE WRITE ID\n"
    "  energy-totals [--gpus=N] [--cpus=N] --heading | --help | --version | --check=TABLE\n"
    "  BASE   the case's base name: reads BASE.total.pwr, BASE.cpu.pwr and\n"
    "         ./gpupower1.out, and prints the nine energy figures in joules\n"
    "  WRITE  1 appends the figures as a row to the results table; else no row\n"
    "  ID     the table: results.txt for an ID below 1, else results<ID>.txt\n"
    "  --label=TEXT        ends the row with TEXT, the case's name\n"
    "  --gpus=N            reads gpupower1.out to gpupowerN.out (N from 1 to 8)\n"
    "  --gpu-time=stamps   weighs GPU readings by their lines' time stamps\n"
    "  --gpu-log=FILE      reads every GPU from one nvidia-smi CSV log, by its\n"
    "                      id column, each over its own time stamps\n"
    "  --gpu-columns=LIST  that log's columns where it has no header\n"
    "                      (timestamp,index,power.draw)\n"
    "  --total-period=S    seconds a total-power line stands for (0.5)\n"
    "  --total-time=stamps weighs the total-power log by its lines' time stamps\n"
    "  --total-format=F    the total-power log as written: plain, stamps, ptd\n"
    "                      (a power analyzer's), mllog (MLPerf's) or csv\n"
    "  --total-columns=LIST  a csv log's columns (timestamp,sensor,power)\n"
    "  --integration=step  stamped readings each held since the one before\n"
    "                      (MLPerf's rule), not the trapezoid\n"
    "  --cpus=N            CPU1 to CPUN (N from 1 to 8)\n"
    "  --cpu-format=F      the CPU log as written: columns, perf, counters,\n"
    "                      turbostat or csv\n"
    "  --cpu-fields=LIST   the fields of each CPU's joules (3,7, or header names)\n"
    "  --cpu-wrap=UJ       where counters wrap (max_energy_range_uj)\n"
    "  --gpu-period=S      seconds a GPU line stands for (0.1)\n"
    "  --phases=FILE       prints each phase's figures after the summary, from\n"
    "                      marks \"STAMP NAME begin\" and \"STAMP NAME end\" (or a\n"
    "                      benchmark's :::MLLOG power_begin and power_end)\n"
    "  --window=FROM,TO    one phase, window: stamps, or +S,-S seconds from the\n"
    "                      start and end of the logs' common time\n"
    "  --idle=PHASE        each phase also net of the meters' power in PHASE\n"
    "  --idle-watts=LIST   or of the power given, as total:410,cpu1:35,gpu1:60\n"
    "  --row=PHASE|net     the row holds PHASE's figures, or the run's net\n"
    "  --phase-rows        with --label: a row for each phase too, LABEL/PHASE\n"
    "  --record=FILE       appends a JSON line of the case to FILE, with the row\n"
    "  --plot=FILE         draws the meters' power over time as SVG\n"
    "  --series=FILE       writes the readings as CSV: seconds,meter,watts\n"
    "  --nodes=LIST|@FILE  the case over several nodes: each node's logs in\n"
    "                      NODE/ beside BASE, read alike; the figures summed\n"
    "  --node-rows         with --label: a row for each node too, LABEL@NODE\n"
    "  --once              with --label: no row where one with the label is in\n"
    "                      the table already\n"
    "  --heading           prints a heading line for a table of labelled rows\n"
    "                      (after --gpus=N and --cpus=N, for rows of those)\n"
    "  energy-totals --check=TABLE [--cases=LIST | --record=FILE]\n"
    "                      checks a table: lines that are no rows, rows without\n"
    "                      a label, labels on two rows, cases of LIST with none,\n"
    "                      records of FILE with something to look at\n"
    "The table must exist already. See energy-totals(1).\n";

// The working directory, or otherwise where it can't be had, for a
// message. glibc sizes the buffer to the path, so no run carries 4 KB
// for the messages that seldom need it.
void print_working_directory(FILE* out, const char* otherwise)
{
    char* dir = getcwd(nullptr, 0);
    std::fputs(dir != nullptr ? dir : otherwise, out);
    std::free(dir);
}

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

// Says that the log name can't be read; a line too long to read is named
// by its number, counted again from the file's start where it can be.
void report_unreadable(const char* name, int err, const log_shape* shape = nullptr)
{
    if (err == EFBIG && shape != nullptr && shape->too_long_line != 0) {
        unsigned long long line = shape->too_long_at >= 0 ? line_number_at(name, shape->too_long_at) : 0;
        std::printf("couldn't read %s: line %llu is longer than 64 MiB\n", name,
                    line != 0 ? line : static_cast<unsigned long long>(shape->too_long_line));
        return;
    }
    std::printf("couldn't read %s: %s\n", name, std::strerror(err));
}

int open_log(const char* name)
{
    int fd = open_file(name, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        report_unreadable(name, errno);
    return fd;
}

// The logs have been read by the time they are closed, so a failing close
// can no longer change a figure.
void close_log(int fd)
{
    if (fd >= 0)
        (void)close(fd);
}

// The logs of a case, in the order they are read: the total-power log,
// the CPU log, then one for each GPU; their names, readers and weights,
// and what the readers made of them. What is allocated, free_logs frees.
struct case_logs {
    log_set set;
    char* total_name = nullptr;
    char* cpu_name = nullptr;
    char* gpu_names[max_gpus] = {}; // a node's GPU logs, in its directory
    gpu_csv_log* all_gpus = nullptr; // --gpu-log: the one log of every GPU, read here
    cpu_log* cpus = nullptr;         // the CPU log, where read by its format's reader
    // The case, as said before the name of a GPU log, which does not hold
    // it: the base name, or the working directory where that is empty.
    const char* case_name = nullptr;
    char* working_directory = nullptr; // where it is the case's name
    // The one log of every GPU left to the pass in time, which reads it
    // once for both, and the date its first lines give (gpu_log_date); or
    // the plain logs left to it, all of them.
    bool gpus_in_time = false;
    int64_t gpu_date_ns = 0;
    bool plain_in_time = false;
};

void free_logs(case_logs& logs)
{
    std::free(logs.total_name);
    std::free(logs.cpu_name);
    for (char* name : logs.gpu_names)
        std::free(name);
    std::free(logs.working_directory);
    std::free(logs.set.shapes);
    std::free(logs.all_gpus);
    std::free(logs.cpus);
}

constexpr const char* gpu_log_names[max_gpus] = {"gpupower1.out", "gpupower2.out", "gpupower3.out",
                                                 "gpupower4.out", "gpupower5.out", "gpupower6.out",
                                                 "gpupower7.out", "gpupower8.out"};

// Names the logs the options ask for, with their readers and weights, and
// sets up the records of what the readers will see. Returns false where
// there is no memory for them.
bool plan_logs(const run_options& options, case_logs& logs)
{
    logs.case_name = options.base_name;
    if (*options.base_name == '\0') {
        logs.working_directory = getcwd(nullptr, 0);
        logs.case_name = logs.working_directory != nullptr ? logs.working_directory : ".";
    }
    logs.total_name = join_name(options.base_name, ".total.pwr");
    logs.cpu_name = join_name(options.base_name, ".cpu.pwr");
    logs.set.count = options.gpu_log != nullptr ? 3 : 2 + options.gpus;
    logs.set.shapes = new_records<log_shape>(static_cast<size_t>(logs.set.count));
    logs.set.names[0] = logs.total_name;
    // A node log of another format than the plain one: read_whole_log's.
    logs.set.readers[0] = options.total_format == 0 ? read_total_power_log : nullptr;
    logs.set.weights[0] = options.total_period;
    logs.set.names[1] = logs.cpu_name;
    logs.set.readers[1] = read_cpu_power_log;
    logs.set.weights[1] = 1;
    // Other CPU logs than two CPUs' joules at fields 3 and 7: their readers.
    if (options.cpu_format != 0 || options.cpus != 2 || options.cpu_fields != nullptr) {
        logs.cpus = new_records<cpu_log>(1);
        logs.set.readers[1] = nullptr;
        if (logs.cpus == nullptr)
            return false;
    }
    // A node's GPU logs are in its directory; a --gpu-log named from the
    // root stays where it is.
    if (options.gpu_dir != nullptr)
        for (int k = 0; k < (options.gpu_log != nullptr ? 1 : options.gpus); ++k)
            if ((logs.gpu_names[k] = join_name(options.gpu_dir, options.gpu_log != nullptr ? options.gpu_log
                                                                                        : gpu_log_names[k])) == nullptr)
                return false;
    if (options.gpu_log != nullptr) {
        logs.all_gpus = new_records<gpu_csv_log>(1);
        logs.set.names[2] = logs.gpu_names[0] != nullptr && options.gpu_log[0] != '/' ? logs.gpu_names[0] : options.gpu_log;
        logs.set.readers[2] = nullptr;
        logs.set.weights[2] = 0;
        if (logs.all_gpus == nullptr)
            return false;
    }
    for (int k = 0; options.gpu_log == nullptr && k < options.gpus; ++k) {
        logs.set.names[2 + k] = logs.gpu_names[k] != nullptr ? logs.gpu_names[k] : gpu_log_names[k];
        logs.set.readers[2 + k] = options.gpu_stamps ? read_stamped_gpu_log : read_gpu_power_log;
        logs.set.weights[2 + k] = options.gpu_period;
    }
    return logs.total_name != nullptr && logs.cpu_name != nullptr && logs.set.shapes != nullptr;
}

// The figures from each log's part, GPU k's into gpu k.
void gather_figures(const case_logs& logs, int gpus, energy_summary& s)
{
    s.total_energy = logs.set.parts[0].total_energy;
    s.cpu1 = logs.set.parts[1].cpu1;
    s.cpu2 = logs.set.parts[1].cpu2;
    for (int k = 1; logs.cpus != nullptr && k <= logs.cpus->cpus; ++k)
        cpu_figure(s, k) = cpu_figure(logs.cpus->part, k);
    if (logs.all_gpus != nullptr) {
        // Beyond --gpus, a GPU of the log is left out of the figures.
        for (int k = 1; k <= gpus; ++k)
            gpu_figure(s, k) = gpu_figure(logs.all_gpus->part, k);
        return;
    }
    for (int k = 0; k + 2 < logs.set.count; ++k)
        gpu_figure(s, k + 1) = logs.set.parts[2 + k].gpu1;
}

// Says why the one log of every GPU can't be read: its header (or
// --gpu-columns) names no time stamp or no power column the reader knows.
void say_unknown_columns(const case_logs& logs, const run_options& options)
{
    const gpu_csv_log& all = *logs.all_gpus;
    std::printf("couldn't read %s: its columns are not known\n", options.gpu_log);
    std::fprintf(stderr,
                 "energy-totals: %s: %s: %s \"%s\", which names no time stamp (timestamp, time) or "
                 "no power column (power.draw.instant, power.draw, power.draw.average, power, "
                 "power_W, GPU Power (W), Power (mW), ...): name the columns with "
                 "--gpu-columns=LIST, as timestamp,index,power.draw\n",
                 logs.case_name, options.gpu_log,
                 options.gpu_columns != nullptr ? "--gpu-columns is" : "its header is", all.header_error);
}

// Reads log i of the case, open on fd, whole. Returns whether it did,
// having said so where it did not.
bool read_whole_log(int fd, int i, line_buffer& lb, case_logs& logs, const run_options& options)
{
    int err = 0;
    if (i == 0 && logs.set.readers[0] == nullptr) {
        node_log_options o;
        o.format = options.total_format;
        o.columns = options.total_columns;
        char error[256];
        err = read_node_log(fd, lb, o, logs.set.parts[0], logs.set.shapes[0], error);
        if (err == EINVAL && error[0] != '\0') {
            char option[48];
            std::snprintf(option, sizeof option, "--total-format=%s", total_format_name(options.total_format));
            say_not_fitting(logs.total_name, option, nullptr, error,
                            options.total_format == static_cast<int>(total_format::csv) &&
                                    options.total_columns == nullptr
                                ? ": name the columns with --total-columns=LIST, as timestamp,sensor,power"
                                : "");
            return false;
        }
    } else if (i == 1 && logs.cpus != nullptr) {
        cpu_log_options o = {static_cast<cpu_format>(options.cpu_format), options.cpus, options.cpu_fields,
                             options.cpu_wrap, nullptr, options.cpus_given};
        err = read_cpu_log(fd, lb, o, *logs.cpus);
        logs.set.shapes[i] = logs.cpus->shape;
        if (err == EINVAL && logs.cpus->error[0] != '\0') {
            char option[48];
            std::snprintf(option, sizeof option, "--cpu-format=%s", cpu_format_name(options.cpu_format));
            say_not_fitting(logs.cpu_name, option, nullptr, logs.cpus->error);
            return false;
        }
    } else if (logs.set.readers[i] == nullptr) {
        err = read_gpu_csv_log(fd, lb, options.gpu_columns, options.gpus_given ? options.gpus : 0,
                               *logs.all_gpus);
        logs.set.shapes[i] = logs.all_gpus->shape;
        if (err == EINVAL && logs.all_gpus->header_error[0] != '\0') {
            say_unknown_columns(logs, options);
            return false;
        }
    } else {
        err = logs.set.readers[i](fd, lb, logs.set.parts[i], logs.set.shapes[i], logs.set.weights[i]);
    }
    if (err != 0)
        report_unreadable(logs.set.names[i], err, &logs.set.shapes[i]);
    return err == 0;
}

// Reads the case's logs at once where that pays, and says which could not
// be read, in the order the plain path would. Returns 1 when it read them,
// with *ok false if a read failed, or 0 when it did not try.
int read_big_logs(case_logs& logs, bool* ok)
{
    if (read_big_logs_at_once(logs.set) == 0)
        return 0;
    *ok = true;
    for (int i = 0; i < logs.set.count && *ok; ++i)
        if (logs.set.errs[i] != 0) {
            report_unreadable(logs.set.names[i], logs.set.errs[i], &logs.set.shapes[i]);
            *ok = false;
        }
    return 1;
}

// Where a GPU log was looked for: the working directory, said to the user
// of a run that could not read it.
void say_where_gpu_log_is(const char* case_name, const char* name)
{
    std::fprintf(stderr, "energy-totals: %s: %s is read from the current directory, ",
                 case_name, name);
    print_working_directory(stderr, "(unknown)");
    std::fputs("\n", stderr);
}

// Without --gpus, --gpu-log takes the GPUs the log holds, up to the four a
// row of nine figures has; a log of more is a usage error, since the row's
// shape would then depend on the log. Returns false for that, having said
// so.
bool settle_gpu_count(run_options& options, const case_logs& logs)
{
    if (logs.all_gpus == nullptr || options.gpus_given)
        return true;
    int found = logs.all_gpus->gpus;
    if (found <= 4) {
        options.gpus = found > 0 ? found : 1;
        return true;
    }
    std::fputs(usage_line, stdout);
    std::fprintf(stderr, "energy-totals: %s: %s: holds %s%d GPUs, more than the 4 a row holds "
                         "without --gpus: say --gpus=%d\n",
                 logs.case_name, options.gpu_log, logs.all_gpus->too_many ? "more than " : "", found,
                 found < max_gpus ? found : max_gpus);
    return false;
}

// Whether the GPU logs read by their stamps (--gpu-time=stamps, --gpu-log)
// gave readings: a log with lines none of which gave one is no log of that
// shape, and a figure of 0 J from it would pass for a run's; said.
bool gpu_logs_read(const run_options& options, const case_logs& logs)
{
    for (int i = 2; i < logs.set.count && (options.gpu_stamps || logs.all_gpus != nullptr); ++i) {
        const log_shape& shape = logs.set.shapes[i];
        if (shape.stamps.good > 0 || shape.opening.number == 0)
            continue;
        char why[320];
        std::snprintf(why, sizeof why, "no line of it is a time stamp and a reading; its first line is \"%.*s\"",
                      static_cast<int>(shape.opening.length), shape.opening.text);
        say_not_fitting(logs.set.names[i], logs.all_gpus != nullptr ? "--gpu-log" : "--gpu-time=stamps",
                        logs.case_name, why);
        return false;
    }
    return true;
}

// The date a GPU log's stamps give the logs' times of day, to the hour
// that choosing their day needs, into *ns: its first stamp, where that has
// a date (after 2001; a time of day or a relative stamp is far below).
// False where it has none.
bool gpu_log_date(const log_shape& gpu, int64_t* ns)
{
    constexpr int64_t year_2001_ns = 978307200LL * 1000000000;
    *ns = gpu.stamps.first_ns;
    return gpu.stamps.good > 0 && gpu.stamps.first_ns > year_2001_ns;
}

// Whether the one log of every GPU, open on fd, may be left to the pass in
// time: a regular file whose first 64 kB date the logs' times of day
// (which the pass needs before it reads them), its date then in logs. The
// whole log's reading must give the same date, or the case is read again
// the plain way.
bool dated_at_head(int fd, line_buffer& lb, const run_options& options, case_logs& logs)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    gpu_csv_log& all = *logs.all_gpus;
    bool dated = read_gpu_csv_log(fd, lb, options.gpu_columns, options.gpus_given ? options.gpus : 0, all,
                                  nullptr, 64 * 1024) == 0 &&
                 gpu_log_date(all.shape, &logs.gpu_date_ns);
    new (&all) gpu_csv_log;
    return dated;
}

// Whether the pass in time may read the case's logs alone: all of them
// plain (the node's by its period, two CPUs' joules at fields 3 and 7,
// the GPUs' by their period), which its readers read as the summary's do,
// and regular files, which a failed pass leaves to be read again.
bool plain_logs_in_time(const run_options& options, const case_logs& logs)
{
    if (options.total_format != 0 || logs.cpus != nullptr || logs.all_gpus != nullptr || options.gpu_stamps)
        return false;
    for (int i = 0; i < logs.set.count; ++i) {
        struct stat st;
        if (stat(logs.set.names[i], &st) != 0 || !S_ISREG(st.st_mode))
            return false;
    }
    return true;
}

// Reads the logs of the case into s, and what was seen of them into logs.
// The total-power and CPU logs are both opened before either is read; the
// GPU logs follow, each opened as its turn comes. A log that can't be
// opened or read whole is reported and ends the run: a figure from part of
// a log would look like a complete run's. With once, the plain logs
// (logs.plain_in_time), or the one log of every GPU (logs.gpus_in_time),
// may be left to the pass in time that follows, and s waits for it.
// Returns true when all were read.
bool read_logs(run_options& options, energy_summary& s, case_logs& logs, bool once)
{
    line_buffer lb;
    int fds[max_case_logs];
    for (int& fd : fds)
        fd = -1;
    bool ok = false;

    if (!plan_logs(options, logs) || line_buffer_init(lb, default_line_buffer_size) != 0) {
        std::printf("couldn't read %s.total.pwr: %s\n", options.base_name, std::strerror(ENOMEM));
        goto done;
    }
    logs.plain_in_time = once && plain_logs_in_time(options, logs);
    if (logs.plain_in_time) {
        ok = true;
        goto done;
    }
    // The one log of every GPU is read by one thread, with the others.
    // Logs read by their stamps or their format go by one thread.
    if (logs.all_gpus == nullptr && logs.cpus == nullptr && options.total_format == 0 && read_big_logs(logs, &ok) != 0)
        goto done;
    if ((fds[0] = open_log(logs.total_name)) < 0 || (fds[1] = open_log(logs.cpu_name)) < 0)
        goto done;
    if (!read_whole_log(fds[0], 0, lb, logs, options) || !read_whole_log(fds[1], 1, lb, logs, options))
        goto done;
    for (int i = 2; i < logs.set.count; ++i) {
        if ((fds[i] = open_log(logs.set.names[i])) < 0) {
            say_where_gpu_log_is(logs.case_name, logs.set.names[i]);
            goto done;
        }
        logs.gpus_in_time = once && logs.all_gpus != nullptr && dated_at_head(fds[i], lb, options, logs);
        if (!logs.gpus_in_time && !read_whole_log(fds[i], i, lb, logs, options))
            goto done;
    }
    ok = logs.gpus_in_time || (gpu_logs_read(options, logs) && settle_gpu_count(options, logs));

done:
    for (int fd : fds)
        close_log(fd);
    line_buffer_free(lb);
    if (ok && !logs.gpus_in_time && !logs.plain_in_time)
        gather_figures(logs, options.gpus, s);
    return ok;
}

// Says on out (standard error, or the record's copy of it) what does not
// fit the logs' rules.
void warn_about_case(const run_options& options, const case_logs& logs, const energy_summary& s, FILE* out)
{
    const char* case_name = logs.case_name;
    read_log_report reports[max_case_logs];
    for (int i = 0; i < logs.set.count && i < max_case_logs; ++i) {
        reports[i].name = logs.set.names[i];
        reports[i].case_name = i >= 2 ? case_name : nullptr;
        reports[i].shape = &logs.set.shapes[i];
        reports[i].seconds_per_line = i == 1 ? 0 : logs.set.weights[i];
    }
    // The CPU log's readings a line: two, or a column each CPU, or one.
    reports[0].stamped = options.total_format != 0;
    reports[1].readings_per_line =
        logs.cpus == nullptr ? 2 : options.cpu_format == 0 ? static_cast<unsigned>(options.cpus) : 1;
    warn_about_logs(out, reports, logs.set.count, options.gpu_stamps || logs.all_gpus != nullptr, s);
    if (logs.all_gpus != nullptr)
        warn_about_gpu_log(out, reports[2], *logs.all_gpus, options.gpus, options.gpus_given);
    if (logs.cpus != nullptr)
        warn_about_cpu_log(out, reports[1], *logs.cpus);
    if (options.total_format == 0)
        warn_about_format(out, reports[0], false);
    if (logs.cpus == nullptr)
        warn_about_format(out, reports[1], true);
}

// Says on standard error where an operand is not a plain whole number, and
// so reads as its leading digits (or 0) may not be what was meant: a word
// meant as an option after the operands, "yes" for 1.
void say_slips(const run_options& options, FILE* out)
{
    const struct {
        const char* what;
        const char* text;
        int32_t value;
    } operands[] = {{"WRITE", options.write_text, options.write_switch},
                    {"ID", options.id_text, options.results_id}};
    for (const auto& o : operands) {
        if (is_plain_integer(o.text))
            continue;
        note_warning_code("operand-not-whole");
        std::fprintf(out, "energy-totals: %s \"%s\" is not a whole number; it reads as %d",
                     o.what, o.text, static_cast<int>(o.value));
        if (std::strncmp(o.text, "--", 2) == 0)
            std::fputs(" (options go before BASE WRITE ID)", out);
        std::fputs("\n", out);
    }
    // Options that the logs' formats do not take are said, not passed
    // over in silence.
    auto format = static_cast<cpu_format>(options.cpu_format);
    if (options.cpu_wrap != 0 && format != cpu_format::counters && format != cpu_format::csv) {
        note_warning_code("option-ignored");
        std::fprintf(out, "energy-totals: --cpu-wrap: only --cpu-format=counters or csv takes it; ignored\n");
    }
    if (options.cpu_fields != nullptr && format != cpu_format::columns && format != cpu_format::csv) {
        note_warning_code("option-ignored");
        std::fprintf(out, "energy-totals: --cpu-fields: only --cpu-format=columns or csv takes it; ignored with "
                          "--cpu-format=%s\n", cpu_format_name(options.cpu_format));
    }
    if (options.total_columns != nullptr && options.total_format != static_cast<int>(total_format::csv)) {
        note_warning_code("option-ignored");
        std::fprintf(out, "energy-totals: --total-columns: only --total-format=csv takes it; ignored\n");
    }
}

// Says where a missing table was looked for, and how to make one whose
// heading fits the run's rows.
void say_where_table_is(const char* table, const run_options& options)
{
    std::fprintf(stderr, "energy-totals: %s: looked for in ", table);
    print_working_directory(stderr, "(unknown)");
    std::fputs("; make one there with: energy-totals ", stderr);
    if (options.gpus > 4)
        std::fprintf(stderr, "--gpus=%d ", options.gpus);
    if (options.cpus > 2)
        std::fprintf(stderr, "--cpus=%d ", options.cpus);
    std::fprintf(stderr, "--heading > %s\n", table);
}

// What is said of a case while it is read: standard error, or, for a run
// with a record, a copy in memory passed on to standard error after, with
// each warning's code.
struct said_of_case {
    FILE* out = stderr;
    char* text = nullptr;
    size_t size = 0;
    warning_codes codes;
};

bool start_saying(said_of_case& said)
{
    said.out = open_memstream(&said.text, &said.size);
    if (said.out == nullptr) {
        said.out = stderr;
        return false;
    }
    collect_warning_codes(&said.codes);
    return true;
}

// Passes on what was said to standard error.
void stop_saying(said_of_case& said)
{
    if (said.out == stderr)
        return;
    collect_warning_codes(nullptr);
    std::fclose(said.out);
    said.out = stderr;
    std::fwrite(said.text, 1, said.size, stderr);
    std::fflush(stderr);
    std::free(said.text);
    said.text = nullptr;
}

// Each figure's meter of a case for its record, named into names: its
// log, column, what its reader saw, and its view in time.
void record_meters(const run_options& options, const case_logs& logs, const phase_report& phases,
                   record_inputs& in, char (*names)[16])
{
    in.meter_count = 0;
    for (int i = 0; i < 1 + options.cpus + options.gpus; ++i) {
        record_meter& m = in.meters[in.meter_count++];
        meter_name(options, i, names[i], sizeof names[i]);
        m.name = names[i];
        int meter = meter_of_figure(phases, options, i);
        m.view = meter >= 0 ? &phases.view->meters[meter] : nullptr;
        if (i == 0) {
            m.file = logs.total_name;
            m.shape = &logs.set.shapes[0];
            m.period_asked = options.total_format != 0 ? 0 : options.total_period;
        } else if (i <= options.cpus) {
            m.file = logs.cpu_name;
            m.column = options.cpu_fields;
            m.shape = logs.cpus != nullptr ? &logs.cpus->shape : &logs.set.shapes[1];
        } else {
            int k = i - options.cpus;
            m.file = logs.all_gpus != nullptr ? options.gpu_log : logs.set.names[1 + k];
            m.column = logs.all_gpus != nullptr ? logs.all_gpus->power_column : nullptr;
            m.shape = logs.all_gpus != nullptr ? &logs.all_gpus->shape : &logs.set.shapes[1 + k];
            m.period_asked = options.gpu_period;
        }
    }
    in.dated = phases.sums.anchored || !phases.sums.saw_clock;
}

// The case's record, in memory of its own (*text, *size), from in (its
// figures, meters, phases and nodes set) and what the run adds: its words,
// host, times and warnings. Returns false having said why where it can't
// be made.
bool make_record(const run_options& options, int argc, char** argv, record_inputs& in, said_of_case& said,
                 const struct timespec& started, const struct timespec& began, char** text, size_t* size)
{
    in.options = &options;
    in.words = argv + 1;
    in.word_count = argc - 4;
    char host[256] = {};
    in.host = gethostname(host, sizeof host - 1) == 0 ? host : nullptr;
    in.started_ns = static_cast<int64_t>(started.tv_sec) * 1000000000 + started.tv_nsec;
    std::fflush(said.out);
    in.warnings = said.text;
    in.warnings_size = said.size;
    in.codes = &said.codes;
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    in.duration = static_cast<double>(now.tv_sec - began.tv_sec) + static_cast<double>(now.tv_nsec - began.tv_nsec) / 1e9;
    FILE* out = open_memstream(text, size);
    int err = out == nullptr ? errno : write_case_record(out, in);
    if (out != nullptr && std::fclose(out) != 0 && err == 0)
        err = errno;
    if (err == 0 && *size > max_append_size)
        err = EOVERFLOW;
    if (err == 0)
        return true;
    std::printf("couldn't write %s\n", options.record);
    std::fprintf(stderr, "energy-totals: %s: %s\n", options.record, std::strerror(err));
    return false;
}

// Appends the record alone, for a run that writes no row. Where the run
// may write the case's table it goes in under the table's lock, as a row's
// record does, once a stopped run's append is settled (so it never lands
// behind a line that run's settling takes out, and every node takes one
// lock file where locks are each node's own); else under the record file's
// own lock. Returns the run's status.
int write_record_alone(const run_options& options, const append_also& also)
{
    table_name table = results_table_name(options.results_id);
    struct stat st;
    int undo_error = 0;
    bool beside_table = stat(table.text, &st) == 0 && S_ISREG(st.st_mode) && access(table.text, W_OK) == 0;
    int err = beside_table ? append_results_row(table.text, "", 0, &undo_error, stderr, nullptr, nullptr,
                                                row_figures(options.gpus, options.cpus), options.cpus, &also)
                           : append_line(also.path, also.bytes, also.size, stderr);
    if (err == 0)
        return 0;
    std::printf("couldn't write %s\n", also.path);
    std::fprintf(stderr, "energy-totals: %s: %s\n", also.path, std::strerror(err));
    return -1;
}

// Whether the record file is reached through no other user's symbolic
// link: in a shared directory one planted there would have the run write
// wherever it points. Says so where it is not.
bool record_is_reachable(const char* path)
{
    long owner = link_owner(path);
    if (owner < 0 || owner == static_cast<long>(geteuid()))
        return true;
    std::printf("couldn't write %s\n", path);
    std::fprintf(stderr, "energy-totals: %s: a symbolic link of another user's (uid %ld); not followed\n", path,
                 owner);
    return false;
}

// What a case over several nodes keeps of each node once it is read: its
// figures, its row's (as --row asks), its phases' totals, and the span of
// its total-power log (known: where it has one).
struct node_part {
    energy_summary figures, row;
    phase_totals phases;
    double first = 0, last = 0;
    bool known = false;
    drawn_phase drawn[max_drawn_phases]; // its phases, as the picture shades them
    int phase_count = 0;
    int64_t series_from_ns = INT64_MAX;  // its first reading in the series
};

// Rows of a case's parts, each labelled LABEL@NAME: a node's, its name at
// most max_node_name bytes, with its phases' rows (LABEL@NAME/PHASE) where
// the case's are written.
struct part_rows {
    int count = 0;
    const char* const* names = nullptr;
    const node_part* parts = nullptr;
};

// Appends the case's row (figures, as --row asks) to its table, and says
// so where it could not; with --phase-rows, a row for each of the phases'
// totals after it, and the parts' rows: all at once, so that all are in
// or none. Returns the run's status. Out of line, so that its rows'
// kilobytes do not deepen the stack that the reading of every run's logs
// goes down.
[[gnu::noinline]] int write_row(const run_options& options, const energy_summary& figures,
                                const phase_totals* phases, const append_also* also, const part_rows& parts = {})
{
    table_name table = results_table_name(options.results_id);
    size_t phase_rows = phases != nullptr && options.phase_rows ? static_cast<size_t>(phases->blocks) : 0;
    size_t size = (1 + phase_rows) * (results_row_size + max_node_name + max_phase_name + 2) *
                  (1 + static_cast<size_t>(parts.count));
    char* row = static_cast<char*>(std::malloc(size));
    int row_size = row == nullptr ? -1
                                  : format_results_row(figures, options.label, row, size, options.gpus, options.cpus);
    if (row_size >= 0 && phase_rows > 0)
        row_size = format_phase_rows(options, *phases, options.label, row, static_cast<size_t>(row_size), size);
    char label[max_label_length + max_node_name + 2];
    for (int i = 0; row_size >= 0 && i < parts.count; ++i) {
        std::snprintf(label, sizeof label, "%s@%s", options.label, parts.names[i]);
        int n = format_results_row(parts.parts[i].row, label, row + row_size, size - static_cast<size_t>(row_size),
                                   options.gpus, options.cpus);
        row_size = n < 0 ? -1 : row_size + n;
        if (row_size >= 0 && phase_rows > 0)
            row_size = format_phase_rows(options, parts.parts[i].phases, label, row, static_cast<size_t>(row_size),
                                         size);
    }
    int undo_error = 0;
    int err = row == nullptr ? ENOMEM
              : row_size < 0 ? EOVERFLOW
                             : append_results_row(table.text, row, static_cast<size_t>(row_size),
                                                  &undo_error, stderr,
                                                  options.once ? options.label : nullptr, nullptr,
                                                  row_figures(options.gpus, options.cpus), options.cpus, also);
    std::free(row);
    if (err == 0)
        return 0;
    std::fputs("couldn't write results\n", stdout);
    // The record file's own fault is its, never the table's: no hint to
    // make a table that may well be there.
    bool record_fault = also != nullptr && *also->failed != 0;
    std::fprintf(stderr, "energy-totals: %s: %s\n", record_fault ? also->path : table.text, std::strerror(err));
    if (err == ENOENT && !record_fault)
        say_where_table_is(table.text, options);
    if (undo_error != 0)
        std::fprintf(stderr,
                     "energy-totals: %s: the table could not be put back as it was (%s): its "
                     "append record stays, and the next run settles it\n",
                     table.text, std::strerror(undo_error));
    return -1;
}

// Appends what the run writes: its row (figures, with its phases' and
// parts' rows where asked) and its record, where the write switch is 1;
// else the record alone where asked. Returns the run's status.
int write_case(const run_options& options, const energy_summary& figures, const phase_totals* phases,
               const char* record, size_t record_size, const part_rows& parts = {})
{
    int also_failed = 0;
    append_also also = {options.record, record, record_size, &also_failed};
    const append_also* with = options.record != nullptr ? &also : nullptr;
    return options.write_switch == 1 ? write_row(options, figures, phases, with, parts)
           : with != nullptr         ? write_record_alone(options, also)
                                     : 0;
}

// The case's logs as the pass in time takes them, with what was seen of
// the GPUs': the period of their readings, whether the power column
// averages, and the date their first stamp gives.
phase_logs name_phase_logs(const case_logs& logs)
{
    phase_logs named;
    named.case_name = logs.case_name;
    named.total = logs.total_name;
    named.cpu = logs.cpu_name;
    for (int i = 2; i < logs.set.count; ++i)
        named.gpus[i - 2] = logs.set.names[i];
    const log_shape& gpu = logs.all_gpus != nullptr ? logs.all_gpus->shape : logs.set.shapes[2];
    named.gpu_period = static_cast<double>(gpu.stamps.typical_ns) / 1e9;
    named.averaged = logs.all_gpus != nullptr && std::strcmp(logs.all_gpus->power_column, "power.draw") == 0;
    named.dated = gpu_log_date(gpu, &named.date_ns);
    return named;
}

// Splits the case's energy by its phases, from the logs read again in
// time. Returns false having said what is wrong.
bool split_case(const run_options& options, const case_logs& logs, phase_report& report, FILE* err)
{
    phase_logs named = name_phase_logs(logs);
    return split_by_phase(options, named, report, err) == 0 && draw_case(options, named, report) == 0;
}

void end_phases(phase_report* phases)
{
    if (phases != nullptr)
        free_phase_report(*phases);
    std::free(phases);
}

// Whether the case is read in time: for its phases, a picture, a series
// or a record.
bool in_time(const run_options& o)
{
    return has_phases(o) || o.plot != nullptr || o.series != nullptr || o.record != nullptr;
}

// A case as read: its figures, its logs and what was seen of them, and,
// read in time, its phases (with the meters' view for the picture, the
// series and the record). What is allocated, end_case frees.
struct case_reading {
    energy_summary summary;
    case_logs logs;
    phase_report* phases = nullptr;
};

void end_case(case_reading& c)
{
    free_logs(c.logs);
    end_phases(c.phases);
    c.phases = nullptr;
}

// Reads the case in time with the logs read_logs left to this pass (the
// plain logs, or the one log of every GPU): their figures and shapes from
// the pass, then checked, the case's figures gathered and what does not
// fit said, and the phases split, as read_case and split_case do. Returns
// 1 when it read the case, 0 having said why it can't, or -1 with nothing
// said where the pass could not settle the logs (it could not read the
// case whole, or the one log's date is not the one its first lines gave):
// the case is then read again the plain way, which says what is wrong.
int split_case_once(run_options& options, case_reading& c, FILE* said)
{
    case_logs& logs = c.logs;
    phase_logs named = name_phase_logs(logs);
    if (logs.plain_in_time) {
        named.parts = logs.set.parts;
        named.shapes = logs.set.shapes;
    } else {
        named.dated = true;
        named.date_ns = logs.gpu_date_ns;
        named.all_gpus = logs.all_gpus;
    }
    if (read_by_phase(options, named, *c.phases) != 0)
        return -1;
    if (logs.gpus_in_time) {
        logs.set.shapes[2] = logs.all_gpus->shape;
        int64_t date_ns;
        if (!gpu_log_date(logs.set.shapes[2], &date_ns) || date_ns != logs.gpu_date_ns)
            return -1;
    }
    if (!gpu_logs_read(options, logs) || !settle_gpu_count(options, logs))
        return 0;
    gather_figures(logs, options.gpus, c.summary);
    warn_about_case(options, logs, c.summary, said);
    named = name_phase_logs(logs);
    return judge_phases(options, named, *c.phases, said) == 0 && draw_case(options, named, *c.phases) == 0;
}

// Reads the case options names into c, saying on said what does not fit
// its rules; in time where asked, the marks first: a fault in them reads
// no log; viewed, with the meters' view, which keeps the readings beside
// series where that is given. With once, a case read in time reads the
// one log of every GPU in that pass alone, where it can. Returns false
// having said why it can't be read.
bool read_case(run_options& options, case_reading& c, FILE* said, bool viewed, const char* series,
               bool once = true)
{
    if (in_time(options) || viewed) {
        c.phases = new_records<phase_report>(1);
        if (c.phases != nullptr && viewed) {
            c.phases->view = new_records<case_view>(1);
            if (c.phases->view != nullptr && !start_case_view(*c.phases->view, series)) {
                std::free(c.phases->view);
                c.phases->view = nullptr;
            }
        }
        if (c.phases == nullptr || (viewed && c.phases->view == nullptr)) {
            std::printf("couldn't read %s.total.pwr: %s\n", options.base_name, std::strerror(ENOMEM));
            return false;
        }
        if (read_phase_plan(options, *c.phases) != 0)
            return false;
    }
    timed_integration = options.step ? integration_rule::step : integration_rule::trapezoid;
    once = once && c.phases != nullptr && reads_logs_once(c.phases->plan);
    bool read = read_logs(options, c.summary, c.logs, once);
    if (read && (c.logs.gpus_in_time || c.logs.plain_in_time)) {
        int split = split_case_once(options, c, said);
        if (split >= 0)
            return split == 1;
        end_case(c);
        c = case_reading{};
        return read_case(options, c, said, viewed, series, false);
    }
    if (read)
        warn_about_case(options, c.logs, c.summary, said);
    return read && (c.phases == nullptr || split_case(options, c.logs, *c.phases, said));
}

// Readies the process for a run whose status must say whether its row is
// in the table. A closed standard descriptor gets /dev/null, or the table
// could be opened in its place and receive the summary. A reader of the
// summary that went away must not kill a run whose row is in, and a file
// size limit must fail the write (EFBIG, and the row is taken back) rather
// than kill the run half way through it.
void prepare_process()
{
    // Each line to standard error in one write, so that the warnings of
    // runs started together (xargs -P) never interleave inside a line.
    static char error_buffer[4096];
    std::setvbuf(stderr, error_buffer, _IOLBF, sizeof error_buffer);
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

// The nodes of a case over several (--nodes): their names, from a list
// or from a file of a name a line (as scontrol show hostnames writes
// them), in the order given.
constexpr int max_nodes = 64;
struct node_list {
    int count = 0;
    const char* names[max_nodes] = {};
    char* text = nullptr; // the names' bytes, each ended in place
};

// Takes the names of --nodes=value into nodes. Returns null, or what is
// wrong with them, in why: a name that is empty, holds a /, or comes twice;
// more than max_nodes; a file that can't be read.
const char* take_nodes(const char* value, node_list& nodes, char* why, size_t size)
{
    bool file = value[0] == '@';
    if (!file) {
        nodes.text = strdup(value);
    } else {
        // The whole file, up to a megabyte: a list of hosts is far less.
        constexpr size_t most = 1 << 20;
        int fd = open_file(value + 1, O_RDONLY | O_NOCTTY);
        nodes.text = fd >= 0 ? static_cast<char*>(std::malloc(most + 1)) : nullptr;
        size_t used = 0;
        ssize_t n = fd < 0 || nodes.text == nullptr ? -1 : 1;
        int err = fd < 0 ? errno : ENOMEM;
        while (n > 0 && used <= most) {
            n = read(fd, nodes.text + used, most + 1 - used);
            used += n > 0 ? static_cast<size_t>(n) : 0;
            n = n < 0 && errno == EINTR ? 1 : n;
            err = n < 0 ? errno : err;
        }
        if (fd >= 0)
            (void)close(fd);
        if (n < 0 || used > most) {
            std::snprintf(why, size, "--nodes: couldn't read %s: %s", value + 1,
                          used > most ? "it is over 1 MiB, no list of names" : std::strerror(err));
            return why;
        }
        nodes.text[used] = '\0';
    }
    if (nodes.text == nullptr)
        return std::strerror(ENOMEM);
    for (char* p = nodes.text;;) {
        char* separator = p + std::strcspn(p, file ? "\n" : ",");
        bool last = *separator == '\0';
        *separator = '\0';
        char* end = separator;
        while (end > p && is_space(end[-1]))
            *--end = '\0';
        while (is_space(*p))
            ++p;
        // A file's blank lines are no names.
        const char* wrong = *p == '\0' ? (file ? nullptr : "an empty name")
                            : std::strchr(p, '/') != nullptr ? "a name that holds /"
                            : std::strlen(p) > max_node_name ? "a name longer than 255 bytes" : nullptr;
        for (int i = 0; wrong == nullptr && *p != '\0' && i < nodes.count; ++i)
            wrong = std::strcmp(nodes.names[i], p) == 0 ? "a name given twice" : nullptr;
        if (wrong == nullptr && *p != '\0' && nodes.count == max_nodes)
            wrong = "more than 64 names";
        if (wrong != nullptr) {
            std::snprintf(why, size, "--nodes: %s%s%s", wrong, *p != '\0' ? ": " : "", p);
            return why;
        }
        if (*p != '\0')
            nodes.names[nodes.count++] = p;
        if (last)
            break;
        p = separator + 1;
    }
    return nodes.count > 0 ? nullptr : "--nodes: names no node";
}

// The path of node's BASE, or of its directory (base empty), beside the
// case's base name: runs/c7 on node07 is runs/node07/c7.
char* node_path(const char* base_name, const char* node, bool directory)
{
    const char* slash = std::strrchr(base_name, '/');
    size_t dir = slash != nullptr ? static_cast<size_t>(slash - base_name) + 1 : 0;
    const char* base = directory ? "" : base_name + dir;
    size_t n = dir + std::strlen(node) + 1 + std::strlen(base) + 1;
    char* path = static_cast<char*>(std::malloc(n));
    if (path != nullptr)
        std::snprintf(path, n, "%.*s%s/%s", static_cast<int>(dir), base_name, node, base);
    return path;
}

// The parts of a case's record that its nodes write, a list's items each.
struct node_records {
    FILE* meters = nullptr;
    FILE* flags = nullptr;
    FILE* parts = nullptr;
    char* text[3] = {};
    size_t size[3] = {};
    int64_t first_ns = 0, last_ns = 0; // the nodes' first and last readings
    bool spanned = false;
};

bool start_node_records(node_records& r)
{
    r.meters = open_memstream(&r.text[0], &r.size[0]);
    r.flags = open_memstream(&r.text[1], &r.size[1]);
    r.parts = open_memstream(&r.text[2], &r.size[2]);
    return r.meters != nullptr && r.flags != nullptr && r.parts != nullptr;
}

// Closes the texts; returns 0 or the errno of the first that failed.
int end_node_records(node_records& r)
{
    int err = 0;
    for (FILE* f : {r.meters, r.flags, r.parts})
        if (f != nullptr && std::fclose(f) != 0 && err == 0)
            err = errno;
    r.meters = r.flags = r.parts = nullptr;
    return err;
}

// Widens the nodes' span to take in [first, last].
void note_span(node_records& r, int64_t first_ns, int64_t last_ns)
{
    r.first_ns = !r.spanned || first_ns < r.first_ns ? first_ns : r.first_ns;
    r.last_ns = !r.spanned || last_ns > r.last_ns ? last_ns : r.last_ns;
    r.spanned = true;
}

void free_node_records(node_records& r)
{
    end_node_records(r);
    for (char* t : r.text)
        std::free(t);
}

// Reads node i of a case over several into part, saying on said what does
// not fit, and writes its part of the record into records where asked.
// Returns false having said why it can't be read.
bool read_node(const run_options& options, const char* node, node_part& part, node_records* records,
               node_curve* curve, int series_fd, said_of_case& said, int* gpus)
{
    run_options o = options;
    char* base = node_path(options.base_name, node, false);
    char* dir = node_path(options.base_name, node, true);
    o.base_name = base;
    o.gpu_dir = dir;
    // The nodes' picture and series are written once all are read.
    o.plot = nullptr;
    o.series = nullptr;
    case_reading c;
    bool read = base != nullptr && dir != nullptr &&
                read_case(o, c, said.out, curve != nullptr || records != nullptr || series_fd >= 0,
                          series_fd >= 0 ? options.series : nullptr);
    if (read) {
        part.known = node_log_span(c.logs.set.shapes[0], o.total_format != 0, &part.first, &part.last);
        part.figures = c.summary;
        part.row = c.phases != nullptr ? row_figures_of(o, *c.phases, c.summary) : c.summary;
        if (c.phases != nullptr)
            part.phases = c.phases->totals;
        *gpus = o.gpus > *gpus ? o.gpus : *gpus;
        part.phase_count = c.phases != nullptr ? drawn_phases(c.phases->plan, part.drawn) : 0;
        for (int i = 0; i < part.phase_count; ++i)
            part.drawn[i].name = part.phases.names[part.drawn[i].number];
    }
    int err = read && series_fd >= 0 ? keep_node_series(o, *c.phases, series_fd, &part.series_from_ns) : 0;
    if (err != 0) {
        std::printf("couldn't write %s\n", options.series);
        std::fprintf(said.out, "energy-totals: %s: %s\n", options.series, std::strerror(err));
        read = false;
    }
    if (read && curve != nullptr) {
        // The node meter, the CPUs, the GPUs: each kind's meters.
        const meter_view* meters[max_gpus];
        int first[node_kinds + 1] = {0, 1, 1 + o.cpus, 1 + o.cpus + o.gpus};
        for (int kind = 0; kind < node_kinds; ++kind) {
            int count = 0;
            for (int i = first[kind]; i < first[kind + 1]; ++i) {
                int meter = meter_of_figure(*c.phases, o, i);
                if (meter >= 0)
                    meters[count++] = &c.phases->view->meters[meter];
            }
            take_node_curve(*curve, kind, meters, count);
        }
    }
    if (read && records != nullptr) {
        static record_inputs in;
        in = record_inputs{};
        char names[1 + max_cpus + max_gpus][16];
        in.options = &o;
        in.figures = &c.summary;
        in.phases = has_phases(o) ? &c.phases->totals : nullptr;
        record_meters(o, c.logs, *c.phases, in, names);
        int64_t first = 0, last = 0;
        if (record_span(in, &first, &last))
            note_span(*records, first, last);
        err = write_node_record(in, node, records->meters, records->flags, records->parts);
        if (err != 0) {
            std::printf("couldn't write %s\n", options.record);
            std::fprintf(said.out, "energy-totals: %s: %s\n", options.record, std::strerror(err));
            read = false;
        }
    }
    end_case(c);
    std::free(base);
    std::free(dir);
    if (!read)
        std::fprintf(said.out, "energy-totals: --nodes: node %s's logs can't be read; nothing is appended\n", node);
    return read;
}

// A node read in a process of its own, so that the nodes are read at once
// on the CPUs the run may use: the process, and the files (in memory) it
// writes its standard output and error and its reply to.
struct node_reader {
    pid_t pid = -1;
    int out = -1, err = -1, reply = -1;
    int series = -1; // where it keeps the node's series (--series), the run's
};

// The head of a node reader's reply; after it come the node's part, its
// curve (with --plot), what it said of the node, its warnings' codes and
// its three texts of the record (with --record).
struct node_reply {
    bool read = false;
    int gpus = 0;
    size_t said_size = 0;
    int code_count = 0;
    size_t text_size[3] = {};
    int64_t first_ns = 0, last_ns = 0;
    bool spanned = false;
};

// Writes the size bytes at bytes to fd; false where it could not.
bool write_part(int fd, const void* bytes, size_t size)
{
    return write_all(fd, static_cast<const char*>(bytes), size) == 0;
}

// Reads size bytes at *at of fd into bytes, and moves *at past them.
bool read_part(int fd, off_t* at, void* bytes, size_t size)
{
    bool read = read_at(fd, static_cast<char*>(bytes), size, *at) == static_cast<ssize_t>(size);
    *at += static_cast<off_t>(size);
    return read;
}

// Copies all that fd holds to out.
void copy_out(int fd, FILE* out)
{
    char buffer[4096];
    long long at = 0;
    for (ssize_t n; (n = read_at(fd, buffer, sizeof buffer, at)) > 0; at += n)
        std::fwrite(buffer, 1, static_cast<size_t>(n), out);
}

// The reader's process: reads the node as read_node does, into memory of
// its own, and writes its reply. Never returns.
[[noreturn]] void read_node_apart(const run_options& options, const char* node, const node_reader& r)
{
    static node_part part;
    static node_curve curve;
    said_of_case said;
    node_records records;
    node_reply head;
    head.gpus = options.gpus;
    bool ready = dup2(r.out, STDOUT_FILENO) >= 0 && dup2(r.err, STDERR_FILENO) >= 0 && start_saying(said) &&
                 (options.record == nullptr || start_node_records(records));
    if (!ready)
        _exit(1);
    // The other nodes are read beside this one, on the CPUs it could use.
    run_options own = options;
    own.shares_cpus = true;
    head.read = read_node(own, node, part, options.record != nullptr ? &records : nullptr,
                          options.plot != nullptr ? &curve : nullptr, r.series, said, &head.gpus);
    bool ok = std::fflush(said.out) == 0 && end_node_records(records) == 0;
    head.said_size = said.size;
    head.code_count = said.codes.count;
    for (int k = 0; k < 3; ++k)
        head.text_size[k] = records.size[k];
    head.first_ns = records.first_ns;
    head.last_ns = records.last_ns;
    head.spanned = records.spanned;
    ok = ok && write_part(r.reply, &head, sizeof head) && write_part(r.reply, &part, sizeof part) &&
         (options.plot == nullptr || write_part(r.reply, &curve, sizeof curve)) &&
         write_part(r.reply, said.text, said.size) &&
         write_part(r.reply, said.codes.code, sizeof said.codes.code[0] * static_cast<size_t>(said.codes.count));
    for (int k = 0; k < 3; ++k)
        ok = ok && write_part(r.reply, records.text[k], records.size[k]);
    ok = std::fflush(stdout) == 0 && std::fflush(stderr) == 0 && ok;
    _exit(ok ? 0 : 1);
}

// Starts node's reader. Where it can't be started, r.pid stays -1.
void start_node_reader(const run_options& options, const char* node, node_reader& r)
{
    r.out = memfd_create("energy-totals-out", MFD_CLOEXEC);
    r.err = memfd_create("energy-totals-err", MFD_CLOEXEC);
    r.reply = memfd_create("energy-totals-reply", MFD_CLOEXEC);
    if (r.out >= 0 && r.err >= 0 && r.reply >= 0)
        r.pid = fork();
    if (r.pid == 0)
        read_node_apart(options, node, r);
}

// Takes node's reply from its reader once it is done into part and curve,
// passes on what it said, and adds its part of the record to records.
// Returns 1 where the node was read, 0 where its logs can't be, and -1
// where the reader gave no reply (it could not start, or stopped).
int take_node_reply(node_reader& r, node_part& part, node_curve* curve,
                    node_records* records, said_of_case& said, int* gpus)
{
    int status = 0;
    pid_t done = -1;
    while (r.pid > 0 && (done = waitpid(r.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    r.pid = -1;
    node_reply head;
    off_t at = 0;
    char* bytes = nullptr;
    size_t said_size = 0, size = 0;
    bool ok = done > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
              read_part(r.reply, &at, &head, sizeof head) && read_part(r.reply, &at, &part, sizeof part) &&
              (curve == nullptr || read_part(r.reply, &at, curve, sizeof *curve));
    if (ok) {
        said_size = head.said_size;
        size = said_size + sizeof(const char*) * static_cast<size_t>(head.code_count) + head.text_size[0] +
               head.text_size[1] + head.text_size[2];
        bytes = static_cast<char*>(std::malloc(size + 1));
        ok = bytes != nullptr && read_part(r.reply, &at, bytes, size);
    }
    if (!ok) {
        std::free(bytes);
        return -1;
    }
    copy_out(r.out, stdout);
    copy_out(r.err, stderr);
    std::fwrite(bytes, 1, said_size, said.out);
    // The codes are the addresses of this program's own texts, the same
    // in the reader's process; copied out, as they follow the text
    // unaligned.
    for (int k = 0; k < head.code_count; ++k) {
        const char* code;
        std::memcpy(&code, bytes + said_size + sizeof code * static_cast<size_t>(k), sizeof code);
        note_warning_code(code);
    }
    const char* text = bytes + said_size + sizeof(const char*) * static_cast<size_t>(head.code_count);
    for (int k = 0; records != nullptr && k < 3; ++k) {
        std::fwrite(text, 1, head.text_size[k], k == 0 ? records->meters : k == 1 ? records->flags : records->parts);
        text += head.text_size[k];
    }
    if (records != nullptr && head.spanned)
        note_span(*records, head.first_ns, head.last_ns);
    std::free(bytes);
    for (int i = 0; i < part.phase_count; ++i)
        part.drawn[i].name = part.phases.names[part.drawn[i].number];
    *gpus = head.gpus > *gpus ? head.gpus : *gpus;
    return head.read ? 1 : 0;
}

void end_node_reader(node_reader& r)
{
    if (r.pid > 0) {
        kill(r.pid, SIGKILL);
        while (waitpid(r.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    for (int fd : {r.out, r.err, r.reply})
        if (fd >= 0)
            (void)close(fd);
    r = node_reader{};
}

// Reads the nodes in the order listed, as read_node does, on as many
// processes at once as the run may use CPUs; what each says is passed on
// in that order, and the first node that can't be read ends the reading,
// as it would one node at a time. A node whose reader can't start or
// stops is read here. Returns false where a node can't be read.
bool read_nodes(const run_options& options, const node_list& nodes, node_part* parts, node_records* records,
                node_curve* curves, const int* series_fds, said_of_case& said, int* gpus)
{
    int at_once = static_cast<int>(allowed_cpus());
    node_reader* readers = at_once > 1 && nodes.count > 1 ? new_records<node_reader>(static_cast<size_t>(nodes.count))
                                                           : nullptr;
    if (readers != nullptr) {
        std::fflush(stdout);
        std::fflush(stderr);
        std::fflush(said.out);
    }
    int started = 0;
    bool read = true;
    for (int i = 0; read && i < nodes.count; ++i) {
        while (readers != nullptr && started < nodes.count && started < i + at_once) {
            readers[started].series = series_fds != nullptr ? series_fds[started] : -1;
            start_node_reader(options, nodes.names[started], readers[started]);
            ++started;
        }
        node_curve* curve = curves != nullptr ? &curves[i] : nullptr;
        int series = series_fds != nullptr ? series_fds[i] : -1;
        int taken = readers != nullptr ? take_node_reply(readers[i], parts[i], curve, records, said, gpus) : -1;
        read = taken < 0 ? read_node(options, nodes.names[i], parts[i], records, curve, series, said, gpus)
                         : taken == 1;
    }
    for (int i = 0; i < started; ++i)
        end_node_reader(readers[i]);
    std::free(readers);
    return read;
}

// Makes a file for each node's readings for the series (--series), beside
// it, removed at once, until all are read; fds[i] -1 for none. Returns
// false having said why where one can't be made.
bool start_node_series(const run_options& options, int* fds, int count)
{
    bool made = true;
    for (int i = 0; i < count; ++i) {
        char temp[4096];
        fds[i] = options.series != nullptr && made ? make_temporary(options.series, temp, sizeof temp, 0600) : -1;
        if (fds[i] >= 0) {
            (void)unlink(temp);
        } else if (options.series != nullptr && made) {
            int err = errno;
            std::printf("couldn't write %s\n", options.series);
            std::fprintf(stderr, "energy-totals: %s: %s\n", options.series, std::strerror(err));
            made = false;
        }
    }
    return made;
}

// Prints a node's figures, or the nodes' sums, and their phases.
void print_part(const run_options& options, const node_part& part)
{
    print_console_summary(part.figures, stdout, options.gpus, options.cpus);
    if (has_phases(options))
        print_phase_blocks(stdout, options, part.phases);
}

// Prints the nodes' sums (the last of parts), then each node's after a
// line "node: NAME", and flushes them out before the table is touched.
void print_nodes(const run_options& options, const node_list& nodes, const node_part* parts)
{
    print_part(options, parts[nodes.count]);
    for (int i = 0; i < nodes.count; ++i) {
        std::printf("node: %s\n", nodes.names[i]);
        print_part(options, parts[i]);
    }
    std::fflush(stdout);
}

// A case over several nodes: each node's logs read by the options given,
// in its directory; the summary, the phases, the record and the row the
// sums, node by node in the order listed, then each node's figures and
// phases. A node whose logs can't be read stops the run, naming it, and
// nothing is appended.
int run_nodes(run_options& options, const node_list& nodes, int argc, char** argv, said_of_case& said,
              const struct timespec& started, const struct timespec& began)
{
    node_part* parts = new_records<node_part>(static_cast<size_t>(nodes.count) + 1);
    node_part& sum = parts[nodes.count];
    node_records records;
    node_curve* curves = options.plot != nullptr ? new_records<node_curve>(static_cast<size_t>(nodes.count)) : nullptr;
    if (parts == nullptr || (options.record != nullptr && !start_node_records(records)) ||
        (options.plot != nullptr && curves == nullptr)) {
        std::printf("couldn't read %s.total.pwr: %s\n", options.base_name, std::strerror(ENOMEM));
        std::free(parts);
        std::free(curves);
        free_node_records(records);
        stop_saying(said);
        return -1;
    }
    double first[max_nodes], last[max_nodes];
    bool known[max_nodes] = {};
    int gpus = options.gpus;
    bool with_phases = has_phases(options);
    int series_fds[max_nodes];
    bool read = start_node_series(options, series_fds, nodes.count);
    read = read && read_nodes(options, nodes, parts, options.record != nullptr ? &records : nullptr, curves,
                              options.series != nullptr ? series_fds : nullptr, said, &gpus);
    for (int i = 0; read && i < nodes.count; ++i) {
        const node_part& part = parts[i];
        first[i] = part.first;
        last[i] = part.last;
        known[i] = part.known;
        add_summary(sum.figures, part.figures, i == 0);
        add_summary(sum.row, part.row, i == 0);
        if (with_phases)
            add_phase_totals(sum.phases, part.phases, i == 0);
    }
    if (read)
        warn_about_node_spans(said.out, nodes.names, first, last, known, nodes.count);
    options.gpus = gpus;
    if (read && curves != nullptr)
        read = draw_nodes(options, curves, nodes.names, nodes.count, parts[0].drawn, parts[0].phase_count) == 0;
    std::free(curves);
    int64_t series_from = INT64_MAX;
    for (int i = 0; i < nodes.count; ++i)
        series_from = parts[i].series_from_ns < series_from ? parts[i].series_from_ns : series_from;
    if (read && options.series != nullptr)
        read = draw_nodes_series(options, series_fds, nodes.names, nodes.count, series_from) == 0;
    for (int i = 0; i < nodes.count; ++i)
        if (series_fds[i] >= 0)
            (void)close(series_fds[i]);
    char* record = nullptr;
    size_t record_size = 0;
    if (read && options.record != nullptr) {
        int err = end_node_records(records);
        static record_inputs in;
        in = record_inputs{};
        in.figures = &sum.figures;
        in.phases = with_phases ? &sum.phases : nullptr;
        in.node_meters = records.text[0] != nullptr ? records.text[0] : "";
        in.node_flags = records.text[1] != nullptr ? records.text[1] : "";
        in.node_parts = records.text[2] != nullptr ? records.text[2] : "";
        in.nodes_seconds = records.spanned ? static_cast<double>(records.last_ns - records.first_ns) / 1e9 : 0;
        if (err != 0) {
            std::printf("couldn't write %s\n", options.record);
            std::fprintf(stderr, "energy-totals: %s: %s\n", options.record, std::strerror(err));
            read = false;
        } else {
            read = make_record(options, argc, argv, in, said, started, began, &record, &record_size);
        }
    }
    stop_saying(said);
    free_node_records(records);
    int status = -1;
    if (read) {
        print_nodes(options, nodes, parts);
        part_rows rows;
        rows.count = options.node_rows ? nodes.count : 0;
        rows.names = nodes.names;
        rows.parts = parts;
        status = write_case(options, sum.row, with_phases ? &sum.phases : nullptr, record, record_size, rows);
    }
    std::free(record);
    std::free(parts);
    return status;
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
        print_heading(stdout, options.gpus, options.cpus);
        return 0;
    case command_check: {
        record_check records = {options.record, check_records};
        return check_table(options.check, options.cases, stdout, stderr,
                           options.record != nullptr ? &records : nullptr);
    }
    case command_usage:
        std::fputs(usage_line, stdout);
        std::fprintf(stderr, "energy-totals: %s\n", reason);
        return -1;
    default:
        break;
    }

    // A case over several nodes: its names.
    node_list nodes;
    if (options.nodes != nullptr) {
        const char* wrong = take_nodes(options.nodes, nodes, reason, sizeof reason);
        if (wrong != nullptr) {
            std::fputs(usage_line, stdout);
            std::fprintf(stderr, "energy-totals: %s\n", wrong);
            std::free(nodes.text);
            return -1;
        }
    }
    // The run's start, for its record.
    struct timespec started = {}, began = {};
    clock_gettime(CLOCK_REALTIME, &started);
    clock_gettime(CLOCK_MONOTONIC, &began);
    // With --record, what is said of the case is kept for it too, and
    // passed on to standard error once the case is read.
    said_of_case said;
    bool ready = options.record == nullptr || record_is_reachable(options.record);
    if (ready && options.record != nullptr && !start_saying(said)) {
        std::printf("couldn't write %s\n", options.record);
        std::fprintf(stderr, "energy-totals: %s: %s\n", options.record, std::strerror(ENOMEM));
        ready = false;
    }
    if (!ready) {
        std::free(nodes.text);
        return -1;
    }
    say_slips(options, said.out);
    if (options.nodes != nullptr) {
        int status = run_nodes(options, nodes, argc, argv, said, started, began);
        std::free(nodes.text);
        return status;
    }
    case_reading c;
    bool read = read_case(options, c, said.out,
                          options.plot != nullptr || options.series != nullptr || options.record != nullptr,
                          options.series);
    bool with_phases = has_phases(options);
    char* record = nullptr;
    size_t record_size = 0;
    if (read && options.record != nullptr) {
        static record_inputs in;
        in = record_inputs{};
        char names[1 + max_cpus + max_gpus][16];
        in.figures = &c.summary;
        in.phases = with_phases ? &c.phases->totals : nullptr;
        record_meters(options, c.logs, *c.phases, in, names);
        read = make_record(options, argc, argv, in, said, started, began, &record, &record_size);
    }
    stop_saying(said);
    int status = -1;
    if (read) {
        print_console_summary(c.summary, stdout, options.gpus, options.cpus);
        if (with_phases)
            print_phase_blocks(stdout, options, c.phases->totals);
        // Out before the table is touched, so a run waiting for the lock
        // has shown its figures. Errors on standard output change nothing
        // here.
        std::fflush(stdout);
        energy_summary row = c.phases != nullptr ? row_figures_of(options, *c.phases, c.summary) : c.summary;
        status = write_case(options, row, with_phases ? &c.phases->totals : nullptr, record, record_size);
    }
    std::free(record);
    end_case(c);
    return status;
}
