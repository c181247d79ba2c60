// The trace sessions of the machine root as a whole, for tools: what
// QueryAllTracesA reports, and what it cannot (the consumers attached and
// the providers enabled).
#pragma once

#include <w32rt/api.h>

#include <stdint.h>

#include <string>
#include <vector>

#include <evntrace.h>

namespace w32rt {

struct TraceConsumerInfo {
    int32_t pid = 0;
    uint32_t uid = 0;
    bool alive = false;
    uint64_t delivered = 0;
    uint64_t lost = 0;           // refused for want of room, and skipped
    uint64_t backlog_bytes = 0;  // written and not yet read
};

struct TraceProviderInfo {
    GUID guid{};
    uint32_t level = 0;
    uint32_t flags = 0;
};

struct TraceSessionInfo {
    std::string name;
    TRACEHANDLE handle = 0;
    GUID guid{};
    uint32_t log_file_mode = 0;
    uint32_t buffer_size_kb = 0;
    uint32_t minimum_buffers = 0;
    uint32_t maximum_buffers = 0;
    uint32_t free_buffers = 0;
    uint32_t flush_timer = 0;
    uint32_t enable_flags = 0;
    uint32_t clock_type = 0;
    uint64_t ring_bytes = 0;  // each consumer's ring
    uint64_t start_time = 0;  // FILETIME
    int32_t starter_pid = 0;
    uint64_t events_written = 0;
    uint64_t events_lost = 0;
    uint64_t realtime_lost = 0;
    std::vector<TraceConsumerInfo> consumers;
    std::vector<TraceProviderInfo> providers;
};

// The running sessions, in slot order. False with the last error set when
// the caller may not query sessions (ERROR_ACCESS_DENIED) or the root's
// session directory is unusable. Consumers whose process died are reaped
// first, as any query does.
W32RT_API bool list_trace_sessions(std::vector<TraceSessionInfo>* sessions);

}  // namespace w32rt
