// Sleeping on several futex words at once.
//
// Every wait of the runtime, on one object or many, with or without the
// thread's message queue, is one call here: the caller reads the words'
// values under its lock, releases the lock and sleeps until any word is woken
// or no longer holds the value read, so no wake-up between the two is lost.
// Words may be private to the process or shared through a mapping, mixed.
#pragma once

#include <stdint.h>

namespace w32rt::sync {

struct WaitWord {
    const void* address;  // a 32-bit word
    uint32_t expected;
    bool shared;
};

// The most words one sleep takes (the kernel's limit).
inline constexpr unsigned kMaxWaitWords = 128;

// Sleeps until a word is woken or changed, a signal arrives or the deadline
// (monotonic clock, ns; negative for none) passes. Returns false on
// time-out; callers re-check their condition in every case.
bool sleep_on_words(const WaitWord* words, unsigned count, int64_t deadline_ns);

void wake_word(const void* address, int count, bool shared);

// Tests: makes sleep_on_words behave as on a kernel without futex_waitv
// (true), or detect it again (false).
void simulate_missing_waitv_for_testing(bool missing);

}  // namespace w32rt::sync
