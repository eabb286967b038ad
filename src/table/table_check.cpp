// --check: each line of a table judged as a row, each label's rows counted,
// and the cases of a list looked for, in memory of a few bytes a line.
#include "table/table_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/open_file.h"
#include "table/table_rows.h"

namespace {

// What pass one keeps of a line that is a finding or may carry a label.
enum line_kind : uint8_t { line_not_row, line_row, line_repeat };

struct line_mark {
    union {
        uint64_t hash;       // the last field's, for a row
        uint64_t first_line; // for a repeat, once found: the line of its label's first row
    };
    uint64_t line : 48;   // its number in the table
    uint64_t fields : 5;  // a row's fields
    uint64_t last_is_figure : 1;
    uint64_t kind : 2;
    uint64_t said : 1;    // a repeat's first row, already reported
    uint64_t offset : 48; // where the last field (or a line that is no row) starts
    uint64_t length : 16; // its length, cut to what is quoted
};
static_assert(sizeof(line_mark) == 24, "a mark's size bounds the memory a line takes");

constexpr size_t quoted_bytes = 60;
constexpr uint64_t bits48 = (uint64_t{1} << 48) - 1; // lines and offsets past 2^48 are beyond any disk

struct marks {
    line_mark* at = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

bool add_mark(marks& m, const line_mark& mark)
{
    if (m.count == m.capacity) {
        size_t capacity = m.capacity == 0 ? 4096 : m.capacity + m.capacity / 2;
        auto* at = static_cast<line_mark*>(std::realloc(m.at, capacity * sizeof(line_mark)));
        if (at == nullptr)
            return false;
        m.at = at;
        m.capacity = capacity;
    }
    m.at[m.count++] = mark;
    return true;
}

// What pass one learns of the table's shape.
struct shape_seen {
    int heading_figures = 0;              // from a heading on line 1
    unsigned long long worded[most_figures + 1] = {}; // rows whose label is a word, by figures
    unsigned long long numbered = 0;      // rows of 10 fields and more, all figures
};

// The figures a labelled row holds where the table says (its heading, or
// all its worded labels after one count of figures), else 0.
int labelled_figures(const shape_seen& s)
{
    if (s.heading_figures != 0)
        return s.heading_figures;
    int figures = 0;
    for (int f = fewest_figures; f <= most_figures; ++f)
        if (s.worded[f] != 0) {
            if (figures != 0)
                return 0;
            figures = f;
        }
    return figures;
}

// Whether a row's mark carries a label, given the rows' labelled shape.
bool has_label(const line_mark& m, int figures)
{
    return !m.last_is_figure || m.fields == most_figures + 1 || (figures != 0 && m.fields == figures + 1);
}

// Reads n bytes at offset of fd into buf; false where that fails or the
// file ends first (errno 0 then).
bool read_whole(int fd, char* buf, size_t n, uint64_t offset)
{
    errno = 0;
    return read_at(fd, buf, n, static_cast<long long>(offset)) == static_cast<ssize_t>(n);
}

// Whether the labels of marks a and b are the same bytes, read again.
bool same_label(int fd, const line_mark& a, const line_mark& b, int* err)
{
    if (a.length != b.length)
        return false;
    char x[results_row_size], y[results_row_size];
    if (!read_whole(fd, x, a.length, a.offset) || !read_whole(fd, y, b.length, b.offset)) {
        *err = errno != 0 ? errno : EIO;
        return false;
    }
    return std::memcmp(x, y, a.length) == 0;
}

// The marks' two orders: by hash, then line; by line. Sorted in place, so
// that a table's marks take their own memory and no copy of it.
bool by_hash(const line_mark& x, const line_mark& y)
{
    return x.hash != y.hash ? x.hash < y.hash : x.line < y.line;
}

bool by_line(const line_mark& x, const line_mark& y)
{
    return x.line < y.line;
}

// Pass one: a mark for each line that is no row and each row, and the
// shape. Returns 0, or the errno of a read or ENOMEM.
int mark_lines(int fd, long long size, marks& m, shape_seen& shape, unsigned long long* crlf)
{
    bool no_memory = false;
    int err = each_table_line(fd, size, crlf, [&](const char* p, size_t n, unsigned long long number,
                                                  long long offset, bool whole) {
        line_mark mark = {};
        mark.line = number & bits48;
        // No row is as long as a row's buffer, nor its label longer than a label.
        row_fields f = whole && n < results_row_size ? split_row(p, n) : row_fields{};
        int figures;
        if (number == 1 && whole && is_heading(p, n, &figures)) {
            shape.heading_figures = figures;
            return;
        }
        if (f.fields < fewest_figures || f.figures < f.fields - 1 || f.figures < fewest_figures) {
            // A heading on line 1 passes: any line of words, no row.
            if (number == 1 && whole && f.figures == 0)
                return;
            mark.kind = line_not_row;
            mark.offset = static_cast<uint64_t>(offset) & bits48;
            mark.length = (n < quoted_bytes + 1 ? n : quoted_bytes + 1) & 0xffffu;
        } else {
            mark.kind = line_row;
            mark.fields = static_cast<unsigned>(f.fields) & 0x1fu;
            mark.last_is_figure = f.figures == f.fields;
            mark.offset = static_cast<uint64_t>(offset + (f.last - p)) & bits48;
            mark.length = f.last_length & 0xffffu;
            mark.hash = hash_bytes(f.last, f.last_length);
            if (!mark.last_is_figure)
                ++shape.worded[f.fields - 1];
            else if (f.fields > fewest_figures)
                ++shape.numbered;
        }
        no_memory = no_memory || !add_mark(m, mark);
    });
    return err != 0 ? err : no_memory ? ENOMEM : 0;
}

// Marks the second row of each label on more than one row as a repeat of
// the first. Returns 0, or the errno of a read.
int find_repeats(int fd, marks& m, int figures)
{
    std::sort(m.at, m.at + m.count, by_hash);
    int err = 0;
    for (size_t i = 0; i < m.count && err == 0;) {
        size_t j = i + 1;
        while (j < m.count && m.at[j].hash == m.at[i].hash)
            ++j;
        // Within a hash, each label's first row in line order; a second
        // label of the same hash, which is rare, is left unjudged.
        line_mark* first = nullptr;
        for (size_t k = i; k < j; ++k) {
            line_mark& mark = m.at[k];
            if (mark.kind != line_row || !has_label(mark, figures))
                continue;
            if (first == nullptr) {
                first = &mark;
            } else if (!first->said && same_label(fd, *first, mark, &err)) {
                first->said = 1;
                mark.kind = line_repeat;
                mark.first_line = first->line;
            }
        }
        i = j;
    }
    std::sort(m.at, m.at + m.count, by_line);
    return err;
}

struct counts {
    unsigned long long rows = 0, unlabelled = 0, not_rows = 0, repeated = 0, missing = 0;
};

// Writes the findings of the marks, in line order. Returns 0 or the errno
// of a read.
int report_lines(int fd, const marks& m, int figures, counts& c, FILE* out)
{
    for (size_t i = 0; i < m.count; ++i) {
        const line_mark& mark = m.at[i];
        unsigned long long line = mark.line;
        if (mark.kind == line_not_row) {
            char text[quoted_bytes + 1];
            if (!read_whole(fd, text, mark.length, mark.offset))
                return errno != 0 ? errno : EIO;
            ++c.not_rows;
            std::fprintf(out, "line %llu: not a row: \"", line);
            quote_bytes(out, text, mark.length, quoted_bytes);
            std::fputs("\"\n", out);
            continue;
        }
        ++c.rows;
        if (!has_label(mark, figures)) {
            ++c.unlabelled;
            std::fprintf(out, "line %llu: a row without a label\n", line);
        } else if (mark.kind == line_repeat) {
            char label[results_row_size];
            if (!read_whole(fd, label, mark.length, mark.offset))
                return errno != 0 ? errno : EIO;
            ++c.repeated;
            std::fputs("label ", out);
            quote_bytes(out, label, mark.length, max_label_length);
            std::fprintf(out, ": on more than one row, lines %llu and %llu\n",
                         static_cast<unsigned long long>(mark.first_line), line);
        }
    }
    return 0;
}

// A set of hashes, for the cases already said to have no row.
struct hash_set {
    uint64_t* slots = nullptr;
    size_t capacity = 0;
    size_t count = 0;
};

// Adds h; returns 1 where it was new, 0 where it was there, -1 where there
// is no memory.
int hash_add(hash_set& s, uint64_t h)
{
    h = h == 0 ? 1 : h;
    if ((s.count + 1) * 2 > s.capacity) {
        size_t capacity = s.capacity == 0 ? 256 : s.capacity * 2;
        auto* slots = static_cast<uint64_t*>(std::calloc(capacity, sizeof(uint64_t)));
        if (slots == nullptr)
            return -1;
        for (size_t i = 0; i < s.capacity; ++i)
            for (size_t j = s.slots[i] & (capacity - 1); s.slots[i] != 0; j = (j + 1) & (capacity - 1))
                if (slots[j] == 0) {
                    slots[j] = s.slots[i];
                    break;
                }
        std::free(s.slots);
        s.slots = slots;
        s.capacity = capacity;
    }
    size_t j = h & (s.capacity - 1);
    for (; s.slots[j] != 0; j = (j + 1) & (s.capacity - 1))
        if (s.slots[j] == h)
            return 0;
    s.slots[j] = h;
    ++s.count;
    return 1;
}

// Whether the table holds a labelled row whose label is [p, p + n): by its
// hash among the marks (sorted by hash), then its bytes.
bool has_row_labelled(int table, const marks& by_hash_marks, int figures, const char* p, size_t n,
                      int* err)
{
    uint64_t h = hash_bytes(p, n);
    size_t lo = 0, hi = by_hash_marks.count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (by_hash_marks.at[mid].hash < h)
            lo = mid + 1;
        else
            hi = mid;
    }
    char label[results_row_size];
    for (size_t i = lo; i < by_hash_marks.count && by_hash_marks.at[i].hash == h; ++i) {
        const line_mark& mark = by_hash_marks.at[i];
        if (mark.kind != line_row || !has_label(mark, figures) || mark.length != n)
            continue;
        if (!read_whole(table, label, n, mark.offset)) {
            *err = errno != 0 ? errno : EIO;
            return false;
        }
        if (std::memcmp(label, p, n) == 0)
            return true;
    }
    return false;
}

// Writes each case of the list on fd that has no row, once. Returns 0, or
// the errno of a read or ENOMEM.
int report_cases(int list, int table, marks& m, int figures, counts& c, unsigned long long* crlf,
                 FILE* out)
{
    std::sort(m.at, m.at + m.count, by_hash);
    hash_set said;
    int err = 0;
    int read_err = each_table_line(list, -1, crlf, [&](const char* p, size_t n, unsigned long long,
                                                       long long, bool whole) {
        if (n == 0 || !whole || err != 0 || has_row_labelled(table, m, figures, p, n, &err))
            return;
        int added = hash_add(said, hash_bytes(p, n));
        if (added < 0)
            err = ENOMEM;
        if (added <= 0)
            return;
        ++c.missing;
        std::fputs("case ", out);
        quote_bytes(out, p, n, quoted_bytes);
        std::fputs(": no row\n", out);
    });
    std::free(said.slots);
    return read_err != 0 ? read_err : err;
}

// A descriptor of path that can be read twice: the file itself, or a
// temporary copy of a FIFO or device. Returns -1 with errno set.
int open_twice_readable(const char* path, long long* size)
{
    int fd = open_file(path, O_RDONLY | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        *size = st.st_size;
        return fd;
    }
    FILE* copy = std::tmpfile();
    int copy_fd = copy != nullptr ? fcntl(fileno(copy), F_DUPFD_CLOEXEC, 3) : -1;
    int err = errno;
    if (copy != nullptr)
        std::fclose(copy);
    if (copy_fd < 0) {
        close(fd);
        errno = err;
        return -1;
    }
    char buf[65536];
    *size = 0;
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || pwrite(copy_fd, buf, static_cast<size_t>(n), *size) != n) {
            int write_err = n < 0 ? errno : errno != 0 ? errno : EIO;
            close(fd);
            close(copy_fd);
            errno = write_err;
            return -1;
        }
        *size += n;
    }
    close(fd);
    return copy_fd;
}

void say_crlf(FILE* errors, const char* path, unsigned long long crlf)
{
    if (crlf > 0)
        std::fprintf(errors, "energy-totals: %s: its lines end in a carriage return and a newline "
                             "(%llu of them); both are read as the line's end\n", path, crlf);
}

} // namespace

int check_table(const char* path, const char* cases, FILE* out, FILE* errors, const record_check* records)
{
    long long size = 0;
    int fd = open_twice_readable(path, &size);
    if (fd < 0) {
        std::fprintf(errors, "energy-totals: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    marks m;
    shape_seen shape;
    counts c;
    unsigned long long crlf = 0, list_crlf = 0;
    const char* at_fault = path;
    int err = mark_lines(fd, size, m, shape, &crlf);
    int figures = labelled_figures(shape);
    if (err == 0)
        err = find_repeats(fd, m, figures);
    if (err == 0)
        err = report_lines(fd, m, figures, c, out);
    if (err == 0 && cases != nullptr) {
        int list = open_file(cases, O_RDONLY | O_NOCTTY);
        at_fault = cases;
        err = list < 0 ? errno : report_cases(list, fd, m, figures, c, &list_crlf, out);
        if (list >= 0)
            close(list);
    }
    close(fd);
    std::free(m.at);
    say_crlf(errors, path, crlf);
    if (cases != nullptr)
        say_crlf(errors, cases, list_crlf);
    if (err == ENOMEM) {
        std::fprintf(errors, "energy-totals: --check: out of memory with %s at %zu lines (%zu bytes "
                             "a line are needed)\n", path, m.count, sizeof(line_mark));
        return -1;
    }
    if (err != 0) {
        std::fprintf(errors, "energy-totals: %s: %s\n", at_fault, std::strerror(err));
        return -1;
    }
    if (figures == 0 && shape.numbered > 0)
        std::fprintf(errors,
                     "energy-totals: %s: no heading, and no label that is a word, tells whether a "
                     "row's last number is a label or a figure: %llu rows read as without a label "
                     "(a heading from energy-totals --heading on line 1 tells)\n",
                     path, shape.numbered);
    unsigned long long recorded = 0, flagged = 0;
    if (records != nullptr && records->check(records->path, out, errors, &recorded, &flagged) != 0)
        return -1;
    std::fprintf(out, "%llu rows, %llu without a label, %llu lines not rows, %llu labels on more than one row",
                 c.rows, c.unlabelled, c.not_rows, c.repeated);
    if (cases != nullptr)
        std::fprintf(out, ", %llu cases without a row", c.missing);
    if (records != nullptr)
        std::fprintf(out, ", %llu records, %llu to look at", recorded, flagged);
    std::fputs("\n", out);
    if (std::fflush(out) != 0 || std::ferror(out)) {
        std::fprintf(errors, "energy-totals: --check: the report could not be written: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        return -1;
    }
    return c.unlabelled + c.not_rows + c.repeated + c.missing + flagged > 0 ? 1 : 0;
}
