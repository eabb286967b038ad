// The case in time as a run reports it: its phases read, split, printed,
// and their rows; its picture and series.
#include "case/phase_report.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "report/log_warnings.h"
#include "base/open_file.h"
#include "case/timed_relay.h"
#include "read/power_logs.h"
#include "report/summary_output.h"

namespace {

// The figures of a summary in order, total first, then CPU1 to CPU cpus,
// then GPU1 to GPU gpus; and the meter each comes from.
int figure_count(const run_options& o)
{
    return 1 + o.cpus + o.gpus;
}

double& figure_at(energy_summary& s, const run_options& o, int i)
{
    if (i == 0)
        return s.total_energy;
    return i <= o.cpus ? cpu_figure(s, i) : gpu_figure(s, i - o.cpus);
}

double figure_of(const energy_summary& s, const run_options& o, int i)
{
    if (i == 0)
        return s.total_energy;
    return i <= o.cpus ? cpu_figure(s, i) : gpu_figure(s, i - o.cpus);
}

int meter_of(const phase_report& r, const run_options& o, int i)
{
    if (i == 0)
        return total_meter;
    if (i <= o.cpus)
        return cpu_meter(i);
    int source = r.gpu_source[i - o.cpus - 1];
    return source >= 0 ? first_gpu_source + source : -1;
}

// The log a figure's meter reads, for messages.
const char* log_of(const phase_logs& logs, const run_options& o, int i)
{
    if (i == 0)
        return logs.total;
    if (i <= o.cpus)
        return logs.cpu;
    return logs.gpus[o.gpu_log != nullptr ? 0 : i - o.cpus - 1];
}

// The seconds of phase within meter's coverage; 0 where it has none.
double seconds_covered(const phase_report& r, int phase, int meter)
{
    int64_t from, to;
    if (meter < 0 || !meter_coverage(r.sums, meter, &from, &to))
        return 0;
    return phase_seconds_within(r.sums, phase, from, to);
}

// The meters' time together: from the earliest start to the latest end
// (all of it), or from the latest start to the earliest end (common).
// False where no meter has a reading.
bool meters_time(const phase_report& r, const run_options& o, bool common, int64_t* from, int64_t* to)
{
    bool any = false;
    for (int i = 0; i < figure_count(o); ++i) {
        int64_t f, l;
        int m = meter_of(r, o, i);
        if (m < 0 || !meter_coverage(r.sums, m, &f, &l))
            continue;
        *from = !any || (common ? f > *from : f < *from) ? f : *from;
        *to = !any || (common ? l < *to : l > *to) ? l : *to;
        any = true;
    }
    return any;
}

// A phase's length: its spans' seconds; for unmarked, the seconds of the
// logs' joint coverage that no phase marks.
double phase_length(const phase_report& r, const run_options& o, int phase)
{
    int64_t first = 0, last = 0;
    bool any = meters_time(r, o, false, &first, &last);
    if (phase == r.plan.count)
        return any ? phase_seconds_within(r.sums, phase, first, last) : 0;
    return phase_seconds_within(r.sums, phase, INT64_MIN / 2, INT64_MAX / 2);
}

// Whether the run reads logs in this pass alone, and says what goes wrong
// with them as it reads them again.
bool left_to_pass(const phase_logs& logs)
{
    return logs.all_gpus != nullptr || logs.parts != nullptr;
}

// The logs of a case read in time, as read_each_in_time reads them: what
// it needs, and where it leaves what went wrong.
struct in_time_reading {
    const run_options& o;
    const phase_logs& logs;
    phase_report& r;
    line_buffer& lb;
    cpu_log& cpu;
    gpu_csv_log* all; // the one log of every GPU's record: the run's, or scratch
    const char* failed;  // the log that could not be read
    int first, end;      // the logs it reads: 0 the node's, 1 the CPUs', 2 on the GPUs'
    int status = 0;      // what reading them returned
};

// Reads each log of the case, every reading passed on to sink in time.
int read_each_in_time(void* context, const timed_sink& sink)
{
    auto& c = *static_cast<in_time_reading*>(context);
    const run_options& o = c.o;
    int err = 0;
    for (int i = c.first; err == 0 && i < c.end; ++i) {
        c.failed = i == 0 ? c.logs.total : i == 1 ? c.logs.cpu : c.logs.gpus[i - 2];
        int fd = open_file(c.failed, O_RDONLY | O_NOCTTY);
        if (fd < 0)
            return errno;
        // The plain logs' figures and shapes where the run takes them from
        // here, else scratch.
        energy_summary scratch_part;
        log_shape scratch_shape;
        energy_summary& part = c.logs.parts != nullptr ? c.logs.parts[i] : scratch_part;
        log_shape& shape = c.logs.shapes != nullptr ? c.logs.shapes[i] : scratch_shape;
        part = energy_summary{};
        shape = log_shape{};
        if (i == 0) {
            node_log_options no;
            no.format = o.total_format;
            no.columns = o.total_columns;
            no.period = o.total_period;
            no.sink = &sink;
            char error[256];
            err = read_node_log(fd, c.lb, no, part, shape, error);
        } else if (i == 1) {
            cpu_log_options co = {static_cast<cpu_format>(o.cpu_format), o.cpus, o.cpu_fields, o.cpu_wrap, &sink,
                                  o.cpus_given};
            err = read_cpu_log(fd, c.lb, co, c.cpu);
            part = c.cpu.part;
            shape = c.cpu.shape;
        } else if (c.all != nullptr) {
            err = read_gpu_csv_log(fd, c.lb, o.gpu_columns, o.gpus_given ? o.gpus : 0, *c.all, &sink);
            // Every GPU the log holds: the run may settle how many it
            // reports only once the log is read.
            for (int k = 0; k < max_gpus; ++k)
                c.r.gpu_source[k] = k < c.all->gpus ? c.all->source[k] : -1;
        } else {
            err = o.gpu_stamps ? read_timed_gpu_log(fd, c.lb, i - 1, sink, part, shape)
                               : read_timed_plain_gpu_log(fd, c.lb, i - 1, o.gpu_period, sink, part, shape);
            c.r.gpu_source[i - 2] = i - 2;
        }
        (void)close(fd);
    }
    c.status = err;
    return err;
}

// Reads the logs again, each reading passed on to sink in time: read on a
// thread of their own while sink places them, where there is a CPU for it.
// The one log of every GPU goes into logs.all_gpus where the run reads it
// here alone; a failure is then the run's to say, reading it again.
int read_in_time(const run_options& o, const phase_logs& logs, phase_report& r, const timed_sink& sink)
{
    line_buffer lb;
    if (line_buffer_init(lb, default_line_buffer_size) != 0)
        return ENOMEM;
    cpu_log* cpu = new_records<cpu_log>(1);
    gpu_csv_log* all = o.gpu_log == nullptr       ? nullptr
                       : logs.all_gpus != nullptr ? new (logs.all_gpus) gpu_csv_log
                                                  : new_records<gpu_csv_log>(1);
    int err = cpu == nullptr || (o.gpu_log != nullptr && all == nullptr) ? ENOMEM : 0;
    int count = 2 + (o.gpu_log != nullptr ? 1 : o.gpus);
    in_time_reading c = {o, logs, r, lb, *cpu, all, logs.total, 0, count};
    // The GPUs' logs read on a thread of their own beside the others where
    // the order of their readings does not matter: no series keeps them in
    // that order, and they date nothing and place their readings by no
    // other meter's. The one log of every GPU the run reads here alone,
    // its stamps dated, beside the node's and CPUs' logs; plain GPU logs,
    // placed from the node log's start, beside the CPUs' once the node's
    // is placed.
    line_buffer gpu_lb;
    bool plain_gpus = o.gpu_log == nullptr && !o.gpu_stamps;
    bool apart = (logs.all_gpus != nullptr || plain_gpus) && (r.view == nullptr || r.view->series == nullptr) &&
                 err == 0 && line_buffer_init(gpu_lb, default_line_buffer_size) == 0;
    in_time_reading gpus = {o, logs, r, gpu_lb, *cpu, all, logs.gpus[0], 2, count};
    timed_reader readers[max_timed_readers] = {{read_each_in_time, &c}, {read_each_in_time, &gpus}};
    if (apart && plain_gpus) {
        c.end = 1;
        err = relay_timed_readings(readers, 1, sink, !o.shares_cpus);
        c.first = 1;
    }
    c.end = apart ? 2 : count;
    if (err == 0)
        err = relay_timed_readings(readers, apart ? 2 : 1, sink, !o.shares_cpus);
    if (apart)
        line_buffer_free(gpu_lb);
    if (c.status == 0 && gpus.status != 0)
        c.failed = gpus.failed;
    // Apart or not, the run says what went wrong with the one log's case,
    // reading it again.
    bool quiet = left_to_pass(logs);
    if (err == EINVAL && c.failed == logs.cpu && cpu->error[0] != '\0' && !quiet) {
        char option[48];
        std::snprintf(option, sizeof option, "--cpu-format=%s", cpu_format_name(o.cpu_format));
        say_not_fitting(logs.cpu, option, nullptr, cpu->error);
        err = -1;
    }
    if (err > 0 && !quiet)
        std::printf("couldn't read %s: %s\n", c.failed, std::strerror(err));
    std::free(cpu);
    if (all != logs.all_gpus)
        std::free(all);
    line_buffer_free(lb);
    return err;
}

// The run's times before the phases are split: where a window counts from
// the logs' coverage, or nothing (a mark, a GPU stamp) dates the logs'
// times of day, a first reading finds the moment to date them by and the
// coverage. Returns false having said what is wrong.
bool settle_times(const run_options& o, const phase_logs& logs, phase_report& r, bool* anchored,
                  int64_t* anchor)
{
    *anchored = r.plan.dated || logs.dated;
    *anchor = r.plan.dated ? r.plan.first_mark_ns : logs.date_ns;
    bool offsets = !reads_logs_once(r.plan);
    // Twice where the first reading dates the times of day it met. A run
    // without phases places its meters in time for the view alone, which
    // the anchor changes only where times of day meet it: split_by_phase
    // reads its logs again then, rather than every run reading them once
    // ahead.
    for (int pass = 0; pass < 2 && (offsets || (!*anchored && has_phases(o))); ++pass) {
        if (!start_phase_sums(r.sums, r.plan, *anchored, *anchor))
            return false;
        r.sums.split_energy = false; // its times alone are wanted here
        timed_sink sink = phase_sink(r.sums);
        if (read_in_time(o, logs, r, sink) != 0)
            return false;
        finish_phase_sums(r.sums);
        bool again = !*anchored && r.sums.saw_instant && r.sums.saw_clock;
        if (!*anchored && r.sums.saw_instant) {
            *anchored = true;
            *anchor = r.sums.first_instant_ns;
        }
        int64_t from = 0, to = 0;
        if (!again && offsets) {
            char why[200];
            if (!meters_time(r, o, true, &from, &to) || settle_window(r.plan, from, to, why, sizeof why) != 0) {
                std::printf("couldn't place --window=%s\n", o.window);
                std::fprintf(stderr, "energy-totals: %s: --window: %s\n", logs.case_name,
                             from == to ? "the logs hold no common time" : why);
                return false;
            }
        }
        free_phase_sums(r.sums);
        r.sums = phase_sums{};
        if (!again)
            break;
    }
    return true;
}

// Says where a phase lies outside a log: an error where it lies wholly
// outside (false), a warning where partly. Also where a phase is too short
// for the GPU's readings.
bool check_phase(const run_options& o, const phase_logs& logs, const phase_report& r, int p, FILE* err)
{
    const char* name = r.plan.names[p];
    double length = phase_length(r, o, p);
    const char* said = nullptr; // a log read for several figures is said once
    for (int i = 0; i < figure_count(o); ++i) {
        int m = meter_of(r, o, i);
        int64_t f, l;
        if (m < 0 || !meter_coverage(r.sums, m, &f, &l))
            continue;
        double covered = seconds_covered(r, p, m);
        if (covered <= 0 && length > 0) {
            std::printf("couldn't place phase %s: it lies outside %s\n", name, log_of(logs, o, i));
            std::fprintf(err, "energy-totals: %s: phase %s (%s line %lu) lies outside %s, whose readings "
                              "cover %.3f s; are the marks of this case?\n",
                         logs.case_name, name, r.plan.file != nullptr ? r.plan.file : "--window", r.plan.lines[p],
                         log_of(logs, o, i), static_cast<double>(l - f) / 1e9);
            return false;
        }
        if (covered < length * (1 - 1e-9) && log_of(logs, o, i) != said) {
            said = log_of(logs, o, i);
            note_warning_code("phase-partly-outside");
            std::fprintf(err, "energy-totals: %s: phase %s: %s covers %.3f s of its %.3f s; its figures are "
                              "of that part\n",
                         logs.case_name, name, said, covered, length);
        }
    }
    if (logs.gpu_period > 0 && length < 3 * logs.gpu_period) {
        note_warning_code("phase-short");
        std::fprintf(err, "energy-totals: %s: phase %s lasts %.3f s, less than three GPU readings (%.3f s "
                          "apart): its GPU figures rest on a few points\n",
                     logs.case_name, name, length, logs.gpu_period);
    }
    if (logs.averaged && length < 1) {
        note_warning_code("phase-shorter-than-average");
        std::fprintf(err, "energy-totals: %s: phase %s lasts %.3f s, less than the second over which "
                          "power.draw averages: log power.draw.instant\n",
                     logs.case_name, name, length);
    }
    return true;
}

// --idle-watts=total:410,cpu1:35,gpu1:60. Returns null or what is wrong
// (in why, why_size bytes), naming the option and the key.
const char* take_idle_watts(const char* text, const run_options& o, energy_summary& idle, char* why, size_t why_size)
{
    for (const char* p = text; *p != '\0';) {
        const char* colon = std::strchr(p, ':');
        if (colon == nullptr)
            return "--idle-watts: takes METER:WATTS,..., as in total:410,cpu1:35,gpu1:60";
        size_t n = static_cast<size_t>(colon - p);
        double* into = nullptr;
        if (n == 5 && std::memcmp(p, "total", 5) == 0)
            into = &idle.total_energy;
        else if (n == 4 && (std::memcmp(p, "cpu", 3) == 0 || std::memcmp(p, "gpu", 3) == 0) && p[3] >= '1' &&
                 p[3] - '0' <= (p[0] == 'c' ? o.cpus : o.gpus))
            into = p[0] == 'c' ? &cpu_figure(idle, p[3] - '0') : &gpu_figure(idle, p[3] - '0');
        if (into == nullptr) {
            std::snprintf(why, why_size, "--idle-watts: \"%.*s\" names a meter this run has not: total, cpu1 to "
                                         "cpu%d, gpu1 to gpu%d", static_cast<int>(n < 32 ? n : 32), p, o.cpus, o.gpus);
            return why;
        }
        char* after;
        *into = std::strtod(colon + 1, &after);
        if (after == colon + 1 || (*after != ',' && *after != '\0') || !std::isfinite(*into))
            return "--idle-watts: takes watts after each meter, as in total:410";
        p = *after == ',' ? after + 1 : after;
    }
    return nullptr;
}

// Each figure of phase p (plan.count: unmarked), and net of idle power.
energy_summary figures_of(const run_options& o, const phase_report& r, int p, bool net)
{
    energy_summary s;
    phase_figures(r.sums, p, r.gpu_source, o.gpus, o.cpus, s);
    for (int i = 0; net && i < figure_count(o); ++i) {
        double& f = figure_at(s, o, i);
        f -= figure_of(r.idle, o, i) * seconds_covered(r, p, meter_of(r, o, i));
    }
    return s;
}

// The totals of the phases of r, once split.
void total_phases(const run_options& o, const phase_report& r, phase_totals& t)
{
    t.blocks = r.plan.count + (r.sums.overlap ? 0 : 1);
    t.net = r.net;
    for (int p = 0; p < t.blocks; ++p) {
        std::snprintf(t.names[p], sizeof t.names[p], "%s", p < r.plan.count ? r.plan.names[p] : "unmarked");
        t.gross[p] = figures_of(o, r, p, false);
        t.net_figures[p] = r.net ? figures_of(o, r, p, true) : energy_summary{};
        t.seconds[p] = phase_length(r, o, p);
    }
}

} // namespace

bool reads_logs_once(const phase_plan& plan)
{
    return !(plan.window && (plan.from_offset || plan.to_offset));
}

int read_phase_plan(const run_options& options, phase_report& report)
{
    char why[320];
    int status = options.phases != nullptr ? read_phase_marks(options.phases, report.plan, why, sizeof why) : 0;
    if (status > 0) {
        std::printf("couldn't read %s: %s\n", options.phases, std::strerror(status));
        return -1;
    }
    if (status < 0) {
        std::printf("couldn't read %s: its marks do not fit\n", options.phases);
        std::fprintf(stderr, "energy-totals: %s: %s\n", options.phases, why);
        return -1;
    }
    if (options.window != nullptr && add_window(options.window, report.plan, why, sizeof why) != 0) {
        std::printf("couldn't place --window=%s\n", options.window);
        std::fprintf(stderr, "energy-totals: --window: %s\n", why);
        return -1;
    }
    return 0;
}

int read_by_phase(const run_options& o, const phase_logs& logs, phase_report& r)
{
    for (int& s : r.gpu_source)
        s = -1;
    bool anchored;
    int64_t anchor;
    if (!settle_times(o, logs, r, &anchored, &anchor))
        return -1;
    for (int pass = 0;; ++pass) {
        if (!start_phase_sums(r.sums, r.plan, anchored, anchor)) {
            if (!left_to_pass(logs))
                std::printf("couldn't read %s: %s\n", logs.total, std::strerror(ENOMEM));
            return -1;
        }
        // The phases' energies, where phases are asked for; else the
        // readings in time are for the view and the meters' times alone.
        r.sums.split_energy = has_phases(o);
        timed_sink sink = phase_sink(r.sums);
        reading_observer observer;
        if (r.view != nullptr) {
            observer = view_observer(*r.view);
            r.sums.observer = &observer;
        }
        int status = read_in_time(o, logs, r, sink);
        r.sums.observer = nullptr;
        if (status != 0)
            return -1;
        // Times of day met without a date: again, on the day the first
        // dated reading gives them.
        if (pass > 0 || anchored || !r.sums.saw_instant || !r.sums.saw_clock)
            break;
        anchored = true;
        anchor = r.sums.first_instant_ns;
        free_phase_sums(r.sums);
        r.sums = phase_sums{};
        int reset = r.view != nullptr ? reset_case_view(*r.view) : 0;
        if (reset != 0) {
            const char* kept = o.series != nullptr ? o.series : logs.total;
            std::printf("couldn't write %s\n", kept);
            std::fprintf(stderr, "energy-totals: %s: %s\n", kept, std::strerror(reset));
            return -1;
        }
    }
    finish_phase_sums(r.sums);
    if (r.view != nullptr)
        finish_case_view(*r.view);
    return 0;
}

int judge_phases(const run_options& o, const phase_logs& logs, phase_report& r, FILE* err)
{
    for (int i = 0; i < figure_count(o); ++i)
        if (meter_of(r, o, i) >= 0 && meter_untimed(r.sums, meter_of(r, o, i))) {
            std::printf("couldn't place %s in time\n", log_of(logs, o, i));
            std::fprintf(err, "energy-totals: %s: %s: no line has a time stamp to place its readings by (a "
                              "date and time, seconds since the epoch, or a time of day, first on the line)\n",
                         logs.case_name, log_of(logs, o, i));
            return -1;
        }
    for (int p = 0; p < r.plan.count; ++p)
        if (!check_phase(o, logs, r, p, err))
            return -1;
    const char* wrong = nullptr;
    if (o.idle != nullptr) {
        r.idle_phase = find_phase(r.plan, o.idle, std::strlen(o.idle));
        if (r.idle_phase < 0) {
            wrong = "--idle: names no phase of the marks";
        } else {
            for (int i = 0; i < figure_count(o); ++i) {
                double seconds = seconds_covered(r, r.idle_phase, meter_of(r, o, i));
                energy_summary gross = figures_of(o, r, r.idle_phase, false);
                figure_at(r.idle, o, i) = seconds > 0 ? figure_at(gross, o, i) / seconds : 0;
            }
            r.net = true;
        }
    } else if (o.idle_watts != nullptr) {
        static char why[160];
        wrong = take_idle_watts(o.idle_watts, o, r.idle, why, sizeof why);
        r.net = wrong == nullptr;
    }
    if (wrong == nullptr && o.row != nullptr && std::strcmp(o.row, "net") == 0 && !r.net)
        wrong = "--row=net: needs the idle power, --idle=PHASE or --idle-watts=LIST";
    else if (wrong == nullptr && o.row != nullptr && std::strcmp(o.row, "net") != 0 && find_phase(r.plan, o.row, std::strlen(o.row)) < 0 &&
             !(std::strcmp(o.row, "unmarked") == 0 && !r.sums.overlap))
        wrong = "--row: names no phase of the marks";
    if (wrong != nullptr) {
        std::puts("usage: filename case# write id");
        std::fprintf(err, "energy-totals: %s\n", wrong);
        return -1;
    }
    total_phases(o, r, r.totals);
    return 0;
}

int split_by_phase(const run_options& o, const phase_logs& logs, phase_report& r, FILE* err)
{
    return read_by_phase(o, logs, r) != 0 ? -1 : judge_phases(o, logs, r, err);
}

void add_phase_totals(phase_totals& sum, const phase_totals& part, bool first)
{
    if (first) {
        sum = part;
        return;
    }
    for (int p = 0; p < sum.blocks; ++p) {
        add_summary(sum.gross[p], part.gross[p], false);
        add_summary(sum.net_figures[p], part.net_figures[p], false);
        sum.seconds[p] = std::fmax(sum.seconds[p], part.seconds[p]);
    }
}

void print_phase_blocks(FILE* out, const run_options& o, const phase_totals& t)
{
    for (int p = 0; p < t.blocks; ++p) {
        std::fprintf(out, "phase: %s\nseconds: %f\n", t.names[p], t.seconds[p]);
        print_figures(t.gross[p], out, o.gpus, o.cpus, "");
        if (t.net)
            print_figures(t.net_figures[p], out, o.gpus, o.cpus, "net ");
    }
}

energy_summary row_figures_of(const run_options& o, const phase_report& r, const energy_summary& whole)
{
    if (o.row == nullptr)
        return whole;
    if (std::strcmp(o.row, "net") != 0) {
        int p = find_phase(r.plan, o.row, std::strlen(o.row));
        return figures_of(o, r, p >= 0 ? p : r.plan.count, false);
    }
    energy_summary net = whole;
    for (int i = 0; i < figure_count(o); ++i) {
        int64_t f, l;
        int m = meter_of(r, o, i);
        if (m >= 0 && meter_coverage(r.sums, m, &f, &l))
            figure_at(net, o, i) -= figure_of(r.idle, o, i) * (static_cast<double>(l - f) / 1e9);
    }
    return net;
}

int format_phase_rows(const run_options& o, const phase_totals& t, const char* label, char* rows, size_t used,
                      size_t size)
{
    bool net = o.row != nullptr && std::strcmp(o.row, "net") == 0;
    for (int p = 0; p < t.blocks; ++p) {
        char name[max_label_length + max_node_name + max_phase_name + 3];
        std::snprintf(name, sizeof name, "%s/%s", label, t.names[p]);
        int n = format_results_row(net ? t.net_figures[p] : t.gross[p], name, rows + used, size - used, o.gpus,
                                   o.cpus);
        if (n < 0)
            return -1;
        used += static_cast<size_t>(n);
    }
    return static_cast<int>(used);
}

void meter_name(const run_options& o, int i, char* buf, size_t size)
{
    if (i == 0)
        std::snprintf(buf, size, "node");
    else if (i <= o.cpus)
        std::snprintf(buf, size, "CPU%d", i);
    else
        std::snprintf(buf, size, "GPU%d", i - o.cpus);
}

namespace {

// Writes a file by write into a temporary file of its own beside name
// (made new, through no link), synced and renamed into place once whole,
// so that nothing half written is ever under name and nothing planted is
// written through. Returns 0 or errno.
template <class Write>
int write_in_place(const char* name, Write write)
{
    char fresh[4096];
    int fd = make_temporary(name, fresh, sizeof fresh, 0666);
    FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (out == nullptr) {
        int err = errno;
        if (fd >= 0) {
            (void)close(fd);
            (void)unlink(fresh);
        }
        return err;
    }
    int err = write(out);
    if (std::fflush(out) != 0 && err == 0)
        err = errno;
    if (std::ferror(out) && err == 0)
        err = EIO;
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (std::fclose(out) != 0 && err == 0)
        err = errno;
    if (err == 0 && std::rename(fresh, name) != 0)
        err = errno;
    if (err != 0)
        (void)unlink(fresh);
    return err;
}

} // namespace

int drawn_phases(const phase_plan& plan, drawn_phase* phases)
{
    int count = 0;
    for (int i = 0; i < plan.span_count && count < max_drawn_phases; ++i)
        phases[count++] = {plan.names[plan.spans[i].phase], plan.spans[i].from_ns, plan.spans[i].to_ns,
                           plan.spans[i].phase};
    return count;
}

int draw_nodes(const run_options& o, const node_curve* nodes, const char* const* names, int count,
               const drawn_phase* phases, int phase_count)
{
    const char* title = o.label != nullptr ? o.label : o.base_name;
    int err = write_in_place(o.plot, [&](FILE* out) {
        return write_nodes_plot(out, nodes, names, count, phases, phase_count, title);
    });
    if (err == 0)
        return 0;
    std::printf("couldn't write %s\n", o.plot);
    std::fprintf(stderr, "energy-totals: %s: %s\n", o.plot, std::strerror(err));
    return -1;
}

int keep_node_series(const run_options& o, phase_report& r, int fd, int64_t* from_ns)
{
    int figure_of_meter[timed_meters];
    for (int& f : figure_of_meter)
        f = -1;
    for (int i = 0; i < figure_count(o); ++i) {
        int m = meter_of(r, o, i);
        if (m < 0)
            continue;
        figure_of_meter[m] = i;
        if (r.view->meters[m].any && r.view->meters[m].first_ns < *from_ns)
            *from_ns = r.view->meters[m].first_ns;
    }
    FILE* in = r.view->series;
    int err = rewind_kept_readings(*r.view);
    int copy = err == 0 ? dup(fd) : -1;
    FILE* out = copy >= 0 && ftruncate(copy, 0) == 0 && lseek(copy, 0, SEEK_SET) == 0 ? fdopen(copy, "w") : nullptr;
    if (err == 0 && out == nullptr)
        err = errno != 0 ? errno : EIO;
    if (out == nullptr && copy >= 0)
        (void)close(copy);
    int32_t meter;
    int64_t ns;
    double watts;
    while (err == 0 && take_kept_reading(in, &meter, &ns, &watts))
        if (figure_of_meter[meter] >= 0 && !put_kept_reading(out, figure_of_meter[meter], ns, watts))
            err = errno != 0 ? errno : EIO;
    if (err == 0 && std::ferror(in))
        err = EIO;
    if (out != nullptr && std::fclose(out) != 0 && err == 0)
        err = errno != 0 ? errno : EIO;
    return err;
}

int draw_nodes_series(const run_options& o, const int* fds, const char* const* names, int count, int64_t from_ns)
{
    int err = write_in_place(o.series, [&](FILE* out) {
        std::fputs("seconds,meter,watts\n", out);
        int failed = 0;
        for (int n = 0; n < count && failed == 0; ++n) {
            int copy = dup(fds[n]);
            FILE* in = copy >= 0 && lseek(copy, 0, SEEK_SET) == 0 ? fdopen(copy, "r") : nullptr;
            if (in == nullptr) {
                failed = errno != 0 ? errno : EIO;
                if (copy >= 0)
                    (void)close(copy);
                break;
            }
            int32_t figure;
            int64_t ns;
            double watts;
            char meter[16];
            while (take_kept_reading(in, &figure, &ns, &watts)) {
                meter_name(o, figure, meter, sizeof meter);
                std::fprintf(out, "%.9f,%s@%s,%.17g\n", static_cast<double>(ns - from_ns) / 1e9, meter, names[n], watts);
            }
            failed = std::ferror(in) ? EIO : 0;
            std::fclose(in);
        }
        return failed != 0 ? failed : std::ferror(out) ? EIO : 0;
    });
    if (err == 0)
        return 0;
    std::printf("couldn't write %s\n", o.series);
    std::fprintf(stderr, "energy-totals: %s: %s\n", o.series, std::strerror(err));
    return -1;
}

int draw_case(const run_options& o, const phase_logs& logs, phase_report& r)
{
    if (r.view == nullptr)
        return 0;
    char names[1 + max_cpus + max_gpus][16];
    drawn_meter meters[1 + max_cpus + max_gpus];
    int count = 0;
    for (int i = 0; i < figure_count(o); ++i) {
        int m = meter_of(r, o, i);
        if (m < 0)
            continue;
        // The node black, the CPUs blues, the GPUs warm and then other colours.
        static const char* const cpu_colours[max_cpus] = {"#1f5fa8", "#4fa3d8", "#2b5f7f", "#6f8fd0",
                                                          "#143c6e", "#5fb0b0", "#3a4fa0", "#90c0e0"};
        static const char* const gpu_colours[max_gpus] = {"#d62728", "#ff7f0e", "#2ca02c", "#9467bd",
                                                          "#8c564b", "#e377c2", "#bcbd22", "#7f7f7f"};
        const char* colour = i == 0 ? "#000000" : i <= o.cpus ? cpu_colours[i - 1] : gpu_colours[i - o.cpus - 1];
        meter_name(o, i, names[count], sizeof names[count]);
        meters[count] = {names[count], colour, &r.view->meters[m]};
        ++count;
    }
    drawn_phase phases[max_drawn_phases];
    int phase_count = drawn_phases(r.plan, phases);
    const char* title = o.label != nullptr ? o.label : logs.case_name;
    const char* failed = nullptr;
    int err = 0;
    if (o.plot != nullptr) {
        err = write_in_place(o.plot, [&](FILE* out) { return write_plot(out, meters, count, phases, phase_count, title); });
        failed = err != 0 ? o.plot : nullptr;
    }
    if (err == 0 && o.series != nullptr) {
        err = write_in_place(o.series, [&](FILE* out) { return write_series(out, *r.view, meters, count); });
        failed = err != 0 ? o.series : nullptr;
    }
    if (err == 0)
        return 0;
    std::printf("couldn't write %s\n", failed);
    std::fprintf(stderr, "energy-totals: %s: %s\n", failed, std::strerror(err));
    return -1;
}

int meter_of_figure(const phase_report& r, const run_options& o, int i)
{
    return meter_of(r, o, i);
}

void free_phase_report(phase_report& report)
{
    free_phase_plan(report.plan);
    free_phase_sums(report.sums);
    if (report.view != nullptr)
        free_case_view(*report.view);
    std::free(report.view);
    report.view = nullptr;
}
