// The seam between the event data queue and the process's CSV logger
// (CEvWEVLogQueue), which writes the records that the queue accepts to the
// event-viewer log files. The logger arrives with those log files; until a
// logger exists g_pWEVLogQueue stays null and the queue passes nothing on.
#pragma once

#include <TraceApi.h>

namespace traceapi {

// What the data queue asks of the CSV logger. Every call is made with the
// data queue's lock held (the data queue's lock is always taken before the
// logger's own).
class IEvRecordLog {
public:
    virtual ~IEvRecordLog() = default;
    // Called before the record is queued. The logger copies what it keeps
    // before returning: the queue may evict and free the record at once
    // (a queue smaller than the logger's batch would otherwise hand it
    // records that are already gone).
    virtual void PushDataInWEVLogFile(const _VANTA_EVTRACE_DATA* record) = 0;
    // Forgets the records pending for the next batch.
    virtual void ResetWEVLog() = 0;
    virtual void RetrieveINISettings(const _VANTA_WEV_LOGGING_SETTINGS& settings) = 0;
};

// The one logger of the process, or null.
extern IEvRecordLog* g_pWEVLogQueue;

}  // namespace traceapi
