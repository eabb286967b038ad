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
};
constexpr int64_t since_last = INT64_MIN;

// The most readings a reader passes in one energy_run.
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

#endif
