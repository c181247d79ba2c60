// The runtime's wall clock and the FILETIME scale.
//
// Every system time the runtime reports or stamps (GetSystemTimeAsFileTime,
// local times, the creation times it keeps for files, registry keys' last-write
// times, event time stamps, last-write times of
// writes made through the runtime while an offset is set) comes from now(),
// which adds the test offset (w32rt_set_clock_offset, or EVTRACE_CLOCK_OFFSET
// read once at first use) to CLOCK_REALTIME. Monotonic clocks are not
// shifted.
#pragma once

#include <stdint.h>
#include <time.h>

#include <windows.h>

namespace w32rt::clock {

// 100-ns intervals ("ticks") per second and per day, and from 1601-01-01 to
// the Unix epoch.
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr int64_t kUnixEpoch = 116'444'736'000'000'000;

// The test offset in ticks.
void set_offset(int64_t ticks);
int64_t offset();
bool offset_active();

// FILETIME ticks now, with the offset.
uint64_t now();

inline uint64_t from_filetime(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
inline FILETIME to_filetime(uint64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = DWORD(ticks);
    ft.dwHighDateTime = DWORD(ticks >> 32);
    return ft;
}

// POSIX time stamps and FILETIME ticks. Times before 1601 clamp to 0.
uint64_t from_timespec(const struct timespec& ts);
struct timespec to_timespec(uint64_t ticks);

}  // namespace w32rt::clock
