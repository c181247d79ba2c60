// What a consumer of evtrace knows about the session it listens to: whether
// it runs, whether this process has a consumer slot on it, and what that
// slot delivered and lost. Losses add up over the slots this process had,
// across stops and restarts of the session.
#pragma once

#include <TraceApi.h>

#include <string>

namespace evtrace {

struct SessionState {
    bool known = false;    // the sessions could be listed (the caller may)
    bool running = false;
    unsigned long long handle = 0;
    bool attached = false;  // a consumer slot of this process is on it
    unsigned long long delivered = 0;
    unsigned long long lost = 0;  // of this process's slots
    size_t consumers = 0;         // every process's
};

SessionState QuerySession(const char* name = EVT_SESSION_NAME);

class LossCounter {
public:
    // Takes a new look; returns the losses since the last one.
    unsigned long long Update(const SessionState& state);
    unsigned long long total() const { return before_ + current_; }

private:
    unsigned long long handle_ = 0;
    unsigned long long before_ = 0;   // of slots on earlier sessions
    unsigned long long current_ = 0;  // of the slot on the session now
};

// "no free consumer slot: 32 are in use" and the like: why OpenTraceA or a
// listener could not attach, in words.
std::string AttachFailure(DWORD status);

}  // namespace evtrace
