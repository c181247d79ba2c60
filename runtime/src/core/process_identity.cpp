#include "core/process_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace w32rt {

namespace {

// Reads /proc/<pid>/stat (or /proc/<pid>/task/<tid>/stat) and returns the
// state letter and start time; false when the process is gone.
bool read_stat(const char* path, char* state, uint64_t* start_time) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    // The command name may hold spaces and parentheses: fields start after
    // the last ')'.
    char* p = strrchr(buf, ')');
    if (!p || p[1] != ' ') return false;
    p += 2;
    *state = *p;
    // Field 22 is starttime; the state is field 3.
    for (int field = 3; field < 22; ++field) {
        p = strchr(p, ' ');
        if (!p) return false;
        ++p;
    }
    *start_time = strtoull(p, nullptr, 10);
    return true;
}

struct Cache {
    pid_t pid = 0;
    ProcessIdentity identity;
};
Cache g_cache;

}  // namespace

uint64_t process_start_time(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    char state;
    uint64_t start = 0;
    if (!read_stat(path, &state, &start)) return 0;
    return start;
}

const ProcessIdentity& current_process() {
    pid_t pid = getpid();
    if (g_cache.pid != pid) {
        ProcessIdentity id;
        id.pid = pid;
        id.start_time = process_start_time(pid);
        g_cache.identity = id;
        g_cache.pid = pid;
    }
    return g_cache.identity;
}

bool process_alive(const ProcessIdentity& identity) {
    if (identity.pid <= 0) return false;
    if (::kill(identity.pid, 0) < 0 && errno == ESRCH) return false;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(identity.pid));
    char state;
    uint64_t start = 0;
    if (!read_stat(path, &state, &start)) return false;
    if (state == 'Z' || state == 'X' || state == 'x') return false;
    return start == identity.start_time;
}

bool thread_alive(pid_t pid, pid_t tid) {
    char path[96];
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", int(pid), int(tid));
    char state;
    uint64_t start = 0;
    if (!read_stat(path, &state, &start)) return false;
    return state != 'Z' && state != 'X' && state != 'x';
}

pid_t current_tid() {
    static thread_local pid_t tid = 0;
    static thread_local pid_t for_pid = 0;
    pid_t pid = getpid();
    if (tid == 0 || for_pid != pid) {
        tid = pid_t(::syscall(SYS_gettid));
        for_pid = pid;
    }
    return tid;
}

}  // namespace w32rt
