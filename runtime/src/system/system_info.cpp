// The Windows version, the Windows and system folders, the environment and
// COM initialisation.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <set>
#include <string>

#include <objbase.h>
#include <windows.h>

#include "core/error.h"
#include "core/machine.h"
#include "core/path.h"
#include "core/strings.h"
#include "core/sys.h"
#include "identity/identity.h"

extern char** environ;

namespace w32rt {

namespace {

constexpr const char* kWindows = "C:\\Windows";
constexpr const char* kSystem = "C:\\Windows\\System32";

// Every Windows machine has its Windows and system folders; they are made
// in a root the first time a process of it asks for them.
struct SystemFolders {
    explicit SystemFolders(Machine&) {
        ProcessIdentityScope as_system;
        for (const char* folder : {kWindows, kSystem}) {
            std::string path = map_path(folder);
            if (!path.empty()) sys::mkdir(path.c_str(), 0755);
        }
    }
};

void ensure_system_folders() { Machine::current().area<SystemFolders>(Area::Host); }

// The Windows convention for path-returning calls: the length on success,
// the size needed (with the zero) when the buffer is too small.
UINT put_path(const std::string& value, LPSTR buffer, UINT size) {
    if (!buffer || size < value.size() + 1) return UINT(value.size() + 1);
    memcpy(buffer, value.c_str(), value.size() + 1);
    return UINT(value.size());
}

// A variable of the process environment, its name compared without regard
// to case as Windows does.
std::optional<std::string> posix_variable(std::string_view name) {
    std::string exact(name);
    if (const char* value = getenv(exact.c_str())) return std::string(value);
    for (char** e = environ; e && *e; ++e) {
        const char* eq = strchr(*e, '=');
        if (eq && iequals(std::string_view(*e, size_t(eq - *e)), name)) return std::string(eq + 1);
    }
    return std::nullopt;
}

// The variables every Windows process has, answered from the runtime's
// view of the machine when the process environment lacks them.
std::optional<std::string> windows_variable(std::string_view name) {
    auto is = [&name](const char* candidate) { return iequals(name, candidate); };
    if (is("SystemRoot") || is("windir")) return std::string(kWindows);
    if (is("SystemDrive") || is("HOMEDRIVE")) return std::string("C:");
    if (is("ProgramData") || is("ALLUSERSPROFILE")) return std::string("C:\\ProgramData");
    if (is("ProgramFiles")) return std::string("C:\\Program Files");
    if (is("ComSpec")) return std::string("C:\\Windows\\system32\\cmd.exe");
    if (is("OS")) return std::string("Windows_NT");
    if (is("PROCESSOR_ARCHITECTURE")) return std::string("AMD64");
    if (is("NUMBER_OF_PROCESSORS")) return std::to_string(sysconf(_SC_NPROCESSORS_ONLN));
    if (is("COMPUTERNAME") || is("USERDOMAIN")) return computer_name();
    // The process's user: the environment does not follow impersonation.
    std::shared_ptr<const UserIdentity> user = process_identity();
    std::string profile = profile_folder(*user);
    if (is("USERNAME")) return user->account_name();
    if (is("USERPROFILE")) return profile;
    if (is("HOMEPATH")) return profile.substr(2);
    if (is("APPDATA")) return profile + "\\AppData\\Roaming";
    if (is("LOCALAPPDATA")) return profile + "\\AppData\\Local";
    return std::nullopt;
}

std::optional<std::string> environment_variable(std::string_view name) {
    if (name.empty()) return std::nullopt;
    if (auto value = posix_variable(name)) return value;
    return windows_variable(name);
}

// Windows rejects insert loops and lengths beyond 32 K characters.
constexpr size_t kMaxExpanded = 32767;

std::string expand(std::string_view source) {
    std::string out;
    size_t i = 0;
    while (i < source.size()) {
        size_t open = source.find('%', i);
        if (open == std::string_view::npos) {
            out.append(source.substr(i));
            break;
        }
        out.append(source.substr(i, open - i));
        size_t close = source.find('%', open + 1);
        if (close == std::string_view::npos) {
            out.append(source.substr(open));
            break;
        }
        std::optional<std::string> value = environment_variable(source.substr(open + 1, close - open - 1));
        if (value) {
            out += *value;
            i = close + 1;
        } else {
            // Not a variable: keep the text, and let the closing sign open
            // the next name.
            out.append(source.substr(open, close - open));
            i = close;
        }
    }
    return out;
}

// COM apartments of the calling thread.
struct ComState {
    unsigned count = 0;
    bool multithreaded = false;
};
thread_local ComState t_com;

}  // namespace

}  // namespace w32rt

using w32rt::fail;

extern "C" {

W32RT_API BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (!lpVersionInformation) return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    // Windows 7 Service Pack 1.
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 1;
    lpVersionInformation->dwBuildNumber = 7601;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    strcpy(lpVersionInformation->szCSDVersion, "Service Pack 1");
    if (size == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(lpVersionInformation);
        ex->wServicePackMajor = 1;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0x0100;  // VER_SUITE_SINGLEUSERTS: one interactive session
        ex->wProductType = 1;     // VER_NT_WORKSTATION
        ex->wReserved = 0;
    }
    return TRUE;
}

W32RT_API UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    w32rt::ensure_system_folders();
    return w32rt::put_path(w32rt::kWindows, lpBuffer, uSize);
}

W32RT_API UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    w32rt::ensure_system_folders();
    return w32rt::put_path(w32rt::kSystem, lpBuffer, uSize);
}

W32RT_API DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    if (!lpName) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    std::optional<std::string> value = w32rt::environment_variable(lpName);
    if (!value) return fail(ERROR_ENVVAR_NOT_FOUND, DWORD(0));
    if (!lpBuffer || nSize < value->size() + 1) return DWORD(value->size() + 1);
    memcpy(lpBuffer, value->c_str(), value->size() + 1);
    SetLastError(ERROR_SUCCESS);  // tells an empty value from a failure
    return DWORD(value->size());
}

W32RT_API DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
    if (!lpSrc) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    std::string out = w32rt::expand(lpSrc);
    if (out.size() > w32rt::kMaxExpanded) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    DWORD needed = DWORD(out.size() + 1);
    if (lpDst && nSize >= needed) memcpy(lpDst, out.c_str(), needed);
    return needed;
}

W32RT_API HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    const DWORD known = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
    if (pvReserved || (dwCoInit & ~known)) return E_INVALIDARG;
    bool multithreaded = !(dwCoInit & COINIT_APARTMENTTHREADED);
    w32rt::ComState& com = w32rt::t_com;
    if (com.count > 0) {
        if (com.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
        ++com.count;
        return S_FALSE;
    }
    com.count = 1;
    com.multithreaded = multithreaded;
    return S_OK;
}

W32RT_API HRESULT WINAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

W32RT_API void WINAPI CoUninitialize(void) {
    if (w32rt::t_com.count > 0) --w32rt::t_com.count;
}

}  // extern "C"
