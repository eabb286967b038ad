// The run: the command line, log names, the order of reading and output,
// the status.
#ifndef ENERGY_TOTALS_RUN_H
#define ENERGY_TOTALS_RUN_H

#include "cli/command_line.h"

// Runs the tool on its command line. Returns 0 for a completed run, -1 for
// a usage error, a log that can't be read, or a row that can't be written.
// The tool's messages go to standard output; the reason behind a message,
// and warnings and notices for people, go to standard error.
int run(int argc, char** argv);

#endif
