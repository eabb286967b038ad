// A lock on the results table that every node sees, where the table's file
// system keeps fcntl locks within each node (NFS mounted nolock or
// local_lock=posix|all, Lustre mounted localflock, BeeGFS): a lock file
// beside the table, made by link(2), which is atomic on the server, as
// NFS-safe locking has long been done. Elsewhere the fcntl lock alone is
// shared by all nodes, and no lock file is made.
#ifndef ENERGY_TOTALS_TABLE_LOCK_H
#define ENERGY_TOTALS_TABLE_LOCK_H

#include <climits>
#include <cstdio>
#include <sys/types.h>

// From one line of /proc/self/mountinfo: the file system's device, and
// whether its fcntl locks may be local to each node. Returns false where
// the line can't be read.
bool read_mountinfo_line(const char* line, unsigned* major, unsigned* minor, bool* node_local);

// Whether the file system of device dev keeps fcntl locks within each node,
// by /proc/self/mountinfo; false where that can't be read.
bool locks_are_node_local(dev_t dev);

// A lock file left behind by a run that died (SIGKILL, a node that
// crashed) is broken: at once where its holder, named in it, ran on this
// host and is gone; after stale_lock_seconds (by the server's clock) where
// it ran on another host, or the file does not name one. An append holds
// the lock for milliseconds, so five minutes is far past any live one: a
// holder stalled that long has lost its server, and so has every run.
constexpr double stale_lock_seconds = 300;

// Whether a lock file holding content (its holder's "HOST PID TOKEN"), age
// seconds old, is stale, judged from this_host.
bool lock_is_stale(const char* content, const char* this_host, double age);

struct lock_file {
    char path[PATH_MAX + 8] = {};
    bool held = false;
};

// Takes the lock file beside the table that name reaches (links followed):
// waits, breaking a stale one by the rule above, and says once on notices,
// after a few seconds, that it waits. Returns 0, or the errno of a lock file
// that can't be made (a directory the user can't write to), having said so.
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
