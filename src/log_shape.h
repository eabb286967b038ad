// What a reader saw of a log's shape, counted as the lines go by.
#ifndef ENERGY_TOTALS_LOG_SHAPE_H
#define ENERGY_TOTALS_LOG_SHAPE_H

#include <cstdint>

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
};

#endif
