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

// The longest label a row may carry: a row must stay under PIPE_BUF, so
// that a FIFO takes it whole or not at all.
constexpr size_t max_label_length = 1024;

// Formats the results row (the nine figures by %g, tab separated; then, if
// label is not null, two tabs and the label; then a newline) into buf as
// snprintf does; returns the row's length. A buffer of results_row_size
// bytes always holds it.
constexpr size_t results_row_size = 256 + 2 + max_label_length + 1;
int format_results_row(const energy_summary& s, const char* label, char* buf, size_t size);

// Whether [p, p + size) could be the start of a row as format_results_row
// writes it, without its newline: a row that a run killed while appending
// left part of. Empty is not.
bool is_row_fragment(const char* p, size_t size);

// Appends row (size bytes, a whole row) to the existing table `name`, which
// it never creates. Parallel runs may append to one table: each holds an
// exclusive lock on it while it writes, and a table whose file system has
// no working locks is an error. A run that waits long for the lock says so
// once on notices. Under the lock, part of a row left at the table's end by
// an interrupted run is cut off, and that is said on notices. Room for the
// row (the file size limit, the disk) is checked before its first byte;
// then it is written whole and flushed to disk, and if any of that fails
// the table is cut back to its length before the row. Returns 0 once the
// row is on disk, else the errno of the step that failed; where the row
// could not be taken back, *undo_error is set to the errno of that.
//
// From just before the table is first changed, every signal that can be
// held is held, and stays so when it returns: the caller is about to exit,
// and a signal let in after the row was synced would make a written row
// look like a failed run. A FIFO takes a row under PIPE_BUF whole or not at
// all, so there signals are held only once the row is in.
int append_results_row(const char* name, const char* row, size_t size, int* undo_error,
                       FILE* notices = stderr);

// Called, where set, after the row is written and before it is synced:
// tests stall a run there.
extern void (*before_row_sync)();

#endif
