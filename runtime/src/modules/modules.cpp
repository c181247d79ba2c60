// LoadLibraryA, GetProcAddress and the other module functions.
//
// Built-in modules ("kernel32.dll", "wtsapi32.dll", ...) are the runtime's
// own: their HMODULE is the address of their descriptor, their exports an
// explicit list, their load count kept here. kernel32.dll is always loaded.
// EVTRACE_ABSENT_MODULES names built-in modules that must not be found, so
// code that binds optional functions at run time can be tested without them.
//
// Every other name is a shared object, loaded with dlopen; its HMODULE is
// its load address. Modules the process did not load through LoadLibraryA
// (the main program, linked libraries) are pinned, as statically bound DLLs
// are: FreeLibrary on them succeeds and changes nothing.
#include "modules/modules.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include <objbase.h>
#include <secext.h>
#include <shlobj.h>
#include <windows.h>
#include <wtsapi32.h>

#include "core/env_list.h"
#include "core/error.h"
#include "core/path.h"
#include "core/strings.h"
#include "core/sys.h"

namespace w32rt {

namespace {

struct Export {
    const char* name;
    FARPROC proc;
};

// Through void (*)(void), the type that converts to every function type
// without a warning.
template <class F>
Export fn(const char* name, F* f) {
    return Export{name, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f))};
}

// The functions each built-in module answers GetProcAddress for.
const Export kKernel32[] = {
    fn("CloseHandle", &CloseHandle),
    fn("DisableThreadLibraryCalls", &DisableThreadLibraryCalls),
    fn("DuplicateHandle", &DuplicateHandle),
    fn("ExpandEnvironmentStringsA", &ExpandEnvironmentStringsA),
    fn("FormatMessageA", &FormatMessageA),
    fn("FreeLibrary", &FreeLibrary),
    fn("GetACP", &GetACP),
    fn("GetComputerNameA", &GetComputerNameA),
    fn("GetCurrentProcess", &GetCurrentProcess),
    fn("GetCurrentProcessId", &GetCurrentProcessId),
    fn("GetCurrentThread", &GetCurrentThread),
    fn("GetCurrentThreadId", &GetCurrentThreadId),
    fn("GetEnvironmentVariableA", &GetEnvironmentVariableA),
    fn("GetLastError", &GetLastError),
    fn("GetLocaleInfoA", &GetLocaleInfoA),
    fn("GetModuleFileNameA", &GetModuleFileNameA),
    fn("GetModuleHandleA", &GetModuleHandleA),
    fn("GetOEMCP", &GetOEMCP),
    fn("GetProcAddress", &GetProcAddress),
    fn("GetSystemDefaultLCID", &GetSystemDefaultLCID),
    fn("GetSystemDefaultLangID", &GetSystemDefaultLangID),
    fn("GetSystemDefaultUILanguage", &GetSystemDefaultUILanguage),
    fn("GetSystemDirectoryA", &GetSystemDirectoryA),
    fn("GetThreadPreferredUILanguages", &GetThreadPreferredUILanguages),
    fn("GetUserDefaultLCID", &GetUserDefaultLCID),
    fn("GetUserDefaultLangID", &GetUserDefaultLangID),
    fn("GetUserDefaultUILanguage", &GetUserDefaultUILanguage),
    fn("GetVersionExA", &GetVersionExA),
    fn("GetWindowsDirectoryA", &GetWindowsDirectoryA),
    fn("IsDebuggerPresent", &IsDebuggerPresent),
    fn("LoadLibraryA", &LoadLibraryA),
    fn("LocalAlloc", &LocalAlloc),
    fn("LocalFree", &LocalFree),
    fn("OutputDebugStringA", &OutputDebugStringA),
    fn("SetLastError", &SetLastError),
    fn("WTSGetActiveConsoleSessionId", &WTSGetActiveConsoleSessionId),
    fn("lstrcatA", &lstrcatA),
    fn("lstrcmpA", &lstrcmpA),
    fn("lstrcmpiA", &lstrcmpiA),
    fn("lstrcpyA", &lstrcpyA),
    fn("lstrcpynA", &lstrcpynA),
    fn("lstrlenA", &lstrlenA),
};

const Export kAdvapi32[] = {
    fn("GetUserNameA", &GetUserNameA),
    fn("ImpersonateLoggedOnUser", &ImpersonateLoggedOnUser),
    fn("OpenProcessToken", &OpenProcessToken),
    fn("OpenThreadToken", &OpenThreadToken),
    fn("RevertToSelf", &RevertToSelf),
};

const Export kUser32[] = {
    fn("LoadStringA", &LoadStringA),
};

const Export kWtsapi32[] = {
    fn("WTSEnumerateProcessesA", &WTSEnumerateProcessesA),
    fn("WTSFreeMemory", &WTSFreeMemory),
    fn("WTSQueryUserToken", &WTSQueryUserToken),
};

const Export kSecur32[] = {
    fn("GetUserNameExA", &GetUserNameExA),
};

const Export kShell32[] = {
    fn("SHGetFolderPathA", &SHGetFolderPathA),
};

const Export kOle32[] = {
    fn("CoInitialize", &CoInitialize),
    fn("CoInitializeEx", &CoInitializeEx),
    fn("CoUninitialize", &CoUninitialize),
};

struct BuiltinModule {
    const char* name;
    bool pinned;
    const Export* exports;
    size_t count;
};

template <size_t N>
constexpr BuiltinModule builtin(const char* name, bool pinned, const Export (&exports)[N]) {
    return BuiltinModule{name, pinned, exports, N};
}

const BuiltinModule kBuiltins[] = {
    builtin("kernel32.dll", true, kKernel32), builtin("advapi32.dll", false, kAdvapi32),
    builtin("user32.dll", false, kUser32),    builtin("wtsapi32.dll", false, kWtsapi32),
    builtin("secur32.dll", false, kSecur32),  builtin("shell32.dll", false, kShell32),
    builtin("ole32.dll", false, kOle32),
};
constexpr size_t kBuiltinCount = sizeof kBuiltins / sizeof kBuiltins[0];

// Load counts of the built-in modules and the shared objects loaded through
// LoadLibraryA, under one mutex.
struct Loader {
    std::mutex mutex;
    unsigned builtin_loads[kBuiltinCount] = {};
    struct Loaded {
        void* dl;
        unsigned count;
    };
    std::map<HMODULE, Loaded> loaded;
    void* main_dl = nullptr;
};

Loader& loader() {
    static Loader* instance = new Loader;  // never destroyed: used by other statics' destructors
    return *instance;
}

HMODULE builtin_handle(size_t index) {
    return reinterpret_cast<HMODULE>(const_cast<BuiltinModule*>(&kBuiltins[index]));
}

// Index of a built-in module's handle; -1 when h is not one.
int builtin_index(HMODULE h) {
    for (size_t i = 0; i < kBuiltinCount; ++i)
        if (h == builtin_handle(i)) return int(i);
    return -1;
}

bool builtin_loaded(size_t index) {
    if (kBuiltins[index].pinned) return true;
    Loader& l = loader();
    std::lock_guard<std::mutex> lock(l.mutex);
    return l.builtin_loads[index] > 0;
}

std::string_view base_name(std::string_view path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The canonical form of a module name as Windows matches it: lower case,
// ".dll" added when the name has no extension, a trailing dot removed.
std::string canonical_module_name(std::string_view name) {
    std::string out = ascii_lowercase(name);
    if (!out.empty() && out.back() == '.') out.pop_back();
    else if (out.find('.') == std::string::npos) out += ".dll";
    return out;
}

// Index of the built-in module a name asks for (no folder, or the system
// folder); -1 otherwise.
int builtin_by_name(std::string_view name) {
    std::string_view base = base_name(name);
    std::string_view folder = name.substr(0, name.size() - base.size());
    if (!folder.empty()) {
        std::string f = ascii_lowercase(folder);
        for (char& c : f)
            if (c == '/') c = '\\';
        if (f != "c:\\windows\\system32\\") return -1;
    }
    std::string wanted = canonical_module_name(base);
    for (size_t i = 0; i < kBuiltinCount; ++i)
        if (wanted == kBuiltins[i].name) return int(i);
    return -1;
}

bool builtin_absent(size_t index) {
    for (const std::string& item : env_list("EVTRACE_ABSENT_MODULES"))
        if (!item.empty() && canonical_module_name(item) == kBuiltins[index].name) return true;
    return false;
}

HMODULE base_of_dl(void* dl) {
    struct link_map* map = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
    Dl_info info;
    if (map->l_ld && dladdr(map->l_ld, &info) && info.dli_fbase) return static_cast<HMODULE>(info.dli_fbase);
    return reinterpret_cast<HMODULE>(map->l_addr);
}

DWORD error_of_dlopen_failure(const std::string& path) {
    const char* message = dlerror();
    std::string text = message ? message : "";
    if (path.find('/') != std::string::npos) {
        struct stat st;
        if (sys::stat(path.c_str(), &st) != 0) return ERROR_MOD_NOT_FOUND;
    }
    if (text.find("undefined symbol") != std::string::npos) return ERROR_PROC_NOT_FOUND;
    if (text.find("cannot open shared object file") != std::string::npos) return ERROR_MOD_NOT_FOUND;
    return ERROR_BAD_EXE_FORMAT;
}

// A dlopen handle for a module image, owned by the caller (dlclose), or the
// process's own handle for the main program (not to be closed).
void* dl_handle_of_image(HMODULE h, bool* must_close) {
    *must_close = false;
    Loader& l = loader();
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        auto it = l.loaded.find(h);
        if (it != l.loaded.end()) return it->second.dl;
        if (h == main_module()) {
            if (!l.main_dl) l.main_dl = dlopen(nullptr, RTLD_LAZY);
            return l.main_dl;
        }
    }
    Dl_info info;
    if (!dladdr(h, &info) || !info.dli_fname) return nullptr;
    void* dl = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    *must_close = dl != nullptr;
    return dl;
}

struct FindByName {
    std::string_view name;
    HMODULE found = nullptr;
};

int find_object_by_name(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<FindByName*>(data);
    if (!info->dlpi_name || !*info->dlpi_name) return 0;
    std::string_view object(info->dlpi_name);
    if (object != search->name && base_name(object) != search->name) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type != PT_LOAD) continue;
        Dl_info dl;
        const void* first = reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
        if (dladdr(first, &dl) && dl.dli_fbase) search->found = static_cast<HMODULE>(dl.dli_fbase);
        return 1;
    }
    return 0;
}

}  // namespace

HMODULE main_module() {
    static const HMODULE main = [] {
        Dl_info info;
        const void* entry = reinterpret_cast<const void*>(getauxval(AT_ENTRY));
        if (entry && dladdr(entry, &info) && info.dli_fbase) return static_cast<HMODULE>(info.dli_fbase);
        return static_cast<HMODULE>(nullptr);
    }();
    return main;
}

HMODULE module_containing(const void* address) {
    Dl_info info;
    if (!address || !dladdr(address, &info) || !info.dli_fbase) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

bool is_image_module(HMODULE h) { return h && module_containing(h) == h; }

bool is_builtin_module(HMODULE h) { return builtin_index(h) >= 0; }

}  // namespace w32rt

using w32rt::fail;

extern "C" {

W32RT_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) return fail(ERROR_INVALID_PARAMETER, HMODULE(nullptr));
    int index = w32rt::builtin_by_name(lpLibFileName);
    if (index >= 0) {
        if (w32rt::builtin_absent(size_t(index))) return fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
        w32rt::Loader& l = w32rt::loader();
        std::lock_guard<std::mutex> lock(l.mutex);
        ++l.builtin_loads[index];
        return w32rt::builtin_handle(size_t(index));
    }
    std::string path = w32rt::is_windows_path(lpLibFileName) ? w32rt::map_path(lpLibFileName) : lpLibFileName;
    if (path.empty()) return fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
    void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) return fail(w32rt::error_of_dlopen_failure(path), HMODULE(nullptr));
    HMODULE base = w32rt::base_of_dl(dl);
    if (!base) {
        dlclose(dl);
        return fail(ERROR_BAD_EXE_FORMAT, HMODULE(nullptr));
    }
    w32rt::Loader& l = w32rt::loader();
    std::lock_guard<std::mutex> lock(l.mutex);
    auto& entry = l.loaded[base];
    if (entry.count++ == 0) {
        entry.dl = dl;
    } else {
        dlclose(dl);  // the first handle holds the object; counts are kept here
    }
    return base;
}

W32RT_API BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    int index = w32rt::builtin_index(hLibModule);
    w32rt::Loader& l = w32rt::loader();
    if (index >= 0) {
        if (w32rt::kBuiltins[index].pinned) return TRUE;
        std::lock_guard<std::mutex> lock(l.mutex);
        if (l.builtin_loads[index] == 0) return fail(ERROR_MOD_NOT_FOUND, FALSE);
        --l.builtin_loads[index];
        return TRUE;
    }
    void* to_close = nullptr;
    {
        std::lock_guard<std::mutex> lock(l.mutex);
        auto it = l.loaded.find(hLibModule);
        if (it != l.loaded.end()) {
            if (--it->second.count == 0) {
                to_close = it->second.dl;
                l.loaded.erase(it);
            }
        } else if (!w32rt::is_image_module(hLibModule)) {
            return fail(ERROR_MOD_NOT_FOUND, FALSE);
        }
    }
    // Outside the lock: the module's destructors may call back in here.
    if (to_close) dlclose(to_close);
    return TRUE;
}

W32RT_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!hModule) hModule = w32rt::main_module();
    // A value below 64 K is an ordinal; nothing here exports by ordinal.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) return fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
    int index = w32rt::builtin_index(hModule);
    if (index >= 0) {
        if (!w32rt::builtin_loaded(size_t(index))) return fail(ERROR_MOD_NOT_FOUND, FARPROC(nullptr));
        const w32rt::BuiltinModule& m = w32rt::kBuiltins[index];
        for (size_t i = 0; i < m.count; ++i)
            if (strcmp(m.exports[i].name, lpProcName) == 0) return m.exports[i].proc;
        return fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
    }
    if (!w32rt::is_image_module(hModule)) return fail(ERROR_MOD_NOT_FOUND, FARPROC(nullptr));
    bool must_close = false;
    void* dl = w32rt::dl_handle_of_image(hModule, &must_close);
    if (!dl) return fail(ERROR_MOD_NOT_FOUND, FARPROC(nullptr));
    void* symbol = dlsym(dl, lpProcName);
    if (must_close) dlclose(dl);
    // dlsym also searches the module's dependencies; GetProcAddress answers
    // for the module's own exports only.
    if (!symbol || w32rt::module_containing(symbol) != hModule) return fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
    return reinterpret_cast<FARPROC>(symbol);
}

W32RT_API HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName) return w32rt::main_module();
    int index = w32rt::builtin_by_name(lpModuleName);
    if (index >= 0) {
        if (w32rt::builtin_absent(size_t(index)) || !w32rt::builtin_loaded(size_t(index)))
            return fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
        return w32rt::builtin_handle(size_t(index));
    }
    std::string path = w32rt::is_windows_path(lpModuleName) ? w32rt::map_path(lpModuleName) : lpModuleName;
    w32rt::FindByName search{path};
    dl_iterate_phdr(&w32rt::find_object_by_name, &search);
    if (!search.found) return fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
    return search.found;
}

W32RT_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (!lpFilename && nSize) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    std::string name;
    if (!hModule || hModule == w32rt::main_module()) {
        char buf[4096];
        ssize_t n = w32rt::sys::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n <= 0) return w32rt::fail_errno(errno, DWORD(0));
        name.assign(buf, size_t(n));
    } else if (int index = w32rt::builtin_index(hModule); index >= 0) {
        if (!w32rt::builtin_loaded(size_t(index))) return fail(ERROR_MOD_NOT_FOUND, DWORD(0));
        name = std::string("C:\\Windows\\System32\\") + w32rt::kBuiltins[index].name;
    } else {
        Dl_info info;
        if (!w32rt::is_image_module(hModule) || !dladdr(hModule, &info) || !info.dli_fname)
            return fail(ERROR_MOD_NOT_FOUND, DWORD(0));
        name = info.dli_fname;
    }
    // As from Windows Vista: a short buffer gets the name cut and
    // terminated, the result is nSize and the error says so.
    if (name.size() + 1 > nSize) {
        w32rt::copy_cstr(lpFilename, nSize, name);
        return fail(ERROR_INSUFFICIENT_BUFFER, nSize);
    }
    w32rt::copy_cstr(lpFilename, nSize, name);
    return DWORD(name.size());
}

W32RT_API BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    // DllMain is only ever called for process attach and detach, so there
    // is nothing to switch off; the handle must still name a module.
    if (w32rt::is_builtin_module(hLibModule) || w32rt::is_image_module(hLibModule)) return TRUE;
    return fail(ERROR_INVALID_HANDLE, FALSE);
}

}  // extern "C"
