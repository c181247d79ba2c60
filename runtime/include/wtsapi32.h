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
// The primary token of the user logged on to a session; only the superuser
// or the service account may ask (else ERROR_PRIVILEGE_NOT_HELD). The
// console user is EVTRACE_CONSOLE_USER when set, else the login manager's
// active seat0 session (see w32rt/machine.h). Session 0 (services) has no
// user: ERROR_NO_TOKEN; a session that does not exist: ERROR_FILE_NOT_FOUND.
W32RT_API BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken);
// Processes of the console user are in the console session, all others in
// session 0. Names are the programs' file names; pUserSid is null.
W32RT_API BOOL WINAPI WTSEnumerateProcessesA(HANDLE hServer, DWORD Reserved, DWORD Version,
                                            PWTS_PROCESS_INFOA* ppProcessInfo, DWORD* pCount);
W32RT_API void WINAPI WTSFreeMemory(PVOID pMemory);
W32RT_END_DECLS
