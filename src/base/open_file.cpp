// Opening and making files above the standard descriptors, and judging
// who made a file found beside the table.
#include "base/open_file.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

int open_file(const char* path, int flags, unsigned mode)
{
    int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd < 0 || fd > 2)
        return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    errno = err;
    return high;
}

long link_owner(const char* path)
{
    struct stat link;
    return lstat(path, &link) == 0 && S_ISLNK(link.st_mode) ? static_cast<long>(link.st_uid) : -1;
}

int open_not_through_others_link(const char* path, int flags, unsigned mode)
{
    int fd = open_file(path, flags | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != ELOOP)
        return fd;
    // ELOOP from O_NOFOLLOW: a link in the last place of the path,
    // followed only where it is the running user's.
    if (link_owner(path) != static_cast<long>(geteuid())) {
        errno = EPERM;
        return -1;
    }
    return open_file(path, flags, mode);
}

int make_temporary(const char* target, char* temp, size_t size, unsigned mode)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned long long token = 0;
        if (getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token))
            token = static_cast<unsigned long long>(getpid()) << 20 ^ static_cast<unsigned long long>(attempt);
        if (std::snprintf(temp, size, "%s.%016llx.new", target, token) >= static_cast<int>(size)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open_file(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool made_by_a_writer_of(const struct stat& made, const struct stat& file)
{
    return made.st_uid == 0 || made.st_uid == file.st_uid ||
           ((file.st_mode & S_IWGRP) != 0 && made.st_gid == file.st_gid) || (file.st_mode & S_IWOTH) != 0;
}

ssize_t read_at(int fd, char* buf, size_t size, long long offset)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, buf + got, size - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

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
