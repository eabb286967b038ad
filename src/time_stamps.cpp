#include "time_stamps.h"

namespace {

// Reads exactly n digits at p; false if there are not n before end.
bool fixed_digits(const char*& p, const char* end, int n, int64_t* value)
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
int64_t fraction_ns(const char*& p, const char* end)
{
    int64_t ns = 0;
    int digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p, ++digits)
        if (digits < 9)
            ns = ns * 10 + (*p - '0');
    for (; digits < 9; ++digits)
        ns *= 10;
    return ns;
}

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr int64_t billion = 1000000000;

// Stamps from 1970 to 2255: their nanoseconds fit 64 bits, with room for
// differences.
constexpr int64_t latest_second = 9000000000;

bool parse_epoch(const char* p, const char* end, int64_t* ns, const char** after)
{
    int64_t seconds = 0;
    int digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p, ++digits) {
        seconds = seconds * 10 + (*p - '0');
        if (seconds >= latest_second)
            return false;
    }
    if (digits == 0)
        return false;
    int64_t fraction = 0;
    if (p < end && *p == '.') {
        ++p;
        fraction = fraction_ns(p, end);
    }
    *ns = seconds * billion + fraction;
    *after = p;
    return true;
}

} // namespace

bool parse_time_stamp(const char* p, const char* end, int64_t* ns, const char** after)
{
    const char* q = p;
    int64_t year, month, day, hour, minute, second;
    if (!fixed_digits(q, end, 4, &year) || q == end || (*q != '/' && *q != '-'))
        return parse_epoch(p, end, ns, after);
    char separator = *q++;
    if (!fixed_digits(q, end, 2, &month) || q == end || *q++ != separator ||
        !fixed_digits(q, end, 2, &day) || q == end || (*q != 'T' && *q != ' '))
        return false;
    ++q;
    if (!fixed_digits(q, end, 2, &hour) || q == end || *q++ != ':' ||
        !fixed_digits(q, end, 2, &minute) || q == end || *q++ != ':' ||
        !fixed_digits(q, end, 2, &second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    int64_t fraction = 0;
    if (q < end && *q == '.') {
        ++q;
        fraction = fraction_ns(q, end);
    }
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
    int64_t seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 +
                      second - offset;
    if (seconds < 0 || seconds >= latest_second)
        return false;
    *ns = seconds * billion + fraction;
    *after = q;
    return true;
}
