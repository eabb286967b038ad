// The console summary and the results row: the figures as text.
#include "report/summary_output.h"

void print_console_summary(const energy_summary& s, FILE* out, int gpus, int cpus)
{
    print_figures(s, out, gpus, cpus, "");
}

void print_figures(const energy_summary& s, FILE* out, int gpus, int cpus, const char* prefix)
{
    const char* p = prefix;
    std::fprintf(out, "%stotal energy: %f\n%sCPU1: %f\n%sCPU2: %f\n", p, s.total_energy, p, s.cpu1, p, s.cpu2);
    for (int k = 3; k <= cpus; ++k)
        std::fprintf(out, "%sCPU%d: %f\n", p, k, cpu_figure(s, k));
    std::fprintf(out, "%stotal CPU: %f\n%sGPU1: %f\n%sGPU2: %f\n%sGPU3: %f\n%sGPU4: %f\n", p, total_cpu(s, cpus), p,
                 s.gpu1, p, s.gpu2, p, s.gpu3, p, s.gpu4);
    for (int k = 5; k <= gpus; ++k)
        std::fprintf(out, "%sGPU%d: %f\n", p, k, gpu_figure(s, k));
    std::fprintf(out, "%stotal GPU: %f\n", p, total_gpu(s, gpus));
}

table_name results_table_name(int32_t results_id)
{
    table_name name;
    if (results_id < 1)
        std::snprintf(name.text, sizeof name.text, "results.txt");
    else
        std::snprintf(name.text, sizeof name.text, "results%d.txt", results_id);
    return name;
}

int format_results_row(const energy_summary& s, const char* label, char* buf, size_t size,
                       int gpus, int cpus)
{
    size_t at = 0;
    bool fits = true;
    auto put = [&](int n) {
        fits = fits && n >= 0 && at + static_cast<size_t>(n) < size;
        at = fits ? at + static_cast<size_t>(n) : at;
    };
    put(std::snprintf(buf, size, "%g\t\t%g\t\t%g", s.total_energy, s.cpu1, s.cpu2));
    for (int k = 3; k <= cpus && fits; ++k)
        put(std::snprintf(buf + at, size - at, "\t\t%g", cpu_figure(s, k)));
    if (fits)
        put(std::snprintf(buf + at, size - at, "\t\t%g\t\t\t%g\t\t%g\t\t%g\t\t%g", total_cpu(s, cpus), s.gpu1,
                          s.gpu2, s.gpu3, s.gpu4));
    for (int k = 5; k <= gpus && fits; ++k)
        put(std::snprintf(buf + at, size - at, "\t\t%g", gpu_figure(s, k)));
    if (fits)
        put(std::snprintf(buf + at, size - at, "\t\t%g%s%s\n", total_gpu(s, gpus),
                          label != nullptr ? "\t\t" : "", label != nullptr ? label : ""));
    return fits ? static_cast<int>(at) : -1;
}

void print_heading(FILE* out, int gpus, int cpus)
{
    std::fputs("total\t\tCPU1\t\tCPU2", out);
    for (int k = 3; k <= cpus; ++k)
        std::fprintf(out, "\t\tCPU%d", k);
    std::fputs("\t\ttotal CPU\t\t\tGPU1\t\tGPU2\t\tGPU3\t\tGPU4", out);
    for (int k = 5; k <= gpus; ++k)
        std::fprintf(out, "\t\tGPU%d", k);
    std::fputs("\t\ttotal GPU\t\tcase\n", out);
}
