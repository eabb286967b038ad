// The command line: the options, then the three operands.
#include "command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "summary_output.h"

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
    if (value[0] < '1' || value[0] > '4' || value[1] != '\0')
        return "takes a whole number from 1 to 4";
    options.gpus = value[0] - '0';
    return nullptr;
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

struct valued_option {
    const char* name;
    const char* (*take)(const char* value, run_options& options);
};

constexpr valued_option valued_options[] = {
    {"label", take_label},
    {"gpus", take_gpus},
    {"total-period", take_total_period},
    {"gpu-period", take_gpu_period},
    {"gpu-time", take_gpu_time},
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
        if (equals == nullptr) {
            std::snprintf(reason, size, "--%s: needs a value, as in --%s=VALUE", option.name,
                          option.name);
            return reason;
        }
        const char* wrong = option.take(equals + 1, options);
        if (wrong != nullptr)
            std::snprintf(reason, size, "--%s: %s", option.name, wrong);
        return wrong != nullptr ? reason : nullptr;
    }
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "--version") == 0 ||
        std::strcmp(word, "--heading") == 0)
        std::snprintf(reason, size, "%s: goes alone", word);
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
        std::snprintf(reason, reason_size, "expects BASE WRITE ID; see --help");
        return command_usage;
    }
    options.base_name = argv[at];
    options.write_switch = parse_operand(argv[at + 1]);
    options.results_id = parse_operand(argv[at + 2]);
    return command_run;
}
