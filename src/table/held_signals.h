// Holding every signal that can be held, and letting them in again, for the
// stretches in which a run must not be stopped half way: from the lock
// file's link to its removal, and from the table's first change to exit.
#ifndef ENERGY_TOTALS_HELD_SIGNALS_H
#define ENERGY_TOTALS_HELD_SIGNALS_H

#include <csignal>
#include <cstdint>

#include <sys/syscall.h>
#include <unistd.h>

// Holds every signal that can be held (the kernel still delivers SIGKILL,
// SIGSTOP and a fault's own signal) and returns the mask that was in force.
// The C library's sigprocmask leaves out the two real-time signals it keeps
// for its threads, whose default is to end the process, so the kernel is
// asked directly.
inline uint64_t hold_signals()
{
    uint64_t all = ~uint64_t{0};
    uint64_t old = 0;
    (void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &old, sizeof all);
    return old;
}

// Puts back a mask that hold_signals returned: a signal that came while
// they were held is delivered now.
inline void restore_signals(uint64_t old)
{
    (void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, sizeof old);
}

#endif
