// What a reader saw of a log's shape, counted as the lines go by.
#ifndef ENERGY_TOTALS_LOG_SHAPE_H
#define ENERGY_TOTALS_LOG_SHAPE_H

#include <cmath>
#include <cstddef>
#include <cstdint>

// A line the warnings quote: its number (from 1, a header counted) and its
// first bytes. number is 0 where there is none.
struct picked_line {
    uint64_t number = 0;
    size_t length = 0;
    char text[64];
};

// What the reader of a time-stamped GPU log saw of its stamps.
struct stamp_shape {
    // Lines without a stamp and a comma, or whose stamp is not later than
    // the last good one; a header not among them.
    uint64_t skipped = 0;
    uint64_t shared = 0;        // skipped for a stamp the same as the last good line's
    uint64_t good = 0;          // lines with a stamp later than the last
    int64_t first_ns = 0;       // the first and last good stamps
    int64_t last_ns = 0;
    // Gaps: intervals several times the typical one, which is the median
    // of the first intervals (the reader samples them).
    int64_t typical_ns = 0;
    uint64_t gaps = 0;
    int64_t longest_gap_ns = 0;
    uint64_t longest_gap_line = 0; // the line that ends it
    // Where the first intervals come in a steady pattern of k - 1 short
    // ones and a long one, k (several GPUs written in turn); else 0.
    int rounds_of = 0;
    picked_line skipped_line; // the first line skipped
};

// The readings of a total-power or GPU log as the plausibility warnings see
// them: the lowest, the highest, the last, the smallest step from one to
// the next (positive where each rose above the one before), and how many
// are negative. A NaN changes none of them but the last.
struct reading_range {
    double lowest = HUGE_VAL;
    double highest = -HUGE_VAL;
    double last = -HUGE_VAL;
    double steepest = HUGE_VAL;
    uint64_t negatives = 0;

    // Takes the next reading. No branch a CPU can mispredict, and nothing
    // a sum waits on.
    void see(double reading)
    {
        negatives += reading < 0;
        lowest = reading < lowest ? reading : lowest;
        highest = reading > highest ? reading : highest;
        double step = reading - last;
        steepest = step < steepest ? step : steepest;
        last = reading;
    }
};

// Blank lines (only whitespace), which add 0 as a line without a number
// does: those before the first line that is not blank, those between two
// such lines, and those after the last, which stand for nothing.
struct blank_lines {
    uint64_t leading = 0;
    uint64_t among = 0;
    uint64_t trailing = 0;
    bool any_other = false; // a line that is not blank was seen
};

// What a reader saw of a log's shape, for the warnings: how many lines it
// read, and how many of the readings its rule looks for (one a line, two in
// the CPU log) did not have the plain shape of a number ended by
// whitespace, with the first line of each kind. Their values are added all
// the same, as the rules say. All of it is gathered in the one pass that
// adds the readings.
struct log_shape {
    uint64_t lines = 0;      // lines read, the CPU log's header not among them
    uint64_t no_reading = 0; // places with no number where a reading should stand
    uint64_t runs_on = 0;    // numbers that run straight on into other bytes
    uint64_t not_finite = 0; // readings that are nan or infinite
    bool header = false;     // the first line, counted above, holds no reading
    bool unended = false;    // the last line has no newline
    // The line longer than max_line_length, where reading stopped: its
    // number as the reader counted, and where in the file it starts.
    uint64_t too_long_line = 0;
    long long too_long_at = -1;
    bool header_readings = false; // the CPU log's header holds both readings
    reading_range readings;  // the total-power and GPU logs'
    stamp_shape stamps;      // a time-stamped GPU log's
    blank_lines blanks;
    picked_line opening;     // line 1's first bytes, whatever it holds
    picked_line first_line;  // the first line after a header
    picked_line last_line;   // the last line that is not blank
    picked_line no_reading_line; // the first line of each kind counted above
    picked_line runs_on_line;
    picked_line not_finite_line;
    picked_line negative_line;
};

#endif
