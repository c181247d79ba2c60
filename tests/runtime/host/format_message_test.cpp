// FormatMessageA: inserts, escapes, line widths, buffers and the system's
// message texts.
#include <stdarg.h>
#include <string.h>

#include <string>
#include <vector>

#include <windows.h>

#include "status_expect.h"
#include "test_support.h"

namespace {

// FROM_STRING with an argument array; "<error N>" when it fails.
std::string format(const char* text, std::vector<DWORD_PTR> args = {}, DWORD flags = 0) {
    char buf[512];
    SetLastError(0);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | flags, text, 0, 0, buf,
                             sizeof buf, args.empty() ? nullptr : reinterpret_cast<va_list*>(args.data()));
    if (n == 0 && GetLastError() != ERROR_SUCCESS) return "<error " + std::to_string(GetLastError()) + ">";
    EXPECT_EQ(n, strlen(buf));
    return std::string(buf, n);
}

DWORD_PTR str(const char* s) { return reinterpret_cast<DWORD_PTR>(s); }

std::string format_va(DWORD flags, const char* text, ...) {
    va_list args;
    va_start(args, text);
    char buf[256];
    SetLastError(0);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | flags, text, 0, 0, buf, sizeof buf, &args);
    va_end(args);
    if (n == 0 && GetLastError() != ERROR_SUCCESS) return "<error " + std::to_string(GetLastError()) + ">";
    return std::string(buf, n);
}

std::string system_text(DWORD code, DWORD language = 0) {
    char buf[512];
    SetLastError(0);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language, buf,
                             sizeof buf, nullptr);
    if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
    return std::string(buf, n);
}

}  // namespace

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
    EXPECT_EQ(format_va(0, "%2!s!/%1!d!/%3!u!/%4!I64X!", -5, "x", 7u, 0x123456789ABull), "x/-5/7/123456789AB");
    // Width from the list would shift the numbering of what follows.
    EXPECT_EQ(format_va(0, "%1!*s!", 5, "x"), "<error 87>");
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
    // A second free is refused instead of corrupting the heap.
    EXPECT_FAILS(LocalFree(allocated), allocated, ERROR_INVALID_HANDLE);

    // Sources that exclude each other, no source, no buffer.
    EXPECT_FAILS(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_SYSTEM, "x", 0, 0, small, 6, nullptr),
                 0u, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(FormatMessageA(FORMAT_MESSAGE_IGNORE_INSERTS, "x", 0, 0, small, 6, nullptr), 0u,
                 ERROR_INVALID_PARAMETER);
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
    char buf[128];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                             GetModuleHandleA("kernel32.dll"), ERROR_INVALID_HANDLE, 0, buf, sizeof buf, nullptr);
    EXPECT_EQ(std::string(buf, n), "The handle is invalid.\r\n");
}
