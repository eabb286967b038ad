// What is said on standard error about logs that do not fit their rules.
#include "report/log_warnings.h"

#include <cmath>
#include <cstring>

#include "base/text.h"
#include "read/time_stamps.h"

namespace {

warning_codes* collected = nullptr;

} // namespace

void collect_warning_codes(warning_codes* codes)
{
    collected = codes;
}

void say_not_fitting(const char* name, const char* option, const char* case_name, const char* why,
                     const char* hint)
{
    std::printf("couldn't read %s: it does not fit %s\n", name, option);
    std::fprintf(stderr, "energy-totals: %s%s%s: %s%s\n", case_name != nullptr ? case_name : "",
                 case_name != nullptr ? ": " : "", name, why, hint);
}

void note_warning_code(const char* code)
{
    if (collected != nullptr && collected->count < 256)
        collected->code[collected->count++] = code;
}

namespace {

// Logs shorter than this, in lines, are too short for their lengths in time
// to be compared on their own: a few lines either way at the ends would
// decide it. One that short is still compared with a long one.
constexpr unsigned long long lines_to_compare = 20;

// How far two lengths in time may differ, either way, before it is said.
// nvidia-smi's -lms is the pause between queries, so real logs run a little
// long; a fifth off is not that.
constexpr double time_tolerance = 1.25;

// A day: stamps without a date may have wrapped more than once in a log
// that long.
constexpr double seconds_a_day = 86400;

using count = unsigned long long;

// A count and its noun: "1 line", "2 lines".
const char* noun(count n, const char* one, const char* many)
{
    return n == 1 ? one : many;
}

count as_count(uint64_t n)
{
    return static_cast<count>(n);
}

// How a warning starts: the program, the case where the log's name does
// not hold it, and the log. code names the warning, for the record.
void start(FILE* out, const read_log_report& log, const char* code)
{
    note_warning_code(code);
    std::fputs("energy-totals: ", out);
    if (log.case_name != nullptr)
        std::fprintf(out, "%s: ", log.case_name);
    std::fprintf(out, "%s: ", log.name);
}

// The first such line: its number and its first 60 bytes, control bytes
// escaped.
void where(FILE* out, const picked_line& line)
{
    if (line.number == 0) {
        std::fputs("\n", out);
        return;
    }
    std::fprintf(out, " (first at line %llu: \"", as_count(line.number));
    quote_bytes(out, line.text, line.length, 60);
    std::fputs("\")\n", out);
}

// A warning of n things of a kind: "N ONE|MANY REST", then where the
// first of them stands.
void say_counted(FILE* out, const read_log_report& log, const char* code, uint64_t n, const char* one,
                 const char* many, const char* rest, const picked_line& first)
{
    start(out, log, code);
    std::fprintf(out, "%llu %s %s", as_count(n), noun(as_count(n), one, many), rest);
    where(out, first);
}

// The blank lines at the end of a log, which stand for nothing: all of
// them where no other line is.
count trailing_blanks(const read_log_report& log)
{
    const blank_lines& b = log.shape->blanks;
    return as_count(b.any_other ? b.trailing : b.leading);
}

// The blank lines with a line that is not blank after them.
count inner_blanks(const read_log_report& log)
{
    const blank_lines& b = log.shape->blanks;
    return b.any_other ? as_count(b.leading + b.among) : 0;
}

// Whether the first bytes of a log hold a carriage return with more after
// it than a newline: lines ended by carriage returns alone.
bool carriage_returns_alone(const picked_line& line)
{
    const char* cr = static_cast<const char*>(std::memchr(line.text, '\r', line.length));
    return cr != nullptr && cr + 1 < line.text + line.length && cr[1] != '\n';
}

// What a log none of whose lines holds a reading might be, by its first
// bytes.
const char* unreadable_because(const picked_line& opening, bool total_log)
{
    if (opening.length >= 2 && static_cast<unsigned char>(opening.text[0]) == 0x1f &&
        static_cast<unsigned char>(opening.text[1]) == 0x8b)
        return "it is compressed with gzip";
    if (std::memchr(opening.text, '\0', opening.length) != nullptr)
        return "UTF-16? compressed?";
    if (total_log)
        return "two blanks between the first fields? UTF-16? compressed?";
    return "UTF-16? compressed? another format?";
}

// The lines of the log that stand for time: not a header, nor the blank
// lines at its end.
count data_lines(const read_log_report& log)
{
    const log_shape& shape = *log.shape;
    return as_count(shape.lines) - (shape.header ? 1 : 0) - trailing_blanks(log);
}

void warn_about_shape(FILE* out, const read_log_report& log, unsigned readings_per_line,
                      bool total_log = false, bool stamped = false)
{
    const log_shape& shape = *log.shape;
    if (shape.header_readings) {
        start(out, log, "header-holds-readings");
        std::fprintf(out, "its first line, skipped as the header, holds numbers in fields %d and %d: "
                          "probably a reading, lost (does the log lack its header line?)\n",
                     cpu_kind.fields[0], cpu_kind.fields[1]);
    }
    bool one_line = as_count(shape.lines) == (readings_per_line == 2 ? 0u : 1u);
    if (shape.unended && one_line && carriage_returns_alone(shape.opening)) {
        start(out, log, "carriage-returns");
        std::fputs("its lines end in carriage returns alone (an old Mac's line ends), so it reads "
                   "as one line; convert it with tr '\\r' '\\n'\n",
                   out);
    } else if (as_count(shape.lines) * readings_per_line == as_count(shape.no_reading)) {
        start(out, log, "no-readings");
        // A header alone, or blank lines, are a meter that never wrote.
        if (!shape.blanks.any_other)
            std::fputs("holds no readings; its figures are 0 (did the meter run?)\n", out);
        else
            std::fprintf(out, "no line is readable (%s); its figures are 0\n",
                         unreadable_because(log.shape->opening, total_log));
    } else {
        count blanks = inner_blanks(log);
        count missing = as_count(shape.no_reading) - (shape.header ? 1 : 0) -
                        (blanks + trailing_blanks(log)) * readings_per_line;
        if (missing > 0) {
            start(out, log, "not-numbers");
            count should = (data_lines(log) - blanks) * readings_per_line;
            std::fprintf(out, "%llu of the %llu %s it should hold %s not %s; %s", missing, should,
                         noun(should, "reading", "readings"), noun(missing, "is", "are"),
                         noun(missing, "a number", "numbers"),
                         stamped ? (missing == 1 ? "it is passed over" : "each is passed over")
                                 : (missing == 1 ? "it adds 0" : "each adds 0"));
            where(out, shape.no_reading_line);
        }
        if (blanks > 0) {
            start(out, log, "blank-lines");
            std::fprintf(out, "%llu blank %s among its readings; %s (a lost sample?)\n", blanks,
                         noun(blanks, "line", "lines"),
                         stamped ? (blanks == 1 ? "it is passed over" : "each is passed over")
                                 : (blanks == 1 ? "it adds 0" : "each adds 0"));
        }
    }
    if (shape.not_finite > 0) {
        say_counted(out, log, "not-finite", shape.not_finite, "reading is", "readings are",
                    "nan or infinite, and so is the figure", shape.not_finite_line);
    }
    if (shape.runs_on > 0) {
        say_counted(out, log, "runs-on", shape.runs_on, "reading runs", "readings run",
                    "on into other characters (as in 12W, 1,5 or 10:00); only the number before them counts",
                    shape.runs_on_line);
    }
    if (shape.unended && !(one_line && carriage_returns_alone(shape.opening))) {
        start(out, log, "no-newline");
        std::fputs("the last line has no newline; the log may be cut off or still being written\n",
                   out);
    }
}

bool out_of_tolerance(double ratio)
{
    return ratio > time_tolerance || ratio * time_tolerance < 1;
}

// The seconds a log covers: its lines at its period, or a time-stamped
// log's span. 0 where that can't be told.
double covered_seconds(const read_log_report& log, bool stamped)
{
    if (!stamped)
        return static_cast<double>(data_lines(log)) * log.seconds_per_line;
    const stamp_shape& st = log.shape->stamps;
    return st.good < 2 ? 0 : static_cast<double>(st.last_ns - st.first_ns) / 1e9;
}

// How many readings a log gives the length check: its lines, or its good
// time-stamped lines.
count timed_lines(const read_log_report& log, bool stamped)
{
    return stamped ? as_count(log.shape->stamps.good) : data_lines(log);
}

// A GPU log against the total-power log, in time. Logs with no lines are
// said to hold no readings already.
void warn_about_duration(FILE* out, const read_log_report& total, const read_log_report& gpu,
                         bool stamped)
{
    count total_lines = timed_lines(total, total.stamped);
    count gpu_lines = timed_lines(gpu, stamped);
    double total_seconds = covered_seconds(total, total.stamped);
    double gpu_seconds = covered_seconds(gpu, stamped);
    if (total_lines == 0 || gpu_lines == 0 || total_seconds <= 0 || gpu_seconds <= 0 ||
        (total_lines < lines_to_compare && gpu_lines < lines_to_compare))
        return;
    double ratio = gpu_seconds / total_seconds;
    if (!out_of_tolerance(ratio))
        return;
    start(out, total, "coverage-differs");
    if (total.stamped)
        std::fprintf(out, "covers %.1f s by its time stamps, but %s covers %.1f s ", total_seconds, gpu.name,
                     gpu_seconds);
    else
        std::fprintf(out, "covers %.1f s at %g s a line, but %s covers %.1f s ", total_seconds,
                     total.seconds_per_line, gpu.name, gpu_seconds);
    if (stamped)
        std::fputs("by its time stamps", out);
    else
        std::fprintf(out, "at %g s a line", gpu.seconds_per_line);
    std::fprintf(out,
                 ", %.2f times as long (a meter that died or started late, another sampling "
                 "period, several GPUs in one log, or logs of different runs?)\n",
                 ratio);
}

// A time-stamped log's own faults: lines skipped, and gaps.
void warn_about_stamped(FILE* out, const read_log_report& gpu)
{
    bool total = gpu.case_name == nullptr;
    const stamp_shape& st = gpu.shape->stamps;
    // The total-power log's lines that share a stamp are said apart.
    count skipped = as_count(st.skipped) - (total ? as_count(st.shared) : 0);
    if (skipped > 0) {
        start(out, gpu, "skipped-lines");
        std::fprintf(out, "%llu %s skipped: no time stamp%s, or a stamp not later than the line before",
                     skipped, noun(skipped, "line", "lines"), total ? "" : " and comma");
        where(out, st.skipped_line);
    }
    if (total && st.shared > 0) {
        start(out, gpu, "shared-stamps");
        // Stamps of whole seconds may stand for several lines a second;
        // stamps with a fraction that repeat are lines written twice.
        const picked_line& last = gpu.shape->last_line;
        const char* field_end;
        const char* field = first_field(last.text, last.text + last.length, &field_end);
        bool fraction = std::memchr(field, '.', static_cast<size_t>(field_end - field)) != nullptr;
        std::fprintf(out, "%llu %s the time stamp of the line before, and %s skipped: %s\n",
                     as_count(st.shared), noun(as_count(st.shared), "line shares", "lines share"),
                     noun(as_count(st.shared), "is", "are"),
                     fraction ? "a meter that wrote a line twice?"
                              : "stamps of whole seconds at more lines a second? (read it by its period, as "
                                "--total-period=0.5)");
    } else if (!total && st.shared * 4 >= st.good && st.shared >= 3) {
        start(out, gpu, "shared-stamps-in-groups");
        std::fprintf(out,
                     "%llu lines share their time stamp with the line before, in groups: "
                     "several GPUs in one log? (read it with --gpu-log)\n",
                     as_count(st.shared));
    }
    if (st.rounds_of >= 2) {
        start(out, gpu, "rounds");
        std::fprintf(out,
                     "its time stamps come in rounds of %d lines, close together, a longer pause "
                     "before each round: %d GPUs written in turn? (read it with --gpu-log)\n",
                     st.rounds_of, st.rounds_of);
    }
    if (st.gaps > 0) {
        start(out, gpu, "gaps");
        std::fprintf(out,
                     "%llu %s of more than 3 times the typical interval of %.3f s; the "
                     "longest, %.3f s, ends at line %llu (the meter stalled?)\n",
                     as_count(st.gaps), noun(as_count(st.gaps), "gap", "gaps"),
                     static_cast<double>(st.typical_ns) / 1e9,
                     static_cast<double>(st.longest_gap_ns) / 1e9, as_count(st.longest_gap_line));
    }
}

// A GPU log read by its period whose readings ran on from a time stamp:
// the option that reads it as it is.
void warn_about_unread_stamps(FILE* out, const read_log_report& gpu)
{
    const picked_line& line = gpu.shape->runs_on_line;
    const char* p = line.text;
    const char* end = line.text + line.length;
    while (p < end && is_blank(*p))
        ++p;
    int64_t ns;
    const char* after;
    if (line.number == 0 || !parse_time_stamp(p, end, &ns, &after))
        return;
    start(out, gpu, "stamped-read-as-plain");
    std::fputs("its lines start with time stamps: read it with --gpu-time=stamps\n", out);
}

// Whether a log holds any reading at all.
bool holds_readings(const read_log_report& log, unsigned readings_per_line)
{
    return as_count(log.shape->lines) * readings_per_line > as_count(log.shape->no_reading);
}

// Readings that can't be power, in the total-power or a GPU log.
void warn_about_power(FILE* out, const read_log_report& log, bool gpu, bool stamped)
{
    const log_shape& shape = *log.shape;
    if (shape.readings.lowest < 0) {
        start(out, log, "negative");
        std::fprintf(out,
                     "%llu %s negative, the lowest %g: power can't be (a meter that "
                     "writes its sign the other way?)",
                     as_count(shape.readings.negatives),
                     noun(as_count(shape.readings.negatives), "reading is", "readings are"),
                     shape.readings.lowest);
        where(out, shape.negative_line);
    }
    // Readings that never fall; nan and inf, whose steps are no numbers,
    // show no rise.
    count readings = stamped ? as_count(shape.stamps.good) : data_lines(log);
    if (readings >= lines_to_compare && shape.readings.steepest > 0 &&
        shape.readings.steepest < HUGE_VAL) {
        start(out, log, "never-falls");
        std::fputs("each reading is above the one before: a clock or a counter read as "
                   "power?\n",
                   out);
    }
    if (gpu && shape.readings.highest > 5000) {
        start(out, log, "above-5000-w");
        std::fprintf(out, "holds readings above 5000 W, the highest %g: milliwatts written as watts?\n",
                     shape.readings.highest);
    }
}

// The total energy can't be below what the CPUs or the GPUs used.
void warn_about_totals(FILE* out, const read_log_report& total, const energy_summary& s)
{
    const char* part = nullptr;
    double figure = 0;
    if (s.total_energy < total_cpu(s)) {
        part = "total CPU";
        figure = total_cpu(s);
    } else if (s.total_energy < total_gpu(s)) {
        part = "total GPU";
        figure = total_gpu(s);
    }
    if (part == nullptr)
        return;
    start(out, total, "total-below-part");
    std::fprintf(out,
                 "the total energy, %g J, is below the %s, %g J: impossible if all are joules of "
                 "one run (a log in other units, at another rate, or from another run?)\n",
                 s.total_energy, part, figure);
}

// The total-power log's own time stamps, of any form, against the period
// each of its lines counts for. Stamps running backwards, and times of day
// past midnight or in logs long enough to have wrapped more than once, are
// not judged.
void warn_about_stamps(FILE* out, const read_log_report& total)
{
    double first, last;
    bool clock;
    count lines = data_lines(total);
    if (lines < lines_to_compare || !line_stamp(total.shape->first_line, &first, &clock) ||
        !line_stamp(total.shape->last_line, &last, &clock) || last <= first ||
        (clock && static_cast<double>(lines) * total.seconds_per_line >= seconds_a_day))
        return;
    double spacing = (last - first) / static_cast<double>(lines - 1);
    // Over 200 s, stamps of whole seconds tell the period to within half a
    // percent: a meter 2% off its period is said (0.55 s a line for 0.5 gives
    // a tenth too little); over less, only what is far off.
    double ratio = spacing / total.seconds_per_line;
    bool off = last - first >= 200 ? std::fabs(ratio - 1) >= 0.02 : out_of_tolerance(ratio);
    if (!off)
        return;
    start(out, total, "period-off");
    std::fprintf(out,
                 "a line every %.2f s by its time stamps, but each counts %g s, so the total "
                 "energy is off by as much (is the meter set to another period? then say so "
                 "with --total-period=%g, or read the log by its stamps with --total-time=stamps)\n",
                 spacing, total.seconds_per_line, static_cast<double>(std::lround(spacing * 100)) / 100);
}

} // namespace

void warn_about_gpu_log(FILE* out, const read_log_report& log, const gpu_csv_log& all, int gpus,
                        bool gpus_given)
{
    if (all.milliwatts) {
        start(out, log, "milliwatts");
        std::fprintf(out, "its power column, \"%s\", is in milliwatts: each reading is divided by 1000\n",
                     all.power_column);
    }
    if (all.headers_again > 0) {
        say_counted(out, log, "headers-again", all.headers_again, "header line", "header lines",
                    "among its lines (a logger restarted?): each names the columns read from there on",
                    all.header_again_line);
    }
    if (gpus_given && (all.gpus != gpus || all.too_many)) {
        start(out, log, "gpu-count");
        std::fprintf(out, "holds %s%d %s, but --gpus=%d: %s\n", all.too_many ? "more than " : "",
                     all.gpus, all.gpus == 1 ? "GPU" : "GPUs", gpus,
                     all.gpus > gpus ? "those past it are left out" : "the GPUs it lacks are 0");
    }
    if (all.no_id && all.gpus > 1) {
        start(out, log, "no-id-column");
        if (all.rounds_by_stamp)
            std::fputs("has no GPU id column: GPU k is the k-th line of each group of lines that "
                       "share a time stamp\n", out);
        else
            std::fprintf(out, "has no GPU id column: GPU k is the k-th line of each round of %d lines\n",
                         all.round_lines);
    }
    if (all.odd_rounds > 0) {
        start(out, log, "odd-rounds");
        std::fprintf(out, "%llu %s of other than %d lines (a GPU's line lost, or one too many?)",
                     as_count(all.odd_rounds), all.odd_rounds == 1 ? "round" : "rounds",
                     all.round_lines > 0 ? all.round_lines : all.gpus);
        where(out, all.odd_round_line);
    }
    uint64_t most = 0;
    for (int k = 0; k < all.gpus; ++k)
        most = all.lines[k] > most ? all.lines[k] : most;
    for (int k = 0; k < all.gpus && k < gpus; ++k)
        if (all.lines[k] * 10 < most * 9) {
            start(out, log, "gpu-fewer-lines");
            std::fprintf(out, "GPU%d (%s) has %llu %s, the most a GPU has is %llu (its meter stalled?)\n",
                         k + 1, all.ids[k], as_count(all.lines[k]), all.lines[k] == 1 ? "line" : "lines",
                         as_count(most));
        }
    if (all.id_kind != 0 && all.gpus > 0) {
        start(out, log, "gpu-order");
        std::fputs("its GPUs in the order they first appear:", out);
        for (int k = 0; k < all.gpus && k < gpus; ++k)
            std::fprintf(out, " GPU%d is %s%s", k + 1, all.ids[k], k + 1 < all.gpus && k + 1 < gpus ? "," : "");
        std::fputs("\n", out);
    }
}

void warn_about_format(FILE* out, const read_log_report& log, bool cpu)
{
    const log_shape& shape = *log.shape;
    if (shape.no_reading <= (shape.header ? 1u : 0u))
        return;
    for (const picked_line* line : {&shape.opening, &shape.first_line}) {
        const char* what;
        int f = line->number == 0 ? -1
                : cpu ? cpu_format_fitting(line->text, line->text + line->length, &what)
                      : total_format_fitting(line->text, line->text + line->length, &what);
        if (f < 0)
            continue;
        start(out, log, "other-format");
        std::fprintf(out, "%s: read it with --%s-format=%s\n", what, cpu ? "cpu" : "total",
                     cpu ? cpu_format_name(f) : total_format_name(f));
        return;
    }
}

void warn_about_cpu_log(FILE* out, const read_log_report& log, const cpu_log& cpu)
{
    if (cpu.odd > 0) {
        say_counted(out, log, "odd-lines", cpu.odd, "line is", "lines are", "not of its format's shape, passed over",
                    cpu.odd_line);
    }
    if (cpu.not_counted > 0) {
        say_counted(out, log, "not-counted", cpu.not_counted, "reading is", "readings are",
                    "<not counted> or <not supported>: perf could not read the counters then (run it with -a, "
                    "and with the rights RAPL needs)", cpu.not_counted_line);
    }
    if (cpu.other_event[0] != '\0') {
        start(out, log, "other-events");
        std::fprintf(out, "its events %s and the like are no package's energy: left out of the CPU figures\n",
                     cpu.other_event);
    }
    int missing = 0;
    for (int k = 0; k < cpu.cpus; ++k)
        missing += cpu.seen[k] ? 0 : 1;
    if (cpu.whole_node) {
        start(out, log, "sockets-summed");
        std::fputs("its package energy is every socket's at once (perf without --per-socket): all of it "
                   "is CPU1's\n", out);
    } else if ((cpu.packages > 0 && cpu.packages != cpu.cpus) || cpu.sockets_beyond) {
        start(out, log, "socket-count");
        std::fprintf(out, "holds %d %s, but --cpus=%d: %s\n", cpu.packages,
                     cpu.packages == 1 ? "socket" : "sockets", cpu.cpus,
                     cpu.packages > cpu.cpus ? "those past it are left out" : "the CPUs it lacks are 0");
    } else if (missing > 0 && cpu.packages > 0) {
        start(out, log, "socket-count");
        std::fprintf(out, "no line gives %d of its %d %s a reading: %s 0\n", missing, cpu.cpus,
                     cpu.cpus == 1 ? "socket" : "sockets", missing == 1 ? "it is" : "they are");
    }
    if (cpu.wraps > 0) {
        start(out, log, "counter-wraps");
        std::fprintf(out, "its counters wrapped %llu %s; each wrap added --cpu-wrap\n", as_count(cpu.wraps),
                     noun(as_count(cpu.wraps), "time", "times"));
    }
    if (cpu.long_intervals > 0) {
        say_counted(out, log, "long-intervals", cpu.long_intervals, "interval is", "intervals are",
                    "long enough for a counter to wrap twice at 1000 W, which would count as once",
                    cpu.long_interval_line);
    }
}

bool line_stamp(const picked_line& line, double* seconds, bool* clock)
{
    const char* field_end;
    const char* field = first_field(line.text, line.text + line.length, &field_end);
    int64_t ns;
    int form = whole_field_stamp(field, field_end, &ns);
    *seconds = static_cast<double>(ns) / 1e9;
    *clock = form == stamp_clock;
    return form != stamp_none;
}

bool node_log_span(const log_shape& shape, bool stamped, double* first, double* last)
{
    if (stamped) {
        *first = static_cast<double>(shape.stamps.first_ns) / 1e9;
        *last = static_cast<double>(shape.stamps.last_ns) / 1e9;
        return shape.stamps.good > 0;
    }
    bool clock;
    return line_stamp(shape.first_line, first, &clock) && line_stamp(shape.last_line, last, &clock) && *last >= *first;
}

void warn_about_node_spans(FILE* out, const char* const* names, const double* first, const double* last,
                           const bool* known, int count)
{
    double start = HUGE_VAL, end = -HUGE_VAL;
    for (int i = 0; i < count; ++i)
        if (known[i]) {
            start = std::fmin(start, first[i]);
            end = std::fmax(end, last[i]);
        }
    double tolerance = std::fmax(0.02 * (end - start), 5);
    double latest_start = -HUGE_VAL, earliest_end = HUGE_VAL;
    for (int i = 0; i < count; ++i)
        if (known[i]) {
            latest_start = std::fmax(latest_start, first[i]);
            earliest_end = std::fmin(earliest_end, last[i]);
        }
    if (latest_start - start <= tolerance && end - earliest_end <= tolerance)
        return;
    for (int i = 0; i < count; ++i) {
        if (!known[i] || (first[i] - start <= tolerance && end - last[i] <= tolerance))
            continue;
        note_warning_code("node-span");
        std::fprintf(out, "energy-totals: --nodes: node %s's node log covers %.1f s to %.1f s of the nodes' %.1f s: "
                          "it starts or ends more than %.1f s from the others' (a meter that started late or "
                          "stopped early, or the node's clock?)\n",
                     names[i], first[i] - start, last[i] - start, end - start, tolerance);
    }
}

void warn_about_logs(FILE* out, const read_log_report* logs, int count, bool gpu_stamps,
                     const energy_summary& s)
{
    warn_about_shape(out, logs[0], 1, true, logs[0].stamped);
    if (logs[0].stamped)
        warn_about_stamped(out, logs[0]);
    warn_about_shape(out, logs[1], logs[1].readings_per_line);
    for (int i = 2; i < count; ++i) {
        warn_about_shape(out, logs[i], 1, false, gpu_stamps);
        if (gpu_stamps)
            warn_about_stamped(out, logs[i]);
        else
            warn_about_unread_stamps(out, logs[i]);
    }
    warn_about_power(out, logs[0], false, false);
    for (int i = 2; i < count; ++i)
        warn_about_power(out, logs[i], true, gpu_stamps);
    bool all_hold_readings = holds_readings(logs[0], 1) && holds_readings(logs[1], logs[1].readings_per_line);
    for (int i = 2; i < count; ++i)
        all_hold_readings = all_hold_readings && holds_readings(logs[i], 1);
    if (all_hold_readings)
        warn_about_totals(out, logs[0], s);
    for (int i = 2; i < count; ++i)
        warn_about_duration(out, logs[0], logs[i], gpu_stamps);
    if (!logs[0].stamped)
        warn_about_stamps(out, logs[0]);
}
