// The number: the exact parse of one reading, and the classes of bytes that
// the reading rules share.
//
// A reading is parsed from where its rule says it stands as strtod parses
// it in the POSIX locale, from the line's bytes taken as a C string: the
// same double, and the same end. Whitespace is exactly space, \t, \n, \v,
// \f and \r. The parse never looks past the line's newline, which ends any
// number, and does not allocate. Readings that are not plain (no number, a
// number that runs on into other bytes, one that is not finite) are counted
// in a log_shape as they are met.
#ifndef ENERGY_TOTALS_READING_NUMBER_H
#define ENERGY_TOTALS_READING_NUMBER_H

#include <cstdint>
#include <cstring>

#include "read/log_shape.h"

// Each byte's class, looked up: one load and test a byte is the cheapest
// walk there is, and walking is much of the work of a line.
enum : unsigned char { field_byte = 0, blank_byte = 1, newline_byte = 2 };

struct byte_classes {
    unsigned char of[256];
};

constexpr byte_classes make_byte_classes()
{
    byte_classes c{};
    // The whitespace of the POSIX locale: space, \t, \n, \v, \f, \r.
    const char blanks[] = {' ', '\t', '\v', '\f', '\r'};
    for (char b : blanks)
        c.of[static_cast<unsigned char>(b)] = blank_byte;
    c.of[static_cast<unsigned char>('\n')] = newline_byte;
    return c;
}

inline constexpr byte_classes classes = make_byte_classes();

inline unsigned char class_of(char c)
{
    return classes.of[static_cast<unsigned char>(c)];
}

inline bool is_space(char c)
{
    return class_of(c) != field_byte;
}

// Whitespace that does not end the line.
inline bool is_blank(char c)
{
    return class_of(c) == blank_byte;
}

inline bool is_digit(char c)
{
    return static_cast<unsigned char>(c - '0') < 10;
}

inline const char* skip_blanks(const char* p)
{
    while (is_blank(*p))
        ++p;
    return p;
}

// The whitespace-separated field that [p, end) starts with, after its
// blanks: returns its first byte and sets *field_end past its last.
inline const char* first_field(const char* p, const char* end, const char** field_end)
{
    while (p < end && is_blank(*p))
        ++p;
    const char* q = p;
    while (q < end && !is_space(*q))
        ++q;
    *field_end = q;
    return p;
}

// Skips one field and the whitespace after it, stopping at the newline.
inline const char* skip_field(const char* p)
{
    while (!is_space(*p))
        ++p;
    return skip_blanks(p);
}

// Returns the start of the next line, given a position in this one; end
// is past the line's newline. Most lines end a few bytes after their
// reading; memchr takes a long rest much faster than a byte loop.
inline const char* next_line(const char* p, const char* end)
{
    for (int i = 0; i < 16; ++i, ++p)
        if (*p == '\n')
            return p + 1;
    return static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))) + 1;
}

// Powers of ten that are exact doubles.
inline constexpr double exact_powers_of_ten[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};


// The whole grammar, from s, the first byte after the blanks at p: signs,
// exponents, hexadecimal, inf and nan, and digit strings of any length.
// Out of line, so the common case below stays small enough to inline.
double parse_general(const char* p, const char* s, const char** end);


// Counts, for the warnings, what is odd about a reading that took the
// general parse: only there is there no number, one that runs on into
// other bytes, or one that is not finite.
void count_general_reading(const char* p, const char* stop, double value, log_shape& shape);


// Appends the digits at s to mantissa; returns the first byte after them.
inline const char* take_digits(const char* s, uint64_t& mantissa)
{
    for (;; ++s) {
        unsigned digit = static_cast<unsigned char>(*s) - unsigned{'0'};
        if (digit > 9)
            return s;
        mantissa = mantissa * 10 + digit;
    }
}


// A number's digits, with at most one point among them, as the one
// recogniser of them (take_decimal) finds them: every parse and every
// learner of a reading's shape takes them from here, after the sign where
// it takes one, and decides from them what it converts and how.
struct decimal_digits {
    const char* point;  // the point, or the first byte after the whole digits
    const char* end;    // the first byte after the digits
    uint64_t mantissa;  // the digits as one integer; it wraps past 19 of them
    size_t whole;       // digits before the point
    size_t fraction;    // digits after it
};

[[gnu::always_inline]] inline decimal_digits take_decimal(const char* s)
{
    decimal_digits d;
    d.mantissa = 0;
    d.point = take_digits(s, d.mantissa);
    d.whole = static_cast<size_t>(d.point - s);
    d.end = d.point;
    d.fraction = 0;
    if (*d.point == '.') {
        d.end = take_digits(d.point + 1, d.mantissa);
        d.fraction = static_cast<size_t>(d.end - d.point - 1);
    }
    return d;
}

// The plain shape meters write: 1 to most digits, ended by whitespace
// (which rules out an exponent and "0x" too).
inline bool is_plain(const decimal_digits& d, size_t most)
{
    return d.whole + d.fraction - 1 < most && is_space(*d.end);
}

// Up to 15 digits are below 2^53, and so is their integer: exact, as is
// the power of ten, so the one rounding of the divide is strtod's.
constexpr size_t most_plain_digits = 15;

// scan_reading, inlined into the line scanners, where the parse is most
// of the work of a line. It takes the plain shape, after an optional
// minus, and hands anything else (a plus, an exponent, "0x", inf, nan, no
// digits, more digits, a number that runs on into other bytes) to
// parse_general, which counts the odd ones in shape. So the plain shape
// pays nothing for the counting.
[[gnu::always_inline]] inline double scan_reading(const char* p, const char** end,
                                                  log_shape& shape)
{
    const char* number = skip_blanks(p);
    bool negative = *number == '-';
    decimal_digits d = take_decimal(number + negative);
    if (!is_plain(d, most_plain_digits)) [[unlikely]] {
        double value = parse_general(p, number, end);
        count_general_reading(p, *end, value, shape);
        return value;
    }
    *end = d.end;
    // Below 2^53, so signed: the conversion needs no fix-up for the top bit.
    double value = static_cast<double>(static_cast<int64_t>(d.mantissa)) /
                   exact_powers_of_ten[d.fraction];
    return negative ? -value : value;
}

#if defined(__x86_64__) || defined(__i386__) || \
    (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#define ENERGY_TOTALS_WORD_FIELDS 1

// The low k bytes of a word, for k from 0 to 8.
inline constexpr uint64_t low_bytes[] = {
    0,
    0xff,
    0xffff,
    0xffffff,
    0xffffffff,
    0xffffffffff,
    0xffffffffffff,
    0xffffffffffffff,
    0xffffffffffffffff,
};

// The value of the eight decimal digits in w, the first in its low byte.
inline uint32_t eight_digits(uint64_t w)
{
    w -= 0x3030303030303030;
    w = w * 10 + (w >> 8);
    w = ((w & 0x000000ff000000ff) * (100 + (1000000ULL << 32)) +
         ((w >> 16) & 0x000000ff000000ff) * (1 + (10000ULL << 32))) >>
        32;
    return static_cast<uint32_t>(w);
}

// Whether all eight bytes of w are decimal digits.
inline bool all_digits(uint64_t w)
{
    return ((w & 0xf0f0f0f0f0f0f0f0) |
            (((w + 0x0606060606060606) & 0xf0f0f0f0f0f0f0f0) >> 4)) == 0x3333333333333333;
}

// scan_reading for a field whose bounds the caller already knows: the
// length bytes at q are not whitespace and q[length] is. Where the field
// has eight bytes or fewer, the eight bytes that end with it are readable
// (from low on), and it has the shape meters write (digits with at most one
// point among them), it is converted in a few word operations, with no
// branch on how many digits stand where: the field's width changes from
// line to line in some logs, and a branch on it is a guess the CPU often
// loses. Anything else goes to scan_reading. Reads nothing before low.
[[gnu::always_inline]] inline double scan_field(const char* q, size_t length, const char* low,
                                                log_shape& shape)
{
    if (length - 1 >= 8 || static_cast<size_t>(q - low) + length < 8) [[unlikely]] {
        const char* stop;
        return scan_reading(q, &stop, shape);
    }
    // The field in the top bytes of the word, '0's below it.
    uint64_t w;
    std::memcpy(&w, q + length - 8, sizeof w);
    uint64_t below = low_bytes[8 - length];
    w = (w & ~below) | (0x3030303030303030 & below);
    // The lowest point: the lowest zero byte of w ^ "........". A second
    // point stays among the digits below and fails the check.
    uint64_t x = w ^ 0x2e2e2e2e2e2e2e2e;
    uint64_t point_bits = (x - 0x0101010101010101) & ~x & 0x8080808080808080;
    uint64_t digits = w;
    size_t fraction_digits = 0;
    if (point_bits != 0) {
        size_t at = static_cast<size_t>(__builtin_ctzll(point_bits)) / 8;
        digits = (w & low_bytes[at]) << 8 | (w & ~low_bytes[at + 1]) | '0';
        fraction_digits = 7 - at;
    }
    // A lone point holds no digit.
    if (!all_digits(digits) || length == (point_bits != 0)) [[unlikely]] {
        const char* stop;
        return scan_reading(q, &stop, shape);
    }
    // At most eight digits: exact, as in scan_reading.
    return static_cast<double>(eight_digits(digits)) / exact_powers_of_ten[fraction_digits];
}

// scan_field for tests and fuzzers, which count nothing.
double parse_field(const char* q, size_t length, const char* low);
#endif

// Parses the reading that starts at p, in a line that ends with '\n' at or
// after p, and gives the value strtod gives for the line's bytes from p in
// the POSIX locale, taken as a C string (a NUL byte ends it). Whitespace
// before the number is skipped, but never the line's newline: at the newline
// the line is over and the reading is 0.0. Sets *end past the number, or to
// where it found none. Reads nothing past the newline; does not allocate.
//
// Plain decimals of up to most_plain_digits digits (their integer below
// 2^53, so exact) are converted here; anything else goes to strtod.
double parse_reading(const char* p, const char** end);

#endif
