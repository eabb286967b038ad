// The command line: the options, then the three operands.
#include "cli/command_line.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/energy_summary.h"
#include "read/power_logs.h"
#include "report/summary_output.h"

int32_t parse_operand(const char* text)
{
    const char* p = text;
    while (*p == ' ' || static_cast<unsigned char>(*p - '\t') < 5)
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Past 2^31 the digits that follow cannot bring the value back in range.
    int64_t value = 0;
    while (static_cast<unsigned char>(*p - '0') < 10) {
        if (value <= INT32_MAX)
            value = value * 10 + (*p - '0');
        ++p;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool is_plain_integer(const char* text)
{
    const char* p = text + (*text == '+' || *text == '-');
    if (*p == '\0')
        return false;
    for (; *p != '\0'; ++p)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

namespace {

// Takes the value of --label. Returns null, or what is wrong with it.
const char* take_label(const char* value, run_options& options)
{
    if (*value == '\0')
        return "the label must not be empty";
    if (std::strpbrk(value, "\t\r\n") != nullptr)
        return "the label must hold no tab, carriage return or newline";
    static_assert(max_label_length == 1024, "the message names the limit");
    if (std::strlen(value) > max_label_length)
        return "the label is longer than 1024 bytes";
    options.label = value;
    return nullptr;
}

const char* take_gpus(const char* value, run_options& options)
{
    static_assert(max_gpus == 8, "the message names the limit");
    if (value[0] < '1' || value[0] > '8' || value[1] != '\0')
        return "takes a whole number from 1 to 8";
    options.gpus = value[0] - '0';
    options.gpus_given = true;
    return nullptr;
}

const char* take_cpus(const char* value, run_options& options)
{
    static_assert(max_cpus == 8, "the message names the limit");
    if (value[0] < '1' || value[0] > '8' || value[1] != '\0')
        return "takes a whole number from 1 to 8";
    options.cpus = value[0] - '0';
    options.cpus_given = true;
    return nullptr;
}

// The place of value among the names name_of gives (until it gives null),
// into *into; false where it is none of them.
bool take_name(const char* value, const char* (*name_of)(int), int* into)
{
    for (int i = 0; name_of(i) != nullptr; ++i)
        if (std::strcmp(value, name_of(i)) == 0) {
            *into = i;
            return true;
        }
    return false;
}

const char* take_cpu_format(const char* value, run_options& options)
{
    return take_name(value, cpu_format_name, &options.cpu_format) ? nullptr
                                                                  : "takes columns, perf, counters, turbostat or csv";
}

const char* take_cpu_fields(const char* value, run_options& options)
{
    if (*value == '\0' || value[std::strlen(value) - 1] == ',')
        return "names the fields, as in 3,7 or pkg0_J,pkg1_J";
    options.cpu_fields = value;
    return nullptr;
}

const char* take_cpu_wrap(const char* value, run_options& options)
{
    char* end = nullptr;
    unsigned long long wrap = std::strtoull(value, &end, 10);
    if (end == value || *end != '\0' || wrap == 0 || value[0] == '-')
        return "takes the counters' range in microjoules, as in 262143328850";
    options.cpu_wrap = wrap;
    return nullptr;
}

const char* take_total_time(const char* value, run_options& options)
{
    if (std::strcmp(value, "period") == 0)
        options.total_format = static_cast<int>(total_format::plain);
    else if (std::strcmp(value, "stamps") == 0)
        options.total_format = static_cast<int>(total_format::stamps);
    else
        return "takes period or stamps";
    return nullptr;
}

const char* take_integration(const char* value, run_options& options)
{
    if (std::strcmp(value, "trapezoid") != 0 && std::strcmp(value, "step") != 0)
        return "takes trapezoid or step";
    options.step = value[0] == 's';
    return nullptr;
}

const char* take_total_format(const char* value, run_options& options)
{
    return take_name(value, total_format_name, &options.total_format) ? nullptr
                                                                      : "takes plain, stamps, ptd, mllog or csv";
}

// A period in seconds, by strtod's grammar: positive and finite, with
// nothing after it.
const char* take_period(const char* value, double* period)
{
    char* end = nullptr;
    double seconds = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(seconds > 0) || !std::isfinite(seconds))
        return "takes a positive number of seconds, as in 0.5";
    *period = seconds;
    return nullptr;
}

const char* take_total_period(const char* value, run_options& options)
{
    return take_period(value, &options.total_period);
}

const char* take_gpu_period(const char* value, run_options& options)
{
    return take_period(value, &options.gpu_period);
}

const char* take_gpu_time(const char* value, run_options& options)
{
    if (std::strcmp(value, "period") == 0)
        options.gpu_stamps = false;
    else if (std::strcmp(value, "stamps") == 0)
        options.gpu_stamps = true;
    else
        return "takes period or stamps";
    return nullptr;
}

const char* take_once(const char* value, run_options& options)
{
    if (value != nullptr)
        return "takes no value";
    options.once = true;
    return nullptr;
}

const char* take_phase_rows(const char* value, run_options& options)
{
    if (value != nullptr)
        return "takes no value";
    options.phase_rows = true;
    return nullptr;
}

const char* take_node_rows(const char* value, run_options& options)
{
    if (value != nullptr)
        return "takes no value";
    options.node_rows = true;
    return nullptr;
}

// An option: a flag takes no value, and its take gets null. An option
// whose value is a name or a list the run judges later has no take: its
// value goes to its field as given, and only an empty one is wrong.
struct valued_option {
    const char* name;
    const char* (*take)(const char* value, run_options& options);
    bool flag;
    const char* run_options::*text = nullptr;
    const char* empty = nullptr; // what is wrong with an empty value
};

constexpr valued_option valued_options[] = {
    {"label", take_label, false},
    {"gpus", take_gpus, false},
    {"total-period", take_total_period, false},
    {"gpu-period", take_gpu_period, false},
    {"gpu-time", take_gpu_time, false},
    {"once", take_once, true},
    {"gpu-log", nullptr, false, &run_options::gpu_log, "needs the log's name"},
    // The names are the one-log reader's to judge, as a header's are.
    {"gpu-columns", nullptr, false, &run_options::gpu_columns, "names the columns, as in timestamp,index,power.draw"},
    {"cpus", take_cpus, false},
    {"cpu-format", take_cpu_format, false},
    {"cpu-fields", take_cpu_fields, false},
    {"cpu-wrap", take_cpu_wrap, false},
    {"total-time", take_total_time, false},
    {"total-format", take_total_format, false},
    {"integration", take_integration, false},
    {"total-columns", nullptr, false, &run_options::total_columns, "names the columns, as in timestamp,power"},
    {"phases", nullptr, false, &run_options::phases, "needs the marks' file"},
    {"window", nullptr, false, &run_options::window, "takes FROM,TO, as in +60,-30"},
    {"idle", nullptr, false, &run_options::idle, "names the idle phase"},
    {"idle-watts", nullptr, false, &run_options::idle_watts, "takes METER:WATTS,..., as in total:410,cpu1:35"},
    {"row", nullptr, false, &run_options::row, "takes a phase's name, or net"},
    {"phase-rows", take_phase_rows, true},
    {"record", nullptr, false, &run_options::record, "needs the record file's name"},
    {"plot", nullptr, false, &run_options::plot, "needs the picture's name, as in case7.svg"},
    {"series", nullptr, false, &run_options::series, "needs the CSV file's name"},
    {"nodes", nullptr, false, &run_options::nodes, "names the nodes, as in node07,node08 or @hosts"},
    {"node-rows", take_node_rows, true},
};

// Takes the option word, "--name=value"; given has a bit for each option
// taken already, which may not come again (a script that says --gpus twice
// means one of them, and which is not for the tool to guess). Returns null,
// or writes what is wrong to reason and returns it.
const char* take_option(const char* word, run_options& options, unsigned& given, char* reason,
                        size_t size)
{
    const char* name = word + 2;
    const char* equals = std::strchr(name, '=');
    size_t name_length = equals != nullptr ? static_cast<size_t>(equals - name) : std::strlen(name);
    for (const valued_option& option : valued_options) {
        if (std::strlen(option.name) != name_length ||
            std::strncmp(option.name, name, name_length) != 0)
            continue;
        unsigned bit = 1u << (&option - valued_options);
        if ((given & bit) != 0) {
            std::snprintf(reason, size, "--%s: given twice", option.name);
            return reason;
        }
        given |= bit;
        if (equals == nullptr && !option.flag) {
            std::snprintf(reason, size, "--%s: needs a value, as in --%s=VALUE", option.name,
                          option.name);
            return reason;
        }
        const char* wrong = nullptr;
        if (option.take != nullptr)
            wrong = option.take(equals != nullptr ? equals + 1 : nullptr, options);
        else if (equals[1] == '\0')
            wrong = option.empty;
        else
            options.*option.text = equals + 1;
        if (wrong != nullptr)
            std::snprintf(reason, size, "--%s: %s", option.name, wrong);
        return wrong != nullptr ? reason : nullptr;
    }
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0 ||
        std::strcmp(word, "--heading") == 0)
        std::snprintf(reason, size, "%s: goes alone", word);
    else if (std::strncmp(word, "--check=", 8) == 0 || std::strncmp(word, "--cases=", 8) == 0)
        std::snprintf(reason, size, "%.7s: goes alone, as in --check=TABLE --cases=LIST", word);
    else
        std::snprintf(reason, size, "%.*s: unknown option; see --help",
                      static_cast<int>(name_length + 2), word);
    return reason;
}

} // namespace

int parse_command_line(int argc, char** argv, run_options& options, char* reason,
                       size_t reason_size)
{
    if (argc == 2) {
        if (std::strcmp(argv[1], "--help") == 0)
            return command_help;
        if (std::strcmp(argv[1], "--version") == 0)
            return command_version;
        if (std::strcmp(argv[1], "--heading") == 0)
            return command_heading;
    }
    // A heading for rows of more GPUs than four, or more CPUs than two.
    if ((argc == 3 || argc == 4) && std::strcmp(argv[argc - 1], "--heading") == 0) {
        for (int i = 1; i < argc - 1; ++i) {
            bool gpus = std::strncmp(argv[i], "--gpus=", 7) == 0;
            bool cpus = std::strncmp(argv[i], "--cpus=", 7) == 0;
            if (!gpus && !cpus) {
                std::snprintf(reason, reason_size, "--heading: goes alone, or after --gpus=N and --cpus=N");
                return command_usage;
            }
            const char* wrong = gpus ? take_gpus(argv[i] + 7, options) : take_cpus(argv[i] + 7, options);
            if (wrong != nullptr) {
                std::snprintf(reason, reason_size, "%.6s: %s", argv[i], wrong);
                return command_usage;
            }
        }
        return command_heading;
    }
    // Three words would be the operands: --check takes one option at most.
    if ((argc == 2 || argc == 3) && std::strncmp(argv[1], "--check=", 8) == 0) {
        options.check = argv[1] + 8;
        for (int i = 2; i < argc; ++i) {
            if (std::strncmp(argv[i], "--cases=", 8) == 0 && options.cases == nullptr) {
                options.cases = argv[i] + 8;
            } else if (std::strncmp(argv[i], "--record=", 9) == 0 && options.record == nullptr) {
                options.record = argv[i] + 9;
            } else {
                std::snprintf(reason, reason_size, "--check: goes alone, or with --cases=LIST or --record=FILE");
                return command_usage;
            }
        }
        return command_check;
    }
    int at = 1;
    unsigned given = 0;
    if (argc != 4) {
        for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
            if (argv[at][2] == '\0') {
                ++at;
                break;
            }
            if (take_option(argv[at], options, given, reason, reason_size) != nullptr)
                return command_usage;
        }
    }
    if (argc - at != 3) {
        bool option_after = false;
        for (int i = at; i < argc; ++i) {
            // An option written with one dash (-gpus=2) is none.
            if (argv[i][0] == '-' && std::isalpha(static_cast<unsigned char>(argv[i][1])) &&
                std::strchr(argv[i], '=') != nullptr) {
                std::snprintf(reason, reason_size, "%s: an option starts with two dashes (-%s); see --help",
                              argv[i], argv[i]);
                return command_usage;
            }
            option_after = option_after || (std::strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0');
        }
        std::snprintf(reason, reason_size,
                      option_after ? "options go before BASE WRITE ID; see --help"
                                   : "expects BASE WRITE ID; see --help");
        return command_usage;
    }
    bool phased = has_phases(options);
    const char* needs_phases = options.idle != nullptr ? "--idle" : options.idle_watts != nullptr ? "--idle-watts"
                             : options.row != nullptr ? "--row" : options.phase_rows ? "--phase-rows" : nullptr;
    if (!phased && needs_phases != nullptr) {
        std::snprintf(reason, reason_size, "%s: needs --phases=FILE or --window=FROM,TO", needs_phases);
        return command_usage;
    }
    if (options.idle != nullptr && options.idle_watts != nullptr) {
        std::snprintf(reason, reason_size, "--idle: goes without --idle-watts; give one or the other");
        return command_usage;
    }
    if (phased && !options.gpu_stamps && options.gpu_log == nullptr) {
        std::snprintf(reason, reason_size, "--%s: the GPU logs have no stamps to place them in time: read them "
                      "with --gpu-time=stamps, or one log of every GPU with --gpu-log=FILE",
                      options.phases != nullptr ? "phases" : "window");
        return command_usage;
    }
    if (options.node_rows && (options.label == nullptr || options.nodes == nullptr)) {
        std::snprintf(reason, reason_size, "--node-rows: needs --nodes and --label, the rows are labelled LABEL@NODE");
        return command_usage;
    }
    if (options.phase_rows && options.label == nullptr) {
        std::snprintf(reason, reason_size, "--phase-rows: needs --label, the rows are labelled LABEL/PHASE");
        return command_usage;
    }
    if (options.once && options.label == nullptr) {
        std::snprintf(reason, reason_size, "--once: needs --label, the row's name to look for");
        return command_usage;
    }
    options.base_name = argv[at];
    options.write_text = argv[at + 1];
    options.id_text = argv[at + 2];
    options.write_switch = parse_operand(argv[at + 1]);
    options.results_id = parse_operand(argv[at + 2]);
    return command_run;
}
