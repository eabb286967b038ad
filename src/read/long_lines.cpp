// The condensers that keep of a line longer than the buffer only what its
// rule looks at, so that strtod gives the same readings.
#include "read/long_lines.h"

#include <cstdio>
#include <cstddef>
#include <cstring>

#include "read/log_kinds.h"
#include "read/reading_number.h"

namespace {

// Where a number stands after the bytes taken so far: each state's text is
// a prefix of some number strtod reads.
enum : int {
    s_start,      // nothing
    s_sign,       // + or -
    s_point,      // a point, no digit yet
    s_zero,       // a lone 0 (hexadecimal may follow)
    s_whole,      // digits
    s_fraction,   // digits and a point, or a point and digits
    s_e,          // a complete number and e
    s_e_sign,     // ... and the exponent's sign
    s_e_digits,   // ... and its digits
    s_hex,        // 0x
    s_hex_point,  // 0x.
    s_hex_whole,  // 0x and hex digits
    s_hex_fraction,
    s_p,
    s_p_sign,
    s_p_digits,
    s_infinity,   // letters of "infinity"
    s_nan,        // letters of "nan"
    s_nan_open,   // nan( and the characters of a payload
    s_nan_closed, // nan(...)
};

// Significant digits kept: a double's rounding depends on at most 767
// decimal or 14 hexadecimal ones.
constexpr size_t kept_decimal = 800;
constexpr size_t kept_hex = 32;

// Exponents saturate here, and are written clamped to this: far past any
// double, both ways, in either base.
constexpr int64_t exponent_saturation = 100000000000000;
constexpr int64_t exponent_written = 100000;

int hex_value(char c)
{
    if (is_digit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool is_payload_char(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void keep(number_condenser& n, char c, bool zero)
{
    if (n.kept < (n.hex ? kept_hex : kept_decimal))
        n.digits[n.kept++] = c;
    else if (!zero)
        n.sticky = true;
}

void whole_digit(number_condenser& n, char c, bool zero)
{
    if (!n.any_significant && zero) {
        ++n.whole_zeros;
        return;
    }
    n.any_significant = true;
    ++n.whole_digits;
    keep(n, c, zero);
}

void fraction_digit(number_condenser& n, char c, bool zero)
{
    if (!n.any_significant && zero) {
        ++n.leading_zeros;
        return;
    }
    n.any_significant = true;
    keep(n, c, zero);
}

void exponent_digit(number_condenser& n, char c)
{
    if (n.exponent < exponent_saturation)
        n.exponent = n.exponent * 10 + (c - '0');
}

// A payload counts as strtoull reads it with base 0, where it reads the
// whole of it; else the NaN has none.
void payload_char(number_condenser& n, char c)
{
    int at = n.payload_length++;
    if (n.payload_base < 0)
        return;
    if (at == 0) {
        n.payload_base = c == '0' ? 8 : is_digit(c) ? 10 : -1;
        n.payload = is_digit(c) ? static_cast<uint64_t>(c - '0') : 0;
        return;
    }
    if (at == 1 && n.payload_base == 8 && (c == 'x' || c == 'X')) {
        n.payload_base = 16;
        return;
    }
    int v = n.payload_base == 16 ? hex_value(c) : is_digit(c) ? c - '0' : -1;
    if (v < 0 || v >= n.payload_base) {
        n.payload_base = -1;
        return;
    }
    uint64_t base = static_cast<uint64_t>(n.payload_base);
    uint64_t digit = static_cast<uint64_t>(v);
    n.payload = n.payload > (UINT64_MAX - digit) / base ? UINT64_MAX : n.payload * base + digit;
}

bool take_after_sign(number_condenser& n, char c)
{
    if (c == '0') {
        ++n.whole_zeros;
        n.state = s_zero;
    } else if (is_digit(c)) {
        whole_digit(n, c, false);
        n.state = s_whole;
    } else if (c == '.') {
        n.state = s_point;
    } else if (c == 'i' || c == 'I' || c == 'n' || c == 'N') {
        n.word[0] = c;
        n.word_length = 1;
        n.state = lower(c) == 'i' ? s_infinity : s_nan;
    } else {
        return false;
    }
    return true;
}

// The exponent's states, e or p alike: next is where a sign or digit goes.
bool take_exponent(number_condenser& n, char c, int sign_state, int digits_state)
{
    if (n.state != digits_state && n.state != sign_state && (c == '+' || c == '-')) {
        n.exponent_sign = c;
        n.state = sign_state;
        return true;
    }
    if (!is_digit(c))
        return false;
    exponent_digit(n, c);
    n.state = digits_state;
    return true;
}

char* write_text(char* p, const char* text, size_t length)
{
    std::memcpy(p, text, length);
    return p + length;
}

// The significand as digits after "0." (or "0x0."), and the exponent that
// makes its value, with the exponent given if it is complete.
char* write_significand(const number_condenser& n, char* p, bool complete_exponent)
{
    // Each form ends with an exponent, so that no byte that ended the
    // original number can carry on the written one.
    if (!n.any_significant)
        return write_text(p, n.hex ? "0x0p0" : "0e0", n.hex ? 5 : 3);
    std::memcpy(p, n.hex ? "0x0." : "0.", n.hex ? 4 : 2);
    p += n.hex ? 4 : 2;
    std::memcpy(p, n.digits, n.kept);
    p += n.kept;
    if (n.sticky)
        *p++ = '1';
    int64_t scale = n.hex ? 4 : 1;
    int64_t e = scale * (n.whole_digits - n.leading_zeros);
    if (complete_exponent)
        e += n.exponent_sign == '-' ? -n.exponent : n.exponent;
    e = e > exponent_written ? exponent_written : e < -exponent_written ? -exponent_written : e;
    return p + std::sprintf(p, "%c%lld", n.hex ? 'p' : 'e', static_cast<long long>(e));
}

} // namespace

void number_start(number_condenser& n)
{
    // Every field at its start (s_start is 0); the digits are written
    // before they are read.
    static_assert(s_start == 0);
    std::memset(static_cast<void*>(&n), 0, offsetof(number_condenser, digits));
}

bool number_take(number_condenser& n, char c)
{
    switch (n.state) {
    case s_start:
        if (c == '+' || c == '-') {
            n.sign = c;
            n.state = s_sign;
            return true;
        }
        return take_after_sign(n, c);
    case s_sign:
        return take_after_sign(n, c);
    case s_point:
        if (!is_digit(c))
            return false;
        fraction_digit(n, c, c == '0');
        n.state = s_fraction;
        return true;
    case s_zero:
        if (c == 'x' || c == 'X') {
            n.x_mark = c;
            n.state = s_hex;
            return true;
        }
        [[fallthrough]];
    case s_whole:
        if (is_digit(c)) {
            whole_digit(n, c, c == '0');
            n.state = s_whole;
        } else if (c == '.') {
            n.state = s_fraction;
        } else if (c == 'e' || c == 'E') {
            n.exponent_mark = c;
            n.state = s_e;
        } else {
            return false;
        }
        return true;
    case s_fraction:
        if (is_digit(c)) {
            fraction_digit(n, c, c == '0');
        } else if (c == 'e' || c == 'E') {
            n.exponent_mark = c;
            n.state = s_e;
        } else {
            return false;
        }
        return true;
    case s_e:
    case s_e_sign:
    case s_e_digits:
        return take_exponent(n, c, s_e_sign, s_e_digits);
    case s_hex:
    case s_hex_point:
    case s_hex_whole:
    case s_hex_fraction: {
        int v = hex_value(c);
        if (v >= 0) {
            n.hex = true;
            if (n.state == s_hex || n.state == s_hex_whole) {
                whole_digit(n, c, v == 0);
                n.state = s_hex_whole;
            } else {
                fraction_digit(n, c, v == 0);
                n.state = s_hex_fraction;
            }
            return true;
        }
        if (c == '.' && (n.state == s_hex || n.state == s_hex_whole)) {
            n.state = n.state == s_hex ? s_hex_point : s_hex_fraction;
            return true;
        }
        if ((c == 'p' || c == 'P') && (n.state == s_hex_whole || n.state == s_hex_fraction)) {
            n.exponent_mark = c;
            n.state = s_p;
            return true;
        }
        return false;
    }
    case s_p:
    case s_p_sign:
    case s_p_digits:
        return take_exponent(n, c, s_p_sign, s_p_digits);
    case s_infinity:
        if (n.word_length < 8 && lower(c) == "infinity"[n.word_length]) {
            n.word[n.word_length++] = c;
            return true;
        }
        return false;
    case s_nan:
        if (n.word_length < 3 && lower(c) == "nan"[n.word_length]) {
            n.word[n.word_length++] = c;
            return true;
        }
        if (n.word_length == 3 && c == '(') {
            n.state = s_nan_open;
            return true;
        }
        return false;
    case s_nan_open:
        if (is_payload_char(c)) {
            payload_char(n, c);
            return true;
        }
        if (c == ')') {
            n.state = s_nan_closed;
            return true;
        }
        return false;
    default:
        return false;
    }
}

size_t number_text(const number_condenser& n, char* out)
{
    char* p = out;
    if (n.sign != 0)
        *p++ = n.sign;
    switch (n.state) {
    case s_point:
        *p++ = '.';
        break;
    case s_zero:
    case s_whole:
    case s_fraction:
    case s_hex_whole:
    case s_hex_fraction:
        p = write_significand(n, p, false);
        break;
    case s_e:
    case s_p:
    case s_e_sign:
    case s_p_sign:
        p = write_significand(n, p, false);
        *p++ = n.exponent_mark;
        if (n.state == s_e_sign || n.state == s_p_sign)
            *p++ = n.exponent_sign;
        break;
    case s_e_digits:
    case s_p_digits:
        p = write_significand(n, p, true);
        break;
    case s_hex:
    case s_hex_point:
        *p++ = '0';
        *p++ = n.x_mark;
        if (n.state == s_hex_point)
            *p++ = '.';
        break;
    case s_infinity:
    case s_nan:
        p = write_text(p, n.word, static_cast<size_t>(n.word_length));
        break;
    case s_nan_open:
        p = write_text(p, n.word, 3);
        *p++ = '(';
        break;
    case s_nan_closed: {
        // An empty payload reads as 0; "0x" with no digit after it, or any
        // other character strtoull stops at, leaves none.
        bool valid = n.payload_length == 0 ||
                     (n.payload_base > 0 && (n.payload_base != 16 || n.payload_length > 2));
        if (valid)
            p += std::sprintf(p, "nan(0x%llx)", static_cast<unsigned long long>(n.payload));
        else
            p = write_text(p, "nan(_)", 6);
        break;
    }
    default:
        break;
    }
    return static_cast<size_t>(p - out);
}

namespace {

char* repeat(char* p, char c, int64_t count)
{
    std::memset(p, c, static_cast<size_t>(count));
    return p + count;
}

// Zeros after the point, before any other digit, past which a number is
// below half the least double, so 0 whatever follows.
constexpr int64_t zeros_to_nothing = 330;

} // namespace

size_t plain_number_text(const number_condenser& n, char* out)
{
    if (n.hex || (n.state != s_zero && n.state != s_whole && n.state != s_fraction))
        return 0;
    char* p = out;
    if (n.sign != 0)
        *p++ = n.sign;
    p = repeat(p, '0', n.whole_zeros < 64 ? n.whole_zeros : 64);
    // Past the digits kept, a whole part is far past the largest double.
    size_t whole = n.whole_digits < static_cast<int64_t>(n.kept) ? static_cast<size_t>(n.whole_digits) : n.kept;
    p = write_text(p, n.digits, whole);
    // Of these states, only a fraction has a point.
    if (n.state != s_fraction)
        return static_cast<size_t>(p - out);
    *p++ = '.';
    if (n.leading_zeros > zeros_to_nothing)
        return static_cast<size_t>(repeat(p, '0', zeros_to_nothing) - out);
    p = repeat(p, '0', n.leading_zeros);
    p = write_text(p, n.digits + whole, n.kept - whole);
    if (n.sticky)
        *p++ = '1';
    return static_cast<size_t>(p - out);
}

namespace {

// What the condenser does with the bytes where it stands in the line.
enum : int {
    st_spaces,     // to the total-power reading's whitespace character, each one written
    st_blanks,     // a run of blanks, written as one
    st_field,      // a field stepped over, written as one byte
    st_number,     // a reading
    st_field_rest, // what follows a reading in its field, not written
    st_stamp,      // to a comma, written as it is (the first 64 bytes)
    st_done,       // the rest of the line, not looked at
};

constexpr int total_power_steps[] = {st_spaces, st_blanks, st_number, st_done};
constexpr int gpu_steps[] = {st_blanks, st_number, st_done};
constexpr int stamped_gpu_steps[] = {st_stamp, st_blanks, st_number, st_done};

// The CPU log's steps, from where its kind says its readings stand: the
// fields before the first reading, each as one byte; the reading; the rest
// of its field; the fields up to the second; the second reading.
struct step_list {
    int steps[4 * 16 + 8] = {};
};

constexpr step_list make_cpu_steps()
{
    step_list l;
    int n = 0;
    l.steps[n++] = st_blanks;
    for (int i = 1; i < cpu_kind.fields[0]; ++i) {
        l.steps[n++] = st_field;
        l.steps[n++] = st_blanks;
    }
    l.steps[n++] = st_number;
    l.steps[n++] = st_field_rest;
    l.steps[n++] = st_blanks;
    for (int i = cpu_kind.fields[0] + 1; i < cpu_kind.fields[1]; ++i) {
        l.steps[n++] = st_field;
        l.steps[n++] = st_blanks;
    }
    l.steps[n++] = st_number;
    l.steps[n++] = st_done;
    return l;
}

static_assert(cpu_kind.fields[1] <= 16, "the CPU log's steps have room for its fields");
constexpr step_list cpu_steps = make_cpu_steps();

int step_kind(const line_condenser& c)
{
    switch (c.rule) {
    case line_rule::total_power:
        return total_power_steps[c.step];
    case line_rule::cpu:
        return cpu_steps.steps[c.step];
    case line_rule::stamped_gpu:
        return stamped_gpu_steps[c.step];
    default:
        return gpu_steps[c.step];
    }
}

void emit(line_condenser& c, char byte)
{
    c.text[c.length++] = byte;
}

void next_step(line_condenser& c)
{
    ++c.step;
    c.in_field = false;
}

// The reading ends at byte: its text, and the byte where it runs on into
// other characters, so that the counts see it.
void end_number(line_condenser& c, char byte)
{
    c.length += number_text(c.number, c.text + c.length);
    if (!is_space(byte))
        emit(c, byte);
    number_start(c.number);
    next_step(c);
}

// Bytes of a time stamp past this many, once its runs are kept short, can't
// be one.
constexpr size_t longest_stamp = 200;

// Whether a byte of a stamp is kept, so that the stamp parses as it would
// whole: a run of blanks as two at most (one stands between date and
// time, more fail), a run of digits after a point (a fraction, read to the
// nanosecond) as ten at most, and any other run of digits as five of its
// leading zeros and eleven digits after them at most (a year or field of
// fixed width fails either way; seconds since the epoch keep their value,
// or stay too large). Keeping more of a run changes nothing.
bool stamp_run_keeps(line_condenser& c, char byte)
{
    int kind = is_blank(byte) ? 1 : is_digit(byte) ? (c.run_kind == 2 || (c.run_kind == 0 && c.last_byte == '.') ? 2 : 3) : 0;
    c.last_byte = byte;
    if (kind != c.run_kind || kind == 0) {
        c.run_kind = kind;
        c.run_length = 0;
        c.run_zeros = 0;
    }
    ++c.run_length;
    bool keep = true;
    if (kind == 1) {
        keep = c.run_length <= 2;
    } else if (kind == 2) {
        keep = c.run_length <= 10;
    } else if (kind == 3) {
        if (byte == '0' && c.run_zeros == c.run_length - 1) {
            ++c.run_zeros;
            keep = c.run_zeros <= 5;
        } else {
            keep = c.run_length - c.run_zeros <= 11;
        }
    }
    return keep;
}

// A byte of a stamp, written where its run keeps it; past longest_stamp
// bytes it can't be a stamp, and nothing more of it is written.
void keep_stamp_byte(line_condenser& c, char byte)
{
    if (!stamp_run_keeps(c, byte) || c.spoiled)
        return;
    if (c.length - c.stamp_from >= longest_stamp) {
        c.spoiled = true;
        return;
    }
    emit(c, byte);
}

// A byte of the stamped GPU log's stamp and the blanks before its comma;
// the comma of a stamp too long to be one is not written.
void take_stamp_byte(line_condenser& c, char byte)
{
    if (byte == ',') {
        if (!c.spoiled)
            emit(c, byte);
        next_step(c);
        return;
    }
    keep_stamp_byte(c, byte);
}

// The runs under way start again at a stamp's first byte.
void start_stamp(line_condenser& c)
{
    c.run_kind = 0;
    c.run_length = 0;
    c.run_zeros = 0;
    c.spoiled = false;
    c.last_byte = 0;
    c.stamp_from = c.length;
}

// The columns of a comma-separated line: each kept as it is while it is
// short, which a time stamp, an id, a unit and any reading written by a
// meter are. A longer one that starts as a number is written as it was
// (plain_number_text) where it is a plain decimal, so that it reads as the
// same number and the same stamp, and with the same first bytes; as a
// reading is condensed where it is not; and the 16 bytes after it kept.
// Any other keeps its first csv_column_kept bytes, then the rest by the
// stamps' runs, so that a long stamp parses as it would whole. Once the
// text has no room for another column, the rest is not looked at.
enum : int { csv_keep, csv_number, csv_after, csv_rest, csv_full };
constexpr size_t csv_after_bytes = 16;

void emit_bytes(line_condenser& c, const char* p, size_t n)
{
    std::memcpy(c.text + c.length, p, n);
    c.length += n;
}

// A number column's text: as it was written where it is a plain decimal,
// else as a reading's.
void end_csv_number(line_condenser& c)
{
    size_t n = plain_number_text(c.number, c.text + c.length);
    c.length += n != 0 ? n : number_text(c.number, c.text + c.length);
}

// The end of a column at a comma, or of the line (comma 0).
void end_column(line_condenser& c, char comma)
{
    if (c.column_state == csv_keep)
        emit_bytes(c, c.column, c.column_length);
    else if (c.column_state == csv_number)
        end_csv_number(c);
    if (comma != 0)
        emit(c, comma);
    start_stamp(c);
    c.column_length = 0;
    c.column_state = c.length + sizeof c.column + number_text_size + csv_after_bytes + 2 <= sizeof c.text
                         ? csv_keep
                         : csv_full;
}

// A column grown past what is kept whole: a number's bytes go to the
// number condenser; anything else is kept as it is so far, its runs noted
// for the stamps' rule that takes the rest.
void column_overflows(line_condenser& c)
{
    size_t start = 0;
    while (start < c.column_length && is_blank(c.column[start]))
        ++start;
    number_start(c.number);
    size_t taken = start;
    while (taken < c.column_length && number_take(c.number, c.column[taken]))
        ++taken;
    // A number that runs through every kept byte goes on; one that ended
    // among them is in them, with what followed it.
    bool goes_on = taken == c.column_length && taken > start;
    emit_bytes(c, c.column, goes_on ? start : c.column_length);
    if (!goes_on)
        for (size_t i = 0; i < c.column_length; ++i)
            stamp_run_keeps(c, c.column[i]);
    c.column_length = 0;
    c.column_state = goes_on ? csv_number : csv_rest;
}

void take_csv_byte(line_condenser& c, char byte)
{
    if (byte == ',' && c.column_state != csv_full) {
        end_column(c, ',');
        return;
    }
    switch (c.column_state) {
    case csv_keep:
        // Blanks before a column's text are one blank: the reader passes
        // them over, and a run of them must not crowd the text out.
        if (is_blank(byte) && c.column_length == 1 && is_blank(c.column[0]))
            return;
        if (c.column_length == sizeof c.column)
            column_overflows(c);
        if (c.column_state == csv_keep) {
            c.column[c.column_length++] = byte;
            return;
        }
        take_csv_byte(c, byte);
        return;
    case csv_number:
        if (number_take(c.number, byte))
            return;
        end_csv_number(c);
        c.column_state = csv_after;
        take_csv_byte(c, byte);
        return;
    case csv_after:
        if (c.column_length++ < csv_after_bytes)
            emit(c, byte);
        return;
    case csv_rest:
        keep_stamp_byte(c, byte);
        return;
    default:
        return;
    }
}

} // namespace

void condenser_start(line_condenser& c, line_rule rule)
{
    // Every field at its start, which is 0.
    static_assert(csv_keep == 0 && s_start == 0);
    c = line_condenser{};
    c.rule = rule;
}

void condenser_feed(line_condenser& c, const char* p, const char* end)
{
    size_t head = static_cast<size_t>(end - p);
    if (head > sizeof c.head - c.head_length)
        head = sizeof c.head - c.head_length;
    std::memcpy(c.head + c.head_length, p, head);
    c.head_length += head;
    if (c.rule == line_rule::gpu_csv) {
        for (; p < end; ++p)
            take_csv_byte(c, *p);
        return;
    }
    while (p < end) {
        char byte = *p;
        switch (step_kind(c)) {
        case st_spaces:
            if (is_space(byte)) {
                emit(c, byte);
                c.in_field = false;
                if (++c.spaces == total_power_kind.after_whitespace)
                    next_step(c);
            } else {
                if (!c.in_field)
                    emit(c, 'x');
                c.in_field = true;
                while (++p < end && !is_space(*p)) {
                }
                continue;
            }
            break;
        case st_blanks:
            if (!is_blank(byte)) {
                next_step(c);
                continue;
            }
            if (!c.in_field)
                emit(c, ' ');
            c.in_field = true;
            break;
        case st_field:
        case st_field_rest:
            if (is_space(byte)) {
                next_step(c);
                continue;
            }
            if (!c.in_field && step_kind(c) == st_field)
                emit(c, 'x');
            c.in_field = true;
            while (++p < end && !is_space(*p)) {
            }
            continue;
        case st_stamp:
            take_stamp_byte(c, byte);
            break;
        case st_number:
            if (!number_take(c.number, byte)) {
                end_number(c, byte);
                continue;
            }
            break;
        default:
            return;
        }
        ++p;
    }
}

void condenser_finish(line_condenser& c)
{
    if (c.rule == line_rule::gpu_csv) {
        end_column(c, 0);
        emit(c, '\n');
        return;
    }
    if (step_kind(c) == st_number)
        end_number(c, '\n');
    emit(c, '\n');
}
