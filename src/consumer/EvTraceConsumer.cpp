// The consumer core: construction, the client callback and its event sink,
// the alert list and the provider list.
#include "consumer/EvTraceConsumer.h"

#include <winreg.h>

#include <string.h>

#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "consumer/EvAlertText.h"
#include "frame/EvLocks.h"
#include "providers/EvRecordConvert.h"
#include "providers/EvRecordLayout.h"
#include "providers/EvTextLog.h"
#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"
#include "listener/ConsumerSink.h"
#include "listener/EvTraceDbAccess.h"

namespace traceapi {

std::atomic<CEvTraceConsumer*> g_pEventSinkConsumer{nullptr};
_EVT_PROVIDER_LIST g_providerList = {0, nullptr};

LONG ResultOf(_evt_error& error) {
    dump_evterror(error);
    return error.error() < 0 ? error.error() : E_FAIL;
}

}  // namespace traceapi

using traceapi::CritSecGuard;
using traceapi::ResultOf;

namespace {

// Deliveries hold g_sinkLock shared for the length of the client callback; a
// consumer that is the sink target takes it exclusively to stop being the
// target, so no delivery reaches a destroyed consumer.
std::shared_mutex g_sinkLock;
// Set on a listening thread while it is inside a client callback: a
// consumer destroyed from there already holds the lock shared.
thread_local bool t_inClientCallback = false;

// Serialises the start of consumers' listening threads.
std::mutex g_startLock;

// Consumer listenings deliver to EventSink: handed to the listener at load,
// before any consumer exists.
[[maybe_unused]] const bool g_sinkHandedOver = (traceapi::SetConsumerEventSink(&CEvTraceConsumer::EventSink), true);

void FreeProviderList() {
    delete[] traceapi::g_providerList.entries;
    traceapi::g_providerList.entries = nullptr;
    traceapi::g_providerList.count = 0;
}

}  // namespace

CEvTraceConsumer::CEvTraceConsumer()
    : m_bRunningAsSystem(0),
      m_pAlertList(nullptr),
      m_alertList{0, nullptr},
      m_hMutexSnapshotProcessing(nullptr),
      m_hMutexGetAlertContextHelp(nullptr) {
    // The provider list is library-wide; a new consumer starts it afresh
    // without freeing what an earlier one handed out.
    traceapi::g_providerList = {0, nullptr};
    memset(&m_csConsumer, 0, sizeof m_csConsumer);
    InitializeCriticalSection(&m_csConsumer);

    if (GetAlertList(&m_pAlertList) == S_OK && m_pAlertList != nullptr) {
        for (DWORD i = 0; i < m_alertList.count; ++i) m_alertCodes.insert(m_alertList.codes[i]);
    }

    memset(&m_listenerConfig, 0, sizeof m_listenerConfig);
    m_listenerConfig.dwConsumer = 1;

    CEvTraceConsumer* none = nullptr;
    traceapi::g_pEventSinkConsumer.compare_exchange_strong(none, this);

    m_listenerConfig.hOwnerEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    char user[257] = {};
    DWORD size = 256;
    m_bRunningAsSystem = GetUserNameA(user, &size) && lstrcmpiA(user, "SYSTEM") == 0 ? 1 : 0;
}

CEvTraceConsumer::~CEvTraceConsumer() {
    // No delivery may reach this consumer once it is gone: stop listening,
    // then stop being the sink target.
    StopListening();
    if (t_inClientCallback) {
        CEvTraceConsumer* self = this;
        traceapi::g_pEventSinkConsumer.compare_exchange_strong(self, nullptr);
    } else {
        std::unique_lock<std::shared_mutex> lock(g_sinkLock);
        CEvTraceConsumer* self = this;
        traceapi::g_pEventSinkConsumer.compare_exchange_strong(self, nullptr);
    }

    m_alertCodes.clear();
    delete[] m_alertList.codes;
    m_alertList = {0, nullptr};
    for (auto& [number, infoset] : m_infosets) delete infoset;
    m_infosets.clear();
    FreeProviderList();
    DeleteCriticalSection(&m_csConsumer);
    if (m_listenerConfig.hOwnerEvent != nullptr) CloseHandle(m_listenerConfig.hOwnerEvent);
    if (m_listenerConfig.hStartedEvent != nullptr) CloseHandle(m_listenerConfig.hStartedEvent);
    if (m_hMutexSnapshotProcessing != nullptr) CloseHandle(m_hMutexSnapshotProcessing);
    if (m_hMutexGetAlertContextHelp != nullptr) CloseHandle(m_hMutexGetAlertContextHelp);
}

LONG CEvTraceConsumer::SetEvTraceCallback(PEVT_CLIENT_CALLBACK pfnCallback) {
    try {
        std::lock_guard<std::mutex> start(g_startLock);
        std::atomic_ref<PEVT_CLIENT_CALLBACK>(m_listenerConfig.pfnClientCallback).store(pfnCallback);
        // A running listener delivers to the new callback from its next
        // event: one listening thread per consumer.
        if (IsListening()) return S_OK;
        m_listenerConfig.dwMode = EVT_LISTENER_MODE_LISTEN;
        m_listenerConfig.pfnEventCallback = &CEvTraceConsumer::EventSink;
        if (m_listenerConfig.hStartedEvent == nullptr) {
            m_listenerConfig.hStartedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        } else {
            ResetEvent(m_listenerConfig.hStartedEvent);
        }
        lstrcpynA(m_listenerConfig.szSessionName, EVT_SESSION_NAME, sizeof m_listenerConfig.szSessionName);
        ConfigureListener(m_listenerConfig, 1);
    } catch (...) {
    }
    return S_OK;
}

LONG CEvTraceConsumer::SetLocalizedHeader(const char** ppszTitles) {
    traceapi::g_pLocalizedHeader.store(ppszTitles);
    return S_OK;
}

void WINAPI CEvTraceConsumer::EventSink(PEVENT_TRACE pEvent) {
    try {
        if (pEvent == nullptr) throw _evt_error(EVT_E_INVALIDARG, 0);
        if (pEvent->MofLength == 0 || pEvent->MofData == nullptr) return;
        traceapi::RecordHolder record;
        DWORD size = 0;
        if (traceapi::ConvertEventToRecord(pEvent, record.out(), &size, traceapi::kConvertForConsumer) != S_OK) return;
        if (record.get() == nullptr) return;

        std::shared_lock<std::shared_mutex> lock(g_sinkLock);
        CEvTraceConsumer* target = traceapi::g_pEventSinkConsumer.load();
        if (target == nullptr) return;
        PEVT_CLIENT_CALLBACK callback =
            std::atomic_ref<PEVT_CLIENT_CALLBACK>(target->m_listenerConfig.pfnClientCallback).load();
        if (callback == nullptr) return;
        t_inClientCallback = true;
        try {
            callback(record.get());
        } catch (...) {
        }
        t_inClientCallback = false;
    } catch (_evt_error& error) {
        dump_evterror(error);
    } catch (...) {
    }
}

LONG CEvTraceConsumer::GetAlertList(_EVT_ALERT_LIST** ppList) {
    CritSecGuard lock(m_csConsumer);
    if (ppList == nullptr) return E_FAIL;
    try {
        *ppList = nullptr;
        CEvTraceDbAccess database;
        if (database.OpenResult() != S_OK) return database.OpenResult();
        std::string text;
        LONG result = database.GetText(text);
        if (result != S_OK) return result;
        std::vector<DWORD> codes = traceapi::ParseAlertCodes(text);

        delete[] m_alertList.codes;
        m_alertList = {0, nullptr};
        DWORD* array = new (std::nothrow) DWORD[codes.size() > 0 ? codes.size() : 1]();
        if (array == nullptr) throw _evt_error(EVT_E_OUTOFMEMORY, 0);
        if (!codes.empty()) memcpy(array, codes.data(), codes.size() * sizeof(DWORD));
        m_alertList = {DWORD(codes.size()), array};
        *ppList = &m_alertList;
        return S_OK;
    } catch (_evt_error& error) {
        *ppList = nullptr;
        return ResultOf(error);
    } catch (...) {
        *ppList = nullptr;
        return E_FAIL;
    }
}

LONG CEvTraceConsumer::IsAlertableError(ULONG ulCode, ULONG* pulAlertable) {
    *pulAlertable = 0;
    CritSecGuard lock(m_csConsumer);
    if (m_alertCodes.count(ulCode) != 0) *pulAlertable = 1;
    return S_OK;
}

LONG CEvTraceConsumer::GetProviderList(_EVT_PROVIDER_LIST** ppList) {
    try {
        FreeProviderList();
        if (ppList == nullptr) return E_FAIL;
        *ppList = nullptr;
        CRegApi key;
        if (key.OpenKey(HKEY_LOCAL_MACHINE, traceapi::kProvidersKeyPath, KEY_QUERY_VALUE) != ERROR_SUCCESS) {
            return E_FAIL;
        }
        DWORD values = 0;
        if (RegQueryInfoKeyA(key.m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            values == 0) {
            return E_FAIL;
        }
        EVT_PROVIDER_INFO* entries = new (std::nothrow) EVT_PROVIDER_INFO[values]();
        if (entries == nullptr) throw _evt_error(EVT_E_OUTOFMEMORY, 0);
        // Only the names read are counted: an enumeration that stops early
        // leaves no unwritten entries behind the count.
        DWORD filled = 0;
        for (DWORD i = 0; i < values; ++i) {
            char name[257] = {};
            DWORD size = 256;
            if (RegEnumValueA(key.m_hKey, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            lstrcpynA(entries[filled++].m_szInstanceName, name, 256);
        }
        traceapi::g_providerList = {filled, entries};
        *ppList = &traceapi::g_providerList;
        return S_OK;
    } catch (_evt_error& error) {
        return ResultOf(error);
    } catch (...) {
        return E_FAIL;
    }
}

LONG CEvTraceConsumer::CreateNamedMutex(const char* pszName, HANDLE& member) {
    member = nullptr;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        return E_FAIL;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, TRUE};
    member = CreateMutexA(&attributes, FALSE, pszName);
    return member != nullptr ? S_OK : E_FAIL;
}
