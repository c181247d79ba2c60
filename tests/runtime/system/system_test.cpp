// The Windows version, the environment, the small kernel32 and ole32
// helpers.
#include <string.h>

#include <string>
#include <thread>

#include <objbase.h>
#include <windows.h>

#include "host_test_util.h"

using host_test::ScopedEnv;
using testing_support::MachineTest;

namespace {

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
    for (DWORD size : {DWORD(sizeof(OSVERSIONINFOA)), DWORD(sizeof ex)}) {
        ex.dwOSVersionInfoSize = size;
        ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex))) << size;
        EXPECT_EQ(std::to_string(ex.dwPlatformId) + " " + std::to_string(ex.dwMajorVersion) + "." +
                      std::to_string(ex.dwMinorVersion) + "." + std::to_string(ex.dwBuildNumber) + " " +
                      ex.szCSDVersion,
                  "2 6.1.7601 Service Pack 1");  // VER_PLATFORM_WIN32_NT
    }
    EXPECT_EQ(ex.wProductType, 1);  // a workstation
    ex.dwOSVersionInfoSize = sizeof ex - 1;
    EXPECT_FAILS(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)), FALSE, ERROR_INSUFFICIENT_BUFFER);
}

class HostFolderTest : public MachineTest {};

TEST_F(HostFolderTest, EnvironmentVariablesAndExpansion) {
    ScopedEnv own("EVTRACE_TEST_VALUE", "posix value");
    EXPECT_EQ(variable("evtrace_test_value"), "posix value");  // names ignore case
    EXPECT_EQ(variable("EVTRACE_TEST_MISSING"), "<error 203>");
    EXPECT_EQ(variable("USERNAME"), host_test::user_name());
    char small[4];
    EXPECT_EQ(GetEnvironmentVariableA("EVTRACE_TEST_VALUE", small, sizeof small), 12u);  // with the zero

    // Variables of the runtime's own and of the process; unknown ones and
    // lone percent signs stay as they are.
    EXPECT_EQ(expand("%SystemRoot%\\System32 %evtrace_test_value%"), "C:\\Windows\\System32 posix value");
    EXPECT_EQ(expand("%NOT_A_VARIABLE% 100% of %windir%"), "%NOT_A_VARIABLE% 100% of C:\\Windows");
    EXPECT_EQ(expand("%%windir%%50%"), "%C:\\Windows%50%");
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

    // As the user's locale sorts: letters without regard to case first, then
    // lower case first; the hyphen weighs last.
    for (const auto& [lo, hi] : {std::pair{"apple", "Banana"}, {"a", "A"}, {"coop", "co-op"}, {"co-op", "cop"}})
        EXPECT_TRUE(lstrcmpA(lo, hi) < 0 && lstrcmpA(hi, lo) > 0) << lo << " < " << hi;
    EXPECT_EQ(lstrcmpiA("MiXeD", "mixed"), 0);
    EXPECT_LT(lstrcmpiA("a", "B"), 0);
    EXPECT_GT(lstrcmpiA("", nullptr), 0);
}

TEST(Com, ApartmentsPerThread) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    HRESULT other = E_FAIL;
    std::thread([&other] { other = CoInitialize(nullptr); CoUninitialize(); }).join();
    EXPECT_EQ(other, S_OK);  // another thread has its own apartment
    CoUninitialize();
    CoUninitialize();
    CoUninitialize();  // one too many is harmless
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);  // all undone
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, 0x100), E_INVALIDARG);
}
