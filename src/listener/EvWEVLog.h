// Internals of the event-viewer CSV logger (CEvWEVLogQueue): the process's
// one logger, its batch hand-off and the records it keeps across failures.
// EvWEVLogQueue.cpp holds the life cycle, settings, pushes and the worker;
// EvWEVLogFiles.cpp the day files, rows and roll-over; EvWEVLogRetention.cpp
// the copy, move and delete rules.
#pragma once

#include <TraceApi.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "frame/EvLocks.h"

namespace traceapi {

// The process's logger, or null. Made by the first live CEvDataQueue and
// destroyed with the last (AcquireWEVLogQueue / ReleaseWEVLogQueue), so it
// stays put for as long as any queue that could push to it lives.
extern CEvWEVLogQueue* g_pWEVLogQueue;
void AcquireWEVLogQueue();
void ReleaseWEVLogQueue();

namespace wevlog {

constexpr size_t kBatchSize = 200;
// Records kept after failed writes, written ahead of the next batch.
constexpr size_t kMaxKeptRecords = 10 * kBatchSize;
// Batches waiting for the worker (a writer far behind its pushes).
constexpr size_t kMaxWaitingBatches = 50;
constexpr DWORD kDefaultLimit = 0x100000;
// How long a worker with nothing to write waits for the next batch.
constexpr DWORD kWorkerLingerMs = 200;
// The key of "WEVFileCount" (the hosts' logging settings live there too).
inline constexpr char kLogViewerKey[] = "SOFTWARE\\Vanta\\Wireless\\LogViewer\\AllUsers";
inline constexpr char kFileCountValue[] = "WEVFileCount";

// A record as the logger keeps it: the fixed part, the text up to its first
// zero (dwDataLen becomes its length) and the zero tail. Null when out of
// memory. Freed with FreeCopy.
_VANTA_EVTRACE_DATA* CopyForLog(const _VANTA_EVTRACE_DATA* record);
void FreeCopy(_VANTA_EVTRACE_DATA* record);
void FreeCopies(CEvWEVLogQueue::RecordList* list);

// Local date as the file names carry it: "%4d_%2d_%2d".
std::string DateText();

// Creates a folder and every missing folder above it; true when it exists
// as a folder afterwards (else the last error says why).
bool CreateFolderPath(const std::string& folder);

class LogLock {
public:
    explicit LogLock(CritSecLogQueue& cs) : m_cs(cs) { m_cs.EnterCritSecLogQueue(); }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
    ~LogLock() { m_cs.LeaveCritSecLogQueue(); }

private:
    CritSecLogQueue& m_cs;
};

}  // namespace wevlog
}  // namespace traceapi

// What the logger keeps besides its specified members. The hand-off lock
// guards the pending list (m_pPending), the waiting batches and the worker
// threads; m_csLog guards the kept records and everything the writing and
// the rules use. Order: m_csLog, then the hand-off lock; a push takes only
// the hand-off lock (under the data queue's lock). Nested in the logger, so
// its functions reach the logger's private parts.
struct CEvWEVLogQueue::State {
    State();
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    CRITICAL_SECTION handoff;
    std::deque<RecordList*> waiting;  // batches for the worker, oldest first
    HANDLE worker = nullptr;          // the thread taking waiting batches
    bool workerRunning = false;       // it will still take the next batch
    HANDLE wake = nullptr;            // auto-reset: a batch for a waiting worker
    bool closing = false;             // the logger is being destroyed
    std::vector<HANDLE> finished;     // earlier workers, perhaps still returning
    // m_bEnabled as pushes see it (written under both locks).
    std::atomic<bool> pushEnabled{false};

    RecordList kept;  // copies not yet written, oldest first
    // Records given up (failed too long, or no memory), not yet reported.
    std::atomic<unsigned long long> dropped{0};
    std::string failure;      // why the latest write left records behind
    std::string writingFile;  // the file being written
    // A write that failed and could not be cut back: the file, the size it
    // had before the write and the size it was left with.
    std::string tornFile;  // empty when none
    LONGLONG tornGoodSize = 0;
    LONGLONG tornBadSize = 0;
    int storedCount = 0;  // "WEVFileCount" as last read or stored

    // ---- EvWEVLogQueue.cpp (hand-off lock held where noted)
    static void Apply(CEvWEVLogQueue& q, const _VANTA_WEV_LOGGING_SETTINGS& settings);
    static void HandOffPending(CEvWEVLogQueue& q);  // hand-off lock held
    static void StartWorker(CEvWEVLogQueue& q);     // hand-off lock held
    static DWORD WINAPI WorkerMain(LPVOID logger);
    // m_csLog held: appends the batch's records to the kept ones and writes
    // them all; the batch list is left empty.
    static void WriteBatch(CEvWEVLogQueue& q, RecordList* batch);
    static void WriteKept(CEvWEVLogQueue& q);
    // Bounds the kept records and reports a failure or the end of one.
    static void AfterWrite(CEvWEVLogQueue& q);
    static void Drop(CEvWEVLogQueue& q, size_t count);

    // ---- EvWEVLogFiles.cpp (m_csLog held)
    // Writes the records to the day file (rolling over when they do not
    // fit); returns how many from the front are done (written, or null and
    // skipped). The rest could not be written.
    static size_t WriteList(CEvWEVLogQueue& q, const RecordList& list);
    static bool RollOver(CEvWEVLogQueue& q, const char* date);
    static void RepairTornFile(CEvWEVLogQueue& q);
    static void Fail(CEvWEVLogQueue& q, const char* what, const char* path, DWORD error);
};
