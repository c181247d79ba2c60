// The consumer side of the flat interface: each function forwards to the
// process's consumer (EvtInitialize with flag 2). Without a consumer they
// return EVT_E_NOTINITIALIZED (E_FAIL for GetAlertHistoryList,
// GetAlertHintList and GetAlertContextHelpEx) and touch no out-argument.
// No exception leaves these functions.
#include <TraceApi.h>

#include <atomic>
#include <new>

#include "consumer/EvTraceConsumer.h"
#include "exports/ProcessObjects.h"

namespace traceapi {

CEvTraceConsumer* NewEvTraceConsumer() noexcept {
    try {
        return new (std::nothrow) CEvTraceConsumer();
    } catch (...) {
        return nullptr;
    }
}

void DeleteEvTraceConsumer(CEvTraceConsumer* consumer) { delete consumer; }

}  // namespace traceapi

namespace {

// Runs an operation of the consumer, or answers `absent` without one.
template <typename Op>
LONG WithConsumer(LONG absent, Op op) {
    CEvTraceConsumer* consumer = traceapi::g_pEvTraceConsumer;
    if (consumer == nullptr) return absent;
    try {
        return op(*consumer);
    } catch (_evt_error& error) {
        dump_evterror(error);
        return error.error() < 0 ? error.error() : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace

extern "C" {

TRACEAPI_API LONG OpenInfosetHandle(ULONG* pInfoset, LPCSTR pszFileName, ULONG ulType) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer& c) { return c.OpenInfosetHandle(pInfoset, pszFileName, ulType); });
}

TRACEAPI_API LONG CloseInfosetHandle(ULONG ulInfoset) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer& c) { return c.CloseInfosetHandle(ulInfoset); });
}

TRACEAPI_API LONG CountEvTrace(ULONG ulInfoset, ULONG* pulCount) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer& c) { return c.CountEvTrace(ulInfoset, pulCount); });
}

TRACEAPI_API LONG GetFirstEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer& c) { return c.GetFirstEvTrace(ulInfoset, ppRecord); });
}

TRACEAPI_API LONG GetLastEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer& c) { return c.GetLastEvTrace(ulInfoset, ppRecord); });
}

TRACEAPI_API LONG GetNextEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer& c) { return c.GetNextEvTrace(ulInfoset, ppRecord); });
}

TRACEAPI_API LONG GetPreviousEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer& c) { return c.GetPreviousEvTrace(ulInfoset, ppRecord); });
}

TRACEAPI_API LONG CreateLogFile(LPCSTR pszFileName, _EVT_RECORD_LIST* pList, ULONG ulFormat) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer&) {
        return CEvTraceConsumer::CreateLogFile(pszFileName, pList, ulFormat);
    });
}

TRACEAPI_API LONG GetProviderList(_EVT_PROVIDER_LIST** ppList) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer& c) { return c.GetProviderList(ppList); });
}

TRACEAPI_API LONG GetAlertList(_EVT_ALERT_LIST** ppList) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer& c) { return c.GetAlertList(ppList); });
}

TRACEAPI_API LONG GetAlertHistoryList(_EVT_RECORD_LIST** ppList) {
    return WithConsumer(E_FAIL, [&](CEvTraceConsumer& c) { return c.GetAlertHistoryList(ppList); });
}

TRACEAPI_API LONG GetAlertHintList(ULONG ulCode, _EVT_ALERT_HINT_LIST** ppList) {
    return WithConsumer(E_FAIL, [&](CEvTraceConsumer& c) { return c.GetAlertHintList(ulCode, ppList); });
}

TRACEAPI_API LONG GetAlertContextHelp(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP* pHelp) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer& c) { return c.GetAlertContextHelp(ulCode, pHelp); });
}

TRACEAPI_API LONG GetAlertContextHelpEx(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP_EX* pHelp) {
    return WithConsumer(E_FAIL, [&](CEvTraceConsumer& c) { return c.GetAlertContextHelpEx(ulCode, pHelp); });
}

TRACEAPI_API LONG IsAlertableError(ULONG ulCode, ULONG* pulAlertable) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer& c) { return c.IsAlertableError(ulCode, pulAlertable); });
}

TRACEAPI_API LONG GetErrorDomain(ULONG ulCode, ULONG* pulDomain) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer&) {
        *pulDomain = EVT_CODE_DOMAIN(ulCode);
        return S_OK;
    });
}

TRACEAPI_API LONG GetErrorSeverity(ULONG ulCode, ULONG* pulSeverity) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer&) {
        *pulSeverity = EVT_CODE_SEVERITY(ulCode);
        return S_OK;
    });
}

TRACEAPI_API LONG SetEvTraceCallback(PEVT_CLIENT_CALLBACK pfnCallback) {
    return WithConsumer(EVT_E_NOTINITIALIZED, [&](CEvTraceConsumer& c) { return c.SetEvTraceCallback(pfnCallback); });
}

TRACEAPI_API LONG SetLocalizedHeader(LPCSTR* ppszTitles) {
    return WithConsumer(EVT_E_NOTINITIALIZED,
                        [&](CEvTraceConsumer&) { return CEvTraceConsumer::SetLocalizedHeader(ppszTitles); });
}

TRACEAPI_API LONG GetEvTraceListenerStatus(void) {
    return std::atomic_ref<int>(CEvTraceListener::m_bEvTraceListenerAccessDenied).load();
}

}  // extern "C"
