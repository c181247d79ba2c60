// Whose history the engine writes: as the service account "SYSTEM" (the
// superuser) with and without "HistoryFilePath", and as an ordinary user
// who administers a machine root of their own. The console user is chosen
// through the runtime's configuration (EVTRACE_CONSOLE_USER).
#include <signal.h>

#include <filesystem>

#include "alerts_fixture.h"
#include "engine_fixture.h"

using namespace alerts_test;
using consumer_test::FileExists;
using consumer_test::ReadWholeFile;
using consumer_test::SetString;
using testing_support::eventually;

namespace {

class EngineIdentityTest : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "needs the superuser, which is \"SYSTEM\"";
        nobody_ = testing_support::unprivileged_uid();
        name_ = PosixNameOf(nobody_);
    }
    // Makes the user the root's owner, as if they had made it: its files,
    // and the administrators' folder of shared memory this process already
    // made, but for the superuser's own private tables in it.
    void HandOverRoot(uid_t user) {
        namespace fs = std::filesystem;
        for (const auto& entry : fs::recursive_directory_iterator(root())) {
            ASSERT_EQ(lchown(entry.path().c_str(), user, user), 0) << entry.path();
            const std::string name = entry.path().filename().string();
            if (name.rfind("w32rt.shm.", 0) != 0) continue;
            const fs::path folder = "/dev/shm/" + consumer_test::ReadWholeFile(entry.path().string());
            ASSERT_EQ(chown(folder.c_str(), user, user), 0) << folder;
            for (const auto& segment : fs::directory_iterator(folder)) {
                const std::string file = segment.path().filename().string();
                if (file.size() > 3 && file.compare(file.size() - 3, 3, ".u0") == 0) continue;
                ASSERT_EQ(chown(segment.path().c_str(), user, user), 0) << segment.path();
            }
        }
        ASSERT_EQ(chown(root().c_str(), user, user), 0);
    }

    int64_t nobody_ = -1;
    std::string name_;
};

TEST_F(EngineIdentityTest, TheServiceWritesTheConfiguredFolderAsItselfOrTheConsoleUsersFolderAsThem) {
    const std::string console = "EVTRACE_CONSOLE_USER=" + name_;
    testing_support::SpawnOptions options;
    options.env = {console};

    // With "HistoryFilePath": that folder, written by the service itself.
    CreateDirectoryA("C:\\History", nullptr);
    SetString(consumer_test::kApiKey, "HistoryFilePath", "C:\\History\\");
    StartEngine(options);
    {
        PulseCounter alerts(kAlertEvent);
        Emit("Heronsvc", kLinkLost, "to the service's folder", "service");
        ASSERT_TRUE(eventually([&] { return alerts.count() == 1; }));
    }
    const std::string configured = "C:\\History\\Settings\\AlertHistory.bin";
    EXPECT_EQ(HistoryTexts(ReadWholeFile(configured)), std::vector<std::string>{"service"});
    EXPECT_EQ(OwnerOf(configured), 0);
    EXPECT_FALSE(FileExists(UsersHistoryPath(name_)));
    StopEngine(SIGTERM);

    // Without it: the console user's folder, made with the user's rights.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, consumer_test::kApiKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegDeleteValueA(key, "HistoryFilePath");
    RegCloseKey(key);
    StartEngine(options);
    {
        PulseCounter alerts(kAlertEvent);
        Emit("Heronsvc", kAuthFailed, "to the user's folder", "user");
        ASSERT_TRUE(eventually([&] { return alerts.count() == 1; }));
    }
    const std::string users = UsersHistoryPath(name_);
    EXPECT_EQ(HistoryTexts(ReadWholeFile(users)), std::vector<std::string>{"user"});
    EXPECT_EQ(OwnerOf(users), nobody_);
    EXPECT_EQ(HistoryTexts(ReadWholeFile(configured)), std::vector<std::string>{"service"});
    StopEngine(SIGTERM);

    // The user's own client lists it.
    testing_support::SpawnOptions asUser;
    asUser.uid = asUser.gid = nobody_;
    asUser.env = {console};
    ASSERT_EQ(RunTool({"alerts", "history"}, asUser), 0);
    int listed = 0;
    for (const std::string& line : output_)
        if (line.find("0x80001001") != std::string::npos && line.find("(user)") != std::string::npos) ++listed;
    EXPECT_EQ(listed, 1) << testing::PrintToString(output_);
}

TEST_F(EngineIdentityTest, AnOrdinaryUsersEngineWritesTheirOwnFolder) {
    // The root is the user's own (as their default root is): they
    // administer it, its registry and its drives.
    HandOverRoot(uid_t(nobody_));
    testing_support::SpawnOptions asUser;
    asUser.uid = asUser.gid = nobody_;
    asUser.env = {"EVTRACE_CONSOLE_USER=none"};
    StartEngine(asUser);
    {
        PulseCounter alerts(kAlertEvent);
        Emit("Heronsvc", kWeakSignal, "to the user's own folder", "own");
        ASSERT_TRUE(eventually([&] { return alerts.count() == 1; }));
    }
    const std::string users = UsersHistoryPath(name_);
    EXPECT_EQ(HistoryTexts(ReadWholeFile(users)), std::vector<std::string>{"own"});
    EXPECT_EQ(OwnerOf(users), nobody_);
    EXPECT_FALSE(FileExists(OwnHistoryPath()));
    StopEngine(SIGTERM);
}

}  // namespace
