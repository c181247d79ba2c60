#include "core/process_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "core/sys.h"

namespace w32rt {

namespace {

// What /proc says of a process or thread.
enum class Stat {
    Read,     // state and start time filled
    Gone,     // no such process or thread
    Unknown,  // it could not be asked (no descriptor left, an I/O error)
};

// Reads /proc/<pid>/stat (or /proc/<pid>/task/<tid>/stat): the state letter
// and the start time. Only a missing entry means gone: a failure to ask must
// never make a live process dead, or what it holds would be taken from it.
Stat read_stat(const char* path, char* state, uint64_t* start_time) {
    int fd = sys::open(path, O_RDONLY);
    if (fd < 0) return errno == ENOENT || errno == ESRCH ? Stat::Gone : Stat::Unknown;
    char buf[1024];
    ssize_t n = sys::read(fd, buf, sizeof buf - 1);
    int err = errno;
    sys::close(fd);
    if (n == 0 || (n < 0 && err == ESRCH)) return Stat::Gone;  // ended since the open
    if (n < 0) return Stat::Unknown;
    buf[n] = '\0';
    // The command name may hold spaces and parentheses: fields start after
    // the last ')'.
    char* p = strrchr(buf, ')');
    if (!p || p[1] != ' ') return Stat::Unknown;
    p += 2;
    *state = *p;
    // Field 22 is starttime; the state is field 3.
    for (int field = 3; field < 22; ++field) {
        p = strchr(p, ' ');
        if (!p) return Stat::Unknown;
        ++p;
    }
    *start_time = strtoull(p, nullptr, 10);
    return Stat::Read;
}

bool dead_state(char state) { return state == 'Z' || state == 'X' || state == 'x'; }

// The calling process's identity, filled once (and again in a forked
// child): 0 empty, 1 being filled, 2 ready.
std::atomic<int> g_identity_state{0};
ProcessIdentity g_identity;

// Thread ids are cached per thread; a forked child's only thread has a new
// id, so the fork handler forgets the cached one.
thread_local pid_t t_tid = 0;

void forget_after_fork() {
    t_tid = 0;
    g_identity_state.store(0, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_atfork_registered = pthread_atfork(nullptr, nullptr, &forget_after_fork);

}  // namespace

uint64_t process_start_time(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    char state;
    uint64_t start = 0;
    // Asked again when it could not be asked: this is the identity the
    // process records in shared memory for its life.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Stat stat = read_stat(path, &state, &start);
        if (stat == Stat::Read) return start;
        if (stat == Stat::Gone) return 0;
    }
    return 0;
}

const ProcessIdentity& current_process() {
    int state = g_identity_state.load(std::memory_order_acquire);
    while (state != 2) {
        if (state == 0 && g_identity_state.compare_exchange_strong(state, 1, std::memory_order_acquire)) {
            pid_t pid = getpid();
            g_identity.pid = pid;
            g_identity.start_time = process_start_time(pid);
            g_identity_state.store(2, std::memory_order_release);
            break;
        }
        sched_yield();
        state = g_identity_state.load(std::memory_order_acquire);
    }
    return g_identity;
}

bool process_alive(const ProcessIdentity& identity) {
    if (identity.pid <= 0) return false;
    if (::kill(identity.pid, 0) < 0 && errno == ESRCH) return false;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(identity.pid));
    char state;
    uint64_t start = 0;
    switch (read_stat(path, &state, &start)) {
        case Stat::Gone: return false;
        case Stat::Unknown: return true;  // it exists (kill said so); assume it is the same
        case Stat::Read: break;
    }
    if (dead_state(state)) return false;
    // A start time of 0 was recorded by a process that could not read its
    // own: its pid is all there is to go by.
    return identity.start_time == 0 || start == identity.start_time;
}

namespace {

// Whether the task whose stat file this is still runs; one that cannot be
// read now is taken for alive.
bool stat_says_alive(const char* path) {
    char state;
    uint64_t start = 0;
    switch (read_stat(path, &state, &start)) {
        case Stat::Gone: return false;
        case Stat::Unknown: return true;
        case Stat::Read: break;
    }
    return !dead_state(state);
}

}  // namespace

bool thread_alive(pid_t pid, pid_t tid) {
    char path[96];
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", int(pid), int(tid));
    return stat_says_alive(path);
}

bool task_alive(pid_t tid) {
    if (tid <= 0) return false;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(tid));
    return stat_says_alive(path);
}

pid_t current_tid() {
    if (t_tid == 0) t_tid = pid_t(::syscall(SYS_gettid));
    return t_tid;
}

}  // namespace w32rt
