#include "sync/futex_words.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "core/futex.h"

namespace w32rt::sync {

namespace {

// futex_waitv appeared in Linux 5.16. Older kernels get a degraded wait: the
// first word is watched and the others are polled every few milliseconds.
std::atomic<int> g_have_waitv{-1};
constexpr int64_t kPollSliceNs = 5'000'000;

long futex_waitv_call(struct futex_waitv* waiters, unsigned count, const struct timespec* deadline) {
#ifdef SYS_futex_waitv
    return ::syscall(SYS_futex_waitv, waiters, count, 0, deadline, CLOCK_MONOTONIC);
#else
    errno = ENOSYS;
    return -1;
#endif
}

bool sleep_single(const WaitWord& w, int64_t deadline_ns) {
    struct timespec ts;
    struct timespec* pts = nullptr;
    if (deadline_ns >= 0) {
        int64_t left = deadline_ns - monotonic_ns();
        if (left <= 0) return false;
        ts.tv_sec = time_t(left / 1'000'000'000);
        ts.tv_nsec = long(left % 1'000'000'000);
        pts = &ts;
    }
    int op = w.shared ? FUTEX_WAIT : (FUTEX_WAIT | FUTEX_PRIVATE_FLAG);
    long rc = ::syscall(SYS_futex, w.address, op, w.expected, pts, nullptr, 0);
    return !(rc < 0 && errno == ETIMEDOUT);
}

}  // namespace

bool sleep_on_words(const WaitWord* words, unsigned count, int64_t deadline_ns) {
    if (count == 0) {
        // Nothing can wake us but the clock.
        if (deadline_ns < 0) {
            for (;;) pause();
        }
        int64_t left = deadline_ns - monotonic_ns();
        if (left > 0) {
            struct timespec ts = {time_t(left / 1'000'000'000), long(left % 1'000'000'000)};
            nanosleep(&ts, nullptr);
        }
        return monotonic_ns() < deadline_ns;
    }
    if (count == 1) return sleep_single(words[0], deadline_ns);
    if (count > kMaxWaitWords) count = kMaxWaitWords;

    if (g_have_waitv.load(std::memory_order_relaxed) != 0) {
        struct futex_waitv waiters[kMaxWaitWords];
        for (unsigned i = 0; i < count; ++i) {
            waiters[i].val = words[i].expected;
            waiters[i].uaddr = reinterpret_cast<uintptr_t>(words[i].address);
            waiters[i].flags = FUTEX_32 | (words[i].shared ? 0 : FUTEX_PRIVATE_FLAG);
            waiters[i].__reserved = 0;
        }
        struct timespec ts;
        struct timespec* pts = nullptr;
        if (deadline_ns >= 0) {
            ts.tv_sec = time_t(deadline_ns / 1'000'000'000);
            ts.tv_nsec = long(deadline_ns % 1'000'000'000);
            pts = &ts;
        }
        long rc = futex_waitv_call(waiters, count, pts);
        if (rc >= 0 || errno != ENOSYS) {
            g_have_waitv.store(1, std::memory_order_relaxed);
            return !(rc < 0 && errno == ETIMEDOUT);
        }
        g_have_waitv.store(0, std::memory_order_relaxed);
    }
    // Degraded: sleep on the first word in short slices; the caller
    // re-checks all words after each.
    int64_t slice_end = monotonic_ns() + kPollSliceNs;
    if (deadline_ns >= 0 && deadline_ns < slice_end) slice_end = deadline_ns;
    sleep_single(words[0], slice_end);
    return deadline_ns < 0 || monotonic_ns() < deadline_ns;
}

void simulate_missing_waitv_for_testing(bool missing) { g_have_waitv.store(missing ? 0 : -1); }

void wake_word(const void* address, int count, bool shared) {
    int op = shared ? FUTEX_WAKE : (FUTEX_WAKE | FUTEX_PRIVATE_FLAG);
    ::syscall(SYS_futex, address, op, count, nullptr, nullptr, 0);
}

}  // namespace w32rt::sync
