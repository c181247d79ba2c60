// Threads: CreateThread, ResumeThread, ExitThread, GetExitCodeThread.
//
// A thread made by CreateThread starts in thread_start(), which keeps a
// landing point (setjmp) below the start routine. ExitThread on such a
// thread jumps back to it: the frames in between are abandoned without
// unwinding, as on Windows, so no destructor runs and no catch (...) on the
// way can swallow the exit. ExitThread on any other thread has no landing
// point and falls back to pthread_exit, which unwinds.
//
// End of a thread, in order: the start routine returns (or ExitThread lands),
// the thread's C++ thread_local destructors run (retiring its mutex tokens,
// so its mutexes are abandoned, and dropping its message queue), then the
// thread-specific-data destructor below publishes the exit code and signals
// the handle. A thread waiting on the handle thus finds the mutexes already
// abandoned.
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <setjmp.h>

#include <memory>
#include <new>

#include "core/error.h"
#include "core/futex.h"
#include "core/process_identity.h"
#include "identity/identity.h"
#include "sync/object_region.h"
#include "sync/sync_objects.h"

using w32rt::FutexScope;
using w32rt::sync::ThreadObject;

namespace {

constexpr DWORD kThreadAllAccess = THREAD_ALL_ACCESS;

struct StartBlock {
    std::shared_ptr<ThreadObject> thread;
    DWORD exit_code = 0;
};

thread_local jmp_buf* t_exit_landing = nullptr;
thread_local DWORD t_exit_code = 0;

pthread_key_t g_exit_key;
pthread_once_t g_exit_key_once = PTHREAD_ONCE_INIT;

void finish_thread(void* value) {
    auto* block = static_cast<StartBlock*>(value);
    ThreadObject* t = block->thread.get();
    // Mutexes taken by thread_local destructors that ran after the token
    // guard are abandoned here too.
    w32rt::sync::retire_thread_tokens();
    t->exit_code = block->exit_code;
    t->exited.store(1, std::memory_order_release);
    w32rt::futex_wake(&t->exited, INT32_MAX, FutexScope::Private);
    delete block;
}

void make_exit_key() { pthread_key_create(&g_exit_key, &finish_thread); }

// Runs the start routine below a landing point for ExitThread. No local of
// this frame is used after the jump but the jump buffer itself.
__attribute__((noinline)) void run_start_routine(ThreadObject* t) {
    jmp_buf landing;
    t_exit_landing = &landing;
    t_exit_code = STILL_ACTIVE;
    if (setjmp(landing) == 0) t_exit_code = t->start_routine(t->start_parameter);
    t_exit_landing = nullptr;
}

void* thread_start(void* arg) {
    auto* block = static_cast<StartBlock*>(arg);
    ThreadObject* t = block->thread.get();
    pthread_setspecific(g_exit_key, block);
    t->tid = w32rt::current_tid();
    // Windows threads start with the process's identity, Linux threads with
    // their creator's: drop an impersonation inherited from the creator.
    w32rt::reset_thread_identity();
    t->started.store(1, std::memory_order_release);
    w32rt::futex_wake(&t->started, INT32_MAX, FutexScope::Private);
    for (;;) {
        uint32_t suspended = t->suspend_count.load(std::memory_order_acquire);
        if (suspended == 0) break;
        w32rt::futex_wait(&t->suspend_count, suspended, -1, FutexScope::Private);
    }
    run_start_routine(t);
    block->exit_code = t_exit_code;
    return nullptr;
}

std::shared_ptr<ThreadObject> lookup_thread(HANDLE h) {
    return w32rt::HandleTable::instance().lookup_as<ThreadObject>(h, w32rt::ObjectKind::Thread);
}

}  // namespace

extern "C" {

W32RT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                     LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                                     LPDWORD lpThreadId) {
    if (!lpStartAddress) return w32rt::fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    if (dwCreationFlags & ~DWORD(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION))
        return w32rt::fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    pthread_once(&g_exit_key_once, &make_exit_key);

    StartBlock* block = new (std::nothrow) StartBlock;
    if (!block) return w32rt::fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    try {
        block->thread =
            std::make_shared<ThreadObject>(lpStartAddress, lpParameter, (dwCreationFlags & CREATE_SUSPENDED) != 0);
    } catch (const std::bad_alloc&) {
        delete block;
        return w32rt::fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    }
    std::shared_ptr<ThreadObject> thread = block->thread;
    bool inherit = lpThreadAttributes && lpThreadAttributes->bInheritHandle;
    HANDLE handle = w32rt::HandleTable::instance().insert(thread, kThreadAllAccess, inherit);
    if (!handle) {
        delete block;
        return nullptr;
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Windows takes dwStackSize as the size to commit within the default
    // reservation unless told it is the reservation; a smaller value never
    // shrinks the stack.
    size_t default_size = 0;
    pthread_attr_getstacksize(&attr, &default_size);
    size_t wanted = dwStackSize;
    if (dwCreationFlags & STACK_SIZE_PARAM_IS_A_RESERVATION) {
        if (wanted && wanted < size_t(PTHREAD_STACK_MIN)) wanted = size_t(PTHREAD_STACK_MIN);
        if (wanted) pthread_attr_setstacksize(&attr, wanted);
    } else if (wanted > default_size) {
        pthread_attr_setstacksize(&attr, wanted);
    }
    pthread_t id;
    int rc = pthread_create(&id, &attr, &thread_start, block);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete block;
        w32rt::HandleTable::instance().close(handle);
        return w32rt::fail(rc == EAGAIN ? DWORD(ERROR_NOT_ENOUGH_MEMORY) : w32rt::win32_from_errno(rc),
                           HANDLE(nullptr));
    }
    // The id is the new thread's kernel id, which only it can read.
    while (thread->started.load(std::memory_order_acquire) == 0)
        w32rt::futex_wait(&thread->started, 0, -1, FutexScope::Private);
    if (lpThreadId) *lpThreadId = DWORD(thread->tid);
    return handle;
}

W32RT_API DWORD WINAPI ResumeThread(HANDLE hThread) {
    if (hThread == GetCurrentThread()) return 0;  // a running thread is not suspended
    auto thread = lookup_thread(hThread);
    if (!thread) return DWORD(-1);
    uint32_t count = thread->suspend_count.load(std::memory_order_acquire);
    while (count > 0 && !thread->suspend_count.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
    }
    if (count == 1) w32rt::futex_wake(&thread->suspend_count, INT32_MAX, FutexScope::Private);
    return count;
}

W32RT_API __attribute__((noreturn)) void WINAPI ExitThread(DWORD dwExitCode) {
    if (jmp_buf* landing = t_exit_landing) {
        t_exit_code = dwExitCode;
        longjmp(*landing, 1);
    }
    pthread_exit(reinterpret_cast<void*>(uintptr_t(dwExitCode)));
}

W32RT_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    if (!lpExitCode) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    if (hThread == GetCurrentThread()) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    auto thread = lookup_thread(hThread);
    if (!thread) return FALSE;
    *lpExitCode = thread->has_exited() ? thread->exit_code : STILL_ACTIVE;
    return TRUE;
}

}  // extern "C"
