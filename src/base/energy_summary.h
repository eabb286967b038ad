// The record of one run's energy figures, and the two totals derived from it.
#ifndef ENERGY_TOTALS_ENERGY_SUMMARY_H
#define ENERGY_TOTALS_ENERGY_SUMMARY_H

#include <cmath>

struct energy_summary {
    double total_energy = 0.0;
    double cpu1 = 0.0;
    double cpu2 = 0.0;
    double cpu3 = 0.0; // CPU3 to CPU8: only with --cpus above 2
    double cpu4 = 0.0;
    double cpu5 = 0.0;
    double cpu6 = 0.0;
    double cpu7 = 0.0;
    double cpu8 = 0.0;
    double gpu1 = 0.0;
    double gpu2 = 0.0;
    double gpu3 = 0.0;
    double gpu4 = 0.0;
    double gpu5 = 0.0; // GPU5 to GPU8: only with --gpus above 4
    double gpu6 = 0.0;
    double gpu7 = 0.0;
    double gpu8 = 0.0;
};

// The most GPUs a node has, and so a run reads; and the most CPU sockets.
constexpr int max_gpus = 8;
constexpr int max_cpus = 8;

// CPU k's figure, k from 1 to max_cpus: the one map from a CPU to its
// accumulator.
double& cpu_figure(energy_summary& s, int k);
double cpu_figure(const energy_summary& s, int k);

// GPU k's figure, k from 1 to max_gpus: the one map from a GPU to its
// accumulator.
double& gpu_figure(energy_summary& s, int k);
double gpu_figure(const energy_summary& s, int k);

// Returns a + b, rounded to double as usual. Where the sum is a NaN its sign
// is fixed here rather than left to the CPU and to the operand order the
// compiler happens to pick: the first NaN operand as written, else (infinity
// minus infinity) the negative default NaN. Without this, "nan" and "-nan"
// could trade places between builds. Does not allocate.
// Inline, since the readers call it once per line.
inline double add_figures(double a, double b)
{
    double sum = a + b;
    if (!std::isnan(sum))
        return sum;
    if (std::isnan(a))
        return a;
    if (std::isnan(b))
        return b;
    return -std::nan("");
}

// Adds each of part's figures into sum's, as the nodes of a case are
// summed: where first, sum takes part's as they are (a -0 stays -0).
void add_summary(energy_summary& sum, const energy_summary& part, bool first);

// cpu1 + cpu2, then CPU3 to CPU cpus one by one where cpus is above 2.
double total_cpu(const energy_summary& s, int cpus = 2);

// ((gpu1 + gpu2) + gpu3) + gpu4, added in that order, then GPU5 to GPU
// gpus one by one where gpus is above 4.
double total_gpu(const energy_summary& s, int gpus = 4);

#endif
