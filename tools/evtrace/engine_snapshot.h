// The event engine's answer to live-snapshot requests. A consumer sets the
// start event and waits ten seconds for the end event: the engine either
// writes its queue to the file named by HKLM "...\EvTrace\Eng\" value
// "SnapShotFile" and stays silent (the consumer then reads the file and
// deletes it), or declines by setting the end event at once.
#pragma once

#include <TraceApi.h>

#include <string>

namespace evtrace {

class SnapshotServer {
public:
    // Creates the two events (auto reset, null access list). Throws
    // CommandError when they cannot be made.
    SnapshotServer();
    ~SnapshotServer();
    SnapshotServer(const SnapshotServer&) = delete;
    SnapshotServer& operator=(const SnapshotServer&) = delete;

    // Answers requests until Stop; runs on a thread of its own.
    void Serve(CEvDataQueue& queue);
    void Stop();

    // Writes the queue to the snapshot file: written aside, renamed into
    // place, a zero count for an empty queue. Empty on success, else why
    // not (the request is then declined).
    static std::string WriteSnapshot(CEvDataQueue& queue);

private:
    HANDLE m_start = nullptr;
    HANDLE m_end = nullptr;
    HANDLE m_stop = nullptr;
};

}  // namespace evtrace
