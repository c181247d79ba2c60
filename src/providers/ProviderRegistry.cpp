// Provider registration: the handle table, ETW registration, the "Providers"
// registry list and the unified-log switch event.
#include "providers/ProviderRegistry.h"

#include <objbase.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "frame/Diagnostics.h"
#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"
#include "providers/EventWire.h"
#include "session/ControlGuid.h"

using namespace traceapi;

namespace {

constexpr char kUlEnabledEventName[] = "Global\\UL_ENABLED_EVENT";

// The table behind every CEvtProviderInfoMap of the process; the critical
// section guards entries and count. It is made on first use and never
// destroyed: at process exit static objects are destroyed while other
// threads may still emit, and an emitter must never meet a deleted lock.
struct ProviderTable {
    ProviderTable() { InitializeCriticalSection(&lock); }

    CRITICAL_SECTION lock;
    std::map<ULONG, std::shared_ptr<CTraceProviderInfo>> entries;
    ULONG count = 0;
};

ProviderTable& Table() {
    static ProviderTable* table = new ProviderTable();
    return *table;
}

class TableLock {
public:
    TableLock() { EnterCriticalSection(&Table().lock); }
    ~TableLock() { LeaveCriticalSection(&Table().lock); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// Guards the registry pointer's creation and destruction and the switch
// handle; taken before the table lock.
std::mutex g_registrationLock;
std::atomic<CEvtProviderInfoMap*> g_pProviderInfoMap{nullptr};
std::atomic<HANDLE> g_hUlEnabledEvent{nullptr};

// Written by the control callback on the platform's thread.
std::atomic<ULONG64> g_loggerHandle{0};
std::atomic<ULONG> g_enableLevel{0};
std::atomic<ULONG> g_enableFlags{0};
std::atomic<int> g_enabled{0};

// Creates (or opens, when another process made it) the manual-reset switch
// event with a null access list, so that every user's processes share it.
void EnsureUnifiedLogSwitch() {
    if (g_hUlEnabledEvent.load() != nullptr) return;
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, TRUE};
    LPSECURITY_ATTRIBUTES security = &attributes;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        // Default security: the creator's user and the administrators.
        security = nullptr;
    }
    HANDLE event = CreateEventA(security, TRUE, FALSE, kUlEnabledEventName);
    if (event == nullptr)
        DebugOut("RegisterEvTrace - CreateEvent failed - %lu\n", static_cast<unsigned long>(GetLastError()));
    g_hUlEnabledEvent.store(event);
}

void CloseUnifiedLogSwitch() {
    HANDLE event = g_hUlEnabledEvent.exchange(nullptr);
    if (event != nullptr) CloseHandle(event);
}

}  // namespace

// ---------------------------------------------------------------------------
// CEvTraceProvider
// ---------------------------------------------------------------------------

CEvTraceProvider::CEvTraceProvider() : m_hSession(0) {
    ULONG64 session = 0;
    GetSessionHandle1(session);
    m_hSession = session;
}

CEvTraceProvider::~CEvTraceProvider() = default;

ULONG64 CEvTraceProvider::SessionHandle() {
    std::atomic_ref<ULONG64> cached(m_hSession);
    ULONG64 session = cached.load(std::memory_order_relaxed);
    if (session != 0) return session;
    GetSessionHandle1(session);
    if (session != 0) cached.store(session, std::memory_order_relaxed);
    return session;
}

// ---------------------------------------------------------------------------
// CEvtProviderInfoMap
// ---------------------------------------------------------------------------

CEvtProviderInfoMap::CEvtProviderInfoMap() { Table(); }

CEvtProviderInfoMap::~CEvtProviderInfoMap() {
    TableLock lock;
    Table().entries.clear();
    Table().count = 0;
}

LONG CEvtProviderInfoMap::RegisterEvTrace(ULONG* providerHandle, EVT_PROVIDER_INFO* info) {
    if (info->m_szInstanceName[0] == '\0') {
        DebugOut("CEvtProviderInfoMap::RegisterEvTrace - ProviderInfo.m_szInstanceName is empty\n");
        return EVT_E_INVALIDARG;
    }
    DebugOut("CEvtProviderInfoMap::RegisterEvTrace - called for %.255s\n", info->m_szInstanceName);
    if (info->m_szUserName[0] == '\0') {
        DWORD size = sizeof info->m_szUserName;
        if (!GetUserNameA(info->m_szUserName, &size)) info->m_szUserName[0] = '\0';
    }

    TRACE_GUID_REGISTRATION classes[4] = {
        {&wire::kEventClassGuid, nullptr},
        {&wire::kTraceClassGuid2, nullptr},
        {&wire::kTraceClassGuid3, nullptr},
        {&wire::kTraceClassGuid4, nullptr},
    };
    TRACEHANDLE registration = 0;
    ULONG status = RegisterTraceGuidsA(&CEvtProviderInfoMap::ControlCallback, nullptr, &kControlGuid, 4, classes,
                                       nullptr, nullptr, &registration);
    if (status != ERROR_SUCCESS) {
        DebugOut("CEvtProviderInfoMap::RegisterEvTrace - Failed to register Trace Guids\n");
        return EVT_E_INVALIDARG;
    }

    LONG result = AddProviderInfo(providerHandle, registration, info);
    if (result < 0) {
        DebugOut("CEvtProviderInfoMap::RegisterEvTrace - AddProviderInfo Failed\n");
        // Nothing refers to the registration any more.
        UnregisterTraceGuids(registration);
        return result;
    }
    DebugOut("CEvtProviderInfoMap::RegisterEvTrace - AddProviderInfo succeeded\n");

    // Consumers list the providers from here; the values are never removed.
    CRegApi regApi;
    char name[wire::kFieldSize];
    memcpy(name, info->m_szInstanceName, sizeof name);
    name[sizeof name - 1] = '\0';
    if (regApi.CreateKey(HKEY_LOCAL_MACHINE, kProvidersKeyPath, 0, kKeyReadWrite, nullptr) != ERROR_SUCCESS ||
        regApi.SetValue(name, static_cast<DWORD>(1)) != ERROR_SUCCESS) {
        DebugOut("CEvtProviderInfoMap::RegisterEvTrace - regApi.CreateKey Failed\n");
    }
    return result;
}

LONG CEvtProviderInfoMap::AddProviderInfo(ULONG* providerHandle, ULONG64 registrationHandle,
                                          const EVT_PROVIDER_INFO* info) {
    *providerHandle = 0;
    LONG result = EVT_E_PROVIDERADD;
    DebugOut("AddProviderInfo - enter\n");
    if (info == nullptr || info->m_szInstanceName[0] == '\0') {
        DebugOut("AddProviderInfo - invalid instance name\n");
        return result;
    }
    try {
        // The entry, its provider object included, is made before the lock
        // is taken: the provider obtains the session handle, which may start
        // the session, and emitters must not wait for that.
        std::shared_ptr<CTraceProviderInfo> entry(new (std::nothrow) CTraceProviderInfo());
        if (!entry) {
            DebugOut("AddProviderInfo - failed to create CTraceProviderInfo object\n");
            return result;
        }
        entry->m_pEntry.reset(new (std::nothrow) EVT_PROVIDER_INFO(*info));
        if (!entry->m_pEntry) {
            DebugOut("AddProviderInfo - failed to create pcTraceProviderInfo->m_pEntry\n");
            return result;
        }
        wire::NormaliseDescription(*entry->m_pEntry);
        const char* name = entry->m_pEntry->m_szInstanceName;

        {
            TableLock lock;
            ProviderTable& table = Table();
            DebugOut(
                "AddProviderInfo - Trying to add provider info instance name - %s, No of providers - %lu, CS - 0x%x\n",
                name, static_cast<unsigned long>(table.count),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&table.lock)));
            for (const auto& [handle, existing] : table.entries) {
                ULONG64 existingRegistration = 0;
                existing->m_pProvider->GetProviderRegHandle(existingRegistration);
                if (strcmp(existing->m_pEntry->m_szInstanceName, name) == 0 &&
                    existingRegistration == registrationHandle) {
                    DebugOut("AddProviderInfo - GetProviderRegHandle - provider found\n");
                    *providerHandle = handle;
                    result = S_OK;
                    break;
                }
            }
        }
        if (result == S_OK) {
            DebugOut("AddProviderInfo - exiting, instance name - %s\n", name);
            return result;
        }

        DebugOut("Provider not found - adding new provider\n");
        entry->m_pProvider.reset(new (std::nothrow) CEvTraceProvider());
        if (!entry->m_pProvider) {
            DebugOut("AddProviderInfo - failed to create pcTraceProviderInfo->m_pProvider\n");
            return result;
        }
        entry->m_pProvider->SetProviderRegHandle(registrationHandle);

        {
            TableLock lock;
            ProviderTable& table = Table();
            // The lowest handle from 1 that is not in use.
            ULONG handle = 1;
            for (const auto& used : table.entries) {
                if (used.first != handle) break;
                ++handle;
            }
            if (!table.entries.emplace(handle, entry).second) {
                DebugOut("AddProviderInfo - invalid result.second\n");
                *providerHandle = 0;
            } else {
                ++table.count;
                *providerHandle = handle;
                result = S_OK;
            }
        }
        DebugOut("AddProviderInfo - exiting, instance name - %s\n", name);
    } catch (...) {
        DebugOut("AddProviderInfo - exception\n");
    }
    return result;
}

ProviderEntry CEvtProviderInfoMap::FindEntry(ULONG handle) {
    TableLock lock;
    ProviderTable& table = Table();
    auto found = table.entries.find(handle);
    if (found == table.entries.end()) return nullptr;
    return found->second;
}

CEvTraceProvider* CEvtProviderInfoMap::FindProvider(ULONG handle) {
    ProviderEntry entry = FindEntry(handle);
    return entry ? entry->m_pProvider.get() : nullptr;
}

LONG CEvtProviderInfoMap::CopyProviderEntry(ULONG handle, EVT_PROVIDER_INFO* destination) {
    ProviderEntry entry = FindEntry(handle);
    if (!entry || destination == nullptr) return E_FAIL;
    *destination = *entry->m_pEntry;
    return S_OK;
}

LONG CEvtProviderInfoMap::UnRegisterProvider(ULONG handle) {
    ProviderEntry entry = FindEntry(handle);
    if (!entry) return EVT_E_INVALIDARG;
    ULONG64 registration = 0;
    entry->m_pProvider->GetProviderRegHandle(registration);
    if (registration == 0) return EVT_E_INVALIDARG;
    if (UnregisterTraceGuids(registration) != ERROR_SUCCESS) return EVT_E_INVALIDARG;
    return RemoveProviderInfo(handle);
}

LONG CEvtProviderInfoMap::RemoveProviderInfo(ULONG handle) {
    std::shared_ptr<CTraceProviderInfo> removed;
    {
        TableLock lock;
        ProviderTable& table = Table();
        auto found = table.entries.find(handle);
        if (found == table.entries.end()) return E_FAIL;
        removed = std::move(found->second);
        table.entries.erase(found);
        --table.count;
    }
    // The entry dies here, outside the lock, unless an emitter still holds it.
    return S_OK;
}

bool CEvtProviderInfoMap::HasNoProviders() {
    TableLock lock;
    return Table().count == 0;
}

ULONG WINAPI CEvtProviderInfoMap::ControlCallback(WMIDPREQUESTCODE requestCode, PVOID, ULONG*, PVOID buffer) {
    switch (requestCode) {
        case WMI_ENABLE_EVENTS: {
            TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
            g_loggerHandle.store(logger);
            g_enableLevel.store(GetTraceEnableLevel(logger));
            g_enableFlags.store(GetTraceEnableFlags(logger));
            g_enabled.store(1);
            return ERROR_SUCCESS;
        }
        case WMI_DISABLE_EVENTS:
            g_loggerHandle.store(0);
            g_enableLevel.store(0);
            g_enableFlags.store(0);
            g_enabled.store(0);
            return ERROR_SUCCESS;
        default: return ERROR_INVALID_PARAMETER;
    }
}

// ---------------------------------------------------------------------------
// Process-wide access
// ---------------------------------------------------------------------------

namespace traceapi {

CEvtProviderInfoMap* ProviderRegistry() { return g_pProviderInfoMap.load(std::memory_order_acquire); }

ProviderEnableState CurrentEnableState() {
    return {g_loggerHandle.load(), g_enableLevel.load(), g_enableFlags.load(), g_enabled.load()};
}

bool UnifiedLogWanted() {
    HANDLE event = g_hUlEnabledEvent.load(std::memory_order_acquire);
    if (event == nullptr) return true;
    // Only a switch known to be off silences: a handle closed meanwhile by
    // the last unregistration fails the wait, and then there is no switch.
    return WaitForSingleObject(event, 0) != WAIT_TIMEOUT;
}

}  // namespace traceapi

// ---------------------------------------------------------------------------
// Exports
// ---------------------------------------------------------------------------

extern "C" LONG RegisterEvTrace(ULONG* providerHandle, EVT_PROVIDER_INFO* info) {
    // Threads that register may later open COM-based services; the result
    // is of no concern here and the call is not balanced.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::lock_guard<std::mutex> lock(g_registrationLock);
    LONG result;
    try {
        if (providerHandle == nullptr || info == nullptr) {
            result = EVT_E_POINTER;
        } else {
            CEvtProviderInfoMap* registry = g_pProviderInfoMap.load();
            if (registry == nullptr) {
                registry = new (std::nothrow) CEvtProviderInfoMap();
                g_pProviderInfoMap.store(registry, std::memory_order_release);
            }
            result = registry ? registry->RegisterEvTrace(providerHandle, info) : EVT_E_NOTINITIALIZED;
        }
    } catch (...) {
        result = E_FAIL;
    }
    EnsureUnifiedLogSwitch();
    return result;
}

extern "C" LONG UnRegisterEvTrace(ULONG providerHandle) {
    std::lock_guard<std::mutex> lock(g_registrationLock);
    CEvtProviderInfoMap* registry = g_pProviderInfoMap.load();
    if (registry == nullptr) return EVT_E_NOTINITIALIZED;
    LONG result;
    try {
        result = registry->UnRegisterProvider(providerHandle);
    } catch (...) {
        result = E_FAIL;
    }
    if (registry->HasNoProviders()) {
        try {
            g_pProviderInfoMap.store(nullptr, std::memory_order_release);
            delete registry;
        } catch (...) {
        }
        // The switch handle belongs to the registered providers; with the
        // last one gone the next registration opens it again.
        CloseUnifiedLogSwitch();
    }
    return result;
}
