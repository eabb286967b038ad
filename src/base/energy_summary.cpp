// The figures' two totals, the CPUs' and GPUs' figures by number, and
// the sum of two summaries.
#include "base/energy_summary.h"

double& gpu_figure(energy_summary& s, int k)
{
    double* figures[max_gpus] = {&s.gpu1, &s.gpu2, &s.gpu3, &s.gpu4,
                                 &s.gpu5, &s.gpu6, &s.gpu7, &s.gpu8};
    return *figures[k - 1];
}

double gpu_figure(const energy_summary& s, int k)
{
    return gpu_figure(const_cast<energy_summary&>(s), k);
}

double& cpu_figure(energy_summary& s, int k)
{
    double* figures[max_cpus] = {&s.cpu1, &s.cpu2, &s.cpu3, &s.cpu4, &s.cpu5, &s.cpu6, &s.cpu7, &s.cpu8};
    return *figures[k - 1];
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
