/* A host built against the installed tree: registers a provider, emits a
   text into the session (started on demand) and unregisters. Prints "ok"
   and exits 0 when every call succeeded. */
#include <TraceApi.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    EVT_PROVIDER_INFO info;
    ULONG handle = 0;
    LONG result;

    memset(&info, 0, sizeof info);
    strncpy(info.m_szInstanceName, argc > 1 ? argv[1] : "InstalledHost", sizeof info.m_szInstanceName - 1);
    result = RegisterEvTrace(&handle, &info);
    if (result == S_OK) result = EvTraceString(handle, 51, 0x100, "from an installed host", NULL, NULL, 0);
    if (result == S_OK) result = UnRegisterEvTrace(handle);
    if (result != S_OK) {
        fprintf(stderr, "failed: 0x%08lX\n", (unsigned long)(DWORD)result);
        return 1;
    }
    puts("ok");
    return 0;
}
