#include "energy_summary.h"

double total_cpu(const energy_summary& s)
{
    return add_figures(s.cpu1, s.cpu2);
}

double total_gpu(const energy_summary& s)
{
    return add_figures(add_figures(add_figures(s.gpu1, s.gpu2), s.gpu3), s.gpu4);
}
