// The process's providers: each registered component has a small handle
// (the lowest free one from 1), a copy of its description and a provider
// object holding its ETW registration and the session handle its events go
// to. The registry object (CEvtProviderInfoMap) exists from the first
// RegisterEvTrace until the last provider is unregistered; the table behind
// it lives as long as the process, so an emitter racing the last
// unregistration finds an empty table instead of a freed one.
//
// Locks: the registration lock (creation and destruction of the registry
// object, the unified-log switch handle) is taken before the table's critical
// section; emitters take only the critical section, once per event.
#pragma once

#include <TraceApi.h>

#include <memory>

// A provider's ETW side: the registration handle (inherited) and the handle
// of the session its events are written to.
class CEvTraceProvider : public CEvTrace {
public:
    // Obtains the session handle at once (which may start the session).
    CEvTraceProvider();
    ~CEvTraceProvider() override;
    CEvTraceProvider(const CEvTraceProvider&) = delete;
    CEvTraceProvider& operator=(const CEvTraceProvider&) = delete;

    // The session handle, asking for it again while it is 0. Every thread
    // of the process obtains the same value, so it is kept without a lock.
    ULONG64 SessionHandle();

    // Builds one event (header, fixed block, payload, zero tail) and writes
    // it into the session. 0 when written; EVT_E_NOSESSION when no session
    // handle could be had; E_FAIL for anything else (no memory, a payload
    // above EVT_MAX_PAYLOAD, the session refusing the event). A null payload
    // sends length zero bytes.
    LONG SendEvent(const EVT_PROVIDER_INFO& description, UCHAR classType, ULONG type, ULONG code, const void* payload,
                   size_t length, LPCSTR stringA, LPCSTR stringB, BYTE flag);

    // Writes the payload in place: every one of its length bytes, which
    // hold no particular value beforehand.
    using PayloadWriter = void (*)(BYTE* payload, size_t length, void* context);
    // The same, with the payload written by write(payload, length, context)
    // into the event itself rather than copied there.
    LONG SendEvent(const EVT_PROVIDER_INFO& description, UCHAR classType, ULONG type, ULONG code, size_t length,
                   PayloadWriter write, void* context, LPCSTR stringA, LPCSTR stringB, BYTE flag);

    ULONG64 m_hSession;
};

// One registry entry. The description is fixed once the entry exists, so
// emitters read it without the table lock while they hold the entry.
class CTraceProviderInfo {
public:
    std::unique_ptr<EVT_PROVIDER_INFO> m_pEntry;
    std::unique_ptr<CEvTraceProvider> m_pProvider;
};

using ProviderEntry = std::shared_ptr<const CTraceProviderInfo>;

class CEvtProviderInfoMap {
public:
    CEvtProviderInfoMap();
    virtual ~CEvtProviderInfoMap();
    CEvtProviderInfoMap(const CEvtProviderInfoMap&) = delete;
    CEvtProviderInfoMap& operator=(const CEvtProviderInfoMap&) = delete;

    // Registers with ETW, adds the entry and lists the instance name under
    // the "Providers" key.
    LONG RegisterEvTrace(ULONG* providerHandle, EVT_PROVIDER_INFO* info);
    // 0 with *providerHandle set, or EVT_E_PROVIDERADD with it 0.
    LONG AddProviderInfo(ULONG* providerHandle, ULONG64 registrationHandle, const EVT_PROVIDER_INFO* info);
    // The entry under handle, or null. The entry stays valid while held,
    // also when the handle is unregistered meanwhile.
    ProviderEntry FindEntry(ULONG handle);
    CEvTraceProvider* FindProvider(ULONG handle);
    // 0, or E_FAIL when there is no such handle.
    LONG CopyProviderEntry(ULONG handle, EVT_PROVIDER_INFO* destination);
    LONG UnRegisterProvider(ULONG handle);
    LONG RemoveProviderInfo(ULONG handle);
    bool HasNoProviders();

    // The ETW control callback: records the enable state (logger handle,
    // level, flags) for the process. Emission does not consult it.
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, PVOID context, ULONG* bufferSize, PVOID buffer);
};

namespace traceapi {

// The process's provider registry, or null while no provider is registered.
CEvtProviderInfoMap* ProviderRegistry();

// The enable state last set by a controller for this process's providers.
struct ProviderEnableState {
    ULONG64 loggerHandle;
    ULONG level;
    ULONG flags;
    int enabled;
};
ProviderEnableState CurrentEnableState();

// The unified-log switch: false only while the process holds the switch
// event "Global\UL_ENABLED_EVENT" and it is not signalled.
bool UnifiedLogWanted();

}  // namespace traceapi
