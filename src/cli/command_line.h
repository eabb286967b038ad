// The command line: the three operands, and the options that may come
// before them.
#ifndef ENERGY_TOTALS_COMMAND_LINE_H
#define ENERGY_TOTALS_COMMAND_LINE_H

#include <cstddef>
#include <cstdint>

#include "base/run_options.h"


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
