// The console summary and the results row: the figures as text.
#include "summary_output.h"

void print_console_summary(const energy_summary& s, FILE* out)
{
    std::fprintf(out,
                 "total energy: %f\nCPU1: %f\nCPU2: %f\ntotal CPU: %f\nGPU1: %f\n"
                 "GPU2: %f\nGPU3: %f\nGPU4: %f\ntotal GPU: %f\n",
                 s.total_energy, s.cpu1, s.cpu2, total_cpu(s), s.gpu1, s.gpu2, s.gpu3,
                 s.gpu4, total_gpu(s));
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

int format_results_row(const energy_summary& s, const char* label, char* buf, size_t size)
{
    int n = std::snprintf(buf, size, "%g\t\t%g\t\t%g\t\t%g\t\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g%s%s\n",
                         s.total_energy, s.cpu1, s.cpu2, total_cpu(s), s.gpu1, s.gpu2,
                         s.gpu3, s.gpu4, total_gpu(s), label != nullptr ? "\t\t" : "",
                         label != nullptr ? label : "");
    return n >= 0 && static_cast<size_t>(n) < size ? n : -1;
}
