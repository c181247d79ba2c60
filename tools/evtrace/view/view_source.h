// Where the viewer's events come from, and the session's health.
//
// The viewer is a client of the running session: the library's consumer
// (EvtInitialize with the consumer) delivers every event to a client
// callback (SetEvTraceCallback). A supervisor thread looks at the session
// once a second through the runtime's session query (what evtrace sessions
// shows): it attaches again when the session comes back, and when the
// session runs but has no consumer slot free for the viewer, it falls back to
// the event engine's live snapshots (an infoset opened without a file name),
// taken one after the other, each new record delivered once.
#pragma once

#include <TraceApi.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <w32rt/trace_sessions.h>

#include "view/view_feed.h"

namespace evtrace::view {

enum class SourceMode {
    Waiting,   // the session is not running
    Live,      // the consumer's client callback delivers
    Snapshot,  // no consumer slot was free: the engine's snapshots
};
const char* SourceModeName(SourceMode mode);

struct SessionStats {
    bool running = false;
    bool queried = false;       // false when the session query failed
    std::string queryError;     // why it failed
    w32rt::TraceSessionInfo info;
    bool attached = false;      // a consumer slot of this process is in the session
    uint64_t viewerDelivered = 0;
    uint64_t viewerLost = 0;    // lost by the session for this viewer's slots
    double sampledAt = 0;       // seconds on the steady clock
};

class Source {
public:
    explicit Source(Feed& feed) : feed_(feed) {}
    ~Source() { Stop(); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Makes the library's controller and consumer, optionally starts and
    // enables the session, attaches, and starts the supervisor. Throws
    // CommandError when the library cannot be initialised or access to the
    // session is denied.
    void Start(bool enableSession);
    // Stops the supervisor and the snapshots, then the consumer (no event
    // arrives after).
    void Stop();

    SourceMode mode() const { return mode_.load(); }
    SessionStats stats() const;
    uint64_t snapshots() const { return snapshots_.load(); }
    std::string snapshotError() const;
    // Whether the event database lists the code as an alert.
    bool IsAlert(DWORD code) const;

    // The library's consumer answers queries from one thread at a time
    // (the provider list must not be asked for concurrently): hold this
    // around every query call.
    std::mutex& libraryLock() { return libraryLock_; }

private:
    void Supervise();
    void Attach();
    void Sample();
    void TakeSnapshots();
    void RefreshAlertCodes();
    static void OnRecord(_VANTA_EVTRACE_DATA* record);

    Feed& feed_;
    std::mutex libraryLock_;
    bool initialized_ = false;
    std::atomic<SourceMode> mode_{SourceMode::Waiting};
    std::atomic<bool> stop_{false};
    std::mutex wakeLock_;
    std::condition_variable wake_;
    std::thread supervisor_;
    std::thread snapshotter_;
    std::atomic<bool> snapshotting_{false};
    std::atomic<uint64_t> snapshots_{0};

    mutable std::mutex statsLock_;
    SessionStats stats_;
    uint64_t slotLost_ = 0;     // lost so far by the slot the viewer holds
    uint64_t earlierLost_ = 0;  // lost by the slots it held before
    std::string snapshotError_;

    // Alert codes, from the library's alert list, refreshed now and then;
    // the callback looks codes up here rather than in the consumer.
    mutable std::mutex alertLock_;
    std::vector<DWORD> alertCodes_;

    // Signatures of the records of the last snapshot (snapshot thread only).
    std::set<std::string> lastSnapshot_;
};

}  // namespace evtrace::view
