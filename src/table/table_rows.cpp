// The lines of a results table: figures as %g prints them, rows laid out in
// their tab pattern, the heading, and lines quoted in messages.
#include "table/table_rows.h"

namespace {

size_t count_digits(const char* p, const char* end)
{
    size_t n = 0;
    while (p + n < end && p[n] >= '0' && p[n] <= '9')
        ++n;
    return n;
}

// Whether [p, end), after an "e", is an exponent as %g writes it: a sign,
// then two digits, or three without a leading zero, no further out than a
// double reaches, and below 10 only as far out as %g leaves fixed notation.
bool is_exponent(const char* p, const char* end)
{
    if (p == end)
        return false;
    char sign = *p++;
    size_t n = count_digits(p, end);
    if ((sign != '+' && sign != '-') || p + n != end || n < 2 || n > 3)
        return false;
    int value = 0;
    for (size_t i = 0; i < n; ++i)
        value = value * 10 + (p[i] - '0');
    if (n == 3)
        return p[0] != '0' && value <= (sign == '+' ? 308 : 324);
    return p[0] != '0' || value >= (sign == '+' ? 6 : 5);
}

} // namespace

bool is_figure(const char* p, const char* end)
{
    if (p < end && *p == '-')
        ++p;
    if (p == end)
        return false;
    if (*p == 'n' || *p == 'i')
        return end - p == 3 && std::memcmp(p, *p == 'n' ? "nan" : "inf", 3) == 0;
    if (*p == '0') {
        if (++p == end)
            return true;
        // 0.000ddd at the most: further out %g writes an exponent.
        if (*p++ != '.')
            return false;
        size_t n = count_digits(p, end), zeros = 0;
        while (zeros < n && p[zeros] == '0')
            ++zeros;
        return p + n == end && zeros <= 3 && n > zeros && n - zeros <= 6 && end[-1] != '0';
    }
    size_t whole = count_digits(p, end);
    if (whole == 0 || whole > 6)
        return false;
    p += whole;
    if (p == end)
        return true;
    if (*p == '.') {
        size_t fraction = count_digits(++p, end);
        if (fraction == 0 || whole + fraction > 6 || p[fraction - 1] == '0')
            return false;
        p += fraction;
        if (p == end)
            return true;
    }
    return *p == 'e' && whole == 1 && is_exponent(p + 1, end);
}

row_fields split_row(const char* p, size_t size)
{
    row_fields f;
    const char* end = p + size;
    bool figures_so_far = true;
    for (int field = 1;; ++field) {
        // Fields are short: a loop finds their end sooner than memchr.
        const char* tab = p;
        while (tab < end && *tab != '\t')
            ++tab;
        if (tab == p || field > most_figures + 1)
            return row_fields{};
        figures_so_far = figures_so_far && is_figure(p, tab);
        f.figures += figures_so_far;
        if (tab == end) {
            if (f.three_tabs_after == 0)
                return row_fields{};
            f.fields = field;
            f.last = p;
            f.last_length = static_cast<size_t>(end - p);
            return f;
        }
        // Three tabs once, after total CPU (the fourth field, or up to six
        // later), else two.
        for (p = tab; p < end && *p == '\t';)
            ++p;
        bool three = p - tab == 3 && f.three_tabs_after == 0 && field >= 4 && field <= 4 + max_cpus - 2;
        if (p - tab != 2 && !three)
            return row_fields{};
        if (three)
            f.three_tabs_after = field;
    }
}

bool is_row_of(const row_fields& f, int figures, bool labelled, int cpus)
{
    return f.fields == figures + labelled && f.figures >= figures && f.three_tabs_after == 2 + cpus;
}

bool is_heading(const char* p, size_t size, int* figures)
{
    for (int c = 2; c <= max_cpus; ++c)
        for (int g = 4; g <= max_gpus; ++g) {
            char heading[256];
            FILE* out = fmemopen(heading, sizeof heading, "w");
            if (out == nullptr)
                return false;
            print_heading(out, g, c);
            std::fflush(out);
            long length = std::ftell(out);
            std::fclose(out);
            if (length > 0 && static_cast<size_t>(length) == size + 1 && std::memcmp(heading, p, size) == 0) {
                *figures = row_figures(g, c);
                return true;
            }
        }
    return false;
}

