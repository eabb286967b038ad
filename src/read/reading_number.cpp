// The general parse of a reading, out of line: strtod where the inline
// parse does not take the shape.
#include "read/reading_number.h"

#include <cmath>
#include <cstdlib>

namespace {


// strtod on the bytes at s, the first after the blanks at p. The line's
// newline ends any number, so strtod stops at or before it. Where it takes
// no number ("N/A", a lone sign), the end is p, as strtod's own would be
// from p: no number, rather than one that runs on.
double parse_with_strtod(const char* p, const char* s, const char** end)
{
    char* stop = nullptr;
    double value = std::strtod(s, &stop);
    *end = stop == s ? p : stop;
    return value;
}

} // namespace


// The whole grammar, from s, the first byte after the blanks at p: signs,
// exponents, hexadecimal, inf and nan, and digit strings of any length.
// Out of line, so the common case below stays small enough to inline.
[[gnu::noinline]] double parse_general(const char* p, const char* s, const char** end)
{
    const char* start = s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }

    // Past 19 digits their integer wraps, but then strtod decides.
    decimal_digits d = take_decimal(s);
    if (d.whole == 1 && *s == '0' && (*d.point == 'x' || *d.point == 'X'))
        return parse_with_strtod(p, start, end); // hexadecimal
    size_t ndigits = d.whole + d.fraction;
    uint64_t mantissa = d.mantissa;
    int fraction_digits = static_cast<int>(d.fraction);
    if (ndigits == 0) {
        char c = *s;
        if (c == 'i' || c == 'I' || c == 'n' || c == 'N')
            return parse_with_strtod(p, start, end); // inf, infinity, nan
        *end = p;
        return 0.0;
    }

    // An exponent counts only with a digit: "1e" and "1e+" are just 1.
    int exponent = 0;
    s = d.end;
    if (*s == 'e' || *s == 'E') {
        const char* e = s + 1;
        bool exponent_negative = false;
        if (*e == '+' || *e == '-') {
            exponent_negative = *e == '-';
            ++e;
        }
        if (is_digit(*e)) {
            while (is_digit(*e)) {
                if (exponent < 100000)
                    exponent = exponent * 10 + (*e - '0');
                ++e;
            }
            if (exponent_negative)
                exponent = -exponent;
            s = e;
        }
    }

    if (ndigits > 19)
        return parse_with_strtod(p, start, end);
    *end = s;
    if (mantissa == 0)
        return negative ? -0.0 : 0.0;
    // Both operands exact, so the one rounding of the multiply or divide
    // gives the correctly rounded result.
    int scale = exponent - fraction_digits;
    if (mantissa <= (uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
        double value = static_cast<double>(mantissa);
        if (scale < 0)
            value /= exact_powers_of_ten[-scale];
        else
            value *= exact_powers_of_ten[scale];
        return negative ? -value : value;
    }
    return parse_with_strtod(p, start, end);
}


// Counts, for the warnings, what is odd about a reading that took the
// general parse: only there is there no number, one that runs on into
// other bytes, or one that is not finite.
[[gnu::noinline]] void count_general_reading(const char* p, const char* stop, double value,
                                             log_shape& shape)
{
    if (stop == p) {
        ++shape.no_reading;
        return;
    }
    shape.not_finite += std::isfinite(value) ? 0 : 1;
    shape.runs_on += is_space(*stop) ? 0 : 1;
}

double parse_reading(const char* p, const char** end)
{
    log_shape ignored;
    return scan_reading(p, end, ignored);
}

#if defined(ENERGY_TOTALS_WORD_FIELDS)
double parse_field(const char* q, size_t length, const char* low)
{
    log_shape ignored;
    return scan_field(q, length, low, ignored);
}
#endif
