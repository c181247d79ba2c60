// Sleeping, yielding and the tick and performance counters.
//
// GetTickCount counts from boot including time spent suspended, as Windows
// does (CLOCK_BOOTTIME). The performance counter is the monotonic clock in
// nanoseconds: its frequency is 1,000,000,000.
#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <windows.h>

#include "core/error.h"

namespace {

constexpr LONGLONG kPerformanceFrequency = 1'000'000'000;

uint64_t boot_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1'000'000;
}

void sleep_ms(DWORD ms) {
    if (ms == 0) {
        // Gives up the rest of the time slice, like Sleep(0).
        sched_yield();
        return;
    }
    if (ms == INFINITE) {
        for (;;) pause();
    }
    struct timespec left = {time_t(ms / 1000), long(ms % 1000) * 1'000'000};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) {
    }
}

}  // namespace

extern "C" {

W32RT_API void WINAPI Sleep(DWORD dwMilliseconds) { sleep_ms(dwMilliseconds); }

// No APC can be queued to a thread of this runtime, so an alertable sleep
// always lasts its full time and returns 0.
W32RT_API DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    sleep_ms(dwMilliseconds);
    return 0;
}

// The scheduler does not tell whether another thread was ready, so the
// yield is always reported as done.
W32RT_API BOOL WINAPI SwitchToThread(void) {
    sched_yield();
    return TRUE;
}

W32RT_API DWORD WINAPI GetTickCount(void) { return DWORD(boot_ms()); }

W32RT_API ULONGLONG WINAPI GetTickCount64(void) { return boot_ms(); }

W32RT_API BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) return w32rt::fail(ERROR_NOACCESS, FALSE);
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    lpPerformanceCount->QuadPart = LONGLONG(ts.tv_sec) * kPerformanceFrequency + ts.tv_nsec;
    return TRUE;
}

W32RT_API BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) return w32rt::fail(ERROR_NOACCESS, FALSE);
    lpFrequency->QuadPart = kPerformanceFrequency;
    return TRUE;
}

}  // extern "C"
