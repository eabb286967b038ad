// Each kind of log, declared once: where its readings stand in a line, how
// many, its header, and the weight of a reading.
// Every path that reads a line (the portable walk, the AVX2 kernel's masks,
// windows, shapes and tails, the chunked reading)
// and the warnings take these, so that moving a reading is one edit here.
#ifndef ENERGY_TOTALS_LOG_KINDS_H
#define ENERGY_TOTALS_LOG_KINDS_H

struct log_kind {
    int after_whitespace;     // the reading follows the line's nth whitespace character (0: not so)
    int fields[2];            // the fields, counted from 1, whose starts hold the readings (0: not so)
    int readings;             // readings a line
    bool header_always;       // the first line is the header, whatever it holds
    double weight;            // a reading's weight: the seconds a line stands for (1: added as it stands)
};

// The total-power log: the node's power after the line's second whitespace
// character, one line every 0.5 s; a first line without a reading is a
// header.
inline constexpr log_kind total_power_kind = {2, {0, 0}, 1, false, 0.5};

// The CPU log: a header line, then the two CPUs' joules for the interval,
// added as they stand, at the starts of fields 3 and 7.
inline constexpr log_kind cpu_kind = {0, {3, 7}, 2, true, 1};

// A GPU log: the GPU's power at the start of the line, one line every
// 0.1 s; a first line without a reading is a header.
inline constexpr log_kind gpu_kind = {0, {0, 0}, 1, false, 0.1};

static_assert(cpu_kind.fields[0] >= 1 && cpu_kind.fields[1] > cpu_kind.fields[0],
              "the CPU log's readings are in two fields, in order");
static_assert(total_power_kind.after_whitespace >= 1, "the total-power reading follows whitespace");

#endif
