#include "session_state.h"

#include <strings.h>
#include <unistd.h>

#include <vector>

#include <fmt/format.h>
#include <w32rt/trace_sessions.h>

#include "command.h"

namespace evtrace {

SessionState QuerySession(const char* name) {
    SessionState state;
    std::vector<w32rt::TraceSessionInfo> sessions;
    if (!w32rt::list_trace_sessions(&sessions)) return state;
    state.known = true;
    for (const auto& s : sessions) {
        if (strcasecmp(s.name.c_str(), name) != 0) continue;
        state.running = true;
        state.handle = s.handle;
        state.consumers = s.consumers.size();
        for (const auto& c : s.consumers) {
            if (c.pid != getpid()) continue;
            state.attached = true;
            state.delivered += c.delivered;
            state.lost += c.lost;
        }
    }
    return state;
}

unsigned long long LossCounter::Update(const SessionState& state) {
    const unsigned long long old = total();
    if (state.running && state.attached) {
        if (state.handle != handle_) {
            before_ += current_;
            current_ = 0;
            handle_ = state.handle;
        }
        if (state.lost > current_) current_ = state.lost;
    }
    return total() - old;
}

std::string AttachFailure(DWORD status) {
    switch (status) {
        case ERROR_WMI_INSTANCE_NOT_FOUND: return "the session is not running";
        case ERROR_NO_SYSTEM_RESOURCES: {
            SessionState state = QuerySession();
            return state.known ? fmt::format("no free consumer slot: {} are in use", state.consumers)
                               : "no free consumer slot";
        }
        default: return SystemText(status);
    }
}

}  // namespace evtrace
