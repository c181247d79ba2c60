// Acting as the interactive console user on the calling thread. A service
// running as "SYSTEM" makes an object on the stack, calls Impersonate, does
// the user's file work, calls Revert and lets the object go. Impersonation
// belongs to the thread: other threads of the process keep their identity.
//
// Each thread remembers in one process-wide thread-local slot whether it
// impersonates through this class and for which console session, so that a
// second Impersonate for the same session does nothing and a new user at the
// console is picked up by the next Impersonate. The state outlives the
// objects and is freed when its thread ends.
//
// The Terminal Services functions are bound at run time and may be absent:
// every operation then fails softly (0) and callers carry on as themselves.
#pragma once

#include <windows.h>

class CUserImpersonation {
public:
    CUserImpersonation();
    // Closes the token and unloads the session functions; does not revert.
    ~CUserImpersonation();
    CUserImpersonation(const CUserImpersonation&) = delete;
    CUserImpersonation& operator=(const CUserImpersonation&) = delete;

    // 1 when the thread now impersonates the console user, 0 when it could
    // not (nobody at the console, no token, no right to impersonate).
    int Impersonate();
    // 1 when an impersonation made here was ended, 0 when there was none
    // or reverting failed.
    int Revert();

    // The session attached to the console; 0xFFFFFFFF when nobody is at the
    // console, 0 when the system has no such function.
    static DWORD GetActiveConsoleSessionId();

    DWORD m_dwTlsIndex;
    HANDLE m_hUserToken;
    HMODULE m_hWtsApi;
    FARPROC m_pfnEnumerateProcesses;
    FARPROC m_pfnFreeMemory;
    FARPROC m_pfnQueryUserToken;

private:
    // Replaces m_hUserToken with the console user's token; false when none.
    bool GetUserToken();
    // The session of the first process of this machine whose name, in upper
    // case, is the user's shell (Winlogon "Shell", "Explorer.exe" when
    // missing); 0 when none runs.
    DWORD ShellSessionId();
};

// Per-thread state kept in the slot.
struct _IMPERSONATION_STATE {
    DWORD bImpersonating;
    DWORD dwSessionId;
};

namespace traceapi {

// Acts as the console user for a scope when it can, and as the process
// itself when it cannot (nobody at the console, no right to impersonate).
// Used for file work done on the user's behalf; not to be nested on one
// thread (the inner scope's end would end the outer one's impersonation).
class ConsoleUserScope {
public:
    ConsoleUserScope() : m_impersonating(m_user.Impersonate() == 1) {}
    ~ConsoleUserScope() {
        if (m_impersonating) m_user.Revert();
    }
    ConsoleUserScope(const ConsoleUserScope&) = delete;
    ConsoleUserScope& operator=(const ConsoleUserScope&) = delete;
    bool Impersonating() const { return m_impersonating; }

private:
    CUserImpersonation m_user;
    bool m_impersonating;
};

}  // namespace traceapi
