// Opening files above the standard descriptors.
#include "open_file.h"

#include <cerrno>

#include <fcntl.h>
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
