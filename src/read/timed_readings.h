// Readings with their times, as the readers pass them on when asked: what
// the energy of each phase of a run is split from (phases.h). A reader
// given a sink calls it for every reading it adds into a figure, in file
// order, so that a meter's readings in the sink sum to its figure.
#ifndef ENERGY_TOTALS_TIMED_READINGS_H
#define ENERGY_TOTALS_TIMED_READINGS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/energy_summary.h"
#include "read/time_stamps.h"

// Where the readings go once placed on one time line, as instants: a
// point of a meter's power curve, or joules over [from_ns, to_ns].
struct reading_observer {
    void* context = nullptr;
    void (*point)(void* context, int meter, int64_t ns, double watts) = nullptr;
    void (*energy)(void* context, int meter, int64_t from_ns, int64_t to_ns, double joules) = nullptr;
    // joules[i] over [from_ns + i step_ns, from_ns + (i + 1) step_ns] for
    // each i below n, as n calls of energy would pass them.
    void (*energy_run)(void* context, int meter, int64_t from_ns, int64_t step_ns, const double* joules,
                       size_t n) = nullptr;
};

// The meters a sink tells apart: the node's total, CPU k (1 to 8), and
// the GPU sources, one a GPU log or a track of the one log of every GPU
// (in the order its ids first came; the GPU it is, is known at its end).
constexpr int total_meter = 0;
constexpr int cpu_meter(int k) { return k; }
constexpr int first_gpu_source = 1 + max_cpus;
constexpr int max_gpu_sources = 16;
constexpr int timed_meters = first_gpu_source + max_gpu_sources;

struct timed_sink {
    void* context = nullptr;
    // The meter's power curve passes through (ns, watts): the energy is
    // the trapezoid from its point before.
    void (*point)(void* context, int meter, int64_t ns, int form, double watts) = nullptr;
    // joules over [from_ns, ns]; from_ns is since_last where they are the
    // energy since the meter's last stamp (a CPU's interval).
    void (*energy)(void* context, int meter, int64_t from_ns, int64_t ns, int form, double joules) = nullptr;
    // joules[i] over [from_ns + i step_ns, from_ns + (i + 1) step_ns] for
    // each i below n, as n calls of energy would pass them: a log's
    // readings a period apart, a slice of lines at a time.
    void (*energy_run)(void* context, int meter, int64_t from_ns, int64_t step_ns, int form, const double* joules,
                       size_t n) = nullptr;
    // The joules of meters first to first + meters - 1 at each of n lines,
    // joules[i * meters + k] meter first + k's over the time since its
    // last stamp up to ns[i], as the n lines' calls of energy would pass
    // them, line by line: a CPU log's lines.
    void (*energy_lines)(void* context, int first, int meters, int form, const int64_t* ns, const double* joules,
                         size_t n) = nullptr;
};
constexpr int64_t since_last = INT64_MIN;

// The most readings a reader passes in one energy_run, and the most
// stamps and joules together in one energy_lines.
constexpr size_t most_run_readings = 32768;

// How a log read by its stamps makes energy of its readings: the
// trapezoid between neighbouring readings (the default), or, as MLPerf's
// result summarizer counts it, each reading held over the time since the
// reading before (--integration=step). Set before the logs are read, as
// the kernel is; every reader by stamps takes it.
enum class integration_rule : int { trapezoid, step };
extern integration_rule timed_integration;

// The typical one of n intervals (n at least 1), reordering v: the median,
// the lower of the middle two where n is even (of two intervals, a stall
// can only be the longer one).
inline int64_t median_interval(int64_t* v, int n)
{
    std::nth_element(v, v + (n - 1) / 2, v + n);
    return v[(n - 1) / 2];
}

// The typical interval of a meter's readings, and the gaps from it: the
// first `room` intervals sampled, their median (never below a nanosecond)
// the typical one, then each interval over three times it a gap, the
// sampled ones judged once the median is known. at is where an interval
// was met (a line's number, an instant), for the gaps to say.
template <int room>
struct interval_watch {
    int count = 0;
    int64_t median_ns = 0; // 0 until the sample is settled
    int64_t interval[room] = {};
    int64_t at[room] = {};
};

// Whether interval is a gap where the typical interval is median_ns:
// longer than three of them.
inline bool longer_than_gap(int64_t median_ns, int64_t interval)
{
    return median_ns <= INT64_MAX / 3 && interval > 3 * median_ns;
}

// Whether interval is a gap by w's median.
template <int room>
bool is_gap(const interval_watch<room>& w, int64_t interval)
{
    return longer_than_gap(w.median_ns, interval);
}

// Settles the median from the intervals sampled, if it is not yet, and
// calls gap(interval, at) for each of them that is a gap. Returns whether
// it settled it now.
template <int room, class Gap>
bool settle_watch(interval_watch<room>& w, Gap gap)
{
    if (w.median_ns > 0 || w.count == 0)
        return false;
    int64_t sorted[room];
    std::copy(w.interval, w.interval + w.count, sorted);
    w.median_ns = std::max<int64_t>(median_interval(sorted, w.count), 1);
    for (int i = 0; i < w.count; ++i)
        if (is_gap(w, w.interval[i]))
            gap(w.interval[i], w.at[i]);
    return true;
}

// Takes an interval met at at: into the sample while it has room (the
// median settled once it is full), else gap(interval, at) where it is
// one. Returns whether it settled the median.
template <int room, class Gap>
bool watch_interval(interval_watch<room>& w, int64_t interval, int64_t at, Gap gap)
{
    if (w.count < room) {
        w.interval[w.count] = interval;
        w.at[w.count++] = at;
        return w.count == room && settle_watch(w, gap);
    }
    if (is_gap(w, interval))
        gap(interval, at);
    return false;
}

#endif
