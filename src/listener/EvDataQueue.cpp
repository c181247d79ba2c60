// The event data queue: the newest events of the session, newest first.
#include <TraceApi.h>

#include <string.h>

#include <memory>
#include <new>

#include "frame/EvLocks.h"
#include "providers/EvRecordConvert.h"
#include "providers/EvRecordLayout.h"
#include "frame/TraceApiReg.h"
#include "listener/EvWEVLog.h"
#include "listener/RecordTap.h"

using traceapi::CritSecGuard;
using traceapi::g_pWEVLogQueue;

namespace {

// "MaxEvents": 200 when missing, at most 500; 0 is kept.
DWORD ReadMaxEvents() {
    ULONG value = traceapi::kDefaultMaxEvents;
    CTraceApiReg::GetMaxEvents(&value);
    return value;
}

// The twelve unified-log kinds go to the unified log, never to the queue.
// The test is by mask, as the kinds are: 117 (64 + 53) is refused like 53.
bool IsUnifiedLogKind(DWORD type) {
    static const DWORD kMasks[] = {53, 54, 55, 61, 59, 60, 56, 57, 58};
    for (DWORD m : kMasks) {
        if ((type & m) == m) return true;
    }
    return type >= 62 && type <= 64;
}

LONGLONG TimeOf(const _VANTA_EVTRACE_DATA* record) {
    return LONGLONG((ULONGLONG(record->ftTimeStamp.dwHighDateTime) << 32) | record->ftTimeStamp.dwLowDateTime);
}

// Zeroes a record before it is freed; called through a volatile pointer so
// that the stores are not dropped as dead before the release.
void* (*volatile g_zeroBytes)(void*, int, size_t) = memset;

void ZeroAndFree(_VANTA_EVTRACE_DATA* record, DWORD size) {
    if (record == nullptr) return;
    g_zeroBytes(record, 0, size);
    traceapi::FreeRecord(record);
}

_VANTA_EVTRACE_DATA* CopyRecord(const _VANTA_EVTRACE_DATA* record, DWORD size) {
    if (record == nullptr) return nullptr;
    _VANTA_EVTRACE_DATA* copy = traceapi::AllocRecord(size);
    memcpy(copy, record, size);
    return copy;
}

bool WriteAll(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(file, data, size, &written, nullptr) && written == size;
}

}  // namespace

// ---- CEvDataQueueInfo -------------------------------------------------------

CEvDataQueueInfo::CEvDataQueueInfo() : m_pData(nullptr), m_dwSize(0) {}

CEvDataQueueInfo::CEvDataQueueInfo(const CEvDataQueueInfo& other)
    : m_pData(CopyRecord(other.m_pData, other.m_dwSize)), m_dwSize(other.m_dwSize) {}

CEvDataQueueInfo& CEvDataQueueInfo::operator=(const CEvDataQueueInfo& other) {
    if (this != &other) {
        _VANTA_EVTRACE_DATA* copy = CopyRecord(other.m_pData, other.m_dwSize);
        ZeroAndFree(m_pData, m_dwSize);
        m_pData = copy;
        m_dwSize = other.m_dwSize;
    }
    return *this;
}

CEvDataQueueInfo::~CEvDataQueueInfo() {
    ZeroAndFree(m_pData, m_dwSize);
    m_pData = nullptr;
}

// ---- CEvDataQueue -----------------------------------------------------------

// Every live queue holds the process's CSV logger: the first makes it, the
// last destroys it, so the logger a queue pushes to outlives the queue.
CEvDataQueue::CEvDataQueue() : m_dwMaxEvents(ReadMaxEvents()) {
    memset(&m_csQueue, 0, sizeof m_csQueue);
    InitializeCriticalSection(&m_csQueue);
    traceapi::AcquireWEVLogQueue();
}

CEvDataQueue::CEvDataQueue(const CEvDataQueue& other) : m_dwMaxEvents(other.m_dwMaxEvents) {
    memset(&m_csQueue, 0, sizeof m_csQueue);
    InitializeCriticalSection(&m_csQueue);
    traceapi::AcquireWEVLogQueue();
    try {
        *this = other;
    } catch (...) {
        traceapi::ReleaseWEVLogQueue();
        DeleteCriticalSection(&m_csQueue);
        throw;
    }
}

CEvDataQueue& CEvDataQueue::operator=(const CEvDataQueue& other) {
    if (this == &other) return *this;
    std::deque<CEvDataQueueInfo*> copies;
    try {
        CritSecGuard lock(const_cast<CRITICAL_SECTION&>(other.m_csQueue));
        for (const CEvDataQueueInfo* entry : other.m_Events) {
            auto copy = std::make_unique<CEvDataQueueInfo>(*entry);
            copies.push_back(copy.get());
            copy.release();
        }
    } catch (...) {
        for (CEvDataQueueInfo* entry : copies) delete entry;
        throw;
    }
    CritSecGuard lock(m_csQueue);
    Reset();
    m_Events.swap(copies);
    m_dwMaxEvents = other.m_dwMaxEvents;
    return *this;
}

CEvDataQueue::~CEvDataQueue() {
    Reset();
    traceapi::ReleaseWEVLogQueue();
    DeleteCriticalSection(&m_csQueue);
}

bool CEvDataQueue::AddEvent(PEVENT_TRACE pEvent) {
    if (pEvent == nullptr) return false;
    // The conversion touches nothing of the queue: it runs before the lock.
    traceapi::RecordHolder record;
    DWORD size = 0;
    try {
        if (traceapi::ConvertEventToRecord(pEvent, record.out(), &size, traceapi::kConvertForQueue) != S_OK) return false;
    } catch (_evt_error& error) {
        dump_evterror(error);
        return false;
    } catch (...) {
        return false;
    }
    if (record.get() == nullptr || IsUnifiedLogKind(record.get()->dwEventType)) return false;

    CritSecGuard lock(m_csQueue);
    if (g_pWEVLogQueue != nullptr) g_pWEVLogQueue->PushDataInWEVLogFile(record.get());
    traceapi::TapRecord(record.get(), size);
    try {
        auto entry = std::make_unique<CEvDataQueueInfo>();
        entry->m_dwSize = size;
        entry->m_pData = record.release();
        // Newest first; a record goes ahead of older ones with the same time.
        const LONGLONG time = TimeOf(entry->m_pData);
        auto place = m_Events.begin();
        while (place != m_Events.end() && TimeOf((*place)->m_pData) > time) ++place;
        if (place == m_Events.begin()) {
            m_Events.push_front(entry.get());
        } else {
            m_Events.insert(place, entry.get());
        }
        entry.release();
    } catch (...) {
        return false;
    }
    if (m_Events.size() > m_dwMaxEvents) {
        delete m_Events.back();
        m_Events.pop_back();
    }
    return true;
}

LONG CEvDataQueue::DeleteAllEvents() {
    CritSecGuard lock(m_csQueue);
    try {
        return Reset() ? S_OK : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

// The CSV logger's pending records are its own copies: emptying the queue
// (a user clearing the view) does not take them out of the log files.
bool CEvDataQueue::Reset() {
    for (CEvDataQueueInfo* entry : m_Events) delete entry;
    m_Events.clear();
    return true;
}

LONG CEvDataQueue::WriteEventsToFile(HANDLE& hFile) {
    CritSecGuard lock(m_csQueue);
    if (m_Events.empty() || hFile == nullptr || hFile == INVALID_HANDLE_VALUE) return S_OK;
    const DWORD count = DWORD(m_Events.size());
    if (!WriteAll(hFile, &count, sizeof count)) return E_FAIL;
    for (const CEvDataQueueInfo* entry : m_Events) {
        if (entry == nullptr || entry->m_pData == nullptr) continue;
        if (!WriteAll(hFile, &entry->m_dwSize, sizeof entry->m_dwSize)) return E_FAIL;
        if (!WriteAll(hFile, entry->m_pData, entry->m_dwSize)) return E_FAIL;
    }
    return S_OK;
}

int CEvDataQueue::GetDriverCodeIndex(DWORD dwCode) { return traceapi::DriverCodeIndex(dwCode); }

void CEvDataQueue::LoggingSettingsChanged(const _VANTA_WEV_LOGGING_SETTINGS& settings) {
    if (g_pWEVLogQueue == nullptr) return;
    g_pWEVLogQueue->RetrieveINISettings(settings);
    OutputDebugStringA("\n TraceAPI: Settings changed");
}

// ---- CritSecLogQueue --------------------------------------------------------

CritSecLogQueue::CritSecLogQueue() {
    memset(&m_cs, 0, sizeof m_cs);
    InitializeCriticalSection(&m_cs);
}

CritSecLogQueue::CritSecLogQueue(const CritSecLogQueue&) : CritSecLogQueue() {}

CritSecLogQueue& CritSecLogQueue::operator=(const CritSecLogQueue&) { return *this; }

CritSecLogQueue::~CritSecLogQueue() { DeleteCriticalSection(&m_cs); }

void CritSecLogQueue::EnterCritSecLogQueue() { EnterCriticalSection(&m_cs); }

void CritSecLogQueue::LeaveCritSecLogQueue() { LeaveCriticalSection(&m_cs); }
