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
// earlier versions wrote them; the token (the time the run began to wait,
// to the nanosecond) tells one run's lock from another's; the kernel's boot
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

struct lock_file {
    char path[PATH_MAX + 8] = {};
    bool held = false;
};

// Takes the lock file beside the table that name reaches (links followed):
// waits, breaking a stale one by the rule above, and says once on notices,
// after lock_notice_seconds, what it waits for. From just before each try's
// link every signal that can be held is held; where the lock is taken they
// stay held (the caller releases the lock and exits), else they are let in
// again once the try's own file is gone. Having broken a dead holder's
// lock, it removes what dead runs left beside it. Returns 0, or the errno
// of a lock file
// that can't be made (a directory the user can't write to), or EEXIST for
// something in its place that no run of this tool made (a directory, a
// symbolic link, a file it can't read), having said which.
int take_lock_file(const char* name, lock_file& lock, FILE* notices);

// Lets the lock file go. Returns 0 or the errno of its removal.
int release_lock_file(lock_file& lock);

// Says once on notices that the run waits for the table's lock.
void say_waiting(const char* name, FILE* notices);

// The pauses between tries for a lock: 5 ms at first, doubling to a
// second, jittered by the run's pid so that the runs of a sweep that wait
// together spread out.
struct lock_backoff {
    long pause_ns = 5'000'000;
    unsigned jitter = 0;
};

// Sleeps the next pause of b.
void pause_before_retry(lock_backoff& b);

// Seconds on the monotonic clock.
double monotonic_seconds();

#endif
