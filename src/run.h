// The run: operands, log names, the order of reading and output, the status.
#ifndef ENERGY_TOTALS_RUN_H
#define ENERGY_TOTALS_RUN_H

#include <cstdint>

struct run_options {
    const char* base_name = "";
    int32_t write_switch = 0;
    int32_t results_id = 0;
};

// Parses an operand as atoi does (leading whitespace, a sign, then decimal
// digits up to the first other byte; 0 without digits), except that a value
// outside the signed 32-bit range is clamped to its nearer end.
int32_t parse_operand(const char* text);

// Runs the tool on its command line. Returns 0 for a completed run, -1 for
// a usage error, a log that can't be read, or a row that can't be written.
// The tool's messages go to standard output; the reason a row could not be
// written, and notices for people, go to standard error.
int run(int argc, char** argv);

#endif
