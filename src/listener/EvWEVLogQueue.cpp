// The event-viewer CSV logger: its life, pushes from the data queue, and the
// worker threads that write batches and keep what could not be written.
#include "listener/EvWEVLog.h"

#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>

#include "frame/Diagnostics.h"

int CEvWEVLogQueue::m_iCount = 1;

namespace traceapi {

CEvWEVLogQueue* g_pWEVLogQueue = nullptr;

namespace {

// Guards g_pWEVLogQueue's making and destruction; queues are made and
// destroyed on any thread.
CRITICAL_SECTION& LoggerLifeLock() {
    static CRITICAL_SECTION* lock = [] {
        static CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        return &cs;
    }();
    return *lock;
}
int g_liveQueues = 0;

}  // namespace

void AcquireWEVLogQueue() {
    CritSecGuard lock(LoggerLifeLock());
    if (g_liveQueues++ == 0 && g_pWEVLogQueue == nullptr) {
        try {
            g_pWEVLogQueue = new CEvWEVLogQueue();
        } catch (...) {
            g_pWEVLogQueue = nullptr;  // no logging in this process
        }
    }
}

void ReleaseWEVLogQueue() {
    CEvWEVLogQueue* logger = nullptr;
    {
        CritSecGuard lock(LoggerLifeLock());
        if (g_liveQueues > 0 && --g_liveQueues == 0) {
            logger = g_pWEVLogQueue;
            g_pWEVLogQueue = nullptr;
        }
    }
    delete logger;  // outside the lock: it waits for its worker
}

namespace wevlog {

_VANTA_EVTRACE_DATA* CopyForLog(const _VANTA_EVTRACE_DATA* record) {
    const size_t text = strnlen(reinterpret_cast<const char*>(record->Data), record->dwDataLen);
    BYTE* block = new (std::nothrow) BYTE[EVT_RECORD_FIXED_SIZE + text + EVT_RECORD_TAIL_SIZE];
    if (block == nullptr) return nullptr;
    memcpy(block, record, EVT_RECORD_FIXED_SIZE + text);
    memset(block + EVT_RECORD_FIXED_SIZE + text, 0, EVT_RECORD_TAIL_SIZE);
    auto* copy = reinterpret_cast<_VANTA_EVTRACE_DATA*>(block);
    copy->dwDataLen = DWORD(text);
    return copy;
}

void FreeCopy(_VANTA_EVTRACE_DATA* record) { delete[] reinterpret_cast<BYTE*>(record); }

void FreeCopies(CEvWEVLogQueue::RecordList* list) {
    if (list == nullptr) return;
    for (_VANTA_EVTRACE_DATA* record : *list) FreeCopy(record);
    list->clear();
}

}  // namespace wevlog
}  // namespace traceapi

using traceapi::DebugOut;
using traceapi::CritSecGuard;
using traceapi::wevlog::LogLock;
namespace wevlog = traceapi::wevlog;

// ---- State -----------------------------------------------------------------

CEvWEVLogQueue::State::State() : wake(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    InitializeCriticalSection(&handoff);
}

CEvWEVLogQueue::State::~State() {
    for (RecordList* batch : waiting) {
        wevlog::FreeCopies(batch);
        delete batch;
    }
    wevlog::FreeCopies(&kept);
    if (wake != nullptr) CloseHandle(wake);
    DeleteCriticalSection(&handoff);
}

// ---- Life --------------------------------------------------------------------

CEvWEVLogQueue::CEvWEVLogQueue()
    : m_dwNextRow(1),
      m_pPending(nullptr),
      m_bEnabled(0),
      m_dwMaxFileSize(wevlog::kDefaultLimit),
      m_dwCopyDays(0),
      m_dwFolderSizeLimit(wevlog::kDefaultLimit),
      m_dwDeleteDays(0),
      m_bCopy(0),
      m_bCopyEveryBatch(0),
      m_bDeleteRules(0),
      m_bDeleteByDate(0),
      m_bDeleteBySize(0),
      m_bMove(0),
      m_dwUseExtended(0),
      m_pState(nullptr) {
    m_szLogBase[0] = m_szLogFolder[0] = m_szLogName[0] = m_szCopyFolder[0] = m_szCurrentFile[0] = '\0';
    m_szLogComputerName[0] = m_szLogUserName[0] = '\0';
    std::unique_ptr<State> state(new State());
    std::unique_ptr<RecordList> pending(new RecordList());
    m_pState = state.release();
    m_pPending = pending.release();
    RetrieveRegistrySettings();
}

CEvWEVLogQueue::CEvWEVLogQueue(const CEvWEVLogQueue& other) : CEvWEVLogQueue() { *this = other; }

CEvWEVLogQueue& CEvWEVLogQueue::operator=(const CEvWEVLogQueue& other) {
    if (this == &other) return *this;
    // The other's settings as one consistent set; its records stay its own.
    CEvWEVLogQueue& from = const_cast<CEvWEVLogQueue&>(other);
    LogLock theirs(from.m_csLog);
    LogLock ours(m_csLog);
    m_dwNextRow = other.m_dwNextRow;
    memcpy(m_szLogBase, other.m_szLogBase, MAX_PATH);
    memcpy(m_szLogFolder, other.m_szLogFolder, MAX_PATH);
    memcpy(m_szLogName, other.m_szLogName, MAX_PATH);
    memcpy(m_szCopyFolder, other.m_szCopyFolder, MAX_PATH);
    memcpy(m_szCurrentFile, other.m_szCurrentFile, MAX_PATH);
    m_dwMaxFileSize = other.m_dwMaxFileSize;
    m_dwCopyDays = other.m_dwCopyDays;
    m_dwFolderSizeLimit = other.m_dwFolderSizeLimit;
    m_dwDeleteDays = other.m_dwDeleteDays;
    m_bCopy = other.m_bCopy;
    m_bCopyEveryBatch = other.m_bCopyEveryBatch;
    m_bDeleteRules = other.m_bDeleteRules;
    m_bDeleteByDate = other.m_bDeleteByDate;
    m_bDeleteBySize = other.m_bDeleteBySize;
    m_bMove = other.m_bMove;
    m_dwUseExtended = other.m_dwUseExtended;
    memcpy(m_szLogComputerName, other.m_szLogComputerName, MAX_PATH);
    memcpy(m_szLogUserName, other.m_szLogUserName, MAX_PATH);
    CritSecGuard handoff(m_pState->handoff);
    m_bEnabled = other.m_bEnabled;
    m_pState->pushEnabled = m_bEnabled != 0;
    return *this;
}

CEvWEVLogQueue::~CEvWEVLogQueue() {
    // Records still pending are written too: stopping the host must not
    // cost the log its last (up to 199) events.
    std::vector<HANDLE> workers;
    {
        CritSecGuard lock(m_pState->handoff);
        if (!m_pPending->empty()) State::HandOffPending(*this);
        workers.swap(m_pState->finished);
        if (m_pState->worker != nullptr) workers.push_back(m_pState->worker);
        m_pState->worker = nullptr;
        m_pState->workerRunning = true;  // nothing starts another one now
        m_pState->closing = true;        // and the running one ends when done
        if (m_pState->wake != nullptr) SetEvent(m_pState->wake);
    }
    for (HANDLE worker : workers) {
        WaitForSingleObject(worker, INFINITE);
        CloseHandle(worker);
    }
    {
        LogLock lock(m_csLog);
        bool wrote = false;
        while (!m_pState->waiting.empty()) {
            RecordList* batch = m_pState->waiting.front();
            m_pState->waiting.pop_front();
            try {
                State::WriteBatch(*this, batch);
                wrote = true;
            } catch (...) {
                wevlog::FreeCopies(batch);
            }
            delete batch;
        }
        if (wrote) CheckForCopyAndDelete();
        if (!m_pState->kept.empty()) State::Drop(*this, m_pState->kept.size());
        wevlog::FreeCopies(&m_pState->kept);
        if (const unsigned long long dropped = m_pState->dropped.exchange(0))
            DebugOut("CEvWEVLogQueue - %llu records could not be written to the log files and were dropped\n",
                     dropped);
    }
    SetRegistrySettings();
    wevlog::FreeCopies(m_pPending);
    delete m_pPending;
    m_pPending = nullptr;
    delete m_pState;
    m_pState = nullptr;
}

// ---- Pushes and batches ------------------------------------------------------

void CEvWEVLogQueue::PushDataInWEVLogFile(const _VANTA_EVTRACE_DATA* pRecord) {
    if (m_pPending == nullptr || m_pState == nullptr) return;
    // The copy is made before the lock: it depends on the record only.
    _VANTA_EVTRACE_DATA* copy = nullptr;
    if (pRecord != nullptr && m_pState->pushEnabled.load(std::memory_order_relaxed)) {
        copy = wevlog::CopyForLog(pRecord);
        if (copy == nullptr) State::Drop(*this, 1);
    }
    CritSecGuard lock(m_pState->handoff);
    const bool enabled = m_pState->pushEnabled.load(std::memory_order_relaxed);
    if (copy != nullptr) {
        if (enabled) {
            try {
                m_pPending->push_back(copy);
                copy = nullptr;
            } catch (...) {
                State::Drop(*this, 1);
            }
        }
        wevlog::FreeCopy(copy);  // switched off meanwhile, or no room
    }
    if (m_pPending->size() >= wevlog::kBatchSize || (!enabled && !m_pPending->empty())) State::HandOffPending(*this);
}

void CEvWEVLogQueue::State::HandOffPending(CEvWEVLogQueue& q) {
    State& s = *q.m_pState;
    RecordList* batch = nullptr;
    try {
        batch = new RecordList();
        batch->swap(*q.m_pPending);
        if (s.waiting.size() >= wevlog::kMaxWaitingBatches) {
            // The writer is far behind: the oldest waiting batch gives way.
            RecordList* oldest = s.waiting.front();
            s.waiting.pop_front();
            Drop(q, oldest->size());
            wevlog::FreeCopies(oldest);
            delete oldest;
        }
        s.waiting.push_back(batch);
    } catch (...) {
        // No memory for the hand-off: the records stay pending.
        if (batch != nullptr) {
            q.m_pPending->swap(*batch);
            delete batch;
        }
        return;
    }
    if (s.workerRunning) {
        if (s.wake != nullptr) SetEvent(s.wake);
    } else {
        StartWorker(q);
    }
}

void CEvWEVLogQueue::State::StartWorker(CEvWEVLogQueue& q) {
    State& s = *q.m_pState;
    if (s.workerRunning) return;
    // Earlier workers have left their loop; forget those that have ended.
    for (size_t i = 0; i < s.finished.size();) {
        if (WaitForSingleObject(s.finished[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(s.finished[i]);
            s.finished[i] = s.finished.back();
            s.finished.pop_back();
        } else {
            ++i;
        }
    }
    if (s.worker != nullptr) {
        try {
            s.finished.push_back(s.worker);
        } catch (...) {
            WaitForSingleObject(s.worker, INFINITE);  // it is only returning
            CloseHandle(s.worker);
        }
        s.worker = nullptr;
    }
    // A worker that cannot be started leaves the batch waiting; the next
    // hand-off tries again.
    s.worker = CreateThread(nullptr, 0, &WorkerMain, &q, 0, nullptr);
    s.workerRunning = s.worker != nullptr;
}

DWORD WINAPI CEvWEVLogQueue::State::WorkerMain(LPVOID logger) {
    CEvWEVLogQueue& q = *static_cast<CEvWEVLogQueue*>(logger);
    State& s = *q.m_pState;
    for (;;) {
        EnterCriticalSection(&s.handoff);
        // A worker waits a moment for the next batch before it ends: at a
        // steady rate one thread serves many batches. (A wake-up left over
        // from a batch it took while busy only makes it look again.)
        const ULONGLONG until = GetTickCount64() + wevlog::kWorkerLingerMs;
        while (s.waiting.empty() && !s.closing && s.wake != nullptr) {
            const ULONGLONG now = GetTickCount64();
            if (now >= until) break;
            LeaveCriticalSection(&s.handoff);
            WaitForSingleObject(s.wake, DWORD(until - now));
            EnterCriticalSection(&s.handoff);
        }
        if (s.waiting.empty()) {
            s.workerRunning = false;
            LeaveCriticalSection(&s.handoff);
            return 0;  // the logger is not touched past this point
        }
        RecordList* batch = s.waiting.front();
        s.waiting.pop_front();
        LeaveCriticalSection(&s.handoff);
        {
            LogLock lock(q.m_csLog);
            try {
                WriteBatch(q, batch);
                q.CheckForCopyAndDelete();
            } catch (_evt_error& error) {
                dump_evterror(error);
            } catch (...) {
            }
            Drop(q, batch->size());  // left over when the batch could not be taken over
            wevlog::FreeCopies(batch);
        }
        delete batch;
    }
}

void CEvWEVLogQueue::State::WriteBatch(CEvWEVLogQueue& q, RecordList* batch) {
    State& s = *q.m_pState;
    while (!batch->empty()) {
        s.kept.push_back(batch->front());
        batch->pop_front();
    }
    WriteKept(q);
}

void CEvWEVLogQueue::State::WriteKept(CEvWEVLogQueue& q) {
    State& s = *q.m_pState;
    const size_t done = WriteList(q, s.kept);
    for (size_t i = 0; i < done; ++i) {
        wevlog::FreeCopy(s.kept.front());
        s.kept.pop_front();
    }
    AfterWrite(q);
}

void CEvWEVLogQueue::State::AfterWrite(CEvWEVLogQueue& q) {
    State& s = *q.m_pState;
    if (!s.kept.empty()) {
        if (s.kept.size() > wevlog::kMaxKeptRecords) {
            const size_t excess = s.kept.size() - wevlog::kMaxKeptRecords;
            for (size_t i = 0; i < excess; ++i) {
                wevlog::FreeCopy(s.kept.front());
                s.kept.pop_front();
            }
            Drop(q, excess);
        }
        DebugOut("CEvWEVLogQueue - %s; %u records are kept for the next batch\n",
                 s.failure.empty() ? "the records could not be written" : s.failure.c_str(),
                 unsigned(s.kept.size()));
        return;
    }
    if (const unsigned long long dropped = s.dropped.exchange(0))
        DebugOut("CEvWEVLogQueue - %llu records could not be written to the log files and were dropped\n", dropped);
}

void CEvWEVLogQueue::State::Drop(CEvWEVLogQueue& q, size_t count) { q.m_pState->dropped += count; }

void CEvWEVLogQueue::StartWEVLogging(RecordList* pList) {
    if (m_pPending == nullptr || m_pState == nullptr) return;
    bool pending = false;
    {
        CritSecGuard lock(m_pState->handoff);
        pending = !m_pPending->empty();
    }
    if (m_pState->pushEnabled || pending) CopyLogsToFile(pList);
    if (!m_pState->pushEnabled) {
        CritSecGuard lock(m_pState->handoff);
        if (!m_pPending->empty()) State::HandOffPending(*this);
    }
}

void CEvWEVLogQueue::ResetWEVLog() {
    if (m_pPending == nullptr || m_pState == nullptr) return;
    CritSecGuard lock(m_pState->handoff);
    wevlog::FreeCopies(m_pPending);
}

void CEvWEVLogQueue::CopyLogsToFile(RecordList* pList) {
    if (pList == nullptr || m_pState == nullptr) return;
    LogLock lock(m_csLog);
    State& s = *m_pState;
    try {
        // Records kept from failed batches go first; so do the caller's, as
        // copies, when they cannot all be written now.
        size_t done = 0;
        const bool written = s.kept.empty();
        if (written) {
            done = State::WriteList(*this, *pList);
            if (done == pList->size()) {
                State::AfterWrite(*this);
                return;
            }
        }
        for (size_t i = done; i < pList->size(); ++i) {
            const _VANTA_EVTRACE_DATA* record = (*pList)[i];
            if (record == nullptr) continue;
            _VANTA_EVTRACE_DATA* copy = wevlog::CopyForLog(record);
            if (copy == nullptr) {
                State::Drop(*this, 1);
                continue;
            }
            s.kept.push_back(copy);
        }
        if (written) {
            State::AfterWrite(*this);  // the list was tried just now
        } else {
            State::WriteKept(*this);
        }
    } catch (_evt_error& error) {
        dump_evterror(error);
    } catch (...) {
    }
}

