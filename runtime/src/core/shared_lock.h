// A lock word in shared memory that other users may write.
//
// A robust pthread mutex cannot live where another user can write: the C
// library follows the list pointers stored in it when it locks and unlocks
// (writing through them), and its kind field picks code paths; whoever
// writes the mutex writes into every process that locks it. This lock is a
// plain 32-bit word: 0 when free, else the holder's kernel thread id, with
// the top bit set once someone sleeps on it. Nothing in it is followed.
//
// Waiting is bounded. A waiter sleeps on the word (a shared futex) in short
// slices and, between slices, asks whether the holder's thread still runs;
// a dead holder's lock is taken over and reported (the caller repairs what
// it guards, as after EOWNERDEAD). A holder that lives but does not let go
// (a stopped process, or a word someone wrote a live thread's id into)
// makes the waiter give up at its deadline.
#pragma once

#include <stdint.h>

#include <atomic>

namespace w32rt {

enum class SharedLockResult {
    Acquired,
    Recovered,  // acquired from a holder that died holding it
    TimedOut,   // the deadline passed first
};

// Takes the lock before deadline_ns (monotonic clock, ns; negative: no
// deadline, for callers that bound the wait themselves).
SharedLockResult shared_lock(std::atomic<uint32_t>* word, int64_t deadline_ns);
// Takes the lock only if it is free at once.
bool shared_try_lock(std::atomic<uint32_t>* word);
void shared_unlock(std::atomic<uint32_t>* word);

}  // namespace w32rt
