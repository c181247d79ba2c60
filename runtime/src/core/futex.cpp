#include "core/futex.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace w32rt {

bool futex_wait(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeout_ns, FutexScope scope) {
    int op = scope == FutexScope::Private ? (FUTEX_WAIT | FUTEX_PRIVATE_FLAG) : FUTEX_WAIT;
    struct timespec ts;
    struct timespec* pts = nullptr;
    if (timeout_ns >= 0) {
        ts.tv_sec = time_t(timeout_ns / 1000000000);
        ts.tv_nsec = long(timeout_ns % 1000000000);
        pts = &ts;
    }
    long rc = ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, expected, pts, nullptr, 0);
    return !(rc < 0 && errno == ETIMEDOUT);
}

void futex_wake(std::atomic<uint32_t>* word, int count, FutexScope scope) {
    int op = scope == FutexScope::Private ? (FUTEX_WAKE | FUTEX_PRIVATE_FLAG) : FUTEX_WAKE;
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, count, nullptr, nullptr, 0);
}

int64_t monotonic_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace w32rt
