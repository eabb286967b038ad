// Lines longer than the buffer. A reader never holds such a line whole: it
// hands the line's bytes, as they arrive, to a condenser, which keeps only
// what the log's rule looks at and writes it as a short line that gives the
// same readings and the same counts. A field that the rule steps over
// becomes one byte, a run of blanks one blank, and a reading a number of at
// most number_text_size bytes with strtod's value, followed by the byte
// that ended it. The rest of the line is not looked at, so memory stays
// the same whatever a line's length.
#ifndef ENERGY_TOTALS_LONG_LINES_H
#define ENERGY_TOTALS_LONG_LINES_H

#include <cstddef>
#include <cstdint>

// The reading rules, by where their readings stand. gpu_csv: comma-separated
// columns, any of which may be read (the one log of every GPU).
enum class line_rule { total_power, cpu, gpu, stamped_gpu, gpu_csv };

// A number as strtod reads it, taken a byte at a time, in bounded memory.
// The text it leaves has strtod's value (the payload of a NaN included) and
// strtod stops on it at the same byte as on the original, or after it where
// the original's number ran to the end: the leading significant digits (more than the 767 a double's
// rounding can depend on), one non-zero digit standing for all the others
// if any of them is not 0, and the exponent, which saturates far past where
// a double overflows or underflows.
constexpr size_t number_text_size = 1280;

struct number_condenser {
    int state = 0;
    char sign = 0;             // '+', '-' or 0
    bool hex = false;
    bool any_significant = false;
    bool sticky = false;       // a non-zero digit past the kept ones
    size_t kept = 0;
    int64_t whole_digits = 0;  // significant digits before the point
    int64_t whole_zeros = 0;   // zeros before the first significant one, before the point
    int64_t leading_zeros = 0; // zeros after the point before the first significant one
    int64_t exponent = 0;
    char exponent_sign = 0;
    char exponent_mark = 0;    // e, E, p or P, as written
    char x_mark = 0;           // x or X, as written
    int word_length = 0;       // letters of "infinity" or "nan" matched
    char word[8] = {};         // and as written
    int payload_base = 0;      // the NaN payload's base (0: not yet known; -1: no payload)
    int payload_length = 0;
    uint64_t payload = 0;
    char digits[800];
};

void number_start(number_condenser& n);

// Takes the next byte; returns false, taking nothing, when the byte can't
// continue a number.
bool number_take(number_condenser& n, char c);

// Writes the number taken so far to out (number_text_size bytes); returns
// its length. Does not allocate.
size_t number_text(const number_condenser& n, char* out);

// Writes a plain decimal taken so far (digits, with or without a point, a
// sign before) as it was written, but for what can't change its value nor
// its reading as seconds since the epoch: its significant digits past the
// ones kept (one non-zero digit for them where they are in its fraction),
// whole zeros before it past 64, and past many zeros after the point the
// rest of a number that is 0 whatever follows. So strtod reads the same
// double from it and stops at its end, and its first 64 bytes are the
// original's. Returns 0, writing nothing, where the number is not of that
// shape.
size_t plain_number_text(const number_condenser& n, char* out);

constexpr size_t condensed_line_size = 2 * number_text_size + 64;

// A comma-separated column's first bytes, which a condensed line keeps as
// they are; a reader tells ids apart by no more than these.
constexpr size_t csv_column_kept = 64;

struct line_condenser {
    line_rule rule = line_rule::gpu;
    int step = 0;
    int spaces = 0;        // whitespace seen, for the total-power rule
    bool in_field = false; // within a field already written as one byte
    // A time stamp's runs, as they are kept: blanks, digits after a point,
    // other digits, and the zeros those start with.
    int run_kind = 0;
    int64_t run_length = 0;
    int64_t run_zeros = 0;
    bool spoiled = false; // too long to be a stamp
    number_condenser number;
    size_t length = 0;
    char text[condensed_line_size];
    size_t stamp_from = 0; // where the stamp under way starts in text
    char last_byte = 0;    // the byte before, as it was
    size_t head_length = 0; // the line's first bytes, as they were
    char head[64];
    // gpu_csv: the column under way, kept whole while it is short.
    int column_state = 0;
    size_t column_length = 0;
    char column[csv_column_kept + 1]; // and a blank before it
};

void condenser_start(line_condenser& c, line_rule rule);

// Takes the bytes [p, end) of the line, none of them its newline.
void condenser_feed(line_condenser& c, const char* p, const char* end);

// Ends the line with a newline: c.text holds it, c.length bytes.
void condenser_finish(line_condenser& c);

#endif
