#include "summary_output.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
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

// Without locks (some network and user-space file systems) rows are still
// appended with O_APPEND; only runs racing on such a system may interleave.
bool no_locks_here(int err)
{
    return err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS;
}

// Opens the existing table for appending and takes the lock. A table that
// was replaced (renamed over, or removed) while this run waited for the lock
// is let go and the name opened again, so the row lands in the table that
// the name now names. Returns an open descriptor with *st its status, or -1
// with *err set.
int open_table_locked(const char* name, struct stat* st, int* err)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = open(name, O_RDWR | O_APPEND | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            *err = errno;
            return -1;
        }
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        int status;
        while ((status = fcntl(fd, F_SETLKW, &lock)) == -1 && errno == EINTR) {
        }
        if (status == -1 && !no_locks_here(errno)) {
            *err = errno;
            close(fd);
            return -1;
        }
        struct stat now;
        if (fstat(fd, st) != 0) {
            *err = errno;
            close(fd);
            return -1;
        }
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

} // namespace

int append_results_row(const char* name, const energy_summary& s)
{
    char row[results_row_size];
    int length = format_results_row(s, row, sizeof row);

    struct stat st;
    int err = 0;
    int fd = open_table_locked(name, &st, &err);
    if (fd < 0)
        return err;

    err = write_all(fd, row, static_cast<size_t>(length));
    // A device or pipe that cannot be synced (EINVAL) has taken the row.
    if (err == 0 && fsync(fd) != 0 && errno != EINVAL)
        err = errno;
    if (err != 0) {
        // Still under the lock, so no other run's row is cut off.
        if (S_ISREG(st.st_mode))
            (void)ftruncate(fd, st.st_size);
        close(fd);
        return err;
    }
    if (close(fd) != 0)
        return errno;
    return 0;
}
