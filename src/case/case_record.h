// The record of a case (--record): one JSON object a run, one a line,
// holding what the run read and found: its figures at full precision,
// each meter's coverage, period, gaps, mean and peak power, its warnings
// by code, and its phases. The fields are documented in energy-totals(1);
// "schema" changes only when one changes meaning or goes.
#ifndef ENERGY_TOTALS_CASE_RECORD_H
#define ENERGY_TOTALS_CASE_RECORD_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/text.h"
#include "case/case_view.h"
#include "base/run_options.h"
#include "base/energy_summary.h"
#include "read/log_shape.h"
#include "report/log_warnings.h"
#include "case/phase_report.h"

constexpr int record_schema = 1;

// A meter as the record tells it.
struct record_meter {
    const char* name = nullptr;   // "node", "CPU1", "GPU1"
    const char* file = nullptr;   // the log read
    const char* column = nullptr; // the column read, where the log names its columns
    const log_shape* shape = nullptr; // what the log's reader saw of it
    const meter_view* view = nullptr; // the meter in time
    double period_asked = 0;      // the period its readings should come at, 0 where none is asked
};

struct record_inputs {
    const run_options* options = nullptr;
    char** words = nullptr;       // the command line's options, as given
    int word_count = 0;
    const energy_summary* figures = nullptr;
    record_meter meters[1 + max_cpus + max_gpus];
    int meter_count = 0;
    const char* host = nullptr;
    int64_t started_ns = 0;       // the run's start, since the epoch
    double duration = 0;          // seconds the run took, to its record
    const char* warnings = nullptr; // the warnings' text, a line each
    size_t warnings_size = 0;
    const warning_codes* codes = nullptr;
    const phase_totals* phases = nullptr; // with its phases, where the run had any
    bool dated = true;            // false: the logs' times are times of day, with no date to them
    // A case over several nodes: what write_node_record wrote of each,
    // each text a list's items led by commas, and the seconds from the
    // nodes' first reading to their last.
    const char* node_meters = nullptr;
    const char* node_flags = nullptr;
    const char* node_parts = nullptr;
    double nodes_seconds = 0;
};

// Writes the record, one line, to out. Returns 0 or EIO.
int write_case_record(FILE* out, const record_inputs& in);

// Writes node's part of its case's record, each a list's items led by
// commas: its meters (each named NAME@NODE) to meters, what they are
// flagged for to flags, and its figures and phases, {"node":NODE,...}, to
// parts. Returns 0 or EIO.
int write_node_record(const record_inputs& in, const char* node, FILE* meters, FILE* flags, FILE* parts);

// The instants of the first and last readings of the meters of in; false
// where none had one.
bool record_span(const record_inputs& in, int64_t* first_ns, int64_t* last_ns);

// Reads the records at path and writes to out a line for each record that
// lists something to look at ("record of LABEL: warnings, coverage:GPU2,
// period:GPU1": warnings; a meter covering less than 95% of the run; a
// meter's median period over one and a half times the one asked for), and
// one for each line that is no record. Counts the records and those lines
// in *records and *flagged. Returns 0, or -1 having said why the file
// can't be read.
int check_records(const char* path, FILE* out, FILE* errors, unsigned long long* records,
                  unsigned long long* flagged);

#endif
