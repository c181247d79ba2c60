// Events and mutexes: creation, opening and state changes, and the WaitFor*
// entry points (the wait itself is wait.cpp's).
#include "core/error.h"
#include "sync/object_api.h"
#include "sync/wait.h"

using w32rt::ObjectKind;
using namespace w32rt::sync;

namespace {

// Runs fn on the object's slot under its table's lock; wakes whoever fn
// queued once the lock is released. FALSE with the last error set when the
// object is gone or the table cannot be locked.
template <class Fn>
BOOL with_slot(const std::shared_ptr<SharedObject>& object, Fn fn) {
    WakeList wake;
    ObjectRegion* region = object->region();
    if (!region->lock()) return FALSE;
    ObjectSlot* s = object->slot();
    DWORD error = s ? fn(region, s, wake) : DWORD(ERROR_INVALID_HANDLE);
    region->unlock();
    if (error != ERROR_SUCCESS) return w32rt::fail(error, FALSE);
    return TRUE;
}

}  // namespace

extern "C" {

W32RT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                     LPCSTR lpName) {
    CreateRequest request;
    request.manual_reset = bManualReset != FALSE;
    request.initial_state = bInitialState != FALSE;
    return create_shared_object(ObjectKind::Event, lpEventAttributes, lpName, request);
}

W32RT_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    return open_shared_object(ObjectKind::Event, dwDesiredAccess, bInheritHandle, lpName);
}

W32RT_API BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = lookup_shared(hEvent, ObjectKind::Event, EVENT_MODIFY_STATE);
    if (!event) return FALSE;
    return with_slot(event, [](ObjectRegion* region, ObjectSlot* s, WakeList& wake) -> DWORD {
        if (!s->signaled) {
            s->signaled = 1;
            region->signal_waiters(s, wake);
        }
        return ERROR_SUCCESS;
    });
}

W32RT_API BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = lookup_shared(hEvent, ObjectKind::Event, EVENT_MODIFY_STATE);
    if (!event) return FALSE;
    return with_slot(event, [](ObjectRegion*, ObjectSlot* s, WakeList&) -> DWORD {
        s->signaled = 0;
        return ERROR_SUCCESS;
    });
}

W32RT_API BOOL WINAPI PulseEvent(HANDLE hEvent) {
    auto event = lookup_shared(hEvent, ObjectKind::Event, EVENT_MODIFY_STATE);
    if (!event) return FALSE;
    return with_slot(event, [](ObjectRegion* region, ObjectSlot* s, WakeList& wake) -> DWORD {
        // Releases the threads waiting now (see wait.h); the event itself
        // ends up reset either way.
        s->signaled = 0;
        ++s->pulse_gen;
        if (!(s->flags & kManualReset)) s->pulse_pending = 1;
        region->signal_waiters(s, wake);
        return ERROR_SUCCESS;
    });
}

W32RT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    CreateRequest request;
    request.initial_owner = bInitialOwner != FALSE;  // ignored when the mutex exists
    return create_shared_object(ObjectKind::Mutex, lpMutexAttributes, lpName, request);
}

W32RT_API HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
    return open_shared_object(ObjectKind::Mutex, dwDesiredAccess, bInheritHandle, lpName);
}

W32RT_API BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    auto mutex = lookup_shared(hMutex, ObjectKind::Mutex, 0);
    if (!mutex) return FALSE;
    return with_slot(mutex, [](ObjectRegion* region, ObjectSlot* s, WakeList& wake) -> DWORD {
        if (!region->token_is(s, TokenTable::mine(region->machine(), false))) return ERROR_NOT_OWNER;
        if (s->recursion > 1) {
            --s->recursion;
        } else {
            s->recursion = 0;
            region->set_owner(s, TokenRef{});
            region->signal_waiters(s, wake);
        }
        return ERROR_SUCCESS;
    });
}

W32RT_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return wait_for_handles(1, &hHandle, false, dwMilliseconds, nullptr);
}

// No APC can be queued to a thread of this runtime, so an alertable wait
// never ends with WAIT_IO_COMPLETION.
W32RT_API DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    return wait_for_handles(1, &hHandle, false, dwMilliseconds, nullptr);
}

W32RT_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                              DWORD dwMilliseconds) {
    if (nCount == 0) return w32rt::fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    return wait_for_handles(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds, nullptr);
}

W32RT_API DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                                DWORD dwMilliseconds, BOOL bAlertable) {
    if (nCount == 0) return w32rt::fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    return wait_for_handles(nCount, lpHandles, bWaitAll != FALSE, dwMilliseconds, nullptr);
}

}  // extern "C"
