// Futex waits and wakes on 32-bit words, private to the process or shared
// through a mapping. Waits return on a wake, a changed word, a signal or the
// time-out; callers always re-check their condition.
#pragma once

#include <stdint.h>
#include <time.h>

#include <atomic>

namespace w32rt {

enum class FutexScope { Private, Shared };

// Sleeps while *word == expected, at most timeout_ns (negative: no limit).
// Returns false on time-out.
bool futex_wait(std::atomic<uint32_t>* word, uint32_t expected, int64_t timeout_ns, FutexScope scope);

// Wakes up to count waiters (INT32_MAX for all).
void futex_wake(std::atomic<uint32_t>* word, int count, FutexScope scope);

// Monotonic clock in nanoseconds.
int64_t monotonic_ns();

}  // namespace w32rt
