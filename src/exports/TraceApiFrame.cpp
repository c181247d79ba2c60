// Entry of the library: load and unload, the process-wide controller and
// consumer, the version, memory handed to callers and the unified-log status
// exports.
#include <TraceApi.h>

#include <new>

#include "exports/ProcessObjects.h"
#include "frame/ModuleHandle.h"

namespace traceapi {

CEvTraceController* g_pEvTraceController = nullptr;
CEvTraceConsumer* g_pEvTraceConsumer = nullptr;

}  // namespace traceapi

using namespace traceapi;

// Runs while the loader holds its lock: records the module handle and does
// nothing that could load or wait. The process-wide objects are not
// destroyed at unload; EvtUnInitialize and the last UnRegisterEvTrace do that.
extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID) {
    if (fdwReason == DLL_PROCESS_ATTACH) RecordModuleHandle(hinstDLL);
    return TRUE;
}

extern "C" {

LONG EvtInitialize(int flags) {
    if ((flags & 1) != 0 && g_pEvTraceController == nullptr)
        g_pEvTraceController = new (std::nothrow) CEvTraceController();
    if ((flags & 2) == 0) return (flags & 1) != 0 ? S_OK : EVT_E_INVALIDARG;
    if (g_pEvTraceConsumer == nullptr) g_pEvTraceConsumer = NewEvTraceConsumer();
    return S_OK;
}

LONG EvtUnInitialize(void) {
    if (g_pEvTraceController == nullptr && g_pEvTraceConsumer == nullptr) return EVT_E_NOTINITIALIZED;
    if (g_pEvTraceController != nullptr) {
        try {
            delete g_pEvTraceController;
            g_pEvTraceController = nullptr;
        } catch (...) {
        }
    }
    if (g_pEvTraceConsumer != nullptr) {
        try {
            DeleteEvTraceConsumer(g_pEvTraceConsumer);
            g_pEvTraceConsumer = nullptr;
        } catch (...) {
        }
    }
    return S_OK;
}

LONG GetTraceAPIVersion(SHORT* major, SHORT* minor) {
    if (g_pEvTraceConsumer == nullptr) return EVT_E_NOTINITIALIZED;
    if (major == nullptr || minor == nullptr) return EVT_E_INVALIDARG;
    *major = 1;
    *minor = 0;
    return S_OK;
}

void EvTraceDeleteArray(void* block) {
    try {
        delete[] static_cast<BYTE*>(block);
    } catch (...) {
    }
}

void EvTraceDeleteMemory(void* block) {
    try {
        ::operator delete(block);
    } catch (...) {
    }
}

LONG GetULLogStatus(ULONG* status) {
    if (status == nullptr) return E_FAIL;
    *status = 0;
    return S_OK;
}

LONG SetULLogStatus(void) { return S_OK; }

void EvTraceDebugString(LPCSTR, ...) {}

void EvTraceDebugCString(LPCSTR) {}

LONG EnableAlerts(int enable) {
    if (g_pEvTraceController == nullptr) return EVT_E_NOTINITIALIZED;
    return g_pEvTraceController->EnableAlerts(enable);
}

LONG EnableLogging(int enable) {
    if (g_pEvTraceController == nullptr) return EVT_E_NOTINITIALIZED;
    return g_pEvTraceController->EnableLogging(enable);
}

LONG GetAlertState(int* state) {
    if (g_pEvTraceController == nullptr) return EVT_E_NOTINITIALIZED;
    if (state == nullptr) return EVT_E_POINTER;
    return g_pEvTraceController->GetAlertState(*state);
}

}  // extern "C"
