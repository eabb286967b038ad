// The results table: appending one row so that it is in exactly once or not
// at all, and what may stand at the table's end before it.
#ifndef ENERGY_TOTALS_RESULTS_TABLE_H
#define ENERGY_TOTALS_RESULTS_TABLE_H

#include <cstddef>
#include <cstdio>

// What the bytes after a table's last newline are, to the next append.
enum table_tail : int {
    tail_foreign,  // a person's text, or anything this tool can't have written: joined to
    tail_fragment, // the start of a row, left by a run stopped part way: cut off
    tail_row,      // a whole row whose newline is missing: kept, the newline added
};

// Classifies the tail [p, p + size), the bytes after the table's last
// newline (size > 0). A fragment is a proper prefix of a row as
// format_results_row writes it: each figure as %g can print it (at most six
// significant digits, no leading zero, the exponent as %g writes it, nan,
// -nan, inf, -inf), the row's own tab runs, and after the ninth figure more
// GPU figures or a label. A row is all nine figures or more, and then the
// label where labelled says the rows before it have one.
int classify_table_tail(const char* p, size_t size, bool labelled);

// Whether the line [p, p + size), without its newline, is a labelled row or
// the heading of a table of labelled rows.
bool line_is_labelled(const char* p, size_t size);

// The label of the table line [p, p + size), without its newline, where
// it is a whole row of this tool's with one: its first byte and length.
// Returns false for a row without a label, and for a line that is no row.
// A row's last field is its label where it is not a figure (a label that
// is a number can't be told from a tenth figure).
bool row_label(const char* p, size_t size, bool* is_row, const char** label, size_t* length);

// What --check found in a table.
struct table_check {
    unsigned long long rows = 0;       // whole rows
    unsigned long long unlabelled = 0; // rows without a label
    unsigned long long not_rows = 0;   // lines that are no row (a heading on line 1 passes)
    unsigned long long repeated = 0;   // labels on more than one row
    unsigned long long missing = 0;    // cases of the list with no row
};

// Reads the table at path to its end (any size, a FIFO too) and writes to
// out one line for each finding: a line that is no row, a row without a
// label, a label on more than one row, and, where cases is not null, each
// case named in that file (one a line) that has no row; then a line that
// counts them. Returns 0 where there is nothing to report, 1 where there
// is, or -1 where a file can't be read, having said why on errors.
int check_table(const char* path, const char* cases, FILE* out, FILE* errors);

// Appends row (size bytes, a whole row) to the existing table `name`, which
// it never creates. Parallel runs may append to one table: each holds an
// exclusive lock on it while it writes, and a table whose file system has
// no working locks is an error. A run that waits long for the lock says so
// once on notices. Under the lock, the table's tail is looked at: a fragment
// of a row is cut off, a whole row gets its newline, and either is said on
// notices. Room for the row (the file size limit, the disk) is checked
// before its first byte; then it is written whole and flushed to disk, and
// if any of that fails the table is cut back to its length before the row.
// Returns 0 once the row is on disk, else the errno of the step that failed;
// where the row could not be taken back, *undo_error is set to the errno of
// that.
//
// From just before the table is first changed, every signal that can be
// held is held, and stays so when it returns: the caller is about to exit,
// and a signal let in after the row was synced would make a written row
// look like a failed run. A FIFO takes a row under PIPE_BUF whole or not at
// all, so there signals are held only once the row is in.
//
// With once (the row's label), a table that already holds a row with that
// label, as read under the lock, gets nothing: it returns 0 with *skipped
// set, having said so on notices.
int append_results_row(const char* name, const char* row, size_t size, int* undo_error,
                       FILE* notices = stderr, const char* once = nullptr,
                       bool* skipped = nullptr);

// Called, where set, after the row is written and before it is synced:
// tests stall a run there.
extern void (*before_row_sync)();

#endif
