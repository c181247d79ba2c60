// The debug viewer: receives the OutputDebugStringA texts of every process
// of the machine root ("evtrace dbgview" is one).
//
// One viewer at a time may be attached to a root. Senders write into a
// shared ring and never wait: while no viewer is attached a text costs them
// one load of a shared flag, and when the ring is full the text is dropped
// and counted. A viewer that dies is noticed by the next one to attach (and
// by senders that find the ring full), so the root never stays claimed.
#pragma once

#include <w32rt/api.h>

#include <memory>
#include <string>
#include <vector>

namespace w32rt {

struct DebugMessage {
    uint32_t process_id;
    uint32_t thread_id;
    std::string text;  // as sent, line break included
};

class W32RT_API DebugViewer {
public:
    // Attaches to the machine root in use. Null with the last error set when
    // it cannot: ERROR_BUSY while another viewer is attached.
    static std::unique_ptr<DebugViewer> attach();

    DebugViewer(const DebugViewer&) = delete;
    DebugViewer& operator=(const DebugViewer&) = delete;
    ~DebugViewer();  // detaches

    // The texts that arrived, waiting up to timeout_ms for the first.
    // Texts longer than a ring slot arrive whole.
    std::vector<DebugMessage> receive(uint32_t timeout_ms);

    // Texts lost since the ring was made: sent while it was full, or
    // abandoned by a sender that stalled in the middle of writing one.
    uint64_t lost() const;

    struct State;

private:
    explicit DebugViewer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace w32rt
