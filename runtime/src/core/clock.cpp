// The runtime's wall clock: CLOCK_REALTIME on the FILETIME scale, shifted
// by the test offset.
#include "core/clock.h"

#include <errno.h>
#include <stdlib.h>

#include <atomic>

#include <w32rt/testing.h>

namespace w32rt::clock {

namespace {

int64_t initial_offset() {
    const char* env = getenv("EVTRACE_CLOCK_OFFSET");
    if (!env || !*env) return 0;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(env, &end, 10);
    return (errno == 0 && end && *end == '\0') ? int64_t(v) : 0;
}

std::atomic<int64_t>& offset_slot() {
    static std::atomic<int64_t> slot{initial_offset()};
    return slot;
}

}  // namespace

void set_offset(int64_t ticks) { offset_slot().store(ticks, std::memory_order_relaxed); }
int64_t offset() { return offset_slot().load(std::memory_order_relaxed); }
bool offset_active() { return offset() != 0; }

uint64_t from_timespec(const struct timespec& ts) {
    int64_t ticks = int64_t(ts.tv_sec) * kTicksPerSecond + ts.tv_nsec / 100 + kUnixEpoch;
    return ticks < 0 ? 0 : uint64_t(ticks);
}

struct timespec to_timespec(uint64_t ticks) {
    int64_t t = int64_t(ticks) - kUnixEpoch;
    int64_t sec = t / kTicksPerSecond;
    int64_t rem = t % kTicksPerSecond;
    if (rem < 0) {
        rem += kTicksPerSecond;
        --sec;
    }
    struct timespec ts;
    ts.tv_sec = time_t(sec);
    ts.tv_nsec = long(rem * 100);
    return ts;
}

uint64_t now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(int64_t(from_timespec(ts)) + offset());
}

}  // namespace w32rt::clock

extern "C" {

W32RT_API void w32rt_set_clock_offset(int64_t offset_100ns) { w32rt::clock::set_offset(offset_100ns); }

W32RT_API int64_t w32rt_clock_offset(void) { return w32rt::clock::offset(); }

}  // extern "C"
