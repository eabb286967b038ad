// The figures' two totals, the CPUs' and GPUs' figures by number, and
// the sum of two summaries.
#include "base/energy_summary.h"

namespace {

constexpr double energy_summary::*gpu_figures[max_gpus] = {
    &energy_summary::gpu1, &energy_summary::gpu2, &energy_summary::gpu3, &energy_summary::gpu4,
    &energy_summary::gpu5, &energy_summary::gpu6, &energy_summary::gpu7, &energy_summary::gpu8};
constexpr double energy_summary::*cpu_figures[max_cpus] = {
    &energy_summary::cpu1, &energy_summary::cpu2, &energy_summary::cpu3, &energy_summary::cpu4,
    &energy_summary::cpu5, &energy_summary::cpu6, &energy_summary::cpu7, &energy_summary::cpu8};

} // namespace

double& gpu_figure(energy_summary& s, int k)
{
    return s.*gpu_figures[k - 1];
}

double gpu_figure(const energy_summary& s, int k)
{
    return gpu_figure(const_cast<energy_summary&>(s), k);
}

double& cpu_figure(energy_summary& s, int k)
{
    return s.*cpu_figures[k - 1];
}

double cpu_figure(const energy_summary& s, int k)
{
    return cpu_figure(const_cast<energy_summary&>(s), k);
}

void add_summary(energy_summary& sum, const energy_summary& part, bool first)
{
    if (first) {
        sum = part;
        return;
    }
    sum.total_energy = add_figures(sum.total_energy, part.total_energy);
    for (int k = 1; k <= max_cpus; ++k)
        cpu_figure(sum, k) = add_figures(cpu_figure(sum, k), cpu_figure(part, k));
    for (int k = 1; k <= max_gpus; ++k)
        gpu_figure(sum, k) = add_figures(gpu_figure(sum, k), gpu_figure(part, k));
}

double total_cpu(const energy_summary& s, int cpus)
{
    double total = add_figures(s.cpu1, s.cpu2);
    for (int k = 3; k <= cpus; ++k)
        total = add_figures(total, cpu_figure(s, k));
    return total;
}

double total_gpu(const energy_summary& s, int gpus)
{
    double total = add_figures(add_figures(add_figures(s.gpu1, s.gpu2), s.gpu3), s.gpu4);
    for (int k = 5; k <= gpus; ++k)
        total = add_figures(total, gpu_figure(s, k));
    return total;
}
