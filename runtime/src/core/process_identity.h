// Identity and liveness of processes and threads, for shared structures that
// must notice when a holder died (abandoned mutexes, dead consumers, named
// objects whose last holder was killed).
//
// A pid alone can be reused; a pid together with the process's start time
// (clock ticks since boot, from /proc) names one process for good.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace w32rt {

struct ProcessIdentity {
    int32_t pid = 0;
    uint32_t reserved = 0;
    uint64_t start_time = 0;

    bool empty() const { return pid == 0; }
    bool operator==(const ProcessIdentity& o) const { return pid == o.pid && start_time == o.start_time; }
    bool operator!=(const ProcessIdentity& o) const { return !(*this == o); }
};
static_assert(sizeof(ProcessIdentity) == 16, "stored in shared memory");

// The calling process; refreshed after fork.
const ProcessIdentity& current_process();

// Start time of a process, 0 when it does not exist or could not be read.
uint64_t process_start_time(pid_t pid);

// True while the process named by the identity runs (a zombie counts as
// dead). When /proc cannot be asked (no descriptor left, an I/O error) a
// process that exists counts as alive: a wrong "dead" would take from it
// what it holds, a wrong "alive" only delays the cleanup. An identity with
// a start time of 0 (its process could not read its own) goes by pid.
bool process_alive(const ProcessIdentity& identity);

// True while thread tid of process pid runs (alive when it cannot be
// asked).
bool thread_alive(pid_t pid, pid_t tid);

// True while the thread with that kernel id runs, in whichever process
// (alive when it cannot be asked). A thread id is reused once its thread is
// gone, so a reused id reads as alive: callers only ever wait longer.
bool task_alive(pid_t tid);

// The kernel thread id of the caller (cached per thread).
pid_t current_tid();

}  // namespace w32rt
