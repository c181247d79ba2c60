// Terminal Services (wtsapi32). These functions are also reachable through
// LoadLibraryA("wtsapi32.dll") and GetProcAddress, which is how code that
// must tolerate their absence binds them.
#pragma once

#include <winbase.h>

#define WTS_CURRENT_SERVER_HANDLE ((HANDLE)NULL)
#define WTS_CURRENT_SESSION ((DWORD)-1)

typedef struct _WTS_PROCESS_INFOA {
    DWORD SessionId;
    DWORD ProcessId;
    LPSTR pProcessName;
    PSID pUserSid;
} WTS_PROCESS_INFOA, *PWTS_PROCESS_INFOA;

W32RT_BEGIN_DECLS
// The primary token of the user logged on to a session. The console user
// comes from the login manager where there is one, else from configuration.
W32RT_API BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken);
W32RT_API BOOL WINAPI WTSEnumerateProcessesA(HANDLE hServer, DWORD Reserved, DWORD Version,
                                            PWTS_PROCESS_INFOA* ppProcessInfo, DWORD* pCount);
W32RT_API void WINAPI WTSFreeMemory(PVOID pMemory);
W32RT_END_DECLS
