// Time stamps as meters write them: a date and time or seconds since the
// epoch at a line's start, a time of day and the days it runs over, a stamp
// that is a whole field, and the form that says where each places its
// reading in time.
#ifndef ENERGY_TOTALS_TIME_STAMPS_H
#define ENERGY_TOTALS_TIME_STAMPS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// Parses the time stamp at p, which ends before end: nvidia-smi's
// "YYYY/MM/DD HH:MM:SS.fff", ISO 8601's "YYYY-MM-DDTHH:MM:SS.fff" (a blank
// for the T too) with an optional Z or +HH:MM / -HH:MM, the power
// analyzers' and MLPerf loadgen's "MM-DD-YYYY HH:MM:SS.fff", or seconds since
// the epoch ("1714557600.123", or relative ones, ".4895"), from 1970 to 2255. The fraction is optional and of any length,
// kept to the nanosecond. Sets *ns to the stamp in nanoseconds since the
// epoch (a stamp without an offset is taken as UTC: only differences
// count) and *after past it. With prefix, a stamp that starts as the last
// one did is read faster, to the same result. Returns false, touching
// neither, where no stamp stands at p. Reads nothing at or past end, nor past a newline;
// does not allocate. Inline, since a time-stamped log's reader calls it
// once a line.
namespace time_stamp_detail {

inline constexpr int64_t billion = 1000000000;

// Reads exactly n digits at p; false if there are not n before end.
inline bool fixed_digits(const char*& p, const char* end, int n, int64_t* value)
{
    int64_t v = 0;
    for (int i = 0; i < n; ++i, ++p) {
        if (p == end || *p < '0' || *p > '9')
            return false;
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

// A fraction of a second after its point, to the nanosecond; digits past
// the ninth are read and dropped.
inline int64_t fraction_ns(const char*& p, const char* end)
{
    // The nanoseconds a fraction of d digits' last digit stands for.
    static constexpr int64_t scale[10] = {0, 100000000, 10000000, 1000000, 100000, 10000, 1000, 100, 10, 1};
    int64_t ns = 0;
    int digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p, ++digits)
        if (digits < 9)
            ns = ns * 10 + (*p - '0');
    return ns * scale[digits < 9 ? digits : 9];
}

// "HH:MM:" at q (the hour of hour_digits digits); q is moved past it.
inline bool hour_and_minute(const char*& q, const char* end, int hour_digits, int64_t* hour,
                            int64_t* minute)
{
    return fixed_digits(q, end, hour_digits, hour) && q != end && *q++ == ':' &&
           fixed_digits(q, end, 2, minute) && q != end && *q++ == ':' && *hour <= 23 && *minute <= 59;
}

// "SS" and an optional fraction at q, in nanoseconds; q is moved past them.
inline bool second_and_fraction(const char*& q, const char* end, int64_t* ns)
{
    int64_t second;
    if (!fixed_digits(q, end, 2, &second) || second > 60)
        return false;
    int64_t fraction = 0;
    if (q < end && *q == '.') {
        ++q;
        fraction = fraction_ns(q, end);
    }
    *ns = second * billion + fraction;
    return true;
}

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar.
inline int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Stamps from 1970 to 2255: their nanoseconds fit 64 bits, with room for
// differences.
inline constexpr int64_t latest_second = 9000000000;

// Units since the epoch (unit_ns a second's or a millisecond's), with any
// fraction of one, to the nanosecond; its first digits, where read
// already, are units (digits of them), and p is past them.
inline bool parse_epoch(const char* p, const char* end, int64_t unit_ns, int64_t* ns, const char** after,
                        int64_t units = 0, int digits = 0)
{
    for (; p < end && *p >= '0' && *p <= '9'; ++p, ++digits) {
        units = units * 10 + (*p - '0');
        if (units >= latest_second / unit_ns * billion)
            return false;
    }
    // Units below one may be written without their 0, as ".4895".
    if (digits == 0 && !(end - p >= 2 && *p == '.' && p[1] >= '0' && p[1] <= '9'))
        return false;
    int64_t fraction = 0;
    if (p < end && *p == '.') {
        ++p;
        fraction = fraction_ns(p, end) / (billion / unit_ns);
    }
    *ns = units * unit_ns + fraction;
    *after = p;
    return true;
}

} // namespace time_stamp_detail

// Milliseconds since the epoch, as MLPerf's logs give time_ms: digits and
// an optional fraction, kept to the nanosecond. Sets *ns and *after past
// it; returns false, touching neither, where none stands at p.
inline bool parse_epoch_ms(const char* p, const char* end, int64_t* ns, const char** after)
{
    return time_stamp_detail::parse_epoch(p, end, 1000000, ns, after);
}

// What a time-stamped log's lines share from one to the next: the date and
// the time to the minute, "YYYY/MM/DD HH:MM:" (or with - and T), 17 bytes.
// A stamp whose first 17 bytes are those of the last parsed needs only its
// seconds parsed.
struct stamp_prefix {
    bool valid = false;
    char separator = 0;
    int64_t minute_seconds = 0; // the prefix's seconds since the epoch
    char bytes[17] = {};
};

inline bool parse_time_stamp(const char* p, const char* end, int64_t* ns, const char** after,
                             stamp_prefix* prefix = nullptr)
{
    using namespace time_stamp_detail;
    constexpr ptrdiff_t prefix_length = sizeof prefix->bytes;
    const char* q = p;
    char separator;
    int64_t base;
    if (prefix != nullptr && prefix->valid && end - p >= prefix_length &&
        std::memcmp(p, prefix->bytes, prefix_length) == 0) {
        q = p + prefix_length;
        separator = prefix->separator;
        base = prefix->minute_seconds;
    } else {
        int64_t year = 0, month = 0, day = 0, hour, minute;
        // The month first where two digits and a dash start the stamp.
        bool month_first = end - q > 2 && q[2] == '-' && q[0] >= '0' && q[0] <= '9' && q[1] >= '0' && q[1] <= '9';
        if (month_first) {
            fixed_digits(q, end, 2, &month);
            separator = *q++;
            if (!fixed_digits(q, end, 2, &day) || q == end || *q++ != separator || !fixed_digits(q, end, 4, &year) ||
                q == end || *q != ' ')
                return false;
            separator = '/'; // no offset after it
        } else {
            if (!fixed_digits(q, end, 4, &year))
                return parse_epoch(p, end, billion, ns, after);
            if (q == end || (*q != '/' && *q != '-'))
                return parse_epoch(q, end, billion, ns, after, year, 4);
            separator = *q++;
            if (!fixed_digits(q, end, 2, &month) || q == end || *q++ != separator ||
                !fixed_digits(q, end, 2, &day) || q == end || (*q != 'T' && *q != ' '))
                return false;
        }
        ++q;
        if (!hour_and_minute(q, end, 2, &hour, &minute) || month < 1 || month > 12 || day < 1 || day > 31)
            return false;
        base = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60;
        if (prefix != nullptr) {
            prefix->valid = true;
            prefix->separator = separator;
            prefix->minute_seconds = base;
            std::memcpy(prefix->bytes, p, prefix_length);
        }
    }
    int64_t second_ns;
    if (!second_and_fraction(q, end, &second_ns))
        return false;
    int64_t offset = 0;
    if (q < end && *q == 'Z') {
        ++q;
    } else if (q < end && (*q == '+' || *q == '-') && separator == '-') {
        int sign = *q++ == '-' ? -1 : 1;
        int64_t oh, om;
        if (!fixed_digits(q, end, 2, &oh) || q == end || *q++ != ':' ||
            !fixed_digits(q, end, 2, &om) || oh > 23 || om > 59)
            return false;
        offset = sign * (oh * 3600 + om * 60);
    }
    int64_t seconds = base + second_ns / billion - offset;
    if (seconds < 0 || seconds >= latest_second)
        return false;
    *ns = seconds * billion + second_ns % billion;
    *after = q;
    return true;
}

// Times of day on a log's own time line: past midnight (a time more than
// twelve hours before the last), a day later.
struct clock_days {
    int64_t day_ns = 0;
    int64_t last_ns = -1;
    int64_t on_time_line(int64_t ns)
    {
        constexpr int64_t day = 86400 * time_stamp_detail::billion;
        if (last_ns >= 0 && ns + day / 2 < last_ns)
            day_ns += day;
        last_ns = ns;
        return ns + day_ns;
    }
};

// Parses a time of day at p, "H:MM:SS" or "HH:MM:SS" with an optional
// fraction of any length, as some loggers stamp their lines (xpu-smi dump):
// *ns is nanoseconds since midnight, *after past it. Returns false, touching
// neither, where no time of day stands at p.
inline bool parse_clock_time(const char* p, const char* end, int64_t* ns, const char** after)
{
    using namespace time_stamp_detail;
    const char* q = p;
    int64_t hour, minute, second_ns;
    if (!hour_and_minute(q, end, end - q >= 2 && q[1] == ':' ? 1 : 2, &hour, &minute) ||
        !second_and_fraction(q, end, &second_ns))
        return false;
    *ns = (hour * 3600 + minute * 60) * billion + second_ns;
    *after = q;
    return true;
}

// How a stamp places its reading in time: an instant (seconds since the
// epoch, or a date and time with Z or an offset); a date and time on the
// node's clock, with no offset (nvidia-smi's); a time of day, in
// nanoseconds since the midnight of the log's first day (clock_days); no
// stamp at all (the reading stands right after the meter's last); or a
// line's place in a log without stamps, in nanoseconds from its start
// (taken as the node log's).
enum stamp_form : int { stamp_instant, stamp_wall, stamp_clock, stamp_none, stamp_relative };

// The form of the date-and-time or epoch stamp [p, end) that
// parse_time_stamp read whole: stamp_instant or stamp_wall.
inline int date_stamp_form(const char* p, const char* end)
{
    // A date has its separator after the year (or the month); an epoch
    // stamp is all digits.
    bool date = end - p >= 5 && (p[4] == '-' || p[4] == '/' || p[2] == '-');
    if (!date || end[-1] == 'Z')
        return stamp_instant;
    return end - p >= 6 && (end[-6] == '+' || end[-6] == '-') && end[-3] == ':' ? stamp_instant : stamp_wall;
}

// The one reading of a stamp that is a whole field, [p, end): a date and
// time or seconds since the epoch (stamp_instant, or stamp_wall without an
// offset), or a time of day (stamp_clock: *ns since midnight, or on days'
// time line where days is given). Returns its form, stamp_none where the
// field is no stamp.
inline int whole_field_stamp(const char* p, const char* end, int64_t* ns, clock_days* days = nullptr)
{
    const char* after;
    if (parse_time_stamp(p, end, ns, &after) && after == end)
        return date_stamp_form(p, end);
    if (!parse_clock_time(p, end, ns, &after) || after != end)
        return stamp_none;
    if (days != nullptr)
        *ns = days->on_time_line(*ns);
    return stamp_clock;
}

// The last whole field read as a stamp, and what it read as: meters write
// the same stamp on line after line (whole seconds, several lines a
// second), and it need not be read again.
struct stamp_memo {
    char text[40];
    size_t length = 0;
    bool held = false;
    int64_t ns = 0;
    int form = stamp_none;
};

// Whether the n bytes at a and b are the same: for a field of 8 to 16
// bytes, a stamp's, by two loads of 8 each (overlapping) rather than a call.
inline bool same_field(const char* a, const char* b, size_t n)
{
    if (n < 8 || n > 16)
        return std::memcmp(a, b, n) == 0;
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// whole_field_stamp, where [p, end) is not the field memo holds; else what
// it read then.
inline int memo_stamp(stamp_memo& memo, const char* p, const char* end, int64_t* ns, clock_days* days = nullptr)
{
    auto n = static_cast<size_t>(end - p);
    if (memo.held && n == memo.length && same_field(p, memo.text, n)) {
        *ns = memo.ns;
        return memo.form;
    }
    int form = whole_field_stamp(p, end, ns, days);
    memo.held = form != stamp_none && n <= sizeof memo.text;
    if (memo.held) {
        std::memcpy(memo.text, p, n);
        memo.length = n;
        memo.ns = *ns;
        memo.form = form;
    }
    return form;
}

#endif
