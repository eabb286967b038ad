// A lock on the results table that every node sees, where the table's file
// system keeps fcntl locks within each node (NFS mounted nolock or
// local_lock=posix|all, Lustre mounted localflock, BeeGFS): a lock file
// beside the table, made by link(2), which is atomic on the server, as
// NFS-safe locking has long been done. Elsewhere the fcntl lock alone is
// shared by all nodes, and no lock file is made.
#ifndef ENERGY_TOTALS_TABLE_LOCK_H
#define ENERGY_TOTALS_TABLE_LOCK_H

#include <climits>
#include <cstddef>
#include <cstdio>
#include <sys/types.h>

// From one line of /proc/self/mountinfo: the file system's device, and
// whether its fcntl locks may be local to each node. Returns false where
// the line can't be read.
bool read_mountinfo_line(const char* line, unsigned* major, unsigned* minor, bool* node_local);

// Whether the file system of device dev keeps fcntl locks within each node,
// by /proc/self/mountinfo; false where that can't be read.
bool locks_are_node_local(dev_t dev);

// A run that holds a lock file, as the file names it: the line
// "HOST PID TOKEN BOOT_ID START PID_NS". HOST and PID come first, as
// earlier versions wrote them; the token (64 random bits, in hex) tells one
// run's lock from another's, even of runs of one host name and PID in two
// PID namespaces (two containers on a node); the kernel's boot
// id, the process's start time (clock ticks after boot) and the inode of
// its PID namespace tell whether the process of that PID on this host is
// still the holder. Unknown values are "-" and 0.
struct lock_holder {
    char host[256] = {};
    long pid = 0;
    char token[32] = {};
    char boot_id[40] = {};
    unsigned long long start = 0;
    unsigned long long pid_ns = 0;
};

// This run, as its lock file names it.
lock_holder this_run_holder();

// Writes h as a lock file holds it, with its newline. Returns its length.
int format_holder(const lock_holder& h, char* buf, size_t size);

// A lock file left behind by a run that died (SIGKILL, a node that
// crashed) is broken. Where its holder ran on this host (the same host
// name and boot id) and in this PID namespace, it is judged at once: dead
// where its PID is gone, a zombie, or a process with another start time.
// Elsewhere, or where the file does not say enough to tell (an earlier
// version's lock: then a PID that is gone here still counts as dead), it is
// dead after stale_lock_seconds by the server's clock. An append holds the
// lock for milliseconds, so five minutes is far past any live one: a
// holder stalled that long has lost its server, and so has every run.
constexpr double stale_lock_seconds = 300;

// Whether a lock file holding content, age seconds old, is stale, judged by
// self, this run.
bool lock_is_stale(const char* content, const lock_holder& self, double age);

// How long a run waits for a lock before it says that it is waiting.
constexpr double lock_notice_seconds = 3;

// Who may break a run's lock file, as may write the table: the table's
// group (where the run is one of it) and mode.
// A lock file, a break's file or a leftover is only taken for a run's
// where its owner could have written the table (made_by_a_writer_of).
struct table_access {
    unsigned mode = 0644;
    long gid = -1; // -1: the run's own
    long uid = -1; // the table's owner; -1: the run's own user
};

struct lock_file {
    char path[PATH_MAX + 8] = {};
    char own[PATH_MAX + 320] = {}; // the run's own files' names start so
    char content[512] = {};        // the run's line, as the lock file holds it
    double server_now = 0;         // the time it was taken, by the server's clock
    bool held = false;
    table_access access;           // the table's, by which the files beside it are judged
};

// Takes the lock file beside the table that name reaches (links followed):
// waits, breaking a stale one by the rule above, and says once on notices,
// after lock_notice_seconds, what it waits for. Each try makes a file of its
// own, exclusively, under a name holding the run's token, with the table's
// group and mode (so that whoever may write the table may break a dead
// run's lock, whose link the kernel allows only to those who may write it),
// and links it to the lock file's name; the lock is the run's only where
// the lock file then holds the run's own line. From just before each try's
// link every signal that can be held is held; where the lock is taken they
// stay held (the caller releases the lock and exits), else they are let in
// again once the try's own file is gone. Returns 0, or the errno of a lock
// file that can't be made (a directory the user can't write to), or EEXIST
// for something in its place that no run of this tool made (a directory, a
// symbolic link, a socket, a file it can't read, an empty file or one that
// names no run, or a file of a user who may not write the table), having
// said which.
int take_lock_file(const char* name, lock_file& lock, FILE* notices, table_access access = {});

// Whether the lock file still holds the run's line: false once another run
// broke it (this one was stopped past the stale rule). True where no lock
// file is held.
bool lock_file_still_held(const lock_file& lock);

// Lets the lock file go, where it is still the run's. Returns 0, ENOLCK
// where another run had broken it, or the errno of its removal.
int release_lock_file(lock_file& lock);

// Removes what dead runs left beside the lock file (their own files, of a
// try or a break, stopped by SIGKILL or a crash), each judged by the holder
// it names as a lock file is; an empty one by its age alone.
void remove_leftovers(const lock_file& lock);

// Takes the exclusive fcntl lock on the table open on fd, asking again and
// again until it is granted (lock_backoff's pauses), so that no signal of
// the caller's is borrowed as a timer. Says once on notices that it waits.
// Returns 0, or the errno of a lock that can't be had: a file system
// without working locks (ENOLCK, EOPNOTSUPP, ENOSYS) is a failure too,
// since rows appended without the lock can be lost or torn.
int lock_table(int fd, const char* name, FILE* notices);

// Says once on notices that the run waits for the table's lock.
void say_waiting(const char* name, FILE* notices);

// The pauses between tries for a lock: 5 ms at first, doubling to a
// second, jittered by the run's pid so that the runs of a sweep that wait
// together spread out. On NFS a waiting fcntl lock is retried by the client
// itself after ever longer pauses, up to half a minute (NFSv4), so when
// many runs of a sweep finish together most of them would sleep long after
// the lock is free: asking every few milliseconds at first, then at most
// once a second, keeps the wait close to the time the lock is really held.
struct lock_backoff {
    long pause_ns = 5'000'000;
    unsigned jitter = 0;
};

// Sleeps the next pause of b.
void pause_before_retry(lock_backoff& b);

// Seconds on the monotonic clock.
double monotonic_seconds();

#endif
