// The relay of a reader's timed readings from its thread to the one that
// places them: the calls written into a ring of blocks, each block handed
// over whole once full.
#include "case/timed_relay.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "read/power_logs.h"

namespace {

// One call of the sink; a run's joules follow it in the block.
struct call {
    enum : int32_t { point, energy, run } kind;
    int32_t meter, form;
    uint32_t count;
    int64_t a, b; // point: ns; energy: from_ns, ns; run: from_ns, step_ns
    double value;
};

// Room for two calls with the longest run a reader passes, in each of
// three blocks (1.5 MB in all): the reader runs ahead where placing is the
// slower (a GPU log's lines), placing catches up where reading is (a CPU
// log's); less room measured slower (HACKING).
constexpr size_t block_bytes = 2 * (sizeof(call) + most_run_readings * sizeof(double));
constexpr int block_count = 3;

struct relay {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    unsigned char* blocks[block_count] = {};
    size_t used[block_count] = {}; // the bytes of calls in each block handed over
    int handed = 0;                // blocks handed over and not yet placed
    bool done = false;
    int status = 0;
    // The reader's side.
    int (*read)(void*, const timed_sink&) = nullptr;
    void* context = nullptr;
    int filling = 0;
    size_t at = 0;
};

// Hands the block being filled over, and waits for one to fill next.
void hand_over(relay& r)
{
    pthread_mutex_lock(&r.mutex);
    r.used[r.filling] = r.at;
    ++r.handed;
    pthread_cond_signal(&r.changed);
    while (r.handed == block_count)
        pthread_cond_wait(&r.changed, &r.mutex);
    pthread_mutex_unlock(&r.mutex);
    r.filling = (r.filling + 1) % block_count;
    r.at = 0;
}

void put(relay& r, const call& c, const double* joules)
{
    size_t bytes = c.count * sizeof(double);
    if (r.at + sizeof c + bytes > block_bytes)
        hand_over(r);
    unsigned char* to = r.blocks[r.filling] + r.at;
    std::memcpy(to, &c, sizeof c);
    if (bytes > 0)
        std::memcpy(to + sizeof c, joules, bytes);
    r.at += sizeof c + bytes;
}

void put_point(void* context, int meter, int64_t ns, int form, double watts)
{
    put(*static_cast<relay*>(context), {call::point, meter, form, 0, ns, 0, watts}, nullptr);
}

void put_energy(void* context, int meter, int64_t from_ns, int64_t ns, int form, double joules)
{
    put(*static_cast<relay*>(context), {call::energy, meter, form, 0, from_ns, ns, joules}, nullptr);
}

void put_run(void* context, int meter, int64_t from_ns, int64_t step_ns, int form, const double* joules, size_t n)
{
    put(*static_cast<relay*>(context), {call::run, meter, form, static_cast<uint32_t>(n), from_ns, step_ns, 0},
        joules);
}

void* read_relayed(void* arg)
{
    auto& r = *static_cast<relay*>(arg);
    timed_sink relayed;
    relayed.context = &r;
    relayed.point = put_point;
    relayed.energy = put_energy;
    relayed.energy_run = put_run;
    int status = r.read(r.context, relayed);
    pthread_mutex_lock(&r.mutex);
    r.used[r.filling] = r.at;
    ++r.handed;
    r.done = true;
    r.status = status;
    pthread_cond_signal(&r.changed);
    pthread_mutex_unlock(&r.mutex);
    return nullptr;
}

// Makes the calls of a block handed over.
void place(const unsigned char* block, size_t used, const timed_sink& sink)
{
    for (size_t at = 0; at < used;) {
        call c;
        std::memcpy(&c, block + at, sizeof c);
        at += sizeof c;
        if (c.kind == call::point) {
            sink.point(sink.context, c.meter, c.a, c.form, c.value);
        } else if (c.kind == call::energy) {
            sink.energy(sink.context, c.meter, c.a, c.b, c.form, c.value);
        } else {
            // The joules stand 8-byte aligned: the blocks are malloc's,
            // and every call is a multiple of 8 bytes.
            sink.energy_run(sink.context, c.meter, c.a, c.b, c.form, reinterpret_cast<const double*>(block + at),
                            c.count);
            at += c.count * sizeof(double);
        }
    }
}

} // namespace

int relay_timed_readings(int (*read)(void* context, const timed_sink& relayed), void* context,
                         const timed_sink& sink, bool threaded)
{
    static_assert(sizeof(call) % alignof(double) == 0);
    if (!threaded || allowed_cpus() < 2)
        return read(context, sink);
    relay r;
    r.read = read;
    r.context = context;
    bool ready = true;
    for (unsigned char*& b : r.blocks)
        ready = ready && (b = static_cast<unsigned char*>(std::malloc(block_bytes))) != nullptr;
    pthread_t reader;
    if (!ready || pthread_create(&reader, nullptr, read_relayed, &r) != 0) {
        for (unsigned char* b : r.blocks)
            std::free(b);
        return read(context, sink);
    }
    for (int placing = 0;; placing = (placing + 1) % block_count) {
        pthread_mutex_lock(&r.mutex);
        while (r.handed == 0 && !r.done)
            pthread_cond_wait(&r.changed, &r.mutex);
        bool last = r.handed == 0;
        pthread_mutex_unlock(&r.mutex);
        if (last)
            break;
        place(r.blocks[placing], r.used[placing], sink);
        pthread_mutex_lock(&r.mutex);
        --r.handed;
        pthread_cond_signal(&r.changed);
        pthread_mutex_unlock(&r.mutex);
    }
    pthread_join(reader, nullptr);
    for (unsigned char* b : r.blocks)
        std::free(b);
    return r.status;
}
