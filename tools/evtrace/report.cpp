// Errors in words: library results and Win32 statuses, the fixes that go
// with them, and the checks on the machine root (see command.h).
#include <TraceApi.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <fmt/format.h>
#include <w32rt/machine.h>

#include "command.h"

namespace evtrace {

const char kExitCodesHelp[] =
    "Exit codes:\n"
    "  0   ok\n"
    "  1   failed: the system or the library refused or failed\n"
    "  2   usage: bad command line (unknown command or option, a value out of range)\n"
    "  3   not found: no such machine root, session, key, value or file; the session is not running\n"
    "  4   incomplete: events were lost, refused or not sent, or fewer came than asked for\n"
    "  5   bad data: an input file is not what it should be (not an event log, cut short, a bad line)\n"
    "  6   denied: not the machine root's owner, or access denied\n"
    "  70  internal error of evtrace (please report it)\n";

namespace {

struct LibraryResult {
    LONG result;
    const char* name;
    const char* text;
};

// The library has no texts of its own for its results: these say what each
// means to someone using the tool.
constexpr LibraryResult kResults[] = {
    {EVT_E_INVALIDARG, "EVT_E_INVALIDARG", "an argument was refused"},
    {EVT_E_ETWFAILED, "EVT_E_ETWFAILED", "a trace session call failed"},
    {EVT_E_OUTOFMEMORY, "EVT_E_OUTOFMEMORY", "out of memory"},
    {EVT_E_NOINFOSET, "EVT_E_NOINFOSET", "the log could not be made, or no infoset is open under that number"},
    {EVT_E_HANDLEINUSE, "EVT_E_HANDLEINUSE", "the infoset number is in use"},
    {EVT_E_NOTINITIALIZED, "EVT_E_NOTINITIALIZED",
     "the library object the call needs does not exist (no consumer, controller or provider)"},
    {EVT_E_TOOMANYINFOSETS, "EVT_E_TOOMANYINFOSETS", "too many infosets are open"},
    {EVT_E_POINTER, "EVT_E_POINTER", "a required argument is missing"},
    {EVT_E_NOSESSION, "EVT_E_NOSESSION", "no handle of the trace session could be had"},
    {EVT_E_BADINFOSETTYPE, "EVT_E_BADINFOSETTYPE", "unknown infoset type"},
    {EVT_E_NOFILEACCESS, "EVT_E_NOFILEACCESS", "the event log file does not exist or cannot be read"},
    {EVT_E_BADLOGFORMAT, "EVT_E_BADLOGFORMAT", "unknown log format"},
    {EVT_E_LOGWRITE, "EVT_E_LOGWRITE", "the log could not be written"},
    {EVT_E_PROVIDERADD, "EVT_E_PROVIDERADD", "the provider could not be added"},
    {E_FAIL, "E_FAIL", "the library failed inside (an unexpected error)"},
};

std::string RootOwnerHint() {
    const std::string root = ConfiguredRoot();
    struct stat st;
    if (::stat(root.c_str(), &st) != 0) return {};
    if (st.st_uid == geteuid()) return {};
    return fmt::format("you (uid {}) are not the owner of the machine root {} (uid {}): run as its owner or as the "
                       "superuser",
                       geteuid(), root, st.st_uid);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

[[noreturn]] void Fail(int code, const std::string& object, const std::string& reason, const std::string& fix) {
    throw CommandError{object.empty() ? reason : object + ": " + reason, code, fix};
}

std::string SystemText(DWORD status) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, status, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    std::string words = n > 0 ? std::string(text, n) : "unknown status";
    return fmt::format("{} (error {})", words, status);
}

std::string ResultText(LONG result) {
    if (result == S_OK) return "success";
    for (const LibraryResult& r : kResults) {
        if (r.result == result) return fmt::format("{} ({}, 0x{:08X})", r.text, r.name, ULONG(result));
    }
    // A Win32 status in HRESULT form.
    if ((ULONG(result) & 0xFFFF0000u) == 0x80070000u) return SystemText(ULONG(result) & 0xFFFF);
    return fmt::format("unknown result 0x{:08X}", ULONG(result));
}

int ExitCodeFor(DWORD status) {
    switch (status) {
        case ERROR_ACCESS_DENIED: return exit_code::kDenied;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_WMI_INSTANCE_NOT_FOUND: return exit_code::kNotFound;
        default: return exit_code::kFailed;
    }
}

[[noreturn]] void FailStatus(const std::string& object, DWORD status, const std::string& fix) {
    std::string reason = SystemText(status);
    std::string hint = fix;
    if (status == ERROR_ACCESS_DENIED) {
        const std::string owner = RootOwnerHint();
        if (!owner.empty()) hint = hint.empty() ? owner : owner + "; " + hint;
    }
    if (status == ERROR_REGISTRY_CORRUPT) {
        const std::string root = ConfiguredRoot();
        if (Exists(root + "/registry.db.init") && !Exists(root + "/registry.db")) {
            reason = fmt::format("the registry database {}/registry.db is missing ({}/registry.db.init shows that "
                                 "one was made here)",
                                 root, root);
            hint = "restore registry.db (with registry.db-wal) from a backup, or remove registry.db.init to start an "
                   "empty registry";
        }
    }
    Fail(ExitCodeFor(status), object, reason, hint);
}

std::string ConfiguredRoot() {
    const char* env = getenv("EVTRACE_ROOT");
    return env != nullptr && *env != '\0' ? std::string(env) : w32rt::default_machine_root();
}

void NeedMachineRoot() {
    const std::string root = ConfiguredRoot();
    struct stat st;
    if (::stat(root.c_str(), &st) != 0) {
        Fail(exit_code::kNotFound, "machine root " + root, "does not exist",
             "set EVTRACE_ROOT to the root you meant, or make this one with `evtrace root prepare`");
    }
    if (!w32rt::is_machine_root(root)) {
        Fail(exit_code::kNotFound, "machine root " + root, "is not a machine root (it has no w32rt.root marker)",
             "set EVTRACE_ROOT to the root you meant, or make this folder one with `evtrace root prepare`");
    }
}

void MayMakeMachineRoot() {
    const std::string root = ConfiguredRoot();
    if (!w32rt::is_machine_root(root)) fprintf(stderr, "evtrace: making a new machine root at %s\n", root.c_str());
}

}  // namespace evtrace
