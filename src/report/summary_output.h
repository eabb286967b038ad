// The console summary and the results row: the figures as text, and the name
// of the table the row goes to.
#ifndef ENERGY_TOTALS_SUMMARY_OUTPUT_H
#define ENERGY_TOTALS_SUMMARY_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/energy_summary.h"

// A results table's name: "results.txt" or "results<id>.txt".
struct table_name {
    char text[24];
};

// Writes the nine labelled lines, each figure by %f, to out; with gpus
// above 4, GPU5 to GPU gpus after GPU4; with cpus above 2, CPU3 to CPU cpus
// after CPU2.
void print_console_summary(const energy_summary& s, FILE* out = stdout, int gpus = 4, int cpus = 2);

// The same figures, each label after prefix ("net " for the figures net
// of idle power).
void print_figures(const energy_summary& s, FILE* out, int gpus, int cpus, const char* prefix);

// Writes the heading of a table of labelled rows of gpus GPUs and cpus
// CPUs, in their tab pattern.
void print_heading(FILE* out, int gpus = 4, int cpus = 2);

// The table that results_id picks: "results.txt" for an id below 1, else
// the id in decimal between "results" and ".txt".
table_name results_table_name(int32_t results_id);

// The longest label a row may carry, for --label and the row's buffer
// alike: a row must stay under PIPE_BUF, so that a FIFO takes it whole or
// not at all.
constexpr size_t max_label_length = 1024;

// Formats the results row (the nine figures by %g, tab separated, with
// GPU5 to GPU gpus after GPU4 where gpus is above 4, and CPU3 to CPU cpus
// after CPU2 where cpus is above 2; then, if label is not null, two tabs and
// the label; then a newline) into buf as snprintf does; returns the row's
// length, or -1 where it does not fit (a buffer of results_row_size bytes
// holds any row with a label of up to max_label_length bytes).
constexpr size_t results_row_size = 384 + 2 + max_label_length + 1;
int format_results_row(const energy_summary& s, const char* label, char* buf, size_t size,
                       int gpus = 4, int cpus = 2);

#endif
