// WTSGetActiveConsoleSessionId, WTSQueryUserToken, WTSEnumerateProcessesA
// and WTSFreeMemory.
#include "identity/sessions.h"

#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <map>
#include <vector>

#include <wtsapi32.h>

#include "core/error.h"
#include "core/machine.h"
#include "core/sys.h"
#include "identity/identity.h"

namespace w32rt {

namespace {

constexpr const char* kLoginSessions = "/run/systemd/sessions";
constexpr DWORD kNoSession = 0xFFFFFFFF;

std::optional<uid_t> uid_of_user(const std::string& name) {
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_uid;
    char* end = nullptr;
    unsigned long value = strtoul(name.c_str(), &end, 10);
    if (!name.empty() && end && *end == '\0') return uid_t(value);
    return std::nullopt;
}

// The number in a login manager's session name ("3", "c2"); 1 when it has
// none, as 0 is the services' session.
DWORD session_number(const std::string& name) {
    size_t digits = name.find_first_of("0123456789");
    if (digits == std::string::npos) return 1;
    unsigned long value = strtoul(name.c_str() + digits, nullptr, 10);
    return value == 0 || value >= kNoSession ? 1 : DWORD(value);
}

bool caller_may_query_tokens() {
    // LocalSystem with the TCB privilege on Windows: the superuser or the
    // service account here.
    uid_t euid = geteuid();
    int64_t system = system_account_uid();
    return euid == 0 || (system >= 0 && euid == uid_t(system));
}

}  // namespace

std::optional<ConsoleSession> console_from_login_sessions(const std::string& dir) {
    std::vector<std::string> names;
    if (sys::list_folder(dir.c_str(), &names) < 0) return std::nullopt;
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n[0] == '.'; }),
                names.end());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string text;
        sys::read_file((dir + "/" + name).c_str(), &text);
        std::istringstream in(text);
        std::map<std::string, std::string> fields;
        std::string line;
        while (std::getline(in, line)) {
            size_t eq = line.find('=');
            if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
        }
        // The login screen's own session is nobody at the console.
        if (fields["ACTIVE"] != "1" || fields["SEAT"] != "seat0" || fields["CLASS"] == "greeter") continue;
        char* end = nullptr;
        unsigned long uid = strtoul(fields["UID"].c_str(), &end, 10);
        if (fields["UID"].empty() || !end || *end != '\0') continue;
        return ConsoleSession{session_number(name), uid_t(uid)};
    }
    return std::nullopt;
}

std::optional<ConsoleSession> console_session() {
    if (const char* configured = getenv("EVTRACE_CONSOLE_USER")) {
        if (!*configured || strcmp(configured, "none") == 0) return std::nullopt;
        std::optional<uid_t> uid = uid_of_user(configured);
        if (!uid) return std::nullopt;
        return ConsoleSession{1, *uid};
    }
    return console_from_login_sessions(kLoginSessions);
}

DWORD session_of_user(uid_t uid) {
    std::optional<ConsoleSession> console = console_session();
    return console && console->uid == uid ? console->id : 0;
}

}  // namespace w32rt

using w32rt::fail;

extern "C" {

W32RT_API DWORD WINAPI WTSGetActiveConsoleSessionId(void) {
    std::optional<w32rt::ConsoleSession> console = w32rt::console_session();
    return console ? console->id : w32rt::kNoSession;
}

W32RT_API BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
    if (!phToken) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *phToken = nullptr;
    if (!w32rt::caller_may_query_tokens()) return fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
    if (SessionId == WTS_CURRENT_SESSION) SessionId = w32rt::session_of_user(geteuid());
    // Session 0 runs services: nobody is logged on to it.
    if (SessionId == 0) return fail(ERROR_NO_TOKEN, FALSE);
    std::optional<w32rt::ConsoleSession> console = w32rt::console_session();
    if (!console || console->id != SessionId) return fail(ERROR_FILE_NOT_FOUND, FALSE);
    HANDLE token = w32rt::open_token(w32rt::identity_of_uid(console->uid), false, TOKEN_ALL_ACCESS);
    if (!token) return FALSE;
    *phToken = token;
    return TRUE;
}

// Lists the processes of the machine with their sessions, as one block to
// be freed with WTSFreeMemory. Names are the programs' file names; pUserSid
// is null, as the runtime has no security identifiers.
W32RT_API BOOL WINAPI WTSEnumerateProcessesA(HANDLE hServer, DWORD Reserved, DWORD Version,
                                            PWTS_PROCESS_INFOA* ppProcessInfo, DWORD* pCount) {
    if (hServer != WTS_CURRENT_SERVER_HANDLE) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Reserved != 0 || Version != 1 || !ppProcessInfo || !pCount) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *ppProcessInfo = nullptr;
    *pCount = 0;
    std::optional<w32rt::ConsoleSession> console = w32rt::console_session();

    struct Found {
        DWORD pid;
        DWORD session;
        std::string name;
    };
    std::vector<Found> found;
    std::vector<std::string> entries;
    if (w32rt::sys::list_folder("/proc", &entries) < 0) return w32rt::fail_errno(errno, FALSE);
    for (const std::string& entry : entries) {
        char* end = nullptr;
        unsigned long pid = strtoul(entry.c_str(), &end, 10);
        if (!end || *end != '\0' || pid == 0) continue;
        std::string base = "/proc/" + entry;
        struct stat st;
        if (w32rt::sys::stat(base.c_str(), &st) != 0) continue;  // gone meanwhile
        std::string name;
        char exe[4096];
        ssize_t n = w32rt::sys::readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
        if (n > 0) {
            exe[n] = '\0';
            const char* slash = strrchr(exe, '/');
            name = slash ? slash + 1 : exe;
            const char* deleted = " (deleted)";
            if (name.size() > strlen(deleted) && name.compare(name.size() - strlen(deleted), strlen(deleted), deleted) == 0)
                name.resize(name.size() - strlen(deleted));
        } else {
            w32rt::sys::read_file((base + "/comm").c_str(), &name);
            name = name.substr(0, name.find('\n'));
            if (name.empty()) continue;  // a kernel thread or gone
        }
        DWORD session = console && console->uid == st.st_uid ? console->id : 0;
        found.push_back({DWORD(pid), session, std::move(name)});
    }

    size_t bytes = found.size() * sizeof(WTS_PROCESS_INFOA);
    for (const Found& f : found) bytes += f.name.size() + 1;
    char* block = static_cast<char*>(malloc(bytes ? bytes : 1));
    if (!block) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    auto* info = reinterpret_cast<WTS_PROCESS_INFOA*>(block);
    char* names = block + found.size() * sizeof(WTS_PROCESS_INFOA);
    for (size_t i = 0; i < found.size(); ++i) {
        info[i].SessionId = found[i].session;
        info[i].ProcessId = found[i].pid;
        info[i].pProcessName = names;
        info[i].pUserSid = nullptr;
        memcpy(names, found[i].name.c_str(), found[i].name.size() + 1);
        names += found[i].name.size() + 1;
    }
    *ppProcessInfo = info;
    *pCount = DWORD(found.size());
    return TRUE;
}

W32RT_API void WINAPI WTSFreeMemory(PVOID pMemory) { free(pMemory); }

}  // extern "C"
