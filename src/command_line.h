// The command line: the three operands, and the options that may come
// before them.
#ifndef ENERGY_TOTALS_COMMAND_LINE_H
#define ENERGY_TOTALS_COMMAND_LINE_H

#include <cstddef>
#include <cstdint>

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
    int cpu_format = 0;          // --cpu-format: a cpu_format
    const char* cpu_fields = nullptr;   // --cpu-fields=LIST: the fields of each CPU's joules
    unsigned long long cpu_wrap = 0;    // --cpu-wrap=UJ: where the energy counters wrap
    bool total_stamps = false;   // --total-time=stamps: the total-power log by its stamps
    double total_period = 0.5;   // --total-period: seconds a total-power line stands for
    double gpu_period = 0.1;     // --gpu-period: seconds a GPU line stands for
    bool gpu_stamps = false;     // --gpu-time=stamps: GPU logs weighted by their time stamps
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
    const char* check = nullptr; // --check=TABLE: the table to check
    const char* cases = nullptr; // --cases=LIST: the cases whose rows it should hold
};

// The name --cpu-format gives format (a cpu_format): "columns", "perf",
// "counters" or "turbostat".
const char* cpu_format_name(int format);

// Whether text is a plain whole number: an optional sign, then decimal
// digits, and nothing else.
bool is_plain_integer(const char* text);

// Parses an operand as atoi does (leading whitespace, a sign, then decimal
// digits up to the first other byte; 0 without digits), except that a value
// outside the signed 32-bit range is clamped to its nearer end.
int32_t parse_operand(const char* text);

// What a command line asks for.
enum command : int {
    command_run,
    command_help,
    command_version,
    command_heading,
    command_check,
    command_usage
};

// Reads the command line into options. Exactly three operands are always
// the operands, whatever they look like. Otherwise options, each one word
// --name=value (or --once), come first, and "--" ends them; --help,
// --version and --heading go alone (--heading also after --gpus=N), and
// --check=TABLE alone or with --cases=LIST. Returns the command; for command_usage, reason holds
// what was wrong, a line without a newline. Does not allocate.
int parse_command_line(int argc, char** argv, run_options& options, char* reason,
                       size_t reason_size);

#endif
