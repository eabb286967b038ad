// The lock file that every node sees: who holds it, when a holder is dead,
// and taking, breaking and letting go of it.
#include "table/table_lock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "table/held_signals.h"
#include "base/open_file.h"
#include "read/reading_number.h"

namespace {

// The lines here are read by hand rather than with sscanf, which would take
// the C library's whole scanf machinery (strtold, float128 arithmetic, a
// tenth of the binary) into the tool for three lines of plain words.

// The next whitespace-separated word from p, copied into out (size bytes,
// cut to fit); p is moved past it. False where none is left.
bool take_word(const char*& p, char* out, size_t size)
{
    while (is_space(*p))
        ++p;
    if (*p == '\0')
        return false;
    size_t n = 0;
    for (; *p != '\0' && !is_space(*p); ++p)
        if (n + 1 < size)
            out[n++] = *p;
    out[n] = '\0';
    return true;
}

// The number at p (after whitespace), as strtoull reads it; p is moved
// past it. False where none is there.
bool take_number(const char*& p, unsigned long long* value)
{
    char* end;
    *value = std::strtoull(p, &end, 10);
    if (end == p)
        return false;
    p = end;
    return true;
}

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

} // namespace

bool read_mountinfo_line(const char* line, unsigned* major, unsigned* minor, bool* node_local)
{
    const char* p = line;
    size_t length;
    field(p, &length); // mount id
    field(p, &length); // parent id
    const char* device = field(p, &length);
    unsigned long long numbers[2];
    if (!take_number(device, &numbers[0]) || *device++ != ':' || !take_number(device, &numbers[1]))
        return false;
    *major = static_cast<unsigned>(numbers[0]);
    *minor = static_cast<unsigned>(numbers[1]);
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
    int fd = open_file("/proc/self/mountinfo", O_RDONLY);
    FILE* info = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (info == nullptr) {
        if (fd >= 0)
            close(fd);
        return false;
    }
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


namespace {

double modified(const struct stat& st)
{
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
}

// The start time of process pid (field 22 of /proc/PID/stat), or 0 where
// it can't be read; *running is false where there is no such process, or
// only its zombie.
unsigned long long process_start(long pid, bool* running)
{
    char path[64], stat_line[1024];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    *running = true;
    int fd = open_file(path, O_RDONLY);
    if (fd < 0) {
        *running = errno != ENOENT && errno != ESRCH;
        return 0;
    }
    ssize_t n = read(fd, stat_line, sizeof stat_line - 1);
    close(fd);
    stat_line[n > 0 ? n : 0] = '\0';
    // The command's name, in parentheses, may hold blanks and parentheses.
    // Then the state (field 3) and, 19 fields on, the start time (22).
    const char* p = std::strrchr(stat_line, ')');
    char state[2], skipped[2];
    unsigned long long start = 0;
    if (p == nullptr || !take_word(++p, state, sizeof state))
        return 0;
    for (int i = 0; i < 18; ++i)
        if (!take_word(p, skipped, sizeof skipped))
            return 0;
    if (!take_number(p, &start))
        return 0;
    *running = state[0] != 'Z' && state[0] != 'X';
    return start;
}

// The holder that content names; returns how many of its fields it holds.
int parse_holder(const char* content, lock_holder* h)
{
    const char* p = content;
    if (!take_word(p, h->host, sizeof h->host))
        return 0;
    char* end;
    h->pid = std::strtol(p, &end, 10);
    if (end == p)
        return 1;
    p = end;
    if (!take_word(p, h->token, sizeof h->token))
        return 2;
    if (!take_word(p, h->boot_id, sizeof h->boot_id))
        return 3;
    if (!take_number(p, &h->start))
        return 4;
    return take_number(p, &h->pid_ns) ? 6 : 5;
}

} // namespace

lock_holder this_run_holder()
{
    lock_holder h;
    if (gethostname(h.host, sizeof h.host - 1) != 0 || h.host[0] == '\0')
        std::strcpy(h.host, "localhost");
    // A host name holds no blank; one that did would shift the fields.
    for (char* c = h.host; *c != '\0'; ++c)
        if (*c == ' ' || *c == '\t' || *c == '\n')
            *c = '_';
    h.pid = static_cast<long>(getpid());
    // Where the kernel's random bits can't be had, the clock and the
    // address of the stack still differ between two runs of one PID.
    unsigned long long token = 0;
    if (getrandom(&token, sizeof token, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof token)) {
        struct timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        token = static_cast<unsigned long long>(t.tv_sec) * 1000000007ull ^
                static_cast<unsigned long long>(t.tv_nsec) ^ reinterpret_cast<uintptr_t>(&t);
    }
    std::snprintf(h.token, sizeof h.token, "%016llx", token);
    std::strcpy(h.boot_id, "-");
    int fd = open_file("/proc/sys/kernel/random/boot_id", O_RDONLY);
    if (fd >= 0) {
        char id[40] = {};
        ssize_t n = read(fd, id, sizeof id - 1);
        close(fd);
        if (n >= 32) {
            id[std::strcspn(id, " \n")] = '\0';
            std::strcpy(h.boot_id, id);
        }
    }
    bool running;
    h.start = process_start(h.pid, &running);
    struct stat ns;
    if (stat("/proc/self/ns/pid", &ns) == 0)
        h.pid_ns = static_cast<unsigned long long>(ns.st_ino);
    return h;
}

int format_holder(const lock_holder& h, char* buf, size_t size)
{
    return std::snprintf(buf, size, "%s %ld %s %s %llu %llu\n", h.host, h.pid, h.token, h.boot_id,
                         h.start, h.pid_ns);
}

bool lock_is_stale(const char* content, const lock_holder& self, double age)
{
    lock_holder h;
    int fields = parse_holder(content, &h);
    bool old = age > stale_lock_seconds;
    if (fields < 2 || h.pid <= 0 || std::strcmp(h.host, self.host) != 0)
        return old;
    if (fields < 6)
        return old || (kill(static_cast<pid_t>(h.pid), 0) != 0 && errno == ESRCH);
    if (std::strcmp(h.boot_id, "-") == 0 || std::strcmp(h.boot_id, self.boot_id) != 0 ||
        h.pid_ns == 0 || h.pid_ns != self.pid_ns || h.start == 0 || self.start == 0)
        return old;
    bool running;
    unsigned long long start = process_start(h.pid, &running);
    if (!running)
        return true;
    return start != 0 ? start != h.start : old;
}

namespace {

// Whether the file of status st, beside the table, was made by a user who
// may write the table.
bool made_by_table_writer(const struct stat& st, const table_access& a)
{
    struct stat table = {};
    table.st_mode = a.mode;
    table.st_uid = a.uid >= 0 ? static_cast<uid_t>(a.uid) : geteuid();
    table.st_gid = a.gid >= 0 ? static_cast<gid_t>(a.gid) : getegid();
    return made_by_a_writer_of(st, table);
}

// What read_holder found where a lock file goes.
enum holder_seen : int { holder_gone, holder_read, holder_in_the_way };

// Reads the lock file at path: its holder, as read, and its status, fresh
// from the server (an open revalidates what the client cached). Something
// there that no run of this tool made (a directory, a symbolic link, a
// socket, a FIFO, a file it can't read) is in the way, with *what saying
// which.
int read_holder(const char* path, char* content, size_t size, struct stat* st,
                const char** what = nullptr)
{
    content[0] = '\0';
    const char* dummy;
    const char** kind = what != nullptr ? what : &dummy;
    int fd = open_file(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *kind = errno == ELOOP    ? "a symbolic link"
                : errno == EACCES ? "a file it can't read"
                : errno == ENXIO  ? "a socket"
                                  : "";
        return errno == ELOOP || errno == EACCES || errno == ENXIO ? holder_in_the_way : holder_gone;
    }
    int seen = holder_gone;
    if (fstat(fd, st) == 0) {
        if (!S_ISREG(st->st_mode)) {
            *kind = S_ISDIR(st->st_mode) ? "a directory" : "not a regular file";
            seen = holder_in_the_way;
        } else {
            ssize_t n = read(fd, content, size - 1);
            content[n > 0 ? n : 0] = '\0';
            seen = n >= 0 ? holder_read : holder_gone;
        }
    }
    close(fd);
    return seen;
}

// Whether the lock file at path holds content, read afresh.
bool holds(const char* path, const char* content)
{
    char now[512];
    struct stat st;
    return read_holder(path, now, sizeof now, &st) == holder_read && std::strcmp(now, content) == 0;
}

// Makes a file of the run's own at mine, exclusively and with the table's
// group and mode, holding content, and links it to target: the target is the run's
// where the link was made, or where the target holds the run's own line
// though the link seemed to fail (its reply lost in transit). Sets
// *server_now to the file's time, by the server's clock. Returns 0 with
// *made set, or the errno of a file that can't be made.
int link_own_file(const char* mine, const char* target, const char* content, table_access access,
                  bool* made, double* server_now)
{
    *made = false;
    int fd = open_file(mine, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, access.mode & 0666);
    if (fd < 0)
        return errno;
    size_t length = std::strlen(content);
    struct stat st;
    // The table's group, where the run is one of it (else the run's own).
    if (access.gid >= 0)
        (void)fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(access.gid));
    bool written = fchmod(fd, access.mode & 0666) == 0 &&
                   write(fd, content, length) == static_cast<ssize_t>(length) && fstat(fd, &st) == 0;
    int err = written ? 0 : errno != 0 ? errno : EIO;
    close(fd);
    if (err == 0) {
        *server_now = modified(st);
        *made = link(mine, target) == 0 || (errno == EEXIST && holds(target, content));
    }
    unlink(mine);
    return err;
}

// Removes the lock file at path if it holds judged: it is linked to a name
// of the run's own, taken, which the server resolves afresh, and read
// through that; only if that is the judged holder is path removed. Nothing
// else ever moves or removes a lock but its holder, so no live lock is
// touched and none has to be put back. Returns whether it removed it.
bool remove_if_same(const char* path, const char* judged, const char* taken)
{
    if (link(path, taken) != 0)
        return false;
    bool same = holds(taken, judged);
    if (same)
        (void)unlink(path);
    (void)unlink(taken);
    return same;
}

// What a waiting run waits for, to say so.
struct awaited {
    char path[PATH_MAX + 16] = {};
    char holder[512] = {};
    double age = 0;
    bool planted = false; // a file of a user who may not write the table
};

// Breaks the lock file, whose holder judged was found stale. Runs that find
// a lock stale together break it one at a time, each holding a second lock
// file, lock.break, made the same way, and judged stale by the same rule.
// Returns whether the lock was removed; where lock.break is another's, it
// is what the run waits for.
bool break_lock(const lock_file& lock, const char* mine, const char* judged, const char* content,
                table_access access, const lock_holder& self, awaited* waiting)
{
    char breaking[sizeof lock.path + 8], own[sizeof lock.own + 32], taken[sizeof lock.own + 32];
    std::snprintf(breaking, sizeof breaking, "%s.break", lock.path);
    std::snprintf(own, sizeof own, "%s.b", mine);
    std::snprintf(taken, sizeof taken, "%s.t", mine);
    uint64_t mask = hold_signals();
    bool held = false, broke = false;
    double server_now = 0;
    if (link_own_file(own, breaking, content, access, &held, &server_now) == 0) {
        if (held) {
            broke = remove_if_same(lock.path, judged, taken);
            (void)unlink(breaking);
        } else {
            struct stat st;
            char breaker[512];
            if (read_holder(breaking, breaker, sizeof breaker, &st) == holder_read) {
                waiting->planted = !made_by_table_writer(st, access);
                if (!waiting->planted && lock_is_stale(breaker, self, server_now - modified(st)))
                    remove_if_same(breaking, breaker, taken);
                std::snprintf(waiting->path, sizeof waiting->path, "%s", breaking);
                std::snprintf(waiting->holder, sizeof waiting->holder, "%s", breaker);
                waiting->age = server_now - modified(st);
            }
        }
    }
    restore_signals(mask);
    return broke;
}

// Whether name, in the lock file's directory, is one of the files runs make
// beside it: the lock file's name then "HOST.PID.TOKEN.N", perhaps followed
// by ".b" or ".t", or (earlier versions) "HOST.PID.N" so followed, or
// "HOST.PID.stale".
bool is_runs_file(const char* name, const char* lock_name)
{
    size_t prefix = std::strlen(lock_name);
    if (std::strncmp(name, lock_name, prefix) != 0 || name[prefix] != '.')
        return false;
    const char* rest = name + prefix + 1;
    const char* end = rest + std::strlen(rest);
    auto strip = [&](const char* suffix) {
        size_t n = std::strlen(suffix);
        if (static_cast<size_t>(end - rest) > n && std::strcmp(end - n, suffix) == 0) {
            end -= n;
            return true;
        }
        return false;
    };
    // A word of the given digits before end, and the dot before it.
    auto word = [&](const char* digits, size_t length) {
        const char* start = end;
        while (end > rest && std::strchr(digits, end[-1]) != nullptr && end[-1] != '\0')
            --end;
        if (end == start || (length != 0 && static_cast<size_t>(start - end) != length) || end == rest ||
            end[-1] != '.') {
            end = start;
            return false;
        }
        --end;
        return true;
    };
    if (!strip(".stale")) {
        if (!strip(".b"))
            strip(".t");
        if (!word("0123456789", 0))
            return false;
        word("0123456789abcdef", 16);
    }
    return word("0123456789", 0) && end > rest;
}

// Says on notices what the run waits for: the lock file and its holder.
void say_waiting_for_file(const char* name, const awaited& a, FILE* notices)
{
    lock_holder h;
    if (parse_holder(a.holder, &h) >= 2)
        std::fprintf(notices, "energy-totals: %s: waiting for the lock %s, held by %s pid %ld for %.0f s\n",
                     name, a.path, h.host, h.pid, a.age > 0 ? a.age : 0);
    else
        std::fprintf(notices, "energy-totals: %s: waiting for the lock %s, held by another run\n", name, a.path);
    std::fflush(notices);
}

} // namespace

void remove_leftovers(const lock_file& lock)
{
    char dir_path[sizeof lock.path];
    std::snprintf(dir_path, sizeof dir_path, "%s", lock.path);
    char* slash = std::strrchr(dir_path, '/');
    if (slash == nullptr)
        return;
    const char* lock_name = lock.path + (slash - dir_path) + 1;
    *slash = '\0';
    int fd = open_file(dir_path[0] != '\0' ? dir_path : "/", O_RDONLY | O_DIRECTORY);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    lock_holder self = this_run_holder();
    while (struct dirent* entry = readdir(dir)) {
        if (!is_runs_file(entry->d_name, lock_name))
            continue;
        char path[sizeof lock.path + 256], holder[512];
        std::snprintf(path, sizeof path, "%s/%s", dir_path, entry->d_name);
        struct stat st;
        if (read_holder(path, holder, sizeof holder, &st) == holder_read && made_by_table_writer(st, lock.access) &&
            lock_is_stale(holder, self, lock.server_now - modified(st)))
            (void)unlink(path);
    }
    closedir(dir);
}

namespace {

// What is in the lock file's place where it names no run: an empty file,
// or text that no run of this tool wrote. Null where it names one.
const char* names_no_run(const char* content)
{
    if (content[0] == '\0')
        return "an empty file";
    lock_holder h;
    return parse_holder(content, &h) < 2 || h.pid <= 0 ? "a file that names no run" : nullptr;
}

} // namespace

int take_lock_file(const char* name, lock_file& lock, FILE* notices, table_access access)
{
    char real[PATH_MAX];
    if (realpath(name, real) == nullptr)
        return errno;
    std::snprintf(lock.path, sizeof lock.path, "%s.lock", real);
    lock.access = access;
    lock_holder self = this_run_holder();
    format_holder(self, lock.content, sizeof lock.content);
    std::snprintf(lock.own, sizeof lock.own, "%s.%s.%ld.%s", lock.path, self.host, self.pid, self.token);

    double start = monotonic_seconds();
    bool said = false;
    lock_backoff backoff;
    for (unsigned attempt = 0;; ++attempt) {
        char mine[sizeof lock.own + 16];
        std::snprintf(mine, sizeof mine, "%s.%u", lock.own, attempt);
        double server_now = 0;
        uint64_t mask = hold_signals();
        int err = link_own_file(mine, lock.path, lock.content, access, &lock.held, &server_now);
        if (err != 0) {
            restore_signals(mask);
            std::fprintf(notices,
                         "energy-totals: %s: its file system keeps locks within each node, and "
                         "the lock file every node sees can't be made beside it (%s)\n",
                         name, mine);
            return err;
        }
        if (lock.held) {
            lock.server_now = server_now;
            return 0;
        }
        restore_signals(mask);
        awaited waiting;
        std::snprintf(waiting.path, sizeof waiting.path, "%s", lock.path);
        struct stat st;
        const char* what = "";
        int seen = read_holder(lock.path, waiting.holder, sizeof waiting.holder, &st, &what);
        if (seen == holder_read && !made_by_table_writer(st, access)) {
            what = "a file of a user who may not write the table";
            seen = holder_in_the_way;
        } else if (seen == holder_read && (what = names_no_run(waiting.holder)) != nullptr) {
            seen = holder_in_the_way;
        }
        if (seen == holder_in_the_way) {
            std::fprintf(notices,
                         "energy-totals: %s: %s is in the lock file's place, but no run of "
                         "energy-totals made it (%s): remove it\n",
                         name, lock.path, what);
            return EEXIST;
        }
        if (seen == holder_read) {
            waiting.age = server_now - modified(st);
            if (lock_is_stale(waiting.holder, self, waiting.age) &&
                break_lock(lock, mine, waiting.holder, lock.content, access, self, &waiting))
                continue;
            if (waiting.planted) {
                std::fprintf(notices,
                             "energy-totals: %s: %s is in the place of the lock's breaker, but no run of "
                             "energy-totals made it (a file of a user who may not write the table): remove it\n",
                             name, waiting.path);
                return EEXIST;
            }
        }
        if (!said && monotonic_seconds() - start >= lock_notice_seconds) {
            say_waiting_for_file(name, waiting, notices);
            said = true;
        }
        pause_before_retry(backoff);
    }
}

bool lock_file_still_held(const lock_file& lock)
{
    return !lock.held || holds(lock.path, lock.content);
}

int release_lock_file(lock_file& lock)
{
    if (!lock.held)
        return 0;
    lock.held = false;
    // Removed through a name of the run's own, so that a lock another run
    // took after breaking this one's is never removed.
    char taken[sizeof lock.own + 8];
    std::snprintf(taken, sizeof taken, "%s.t", lock.own);
    if (remove_if_same(lock.path, lock.content, taken))
        return 0;
    return holds(lock.path, lock.content) ? (unlink(lock.path) == 0 ? 0 : errno) : ENOLCK;
}
