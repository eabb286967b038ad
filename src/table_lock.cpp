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

double modified(const struct stat& st)
{
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
}

// The lock file's holder, "HOST PID TOKEN", as read, and the file's status,
// fresh from the server (an open revalidates what the client cached).
// Returns false where it can't be read.
bool read_holder(const char* path, char* content, size_t size, struct stat* st)
{
    content[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, content, size - 1);
    content[n > 0 ? n : 0] = '\0';
    bool ok = n >= 0 && fstat(fd, st) == 0;
    close(fd);
    return ok;
}

// Makes a file of the run's own at mine holding content, and links it to
// target: the link made, or a link count of 2 asked afresh where the link
// seemed to fail (its reply lost in transit), says that target is the
// run's. Sets *server_now to the file's time, by the server's clock.
// Returns 0 with *made set, or the errno of a file that can't be made.
int link_own_file(const char* mine, const char* target, const char* content, bool* made,
                  double* server_now)
{
    *made = false;
    int fd = open(mine, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno;
    size_t length = std::strlen(content);
    struct stat st;
    bool written = write(fd, content, length) == static_cast<ssize_t>(length) && fstat(fd, &st) == 0;
    int err = written ? 0 : errno != 0 ? errno : EIO;
    close(fd);
    if (err == 0) {
        *server_now = modified(st);
        *made = link(mine, target) == 0;
        int again = *made ? -1 : open(mine, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (again >= 0) {
            *made = fstat(again, &st) == 0 && st.st_nlink == 2;
            close(again);
        }
    }
    unlink(mine);
    return err;
}

// Removes the lock file if it still holds judged, a holder found stale.
// Runs that find a lock stale together break it one at a time, each
// holding a second lock file, lock.break, made the same way: while the
// stale lock holds the name, no run can take the lock, so once the one
// breaking has read the stale holder there afresh, it can move it away
// without a race. A lock.break left by a run killed while breaking is
// itself broken after stale_lock_seconds.
void break_lock(const lock_file& lock, const char* mine, const char* taken, const char* content,
                const char* judged)
{
    char breaking[sizeof lock.path + 8];
    std::snprintf(breaking, sizeof breaking, "%s.break", lock.path);
    char own[PATH_MAX + 320];
    std::snprintf(own, sizeof own, "%s.b", mine);
    bool held = false;
    double server_now = 0;
    if (link_own_file(own, breaking, content, &held, &server_now) != 0)
        return;
    if (!held) {
        struct stat st;
        if (stat(breaking, &st) == 0 && server_now - modified(st) > stale_lock_seconds)
            unlink(breaking);
        return;
    }
    char now[300];
    struct stat st;
    if (read_holder(lock.path, now, sizeof now, &st) && std::strcmp(now, judged) == 0 &&
        rename(lock.path, taken) == 0) {
        // Read afresh under its own name: another run's lock, taken since
        // (a stale read of the name), goes back.
        if (read_holder(taken, now, sizeof now, &st) && std::strcmp(now, judged) != 0)
            (void)link(taken, lock.path);
        unlink(taken);
    }
    unlink(breaking);
}

// Whether the lock file, read afresh, holds a stale holder; the server's
// clock stood at server_now a moment ago.
bool looks_stale(const lock_file& lock, const char* host, double server_now)
{
    char holder[300];
    struct stat st;
    return read_holder(lock.path, holder, sizeof holder, &st) &&
           lock_is_stale(holder, host, server_now - modified(st));
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

double monotonic_seconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void pause_before_retry(lock_backoff& b)
{
    if (b.jitter == 0)
        b.jitter = static_cast<unsigned>(getpid()) * 2654435761u;
    b.jitter = b.jitter * 1103515245u + 12345u;
    long ns = b.pause_ns / 2 + static_cast<long>((b.jitter >> 8) % static_cast<unsigned>(b.pause_ns));
    struct timespec pause = {ns / 1'000'000'000, ns % 1'000'000'000};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    b.pause_ns = b.pause_ns < 500'000'000 ? b.pause_ns * 2 : 1'000'000'000;
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
    char taken[sizeof mine];
    std::snprintf(taken, sizeof taken, "%s.%s.%ld.stale", lock.path, host, static_cast<long>(getpid()));
    // The token tells this run's lock from a later one of the same pid.
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    char content[300];
    std::snprintf(content, sizeof content, "%s %ld %lld.%09ld\n", host, static_cast<long>(getpid()),
                  static_cast<long long>(t.tv_sec), t.tv_nsec);

    double start = monotonic_seconds();
    bool said = false;
    lock_backoff backoff;
    for (unsigned attempt = 0;; ++attempt) {
        std::snprintf(mine, sizeof mine, "%s.%s.%ld.%u", lock.path, host, static_cast<long>(getpid()),
                      attempt);
        double server_now = 0;
        int err = link_own_file(mine, lock.path, content, &lock.held, &server_now);
        if (err != 0) {
            std::fprintf(notices,
                         "energy-totals: %s: its file system keeps locks within each node, and "
                         "the lock file every node sees can't be made beside it (%s)\n",
                         name, mine);
            return err;
        }
        if (lock.held)
            return 0;
        if (looks_stale(lock, host, server_now)) {
            // A holder lets its lock go before it exits, so a lock read
            // just then names a run that is gone. Only a lock that still
            // holds the same holder a while later is stale.
            char holder[300];
            struct stat st;
            read_holder(lock.path, holder, sizeof holder, &st);
            struct timespec settle = {0, 200'000'000};
            while (nanosleep(&settle, &settle) != 0 && errno == EINTR) {
            }
            char again[300];
            if (read_holder(lock.path, again, sizeof again, &st) && std::strcmp(holder, again) == 0 &&
                looks_stale(lock, host, server_now))
                break_lock(lock, mine, taken, content, holder);
            continue;
        }
        if (!said && monotonic_seconds() - start >= 3) {
            say_waiting(name, notices);
            said = true;
        }
        pause_before_retry(backoff);
    }
}

int release_lock_file(lock_file& lock)
{
    if (!lock.held)
        return 0;
    lock.held = false;
    return unlink(lock.path) == 0 ? 0 : errno;
}
