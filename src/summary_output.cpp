#include "summary_output.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

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

int format_results_row(const energy_summary& s, char* buf, size_t size)
{
    return std::snprintf(buf, size, "%g\t\t%g\t\t%g\t\t%g\t\t\t%g\t\t%g\t\t%g\t\t%g\t\t%g\n",
                         s.total_energy, s.cpu1, s.cpu2, total_cpu(s), s.gpu1, s.gpu2,
                         s.gpu3, s.gpu4, total_gpu(s));
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

void say_waiting(const char* name, FILE* notices)
{
    std::fprintf(notices, "energy-totals: %s: waiting for the lock, held by another run\n", name);
    std::fflush(notices);
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

double seconds_now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
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
    double start = seconds_now();
    bool said = false;
    long pause_ns = 5'000'000;
    unsigned jitter = static_cast<unsigned>(getpid()) * 2654435761u;
    for (;;) {
        if (fcntl(fd, F_SETLK, lock) == 0)
            return 0;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return errno;
        if (!said && seconds_now() - start >= lock_notice_seconds) {
            say_waiting(name, notices);
            said = true;
        }
        jitter = jitter * 1103515245u + 12345u;
        long ns = pause_ns / 2 + static_cast<long>((jitter >> 8) % static_cast<unsigned>(pause_ns));
        struct timespec pause = {ns / 1'000'000'000, ns % 1'000'000'000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        pause_ns = pause_ns < 500'000'000 ? pause_ns * 2 : 1'000'000'000;
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
    int fd = open(name, O_RDWR | O_APPEND | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, st) == 0 && S_ISFIFO(st->st_mode)) {
        close(fd);
        fd = open(name, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

// Holds back the signals that a scheduler or a user sends to stop a run.
void hold_stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT,
                                SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU};
    for (int sig : stop_signals)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

} // namespace

int append_results_row(const char* name, const energy_summary& s, FILE* notices)
{
    char row[results_row_size];
    int length = format_results_row(s, row, sizeof row);

    struct stat st;
    int err = 0;
    int fd = open_table_locked(name, &st, &err, notices);
    if (fd < 0)
        return err;

    hold_stop_signals();
    err = write_all(fd, row, static_cast<size_t>(length));
    // A device or pipe that cannot be synced (EINVAL) has taken the row.
    if (err == 0 && fsync(fd) != 0 && errno != EINVAL)
        err = errno;
    if (err != 0 && S_ISREG(st.st_mode)) {
        // Still under the lock, so no other run's row is cut off.
        if (ftruncate(fd, st.st_size) == 0)
            (void)fsync(fd);
    }
    // Once synced, the row is in the table whatever close says.
    (void)close(fd);
    return err;
}
