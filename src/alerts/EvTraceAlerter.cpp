// The alerter: listens to the session for a host process, hands every event
// to the host's data queue, saves and signals alerts, pulses the start-trace
// event for start markers, and forwards unified-log events to its thread.
//
// Binding. The listener's event callback has no context, so the events of
// every alerter of the process go to one bound alerter: the oldest living
// working alerter (g_alerters.front()). g_alerterLock guards the list; the
// callback holds it shared for the whole handling of an event, and an
// alerter takes it exclusively to leave the list in its destructor, so no
// event is ever handled by a destroyed alerter.
//
// Lock order: g_alerterLock, then the data queue's lock and the history
// mutex (inside the handling), then g_alertCodesLock.
#include <TraceApi.h>
#include <comdef.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <vector>

#include "consumer/AlertHistory.h"
#include "alerts/MsgQueue.h"
#include "alerts/UnifiedLogPost.h"
#include "providers/EvRecordLayout.h"
#include "frame/Diagnostics.h"
#include "frame/TraceApiReg.h"
#include "providers/EventWire.h"

namespace {

constexpr char kStartTraceEventName[] = EVT_STARTTRACE_EVENT;
constexpr char kUlEnabledEventName[] = EVT_UL_ENABLED_EVENT;

std::shared_mutex g_alerterLock;
std::vector<CEvTraceAlerter*> g_alerters;  // working alerters, oldest first

// The alert codes of every ServiceAlerts of the process; only ever grows.
std::mutex g_alertCodesLock;
std::set<DWORD> g_alertCodes;

// "Global\VANTA_EVTRACE_STARTTRACE_EVENT", shared by the process's
// alerters: made by the first, closed with the last.
std::atomic<HANDLE> g_hStartTraceEvent{nullptr};

bool IsAlertCode(DWORD code) {
    std::lock_guard<std::mutex> lock(g_alertCodesLock);
    return g_alertCodes.count(code) != 0;
}

std::set<DWORD> AlertCodes() {
    {
        std::lock_guard<std::mutex> lock(g_alertCodesLock);
        if (!g_alertCodes.empty()) return g_alertCodes;
    }
    // No ServiceAlerts yet: the database says which codes are alerts.
    return traceapi::DatabaseAlertCodes();
}

// A u32 of the event's data, 0 when the event is too short to hold it.
DWORD EventDword(const EVENT_TRACE& event, size_t offset) {
    if (event.MofData == nullptr || event.MofLength < offset + sizeof(DWORD)) return 0;
    return traceapi::ReadU32(static_cast<const BYTE*>(event.MofData) + offset);
}

// A 40-byte absolute security descriptor with a null access list, from
// LocalAlloc; null when it cannot be made.
PSECURITY_DESCRIPTOR NewOpenSecurityDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor == nullptr) return nullptr;
    if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
        LocalFree(descriptor);
        return nullptr;
    }
    return descriptor;
}

HANDLE LoadHandle(HANDLE& handle) { return std::atomic_ref<HANDLE>(handle).load(std::memory_order_acquire); }

}  // namespace

// ---- Construction and destruction -------------------------------------------

CEvTraceAlerter::CEvTraceAlerter()
    : m_hAlertableEvent(nullptr),
      m_pEvDataQueue(nullptr),
      m_dwULThreadId(0),
      m_uULMessageId(0),
      m_pAlertList(nullptr),
      m_hULThread(nullptr),
      m_pMsgQueue(new CMsgQueue),
      m_pSecurityDescriptor(nullptr),
      m_hULEnabledEvent(nullptr),
      m_bRunningAsSystem(0) {
    memset(&m_listenerConfig, 0, sizeof m_listenerConfig);
}

CEvTraceAlerter::CEvTraceAlerter(CEvDataQueue* pQueue) : CEvTraceAlerter() {
    m_pEvDataQueue = pQueue;
    m_pSecurityDescriptor = NewOpenSecurityDescriptor();
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, m_pSecurityDescriptor, TRUE};
    LPSECURITY_ATTRIBUTES security = m_pSecurityDescriptor != nullptr ? &attributes : nullptr;
    if (m_hULEnabledEvent == nullptr) m_hULEnabledEvent = CreateEventA(security, TRUE, FALSE, kUlEnabledEventName);

    StartULThread();
    m_uULMessageId = RegisterWindowMessageA(EVT_UL_MESSAGE_NAME);
    {
        std::unique_lock<std::shared_mutex> lock(g_alerterLock);
        g_alerters.push_back(this);
    }
    CreateStartTraceEvent();

    char user[257] = {};
    DWORD size = 256;
    m_bRunningAsSystem = GetUserNameA(user, &size) && lstrcmpiA(user, "SYSTEM") == 0 ? 1 : 0;
}

CEvTraceAlerter::CEvTraceAlerter(const CEvTraceAlerter& other) : CEvTraceAlerter() { *this = other; }

CEvTraceAlerter& CEvTraceAlerter::operator=(const CEvTraceAlerter& other) {
    if (this == &other) return *this;
    CEvTraceListener::operator=(other);
    m_hAlertableEvent = LoadHandle(const_cast<HANDLE&>(other.m_hAlertableEvent));
    m_pEvDataQueue = other.m_pEvDataQueue;
    m_uULMessageId = other.m_uULMessageId;
    m_bRunningAsSystem = other.m_bRunningAsSystem;
    return *this;
}

CEvTraceAlerter::~CEvTraceAlerter() {
    // No event reaches this alerter after the listening has ended and it
    // has left the list (a callback running for it holds the lock shared).
    StopListening();
    bool last = false;
    {
        std::unique_lock<std::shared_mutex> lock(g_alerterLock);
        auto self = std::find(g_alerters.begin(), g_alerters.end(), this);
        if (self != g_alerters.end()) {
            g_alerters.erase(self);
            last = g_alerters.empty();
        }
    }
    if (last) {
        HANDLE startTrace = g_hStartTraceEvent.exchange(nullptr);
        if (startTrace != nullptr) CloseHandle(startTrace);
    }
    StopULThread();
    if (m_hULEnabledEvent != nullptr) CloseHandle(m_hULEnabledEvent);
    m_hULEnabledEvent = nullptr;
    if (m_pSecurityDescriptor != nullptr) LocalFree(m_pSecurityDescriptor);
    m_pSecurityDescriptor = nullptr;
    if (m_pAlertList != nullptr) {
        delete[] m_pAlertList->codes;
        delete m_pAlertList;
    }
    delete m_pMsgQueue;
}

int CEvTraceAlerter::CreateStartTraceEvent() {
    PSECURITY_DESCRIPTOR descriptor = NewOpenSecurityDescriptor();
    if (descriptor == nullptr) return 0;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, TRUE};
    HANDLE event = CreateEventA(&attributes, TRUE, FALSE, kStartTraceEventName);
    LocalFree(descriptor);
    if (event == nullptr) return 0;
    // One handle serves every alerter of the process.
    HANDLE none = nullptr;
    if (!g_hStartTraceEvent.compare_exchange_strong(none, event)) CloseHandle(event);
    return 1;
}

// ---- Serving ------------------------------------------------------------------

LONG CEvTraceAlerter::ServiceAlerts(ULONG, HANDLE hAlertableEvent, HANDLE hDoneEvent) {
    try {
        std::atomic_ref<HANDLE>(m_hAlertableEvent).store(hAlertableEvent, std::memory_order_release);

        // The alert codes, as the consumer's alert list has them.
        const std::set<DWORD> codes = traceapi::DatabaseAlertCodes();
        if (!codes.empty() || m_pAlertList == nullptr) {
            auto* list = new _EVT_ALERT_LIST{DWORD(codes.size()), new DWORD[codes.size() + 1]()};
            std::copy(codes.begin(), codes.end(), list->codes);
            if (m_pAlertList != nullptr) {
                delete[] m_pAlertList->codes;
                delete m_pAlertList;
            }
            m_pAlertList = list;
            std::lock_guard<std::mutex> lock(g_alertCodesLock);
            g_alertCodes.insert(codes.begin(), codes.end());
        }

        if (m_listenerConfig.hDoneEvent == nullptr) {
            m_listenerConfig.dwMode = EVT_LISTENER_MODE_LISTEN;
            m_listenerConfig.pfnEventCallback = &CEvTraceAlerter::EventCallback;
            m_listenerConfig.hDoneEvent = hDoneEvent;
            m_listenerConfig.qwReserved2 = 0;
            if (m_listenerConfig.hStartedEvent == nullptr)
                m_listenerConfig.hStartedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            lstrcpynA(m_listenerConfig.szSessionName, EVT_SESSION_NAME, sizeof m_listenerConfig.szSessionName);
        }
        // Listens on this thread until StopAlerts or the session's end;
        // after a StopAlerts that left the mode at 2 it only closes the
        // trace handle.
        ConfigureListener(m_listenerConfig, 0);
        return S_OK;
    } catch (_com_error& error) {
        dump_comerror(error);
        return E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

LONG CEvTraceAlerter::StopAlerts() {
    std::atomic_ref<DWORD>(m_listenerConfig.dwMode).store(EVT_LISTENER_MODE_STOP);
    _EVT_LISTENER_CONFIG stop;
    memcpy(&stop, &m_listenerConfig, sizeof stop);
    stop.dwMode = EVT_LISTENER_MODE_STOP;
    // A copy: the serving thread may be reading the configuration.
    ConfigureListener(stop, 0);
    return S_OK;
}

void WINAPI CEvTraceAlerter::EventCallback(PEVENT_TRACE pEvent) {
    try {
        if (pEvent == nullptr) throw _evt_error(EVT_E_INVALIDARG, 0);
        std::shared_lock<std::shared_mutex> lock(g_alerterLock);
        if (g_alerters.empty()) return;
        CEvTraceAlerter& alerter = *g_alerters.front();
        const HANDLE alertable = LoadHandle(alerter.m_hAlertableEvent);
        // SendEventToUL's work; a unified-log record is one the queue
        // refuses, so it is not handed to the queue to be converted again.
        const bool unifiedLog =
            traceapi::PostUnifiedLogRecord(alerter, pEvent, alerter.m_dwULThreadId, alerter.m_uULMessageId);

        CEvDataQueue* queue = alerter.m_pEvDataQueue;
        if (queue == nullptr || unifiedLog || !queue->AddEvent(pEvent)) return;

        // The switch is read for alerts only: most events are not.
        const DWORD code = EventDword(*pEvent, traceapi::wire::kOffCode);
        ULONG enabled = traceapi::kDefaultEnableAlerts;
        if (code != 0 && IsAlertCode(code) && (CTraceApiReg::GetEnableAlerts(&enabled), enabled != 0)) {
            alerter.SaveHistory(pEvent);
            if (alertable != nullptr) PulseEvent(alertable);
        }
        const HANDLE startTrace = g_hStartTraceEvent.load();
        if (startTrace != nullptr && EventDword(*pEvent, traceapi::wire::kOffType) == EVT_TYPE_START)
            PulseEvent(startTrace);
    } catch (_evt_error& error) {
        dump_evterror(error);
    } catch (...) {
    }
}

LONG CEvTraceAlerter::SaveHistory(PEVENT_TRACE pEvent) {
    traceapi::DebugOut("CEvtProviderInfoMap::SaveHistory called\n");
    if (pEvent == nullptr) return E_FAIL;
    try {
        traceapi::RecordHolder record(traceapi::MakeHistoryRecord(*pEvent));
        traceapi::HistoryMutexHold hold;
        const std::set<DWORD> codes = AlertCodes();
        traceapi::HistoryLocation location(m_bRunningAsSystem != 0);
        const DWORD status = traceapi::AppendHistory(location.Path(), codes, *record.get());
        if (status != ERROR_SUCCESS) {
            traceapi::DebugOut("CEvTraceAlerter::SaveHistory - the history was not saved (%lu)\n",
                               static_cast<unsigned long>(status));
        }
    } catch (...) {
    }
    return S_OK;
}

// ---- Accessors ----------------------------------------------------------------

void CEvTraceAlerter::GetAlertableEvent(HANDLE& hEvent) { hEvent = LoadHandle(m_hAlertableEvent); }

CEvDataQueue* CEvTraceAlerter::GetEvDataQueue() { return m_pEvDataQueue; }

UINT CEvTraceAlerter::GetULMessageId() { return m_uULMessageId; }

ULONG CEvTraceAlerter::GetULThreadId() { return m_dwULThreadId; }
