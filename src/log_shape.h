// What a reader saw of a log's shape, counted as the lines go by.
#ifndef ENERGY_TOTALS_LOG_SHAPE_H
#define ENERGY_TOTALS_LOG_SHAPE_H

#include <cmath>
#include <cstddef>
#include <cstdint>

// What the reader of a time-stamped GPU log saw of its stamps.
struct stamp_shape {
    // Lines without a stamp and a comma, or whose stamp is not later than
    // the last good one; a header not among them.
    uint64_t skipped = 0;
    uint64_t first_skipped = 0; // the first of them, by number
    size_t first_skipped_length = 0;
    char first_skipped_text[64];
    uint64_t good = 0;          // lines with a stamp later than the last
    uint64_t negatives = 0;     // negative readings among them
    int64_t first_ns = 0;       // the first and last good stamps
    int64_t last_ns = 0;
    // Gaps: intervals several times the typical one, which is the median
    // of the first intervals, sampled in a fixed array.
    int64_t typical_ns = 0;
    uint64_t gaps = 0;
    int64_t longest_gap_ns = 0;
    uint64_t longest_gap_line = 0; // the line that ends it
    int sampled = 0;
    int64_t sample[31];
    uint64_t sample_line[31];
};

// The readings of a total-power or GPU log as the plausibility warnings see
// them: the lowest, the highest, the last, and the smallest step from one
// to the next (positive where each rose above the one before). A NaN
// changes none of them but the last.
struct reading_range {
    double lowest = HUGE_VAL;
    double highest = -HUGE_VAL;
    double last = -HUGE_VAL;
    double steepest = HUGE_VAL;

    // Takes the next reading. No branch a CPU can mispredict, and nothing
    // a sum waits on.
    void see(double reading)
    {
        lowest = reading < lowest ? reading : lowest;
        highest = reading > highest ? reading : highest;
        double step = reading - last;
        steepest = step < steepest ? step : steepest;
        last = reading;
    }
};

// What a reader saw of a log's shape, for the warnings: how many lines it
// read, and how many of the readings its rule looks for (one a line, two in
// the CPU log) did not have the plain shape of a number ended by
// whitespace. Their values are added all the same, as the rules say.
struct log_shape {
    uint64_t lines = 0;      // lines read, the CPU log's header not among them
    uint64_t no_reading = 0; // places with no number where a reading should stand
    uint64_t runs_on = 0;    // numbers that run straight on into other bytes
    uint64_t not_finite = 0; // readings that are nan or infinite
    bool header = false;     // the first line, counted above, holds no reading
    bool unended = false;    // the last line has no newline
    bool header_readings = false; // the CPU log's header holds both readings
    reading_range readings; // the total-power and GPU logs' 
    stamp_shape stamps; // a time-stamped GPU log's
};

#endif
