// The consumer side of the flat interface. Until the consumer class exists
// in this library the process's consumer is an empty object: EvtInitialize(2)
// makes it and EvtUnInitialize destroys it, and every consumer function
// answers as it does without a consumer (EVT_E_NOTINITIALIZED, or E_FAIL for
// GetAlertHistoryList, GetAlertHintList and GetAlertContextHelpEx), touching
// no out-argument. The consumer side replaces this file.
#include <TraceApi.h>

#include <new>

#include "frame/ProcessObjects.h"

class CEvTraceConsumer {
public:
    virtual ~CEvTraceConsumer() = default;
};

struct _EVT_RECORD_LIST;
struct _EVT_PROVIDER_LIST;
struct _EVT_ALERT_LIST;
struct _EVT_ALERT_CONTEXT_HELP;
struct _EVT_ALERT_CONTEXT_HELP_EX;
struct _EVT_ALERT_HINT_LIST;
typedef void (*PEVT_CLIENT_CALLBACK)(_VANTA_EVTRACE_DATA* record);

namespace traceapi {

CEvTraceConsumer* NewEvTraceConsumer() noexcept { return new (std::nothrow) CEvTraceConsumer(); }

void DeleteEvTraceConsumer(CEvTraceConsumer* consumer) { delete consumer; }

}  // namespace traceapi

extern "C" {

TRACEAPI_API LONG OpenInfosetHandle(ULONG*, LPCSTR, ULONG) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG CloseInfosetHandle(ULONG) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG CountEvTrace(ULONG, ULONG*) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetFirstEvTrace(ULONG, _VANTA_EVTRACE_DATA**) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetLastEvTrace(ULONG, _VANTA_EVTRACE_DATA**) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetNextEvTrace(ULONG, _VANTA_EVTRACE_DATA**) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetPreviousEvTrace(ULONG, _VANTA_EVTRACE_DATA**) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG CreateLogFile(LPCSTR, _EVT_RECORD_LIST*, ULONG) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetProviderList(_EVT_PROVIDER_LIST**) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetAlertList(_EVT_ALERT_LIST**) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetAlertHistoryList(_EVT_RECORD_LIST**) { return E_FAIL; }
TRACEAPI_API LONG GetAlertHintList(ULONG, _EVT_ALERT_HINT_LIST**) { return E_FAIL; }
TRACEAPI_API LONG GetAlertContextHelp(ULONG, _EVT_ALERT_CONTEXT_HELP*) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetAlertContextHelpEx(ULONG, _EVT_ALERT_CONTEXT_HELP_EX*) { return E_FAIL; }
TRACEAPI_API LONG IsAlertableError(ULONG, ULONG*) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetErrorDomain(ULONG, ULONG*) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG GetErrorSeverity(ULONG, ULONG*) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG SetEvTraceCallback(PEVT_CLIENT_CALLBACK) { return EVT_E_NOTINITIALIZED; }
TRACEAPI_API LONG SetLocalizedHeader(LPCSTR*) { return EVT_E_NOTINITIALIZED; }

// The listener's access-denied flag: set only by a listener whose
// ProcessTrace was refused, and no listener runs in this library yet.
TRACEAPI_API LONG GetEvTraceListenerStatus(void) { return 0; }

}  // extern "C"
