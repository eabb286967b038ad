#include "summary_output.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "open_file.h"
#include "table_lock.h"

void print_console_summary(const energy_summary& s, FILE* out)
{
    std::fprintf(out,
                 "total energy: %f\nCPU1: %f\nCPU2: %f\ntotal CPU: %f\nGPU1: %f\n"
                 "GPU2: %f\nGPU3: %f\nGPU4: %f\ntotal GPU: %f\n",
                 s.total_energy, s.cpu1, s.cpu2, total_cpu(s), s.gpu1, s.gpu2, s.gpu3,
                 s.gpu4, total_gpu(s));
}

table_name results_table_name(int32_t results_id)
{
    table_name name;
    if (results_id < 1)
        std::snprintf(name.text, sizeof name.text, "results.txt");
    else
        std::snprintf(name.text, sizeof name.text, "results%d.txt", results_id);
    return name;
}

int format_results_row(const energy_summary& s, const char* label, char* buf, size_t size)
{
    return std::snprintf(buf, size, "%g\t\t%g\t\t%g\t\t%g\t\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g%s%s\n",
                         s.total_energy, s.cpu1, s.cpu2, total_cpu(s), s.gpu1, s.gpu2,
                         s.gpu3, s.gpu4, total_gpu(s), label != nullptr ? "\t\t" : "",
                         label != nullptr ? label : "");
}

namespace {

// How much of a figure as %g writes it (a minus, then inf, nan, or digits
// with a point and an exponent of two or more digits, each optional) the
// bytes [p, end) hold: 2 all of one, 1 the start of one, 0 neither.
int match_figure(const char* p, const char* end)
{
    enum { start, minus, whole, point, fraction, e, e_sign, e_digit, e_digits, word };
    int state = start;
    const char* word_text = nullptr;
    int word_at = 0;
    for (; p < end; ++p) {
        char c = *p;
        bool digit = c >= '0' && c <= '9';
        switch (state) {
        case start:
        case minus:
            if (c == '-' && state == start) {
                state = minus;
            } else if (digit) {
                state = whole;
            } else if (c == 'i' || c == 'n') {
                word_text = c == 'i' ? "inf" : "nan";
                word_at = 1;
                state = word;
            } else {
                return 0;
            }
            break;
        case whole:
            state = digit ? whole : c == '.' ? point : c == 'e' ? e : -1;
            break;
        case point:
        case fraction:
            state = digit ? fraction : c == 'e' && state == fraction ? e : -1;
            break;
        case e:
            state = c == '+' || c == '-' ? e_sign : -1;
            break;
        case e_sign:
        case e_digit:
        case e_digits:
            state = !digit ? -1 : state == e_sign ? e_digit : e_digits;
            break;
        case word:
            if (word_at == 3 || c != word_text[word_at])
                return 0;
            ++word_at;
            break;
        }
        if (state < 0)
            return 0;
    }
    bool whole_figure = state == whole || state == fraction || state == e_digits ||
                        (state == word && word_at == 3);
    return whole_figure ? 2 : 1;
}

} // namespace

bool is_row_fragment(const char* p, size_t size)
{
    const char* end = p + size;
    if (size == 0)
        return false;
    for (int figure = 1; figure <= 9; ++figure) {
        const char* tab = static_cast<const char*>(std::memchr(p, '\t', static_cast<size_t>(end - p)));
        int match = match_figure(p, tab != nullptr ? tab : end);
        if (tab == nullptr)
            return match > 0;
        if (match < 2)
            return false;
        // The tabs after it: three after total CPU, else two; after the
        // last figure, those before a label.
        int tabs = figure == 4 ? 3 : 2;
        p = tab;
        for (int i = 0; i < tabs; ++i, ++p) {
            if (p == end)
                return true;
            if (*p != '\t')
                return false;
        }
        if (figure == 9) {
            // The label: no tab, CR or newline in it.
            for (; p < end; ++p)
                if (*p == '\t' || *p == '\r' || *p == '\n')
                    return false;
            return true;
        }
    }
    return false;
}

namespace {

// How long a run waits for the lock before it says that it is waiting.
constexpr int lock_notice_seconds = 3;

// What statfs says of a file system mounted over NFS, any version.
constexpr long nfs_super_magic = 0x6969;

volatile sig_atomic_t lock_wait_is_long = 0;

void note_long_lock_wait(int)
{
    lock_wait_is_long = 1;
}


// Waits in the kernel for the lock that another run holds. Once the wait has
// lasted lock_notice_seconds it says so, once, on notices. The timer that
// tells it so ticks on a real-time signal, so that the signals a scheduler
// sends keep their meaning; it ticks every second after that, in case a tick
// arrived just before the wait began. Returns 0 or the errno of the lock.
int wait_for_lock(int fd, struct flock* lock, const char* name, FILE* notices)
{
    int tick = SIGRTMIN;
    struct sigaction action = {}, old_action;
    action.sa_handler = note_long_lock_wait; // no SA_RESTART: a tick ends the wait
    sigemptyset(&action.sa_mask);
    sigaction(tick, &action, &old_action);
    struct sigevent event = {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = tick;
    timer_t timer;
    bool timed = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (timed) {
        struct itimerspec when = {{1, 0}, {lock_notice_seconds, 0}};
        timer_settime(timer, 0, &when, nullptr);
    }
    lock_wait_is_long = 0;
    int err = 0;
    while (fcntl(fd, F_SETLKW, lock) != 0) {
        if (errno != EINTR) {
            err = errno;
            break;
        }
        if (lock_wait_is_long && timed) {
            say_waiting(name, notices);
            timer_delete(timer);
            timed = false;
        }
    }
    if (timed)
        timer_delete(timer);
    sigaction(tick, &old_action, nullptr);
    return err;
}

// Asks for the lock again and again until it is granted. On NFS a waiting
// lock is retried by the client itself after ever longer pauses, up to half
// a minute (NFSv4), so when many runs of a sweep finish together most of
// them sleep long after the lock is free. Asking every few milliseconds at
// first, then at most once a second, at jittered times so that the runs
// spread out, keeps the wait close to the time the lock is really held and
// the load on the server at a request a second a run. Says once on notices
// that it waits, as wait_for_lock does. Returns 0 or the errno of the lock.
int poll_for_lock(int fd, struct flock* lock, const char* name, FILE* notices)
{
    double start = monotonic_seconds();
    bool said = false;
    lock_backoff backoff;
    for (;;) {
        if (fcntl(fd, F_SETLK, lock) == 0)
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

// Takes the exclusive lock on the table, waiting for as long as another run
// holds it. Returns 0, or the errno of a lock that can't be had: a file
// system without working locks (ENOLCK, EOPNOTSUPP, ENOSYS) is a failure
// too, since rows appended without the lock can be lost or torn.
int lock_table(int fd, const char* name, FILE* notices)
{
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) == 0)
        return 0;
    if (errno != EAGAIN && errno != EACCES)
        return errno;
    struct statfs fs;
    if (fstatfs(fd, &fs) == 0 && fs.f_type == nfs_super_magic)
        return poll_for_lock(fd, &lock, name, notices);
    return wait_for_lock(fd, &lock, name, notices);
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

// Holds every signal that can be held (the kernel still delivers SIGKILL,
// SIGSTOP and a fault's own signal), so that none can end the run between
// its first change to the table and its exit. The C library's sigprocmask
// leaves out the two real-time signals it keeps for its threads, whose
// default is to end the process, so the kernel is asked directly.
void hold_signals()
{
    uint64_t all = ~uint64_t{0};
    (void)syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, nullptr, sizeof all);
}

// The length of the part of a row that an interrupted run left at the end
// of the table, whose size is size: the bytes after its last newline, or
// all of it if it has none, where they could be the start of a row. A tail
// longer than any row is not one. Returns 0 where there is none, or -1 with
// errno set where the table can't be read.
long long row_fragment_length(int fd, long long size)
{
    char tail[results_row_size];
    long long window = size < static_cast<long long>(sizeof tail) ? size : static_cast<long long>(sizeof tail);
    if (window == 0)
        return 0;
    ssize_t n;
    while ((n = pread(fd, tail, static_cast<size_t>(window), size - window)) < 0 && errno == EINTR) {
    }
    if (n < 0)
        return -1;
    if (n != window) {
        errno = EIO;
        return -1;
    }
    const char* nl = static_cast<const char*>(memrchr(tail, '\n', static_cast<size_t>(n)));
    if (nl == nullptr && window < size)
        return 0;
    const char* start = nl != nullptr ? nl + 1 : tail;
    size_t length = static_cast<size_t>(tail + n - start);
    return is_row_fragment(start, length) ? static_cast<long long>(length) : 0;
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
// left by an interrupted run, checks for room, writes, syncs, and takes the
// row back if any of that fails. Returns as append_results_row does.
int append_to_file(int fd, const char* name, const struct stat& st, const char* row, size_t size,
                   int* undo_error, FILE* notices)
{
    long long length = st.st_size;
    long long fragment = row_fragment_length(fd, length);
    if (fragment < 0)
        return errno;
    int err = check_room(fd, length - fragment, size);
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
    err = write_all(fd, row, size);
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
                       FILE* notices)
{
    *undo_error = 0;
    struct stat st;
    int err = 0;
    int fd = open_table_locked(name, &st, &err, notices);
    if (fd < 0)
        return err;
    // Where each node keeps its own locks, the lock file is taken too, and
    // the table opened again once it is held, so that its end is read fresh
    // from the server.
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
        err = append_to_file(fd, name, st, row, size, undo_error, notices);
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
