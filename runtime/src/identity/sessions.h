// Terminal Services sessions: the console session and the session of each
// process.
//
// The user at the console is EVTRACE_CONSOLE_USER when it is set (a user
// name or uid; "none" for nobody), else the user of the login manager's
// active session on seat0 (/run/systemd/sessions), else nobody. The console
// session's id is the login manager's session number (1 when configured);
// processes of the console user belong to it, all others to session 0, the
// services' session.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include <windows.h>

namespace w32rt {

struct ConsoleSession {
    DWORD id;
    uid_t uid;
};

// The console session, or nothing when nobody is logged on at the console.
std::optional<ConsoleSession> console_session();

// The active seat0 session among login-manager session files in dir.
std::optional<ConsoleSession> console_from_login_sessions(const std::string& dir);

// The session a process of this user belongs to.
DWORD session_of_user(uid_t uid);

}  // namespace w32rt
