// The lines of a results table: what makes one a row, its label, and reading
// a table's lines in bounded memory.
#ifndef ENERGY_TOTALS_TABLE_ROWS_H
#define ENERGY_TOTALS_TABLE_ROWS_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "base/fnv_hash.h"
#include "base/open_file.h"
#include "base/text.h"
#include "report/summary_output.h"

// A row holds nine figures, up to four more GPU figures before the total
// GPU's (--gpus above 4) and up to six more CPU figures before the total
// CPU's (--cpus above 2), and then, where labelled, the label.
constexpr int fewest_figures = 9;
constexpr int most_figures = fewest_figures + (max_gpus - 4) + (max_cpus - 2);

// The figures a row of a run with gpus GPUs and cpus CPUs holds.
constexpr int row_figures(int gpus, int cpus = 2)
{
    return fewest_figures + (gpus > 4 ? gpus - 4 : 0) + (cpus > 2 ? cpus - 2 : 0);
}

// Whether [p, end) is a figure exactly as %g prints one: at most six
// significant digits, no leading zero, no trailing zero after a point nor a
// point without digits after it, an exponent as %g writes it, nan, -nan,
// inf or -inf.
bool is_figure(const char* p, const char* end);

// A table line (without its newline) split as a row is laid out: fields
// apart by two tabs, three between total CPU and GPU1 (after the fourth
// field, or later where there are more CPUs).
struct row_fields {
    int fields = 0;             // 0 where the line is not laid out as a row
    int figures = 0;            // how many fields from the first are figures
    int three_tabs_after = 0;   // the field after which three tabs come
    const char* last = nullptr; // the last field
    size_t last_length = 0;
};

row_fields split_row(const char* p, size_t size);

// Whether the split line is a row of `figures` figures, its three tabs
// after total CPU for cpus CPUs, and then a label where labelled. A label
// may look like anything a label can be (17, 1e5, nan): the count of
// fields tells it from a figure.
bool is_row_of(const row_fields& f, int figures, bool labelled, int cpus = 2);

// Whether the line is a heading as --heading prints it; *figures is the
// number of figures its rows hold.
bool is_heading(const char* p, size_t size, int* figures);

// Reads the lines of the table on fd through buf (buf_size bytes) and hands
// each to take(line, length, number, offset, whole), without its line end,
// offset being where it starts in the file: by pread from 0 to size where
// size is not negative, else by read to the end. A line longer than any row
// is handed on as its first bytes, with whole false. A carriage return
// before a newline is part of the line end, and counted in *crlf. Returns 0
// or the errno of a read.
template <class Take>
int each_line_through(int fd, long long size, char* buf, size_t buf_size, unsigned long long* crlf,
                      Take take)
{
    size_t have = 0;
    long long at = 0, base = 0; // where the next read starts, and where buf does
    unsigned long long number = 0;
    bool skipping = false; // within a line too long to be a row
    for (;;) {
        size_t room = buf_size - have;
        if (size >= 0 && static_cast<long long>(room) > size - at)
            room = static_cast<size_t>(size - at);
        ssize_t n = room == 0 ? 0
                    : size >= 0 ? pread(fd, buf + have, room, at)
                                : read(fd, buf + have, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        at += n;
        have += static_cast<size_t>(n);
        char* p = buf;
        char* end = buf + have;
        for (char* nl; (nl = static_cast<char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr; p = nl + 1) {
            if (skipping) {
                skipping = false;
                continue;
            }
            size_t length = static_cast<size_t>(nl - p);
            if (length > 0 && p[length - 1] == '\r') {
                --length;
                ++*crlf;
            }
            take(p, length, ++number, base + (p - buf), true);
        }
        size_t left = static_cast<size_t>(end - p);
        if (n == 0) {
            if (left > 0 && !skipping)
                take(p, left, ++number, base + (p - buf), true);
            return 0;
        }
        if (left >= results_row_size && !skipping) {
            take(p, left, ++number, base + (p - buf), false);
            skipping = true;
        }
        if (skipping)
            left = 0;
        std::memmove(buf, end - left, left);
        base = at - static_cast<long long>(left);
        have = left;
    }
}

// each_line_through a buffer of its own, taken only by the runs that look at
// the table's lines. Returns 0 or the errno of a read, or ENOMEM.
template <class Take>
int each_table_line(int fd, long long size, unsigned long long* crlf, Take take)
{
    constexpr size_t buf_size = 256 * 1024;
    char* buf = static_cast<char*>(std::malloc(buf_size));
    if (buf == nullptr)
        return ENOMEM;
    int err = each_line_through(fd, size, buf, buf_size, crlf, take);
    std::free(buf);
    return err;
}

#endif
