// The console summary, the results row, and the results table it goes to.
#ifndef ENERGY_TOTALS_SUMMARY_OUTPUT_H
#define ENERGY_TOTALS_SUMMARY_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "energy_summary.h"

// A results table's name: "results.txt" or "results<id>.txt".
struct table_name {
    char text[24];
};

// Writes the nine labelled lines, each figure by %f, to out.
void print_console_summary(const energy_summary& s, FILE* out = stdout);

// The table that results_id picks: "results.txt" for an id below 1, else
// the id in decimal between "results" and ".txt".
table_name results_table_name(int32_t results_id);

// Formats the results row (the nine figures by %g, tab separated, newline
// ended) into buf as snprintf does; returns the row's length. A buffer of
// results_row_size bytes always holds it.
constexpr size_t results_row_size = 256;
int format_results_row(const energy_summary& s, char* buf, size_t size);

// Appends the results row to the existing table `name`, which it never
// creates or truncates. Parallel runs may append to one table: each holds an
// exclusive lock on it while it writes, and a table whose file system has no
// working locks is an error. A run that waits long for the lock says so once
// on notices. The row is written whole and flushed to disk; if any of that
// fails, the table is cut back to its length before the row. Returns 0 once
// the row is on disk, else the errno of the step that failed.
//
// From the first byte written on, the signals that stop a run (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU) are held
// back and stay so when it returns: the caller is about to exit, and a
// signal let in after the row was synced would make a written row look
// like a failed run.
int append_results_row(const char* name, const energy_summary& s, FILE* notices = stderr);

#endif
