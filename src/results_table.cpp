// The results table: the grammar of its end, its lock, and the append that
// leaves a row in it exactly once or not at all.
#include "results_table.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "held_signals.h"
#include "open_file.h"
#include "summary_output.h"
#include "table_lock.h"

namespace {

enum figure_match : int { figure_none, figure_part, figure_whole };

size_t count_digits(const char* p, const char* end)
{
    size_t n = 0;
    while (p + n < end && p[n] >= '0' && p[n] <= '9')
        ++n;
    return n;
}

// How much of an exponent as %g writes it ("+06" to "+308", "-05" to
// "-324": a sign, then two digits, or three without a leading zero) the
// bytes [p, end) after the "e" hold.
int match_exponent(const char* p, const char* end)
{
    if (p == end)
        return figure_part;
    char sign = *p++;
    size_t n = count_digits(p, end);
    if ((sign != '+' && sign != '-') || p + n != end || n > 3)
        return figure_none;
    if (n < 2)
        return figure_part;
    int value = 0;
    for (size_t i = 0; i < n; ++i)
        value = value * 10 + (p[i] - '0');
    if (n == 3)
        return p[0] != '0' && value <= (sign == '+' ? 308 : 324) ? figure_whole : figure_none;
    // Two digits: below 10 only as far out as %g leaves fixed notation.
    return p[0] != '0' || value >= (sign == '+' ? 6 : 5) ? figure_whole : figure_none;
}

// How much of a figure as %g prints it the bytes [p, end) hold:
// figure_whole for all of one (which more bytes might still extend),
// figure_part for the start of one, figure_none for neither. %g gives at
// most six significant digits, no leading zero, no trailing zero after a
// point nor a point without digits after it, at most three zeros after
// "0." (further out it writes an exponent), and a mantissa of one digit
// before an exponent.
int match_figure(const char* p, const char* end)
{
    if (p < end && *p == '-')
        ++p;
    // Most figures are a few digits, perhaps with a point: told at once.
    if (end - p == 1 && *p == '0')
        return figure_whole;
    if (end - p >= 1 && end - p <= 7 && *p != '0') {
        const char* point = nullptr;
        const char* q = p;
        for (; q < end && ((*q >= '0' && *q <= '9') || (*q == '.' && point == nullptr)); ++q)
            if (*q == '.')
                point = q;
        size_t digits = static_cast<size_t>(end - p) - (point != nullptr);
        if (q == end && *p != '.' && digits <= 6 && (point == nullptr || (point + 1 < end && end[-1] != '0')))
            return figure_whole;
    }
    if (p == end)
        return figure_part;
    if (*p == 'n' || *p == 'i') {
        size_t n = static_cast<size_t>(end - p);
        if (n > 3 || std::memcmp(p, *p == 'n' ? "nan" : "inf", n) != 0)
            return figure_none;
        return n == 3 ? figure_whole : figure_part;
    }
    if (*p == '0') {
        if (++p == end)
            return figure_whole;
        if (*p++ != '.')
            return figure_none;
        size_t n = count_digits(p, end), zeros = 0;
        while (zeros < n && p[zeros] == '0')
            ++zeros;
        if (p + n != end || zeros > 3 || n - zeros > 6)
            return figure_none;
        if (n == zeros || end[-1] != '0')
            return n == zeros ? figure_part : figure_whole;
        return n - zeros < 6 ? figure_part : figure_none;
    }
    size_t whole = count_digits(p, end);
    if (whole == 0 || whole > 6)
        return figure_none;
    p += whole;
    if (p == end)
        return figure_whole;
    if (*p == '.') {
        if (whole == 6)
            return figure_none;
        size_t fraction = count_digits(++p, end);
        if (whole + fraction > 6)
            return figure_none;
        p += fraction;
        bool trailing_zero = fraction > 0 && p[-1] == '0';
        if (p == end) {
            if (fraction > 0 && !trailing_zero)
                return figure_whole;
            return whole + fraction < 6 ? figure_part : figure_none;
        }
        if (fraction == 0 || trailing_zero)
            return figure_none;
    }
    if (*p != 'e' || whole != 1)
        return figure_none;
    return match_exponent(p + 1, end);
}

// A row holds the nine figures, or up to four more GPU figures before the
// total GPU's.
constexpr int fewest_figures = 9;
constexpr int most_figures = 13;

} // namespace

namespace {

// classify_table_tail's walk; for a row, *last is its last field.
int scan_row(const char* p, size_t size, bool labelled, const char** last)
{
    const char* end = p + size;
    for (int figures = 0;;) {
        // Fields are short: a loop finds their end sooner than memchr.
        const char* tab = p;
        while (tab < end && *tab != '\t')
            ++tab;
        if (figures >= fewest_figures && tab == end) {
            // A label, or a last GPU figure: the row is whole.
            *last = p;
            return std::memchr(p, '\r', static_cast<size_t>(end - p)) == nullptr ? tail_row
                                                                                  : tail_foreign;
        }
        int match = match_figure(p, tab);
        if (tab == end) {
            if (match == figure_none)
                return tail_foreign;
            *last = p;
            return match == figure_whole && figures + 1 == fewest_figures && !labelled ? tail_row
                                                                                      : tail_fragment;
        }
        if (match != figure_whole || figures == most_figures)
            return tail_foreign;
        ++figures;
        // Three tabs after total CPU, else two; after the ninth figure and
        // on, those before a label or another figure.
        ptrdiff_t tabs = figures == 4 ? 3 : 2;
        for (p = tab; p < end && *p == '\t';)
            ++p;
        if (p - tab > tabs)
            return tail_foreign;
        if (p == end)
            return tail_fragment;
        if (p - tab != tabs)
            return tail_foreign;
    }
}

} // namespace

int classify_table_tail(const char* p, size_t size, bool labelled)
{
    const char* last;
    return scan_row(p, size, labelled, &last);
}

bool line_is_labelled(const char* p, size_t size)
{
    const char* end = p + size;
    const char* last = nullptr;
    int fields = 1;
    for (const char* q = p; q < end; ++q)
        if (*q == '\t') {
            while (q + 1 < end && q[1] == '\t')
                ++q;
            ++fields;
            last = q + 1;
        }
    return fields > fewest_figures && last != nullptr && match_figure(last, end) != figure_whole;
}

bool row_label(const char* p, size_t size, bool* is_row, const char** label, size_t* length)
{
    const char* last = nullptr;
    *is_row = size > 0 && size < results_row_size && scan_row(p, size, false, &last) == tail_row;
    if (!*is_row || match_figure(last, p + size) == figure_whole)
        return false;
    *label = last;
    *length = static_cast<size_t>(p + size - last);
    return true;
}

namespace {

// Hands each line of the table on fd to take(line, length, number, whole),
// without its newline: read by pread from 0 to size where size is not
// negative, else by read to the end, through buf. A line longer than any
// row is handed on as its first bytes, with whole false. Returns 0 or the
// errno of a read.
template <class Take>
int each_line_through(int fd, long long size, char* buf, size_t buf_size, Take take)
{
    size_t have = 0;
    long long at = 0;
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
            if (skipping)
                skipping = false;
            else
                take(p, static_cast<size_t>(nl - p), ++number, true);
        }
        size_t left = static_cast<size_t>(end - p);
        if (n == 0) {
            if (left > 0 && !skipping)
                take(p, left, ++number, true);
            return 0;
        }
        if (left >= results_row_size && !skipping) {
            take(p, left, ++number, false);
            skipping = true;
        }
        if (skipping)
            left = 0;
        std::memmove(buf, p, left);
        have = left;
    }
}

// each_line_through a buffer of its own, taken only by the runs that look
// at the table's lines. Returns 0 or the errno of a read, or ENOMEM.
template <class Take>
int each_table_line(int fd, long long size, Take take)
{
    constexpr size_t buf_size = 256 * 1024;
    char* buf = static_cast<char*>(std::malloc(buf_size));
    if (buf == nullptr)
        return ENOMEM;
    int err = each_line_through(fd, size, buf, buf_size, take);
    std::free(buf);
    return err;
}

// Whether the table on fd, size bytes long, holds a row labelled label;
// *line is its number. Returns 0, or the errno of a read.
int find_labelled_row(int fd, long long size, const char* label, unsigned long long* line)
{
    size_t length = std::strlen(label);
    *line = 0;
    return each_table_line(fd, size, [&](const char* p, size_t n, unsigned long long number, bool whole) {
        bool is_row;
        const char* at;
        size_t at_length;
        // The label's own bytes at the line's end first: most lines fail there.
        if (*line == 0 && whole && n > length && std::memcmp(p + n - length, label, length) == 0 &&
            p[n - length - 1] == '\t' && row_label(p, n, &is_row, &at, &at_length) && at_length == length)
            *line = number;
    });
}

// Takes the exclusive lock on the table, asking again and again until it is
// granted, so that no signal of the caller's is borrowed as a timer. On NFS
// a waiting lock is retried by the client itself after ever longer pauses,
// up to half a minute (NFSv4), so when many runs of a sweep finish together
// most of them would sleep long after the lock is free: asking every few
// milliseconds at first, then at most once a second, at jittered times so
// that the runs spread out, keeps the wait close to the time the lock is
// really held. Says once on notices that it waits. Returns 0, or the errno
// of a lock that can't be had: a file system without working locks
// (ENOLCK, EOPNOTSUPP, ENOSYS) is a failure too, since rows appended
// without the lock can be lost or torn.
int lock_table(int fd, const char* name, FILE* notices)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    double start = monotonic_seconds();
    bool said = false;
    lock_backoff backoff;
    for (;;) {
        if (fcntl(fd, F_SETLK, &lock) == 0)
            return 0;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return errno;
        if (!said && monotonic_seconds() - start >= lock_notice_seconds) {
            say_waiting(name, notices);
            said = true;
        }
        pause_before_retry(backoff);
    }
}

// Opens the existing table for appending. A FIFO is opened for writing only
// and without waiting, so that one that nobody reads is an error (ENXIO)
// rather than a row swallowed by the run's own end of it.
int open_table(const char* name, struct stat* st, int* err)
{
    int fd = open_file(name, O_RDWR | O_APPEND | O_NOCTTY);
    if (fd >= 0 && fstat(fd, st) == 0 && S_ISFIFO(st->st_mode)) {
        close(fd);
        fd = open_file(name, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0 && fcntl(fd, F_SETFL, O_APPEND) != 0) {
            *err = errno;
            close(fd);
            return -1;
        }
    }
    if (fd < 0)
        *err = errno;
    return fd;
}

// Opens the existing table and takes the lock. A table that was replaced
// (renamed over, or removed) while this run waited for the lock is let go
// and the name opened again, so the row lands in the table that the name
// now names. Returns an open descriptor with *st its status, or -1 with
// *err set.
int open_table_locked(const char* name, struct stat* st, int* err, FILE* notices)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = open_table(name, st, err);
        if (fd < 0)
            return -1;
        *err = lock_table(fd, name, notices);
        if (*err == 0 && fstat(fd, st) != 0)
            *err = errno;
        if (*err != 0) {
            close(fd);
            return -1;
        }
        struct stat now;
        if (stat(name, &now) == 0 && now.st_dev == st->st_dev && now.st_ino == st->st_ino)
            return fd;
        close(fd);
    }
    *err = EAGAIN;
    return -1;
}

// Writes all of buf, carrying on after short writes. Returns 0 or errno.
int write_all(int fd, const char* buf, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, buf, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        buf += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

// What stands after the last newline of a table size bytes long: its
// length, and its kind, judged with the line before it where that is in
// reach. A tail longer than any row is foreign. Returns 0, or -1 with errno
// set where the table can't be read.
int read_table_tail(int fd, long long size, long long* length, int* kind)
{
    char window[2 * results_row_size];
    long long wanted = size < static_cast<long long>(sizeof window) ? size : static_cast<long long>(sizeof window);
    *length = 0;
    *kind = tail_foreign;
    if (wanted == 0)
        return 0;
    ssize_t n;
    while ((n = pread(fd, window, static_cast<size_t>(wanted), size - wanted)) < 0 && errno == EINTR) {
    }
    if (n < 0)
        return -1;
    if (n != wanted) {
        errno = EIO;
        return -1;
    }
    const char* nl = static_cast<const char*>(memrchr(window, '\n', static_cast<size_t>(n)));
    const char* tail = nl != nullptr ? nl + 1 : window;
    *length = window + n - tail;
    if (*length == 0 || *length >= static_cast<long long>(results_row_size) ||
        (nl == nullptr && wanted < size))
        return 0;
    // The line before: whole only where a newline before it, or the
    // table's start, is in the window.
    bool labelled = false;
    if (nl != nullptr) {
        const char* before = static_cast<const char*>(memrchr(window, '\n', static_cast<size_t>(nl - window)));
        if (before != nullptr || wanted == size) {
            const char* line = before != nullptr ? before + 1 : window;
            labelled = line_is_labelled(line, static_cast<size_t>(nl - line));
        }
    }
    *kind = classify_table_tail(tail, static_cast<size_t>(*length), labelled);
    return 0;
}

// Whether the row fits under the file size limit once the table is size
// bytes long, and on the disk: checked before its first byte, so that a
// row that can't fit leaves nothing. The disk is asked where the file
// system can reserve room without changing the file's size. Returns 0 or
// the errno the write would have met.
int check_room(int fd, long long size, size_t row_size)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<unsigned long long>(size) + row_size > limit.rlim_cur)
        return EFBIG;
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, size, static_cast<off_t>(row_size)) != 0 &&
        (errno == ENOSPC || errno == EDQUOT || errno == EFBIG))
        return errno;
    return 0;
}

// Appends the row to a regular table, under its lock: cuts off a fragment
// left by an interrupted run or ends a whole last row that lacks its
// newline, checks for room, writes, syncs, and takes the row back if any of
// that fails. Returns as append_results_row does.
int append_to_file(int fd, const char* name, const struct stat& st, const char* row, size_t size,
                   int* undo_error, FILE* notices, const char* once, bool* skipped)
{
    long long length = st.st_size, tail = 0;
    int kind = tail_foreign;
    if (read_table_tail(fd, length, &tail, &kind) != 0)
        return errno;
    if (once != nullptr) {
        unsigned long long line = 0;
        int err = find_labelled_row(fd, length, once, &line);
        if (err != 0)
            return err;
        if (line != 0) {
            std::fprintf(notices,
                         "energy-totals: %s: line %llu is a row labelled %s already; none "
                         "appended (--once)\n",
                         name, line, once);
            std::fflush(notices);
            *skipped = true;
            hold_signals();
            return 0;
        }
    }
    long long fragment = kind == tail_fragment ? tail : 0;
    size_t newline = kind == tail_row ? 1 : 0;
    int err = check_room(fd, length - fragment, newline + size);
    if (err != 0)
        return err;
    hold_signals();
    if (fragment > 0) {
        if (ftruncate(fd, length - fragment) != 0)
            return errno;
        length -= fragment;
        std::fprintf(notices,
                     "energy-totals: %s: removed %lld bytes of a row left by an interrupted run\n",
                     name, fragment);
        std::fflush(notices);
    }
    err = newline > 0 ? write_all(fd, "\n", 1) : 0;
    if (err == 0)
        err = write_all(fd, row, size);
    if (err == 0 && newline > 0) {
        std::fprintf(notices, "energy-totals: %s: its last row had no newline; one was added\n", name);
        std::fflush(notices);
    }
    if (err == 0 && before_row_sync != nullptr)
        before_row_sync();
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    // Still under the lock, so no other run's row is cut off.
    if (err != 0 && (ftruncate(fd, length) != 0 || fsync(fd) != 0))
        *undo_error = errno;
    return err;
}

// Appends the row to a FIFO, which takes a row under PIPE_BUF whole or not
// at all: a run stopped while its write waits for the reader has written
// nothing, so signals are held only once the row is in.
int append_to_fifo(int fd, const char* row, size_t size)
{
    int err = write_all(fd, row, size);
    hold_signals();
    return err;
}

} // namespace

void (*before_row_sync)() = nullptr;

int append_results_row(const char* name, const char* row, size_t size, int* undo_error,
                       FILE* notices, const char* once, bool* skipped)
{
    *undo_error = 0;
    bool ignored = false;
    if (skipped == nullptr)
        skipped = &ignored;
    *skipped = false;
    struct stat st;
    int err = 0;
    int fd = open_table_locked(name, &st, &err, notices);
    if (fd < 0)
        return err;
    // Where each node keeps its own locks, the lock file is taken too, and
    // the table opened again once it is held, so that its end is read fresh
    // from the server. Signals are held from the lock file's link to the
    // exit, so none can leave it behind.
    lock_file lock;
    if (S_ISREG(st.st_mode) && locks_are_node_local(st.st_dev)) {
        close(fd);
        if ((err = take_lock_file(name, lock, notices)) != 0)
            return err;
        if ((fd = open_table_locked(name, &st, &err, notices)) < 0) {
            release_lock_file(lock);
            return err;
        }
    }
    if (S_ISREG(st.st_mode)) {
        err = append_to_file(fd, name, st, row, size, undo_error, notices, once, skipped);
    } else if (S_ISFIFO(st.st_mode)) {
        err = append_to_fifo(fd, row, size);
    } else {
        // A device: written to as it is, and synced where it can be.
        hold_signals();
        err = write_all(fd, row, size);
        if (err == 0 && fsync(fd) != 0 && errno != EINVAL)
            err = errno;
    }
    // Once synced, the row is in the table whatever close says. The row is
    // closed before the lock file goes, so the next holder reads it.
    (void)close(fd);
    int release_err = release_lock_file(lock);
    if (release_err != 0)
        std::fprintf(notices, "energy-totals: %s: can't remove the lock file %s: %s\n", name,
                     lock.path, std::strerror(release_err));
    return err;
}

namespace {

// The rows seen under each label, for --check: a label, the first line
// it was seen on, and whether it was said to repeat.
struct label_entry {
    char* text = nullptr;
    uint32_t length = 0;
    uint32_t line : 31 = 0;
    uint32_t said : 1 = 0;
};

// An open-addressed hash table of labels, growing by doubling; the labels'
// bytes in blocks of their own, freed together.
struct label_block {
    label_block* next;
    size_t used;
    char bytes[1 << 20];
};

struct label_set {
    label_entry* slots = nullptr;
    size_t capacity = 0;
    size_t count = 0;
    label_block* blocks = nullptr;
};

// Room for n bytes among the set's blocks; null where there is no memory.
char* label_room(label_set& set, size_t n)
{
    if (set.blocks == nullptr || set.blocks->used + n > sizeof set.blocks->bytes) {
        auto* block = static_cast<label_block*>(std::malloc(sizeof(label_block)));
        if (block == nullptr)
            return nullptr;
        block->next = set.blocks;
        block->used = 0;
        set.blocks = block;
    }
    char* room = set.blocks->bytes + set.blocks->used;
    set.blocks->used += n;
    return room;
}

uint64_t hash_bytes(const char* p, size_t n)
{
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    return h;
}

// The entry of label, made where there is none (its line 0). Returns null
// where there is no memory.
label_entry* find_label(label_set& set, const char* p, size_t n, bool make)
{
    if (make && (set.count + 1) * 2 > set.capacity) {
        size_t capacity = set.capacity == 0 ? 1024 : set.capacity * 2;
        auto* slots = static_cast<label_entry*>(std::calloc(capacity, sizeof(label_entry)));
        if (slots == nullptr)
            return nullptr;
        for (size_t i = 0; i < set.capacity; ++i)
            if (set.slots[i].text != nullptr) {
                size_t j = hash_bytes(set.slots[i].text, set.slots[i].length) & (capacity - 1);
                while (slots[j].text != nullptr)
                    j = (j + 1) & (capacity - 1);
                slots[j] = set.slots[i];
            }
        std::free(set.slots);
        set.slots = slots;
        set.capacity = capacity;
    }
    if (set.capacity == 0)
        return nullptr;
    size_t j = hash_bytes(p, n) & (set.capacity - 1);
    for (; set.slots[j].text != nullptr; j = (j + 1) & (set.capacity - 1))
        if (set.slots[j].length == n && std::memcmp(set.slots[j].text, p, n) == 0)
            return &set.slots[j];
    if (!make)
        return nullptr;
    set.slots[j].text = label_room(set, n + 1);
    if (set.slots[j].text == nullptr)
        return nullptr;
    std::memcpy(set.slots[j].text, p, n);
    set.slots[j].text[n] = '\0';
    set.slots[j].length = static_cast<uint32_t>(n);
    ++set.count;
    return &set.slots[j];
}

void free_labels(label_set& set)
{
    while (set.blocks != nullptr) {
        label_block* next = set.blocks->next;
        std::free(set.blocks);
        set.blocks = next;
    }
    std::free(set.slots);
    set = label_set{};
}

// A line as the findings quote it: its first 60 bytes, tabs as \t.
void quote(FILE* out, const char* p, size_t n)
{
    size_t shown = n < 60 ? n : 60;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '\t')
            std::fputs("\\t", out);
        else if (c < 0x20 || c == 0x7f || c == '"' || c == '\\')
            std::fprintf(out, "\\x%02x", c);
        else
            std::fputc(c, out);
    }
    if (n > shown)
        std::fputs("...", out);
}

} // namespace

int check_table(const char* path, const char* cases, FILE* out, FILE* errors)
{
    int fd = open_file(path, O_RDONLY | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(errors, "energy-totals: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    table_check found;
    label_set labels;
    bool no_memory = false;
    int err = each_table_line(fd, -1, [&](const char* p, size_t n, unsigned long long number, bool whole) {
        bool is_row = false;
        const char* label = nullptr;
        size_t length = 0;
        bool labelled = whole && row_label(p, n, &is_row, &label, &length);
        if (!is_row) {
            // A heading on line 1 passes: any line of words, no row.
            if (number == 1 && whole && classify_table_tail(p, n, false) == tail_foreign)
                return;
            ++found.not_rows;
            std::fprintf(out, "line %llu: not a row: \"", number);
            quote(out, p, n);
            std::fputs("\"\n", out);
            return;
        }
        ++found.rows;
        if (!labelled) {
            ++found.unlabelled;
            std::fprintf(out, "line %llu: a row without a label\n", number);
            return;
        }
        label_entry* e = find_label(labels, label, length, true);
        if (e == nullptr) {
            no_memory = true;
            return;
        }
        if (e->line == 0) {
            e->line = number & 0x7fffffff;
        } else if (!e->said) {
            e->said = 1;
            ++found.repeated;
            std::fprintf(out, "label %s: on more than one row, lines %llu and %llu\n", e->text,
                         static_cast<unsigned long long>(e->line), number);
        }
    });
    close(fd);
    if (err == 0 && !no_memory && cases != nullptr) {
        int list = open_file(cases, O_RDONLY | O_NOCTTY);
        if (list < 0) {
            err = errno;
            path = cases;
        } else {
            err = each_table_line(list, -1, [&](const char* p, size_t n, unsigned long long, bool) {
                if (n == 0 || find_label(labels, p, n, false) != nullptr)
                    return;
                ++found.missing;
                std::fputs("case ", out);
                quote(out, p, n);
                std::fputs(": no row\n", out);
            });
            close(list);
            if (err != 0)
                path = cases;
        }
    }
    free_labels(labels);
    if (err != 0 || no_memory) {
        std::fprintf(errors, "energy-totals: %s: %s\n", path, std::strerror(err != 0 ? err : ENOMEM));
        return -1;
    }
    std::fprintf(out, "%llu rows, %llu without a label, %llu lines not rows, %llu labels on more than one row",
                 found.rows, found.unlabelled, found.not_rows, found.repeated);
    if (cases != nullptr)
        std::fprintf(out, ", %llu cases without a row", found.missing);
    std::fputs("\n", out);
    return found.unlabelled + found.not_rows + found.repeated + found.missing > 0 ? 1 : 0;
}
