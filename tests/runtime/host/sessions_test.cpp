// Terminal Services sessions and the built-in modules that code binds at run
// time, present or absent.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <shlobj.h>
#include <windows.h>
#include <wtsapi32.h>

#include "host/sessions.h"
#include "host_test_util.h"
#include "test_support.h"

using host_test::ScopedEnv;
using testing_support::spawn_helper;

TEST(ConsoleSession, OnlyTheConsoleUsersSessionGivesAToken) {
    // Nobody at the console, or a user name the machine does not know.
    for (const char* nobody_there : {"none", "no-such-user-here"}) {
        ScopedEnv console("EVTRACE_CONSOLE_USER", nobody_there);
        EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu) << nobody_there;
    }
    int64_t nobody = testing_support::unprivileged_uid();
    if (nobody < 0) GTEST_SKIP() << "needs the superuser";
    HANDLE token = reinterpret_cast<HANDLE>(1);
    {
        ScopedEnv console("EVTRACE_CONSOLE_USER", "none");
        EXPECT_FAILS(WTSQueryUserToken(1, &token), FALSE, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(token, nullptr);
    }
    const std::string name = host_test::posix_name_of(uid_t(nobody));
    ScopedEnv console("EVTRACE_CONSOLE_USER", name.c_str());
    ASSERT_EQ(WTSGetActiveConsoleSessionId(), 1u);
    ASSERT_TRUE(WTSQueryUserToken(1, &token)) << GetLastError();  // whose it is: the impersonation tests
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_FAILS(WTSQueryUserToken(0, &token), FALSE, ERROR_NO_TOKEN);
    EXPECT_FAILS(WTSQueryUserToken(2, &token), FALSE, ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS(WTSQueryUserToken(1, nullptr), FALSE, ERROR_INVALID_PARAMETER);
}

using LoginSessions = testing_support::MachineTest;

TEST_F(LoginSessions, ConsoleIsTheLoginManagersActiveSeatSession) {
    const std::string dir = root() + "/sessions";
    auto write = [&dir](const char* name, const char* content) { std::ofstream(dir + "/" + name) << content; };
    EXPECT_FALSE(w32rt::console_from_login_sessions(dir).has_value());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_FALSE(w32rt::console_from_login_sessions(dir).has_value());

    write("2", "UID=1001\nUSER=remote\nACTIVE=1\nREMOTE=1\nCLASS=user\n");   // no seat
    write("3", "UID=1002\nUSER=away\nACTIVE=0\nSEAT=seat0\nCLASS=user\n");    // switched away
    write("c1", "UID=111\nUSER=gdm\nACTIVE=1\nSEAT=seat0\nCLASS=greeter\n");  // the login screen
    write("4", "UID=garbage\nACTIVE=1\nSEAT=seat0\n");                        // unreadable
    EXPECT_FALSE(w32rt::console_from_login_sessions(dir).has_value());

    write("7", "# This is private data.\nUID=1003\nUSER=alice\nACTIVE=1\nSEAT=seat0\nCLASS=user\nSTATE=active\n");
    auto console = w32rt::console_from_login_sessions(dir);
    ASSERT_TRUE(console.has_value());
    EXPECT_EQ(console->uid, 1003u);
    EXPECT_EQ(console->id, 7u);
}

TEST_HELPER(wait_for_parent) {
    testing_support::send_line("running");
    testing_support::receive_line();
    return 0;
}

TEST(ConsoleSession, ProcessesOfTheConsoleUserAreInItsSession) {
    int64_t nobody = testing_support::unprivileged_uid();
    if (nobody < 0) GTEST_SKIP() << "needs the superuser";
    auto child = spawn_helper("wait_for_parent", {}, host_test::as_user(nobody));
    ASSERT_TRUE(child.expect_line("running"));

    ScopedEnv console("EVTRACE_CONSOLE_USER", std::to_string(nobody).c_str());
    PWTS_PROCESS_INFOA info = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(WTSEnumerateProcessesA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count));
    ASSERT_NE(info, nullptr);
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").filename();
    int seen = 0;
    for (DWORD i = 0; i < count; ++i) {
        const bool is_child = info[i].ProcessId == DWORD(child.pid());
        if (!is_child && info[i].ProcessId != DWORD(getpid())) continue;
        ++seen;
        EXPECT_EQ(info[i].SessionId, is_child ? 1u : 0u);
        EXPECT_STREQ(info[i].pProcessName, exe.c_str());
    }
    EXPECT_EQ(seen, 2);
    WTSFreeMemory(info);
    WTSFreeMemory(nullptr);
    child.write_line("done");
    EXPECT_EQ(child.wait(), 0);

    EXPECT_FAILS(WTSEnumerateProcessesA(WTS_CURRENT_SERVER_HANDLE, 0, 2, &info, &count), FALSE,
                 ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(WTSEnumerateProcessesA(reinterpret_cast<HANDLE>(8), 0, 1, &info, &count), FALSE,
                 ERROR_INVALID_HANDLE);
}

TEST(BuiltinModules, LoadByAnyOfTheirNamesUntilFreedAsOftenOrAbsent) {
    ScopedEnv absent("EVTRACE_ABSENT_MODULES", nullptr);
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);  // not loaded yet
    HMODULE wts = LoadLibraryA("WtsApi32.dll");
    ASSERT_NE(wts, nullptr);
    EXPECT_EQ(LoadLibraryA("wtsapi32"), wts);  // ".dll" is implied
    EXPECT_EQ(LoadLibraryA("C:\\Windows\\System32\\wtsapi32.dll"), wts);
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), wts);
    char path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(wts, path, sizeof path), 32u);
    EXPECT_STREQ(path, "C:\\Windows\\System32\\wtsapi32.dll");
    // Three loads, three frees; then it is gone.
    EXPECT_TRUE(FreeLibrary(wts));
    EXPECT_TRUE(FreeLibrary(wts));
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), wts);
    EXPECT_TRUE(FreeLibrary(wts));
    EXPECT_EQ(GetModuleHandleA("wtsapi32.dll"), nullptr);
    EXPECT_FAILS(GetProcAddress(wts, "WTSFreeMemory"), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(FreeLibrary(wts));
    // kernel32 stays, however often it is freed.
    HMODULE kernel32 = GetModuleHandleA("KERNEL32.DLL");
    EXPECT_TRUE(FreeLibrary(kernel32));
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), kernel32);
    EXPECT_FAILS(LoadLibraryA("nonexistent.dll"), nullptr, ERROR_MOD_NOT_FOUND);

    ScopedEnv now_absent("EVTRACE_ABSENT_MODULES", "shell32.dll, WTSAPI32");
    EXPECT_FAILS(LoadLibraryA("wtsapi32.dll"), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA("shell32.dll"), nullptr);
    EXPECT_TRUE(FreeLibrary(LoadLibraryA("ole32.dll")));  // others still load
}

TEST(BuiltinModules, EachExportsItsOwnFunctionsByTheirExactNames) {
    ScopedEnv absent("EVTRACE_ABSENT_MODULES", nullptr);
    const struct {
        const char* module;
        const char* function;
        void* expected;
    } cases[] = {
        {"advapi32.dll", "GetUserNameA", reinterpret_cast<void*>(&GetUserNameA)},
        {"shell32.dll", "SHGetFolderPathA", reinterpret_cast<void*>(&SHGetFolderPathA)},
        {"kernel32.dll", "WTSGetActiveConsoleSessionId", reinterpret_cast<void*>(&WTSGetActiveConsoleSessionId)},
        {"wtsapi32.dll", "WTSEnumerateProcessesA", reinterpret_cast<void*>(&WTSEnumerateProcessesA)},
    };
    for (const auto& c : cases) {
        HMODULE module = LoadLibraryA(c.module);
        ASSERT_NE(module, nullptr) << c.module;
        EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(module, c.function)), c.expected) << c.function;
        // And not another module's.
        EXPECT_EQ(GetProcAddress(module, c.module[0] == 'w' ? "LoadStringA" : "WTSQueryUserToken"), nullptr)
            << c.module;
        FreeLibrary(module);
    }
    // Names are exact and case-sensitive, as exports are.
    EXPECT_FAILS(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wtsgetactiveconsolesessionid"), nullptr,
                 ERROR_PROC_NOT_FOUND);
    static int not_a_module;
    EXPECT_FAILS(DisableThreadLibraryCalls(reinterpret_cast<HMODULE>(&not_a_module)), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(DisableThreadLibraryCalls(GetModuleHandleA(nullptr)));
}
