// The options record: what the command line asks of a run, filled in by
// the command line's reader and read by every layer above the readers.
#ifndef ENERGY_TOTALS_RUN_OPTIONS_H
#define ENERGY_TOTALS_RUN_OPTIONS_H

#include <cstddef>
#include <cstdint>

// The longest name of a node (--nodes), as its rows' labels LABEL@NODE
// take it.
constexpr size_t max_node_name = 255;

struct run_options {
    const char* base_name = "";
    int32_t write_switch = 0;
    int32_t results_id = 0;
    const char* write_text = "0"; // the two operands as given
    const char* id_text = "0";
    const char* label = nullptr; // --label: the row's tenth field, if given
    int gpus = 1;                // --gpus: GPU logs, gpupower1.out to gpupowerN.out, N to 8
    bool gpus_given = false;     // --gpus was said (--gpu-log takes the log's count without it)
    int cpus = 2;                // --cpus: CPU1 to CPUN, N to 8
    bool cpus_given = false;     // --cpus was said
    int cpu_format = 0;          // --cpu-format: a cpu_format
    const char* cpu_fields = nullptr;   // --cpu-fields=LIST: the fields of each CPU's joules
    unsigned long long cpu_wrap = 0;    // --cpu-wrap=UJ: where the energy counters wrap
    int total_format = 0;        // --total-format (a total_format); --total-time=stamps is 1
    const char* total_columns = nullptr; // --total-columns=LIST: its columns, where csv has no header
    double total_period = 0.5;   // --total-period: seconds a total-power line stands for
    double gpu_period = 0.1;     // --gpu-period: seconds a GPU line stands for
    bool gpu_stamps = false;     // --gpu-time=stamps: GPU logs weighted by their time stamps
    bool step = false;           // --integration=step: a stamped reading held since the one before
    bool once = false;           // --once: no row where one with the label is in the table
    const char* gpu_log = nullptr;     // --gpu-log=FILE: one log of every GPU
    const char* gpu_columns = nullptr; // --gpu-columns=LIST: its columns, where it has no header
    const char* phases = nullptr;      // --phases=FILE: the marks of the run's phases
    const char* window = nullptr;      // --window=FROM,TO: one phase, "window"
    const char* idle = nullptr;        // --idle=PHASE: the phase whose mean power is idle
    const char* idle_watts = nullptr;  // --idle-watts=LIST: idle power by hand
    const char* row = nullptr;         // --row=PHASE or --row=net: the row's figures
    bool phase_rows = false;           // --phase-rows: a row for each phase too
    const char* record = nullptr;      // --record=FILE: a JSON line of the run, appended
    const char* plot = nullptr;        // --plot=FILE: the run's power as an SVG picture
    const char* series = nullptr;      // --series=FILE: the readings as CSV
    const char* nodes = nullptr;       // --nodes=LIST or --nodes=@FILE: the case's nodes
    bool node_rows = false;            // --node-rows: a row for each node too
    const char* gpu_dir = nullptr;     // a node's directory, where its GPU logs are read
    bool shares_cpus = false;          // a node's reader, beside the other nodes': no thread of its own
    const char* check = nullptr; // --check=TABLE: the table to check
    const char* cases = nullptr; // --cases=LIST: the cases whose rows it should hold
};

// Whether the run reports phases: marks (--phases), or a window.
inline bool has_phases(const run_options& o)
{
    return o.phases != nullptr || o.window != nullptr;
}

#endif
