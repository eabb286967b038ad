// Appending a row to the results table: the lock, the append record, the
// settling of a record left by a run that stopped, and the append itself.
#include "table/table_append.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "table/held_signals.h"
#include "base/open_file.h"
#include "table/table_lock.h"
#include "table/table_rows.h"

namespace {

// Empties the fields of x that come before its byte buffer, which starts
// head bytes in: the buffer is written before it is read, and zeroing its
// megabytes would fault every page of it in for nothing.
template <class T>
void clear_head(T& x, size_t head)
{
    std::memset(static_cast<void*>(&x), 0, head);
}

constexpr char record_magic[] = "energy-totals append record 1 ";
// A record of a row and another file's bytes.
constexpr char record_magic_also[] = "energy-totals append record 2 ";

// The next number of a record's first line, as strtoull reads it, and the
// blank or newline after it. False where there is none.
bool take_field(const char*& p, const char* end, unsigned long long* value, char after)
{
    unsigned long long v = 0;
    const char* start = p;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (v > (ULLONG_MAX - 9) / 10)
            return false;
        v = v * 10 + static_cast<unsigned>(*p - '0');
    }
    if (p == start || p == end || *p != after)
        return false;
    ++p;
    *value = v;
    return true;
}

} // namespace

size_t format_append_record(const append_record& r, char* buf, size_t size)
{
    size_t bytes = r.write_size + r.cut_size + r.also_size;
    bool also = r.also_path[0] != '\0';
    size_t path = also ? std::strlen(r.also_path) + 1 : 0;
    uint64_t sum = hash_bytes(r.bytes, bytes);
    if (also)
        sum ^= hash_bytes(r.also_path, path - 1);
    int head = also ? std::snprintf(buf, size, "%s%llu %lld %zu %zu %llu %lld %zu %llu\n%s\n", record_magic_also,
                                    r.inode, r.start, r.write_size, r.cut_size, r.also_inode, r.also_start,
                                    r.also_size, static_cast<unsigned long long>(sum), r.also_path)
                    : std::snprintf(buf, size, "%s%llu %lld %zu %zu %llu\n", record_magic, r.inode, r.start,
                                    r.write_size, r.cut_size, static_cast<unsigned long long>(sum));
    if (head < 0 || static_cast<size_t>(head) + bytes > size)
        return 0;
    std::memcpy(buf + head, r.bytes, bytes);
    return static_cast<size_t>(head) + bytes;
}

int parse_append_record(const char* p, size_t size, append_record* r)
{
    size_t magic = sizeof record_magic - 1;
    bool also = size >= magic && std::memcmp(p, record_magic_also, magic) == 0;
    if (!also && std::memcmp(p, record_magic, size < magic ? size : magic) != 0)
        return record_foreign;
    if (size <= magic)
        return record_torn;
    const char* end = p + size;
    const char* q = p + magic;
    unsigned long long inode, start, write_size, cut_size, sum, also_inode = 0, also_start = 0, also_size = 0;
    if (!take_field(q, end, &inode, ' ') || !take_field(q, end, &start, ' ') ||
        !take_field(q, end, &write_size, ' ') || !take_field(q, end, &cut_size, ' '))
        return record_torn;
    if (also && (!take_field(q, end, &also_inode, ' ') || !take_field(q, end, &also_start, ' ') ||
                 !take_field(q, end, &also_size, ' ')))
        return record_torn;
    if (!take_field(q, end, &sum, '\n'))
        return record_torn;
    const char* path = q;
    if (also) {
        const char* nl = static_cast<const char*>(std::memchr(q, '\n', static_cast<size_t>(end - q)));
        if (nl == nullptr || static_cast<size_t>(nl - q) >= sizeof r->also_path || nl == q)
            return record_torn;
        q = nl + 1;
    }
    size_t bytes = static_cast<size_t>(end - q);
    constexpr size_t part = max_append_size + 1;
    if (write_size > part || cut_size > part || also_size > part || bytes != write_size + cut_size + also_size ||
        start > LLONG_MAX || also_start > LLONG_MAX ||
        (hash_bytes(q, bytes) ^ (also ? hash_bytes(path, static_cast<size_t>(q - 1 - path)) : 0)) != sum)
        return record_torn;
    r->inode = inode;
    r->start = static_cast<long long>(start);
    r->write_size = static_cast<size_t>(write_size);
    r->cut_size = static_cast<size_t>(cut_size);
    r->also_inode = also_inode;
    r->also_start = static_cast<long long>(also_start);
    r->also_size = static_cast<size_t>(also_size);
    r->also_path[0] = '\0';
    if (also) {
        std::memcpy(r->also_path, path, static_cast<size_t>(q - 1 - path));
        r->also_path[q - 1 - path] = '\0';
    }
    std::memcpy(r->bytes, q, bytes);
    return record_whole;
}

int settle_state(const append_record& r, unsigned long long inode, long long size, const char* tail,
                 size_t tail_size)
{
    if (inode != r.inode || size < r.start)
        return record_stale;
    unsigned long long n = static_cast<unsigned long long>(size - r.start);
    if (n == 0)
        return record_nothing;
    if (n > tail_size)
        return record_stale;
    if (n <= r.write_size && std::memcmp(tail, r.bytes, n) == 0)
        return n == r.write_size ? record_written : record_part;
    if (n <= r.cut_size && std::memcmp(tail, r.bytes + r.write_size, n) == 0)
        return record_part;
    return record_stale;
}

bool is_record_line(const char* p, size_t n)
{
    constexpr char start[] = "{\"schema\":";
    constexpr char tool[] = ",\"tool\":\"energy-totals\",";
    constexpr size_t s = sizeof start - 1, t = sizeof tool - 1;
    if (n < s + t + 3 || std::memcmp(p, start, s) != 0 || p[n - 1] != '\n' || p[n - 2] != '}' ||
        std::memchr(p, '\n', n - 1) != nullptr)
        return false;
    size_t i = s;
    while (i < n && p[i] >= '0' && p[i] <= '9')
        ++i;
    return i > s && n - i > t && std::memcmp(p + i, tool, t) == 0;
}

namespace {

// What one append is asked to do.
struct append_job {
    const char* name;         // the table, as given
    const char* row;          // its bytes, whole rows (none for a record alone)
    size_t size;
    const char* once;         // --once: the label looked for
    int figures;
    int cpus;
    const append_also* also;  // a file appended in the same step
    bool lines;               // a file of lines (a record file), made where missing
};

// Opens the existing table for appending (a file of lines is made where
// missing, and reached through no other user's link). A FIFO is opened for
// writing only and without waiting, so that one that nobody reads is an
// error (ENXIO) rather than a row swallowed by the run's own end of it.
int open_table(const append_job& job, struct stat* st, int* err)
{
    int fd = job.lines ? open_not_through_others_link(job.name, O_RDWR | O_APPEND | O_CREAT | O_NOCTTY, 0666)
                       : open_file(job.name, O_RDWR | O_APPEND | O_NOCTTY);
    if (fd >= 0 && fstat(fd, st) == 0 && S_ISFIFO(st->st_mode)) {
        close(fd);
        fd = open_file(job.name, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY);
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

// Opens the existing table and takes its fcntl lock. A table that was
// replaced (renamed over, or removed) while this run waited for the lock is
// let go and the name opened again, so the row lands in the table that the
// name now names. Returns an open descriptor with *st its status, or -1
// with *err set.
int open_table_locked(const append_job& job, struct stat* st, int* err, FILE* notices)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = open_table(job, st, err);
        if (fd < 0)
            return -1;
        *err = lock_table(fd, job.name, notices);
        if (*err == 0 && fstat(fd, st) != 0)
            *err = errno;
        if (*err != 0) {
            close(fd);
            return -1;
        }
        struct stat now;
        if (stat(job.name, &now) == 0 && now.st_dev == st->st_dev && now.st_ino == st->st_ino)
            return fd;
        close(fd);
    }
    *err = EAGAIN;
    return -1;
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
    if (row_size > 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, size, static_cast<off_t>(row_size)) != 0 &&
        (errno == ENOSPC || errno == EDQUOT || errno == EFBIG))
        return errno;
    return 0;
}

// Syncs the directory of path, so that a name made or renamed there lasts.
// A file system that can't sync a directory (EINVAL) keeps its names as it
// makes them.
int sync_directory_of(const char* path)
{
    char dir[PATH_MAX + 16];
    std::snprintf(dir, sizeof dir, "%s", path);
    char* slash = std::strrchr(dir, '/');
    if (slash == nullptr)
        return 0;
    slash[slash == dir ? 1 : 0] = '\0';
    int fd = open_file(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return errno;
    int err = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    close(fd);
    return err;
}

// Where the table's append record lives, and what the run knows of it.
struct record_place {
    char path[PATH_MAX + 16] = {};
    struct stat table = {};   // the table's status, by which a record's maker is judged
    struct stat maker = {};   // the record found there: who made it
    bool found = false;       // a record of another run was there, settled
    bool ours = false;        // the record there is this run's
    bool in_use = false;      // a live run's, of the table this name named before
    size_t size = 0;          // the record there, as last read or written
    char text[sizeof(append_record) + 128];
};

// What is in the record's place that no run of a writer of the table put
// there: never read as a record, never removed, cut or renamed on its word.
constexpr int record_planted = record_foreign + 1;

// Reads the record at place.path into r. Returns record_whole, record_torn
// (a file cut short: its run had not begun to change the table),
// record_foreign, record_planted (a symbolic link, or a file made by a user
// who may not write the table), or -1 where there is none; sets *err where
// it can't be read.
int read_record(record_place& place, append_record* r, int* err, double* age)
{
    struct stat& st = place.maker;
    int fd = open_file(place.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        *err = errno;
        if (lstat(place.path, &st) == 0 && (S_ISLNK(st.st_mode) || !made_by_a_writer_of(st, place.table)))
            return record_planted;
        return *err == ELOOP ? record_foreign : -1;
    }
    char* buf = place.text;
    ssize_t n = fstat(fd, &st) != 0                         ? -1
                : !made_by_a_writer_of(st, place.table)     ? -3
                : S_ISREG(st.st_mode)                       ? read_at(fd, buf, sizeof place.text, 0)
                                                            : -2;
    if (n == -1)
        *err = errno;
    close(fd);
    if (n == -1)
        return -1;
    if (n == -3)
        return record_planted;
    if (n < 0 || static_cast<size_t>(n) == sizeof place.text)
        return record_foreign;
    place.size = static_cast<size_t>(n);
    *age = static_cast<double>(time(nullptr) - st.st_mtime);
    return parse_append_record(buf, place.size, r);
}

// Writes r as the table's record: to a file of its own under a fresh name,
// synced, renamed into place, and the name synced. Returns 0 or the errno
// of a step.
int write_record(record_place& place, const append_record& r)
{
    const struct stat& table = place.table;
    char* buf = place.text;
    size_t size = place.size = format_append_record(r, buf, sizeof place.text);
    if (size == 0)
        return EOVERFLOW;
    char fresh[sizeof place.path + 32];
    int fd = make_temporary(place.path, fresh, sizeof fresh, table.st_mode & 0666);
    if (fd < 0)
        return errno;
    // Whoever may write the table may settle its record: its group (where
    // the run is one of it) and mode.
    (void)fchown(fd, static_cast<uid_t>(-1), table.st_gid);
    int err = fchmod(fd, table.st_mode & 0666) == 0 ? 0 : errno;
    if (err == 0)
        err = write_all(fd, buf, size);
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    // Synced, the record stands whatever close says.
    (void)close(fd);
    if (err == 0 && rename(fresh, place.path) != 0)
        err = errno;
    if (err != 0) {
        (void)unlink(fresh);
        return err;
    }
    return sync_directory_of(place.path);
}

// A record can't be kept where the run may not make files beside the
// table, or may not replace what is in the record's place (another user's
// file in a sticky directory); the append goes on without one. (ENOENT: a
// run appending to the table this name named before, renamed over since,
// took the file being written.)
bool no_room_for_record(int err)
{
    return err == EACCES || err == EPERM || err == EROFS || err == ENOENT || err == EEXIST || err == EISDIR;
}

// Locks the other file of an append, waiting for it. A file system
// without locks leaves it to the table's lock, which every run appending
// there takes too.
void lock_also(int fd)
{
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    while (fcntl(fd, F_SETLKW, &fl) != 0 && errno == EINTR) {
    }
}

// Whether bytes (n of them) are what an append puts into a record file:
// one line of a case's record, after a newline where the file's last line
// had none.
bool is_record_append(const char* bytes, size_t n)
{
    bool newline = n > 0 && bytes[0] == '\n';
    return is_record_line(bytes + newline, n - newline);
}

// Takes out of the other file of a stopped run's append the bytes it put
// there, where they are still that file's last, are one line of a case's
// record that starts a line, and the record's maker (made) could have
// written that file. With keep_whole, bytes that are all there stay (an
// append of a record alone, whose line is in once whole).
void cut_also(const append_record& r, const struct stat& made, const char* name, bool keep_whole, FILE* said)
{
    const char* bytes = r.bytes + r.write_size + r.cut_size;
    if (!is_record_append(bytes, r.also_size)) {
        std::fprintf(said, "energy-totals: %s: its append record names bytes of %s that are no line of a "
                           "case's record; that file was left as it is\n", name, r.also_path);
        return;
    }
    int fd = open_file(r.also_path, O_RDWR | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0)
        return;
    lock_also(fd);
    struct stat st;
    static char tail[max_append_size + 2];
    char before = '\n';
    if (fstat(fd, &st) == 0 && !made_by_a_writer_of(made, st)) {
        std::fprintf(said, "energy-totals: %s: its append record was made by a user who may not write %s; "
                           "that file was left as it is\n", name, r.also_path);
    } else if (static_cast<unsigned long long>(st.st_ino) == r.also_inode && st.st_size > r.also_start &&
               static_cast<size_t>(st.st_size - r.also_start) <= r.also_size &&
               !(keep_whole && static_cast<size_t>(st.st_size - r.also_start) == r.also_size)) {
        auto n = static_cast<size_t>(st.st_size - r.also_start);
        bool starts_line = bytes[0] == '\n' || r.also_start == 0 ||
                           (read_at(fd, &before, 1, r.also_start - 1) == 1 && before == '\n');
        if (starts_line && read_at(fd, tail, n, r.also_start) == static_cast<ssize_t>(n) &&
            std::memcmp(tail, bytes, n) == 0 && ftruncate(fd, r.also_start) == 0 && fsync(fd) == 0)
            std::fprintf(said, "energy-totals: %s: removed from %s the %zu bytes a run stopped before %s put "
                               "there\n", name, r.also_path, n, keep_whole ? "its record line was whole" : "its row");
    }
    close(fd);
}

struct table_end {
    long long start = 0;     // where the row goes: the table's length, less a cut
    size_t cut_size = 0;     // bytes from start on that a stopped run left, to cut
    char cut[sizeof(append_record::bytes) / 2];
    bool newline_first = false;
};

// Settles the record a stopped run left, where there is one, into end.
// Returns 0, or an errno where the record is in the way (not this tool's,
// or unreadable), having said so.
int settle_record(int fd, const char* name, const struct stat& st, record_place& place,
                  table_end& end, FILE* said)
{
    // Static, as a record holds a whole append.
    static append_record r;
    clear_head(r, offsetof(append_record, bytes));
    int err = 0;
    double age = 0;
    int kind = read_record(place, &r, &err, &age);
    end.start = st.st_size;
    if (kind == -1 && err == 0)
        return 0;
    if (kind == record_planted) {
        std::fprintf(said, "energy-totals: %s: %s, in the place of its append record, is %s uid %u, who may not "
                           "write the table; it is ignored\n", name, place.path,
                     S_ISLNK(place.maker.st_mode) ? "a symbolic link of" : "a file of",
                     static_cast<unsigned>(place.maker.st_uid));
        return 0;
    }
    if (kind == record_foreign || kind == -1) {
        std::fprintf(said,
                     "energy-totals: %s: %s is in the place of its append record, but is no "
                     "record of energy-totals%s%s%s: remove it\n",
                     name, place.path, err != 0 ? " (" : "", err != 0 ? std::strerror(err) : "",
                     err != 0 ? ")" : "");
        return err != 0 ? err : EEXIST;
    }
    place.found = true;
    if (kind == record_torn) {
        std::fprintf(said, "energy-totals: %s: removed an append record a stopped run left before "
                           "it changed the table\n", name);
        return 0;
    }
    // A record of another table of this name (one renamed over this since)
    // may be a live run's, whose lock is that table's: it is left to it,
    // and judged by its age as a lock file is.
    if (r.inode != static_cast<unsigned long long>(st.st_ino) && age <= stale_lock_seconds) {
        place.found = false;
        place.in_use = true;
        return 0;
    }
    static char tail[sizeof r.bytes + 1];
    size_t want = (r.write_size > r.cut_size ? r.write_size : r.cut_size) + 1;
    ssize_t n = r.start <= st.st_size ? read_at(fd, tail, want, r.start) : 0;
    if (n < 0)
        return errno;
    int state = settle_state(r, static_cast<unsigned long long>(st.st_ino), st.st_size, tail,
                             static_cast<size_t>(n));
    // A stopped append of a record alone left its line whole or in part,
    // whatever the table shows; a row's record line goes with a row that
    // is not whole.
    bool alone = r.write_size == 0;
    if (r.also_path[0] != '\0' && (alone || state == record_part || state == record_nothing))
        cut_also(r, place.maker, name, alone, said);
    if (state == record_part) {
        end.start = r.start;
        end.cut_size = static_cast<size_t>(st.st_size - r.start);
        std::memcpy(end.cut, tail, end.cut_size);
        std::fprintf(said, "energy-totals: %s: removed %zu bytes of a row left by a run stopped "
                           "while it wrote (its append record %s)\n", name, end.cut_size, place.path);
    } else if (state == record_stale) {
        std::fprintf(said, "energy-totals: %s: the append record %s does not match the table's end, "
                           "which was changed since; nothing was cut\n", name, place.path);
    }
    return 0;
}

// Whether the table's last byte before start is a line's end, or (in a
// table of rows) a tab or blank that a caller put there for the row to
// follow. Returns 0 or errno.
int look_at_last_byte(int fd, table_end& end, bool lines)
{
    char last = '\n';
    if (end.start > 0 && read_at(fd, &last, 1, end.start - 1) != 1)
        return errno != 0 ? errno : EIO;
    end.newline_first = last != '\n' && (lines || (last != '\t' && last != ' '));
    return 0;
}

// Whether the table, read up to end, holds a row of the run's shape
// labelled label; *line is its number. Returns 0, or the errno of a read.
int find_labelled_row(int fd, long long end, const char* label, int figures, int cpus,
                      unsigned long long* line, unsigned long long* crlf)
{
    size_t length = std::strlen(label);
    *line = 0;
    return each_table_line(fd, end, crlf, [&](const char* p, size_t n, unsigned long long number,
                                              long long, bool whole) {
        // The label's own bytes at the line's end first: most lines fail there.
        if (*line == 0 && whole && n > length + 2 && std::memcmp(p + n - length, label, length) == 0 &&
            p[n - length - 1] == '\t' && is_row_of(split_row(p, n), figures, true, cpus))
            *line = number;
    });
}

// Whether the lock is still the run's and the file open on fd ends
// within the size bytes from start: no other run wrote to it since the run
// read it (size 0: it is as long as the run read it), so the run may write
// at its end, or take its own bytes back.
bool only_ours_after(const lock_file& lock, int fd, long long start, size_t size)
{
    struct stat st;
    return lock_file_still_held(lock) && fstat(fd, &st) == 0 && st.st_size >= start &&
           st.st_size <= start + static_cast<long long>(size);
}

// Removes the record, where the lock is still the run's and the record is
// still the one it read or wrote. Returns 0 or errno.
int remove_record(record_place& place, const lock_file& lock)
{
    if (!lock_file_still_held(lock))
        return ENOLCK;
    static append_record r;
    static record_place now;
    clear_head(now, offsetof(record_place, text));
    std::memcpy(now.path, place.path, sizeof now.path);
    now.table = place.table;
    int err = 0;
    double age;
    int kind = read_record(now, &r, &err, &age);
    if (kind == record_planted)
        return 0;
    if (kind != -1 && now.size == place.size && std::memcmp(now.text, place.text, now.size) == 0 &&
        unlink(place.path) != 0 && errno != ENOENT)
        return errno;
    place.found = place.ours = false;
    return err;
}

// Puts the table back as it was before this run changed it (where touched:
// it cut or wrote): its length where the row started, and the bytes the run
// cut. The record stays where there were such bytes, so that the next run
// cuts them again. Only where the table still ends within the run's row,
// under the run's lock.
int put_back(int fd, const table_end& end, size_t write_size, bool touched, record_place& place,
             const lock_file& lock)
{
    if (touched && !only_ours_after(lock, fd, end.start, write_size))
        return ENOLCK;
    int err = !touched || ftruncate(fd, end.start) == 0 ? 0 : errno;
    if (touched && err == 0 && end.cut_size > 0)
        err = write_all(fd, end.cut, end.cut_size);
    if (touched && err == 0 && fsync(fd) != 0)
        err = errno;
    if (err == 0 && end.cut_size == 0 && place.ours)
        err = remove_record(place, lock);
    return err;
}

// Says that another run took the lock while this one was stopped past the
// stale rule (suspended) and resumed, and what this one did.
void say_lock_lost(FILE* said, const char* name, const lock_file& lock, const char* what)
{
    if (lock.path[0] != '\0')
        std::fprintf(said, "energy-totals: %s: the lock file %s was broken by another run while this one "
                           "was stopped; %s\n", name, lock.path, what);
    else
        std::fprintf(said, "energy-totals: %s: another run wrote while this one held the lock; %s\n", name, what);
}

// Opens, locks and looks at the other file of the append (made where
// missing, reached through no other user's link), and puts its bytes into
// r after the cut ones. Returns 0 with *fd its descriptor, or errno.
int open_also(const append_also& also, append_record& r, int* fd)
{
    *fd = open_not_through_others_link(also.path, O_RDWR | O_APPEND | O_CREAT | O_NOCTTY, 0666);
    if (*fd < 0)
        return errno;
    lock_also(*fd);
    struct stat st;
    char last = '\n';
    if (fstat(*fd, &st) != 0 || realpath(also.path, r.also_path) == nullptr)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    if (st.st_size > 0 && read_at(*fd, &last, 1, st.st_size - 1) != 1)
        return errno != 0 ? errno : EIO;
    bool newline = last != '\n';
    r.also_inode = static_cast<unsigned long long>(st.st_ino);
    r.also_start = st.st_size;
    char* at = r.bytes + r.write_size + r.cut_size;
    if (newline)
        *at++ = '\n';
    std::memcpy(at, also.bytes, also.size);
    r.also_size = also.size + newline;
    return 0;
}

// Appends the other file's bytes and syncs them. Returns 0, or ENOLCK
// where the file is no longer as the run read it under its lock (another
// run wrote since): nothing written then, or, where the bytes went in after
// another run's, *landed set.
int write_also(int fd, const append_record& r, const lock_file& lock, bool* landed)
{
    *landed = false;
    if (!only_ours_after(lock, fd, r.also_start, 0))
        return ENOLCK;
    int err = write_all(fd, r.bytes + r.write_size + r.cut_size, r.also_size);
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (err == 0 && lseek(fd, 0, SEEK_CUR) != r.also_start + static_cast<long long>(r.also_size)) {
        *landed = true;
        return ENOLCK;
    }
    return err;
}

// Takes the other file's bytes out again, where they are still its last.
void take_also_back(int fd, const append_record& r, const lock_file& lock)
{
    if (only_ours_after(lock, fd, r.also_start, r.also_size) && ftruncate(fd, r.also_start) == 0)
        (void)fsync(fd);
}

// Writes this run's append record, where it can: where it can't be made,
// the append goes on without one, said. Returns 0 or the errno that stops
// the append.
int keep_record(record_place& place, const append_record& r, const char* name, FILE* said)
{
    if (place.in_use)
        return 0;
    int err = write_record(place, r);
    if (err == 0) {
        place.ours = true;
        return 0;
    }
    if (!no_room_for_record(err))
        return err;
    std::fprintf(said,
                 "energy-totals: %s: no append record can be made beside it (%s): a run stopped "
                 "while it writes would leave part of its row\n", name, std::strerror(err));
    return 0;
}

// Appends the row to a regular table, under its lock: settles a stopped
// run's record, looks for the label (--once), checks for room, writes the
// record, the other file's bytes and the row, syncs, and puts the table
// back if any of that fails. Returns as append_results_row does.
int append_to_file(int fd, const append_job& job, const struct stat& st, int* undo_error, FILE* said,
                   bool* skipped, record_place& place, const lock_file& lock, int* also_fd)
{
    const char* name = job.name;
    static table_end end;
    clear_head(end, offsetof(table_end, cut));
    end.newline_first = false;
    place.table = st;
    int err = settle_record(fd, name, st, place, end, said);
    if (err == 0)
        err = look_at_last_byte(fd, end, job.lines);
    if (err != 0)
        return err;
    end.newline_first = end.newline_first && job.size > 0;
    if (job.once != nullptr) {
        unsigned long long line = 0, crlf = 0;
        err = find_labelled_row(fd, end.start, job.once, job.figures, job.cpus, &line, &crlf);
        if (err != 0)
            return err;
        if (crlf > 0)
            std::fprintf(said, "energy-totals: %s: its lines end in a carriage return and a newline "
                               "(%llu of them); both are read as the line's end\n", name, crlf);
        if (line != 0) {
            std::fprintf(said, "energy-totals: %s: line %llu is a row labelled ", name, line);
            quote_bytes(said, job.once, std::strlen(job.once), max_label_length);
            std::fputs(" already; none appended (--once)\n", said);
            *skipped = true;
            // A record whose row is whole, or never begun, is settled; one
            // whose part row is still there stays for the run that cuts it.
            if (place.found && end.cut_size == 0)
                (void)remove_record(place, lock);
            hold_signals();
            return 0;
        }
    }
    static append_record r;
    clear_head(r, offsetof(append_record, bytes));
    r.inode = static_cast<unsigned long long>(st.st_ino);
    r.start = end.start;
    r.write_size = job.size + end.newline_first;
    r.bytes[0] = '\n';
    std::memcpy(r.bytes + end.newline_first, job.row, job.size);
    r.cut_size = end.cut_size;
    std::memcpy(r.bytes + r.write_size, end.cut, end.cut_size);
    err = check_room(fd, end.start, r.write_size);
    if (err == 0 && job.also != nullptr && (err = open_also(*job.also, r, also_fd)) != 0 &&
        job.also->failed != nullptr)
        *job.also->failed = err;
    if (err != 0)
        return err;
    hold_signals();
    if (!lock_file_still_held(lock)) {
        say_lock_lost(said, name, lock, "it changed nothing");
        return ENOLCK;
    }
    err = keep_record(place, r, name, said);
    if (err != 0)
        return err;
    // The other file's bytes first, synced: a row that is in has them.
    // Each write goes at the file's end as it is, once the run has seen
    // that its lock still holds and the file is as it read it.
    if (*also_fd >= 0) {
        if (before_write != nullptr)
            before_write(0);
        bool landed = false;
        err = write_also(*also_fd, r, lock, &landed);
        if (err != 0 && job.also->failed != nullptr)
            *job.also->failed = err;
        if (err == ENOLCK) {
            char what[sizeof r.also_path + 160];
            std::snprintf(what, sizeof what, landed ? "its record line went into %s after another run's, and its "
                                                      "row was not written" : "it changed nothing", r.also_path);
            say_lock_lost(said, name, lock, what);
            return ENOLCK;
        }
    }
    if (before_write != nullptr)
        before_write(1);
    if (err == 0 && !only_ours_after(lock, fd, st.st_size, 0)) {
        char what[sizeof r.also_path + 160];
        std::snprintf(what, sizeof what, *also_fd >= 0 ? "its record line is in %s, and its row was not written"
                                                       : "it changed nothing", r.also_path);
        say_lock_lost(said, name, lock, what);
        return ENOLCK;
    }
    bool touched = err == 0;
    if (err == 0 && end.cut_size > 0 && ftruncate(fd, end.start) != 0)
        err = errno;
    if (err == 0)
        err = write_all(fd, r.bytes, r.write_size);
    if (err == 0 && before_row_sync != nullptr)
        before_row_sync();
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (err != 0) {
        if (*also_fd >= 0)
            take_also_back(*also_fd, r, lock);
        *undo_error = put_back(fd, end, r.write_size, touched, place, lock);
        return err;
    }
    if (end.newline_first)
        std::fprintf(said, "energy-totals: %s: its last line had no newline; one was put before the %s\n",
                     name, job.lines ? "record" : "row");
    // Once the row is synced it is in, whatever happens to the record: a
    // record left behind is settled by the next run, which finds the row
    // whole (or, where another run appended since, leaves it be).
    if (r.write_size > 0 && lseek(fd, 0, SEEK_CUR) != end.start + static_cast<long long>(r.write_size))
        say_lock_lost(said, name, lock, "its row went in once, after another run's");
    else if ((place.ours || place.found) && remove_record(place, lock) == ENOLCK)
        say_lock_lost(said, name, lock, "what it wrote went in once; its append record was left for the next run");
    return 0;
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

// Sets up the record's place beside the table's real path. Returns 0 or
// errno.
int place_record(const char* name, record_place& place)
{
    char real[PATH_MAX];
    if (realpath(name, real) == nullptr)
        return errno;
    std::snprintf(place.path, sizeof place.path, "%s.append", real);
    return 0;
}

// Writes what the append has to say to notices, in one piece, once the
// lock is let go.
void say_at_once(FILE* said, const char* text, FILE* notices)
{
    std::fflush(said);
    long length = std::ftell(said);
    if (length > 0) {
        std::fwrite(text, 1, static_cast<size_t>(length), notices);
        std::fflush(notices);
    }
}

// Appends as append_results_row does, the job saying what.
int append(const append_job& job, int* undo_error, FILE* notices, bool* skipped)
{
    *undo_error = 0;
    bool ignored = false;
    if (skipped == nullptr)
        skipped = &ignored;
    *skipped = false;
    if (job.size > max_append_size || (job.also != nullptr && job.also->size > max_append_size))
        return EOVERFLOW;
    int also_fd = -1;
    static char text[8192];
    FILE* said = fmemopen(text, sizeof text, "w");
    if (said == nullptr)
        return errno;
    struct stat st;
    int err = 0;
    lock_file lock;
    // Static: a record holds a whole append, which the stack need not carry.
    static record_place place;
    clear_head(place, offsetof(record_place, text));
    const char* name = job.name;
    int fd = open_table_locked(job, &st, &err, notices);
    // Where each node keeps its own locks, the lock file is taken too, and
    // the table opened again once it is held, so that its end is read fresh
    // from the server. Signals are held from the lock file's link to the
    // exit, so none can leave it behind.
    if (fd >= 0 && S_ISREG(st.st_mode) && locks_are_node_local(st.st_dev)) {
        close(fd);
        fd = -1;
        if (st.st_nlink > 1) {
            std::fprintf(said,
                         "energy-totals: %s: it has %ju hard links, and its file system keeps locks "
                         "within each node, so runs through another name would take another lock "
                         "file: link it with ln -s instead\n", name, static_cast<uintmax_t>(st.st_nlink));
            err = EMLINK;
        } else if ((err = take_lock_file(name, lock, notices, {st.st_mode, static_cast<long>(st.st_gid), st.st_uid})) == 0) {
            fd = open_table_locked(job, &st, &err, said);
        }
    }
    if (fd >= 0 && S_ISREG(st.st_mode) && (err = place_record(name, place)) == 0) {
        err = append_to_file(fd, job, st, undo_error, said, skipped, place, lock, &also_fd);
    } else if (fd >= 0 && job.also != nullptr) {
        err = EINVAL; // a FIFO or a device can't be taken back with the other file
    } else if (fd >= 0 && S_ISFIFO(st.st_mode)) {
        err = append_to_fifo(fd, job.row, job.size);
    } else if (fd >= 0 && !S_ISREG(st.st_mode)) {
        // A device: written to as it is, and synced where it can be.
        hold_signals();
        err = write_all(fd, job.row, job.size);
        if (err == 0 && fsync(fd) != 0 && errno != EINVAL)
            err = errno;
    }
    // Once synced, the row is in the table whatever close says. The table
    // is closed before the lock file goes, so the next holder reads it.
    if (fd >= 0)
        (void)close(fd);
    if (also_fd >= 0)
        (void)close(also_fd);
    int release_err = release_lock_file(lock);
    if (release_err != 0)
        std::fprintf(said, "energy-totals: %s: can't remove the lock file %s: %s\n", name, lock.path,
                     std::strerror(release_err));
    if (lock.path[0] != '\0')
        remove_leftovers(lock);
    say_at_once(said, text, notices);
    std::fclose(said);
    return err;
}

} // namespace

void (*before_row_sync)() = nullptr;
void (*before_write)(int) = nullptr;

int append_results_row(const char* name, const char* row, size_t size, int* undo_error,
                       FILE* notices, const char* once, bool* skipped, int figures, int cpus,
                       const append_also* also)
{
    return append({name, row, size, once, figures, cpus, also, false}, undo_error, notices, skipped);
}

int append_line(const char* path, const char* bytes, size_t size, FILE* notices)
{
    int undo_error = 0;
    return append({path, bytes, size, nullptr, 0, 0, nullptr, true}, &undo_error, notices, nullptr);
}
