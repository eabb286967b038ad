// The readers' contract: the line buffer, the power log readers, and the
// reading of a case's logs at once, on every CPU the run may use. What the
// readers share inside is in log_reading.h.
//
// A reader takes an open file descriptor and reads it to its end in one pass,
// adding each line's reading into its figures of the energy summary (where
// a reading stands in log_kinds.h, the scanners in log_lines.h, the number
// in reading_number.h), and noting in
// a log_shape what the warnings say of the log, its lines to quote among
// it, in the same pass (so a FIFO is read as a file is). Lines are
// looked at where they lie in the buffer; only a line that straddles two
// reads is moved. Every line is seen whole: the buffer grows for a line
// longer than it, up to max_line_length (log_bytes.h), and a longer line
// stops the read, so memory is bounded whatever the lines' lengths.
//
// Read at once (read_logs_at_once), each log is cut into chunks at line
// boundaries, read by pread(2); any thread parses any chunk into a slot of
// kept readings, and each chunk's readings are added into its log's
// figures in file order, by whichever thread finds the chunk's turn come.
// The figures are those of one thread reading each log whole, to the bit;
// memory is the slots and a buffer a thread, whatever the logs' sizes.
#ifndef ENERGY_TOTALS_POWER_LOGS_H
#define ENERGY_TOTALS_POWER_LOGS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "base/energy_summary.h"
#include "read/log_bytes.h"
#include "read/log_lines.h"
#include "read/log_shape.h"
#include "read/reading_number.h"
#include "read/timed_readings.h"

// Each reads fd from where it stands to the end of the file. Returns 0 when
// the whole log was read, else the errno of the read that failed; the
// readings added before that stay. Adds what it saw of the log's shape to shape; in the total-power and
// GPU logs a first line without a reading is taken for a header. Opens and
// closes nothing.
//
// Total-power log: every line; the reading follows the line's second
// whitespace character and adds reading * weight to total_energy.
int read_total_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape,
                         double weight = total_power_weight);
// CPU power log: the first line is a header; in every other line field 3
// adds to cpu1 and field 7 to cpu2. It takes a weight only to be called as
// the others are, and uses none.
int read_cpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape,
                       double weight = 1);
// GPU power log: every line; the reading starts the line and adds
// reading * weight to gpu1.
int read_gpu_power_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape,
                       double weight = gpu_weight);

// A GPU log of time-stamped lines, each a time stamp (time_stamps.h), a
// comma, then the reading: each pair of neighbouring good lines adds the
// trapezoid ((p0 + p1) * dt) * 0.5 to gpu1, dt their stamps' difference
// in seconds, each operation rounded to double, in file order. A line
// without a stamp and a comma, or whose stamp is not later than the last
// good line's, is skipped, and so is one whose reading is no number; the
// next good line pairs with the last good one. A unit after a blank, or
// more columns after ", ", are the meter's. The weight is not used.
int read_stamped_gpu_log(int fd, line_buffer& lb, energy_summary& s, log_shape& shape,
                         double weight = 1);

// Where the value of the JSON key `key` (quoted: "\"time_ms\"") starts in
// the line [p, end), past its colon and blanks; null where the line has no
// such key: the records benchmarks log a line each, which the node log
// (mllog) and the marks of phases both read.
const char* json_value(const char* p, const char* end, const char* key);

// The node log's formats (--total-format): plain, the Parts' rule, read by
// read_total_power_log; the others each by its own stamps, read by
// read_node_log:
// - stamps: each line's first field a stamp (HH:MM:SS with any fraction, a
//   day later past midnight; ISO 8601; seconds since the epoch), its
//   reading where the total-power rule puts it;
// - ptd: a power analyzer's log (SPEC PTDaemon), "Time,STAMP,Watts,W,...":
//   the stamp after the field Time, the reading after the first Watts;
// - mllog: MLPerf's :::MLLOG records of key power_reading, their time_ms
//   (milliseconds since the epoch) and value; other records passed over;
// - csv: the columns its header names (a stamp, and power in watts or
//   milliwatts, as a one-log GPU CSV's are named), or columns names them.
// The name --total-format gives format: "plain", "stamps", "ptd", "mllog",
// "csv"; null past them.
enum class total_format : int { plain, stamps, ptd, mllog, csv };
const char* total_format_name(int format);

// The format whose meter writes the line [p, end), by each format's bid
// on it, other than those a plain log's lines fit (total_format, or
// cpu_format): what a log given without its format option is, for the
// warnings to name it and the option; *what says what it is ("perf
// stat's log"). -1 where no format bids.
int total_format_fitting(const char* p, const char* end, const char** what);
int cpu_format_fitting(const char* p, const char* end, const char** what);

struct node_log_options {
    int format = 1;                // a total_format
    const char* columns = nullptr; // csv: the columns where the log has no header
    double period = 0.5;           // plain, in time: the seconds a line stands for
    const timed_sink* sink = nullptr;
};
// The node log by its format's stamps, into s.total_energy by the trapezoid
// rule over the stamps, as read_stamped_gpu_log reads a GPU's; a line
// whose stamp is not later than the last good one's is skipped (lines that
// share a stamp counted apart). With a sink, its points go there too; the
// plain log, with a sink, is read by its period, each line's reading over
// the period up to its first field's stamp (lines that share one a period
// apart), its figure and shape as read_total_power_log gives them.
// Returns 0, the errno of a read, or
// EINVAL with error saying why: a CSV header or columns that name no stamp
// or no power column, or a log of which no line is of its format.
int read_node_log(int fd, line_buffer& lb, const node_log_options& o, energy_summary& s, log_shape& shape,
                  char (&error)[256]);

// One log of every GPU of a node, as a logger writes it once for all
// (nvidia-smi --query-gpu=timestamp,index,power.draw --format=csv, amd-smi,
// xpu-smi, a script): comma-separated columns, named by a header line, or
// by columns where given ("timestamp,index,power.draw" for a log without a
// header). The header decides (gpu_csv_columns): a time stamp column, a
// power column (power.draw.instant first) in watts or milliwatts, and an id
// column where there is one. An id column that never changes while several
// lines share each stamp is not the id (another id column that varies is),
// and where none varies the log has none. Each GPU's lines, told by their
// id, are integrated over their own stamps as read_stamped_gpu_log does;
// GPU k is the k-th id in index order (in order of first appearance for
// UUIDs and bus ids). Without an id column, GPU k is the k-th line of each
// round: the lines that share a stamp (with gpus, only where every group
// of them holds gpus), or else each run of `gpus` lines (0: as many as the
// stamps' pattern shows). A
// header met again mid-file (a logger restarted) names the columns from
// there on. A header that names no stamp or no power column the reader
// knows is an error: header_error names its columns and the reader returns
// EINVAL.
constexpr int max_csv_gpus = 16;
struct gpu_csv_log {
    energy_summary part;          // GPU k's energy in gpu_figure(part, k), k to 8
    log_shape shape;              // the log's lines, and GPU1's stamps
    int gpus = 0;                 // GPUs found
    int id_kind = 0;              // 0 a number (index, gpu, device...), 1 uuid, 2 pci.bus_id
    uint64_t lines[max_csv_gpus] = {}; // each GPU's good lines, in GPU order
    char ids[max_csv_gpus][48] = {};   // each GPU's id (its first bytes), in GPU order
    bool too_many = false;        // GPUs beyond max_csv_gpus were passed over
    bool no_id = false;           // no id column: GPU k is the k-th line of each round
    int round_lines = 0;          // the lines of a full round, where no_id
    bool rounds_by_stamp = false; // a round is the lines that share a stamp
    uint64_t odd_rounds = 0;      // rounds of another number of lines
    picked_line odd_round_line;   // the first line of the first of them
    uint64_t headers_again = 0;   // header lines after the first
    picked_line header_again_line;
    char power_column[48] = {};   // the power column read, as named
    bool milliwatts = false;      // its readings are milliwatts, read as watts / 1000
    char header_error[256] = {};  // the columns of a header that names too little
    int source[max_csv_gpus] = {}; // GPU k's points went to sink as source source[k - 1]
};
// With a sink, each GPU's points go to it too, GPU source i as meter
// first_gpu_source + i (source[] says which GPU that is). With head, only
// the lines that start in the regular file's first head bytes.
int read_gpu_csv_log(int fd, line_buffer& lb, const char* columns, int gpus, gpu_csv_log& out,
                     const timed_sink* sink = nullptr, long long head = 0);

// The GPU logs in time, for the phases: each reading passed to sink with
// its time, as GPU k's source k - 1, and its figure into part.gpu1 and what
// was seen of it into shape, as the summary's reader gives them (the node
// log by read_node_log, the CPU log by read_cpu_log). Each returns 0 or
// the errno of a read. GPU k's time-stamped log:
int read_timed_gpu_log(int fd, line_buffer& lb, int k, const timed_sink& sink, energy_summary& part,
                       log_shape& shape);
// GPU k's plain log: each line's reading over its period, placed by its
// line's number from the log's start (stamp_relative).
int read_timed_plain_gpu_log(int fd, line_buffer& lb, int k, double weight, const timed_sink& sink,
                             energy_summary& part, log_shape& shape);

// The CPU log as the meters users have write it (--cpu-format): columns
// of joules, at fields 3 and 7 (the default reader's rule) or at the
// fields --cpu-fields names, by number or by the header's names, CPU k's at
// 3 + 4 (k - 1) for more than two; perf stat -a's counts, text or -x, with
// -I or a whole run's, per socket (Sk is CPU k + 1) or every socket at once
// (CPU1), the energy-pkg events alone; cumulative counters in microjoules
// after a stamp, one a package (a step down is a wrap of wrap_uj);
// turbostat's package rows (Pkg_J, or PkgWatt times the interval or its
// "N sec"); a RAPL logger's CSV, long or wide, by its header. Read plainly,
// a line at a time, but for the default shape (fields 3 and 7, two CPUs),
// read by its rule and scanners as read_cpu_power_log reads it; a log from
// which no line gave a CPU a reading is refused (EINVAL, error saying why).
enum class cpu_format : int { columns, perf, counters, turbostat, csv };
constexpr int cpu_format_count = 5;

// The name --cpu-format gives format (a cpu_format): "columns", "perf",
// "counters", "turbostat" or "csv"; null past them.
const char* cpu_format_name(int format);
struct cpu_log_options {
    cpu_format format = cpu_format::columns;
    int cpus = 2;
    const char* fields = nullptr;   // --cpu-fields
    unsigned long long wrap_uj = 0; // --cpu-wrap, 0 where not given
    // Where each CPU's joules go too, with the stamp of their line, as
    // cpu_meter(k), if anywhere.
    const timed_sink* sink = nullptr;
    bool cpus_given = false;        // --cpus was said
};
struct cpu_log {
    energy_summary part;            // CPU k's joules in cpu_figure(part, k)
    log_shape shape;
    int cpus = 2;
    int packages = 0;               // sockets or packages the log holds
    bool seen[max_cpus] = {};       // CPUs it gave a reading
    bool sockets_beyond = false;    // sockets past --cpus, left out
    uint64_t odd = 0;               // lines of another shape than the format's
    picked_line odd_line;
    uint64_t not_counted = 0;       // perf's <not counted> and <not supported>
    picked_line not_counted_line;
    uint64_t wraps = 0;             // counters that wrapped
    uint64_t long_intervals = 0;    // intervals long enough for two wraps at 1000 W
    picked_line long_interval_line;
    char other_event[64] = {};      // an event that is no package's, left out
    bool whole_node = false;        // perf's readings of every socket at once, in CPU1
    char error[256] = {};           // why the log can't be read, with EINVAL
};
int read_cpu_log(int fd, line_buffer& lb, const cpu_log_options& o, cpu_log& out);

// A reader, as the run and read_logs_at_once take them.
using log_reader = int (*)(int, line_buffer&, energy_summary&, log_shape&, double);

// A log to be read by read_logs_at_once: its open descriptor, its reader
// and its size going in; its figures alone (the rest of part stays 0), what
// its reader saw and the reader's status coming out.
struct log_job {
    int fd = -1;
    log_reader reader = nullptr;
    double weight = 1;
    long long size = 0;
    energy_summary part;
    log_shape shape;
    int err = 0;
};

// The size of the chunks read_logs_at_once splits a log into.
constexpr size_t default_chunk_size = 256 * 1024;

// Reads every job's log (count is at most max_case_logs) on up to `threads` threads
// (at most 8), the calling one among them, and returns when all are read.
//
// A total-power, CPU or GPU log is read in chunks of chunk_size bytes, cut
// at line boundaries: a chunk holds the lines that start in its bytes.
// Any thread parses any chunk, keeping its readings in order in one of a
// few bounded slots; the chunk's readings are then added, weighted, into
// its log's figures in file order, by the thread that parsed it or the one
// that finished the chunk before, once every chunk before it is in. So
// each log's figures are the bits of one thread reading it whole, whatever
// the thread count and chunk size, and the threads stay busy to the end
// whichever log is largest. A time-stamped GPU log, whose lines pair with
// the lines before them, is read whole by one thread, before the chunks.
// Each log's first read error, in file order, is its err. A thread that
// can't be started leaves its share to the others.
void read_logs_at_once(log_job* jobs, int count, unsigned threads,
                       size_t chunk_size = default_chunk_size);

// The logs of a case, in the order they are read: their names, readers
// and weights going in; each one's figures alone (the rest of its part
// stays 0), what its reader saw and its read status coming out. shapes
// points at count records, set up by the caller for the logs it reads:
// a record is most of a kilobyte, and most runs read three logs of the ten.
constexpr int max_case_logs = 2 + max_gpus;
struct log_set {
    int count = 0;
    const char* names[max_case_logs] = {};
    log_reader readers[max_case_logs] = {};
    double weights[max_case_logs] = {};
    energy_summary parts[max_case_logs];
    log_shape* shapes = nullptr;
    int errs[max_case_logs] = {};
};

// count records of T, each with its defaults, in memory of their own that
// free() releases; nullptr where there is none. For the records a run
// may do without, so that one it does without costs it no page.
template <class T>
T* new_records(size_t count)
{
    static_assert(std::is_trivially_destructible_v<T>, "free() must be all it takes");
    T* records = static_cast<T*>(std::malloc(sizeof(T) * (count > 0 ? count : 1)));
    for (size_t i = 0; records != nullptr && i < count; ++i)
        new (records + i) T;
    return records;
}

// Reads the logs at once, by read_logs_at_once on every CPU the run may
// use, where it may use two or more (a batch scheduler may give it fewer
// than the machine has) and the logs are regular files of 4 MiB or more
// together; smaller logs would not repay the threads. Returns 1 when it
// read them, 0 when it did not try (a log that can't be opened, or is
// not a regular file, among the reasons), leaving the logs, and what to
// say of them, to a reading one by one. Opens and closes files of its own.
int read_big_logs_at_once(log_set& logs);

// The CPUs the run may use (a batch scheduler may give it fewer than the
// machine has); at least 1.
unsigned allowed_cpus();

#endif
