/* A host written in C: it includes the library's one header and uses only the
   flat interface. Compiled as C, it keeps that header (and the runtime's SDK
   headers under it) valid C. */
#include <TraceApi.h>

#include <string.h>

#include "c_host.h"

LONG CHostEmit(const char* source, ULONG code, const char* text) {
    EVT_PROVIDER_INFO info;
    ULONG handle = 0;
    LONG result;

    memset(&info, 0, sizeof info);
    strncpy(info.m_szInstanceName, source, sizeof info.m_szInstanceName - 1);
    result = RegisterEvTrace(&handle, &info);
    if (result != S_OK) return result;
    result = EvTraceString(handle, 51, code, text, "string A", NULL, 1);
    if (result == S_OK) result = EvTraceFormat(handle, 0, code + 1, NULL, NULL, 0, "%s=%d", "count", 42);
    if (result == S_OK) result = EvTraceStart(handle, code + 2, "started");
    {
        LONG unregistered = UnRegisterEvTrace(handle);
        if (result == S_OK) result = unregistered;
    }
    return result;
}
