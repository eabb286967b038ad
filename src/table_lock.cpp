#include "table_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Whether the comma-separated options hold option, whole.
bool has_option(const char* options, size_t length, const char* option)
{
    size_t n = std::strlen(option);
    for (const char* p = options; p < options + length;) {
        const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(options + length - p)));
        const char* end = comma != nullptr ? comma : options + length;
        if (static_cast<size_t>(end - p) == n && std::memcmp(p, option, n) == 0)
            return true;
        p = end + 1;
    }
    return false;
}

// The next field of a mountinfo line, separated by a blank.
const char* field(const char*& p, size_t* length)
{
    while (*p == ' ')
        ++p;
    const char* start = p;
    while (*p != ' ' && *p != '\n' && *p != '\0')
        ++p;
    *length = static_cast<size_t>(p - start);
    return start;
}

double seconds_now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double modified(const struct stat& st)
{
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
}

// The lock file's holder, "HOST PID", as read; empty where it can't be.
void read_holder(const char* path, char* content, size_t size)
{
    content[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    ssize_t n = read(fd, content, size - 1);
    content[n > 0 ? n : 0] = '\0';
    close(fd);
}

// Makes the run's own file beside the lock, holding its "HOST PID", and
// links it to the lock; the link count of the run's file says whether the
// link was made, which an NFS reply lost in transit can't hide. Sets
// *server_now to the file's time, the server's clock. Returns 0 with *held
// set, or the errno of a file that can't be made.
int try_lock(const lock_file& lock, const char* mine, const char* content, bool* held,
             double* server_now)
{
    *held = false;
    int fd = open(mine, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno;
    size_t length = std::strlen(content);
    struct stat st;
    int err = write(fd, content, length) == static_cast<ssize_t>(length) && fstat(fd, &st) == 0 ? 0 : errno != 0 ? errno : EIO;
    close(fd);
    if (err == 0) {
        *server_now = modified(st);
        (void)link(mine, lock.path);
        *held = stat(mine, &st) == 0 && st.st_nlink == 2;
    }
    unlink(mine);
    return err;
}

// Removes the lock file if it is still the one judged stale.
void break_lock(const lock_file& lock, const struct stat& judged)
{
    struct stat now;
    if (lstat(lock.path, &now) == 0 && now.st_ino == judged.st_ino &&
        now.st_mtim.tv_sec == judged.st_mtim.tv_sec && now.st_mtim.tv_nsec == judged.st_mtim.tv_nsec)
        unlink(lock.path);
}

} // namespace

bool read_mountinfo_line(const char* line, unsigned* major, unsigned* minor, bool* node_local)
{
    const char* p = line;
    size_t length;
    field(p, &length); // mount id
    field(p, &length); // parent id
    const char* device = field(p, &length);
    if (std::sscanf(device, "%u:%u", major, minor) != 2)
        return false;
    field(p, &length); // root
    field(p, &length); // mount point
    size_t mount_options_length;
    const char* mount_options = field(p, &mount_options_length);
    // Optional fields, up to the separator.
    for (;;) {
        const char* f = field(p, &length);
        if (length == 0)
            return false;
        if (length == 1 && *f == '-')
            break;
    }
    size_t type_length;
    const char* type = field(p, &type_length);
    field(p, &length); // source
    size_t super_length;
    const char* super = field(p, &super_length);
    auto is = [&](const char* name) {
        return std::strlen(name) == type_length && std::memcmp(type, name, type_length) == 0;
    };
    auto option = [&](const char* name) {
        return has_option(mount_options, mount_options_length, name) ||
               has_option(super, super_length, name);
    };
    if (is("nfs") || is("nfs4"))
        *node_local = option("nolock") || option("local_lock=posix") || option("local_lock=all");
    else if (is("lustre"))
        *node_local = option("localflock");
    else
        *node_local = is("beegfs") || is("fuse.beegfs");
    return true;
}

bool locks_are_node_local(dev_t dev)
{
    FILE* info = std::fopen("/proc/self/mountinfo", "re");
    if (info == nullptr)
        return false;
    char* line = nullptr;
    size_t size = 0;
    bool node_local = false;
    while (getline(&line, &size, info) > 0) {
        unsigned major, minor;
        bool local;
        if (read_mountinfo_line(line, &major, &minor, &local) && major == ::major(dev) &&
            minor == ::minor(dev)) {
            node_local = local;
            break;
        }
    }
    std::free(line);
    std::fclose(info);
    return node_local;
}

bool lock_is_stale(const char* content, const char* this_host, double age)
{
    char host[256];
    long pid = 0;
    if (std::sscanf(content, "%255s %ld", host, &pid) == 2 && pid > 0 &&
        std::strcmp(host, this_host) == 0)
        return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    return age > stale_lock_seconds;
}

void say_waiting(const char* name, FILE* notices)
{
    std::fprintf(notices, "energy-totals: %s: waiting for the lock, held by another run\n", name);
    std::fflush(notices);
}

int take_lock_file(const char* name, lock_file& lock, FILE* notices)
{
    char real[PATH_MAX];
    if (realpath(name, real) == nullptr)
        return errno;
    std::snprintf(lock.path, sizeof lock.path, "%s.lock", real);
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        std::strcpy(host, "localhost");
    char mine[sizeof lock.path + 300];
    std::snprintf(mine, sizeof mine, "%s.%s.%ld", lock.path, host, static_cast<long>(getpid()));
    char content[300];
    std::snprintf(content, sizeof content, "%s %ld\n", host, static_cast<long>(getpid()));

    double start = seconds_now();
    bool said = false;
    long pause_ns = 5'000'000;
    unsigned jitter = static_cast<unsigned>(getpid()) * 2654435761u;
    for (;;) {
        double server_now = 0;
        int err = try_lock(lock, mine, content, &lock.held, &server_now);
        if (err != 0) {
            std::fprintf(notices,
                         "energy-totals: %s: its file system keeps locks within each node, and "
                         "the lock file every node sees can't be made beside it (%s)\n",
                         name, mine);
            return err;
        }
        if (lock.held)
            return 0;
        struct stat st;
        if (lstat(lock.path, &st) == 0) {
            char holder[300];
            read_holder(lock.path, holder, sizeof holder);
            if (lock_is_stale(holder, host, server_now - modified(st))) {
                break_lock(lock, st);
                continue;
            }
        }
        if (!said && seconds_now() - start >= 3) {
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

int release_lock_file(lock_file& lock)
{
    if (!lock.held)
        return 0;
    lock.held = false;
    return unlink(lock.path) == 0 ? 0 : errno;
}
