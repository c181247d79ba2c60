// Users, tokens and impersonation: names with and without the service
// account, the file rights and folders of an impersonating thread, and their
// limits; the console's session and its processes.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <secext.h>
#include <shlobj.h>
#include <windows.h>
#include <wtsapi32.h>
#include <w32rt/machine.h>

#include "identity/identity.h"
#include "identity/sessions.h"
#include "host_test_util.h"

using host_test::as_user;
using host_test::folder;
using host_test::ScopedEnv;
using host_test::user_name;
using testing_support::MachineTest;
using testing_support::spawn_helper;

namespace {

std::string user_name_ex() {
    char buf[300];
    ULONG size = sizeof buf;
    if (!GetUserNameExA(NameSamCompatible, buf, &size)) return "<error " + std::to_string(GetLastError()) + ">";
    return buf;
}

std::string computer() {
    char buf[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof buf;
    if (!GetComputerNameA(buf, &size)) return "<error>";
    return std::string(buf, size);
}

// A token of an unprivileged user, obtained as a service would: from the
// console session of that user.
HANDLE token_of(uid_t uid) {
    ScopedEnv console("EVTRACE_CONSOLE_USER", std::to_string(uid).c_str());
    HANDLE token = nullptr;
    EXPECT_TRUE(WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token)) << GetLastError();
    return token;
}

uid_t owner_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

// Makes a new file; false, with the status of CreateFileA, when refused.
bool make_file(const char* path) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h != INVALID_HANDLE_VALUE && CloseHandle(h);
}

}  // namespace

// Another, unprivileged user, and a folder only the superuser may write to.
class OtherUserTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        nobody_ = testing_support::unprivileged_uid();
        if (nobody_ < 0) GTEST_SKIP() << "needs the superuser";
        name_ = host_test::posix_name_of(uid_t(nobody_));
        locked_ = root() + "/drives/c/Locked";
        ASSERT_EQ(::mkdir(locked_.c_str(), 0755), 0);
    }
    void TearDown() override {
        RevertToSelf();
        MachineTest::TearDown();
    }

    int64_t nobody_ = -1;
    std::string name_, locked_;
};
using ServiceAccount = OtherUserTest;
using ImpersonationTest = OtherUserTest;
using ConsoleSession = OtherUserTest;

TEST_HELPER(print_names) {
    testing_support::send_line(user_name());
    testing_support::send_line(user_name_ex());
    return 0;
}

TEST_F(ServiceAccount, IsSystemOrItsOwnName) {
    const std::string host = computer();
    const struct {
        std::string system_uid;  // EVTRACE_SYSTEM_UID
        int64_t run_as;
        std::string name, sam;
    } cases[] = {
        {"", -1, "SYSTEM", "NT AUTHORITY\\SYSTEM"},
        {"none", -1, "root", host + "\\root"},
        {"", nobody_, name_, host + "\\" + name_},
        // The service account may be an ordinary uid, chosen for tests.
        {std::to_string(nobody_), nobody_, "SYSTEM", "NT AUTHORITY\\SYSTEM"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("system uid '" + c.system_uid + "' as " + std::to_string(c.run_as));
        auto child = spawn_helper("print_names", {}, as_user(c.run_as, {"EVTRACE_SYSTEM_UID=" + c.system_uid}));
        EXPECT_EQ(child.read_line(), c.name);
        EXPECT_EQ(child.read_line(), c.sam);
        EXPECT_EQ(child.wait(), 0);
    }
}

// A process's name follows its effective user, however often it asks.
TEST_HELPER(names_as_effective_user) {
    if (argc < 2) return 2;
    const uid_t other = uid_t(strtoul(argv[1], nullptr, 10));
    testing_support::send_line(user_name());
    if (seteuid(other) != 0) return 3;
    testing_support::send_line(user_name());
    if (seteuid(0) != 0) return 4;
    testing_support::send_line(user_name());
    return 0;
}

TEST_F(ServiceAccount, NameFollowsTheEffectiveUser) {
    auto child =
        spawn_helper("names_as_effective_user", {std::to_string(nobody_)}, as_user(-1, {"EVTRACE_SYSTEM_UID=none"}));
    EXPECT_EQ(child.read_line(), "root");
    EXPECT_EQ(child.read_line(), name_);
    EXPECT_EQ(child.read_line(), "root");
    EXPECT_EQ(child.wait(), 0);
}

TEST(UserNames, BuffersFollowEachCallsRules) {
    std::string name = user_name();
    char buf[300];
    DWORD size = DWORD(name.size());  // no room for the zero
    EXPECT_FAILS(GetUserNameA(buf, &size), FALSE, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, name.size() + 1);
    EXPECT_TRUE(GetUserNameA(buf, &size));
    EXPECT_EQ(size, name.size() + 1);  // the zero counts on success too
    EXPECT_FAILS(GetUserNameA(buf, nullptr), FALSE, ERROR_INVALID_PARAMETER);

    // GetUserNameExA: the size with the zero when short, without it after.
    std::string sam = user_name_ex();
    ULONG ex_size = 1;
    EXPECT_FAILS(GetUserNameExA(NameSamCompatible, buf, &ex_size), FALSE, ERROR_MORE_DATA);
    EXPECT_EQ(ex_size, sam.size() + 1);
    EXPECT_TRUE(GetUserNameExA(NameSamCompatible, buf, &ex_size));
    EXPECT_EQ(ex_size, sam.size());
    EXPECT_FAILS(GetUserNameExA(NameDisplay, buf, &ex_size), FALSE, ERROR_NONE_MAPPED);

    // GetComputerNameA: the host name up to its first dot, upper case, at
    // most 15 characters; the size with the zero when short.
    gethostname(buf, sizeof buf - 1);
    std::string expected(buf, std::min(strcspn(buf, "."), size_t(MAX_COMPUTERNAME_LENGTH)));
    for (char& c : expected) c = char(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(computer(), expected);
    DWORD small_size = 1;
    EXPECT_FAILS(GetComputerNameA(buf, &small_size), FALSE, ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(small_size, expected.size() + 1);
}


// An impersonating thread has the user's name and makes files with the
// user's rights; other threads, and threads it starts, keep the process's.
TEST_F(ImpersonationTest, FilesAreMadeWithTheRightsOfTheThreadsUser) {
    HANDLE token = token_of(uid_t(nobody_));
    ASSERT_NE(token, nullptr);
    const std::string own_name = user_name();
    HANDLE thread_token = nullptr;
    EXPECT_FAILS(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token), FALSE, ERROR_NO_TOKEN);

    std::atomic<bool> impersonating{false};
    std::string other_name;
    bool other_made = false;
    std::thread other([&] {  // started before the impersonation
        while (!impersonating.load()) std::this_thread::yield();
        other_name = user_name();
        other_made = make_file("C:\\Locked\\FromOtherThread.txt");
    });
    ASSERT_TRUE(ImpersonateLoggedOnUser(token)) << GetLastError();
    impersonating.store(true);
    EXPECT_EQ(user_name(), name_);
    EXPECT_EQ(user_name_ex(), computer() + "\\" + name_);
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &thread_token));
    EXPECT_TRUE(CloseHandle(thread_token));
    // Created as that user where it may write, refused where it may not.
    ASSERT_TRUE(make_file("C:\\Mine.txt")) << GetLastError();
    EXPECT_EQ(owner_of(root() + "/drives/c/Mine.txt"), uid_t(nobody_));
    EXPECT_FAILS(make_file("C:\\Locked\\Refused.txt"), false, ERROR_ACCESS_DENIED);

    other.join();
    EXPECT_NE(other_name, name_);
    EXPECT_TRUE(other_made);
    EXPECT_EQ(owner_of(locked_ + "/FromOtherThread.txt"), geteuid());
    // Linux threads inherit their creator's identity; a thread start
    // routine drops it, as Windows threads begin with the process's token.
    bool fresh_made = false;
    std::thread([&] {
        w32rt::reset_thread_identity();
        fresh_made = make_file("C:\\Locked\\FromFreshThread.txt");
    }).join();
    EXPECT_TRUE(fresh_made);

    // Back to the process's own rights.
    ASSERT_TRUE(RevertToSelf());
    EXPECT_EQ(user_name(), own_name);
    EXPECT_FAILS(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread_token), FALSE, ERROR_NO_TOKEN);
    EXPECT_TRUE(make_file("C:\\Locked\\Allowed.txt")) << GetLastError();
    EXPECT_TRUE(RevertToSelf());  // when not impersonating: nothing to do
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(ImpersonationTest, NeedsATokenOpenedForIt) {
    HANDLE query_only = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &query_only));
    EXPECT_FAILS(ImpersonateLoggedOnUser(query_only), FALSE, ERROR_ACCESS_DENIED);
    CloseHandle(query_only);

    HANDLE own = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own));
    EXPECT_TRUE(ImpersonateLoggedOnUser(own));
    EXPECT_TRUE(RevertToSelf());
    CloseHandle(own);

    EXPECT_FAILS(ImpersonateLoggedOnUser(nullptr), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, nullptr), FALSE, ERROR_INVALID_PARAMETER);
}

// A user's shell folders, asked for by a thread impersonating the user or
// with the user's token, are made for that user.
TEST_F(ImpersonationTest, UsersFoldersAreMadeForThem) {
    HANDLE token = token_of(uid_t(nobody_));
    ASSERT_TRUE(ImpersonateLoggedOnUser(token));
    EXPECT_EQ(folder(CSIDL_APPDATA | CSIDL_FLAG_CREATE), "C:\\Users\\" + name_ + "\\AppData\\Roaming");
    EXPECT_TRUE(RevertToSelf());
    EXPECT_EQ(folder(CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, token), "C:\\Users\\" + name_ + "\\AppData\\Local");

    // The shared folder is open to all, the profile private, all of it the
    // user's own even though the system made it.
    EXPECT_EQ(host_test::owner_and_mode(root() + "/drives/c/Users"), std::to_string(geteuid()) + " 1777");
    EXPECT_EQ(host_test::owner_and_mode(root() + "/drives/c/Users/" + name_), std::to_string(nobody_) + " 700");
    EXPECT_EQ(owner_of(root() + "/drives/c/Users/" + name_ + "/AppData/Roaming"), uid_t(nobody_));
    EXPECT_EQ(owner_of(root() + "/drives/c/Users/" + name_ + "/AppData/Local"), uid_t(nobody_));
    CloseHandle(token);

    // A token opened without query access is refused.
    HANDLE no_query = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_IMPERSONATE, &no_query));
    EXPECT_EQ(folder(CSIDL_APPDATA, no_query), "<0x80070005>");  // E_ACCESSDENIED
    CloseHandle(no_query);
}

TEST_F(ConsoleSession, OnlyTheConsoleUsersSessionGivesAToken) {
    // Nobody at the console, or a user name the machine does not know.
    for (const char* nobody_there : {"none", "no-such-user-here"}) {
        ScopedEnv console("EVTRACE_CONSOLE_USER", nobody_there);
        EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu) << nobody_there;
    }
    HANDLE token = reinterpret_cast<HANDLE>(1);
    {
        ScopedEnv console("EVTRACE_CONSOLE_USER", "none");
        EXPECT_FAILS(WTSQueryUserToken(1, &token), FALSE, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(token, nullptr);
    }
    ScopedEnv console("EVTRACE_CONSOLE_USER", name_.c_str());
    ASSERT_EQ(WTSGetActiveConsoleSessionId(), 1u);
    ASSERT_TRUE(WTSQueryUserToken(1, &token)) << GetLastError();  // whose it is: the impersonation tests
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_FAILS(WTSQueryUserToken(0, &token), FALSE, ERROR_NO_TOKEN);
    EXPECT_FAILS(WTSQueryUserToken(2, &token), FALSE, ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS(WTSQueryUserToken(1, nullptr), FALSE, ERROR_INVALID_PARAMETER);
}

using LoginSessions = MachineTest;

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

TEST_HELPER(ordinary_user) {
    // As an ordinary user: no other users' tokens, but oneself is fine.
    HANDLE token = nullptr;
    BOOL queried = WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token);
    testing_support::send_line(queried ? "queried" : "refused " + std::to_string(GetLastError()));
    HANDLE own = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &own);
    BOOL self = ImpersonateLoggedOnUser(own);
    testing_support::send_line(self ? "self " + user_name() : "self failed " + std::to_string(GetLastError()));
    RevertToSelf();
    testing_support::receive_line();  // stays for the parent's process list
    return 0;
}

// An ordinary user's process gets no other user's token, may impersonate
// itself, and is in the session of the console when its user is there.
TEST_F(ConsoleSession, OrdinaryUsersProcessesGetNoOtherUsersTokensAndAreInTheirSession) {
    auto child = spawn_helper("ordinary_user", {}, as_user(nobody_, {"EVTRACE_CONSOLE_USER=root"}));
    EXPECT_EQ(child.read_line(), "refused " + std::to_string(ERROR_PRIVILEGE_NOT_HELD));
    ASSERT_EQ(child.read_line(), "self " + name_);

    ScopedEnv console("EVTRACE_CONSOLE_USER", std::to_string(nobody_).c_str());
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
