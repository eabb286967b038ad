// A case's logs read at once, in chunks, on every CPU the run may use, each
// log's readings still added in file order.
#include "read/power_logs.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "read/log_reading.h"
#include "base/open_file.h"

namespace {

// The rule of a log that can be read in chunks, by its reader; nullptr
// for the time-stamped GPU log, each of whose lines pairs with the one
// before, which is read whole.
const log_rule* chunk_rule_of(log_reader reader)
{
    if (reader == read_total_power_log)
        return &total_power_rule;
    if (reader == read_cpu_power_log)
        return &cpu_rule;
    if (reader == read_gpu_power_log)
        return &gpu_rule;
    return nullptr;
}

// Readings a chunk keeps at most before it adds them; past that it waits
// for its turn and adds what it has, so memory is bounded whatever the
// lines' lengths. A chunk of 256 KiB of the shortest lines meters write
// (about 7 bytes) keeps some 37,000.
constexpr size_t slot_room = 64 * 1024;

constexpr int max_jobs = max_case_logs;
constexpr unsigned max_threads = 8;
constexpr int max_slots = 10;

// A chunk's readings, kept in file order until it is the chunk's turn to
// add them to its log's figures.
struct chunk_slot {
    double* readings = nullptr;
    size_t count = 0;
    log_shape shape; // the chunk's counts; its lowest and highest come in the adding
    int err = 0;
    int log = -1;
    long long index = 0;
    bool in_use = false;
    bool parsed = false;
    // Its turn has come: it adds its readings to the log's figures as it
    // parses them, and its shape's lowest and highest are the log's.
    bool direct = false;
};

// Where the adding of a log's chunks stands.
struct log_progress {
    const log_rule* rule = nullptr; // nullptr: the log is read whole
    long long chunks = 0;
    long long next_chunk = 0;  // the next to be taken by a thread
    long long next_to_add = 0; // all chunks before it are in the figures
    bool adding = false;       // a thread is adding a parsed chunk
};

// The work of read_logs_at_once, shared by its threads under the mutex:
// the logs read whole (largest first), then the logs' chunks, each log's
// in order.
struct schedule {
    log_job* jobs = nullptr;
    int count = 0;
    long long chunk_size = 0;
    int wholes = 0;
    int whole_order[max_jobs] = {};
    long long items = 0;
    long long next_item = 0;
    log_progress logs[max_jobs];
    chunk_slot slots[max_slots];
    int slot_count = 0;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
};

// Adds the readings a slot keeps into its log's figures, in order. The
// caller holds the log's turn.
void add_slot(schedule& sc, chunk_slot& slot)
{
    log_job& job = sc.jobs[slot.log];
    const log_rule* rule = sc.logs[slot.log].rule;
    const double* r = slot.readings;
    size_t n = slot.count;
    slot.count = 0;
    if (rule == &cpu_rule) {
        add_kept_cpu_readings(r, n / 2, job.part.cpu1, job.part.cpu2);
        return;
    }
    double& figure = rule == &total_power_rule ? job.part.total_energy : job.part.gpu1;
    add_kept_readings(r, n, job.weight, figure, job.shape.readings);
}

// The rest of a parsed chunk: its readings, its counts and its status.
void finish_chunk(schedule& sc, chunk_slot& slot)
{
    add_slot(sc, slot);
    log_job& job = sc.jobs[slot.log];
    log_shape& into = job.shape;
    const log_shape& part = slot.shape;
    // The chunk's lines are numbered from its start.
    auto merge = [&](picked_line& a, const picked_line& b, bool first) {
        if (b.number != 0 && (a.number == 0 || !first)) {
            a = b;
            a.number += into.lines;
        }
    };
    merge(into.opening, part.opening, true);
    merge(into.first_line, part.first_line, true);
    merge(into.last_line, part.last_line, false);
    merge(into.no_reading_line, part.no_reading_line, true);
    merge(into.runs_on_line, part.runs_on_line, true);
    merge(into.not_finite_line, part.not_finite_line, true);
    merge(into.negative_line, part.negative_line, true);
    merge_blanks(into.blanks, part.blanks);
    into.lines += slot.shape.lines;
    into.no_reading += slot.shape.no_reading;
    into.runs_on += slot.shape.runs_on;
    into.not_finite += slot.shape.not_finite;
    into.header = into.header || slot.shape.header;
    into.header_readings = into.header_readings || slot.shape.header_readings;
    into.unended = into.unended || slot.shape.unended;
    if (into.too_long_line == 0 && part.too_long_line != 0) {
        into.too_long_line = part.too_long_line + into.lines - slot.shape.lines;
        into.too_long_at = part.too_long_at;
    }
    if (slot.direct)
        into.readings = slot.shape.readings;
    if (job.err == 0)
        job.err = slot.err;
}

// Adds, in order, each parsed chunk of the log whose turn has come, unless
// another thread is at it. Called and returns with the mutex held.
void add_ready_chunks(schedule& sc, int log)
{
    log_progress& progress = sc.logs[log];
    while (!progress.adding) {
        chunk_slot* slot = nullptr;
        for (int i = 0; i < sc.slot_count && slot == nullptr; ++i)
            if (sc.slots[i].parsed && sc.slots[i].log == log &&
                sc.slots[i].index == progress.next_to_add)
                slot = &sc.slots[i];
        if (slot == nullptr)
            return;
        progress.adding = true;
        pthread_mutex_unlock(&sc.mutex);
        finish_chunk(sc, *slot);
        pthread_mutex_lock(&sc.mutex);
        slot->parsed = false;
        slot->in_use = false;
        ++progress.next_to_add;
        progress.adding = false;
        pthread_cond_broadcast(&sc.changed);
    }
}

// Whether every chunk before the slot's is in its log's figures. No other
// thread adds to the log then, since its next chunk is this one, unparsed.
// Called with the mutex held.
bool turn_has_come(const schedule& sc, const chunk_slot& slot)
{
    const log_progress& progress = sc.logs[slot.log];
    return progress.next_to_add == slot.index && !progress.adding;
}

bool has_turn(schedule& sc, const chunk_slot& slot)
{
    pthread_mutex_lock(&sc.mutex);
    bool turn = turn_has_come(sc, slot);
    pthread_mutex_unlock(&sc.mutex);
    return turn;
}

// Adds what the slot keeps, and has the rest of its chunk added as it is
// parsed: the cheaper way, but for the turn it waits on.
void take_turn(schedule& sc, chunk_slot& slot)
{
    add_slot(sc, slot);
    slot.direct = true;
    slot.shape.readings = sc.jobs[slot.log].shape.readings;
}

// A slot that is full: waits for its turn, and takes it.
void wait_for_turn(schedule& sc, chunk_slot& slot)
{
    pthread_mutex_lock(&sc.mutex);
    while (!turn_has_come(sc, slot))
        pthread_cond_wait(&sc.changed, &sc.mutex);
    pthread_mutex_unlock(&sc.mutex);
    take_turn(sc, slot);
}

// Parses the slot's chunk: its readings kept in the slot until its turn
// comes (looked for between reads), added as they are parsed from then
// on. Returns 0 or the errno of a read.
int parse_chunk(schedule& sc, chunk_slot& slot, line_buffer& lb)
{
    log_job& job = sc.jobs[slot.log];
    const log_progress& progress = sc.logs[slot.log];
    const log_rule& rule = *progress.rule;
    long long from = slot.index * sc.chunk_size;
    long long to = slot.index + 1 < progress.chunks ? from + sc.chunk_size : LLONG_MAX;
    byte_source src = chunk_of(job.fd, from, to);
    return read_lines(src, lb, rule, slot.shape, [&](const line_run& run) {
        if (!slot.direct && has_turn(sc, slot))
            take_turn(sc, slot);
        take_lines(run, rule, slot.shape, [&](const char* b, const char* end) {
            while (b < end && !slot.direct) {
                // A line takes at least a byte, so room readings for room bytes.
                size_t room = (slot_room - slot.count) / rule.readings;
                if (room == 0) {
                    wait_for_turn(sc, slot);
                    break;
                }
                const char* e = end;
                if (static_cast<size_t>(e - b) > room) {
                    const void* nl = memrchr(b, '\n', room);
                    e = nl != nullptr ? static_cast<const char*>(nl) + 1
                                      : static_cast<const char*>(std::memchr(
                                            b, '\n', static_cast<size_t>(end - b))) + 1;
                }
                slot.count = static_cast<size_t>(
                    rule.keep(b, e, slot.readings + slot.count, slot.shape) - slot.readings);
                b = e;
            }
            // The log's first chunk has its turn from its first line, so a
            // header's 0 is added as the plain reader adds it.
            if (b < end)
                rule.scan(b, end, job.part, slot.shape, job.weight);
        });
    });
}

// The log whose next chunk a thread takes: where one has no chunk being
// parsed or waiting to be added, its next chunk has its turn at once and is
// added as it is parsed, so a thread keeps to a log of its own while there
// is one. Else the log with the most chunks left, whose next chunk is kept
// until its turn (the readings stored, then added, which costs more). Called
// with the mutex held, while chunks are left.
int next_chunk_log(const schedule& sc)
{
    int best = -1;
    bool best_free = false;
    long long best_left = 0;
    for (int l = 0; l < sc.count; ++l) {
        const log_progress& g = sc.logs[l];
        long long left = g.chunks - g.next_chunk;
        if (g.rule == nullptr || left == 0)
            continue;
        bool free = g.next_chunk == g.next_to_add && !g.adding;
        if (best < 0 || (free && !best_free) || (free == best_free && left > best_left)) {
            best = l;
            best_free = free;
            best_left = left;
        }
    }
    return best;
}

// Takes work until none is left: a whole log, or a chunk where a slot is
// free to keep it.
void take_work(schedule& sc)
{
    line_buffer lb;
    int no_buffer = line_buffer_init(lb, default_line_buffer_size);
    pthread_mutex_lock(&sc.mutex);
    while (sc.next_item < sc.items) {
        if (sc.next_item < sc.wholes) {
            log_job& job = sc.jobs[sc.whole_order[sc.next_item++]];
            pthread_mutex_unlock(&sc.mutex);
            job.err = no_buffer != 0 ? no_buffer
                                     : job.reader(job.fd, lb, job.part, job.shape, job.weight);
            pthread_mutex_lock(&sc.mutex);
            continue;
        }
        chunk_slot* slot = nullptr;
        for (int i = 0; i < sc.slot_count && slot == nullptr; ++i)
            if (!sc.slots[i].in_use)
                slot = &sc.slots[i];
        if (slot == nullptr) {
            pthread_cond_wait(&sc.changed, &sc.mutex);
            continue;
        }
        ++sc.next_item;
        slot->log = next_chunk_log(sc);
        slot->index = sc.logs[slot->log].next_chunk++;
        slot->in_use = true;
        slot->count = 0;
        slot->shape = log_shape{};
        slot->direct = false;
        pthread_mutex_unlock(&sc.mutex);
        slot->err = no_buffer != 0 ? no_buffer : parse_chunk(sc, *slot, lb);
        pthread_mutex_lock(&sc.mutex);
        slot->parsed = true;
        add_ready_chunks(sc, slot->log);
    }
    pthread_mutex_unlock(&sc.mutex);
    line_buffer_free(lb);
}

void* work_thread(void* sc)
{
    take_work(*static_cast<schedule*>(sc));
    return nullptr;
}

} // namespace

void read_logs_at_once(log_job* jobs, int count, unsigned threads, size_t chunk_size)
{
    schedule sc;
    sc.jobs = jobs;
    sc.count = count < max_jobs ? count : max_jobs;
    sc.chunk_size = chunk_size > 0 ? static_cast<long long>(chunk_size) : 1;
    if (threads > max_threads)
        threads = max_threads;
    if (threads < 1)
        threads = 1;
    int want_slots = static_cast<int>(threads) + 2;
    for (; sc.slot_count < want_slots; ++sc.slot_count) {
        sc.slots[sc.slot_count].readings =
            static_cast<double*>(std::malloc(slot_room * sizeof(double)));
        if (sc.slots[sc.slot_count].readings == nullptr)
            break;
    }
    for (int i = 0; i < sc.count; ++i) {
        log_progress& progress = sc.logs[i];
        progress.rule = sc.slot_count > 0 ? chunk_rule_of(jobs[i].reader) : nullptr;
        if (progress.rule != nullptr) {
            long long size = jobs[i].size > 0 ? jobs[i].size : 0;
            progress.chunks = size / sc.chunk_size + 1;
            sc.items += progress.chunks;
            continue;
        }
        int at = sc.wholes++;
        for (; at > 0 && jobs[sc.whole_order[at - 1]].size < jobs[i].size; --at)
            sc.whole_order[at] = sc.whole_order[at - 1];
        sc.whole_order[at] = i;
        ++sc.items;
    }
    pthread_t helpers[max_threads];
    unsigned started = 0;
    while (started + 1 < threads && started + 1 < sc.items &&
           pthread_create(&helpers[started], nullptr, work_thread, &sc) == 0)
        ++started;
    take_work(sc);
    for (unsigned i = 0; i < started; ++i)
        pthread_join(helpers[i], nullptr);
    for (int i = 0; i < sc.slot_count; ++i)
        std::free(sc.slots[i].readings);
}

namespace {

// Logs smaller than this, all together, are read on one thread: a thread
// would cost more to start than it saves.
constexpr long long bytes_worth_threads = 4 << 20;

void close_all(const log_job* jobs, int count)
{
    for (int i = 0; i < count; ++i)
        if (jobs[i].fd >= 0)
            (void)close(jobs[i].fd);
}

} // namespace

unsigned allowed_cpus()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    int count = CPU_COUNT(&set);
    return count > 1 ? static_cast<unsigned>(count) : 1;
}

int read_big_logs_at_once(log_set& logs)
{
    unsigned cpus = allowed_cpus();
    if (cpus < 2)
        return 0;
    long long bytes = 0;
    for (int i = 0; i < logs.count; ++i) {
        struct stat st;
        if (stat(logs.names[i], &st) != 0 || !S_ISREG(st.st_mode))
            return 0;
        bytes += st.st_size;
    }
    if (bytes < bytes_worth_threads)
        return 0;
    // Off the stack, where they would put the frame of every run, its
    // logs big or small, kilobytes deep.
    log_job* jobs = new_records<log_job>(static_cast<size_t>(logs.count));
    if (jobs == nullptr)
        return 0;
    for (int i = 0; i < logs.count; ++i) {
        jobs[i].fd = open_file(logs.names[i], O_RDONLY | O_NOCTTY);
        jobs[i].reader = logs.readers[i];
        jobs[i].weight = logs.weights[i];
        struct stat st;
        if (jobs[i].fd < 0 || fstat(jobs[i].fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close_all(jobs, i + 1);
            std::free(jobs);
            return 0;
        }
        jobs[i].size = st.st_size;
    }
    read_logs_at_once(jobs, logs.count, cpus);
    // Read whole, the logs can't change a figure by closing.
    close_all(jobs, logs.count);
    for (int i = 0; i < logs.count; ++i) {
        logs.parts[i] = jobs[i].part;
        logs.shapes[i] = jobs[i].shape;
        logs.errs[i] = jobs[i].err;
    }
    std::free(jobs);
    return 1;
}
