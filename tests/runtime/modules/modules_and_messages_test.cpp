// Modules: the built-in ones, bound at run time, present or absent; string
// and message tables of the test program (compiled from
// resources/host_tests.rc) and of a module loaded with LoadLibraryA.
// FormatMessageA: inserts, escapes, line widths, buffers and the system's
// message texts.
#include <stdarg.h>
#include <string.h>

#include <string>
#include <vector>

#include <windows.h>
#include <wtsapi32.h>

#include "host_test_util.h"
#include "module/test_module_ids.h"

using host_test::ScopedEnv;

namespace {

// "<error N>" when the string cannot be loaded.
std::string load_string(HINSTANCE module, UINT id) {
    char buf[256];
    int n = LoadStringA(module, id, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n)) : "<error " + std::to_string(GetLastError()) + ">";
}

// FormatMessageA into a buffer; "<error N>" when it fails.
std::string message(DWORD flags, const void* source, DWORD id, DWORD language, std::vector<DWORD_PTR> args = {}) {
    char buf[512];
    SetLastError(0);
    DWORD n = FormatMessageA(flags, source, id, language, buf, sizeof buf,
                             args.empty() ? nullptr : reinterpret_cast<va_list*>(args.data()));
    if (n == 0 && GetLastError() != ERROR_SUCCESS) return "<error " + std::to_string(GetLastError()) + ">";
    EXPECT_EQ(n, strlen(buf));
    return std::string(buf, n);
}

std::string format(const char* text, std::vector<DWORD_PTR> args = {}, DWORD flags = 0) {
    return message(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | flags, text, 0, 0, std::move(args));
}

// With one insert or none (and more `flags`).
std::string format_from(HMODULE module, DWORD id, DWORD language = 0, const char* insert = nullptr, DWORD flags = 0) {
    flags |= FORMAT_MESSAGE_FROM_HMODULE | (insert ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS);
    return message(flags, module, id, language, {reinterpret_cast<DWORD_PTR>(insert)});
}

std::string system_text(DWORD code, DWORD language = 0) {
    return message(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language);
}

DWORD_PTR str(const char* s) { return reinterpret_cast<DWORD_PTR>(s); }

void* proc(HMODULE module, const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); }

std::string format_va(const char* text, ...) {
    va_list args;
    va_start(args, text);
    char buf[256];
    SetLastError(0);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING, text, 0, 0, buf, sizeof buf, &args);
    va_end(args);
    if (n == 0 && GetLastError() != ERROR_SUCCESS) return "<error " + std::to_string(GetLastError()) + ">";
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
    EXPECT_EQ(load_string(GetModuleHandleA("kernel32.dll"), 100), "<error 1812>");
    static int not_a_module;
    EXPECT_EQ(load_string(reinterpret_cast<HINSTANCE>(&not_a_module), 100), "<error 1812>");
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
    EXPECT_EQ(load_string(module, 100), "<error 1814>");  // ERROR_RESOURCE_NAME_NOT_FOUND
    EXPECT_EQ(load_string(nullptr, IDS_MODULE_TITLE), "<error 1814>");
    EXPECT_EQ(format_from(module, MSG_MODULE_GREETING, 0, "tester"), "Hello from the module, tester.\r\n");

    auto answer = reinterpret_cast<int (*)()>(proc(module, "host_test_module_answer"));
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
    EXPECT_EQ(load_string(module, IDS_MODULE_TITLE), "<error 1812>");  // ERROR_RESOURCE_DATA_NOT_FOUND
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
    EXPECT_EQ(proc(wts, "WTSEnumerateProcessesA"), reinterpret_cast<void*>(&WTSEnumerateProcessesA));
    EXPECT_FAILS(GetProcAddress(wts, "LoadStringA"), nullptr, ERROR_PROC_NOT_FOUND);
    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    EXPECT_EQ(proc(kernel32, "WTSGetActiveConsoleSessionId"), reinterpret_cast<void*>(&WTSGetActiveConsoleSessionId));
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

    ScopedEnv now_absent("EVTRACE_ABSENT_MODULES", "shell32.dll, WTSAPI32");
    EXPECT_FAILS(LoadLibraryA("wtsapi32.dll"), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA("shell32.dll"), nullptr);
    EXPECT_TRUE(FreeLibrary(LoadLibraryA("ole32.dll")));  // others still load
}

TEST(FormatMessage, InsertsStringsAndNumbersInAnyOrderFromAnArrayOrAVaList) {
    EXPECT_EQ(format("%1 %2 %1", {str("Bill"), str("Bob")}), "Bill Bob Bill");
    EXPECT_EQ(format("%2!d! of %1!u! (%3!08X!) %4!-5s!|", {DWORD_PTR(7), DWORD_PTR(-3), 0xBEEF, str("ab")}),
                     "-3 of 7 (0000BEEF) ab   |");
    EXPECT_EQ(format("%1!c!%2!x!%3!I64u!", {'Z', 255, 0x100000000ull}), "Zff4294967296");
    // Windows' own example for width and precision taken from the array.
    EXPECT_EQ(format("%1!*.*s! %4 %5!*s!", {4, 2, str("Bill"), str("Bob"), 6, str("Bill")}), "  Bi Bob   Bill");
    EXPECT_EQ(format("[%1]", {0}), "[(null)]");
    const char16_t wide[] = u"gr\u00FC\u00DF";
    EXPECT_EQ(format("%1!ls!", {reinterpret_cast<DWORD_PTR>(wide)}), "gr\xC3\xBC\xC3\x9F");
    EXPECT_EQ(format_va("%2!s!/%1!d!/%3!u!/%4!I64X!", -5, "x", 7u, 0x123456789ABull), "x/-5/7/123456789AB");
    // Width from the list would shift the numbering of what follows.
    EXPECT_EQ(format_va("%1!*s!", 5, "x"), "<error 87>");
}

TEST(FormatMessage, ExpandsEscapesAndControlsLineWidth) {
    EXPECT_EQ(format("100%% done%.%!%t%r%n"), "100% done.!\t\r\r\n");
    EXPECT_EQ(format("keep%0 this is cut"), "keep");
    EXPECT_EQ(format("%q%"), "q");
    // Inserts without arguments are refused, unless they are to be ignored.
    EXPECT_EQ(format("%1"), "<error 87>");
    EXPECT_EQ(format("%1!d! and %2", {}, FORMAT_MESSAGE_IGNORE_INSERTS), "%1!d! and %2");
    // Floating point is not supported, nor is an unterminated format.
    EXPECT_EQ(format("%1!f!", {1}), "<error 87>");
    EXPECT_EQ(format("%1!d", {1}), "<error 87>");
    const char* text = "The quick brown fox\r\njumps over the lazy dog.%nHard break kept.\r\n";
    // No limit: the text's own line breaks stay.
    EXPECT_EQ(format(text), "The quick brown fox\r\njumps over the lazy dog.\r\nHard break kept.\r\n");
    // The whole mask: regular line breaks become spaces, hard ones stay.
    EXPECT_EQ(format(text, {}, FORMAT_MESSAGE_MAX_WIDTH_MASK),
              "The quick brown fox jumps over the lazy dog.\r\nHard break kept. ");
    // A width: lines are broken at blanks so that none is longer.
    EXPECT_EQ(format(text, {}, 16), "The quick brown\r\nfox jumps over\r\nthe lazy dog.\r\nHard break kept.\r\n");
    EXPECT_EQ(format("abcdefghij", {}, 4), "abcd\r\nefgh\r\nij");
}

TEST(FormatMessage, ChecksAndAllocatesBuffers) {
    char small[6];
    EXPECT_FAILS(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "123456", 0, 0, small, sizeof small, nullptr), 0u,
                 ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "12345", 0, 0, small, sizeof small, nullptr), 5u);
    EXPECT_STREQ(small, "12345");

    LPSTR allocated = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::string(allocated, n), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(LocalFree(allocated), nullptr);

    // Sources that exclude each other, no source, no buffer.
    EXPECT_EQ(message(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_SYSTEM, "x", 0, 0), "<error 87>");
    EXPECT_EQ(message(FORMAT_MESSAGE_IGNORE_INSERTS, "x", 0, 0), "<error 87>");
    EXPECT_FAILS(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "x", 0, 0, nullptr, 6, nullptr), 0u,
                 ERROR_INVALID_PARAMETER);
}

TEST(FormatMessage, KnowsTheSystemTexts) {
    EXPECT_EQ(system_text(ERROR_SUCCESS), "The operation completed successfully.\r\n");
    EXPECT_EQ(system_text(DWORD(E_FAIL)), "Unspecified error\r\n");
    EXPECT_EQ(system_text(123456), "<error 317>");
    // The system's texts are English only.
    EXPECT_EQ(system_text(ERROR_ACCESS_DENIED, MAKELANGID(LANG_GERMAN, SUBLANG_DEFAULT)), "<error 1815>");
    EXPECT_EQ(system_text(ERROR_ACCESS_DENIED, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), "Access is denied.\r\n");
    // kernel32.dll's message table is the system's.
    EXPECT_EQ(format_from(GetModuleHandleA("kernel32.dll"), ERROR_INVALID_HANDLE), "The handle is invalid.\r\n");
}
