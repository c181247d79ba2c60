// The Windows version, its folders, shell folders, the environment, and the
// small kernel32 and ole32 helpers.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <objbase.h>
#include <shlobj.h>
#include <windows.h>
#include <w32rt/machine.h>

#include "host_test_util.h"
#include "test_support.h"

using host_test::ScopedEnv;
using testing_support::MachineTest;

namespace {

std::string folder(int csidl, HANDLE token = nullptr) {
    char path[MAX_PATH] = "unchanged";
    HRESULT hr = SHGetFolderPathA(nullptr, csidl, token, SHGFP_TYPE_CURRENT, path);
    if (hr != S_OK) {
        EXPECT_STREQ(path, "") << "the path is emptied on failure";
        char buf[16];
        snprintf(buf, sizeof buf, "<0x%08X>", unsigned(hr));
        return buf;
    }
    return path;
}

std::string expand(const char* text) {
    char buf[512];
    DWORD n = ExpandEnvironmentStringsA(text, buf, sizeof buf);
    EXPECT_EQ(n, strlen(buf) + 1);
    return buf;
}

std::string variable(const char* name) {
    char buf[512];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 && GetLastError() != ERROR_SUCCESS) return "<error " + std::to_string(GetLastError()) + ">";
    return std::string(buf, n);
}

}  // namespace

TEST(Version, IsWindows7ServicePack1InEitherStructure) {
    OSVERSIONINFOEXA ex = {};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    EXPECT_EQ(ex.wProductType, 1);  // a workstation
    OSVERSIONINFOA plain = {};
    plain.dwOSVersionInfoSize = sizeof plain;
    ASSERT_TRUE(GetVersionExA(&plain));
    EXPECT_EQ(std::to_string(plain.dwMajorVersion) + "." + std::to_string(plain.dwMinorVersion) + "." +
                  std::to_string(plain.dwBuildNumber) + " " + plain.szCSDVersion,
              "6.1.7601 Service Pack 1");
    ex.dwOSVersionInfoSize = sizeof ex - 1;
    EXPECT_FAILS(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)), FALSE, ERROR_INSUFFICIENT_BUFFER);
}

class HostFolderTest : public MachineTest {};

TEST_F(HostFolderTest, ShellFoldersOfTheCallingUser) {
    const std::string expected_profile = host_test::user_name() == "SYSTEM"
                                             ? std::string("C:\\Windows\\System32\\config\\systemprofile")
                                             : "C:\\Users\\" + host_test::posix_name_of(geteuid());

    // Missing folders are an error unless they are to be made or not checked.
    EXPECT_EQ(folder(CSIDL_APPDATA), "<0x80004005>");
    EXPECT_EQ(folder(CSIDL_APPDATA | 0x4000), expected_profile + "\\AppData\\Roaming");  // CSIDL_FLAG_DONT_VERIFY
    EXPECT_EQ(folder(CSIDL_APPDATA | CSIDL_FLAG_CREATE), expected_profile + "\\AppData\\Roaming");
    EXPECT_EQ(folder(CSIDL_APPDATA), expected_profile + "\\AppData\\Roaming");
    EXPECT_EQ(folder(CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE), expected_profile + "\\AppData\\Local");
    EXPECT_EQ(folder(CSIDL_PROFILE), expected_profile);
    EXPECT_EQ(folder(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE), "C:\\ProgramData");
    EXPECT_EQ(folder(CSIDL_WINDOWS | CSIDL_FLAG_CREATE), "C:\\Windows");
    EXPECT_EQ(folder(CSIDL_SYSTEM), "C:\\Windows\\System32");
    char buf[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryA(buf, 19), 20u);  // short: the size needed, with the zero
    EXPECT_EQ(GetSystemDirectoryA(buf, 20), 19u);
    EXPECT_STREQ(buf, "C:\\Windows\\System32");
    struct stat st;
    ASSERT_EQ(::stat(w32rt::to_posix_path("C:\\ProgramData").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);

    // Bad arguments.
    EXPECT_EQ(folder(0x7F), "<0x80070057>");
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, nullptr), E_INVALIDARG);
    EXPECT_EQ(folder(CSIDL_APPDATA, reinterpret_cast<HANDLE>(0x1234)), "<0x80070006>");
    // The default user's profile (token -1).
    EXPECT_EQ(folder(CSIDL_APPDATA | 0x4000, INVALID_HANDLE_VALUE), "C:\\Users\\Default\\AppData\\Roaming");
}

TEST_F(HostFolderTest, EnvironmentVariablesAndExpansion) {
    ScopedEnv own("EVTRACE_TEST_VALUE", "posix value");
    ScopedEnv empty("EVTRACE_TEST_EMPTY", "");
    EXPECT_EQ(variable("evtrace_test_value"), "posix value");  // names ignore case
    EXPECT_EQ(variable("EVTRACE_TEST_EMPTY"), "");
    EXPECT_EQ(variable("EVTRACE_TEST_MISSING"), "<error 203>");
    EXPECT_EQ(variable("USERNAME"), host_test::user_name());
    char small[4];
    EXPECT_EQ(GetEnvironmentVariableA("EVTRACE_TEST_VALUE", small, sizeof small), 12u);  // with the zero

    EXPECT_EQ(expand("%SystemRoot%\\System32"), "C:\\Windows\\System32");  // the runtime's own variables
    EXPECT_EQ(expand("[%EVTRACE_TEST_VALUE%|%evtrace_test_empty%]"), "[posix value|]");
    EXPECT_EQ(expand("%NOT_A_VARIABLE%"), "%NOT_A_VARIABLE%");
    EXPECT_EQ(expand("100% of %windir%"), "100% of C:\\Windows");
    EXPECT_EQ(expand("50%"), "50%");
    EXPECT_EQ(expand("%%windir%%"), "%C:\\Windows%");
    EXPECT_EQ(ExpandEnvironmentStringsA("%windir%", small, sizeof small), 11u);
    EXPECT_FAILS(ExpandEnvironmentStringsA(nullptr, small, sizeof small), 0u, ERROR_INVALID_PARAMETER);
    ScopedEnv windir("windir", "D:\\Win");  // the process environment wins over the runtime's answers
    EXPECT_EQ(variable("windir"), "D:\\Win");
}

TEST(LocalMemory, AllocatesZeroedAndRefusesMovableMemory) {
    auto* p = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(LocalFree(p), nullptr);
    EXPECT_FAILS(LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16), nullptr, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(LocalAlloc(LMEM_FIXED, SIZE_MAX), nullptr, ERROR_NOT_ENOUGH_MEMORY);
}

TEST(Strings, CopyTolerateNullAndCompareAsTheUserLocaleSorts) {
    char buf[16] = "";
    EXPECT_EQ(lstrcpynA(buf, "truncated", 5), buf);
    EXPECT_STREQ(buf, "trun");
    EXPECT_EQ(lstrcpynA(buf, "zz", 0), buf);
    EXPECT_STREQ(buf, "trun");  // nothing written
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrcpyA(buf, nullptr), nullptr);

    // Each pair in ascending order: letters without regard to case first,
    // then lower case first; symbols, then digits, then letters; the hyphen
    // weighs last.
    const std::pair<const char*, const char*> ascending[] = {
        {"apple", "Banana"}, {"a", "A"},          {"!x", "0x"}, {"9", "a"},
        {"coop", "co-op"},   {"co-op", "cop"},   {"ab", "abc"}, {nullptr, ""},
    };
    for (const auto& [lower, higher] : ascending) {
        SCOPED_TRACE(std::string(lower ? lower : "(null)") + " < " + higher);
        EXPECT_LT(lstrcmpA(lower, higher), 0);
        EXPECT_GT(lstrcmpA(higher, lower), 0);
    }
    EXPECT_EQ(lstrcmpA(nullptr, nullptr), 0);
    EXPECT_EQ(lstrcmpiA("MiXeD", "mixed"), 0);
    EXPECT_LT(lstrcmpiA("a", "B"), 0);
    EXPECT_GT(lstrcmpiA("", nullptr), 0);
}

TEST(Com, ApartmentsPerThread) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    HRESULT other = E_FAIL;
    std::thread([&other] {
        other = CoInitialize(nullptr);
        CoUninitialize();
    }).join();
    EXPECT_EQ(other, S_OK);  // another thread has its own apartment
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);  // one left
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);  // all undone
    CoUninitialize();
    CoUninitialize();  // one too many is harmless
    EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
}
