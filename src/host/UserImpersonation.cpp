// Acting as the console user: the user's token from the Terminal Services
// functions, impersonated on the calling thread.
#include "host/UserImpersonation.h"

#include <winreg.h>
#include <wtsapi32.h>

#include <atomic>
#include <cctype>
#include <new>
#include <string>

#include "frame/RegApi.h"

namespace {

constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;
constexpr DWORD kNoSlot = 0xFFFFFFFF;
constexpr char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
constexpr DWORD kMaxShellName = 100;

using QueryUserTokenFn = BOOL(WINAPI*)(ULONG, PHANDLE);
using EnumerateProcessesFn = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_PROCESS_INFOA*, DWORD*);
using FreeMemoryFn = void(WINAPI*)(PVOID);
using ConsoleSessionFn = DWORD(WINAPI*)(void);

// A bound function as its real type (through the generic function type,
// which converts to any other without a warning).
template <typename Fn>
Fn Bound(FARPROC address) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(address));
}

// One slot for the whole process, taken the first time it is needed. A
// thread that loses the race frees its own slot again.
std::atomic<DWORD> g_tlsIndex{kNoSlot};
// Looked up once; every thread that looks stores the same address.
std::atomic<ConsoleSessionFn> g_consoleSessionFn{nullptr};

DWORD TlsSlot() {
    DWORD slot = g_tlsIndex.load(std::memory_order_acquire);
    if (slot != kNoSlot) return slot;
    DWORD mine = TlsAlloc();
    if (mine == TLS_OUT_OF_INDEXES) return kNoSlot;
    DWORD expected = kNoSlot;
    if (g_tlsIndex.compare_exchange_strong(expected, mine)) return mine;
    TlsFree(mine);
    return expected;
}

_IMPERSONATION_STATE* ThreadState(DWORD slot) {
    return slot == kNoSlot ? nullptr : static_cast<_IMPERSONATION_STATE*>(TlsGetValue(slot));
}

// Owns the calling thread's state, which the slot points to, and frees it
// when the thread ends.
struct StateOwner {
    ~StateOwner() {
        if (state == nullptr) return;
        const DWORD slot = g_tlsIndex.load(std::memory_order_acquire);
        if (slot != kNoSlot && TlsGetValue(slot) == state) TlsSetValue(slot, nullptr);
        delete state;
    }
    _IMPERSONATION_STATE* state = nullptr;
};
thread_local StateOwner t_stateOwner;

struct OsVersion {
    DWORD platform = 0;
    DWORD major = 0;
    DWORD minor = 0;
};

OsVersion Version() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    OsVersion version;
    if (GetVersionExA(&info)) version = {info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
    return version;
}

bool IsWindows2000(const OsVersion& v) { return v.platform == VER_PLATFORM_WIN32_NT && v.major == 5 && v.minor == 0; }

std::string Upper(std::string text) {
    for (char& c : text) c = char(toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

CUserImpersonation::CUserImpersonation()
    : m_dwTlsIndex(0),
      m_hUserToken(nullptr),
      m_hWtsApi(nullptr),
      m_pfnEnumerateProcesses(nullptr),
      m_pfnFreeMemory(nullptr),
      m_pfnQueryUserToken(nullptr) {
    // Loaded by this object even when the process has it already: the
    // destructor then drops only the reference taken here.
    m_hWtsApi = LoadLibraryA("wtsapi32.dll");
    if (m_hWtsApi == nullptr) return;
    m_pfnQueryUserToken = GetProcAddress(m_hWtsApi, "WTSQueryUserToken");
    if (m_pfnQueryUserToken != nullptr) m_pfnEnumerateProcesses = GetProcAddress(m_hWtsApi, "WTSEnumerateProcessesA");
    if (m_pfnEnumerateProcesses != nullptr) m_pfnFreeMemory = GetProcAddress(m_hWtsApi, "WTSFreeMemory");
}

CUserImpersonation::~CUserImpersonation() {
    if (m_hUserToken != nullptr) CloseHandle(m_hUserToken);
    if (m_hWtsApi != nullptr) FreeLibrary(m_hWtsApi);
}

DWORD CUserImpersonation::GetActiveConsoleSessionId() {
    const OsVersion v = Version();
    const bool known = v.platform == VER_PLATFORM_WIN32_NT && ((v.major == 5 && (v.minor == 1 || v.minor == 2)) ||
                                                                v.major >= 6);
    if (!known) return 0;
    ConsoleSessionFn fn = g_consoleSessionFn.load(std::memory_order_acquire);
    if (fn == nullptr) {
        HMODULE kernel = LoadLibraryA("kernel32.dll");
        if (kernel == nullptr) return 0;
        fn = Bound<ConsoleSessionFn>(GetProcAddress(kernel, "WTSGetActiveConsoleSessionId"));
        if (fn == nullptr) {
            FreeLibrary(kernel);
            return 0;
        }
        g_consoleSessionFn.store(fn, std::memory_order_release);
    }
    return fn();
}

DWORD CUserImpersonation::ShellSessionId() {
    char shell[kMaxShellName + 1] = {};
    DWORD size = kMaxShellName;
    CRegApi winlogon;
    if (winlogon.OpenKey(HKEY_LOCAL_MACHINE, kWinlogonKey, KEY_READ) != ERROR_SUCCESS ||
        winlogon.QueryValue("Shell", shell, size) != ERROR_SUCCESS) {
        lstrcpynA(shell, "Explorer.exe", sizeof shell);
    }
    const std::string wanted = Upper(shell);
    auto enumerate = Bound<EnumerateProcessesFn>(m_pfnEnumerateProcesses);
    auto freeMemory = Bound<FreeMemoryFn>(m_pfnFreeMemory);
    if (enumerate == nullptr) return 0;
    PWTS_PROCESS_INFOA processes = nullptr;
    DWORD count = 0;
    if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count)) return 0;
    DWORD session = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (processes[i].pProcessName != nullptr && Upper(processes[i].pProcessName) == wanted) {
            session = processes[i].SessionId;
            break;
        }
    }
    if (freeMemory != nullptr) freeMemory(processes);
    return session;
}

bool CUserImpersonation::GetUserToken() {
    if (m_hUserToken != nullptr) {
        CloseHandle(m_hUserToken);
        m_hUserToken = nullptr;
    }
    const DWORD session = GetActiveConsoleSessionId();
    if (IsWindows2000(Version()) || session == kNoConsoleSession) return false;
    auto queryUserToken = Bound<QueryUserTokenFn>(m_pfnQueryUserToken);
    if (queryUserToken == nullptr) return false;
    HANDLE token = nullptr;
    if (queryUserToken(session, &token) && token != nullptr) {
        m_hUserToken = token;
        return true;
    }
    // The console session may not be the user's (a fast user switch in
    // progress): the session of the user's shell decides.
    token = nullptr;
    if (queryUserToken(ShellSessionId(), &token) && token != nullptr) {
        m_hUserToken = token;
        return true;
    }
    return false;
}

int CUserImpersonation::Impersonate() {
    try {
        const DWORD slot = TlsSlot();
        if (slot == kNoSlot) return 0;
        m_dwTlsIndex = slot;
        _IMPERSONATION_STATE* state = ThreadState(slot);
        if (state != nullptr && state->bImpersonating && state->dwSessionId == GetActiveConsoleSessionId()) return 1;
        if (state == nullptr) {
            state = new (std::nothrow) _IMPERSONATION_STATE{0, kNoConsoleSession};
            if (state == nullptr) return 0;
            if (!TlsSetValue(slot, state)) {
                delete state;
                return 0;
            }
            t_stateOwner.state = state;
        }
        // Impersonating for a session that is no longer at the console.
        if (state->bImpersonating) Revert();
        if (!GetUserToken()) return 0;
        if (!ImpersonateLoggedOnUser(m_hUserToken)) return 0;
        state->bImpersonating = 1;
        state->dwSessionId = GetActiveConsoleSessionId();
        return 1;
    } catch (...) {
        return 0;
    }
}

int CUserImpersonation::Revert() {
    try {
        _IMPERSONATION_STATE* state = ThreadState(g_tlsIndex.load(std::memory_order_acquire));
        if (state == nullptr || !state->bImpersonating) return 0;
        if (!RevertToSelf()) return 0;
        state->bImpersonating = 0;
        state->dwSessionId = GetActiveConsoleSessionId();
        return 1;
    } catch (...) {
        return 0;
    }
}
