#include "core/shared_lock.h"

#include <linux/futex.h>

#include "core/futex.h"
#include "core/process_identity.h"

namespace w32rt {

namespace {

constexpr uint32_t kSleepers = 0x80000000u;
constexpr uint32_t kHolderMask = 0x3FFFFFFFu;  // FUTEX_TID_MASK
// A holder usually lets go within microseconds; after this long asleep the
// waiter asks whether it still runs, and again after every slice.
constexpr int64_t kSliceNs = 2'000'000;
constexpr int kSpins = 64;

uint32_t my_id() { return uint32_t(current_tid()) & kHolderMask; }

}  // namespace

bool shared_try_lock(std::atomic<uint32_t>* word) {
    uint32_t expected = 0;
    return word->compare_exchange_strong(expected, my_id(), std::memory_order_acquire, std::memory_order_relaxed);
}

SharedLockResult shared_lock(std::atomic<uint32_t>* word, int64_t deadline_ns) {
    const uint32_t me = my_id();
    for (int i = 0; i < kSpins; ++i) {
        uint32_t expected = 0;
        if (word->compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed))
            return SharedLockResult::Acquired;
        __builtin_ia32_pause();
    }
    int64_t check_at = monotonic_ns() + kSliceNs;
    for (;;) {
        uint32_t v = word->load(std::memory_order_relaxed);
        if (v == 0) {
            // Taken after sleeping: others may sleep too, so the mark stays
            // and the unlock wakes one of them.
            if (word->compare_exchange_weak(v, me | kSleepers, std::memory_order_acquire, std::memory_order_relaxed))
                return SharedLockResult::Acquired;
            continue;
        }
        int64_t now = monotonic_ns();
        if (now >= check_at) {
            uint32_t holder = v & kHolderMask;
            // Our own id there means a thread of ours that ended holding it
            // (its id now ours), or a word written by someone else.
            if (holder == me || !task_alive(pid_t(holder))) {
                if (word->compare_exchange_strong(v, me | kSleepers, std::memory_order_acquire,
                                                  std::memory_order_relaxed))
                    return SharedLockResult::Recovered;
                continue;
            }
            check_at = now + kSliceNs;
        }
        if (deadline_ns >= 0 && now >= deadline_ns) return SharedLockResult::TimedOut;
        if (!(v & kSleepers) &&
            !word->compare_exchange_weak(v, v | kSleepers, std::memory_order_relaxed, std::memory_order_relaxed))
            continue;
        int64_t sleep = check_at - now;
        if (deadline_ns >= 0 && deadline_ns - now < sleep) sleep = deadline_ns - now;
        futex_wait(word, v | kSleepers, sleep > 0 ? sleep : 1, FutexScope::Shared);
    }
}

void shared_unlock(std::atomic<uint32_t>* word) {
    if (word->exchange(0, std::memory_order_release) & kSleepers) futex_wake(word, 1, FutexScope::Shared);
}

}  // namespace w32rt
