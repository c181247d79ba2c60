// CEvTraceController: the session on and off, and the alert switch.
#include <TraceApi.h>

#include <atomic>

#include "frame/Boundary.h"
#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"
#include "session/ControlGuid.h"

using namespace traceapi;

CEvTraceController::CEvTraceController() = default;

CEvTraceController::CEvTraceController(const CEvTraceController& other) = default;

CEvTraceController& CEvTraceController::operator=(const CEvTraceController& other) = default;

CEvTraceController::~CEvTraceController() = default;

LONG CEvTraceController::EnableRealTimeSession() {
    return Guarded([&]() -> LONG {
        ULONG64 session = 0;
        GetSessionHandle1(session);
        if (session == 0) return S_OK;
        ULONG status = EnableTrace(TRUE, 0xFFFFFFFF, 255, &kControlGuid, session);
        return status == ERROR_SUCCESS ? S_OK : EVT_E_ETWFAILED;
    });
}

LONG CEvTraceController::DisableSession() {
    PEVENT_TRACE_PROPERTIES properties = nullptr;
    try {
        properties = MakeTraceProperties(EVT_SESSION_NAME, "", 0, kControlGuid);
        if (properties == nullptr) return E_FAIL;
        LONG result = E_FAIL;
        if (ControlTraceA(0, EVT_SESSION_NAME, properties, EVENT_TRACE_CONTROL_QUERY) == ERROR_SUCCESS) {
            ULONG64 session = properties->Wnode.HistoricalContext;
            ULONG status = ControlTraceA(session, nullptr, properties, EVENT_TRACE_CONTROL_STOP);
            result = status > 0 ? E_FAIL : S_OK;
            // The stopped handle is dead: this process asks afresh next time,
            // so enabling again starts a new session. Providers keep the
            // handle they hold and fail from now on.
            if (result == S_OK) std::atomic_ref<ULONG64>(s_hRTSession).compare_exchange_strong(session, 0);
        }
        ReleaseTraceProperties(properties);
        return result;
    } catch (...) {
        ReleaseTraceProperties(properties);
        return E_FAIL;
    }
}

LONG CEvTraceController::EnableLogging(int enable) {
    if (enable == 0) return DisableSession();
    return Guarded([&] {
        LONG result = EnableRealTimeSession();
        if (result < 0) throw _evt_error(result, 0);
        return result;
    });
}

LONG CEvTraceController::EnableAlerts(int enable) {
    return Guarded([&]() -> LONG {
        CRegApi regApi;
        if (regApi.CreateKey(HKEY_LOCAL_MACHINE, kApiKeyPath, 0, kKeyReadWrite, nullptr) != ERROR_SUCCESS)
            return E_FAIL;
        LONG status = regApi.SetValue(kEnableAlertsValue, static_cast<DWORD>(enable != 0 ? 1 : 0));
        regApi.CloseKey();
        return status;
    });
}

LONG CEvTraceController::GetAlertState(int& state) {
    state = 0;
    try {
        ULONG value = kDefaultEnableAlerts;
        CTraceApiReg::GetEnableAlerts(&value);
        state = value != 0 ? 1 : 0;
        return S_OK;
    } catch (...) {
        state = 0;
        return E_FAIL;
    }
}
