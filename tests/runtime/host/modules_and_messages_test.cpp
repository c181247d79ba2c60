// Modules: the built-in ones, bound at run time, present or absent; string
// and message tables of the test program (compiled from
// resources/host_tests.rc) and of a module loaded with LoadLibraryA.
#include <string.h>

#include <string>

#include <windows.h>
#include <wtsapi32.h>

#include "host_test_util.h"
#include "module/test_module_ids.h"
#include "test_support.h"

using host_test::ScopedEnv;

namespace {

std::string load_string(HINSTANCE module, UINT id) {
    char buf[256];
    int n = LoadStringA(module, id, buf, sizeof buf);
    return std::string(buf, size_t(n > 0 ? n : 0));
}

// FROM_HMODULE (and `flags`) with one insert or none; "<error N>" when it fails.
std::string format_from(HMODULE module, DWORD id, DWORD language = 0, const char* insert = nullptr, DWORD flags = 0) {
    char buf[256];
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(insert)};
    flags |= FORMAT_MESSAGE_FROM_HMODULE | (insert ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS);
    DWORD n = FormatMessageA(flags, module, id, language, buf, sizeof buf, insert ? reinterpret_cast<va_list*>(args) : nullptr);
    if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
    return std::string(buf, n);
}

}  // namespace

TEST(LoadString, ReadsTheProgramsOwnTableCutToTheBuffer) {
    EXPECT_EQ(load_string(nullptr, 100), "TraceAPI");
    EXPECT_EQ(load_string(GetModuleHandleA(nullptr), 100), "TraceAPI");
    EXPECT_EQ(load_string(nullptr, 101), "Tab\tQuote\"Doubled\"Backslash\\CRLF\r\nOctalAHexB");

    char buf[5];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(LoadStringA(nullptr, 100, buf, 5), 4);
    EXPECT_STREQ(buf, "Trac");
    EXPECT_EQ(LoadStringA(nullptr, 100, buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
    // A multi-byte character is never cut in two ("ü" is two bytes).
    EXPECT_EQ(LoadStringA(nullptr, 104, buf, 5), 4);
    EXPECT_STREQ(buf, "Gr\xC3\xBC");
    EXPECT_EQ(LoadStringA(nullptr, 104, buf, 4), 2);
    EXPECT_STREQ(buf, "Gr");
}

TEST(LoadString, MissingStringsAndBadBuffersFailWithTheirCodes) {
    char buf[16] = "unchanged";
    EXPECT_FAILS(LoadStringA(nullptr, 9999, buf, sizeof buf), 0, ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_STREQ(buf, "");
    // The read-only-pointer form belongs to LoadStringW.
    EXPECT_FAILS(LoadStringA(nullptr, 100, buf, 0), 0, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(LoadStringA(nullptr, 100, nullptr, 10), 0, ERROR_INVALID_PARAMETER);
    // kernel32 has no string table; an arbitrary address is no module.
    EXPECT_FAILS(LoadStringA(GetModuleHandleA("kernel32.dll"), 100, buf, sizeof buf), 0,
                 ERROR_RESOURCE_DATA_NOT_FOUND);
    static int not_a_module;
    EXPECT_FAILS(LoadStringA(reinterpret_cast<HINSTANCE>(&not_a_module), 100, buf, sizeof buf), 0,
                 ERROR_RESOURCE_DATA_NOT_FOUND);
}

TEST(LoadString, FollowsTheUserInterfaceLanguage) {
    ScopedEnv system("EVTRACE_SYSTEM_LANGUAGE", "0x0411");
    const struct {
        const char *ui, *preferred, *text;
    } cases[] = {
        {"0x0407", nullptr, "Hallo"},
        {"0x0409", nullptr, "Hello"},
        {"0x0C07", nullptr, "Hallo"},   // Austrian German finds the German text
        {"0x040C", nullptr, "Hello"},   // French has none and falls back to US English
        {"0x0409", "0x0407", "Hallo"},  // the thread's languages come before the user's
    };
    for (const auto& c : cases) {
        ScopedEnv ui("EVTRACE_UI_LANGUAGE", c.ui);
        ScopedEnv preferred("EVTRACE_PREFERRED_UI_LANGUAGES", c.preferred);
        EXPECT_EQ(load_string(nullptr, 102), c.text) << c.ui << " " << (c.preferred ? c.preferred : "");
    }
}

TEST(FormatMessageFromModule, ReadsTheProgramsMessageTableInItsLanguages) {
    ScopedEnv ui("EVTRACE_UI_LANGUAGE", "0x0407");
    ScopedEnv system("EVTRACE_SYSTEM_LANGUAGE", "0x0409");
    ScopedEnv preferred("EVTRACE_PREFERRED_UI_LANGUAGES", nullptr);
    EXPECT_EQ(format_from(nullptr, 1), "Application Event\r\n");  // language 0 prefers neutral texts
    EXPECT_EQ(format_from(nullptr, 2, 0, "inserted"), "inserted\r\n");
    EXPECT_EQ(format_from(nullptr, 2), "%1\r\n");  // inserts ignored
    EXPECT_EQ(format_from(nullptr, 77), "<error 317>");
    // Falls back to the system's table when asked for both.
    EXPECT_EQ(format_from(nullptr, ERROR_INVALID_HANDLE, 0, nullptr, FORMAT_MESSAGE_FROM_SYSTEM),
              "The handle is invalid.\r\n");

    EXPECT_EQ(format_from(nullptr, 5), "Nachricht\r\n");
    EXPECT_EQ(format_from(nullptr, 5, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), "Message\r\n");
    EXPECT_EQ(format_from(nullptr, 5, MAKELANGID(LANG_GERMAN, SUBLANG_DEFAULT)), "Nachricht\r\n");
    // A given language is matched exactly.
    EXPECT_EQ(format_from(nullptr, 5, MAKELANGID(LANG_FRENCH, SUBLANG_DEFAULT)), "<error 1815>");
}

// The test module, loaded twice: it has its own tables and exports, and
// keeps them until the last FreeLibrary.
TEST(LoadedModule, HasItsOwnTablesAndExportsUntilItsLastFree) {
    const std::string name = std::string(HOST_TEST_MODULE).substr(std::string(HOST_TEST_MODULE).rfind('/') + 1);
    HMODULE module = LoadLibraryA(HOST_TEST_MODULE);
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(LoadLibraryA(HOST_TEST_MODULE), module);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), module);

    EXPECT_EQ(load_string(module, IDS_MODULE_TITLE), "Module title");
    EXPECT_EQ(load_string(module, IDS_MODULE_ONLY), "Only in the module");
    // Each module answers for its own table only.
    EXPECT_EQ(load_string(module, 100), "");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(load_string(nullptr, IDS_MODULE_TITLE), "");
    EXPECT_EQ(format_from(module, MSG_MODULE_GREETING, 0, "tester"), "Hello from the module, tester.\r\n");

    auto answer = reinterpret_cast<int (*)()>(reinterpret_cast<void*>(GetProcAddress(module, "host_test_module_answer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    // The module can see the program's symbols, but they are not its exports.
    EXPECT_FAILS(GetProcAddress(module, "w32rt_register_resources"), nullptr, ERROR_PROC_NOT_FOUND);
    EXPECT_FAILS(GetProcAddress(module, reinterpret_cast<LPCSTR>(uintptr_t(1))), nullptr, ERROR_PROC_NOT_FOUND);
    char path[4096];
    DWORD n = GetModuleFileNameA(module, path, sizeof path);
    EXPECT_EQ(std::string(path, n), HOST_TEST_MODULE);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(load_string(module, IDS_MODULE_TITLE), "Module title");
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FAILS(GetModuleHandleA(name.c_str()), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(load_string(module, IDS_MODULE_TITLE), "");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    EXPECT_FAILS(FreeLibrary(module), FALSE, ERROR_MOD_NOT_FOUND);
}

TEST(LoadedModule, MissingAndBrokenFilesFailWithTheirCodes) {
    EXPECT_FAILS(LoadLibraryA("/nonexistent/libnothing.so"), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_FAILS(LoadLibraryA("libnothing-at-all.so"), nullptr, ERROR_MOD_NOT_FOUND);
    // A file that is not a shared object (the module's script).
    EXPECT_FAILS(LoadLibraryA(HOST_TEST_SOURCE_DIR "/module/test_module.rc"), nullptr, ERROR_BAD_EXE_FORMAT);
    EXPECT_FAILS(LoadLibraryA(""), nullptr, ERROR_INVALID_PARAMETER);
}

TEST(BuiltinModules, LoadByAnyOfTheirNamesUntilFreedAsOftenOrAbsent) {
    ScopedEnv absent("EVTRACE_ABSENT_MODULES", nullptr);
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);  // not loaded yet
    HMODULE wts = LoadLibraryA("WtsApi32.dll");
    ASSERT_NE(wts, nullptr);
    EXPECT_EQ(LoadLibraryA("wtsapi32"), wts);  // ".dll" is implied
    EXPECT_EQ(LoadLibraryA("C:\\Windows\\System32\\wtsapi32.dll"), wts);
    char path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(wts, path, sizeof path), 32u);
    EXPECT_STREQ(path, "C:\\Windows\\System32\\wtsapi32.dll");
    // Each module exports its own functions, by their exact names.
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(wts, "WTSEnumerateProcessesA")),
              reinterpret_cast<void*>(&WTSEnumerateProcessesA));
    EXPECT_FAILS(GetProcAddress(wts, "LoadStringA"), nullptr, ERROR_PROC_NOT_FOUND);
    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(kernel32, "WTSGetActiveConsoleSessionId")),
              reinterpret_cast<void*>(&WTSGetActiveConsoleSessionId));
    EXPECT_FAILS(GetProcAddress(kernel32, "wtsgetactiveconsolesessionid"), nullptr, ERROR_PROC_NOT_FOUND);
    EXPECT_FAILS(GetProcAddress(kernel32, "WTSQueryUserToken"), nullptr, ERROR_PROC_NOT_FOUND);

    // Three loads, three frees; then it is gone. kernel32 stays, however
    // often it is freed.
    EXPECT_TRUE(FreeLibrary(wts) && FreeLibrary(wts));
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), wts);
    EXPECT_TRUE(FreeLibrary(wts));
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);
    EXPECT_FAILS(GetProcAddress(wts, "WTSFreeMemory"), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(FreeLibrary(wts));
    EXPECT_TRUE(FreeLibrary(kernel32));
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), kernel32);
    EXPECT_FAILS(LoadLibraryA("nonexistent.dll"), nullptr, ERROR_MOD_NOT_FOUND);
    static int not_a_module;
    EXPECT_FAILS(DisableThreadLibraryCalls(reinterpret_cast<HMODULE>(&not_a_module)), FALSE, ERROR_INVALID_HANDLE);

    ScopedEnv now_absent("EVTRACE_ABSENT_MODULES", "shell32.dll, WTSAPI32");
    EXPECT_FAILS(LoadLibraryA("wtsapi32.dll"), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA("shell32.dll"), nullptr);
    EXPECT_TRUE(FreeLibrary(LoadLibraryA("ole32.dll")));  // others still load
}
