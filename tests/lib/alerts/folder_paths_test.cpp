// The per-user data folder and its record in the registry, and the console
// user's session: which folder each configuration gives, which user's
// token is taken, and what impersonation changes on which thread.
#include <secext.h>
#include <stdlib.h>
#include <w32rt/testing.h>
#include <winreg.h>

#include <thread>

#include "alerts_fixture.h"
#include "host/FolderPaths.h"
#include "host/UserImpersonation.h"

using namespace alerts_test;
using consumer_test::FileExists;
using consumer_test::SetDword;
using consumer_test::SetString;
using consumer_test::WriteWholeFile;

namespace {

constexpr char kWireless[] = "SOFTWARE\\Vanta\\Wireless";
constexpr char kGui[] = "SOFTWARE\\VANTA\\Wireless\\GUIConfiguration";
constexpr char kFolders[] = "Software\\Vanta\\Wireless\\Folders\\";

std::string AccountName() {
    char name[512] = {};
    ULONG size = sizeof name;
    EXPECT_TRUE(GetUserNameExA(NameSamCompatible, name, &size));
    return name;
}

// The recorded "Path" of an account, or "(none)".
std::string Recorded(const std::string& account) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kFolders + account).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "(none)";
    char path[1024] = {};
    DWORD size = sizeof path;
    LONG status = RegQueryValueExA(key, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? path : "(none)";
}

FILETIME LastWrite(const std::string& account) {
    FILETIME time = {};
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kFolders + account).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, &time);
        RegCloseKey(key);
    }
    return time;
}

class FolderPathsTest : public AlertTest {
protected:
    void TearDown() override {
        w32rt_set_clock_offset(0);
        AlertTest::TearDown();
    }
    std::string Own() { return RoamingFolder() + "\\Vanta\\Wireless\\"; }
};

TEST_F(FolderPathsTest, EachConfigurationGivesItsFolder) {
    // The named user's record, read when bin and user are known.
    SetString((std::string(kFolders) + "CORP\\ann").c_str(), "Path", "C:\\Ann\\");
    const struct {
        const char* what;
        bool binDir;
        DWORD featureSet1;
        const char* user;
        const char* domain;
        std::string expected;
    } cases[] = {
        {"bin-folder mode", true, 0x8000, "", "", "C:\\Suite\\Bin\\"},
        {"bin-folder mode wins over a named user", true, 0x8001, "ann", "CORP", "C:\\Suite\\Bin\\"},
        {"bin-folder bit without a bin folder", false, 0x8000, "", "", Own()},
        {"the current user", true, 0, "", "", Own()},
        {"the current user, no bin folder", false, 0, "", "", Own()},
        {"a named user's record", true, 0, "ann", "CORP", "C:\\Ann\\"},
        {"a named user without a bin folder", false, 0, "ann", "CORP", Own()},
        {"a named user never recorded", true, 0, "bob", "CORP", Own()},
        {"a named user without a domain", true, 0, "ann", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HKEY wireless = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kWireless, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &wireless,
                                  nullptr),
                  ERROR_SUCCESS);
        if (c.binDir) {
            RegSetValueExA(wireless, "NimbusBinDir", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\Suite\\Bin"), 13);
        } else {
            RegDeleteValueA(wireless, "NimbusBinDir");
        }
        RegCloseKey(wireless);
        SetDword(kGui, "FeatureSet1", c.featureSet1);
        CFolderPaths paths(c.user, c.domain);
        EXPECT_EQ(paths.GetUserFolder(), c.expected);
        EXPECT_EQ(paths.m_strUserFolder, c.expected);
        EXPECT_EQ(paths.m_strCommonFolder, "");
    }
}

TEST_F(FolderPathsTest, TheCurrentUsersFolderIsMadeAndRecordedOnce) {
    CFolderPaths paths;
    const std::string folder = paths.GetUserFolder();
    EXPECT_EQ(folder, Own());
    EXPECT_TRUE(FileExists(folder));
    EXPECT_EQ(Recorded(AccountName()), folder);
    // A day later the same resolution writes nothing.
    const FILETIME first = LastWrite(AccountName());
    w32rt_set_clock_offset(24LL * 3600 * 10000000);
    EXPECT_EQ(CFolderPaths().GetUserFolder(), folder);
    const FILETIME second = LastWrite(AccountName());
    EXPECT_EQ(CompareFileTime(&first, &second), 0);
    // A stale record is replaced.
    SetString((std::string(kFolders) + AccountName()).c_str(), "Path", "C:\\Old\\");
    EXPECT_EQ(CFolderPaths().GetUserFolder(), folder);
    EXPECT_EQ(Recorded(AccountName()), folder);
}

TEST_F(FolderPathsTest, AFolderThatCannotBeMadeGivesTheSystemFolder) {
    const std::string roaming = RoamingFolder();
    WriteWholeFile(roaming + "\\Vanta", "a file where the folder belongs");
    EXPECT_EQ(CFolderPaths().GetUserFolder(), "C:\\Windows\\System32");
    EXPECT_EQ(Recorded(AccountName()), "(none)");
}

TEST_F(FolderPathsTest, EnsureFolderExistsMakesEveryMissingPieceAndStopsAtAFile) {
    using traceapi::EnsureFolderExists;
    EXPECT_TRUE(EnsureFolderExists("C:\\One\\Two\\\\Three\\"));
    EXPECT_TRUE(FileExists("C:\\One\\Two\\Three"));
    EXPECT_TRUE(EnsureFolderExists("C:\\One\\Two"));
    WriteWholeFile("C:\\One\\File", "x");
    EXPECT_TRUE(EnsureFolderExists("C:\\One\\File"));  // something exists there
    EXPECT_FALSE(EnsureFolderExists("C:\\One\\File\\Below\\Deeper"));
    EXPECT_FALSE(FileExists("C:\\One\\File\\Below"));
    EXPECT_FALSE(EnsureFolderExists(""));
}

// ---- The console user --------------------------------------------------------

std::string ThreadUser() {
    char name[257] = {};
    DWORD size = 256;
    EXPECT_TRUE(GetUserNameA(name, &size));
    return name;
}

class ImpersonationTest : public AlertTest {
protected:
    void SetUp() override {
        AlertTest::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "needs the superuser to act as another user";
        nobody_ = testing_support::unprivileged_uid();
        name_ = PosixNameOf(nobody_);
        self_ = ThreadUser();
    }
    void TearDown() override {
        RevertToSelf();
        unsetenv("EVTRACE_ABSENT_MODULES");
        AlertTest::TearDown();
    }
    int64_t nobody_ = -1;
    std::string name_, self_;
};

TEST_F(ImpersonationTest, NobodyAtTheConsoleOrNoSessionFunctionsMeansNoImpersonation) {
    EXPECT_EQ(CUserImpersonation::GetActiveConsoleSessionId(), 0xFFFFFFFFu);
    CUserImpersonation none;
    EXPECT_EQ(none.Impersonate(), 0);
    EXPECT_EQ(none.Revert(), 0);
    EXPECT_EQ(ThreadUser(), self_);

    setenv("EVTRACE_CONSOLE_USER", name_.c_str(), 1);
    setenv("EVTRACE_ABSENT_MODULES", "wtsapi32.dll", 1);
    CUserImpersonation absent;
    EXPECT_EQ(absent.m_hWtsApi, nullptr);
    EXPECT_EQ(absent.Impersonate(), 0);
    EXPECT_EQ(ThreadUser(), self_);
}

TEST_F(ImpersonationTest, TheConsoleUserIsImpersonatedOnTheCallingThreadOnly) {
    setenv("EVTRACE_CONSOLE_USER", name_.c_str(), 1);
    EXPECT_EQ(CUserImpersonation::GetActiveConsoleSessionId(), 1u);
    {
        CUserImpersonation user;
        ASSERT_EQ(user.Impersonate(), 1);
        EXPECT_EQ(ThreadUser(), name_);
        std::string other;
        std::thread([&] { other = ThreadUser(); }).join();
        EXPECT_EQ(other, self_);
        // Again on the same thread, by another object: nothing more to do.
        CUserImpersonation again;
        EXPECT_EQ(again.Impersonate(), 1);
        EXPECT_EQ(again.m_hUserToken, nullptr);
        EXPECT_EQ(ThreadUser(), name_);
        // A thread that never impersonated has nothing to revert.
        int revertedThere = -1;
        std::thread([&] { revertedThere = CUserImpersonation().Revert(); }).join();
        EXPECT_EQ(revertedThere, 0);
        // The object's end does not revert.
    }
    EXPECT_EQ(ThreadUser(), name_);
    CUserImpersonation user;
    EXPECT_EQ(user.Revert(), 1);
    EXPECT_EQ(ThreadUser(), self_);
    EXPECT_EQ(user.Revert(), 0);
}

TEST_F(ImpersonationTest, AnImpersonatingThreadResolvesAndRecordsTheUsersFolder) {
    setenv("EVTRACE_CONSOLE_USER", name_.c_str(), 1);
    CUserImpersonation user;
    ASSERT_EQ(user.Impersonate(), 1);
    const std::string folder = CFolderPaths().GetUserFolder();
    const std::string account = [] {
        char name[512] = {};
        ULONG size = sizeof name;
        GetUserNameExA(NameSamCompatible, name, &size);
        return std::string(name);
    }();
    ASSERT_EQ(user.Revert(), 1);
    EXPECT_EQ(folder, "C:\\Users\\" + name_ + "\\AppData\\Roaming\\Vanta\\Wireless\\");
    EXPECT_EQ(OwnerOf(folder), nobody_);
    EXPECT_NE(account.find(name_), std::string::npos);
    EXPECT_EQ(Recorded(account), folder);
}

}  // namespace
