// The relay of a reader's timed readings from its thread to the one that
// places them: the calls written into a ring of blocks, each block handed
// over whole once full.
#include "case/timed_relay.h"

#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "read/power_logs.h"

namespace {

// One call of the sink, as written into a block: its head, then its
// numbers, 8 bytes each: a point's instant and watts (24 bytes in all); an
// energy's start, instant and joules (32); a run's start, step and count
// (32), then its joules; lines, their meters and count (32), then their
// stamps and joules. A point, the most of the calls, in as few bytes as it
// takes: the blocks pass from one CPU's cache to the other's.
struct call_head {
    enum : int16_t { point, energy, run, lines } kind;
    int16_t form;
    int32_t meter;
};
constexpr size_t point_bytes = 24, energy_bytes = 32, run_head_bytes = 32;

// Room for two calls with the longest run a reader passes, in each of
// three blocks (1.5 MB in all): the reader runs ahead where placing is the
// slower (a GPU log's lines), placing catches up where reading is (a CPU
// log's); less room measured slower (HACKING).
constexpr size_t block_bytes = 2 * (run_head_bytes + most_run_readings * sizeof(double));
constexpr int block_count = 3;

// A reader's ring of blocks, filled on its thread and placed on the run's.
struct relay;
struct ring {
    relay* shared = nullptr;
    unsigned char* blocks[block_count] = {};
    size_t used[block_count] = {}; // the bytes of calls in each block handed over
    int handed = 0;                // blocks handed over and not yet placed
    int placing = 0;               // the next of them to place
    bool done = false;
    int status = 0;
    // The reader's side.
    timed_reader reader;
    int filling = 0;
    size_t at = 0;
};

// The readers' rings, and the lock and the condition each side waits on.
struct relay {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    ring rings[max_timed_readers];
};

// Hands the block being filled over, and waits for one to fill next.
void hand_over(ring& r)
{
    relay& shared = *r.shared;
    pthread_mutex_lock(&shared.mutex);
    r.used[r.filling] = r.at;
    ++r.handed;
    pthread_cond_broadcast(&shared.changed);
    while (r.handed == block_count)
        pthread_cond_wait(&shared.changed, &shared.mutex);
    pthread_mutex_unlock(&shared.mutex);
    r.filling = (r.filling + 1) % block_count;
    r.at = 0;
}

// Writes a call's head and its first three numbers (as many as bytes
// holds past the head) into the block being filled, handing it over first
// where the call, and joules after it, would not fit.
void put(ring& r, call_head h, size_t bytes, int64_t a, int64_t b, uint64_t c, size_t joules = 0)
{
    if (r.at + bytes + joules > block_bytes)
        hand_over(r);
    unsigned char* to = r.blocks[r.filling] + r.at;
    const int64_t numbers[3] = {a, b, static_cast<int64_t>(c)};
    std::memcpy(to, &h, sizeof h);
    std::memcpy(to + sizeof h, numbers, bytes - sizeof h);
    r.at += bytes;
}

uint64_t bits_of(double x)
{
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

void put_point(void* context, int meter, int64_t ns, int form, double watts)
{
    put(*static_cast<ring*>(context), {call_head::point, static_cast<int16_t>(form), meter}, point_bytes, ns,
        static_cast<int64_t>(bits_of(watts)), 0);
}

void put_energy(void* context, int meter, int64_t from_ns, int64_t ns, int form, double joules)
{
    put(*static_cast<ring*>(context), {call_head::energy, static_cast<int16_t>(form), meter}, energy_bytes,
        from_ns, ns, bits_of(joules));
}

void put_run(void* context, int meter, int64_t from_ns, int64_t step_ns, int form, const double* joules, size_t n)
{
    auto& r = *static_cast<ring*>(context);
    put(r, {call_head::run, static_cast<int16_t>(form), meter}, run_head_bytes, from_ns, step_ns, n,
        n * sizeof(double));
    std::memcpy(r.blocks[r.filling] + r.at, joules, n * sizeof(double));
    r.at += n * sizeof(double);
}

void put_lines(void* context, int first, int meters, int form, const int64_t* ns, const double* joules, size_t n)
{
    auto& r = *static_cast<ring*>(context);
    size_t stamps = n * sizeof(int64_t), readings = n * static_cast<size_t>(meters) * sizeof(double);
    put(r, {call_head::lines, static_cast<int16_t>(form), first}, run_head_bytes, meters, static_cast<int64_t>(n), 0,
        stamps + readings);
    std::memcpy(r.blocks[r.filling] + r.at, ns, stamps);
    std::memcpy(r.blocks[r.filling] + r.at + stamps, joules, readings);
    r.at += stamps + readings;
}

void* read_relayed(void* arg)
{
    auto& r = *static_cast<ring*>(arg);
    timed_sink relayed;
    relayed.context = &r;
    relayed.point = put_point;
    relayed.energy = put_energy;
    relayed.energy_run = put_run;
    relayed.energy_lines = put_lines;
    int status = r.reader.read(r.reader.context, relayed);
    pthread_mutex_lock(&r.shared->mutex);
    r.used[r.filling] = r.at;
    ++r.handed;
    r.done = true;
    r.status = status;
    pthread_cond_broadcast(&r.shared->changed);
    pthread_mutex_unlock(&r.shared->mutex);
    return nullptr;
}

// Makes the calls of a block handed over.
void place(const unsigned char* block, size_t used, const timed_sink& sink)
{
    for (size_t at = 0; at < used;) {
        call_head h;
        int64_t n[3];
        std::memcpy(&h, block + at, sizeof h);
        std::memcpy(n, block + at + sizeof h, h.kind == call_head::point ? 16 : 24);
        double value;
        std::memcpy(&value, &n[h.kind == call_head::point ? 1 : 2], sizeof value);
        if (h.kind == call_head::point) {
            sink.point(sink.context, h.meter, n[0], h.form, value);
            at += point_bytes;
        } else if (h.kind == call_head::energy) {
            sink.energy(sink.context, h.meter, n[0], n[1], h.form, value);
            at += energy_bytes;
        } else if (h.kind == call_head::run) {
            // The joules stand 8-byte aligned: the blocks are malloc's,
            // and every call is a multiple of 8 bytes.
            sink.energy_run(sink.context, h.meter, n[0], n[1], h.form,
                            reinterpret_cast<const double*>(block + at + run_head_bytes), static_cast<size_t>(n[2]));
            at += run_head_bytes + static_cast<size_t>(n[2]) * sizeof(double);
        } else {
            auto lines = static_cast<size_t>(n[1]);
            const unsigned char* ns = block + at + run_head_bytes;
            sink.energy_lines(sink.context, h.meter, static_cast<int>(n[0]), h.form, reinterpret_cast<const int64_t*>(ns),
                              reinterpret_cast<const double*>(ns + lines * sizeof(int64_t)), lines);
            at += run_head_bytes + lines * (1 + static_cast<size_t>(n[0])) * sizeof(double);
        }
    }
}

} // namespace

int relay_timed_readings(const timed_reader* readers, int count, const timed_sink& sink, bool threaded)
{
    static_assert(sizeof(call_head) == 8);
    relay r;
    bool ready = threaded && allowed_cpus() >= 2 && count <= max_timed_readers;
    for (int i = 0; ready && i < count; ++i) {
        r.rings[i].shared = &r;
        r.rings[i].reader = readers[i];
        for (unsigned char*& b : r.rings[i].blocks)
            ready = ready && (b = static_cast<unsigned char*>(std::malloc(block_bytes))) != nullptr;
    }
    pthread_t threads[max_timed_readers];
    int started = 0;
    while (ready && started < count && pthread_create(&threads[started], nullptr, read_relayed, &r.rings[started]) == 0)
        ++started;
    // Each handed block of the readers started placed as it comes: a
    // reader's in its order, the readers' as they come.
    for (;;) {
        pthread_mutex_lock(&r.mutex);
        ring* next = nullptr;
        for (;;) {
            bool all_done = true;
            for (int i = 0; i < started && next == nullptr; ++i) {
                next = r.rings[i].handed > 0 ? &r.rings[i] : nullptr;
                all_done = all_done && r.rings[i].done;
            }
            if (next != nullptr || all_done)
                break;
            pthread_cond_wait(&r.changed, &r.mutex);
        }
        pthread_mutex_unlock(&r.mutex);
        if (next == nullptr)
            break;
        place(next->blocks[next->placing], next->used[next->placing], sink);
        pthread_mutex_lock(&r.mutex);
        --next->handed;
        next->placing = (next->placing + 1) % block_count;
        pthread_cond_broadcast(&r.changed);
        pthread_mutex_unlock(&r.mutex);
    }
    for (int i = 0; i < started; ++i)
        pthread_join(threads[i], nullptr);
    // A reader that did not start reads here, on sink itself, after them.
    int status = 0;
    for (int i = 0; i < count; ++i) {
        int s = i < started ? r.rings[i].status : readers[i].read(readers[i].context, sink);
        status = status != 0 ? status : s;
    }
    for (ring& g : r.rings)
        for (unsigned char* b : g.blocks)
            std::free(b);
    return status;
}
