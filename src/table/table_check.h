// Checking a results table as a whole, at the end of a sweep.
#ifndef ENERGY_TOTALS_TABLE_CHECK_H
#define ENERGY_TOTALS_TABLE_CHECK_H

#include <cstdio>

// Reads the table at path (any size; a FIFO is copied to a temporary file
// first, since the check reads it twice) and writes to out one line for
// each finding, in the order of the table's lines: a line that is no row
// (a heading on line 1 passes), a row without a label, a label on more than
// one row (at its second row); then, where cases is not null, each case
// named in that file (one a line, each once) that has no row; then a line
// that counts them.
//
// A row's last field is its label where it is no figure; where it is one,
// the rows' shape tells: a heading from --heading, or rows of one shape
// whose labels are words elsewhere. Where nothing tells, it is read as a
// figure, and said on errors.
//
// Memory holds 24 bytes a line, whatever the labels' length: a label is
// kept as its hash and where it stands, and two labels of one hash are read
// again and compared before they count as one.
//
// Returns 0 where there is nothing to report, 1 where there is, or -1
// where a file can't be read, memory runs out or the report can't be
// written, having said why on errors.
//
// With records, a file of case records checked by check (--record's file
// and the case layer's check_records), each record that lists something to
// look at is reported too, after the table's findings, and counted on the
// last line. check returns 0, or -1 having said why the file can't be read.
struct record_check {
    const char* path;
    int (*check)(const char* path, FILE* out, FILE* errors, unsigned long long* records,
                 unsigned long long* flagged);
};
int check_table(const char* path, const char* cases, FILE* out, FILE* errors,
                const record_check* records = nullptr);

#endif
