// Each meter of a case as the run saw it in time: its readings' count,
// coverage, period and gaps, its mean and peak power, and its power curve
// kept at a picture's resolution, whatever the log's length; drawn as an
// SVG picture (--plot), and its readings written out as CSV (--series).
#ifndef ENERGY_TOTALS_CASE_VIEW_H
#define ENERGY_TOTALS_CASE_VIEW_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "read/timed_readings.h"

// A meter's curve is kept in this many spans of time, each its lowest
// and highest power: twice as wide each time the meter's time outgrows
// them, so a spike is never lost.
constexpr int view_spans = 2048;
// The intervals from which a meter's median period is taken: its first.
constexpr int view_period_sample = 1023;
// The gaps kept to be drawn; more are counted.
constexpr int view_gaps_kept = 64;

struct meter_view {
    uint64_t readings = 0;
    int64_t first_ns = 0, last_ns = 0;
    double energy = 0;        // joules, as placed in time
    double peak = 0;          // the highest power, in watts
    double last_watts = 0;
    bool any = false;
    // Intervals between readings, each met where it began: the median of
    // the first, and the gaps from it.
    interval_watch<view_period_sample> intervals;
    uint64_t gaps = 0;
    int64_t longest_gap_ns = 0;
    int64_t gap_from[view_gaps_kept] = {}, gap_to[view_gaps_kept] = {};
    // The curve: span i is [origin + i * width, origin + (i + 1) * width).
    int64_t origin_ns = 0, width_ns = 1000000;
    float low[view_spans], high[view_spans];
    // The span last drawn in, [span_from_ns, span_to_ns): the next reading
    // mostly falls in it too, and is then placed without a division.
    int64_t span = 0, span_from_ns = 0, span_to_ns = 0;
    // Readings that are no finite number: never drawn, the curve broken in
    // their spans.
    uint64_t not_finite = 0;
    bool broken[view_spans] = {};
};

struct case_view {
    meter_view meters[timed_meters];
    FILE* series = nullptr;   // each reading as it came, to be written out as CSV
    int series_error = 0;     // the errno of the first reading it could not keep
};

// Sets view up; with series (the file --series writes), a temporary file
// for the readings beside it. Returns false where that file can't be made.
bool start_case_view(case_view& view, const char* series);
void free_case_view(case_view& view);

// Empties view for the logs to be read in time again: its meters as new,
// its kept readings cut. Returns 0 or an errno.
int reset_case_view(case_view& view);

// The observer that feeds view.
reading_observer view_observer(case_view& view);

// Settles each meter's median period and gaps once every log is read.
void finish_case_view(case_view& view);

// What the picture shows of a meter: its name, and its view.
struct drawn_meter {
    const char* name;
    const char* colour;
    const meter_view* view;
};

// A stretch of a phase, for the picture.
struct drawn_phase {
    const char* name;
    int64_t from_ns, to_ns;
    int number; // the phase's, so that its stretches share a shade
};

// Writes the picture to out: each meter's power over the run's seconds (as
// the lowest and highest in each pixel's time, the line broken only at a
// gap or at a reading that is no finite number), gaps marked along the
// axis, phases shaded and named, axes with ticks and units, and under them
// a legend of each meter's mean and peak power. Text holds no character
// that XML forbids. Returns 0, or the errno of a write.
int write_plot(FILE* out, const drawn_meter* meters, int count, const drawn_phase* phases, int phase_count,
               const char* title);

// The kinds of meter the picture of a case over several nodes draws, a
// panel each: the node meter, the CPUs together, the GPUs together.
constexpr int node_kinds = 3;
constexpr int max_view_nodes = 64;

// A node's power in time, for the picture of a case over several nodes:
// each kind's lowest and highest power (its meters' added) in each of
// view_spans spans of its time, and its mean and peak power.
struct node_curve {
    bool any[node_kinds] = {};
    int64_t from_ns[node_kinds] = {}, to_ns[node_kinds] = {}, width_ns[node_kinds] = {};
    int64_t period_ns[node_kinds] = {}; // the longest median period of its meters
    float low[node_kinds][view_spans], high[node_kinds][view_spans];
    double mean[node_kinds] = {}, peak[node_kinds] = {};
};

// Sets kind of curve from the views of its meters (count of them).
void take_node_curve(node_curve& curve, int kind, const meter_view* const* meters, int count);

// Writes the picture of a case over several nodes (count of them, at most
// max_view_nodes, named names): a panel for each kind, each node's curve and their sum (the
// nodes' power added in each pixel's time; beyond 8 nodes, the sum and the
// band of the nodes, lowest to highest), the phases shaded; under them
// each node's mean and peak power. Returns 0, or the errno of a write.
int write_nodes_plot(FILE* out, const node_curve* nodes, const char* const* names, int count,
                     const drawn_phase* phases, int phase_count, const char* title);

// Writes the readings as CSV, "seconds,meter,watts", seconds from the
// earliest reading of the meters drawn, each reading's meter by its name.
// Returns 0 or the errno of a read or write.
int write_series(FILE* out, case_view& view, const drawn_meter* meters, int count);

// A reading as a series keeps it until it is written out: its meter (or a
// figure's number), its instant and watts. Each returns whether it could.
bool put_kept_reading(FILE* out, int32_t meter, int64_t ns, double watts);
bool take_kept_reading(FILE* in, int32_t* meter, int64_t* ns, double* watts);

// Readies the view's kept readings to be read from their start. Returns 0,
// or the errno of the first reading that could not be kept.
int rewind_kept_readings(case_view& view);

// A meter's mean power over its coverage, in watts; 0 where it covers no
// time.
double mean_power(const meter_view& m);

#endif
