// Critical sections inside the SDK's 40-byte RTL_CRITICAL_SECTION.
//
// Fields as this runtime uses them:
//   LockCount       futex word: 0 free, 1 held, 2 held with sleepers
//   RecursionCount  acquisitions by the owner not yet left
//   OwningThread    the owner's thread id (what GetCurrentThreadId returns), 0 when free
//   SpinCount       attempts before sleeping (0 on one processor)
//   DebugInfo, LockSemaphore  always null
// A zero-filled structure is a valid free critical section.
//
// Only the owner writes its own id into OwningThread, so the recursion test
// needs no ordering: a thread can read its own id there only if it wrote it.
// Leaving a critical section the caller does not own is undefined on Windows;
// here it changes nothing.
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <windows.h>

#include "core/error.h"
#include "core/futex.h"
#include "core/process_identity.h"

namespace {

constexpr ULONG_PTR kSpinMask = 0x00FFFFFF;  // the high byte carries flags

__attribute__((tls_model("initial-exec"))) thread_local uintptr_t t_self = 0;

void forget_self_in_child() { t_self = 0; }
[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, &forget_self_in_child);

inline uintptr_t self() {
    uintptr_t id = t_self;
    if (__builtin_expect(id == 0, 0)) id = t_self = uintptr_t(w32rt::current_tid());
    return id;
}

inline std::atomic<uint32_t>* lock_word(LPCRITICAL_SECTION cs) {
    return reinterpret_cast<std::atomic<uint32_t>*>(&cs->LockCount);
}

inline uintptr_t owner(LPCRITICAL_SECTION cs) {
    return __atomic_load_n(reinterpret_cast<uintptr_t*>(&cs->OwningThread), __ATOMIC_RELAXED);
}

inline void set_owner(LPCRITICAL_SECTION cs, uintptr_t id) {
    __atomic_store_n(reinterpret_cast<uintptr_t*>(&cs->OwningThread), id, __ATOMIC_RELAXED);
}

inline bool try_take(std::atomic<uint32_t>* word) {
    uint32_t expected = 0;
    return word->compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
}

__attribute__((noinline)) void take_slow(LPCRITICAL_SECTION cs) {
    std::atomic<uint32_t>* word = lock_word(cs);
    for (ULONG_PTR spins = cs->SpinCount & kSpinMask; spins > 0; --spins) {
        if (word->load(std::memory_order_relaxed) == 0 && try_take(word)) return;
        __builtin_ia32_pause();
    }
    // Marking the word 2 before sleeping tells the owner to wake someone.
    while (word->exchange(2, std::memory_order_acquire) != 0) w32rt::futex_wait(word, 2, -1, w32rt::FutexScope::Private);
}

static_assert(sizeof(CRITICAL_SECTION) == 40, "SDK layout");
static_assert(sizeof(LONG) == sizeof(uint32_t), "the lock word is LockCount");

}  // namespace

extern "C" {

W32RT_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection) memset(lpCriticalSection, 0, sizeof *lpCriticalSection);
}

W32RT_API BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    if (!lpCriticalSection) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    memset(lpCriticalSection, 0, sizeof *lpCriticalSection);
    static const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    lpCriticalSection->SpinCount = processors > 1 ? (dwSpinCount & kSpinMask) : 0;
    return TRUE;
}

W32RT_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (!lpCriticalSection) return;
    uintptr_t me = self();
    if (owner(lpCriticalSection) == me) {
        ++lpCriticalSection->RecursionCount;
        return;
    }
    if (!try_take(lock_word(lpCriticalSection))) take_slow(lpCriticalSection);
    set_owner(lpCriticalSection, me);
    lpCriticalSection->RecursionCount = 1;
}

W32RT_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (!lpCriticalSection) return FALSE;
    uintptr_t me = self();
    if (owner(lpCriticalSection) == me) {
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }
    if (!try_take(lock_word(lpCriticalSection))) return FALSE;
    set_owner(lpCriticalSection, me);
    lpCriticalSection->RecursionCount = 1;
    return TRUE;
}

W32RT_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (!lpCriticalSection || owner(lpCriticalSection) != self()) return;
    if (--lpCriticalSection->RecursionCount > 0) return;
    set_owner(lpCriticalSection, 0);
    if (lock_word(lpCriticalSection)->exchange(0, std::memory_order_release) == 2)
        w32rt::futex_wake(lock_word(lpCriticalSection), 1, w32rt::FutexScope::Private);
}

W32RT_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    // Nothing is allocated behind the structure.
    if (lpCriticalSection) memset(lpCriticalSection, 0, sizeof *lpCriticalSection);
}

}  // extern "C"
