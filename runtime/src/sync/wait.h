// The one wait of the runtime: on events, mutexes and threads, named or not,
// in any number of roots, optionally together with one more condition (the
// thread's message queue).
//
// How a wait works. Under the table lock of every region involved (taken in
// address order) the waiter evaluates its objects and, when the wait is
// satisfied, consumes them at once: an auto-reset event is reset, a mutex
// becomes the caller's. Wait-all therefore acquires all objects atomically
// or none. Otherwise it notes every object's futex word, and for each mutex
// owned by a live thread that thread's token word too, releases the locks
// and sleeps on all those words at once (futex_waitv). Any change that may
// satisfy a waiter bumps the object's word under the lock, so no wake-up is
// lost between the evaluation and the sleep. Nothing is registered with the
// objects but a sleeper count, so a waiter killed in its sleep leaves nothing
// behind that others must clean up.
//
// PulseEvent. Each event counts its pulses. A waiter notes the count when it
// starts; a manual-reset event pulsed since then releases it, an auto-reset
// event releases it when it claims the pulse first (each pulse of an
// auto-reset event can be claimed once, and only by threads that were
// already waiting). Quirk: a wait-all waiter judges a pulse when it wakes,
// not at the pulse's instant, so the other objects of its wait may have
// become signalled in between.
//
// Auto-reset events and released mutexes wake every sleeper; all but the one
// that takes the object go back to sleep. Which waiter wins is not first come,
// first served (Windows does not promise that either).
#pragma once

#include <windows.h>

#include "sync/futex_words.h"

namespace w32rt::sync {

// A condition a wait may include besides its handles.
class ExtraWaitable {
public:
    virtual ~ExtraWaitable() = default;
    // The word to sleep on, read before evaluating ready().
    virtual WaitWord word() = 0;
    virtual bool ready() = 0;
    // Called when the wait returns because of it.
    virtual void satisfied() = 0;
};

// Waits for one (wait_all false) or all of the handles, and for the extra
// condition when given (reported as WAIT_OBJECT_0 + count; with wait_all it
// is required together with every handle). Returns WAIT_OBJECT_0 + i,
// WAIT_ABANDONED_0 + i, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
// count may be 0 only with an extra condition.
DWORD wait_for_handles(DWORD count, const HANDLE* handles, bool wait_all, DWORD timeout_ms, ExtraWaitable* extra);

}  // namespace w32rt::sync
