// The alert history file through the alerter's SaveHistory and the
// consumer's GetAlertHistoryList, in one process: the bytes of the file,
// the six-record window, the folders of each identity, and saves that fail
// at every system call along the way.
#include <errno.h>
#include <w32rt/testing.h>

#include "alerts_fixture.h"

using namespace alerts_test;
using consumer_test::FileExists;
using consumer_test::ReadWholeFile;
using consumer_test::SetString;
using consumer_test::WriteWholeFile;

namespace {

class HistoryTest : public AlertTest {
protected:
    void SetUp() override {
        AlertTest::SetUp();
        ASSERT_EQ(EvtInitialize(2), S_OK);
    }
    // Saves an alert of the given code and string A, time stamped in order.
    void Save(CEvTraceAlerter& alerter, DWORD code, const std::string& stringA, BYTE flag = 0) {
        auto event = AlertEvent(code, stringA, NextTime(), flag);
        ASSERT_EQ(alerter.SaveHistory(event.get()), S_OK);
    }
    int64_t NextTime() { return time_ += 10000; }
    int64_t time_ = 0x01D9000000000000;
};

TEST_F(HistoryTest, TheFirstAlertMakesA1337ByteFileWithTheEventsFieldsOnly) {
    CEvTraceAlerter alerter;  // a process of an ordinary user: its own folder
    auto event = AlertEvent(kLinkLost, "profile Home", 0x01D9123456789ABC, 0x5A);
    ASSERT_EQ(alerter.SaveHistory(event.get()), S_OK);
    const std::string file = ReadWholeFile(OwnHistoryPath());
    ASSERT_EQ(file.size(), 1337u);
    EXPECT_EQ(file, HistoryFile({HistoryRecord(kLinkLost, "profile Home", 0x01D9123456789ABC, 0x5A)}));

    // No string A: an all-zero field.
    auto bare = AlertEvent(kAuthFailed, "", 0x01D9123456789ABD);
    ASSERT_EQ(alerter.SaveHistory(bare.get()), S_OK);
    EXPECT_EQ(ReadWholeFile(OwnHistoryPath()),
              HistoryFile({HistoryRecord(kLinkLost, "profile Home", 0x01D9123456789ABC, 0x5A),
                           HistoryRecord(kAuthFailed, "", 0x01D9123456789ABD)}));
}

TEST_F(HistoryTest, SixAreKeptOldestFirstAndTheListGivesThemNewestFirst) {
    CEvTraceAlerter alerter;
    for (int i = 1; i <= 7; ++i) Save(alerter, i % 2 ? kLinkLost : kWeakSignal, "alert " + std::to_string(i));
    EXPECT_EQ(HistoryTexts(ReadWholeFile(OwnHistoryPath())),
              (std::vector<std::string>{"alert 2", "alert 3", "alert 4", "alert 5", "alert 6", "alert 7"}));
    LONG result = E_FAIL;
    EXPECT_EQ(HistoryList(&result),
              (std::vector<std::string>{"alert 7", "alert 6", "alert 5", "alert 4", "alert 3", "alert 2"}));
    EXPECT_EQ(result, S_OK);
    // Each entry is an event record of its own with the stored fixed part.
    _EVT_RECORD_LIST* list = nullptr;
    ASSERT_EQ(GetAlertHistoryList(&list), S_OK);
    ASSERT_EQ(list->count, 6u);
    EXPECT_EQ(list->records[0]->dwEventCode, kLinkLost);
    EXPECT_EQ(list->records[1]->dwEventCode, kWeakSignal);
    EXPECT_EQ(list->records[0]->dwDataLen, 0u);
    for (DWORD i = 0; i < list->count; ++i) EvTraceDeleteMemory(list->records[i]);
    EvTraceDeleteArray(list->records);
    EvTraceDeleteMemory(list);
}

TEST_F(HistoryTest, ANullEventFailsAndLeavesTheFileAsItWas) {
    CEvTraceAlerter alerter;
    Save(alerter, kLinkLost, "kept");
    const std::string before = ReadWholeFile(OwnHistoryPath());
    EXPECT_EQ(alerter.SaveHistory(nullptr), E_FAIL);
    EXPECT_EQ(ReadWholeFile(OwnHistoryPath()), before);
}

TEST_F(HistoryTest, RecordsThatAreNoLongerAlertsAreNeitherListedNorKept) {
    const std::string path = OwnHistoryPath();
    CEvTraceAlerter alerter;
    Save(alerter, kLinkLost, "first");  // makes the folders
    WriteWholeFile(path, HistoryFile({HistoryRecord(kLinkLost, "alert", 1), HistoryRecord(kNotAnAlert, "plain", 2)}));
    EXPECT_EQ(HistoryList(), (std::vector<std::string>{"alert"}));
    Save(alerter, kAuthFailed, "new");
    EXPECT_EQ(HistoryTexts(ReadWholeFile(path)), (std::vector<std::string>{"alert", "new"}));
}

TEST_F(HistoryTest, TheListWithoutAFileFailsAndWithoutAlertsIsEmpty) {
    LONG result = S_OK;
    _EVT_RECORD_LIST* list = reinterpret_cast<_EVT_RECORD_LIST*>(1);
    EXPECT_EQ(GetAlertHistoryList(&list), EVT_E_NOFILEACCESS);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(GetAlertHistoryList(nullptr), EVT_E_INVALIDARG);

    CEvTraceAlerter alerter;
    Save(alerter, kLinkLost, "made");
    WriteWholeFile(OwnHistoryPath(), HistoryFile({HistoryRecord(kNotAnAlert, "plain", 2)}));
    // Asked again and again: nothing runs out.
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(GetAlertHistoryList(&list), S_OK);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->count, 0u);
        EXPECT_EQ(list->records, nullptr);
        EvTraceDeleteMemory(list);
    }
    // A truncated file is refused as unreadable rather than half listed.
    std::string cut = HistoryFile({HistoryRecord(kLinkLost, "a", 1), HistoryRecord(kLinkLost, "b", 2)});
    WriteWholeFile(OwnHistoryPath(), cut.substr(0, cut.size() - 100));
    HistoryList(&result);
    EXPECT_EQ(result, EVT_E_NOFILEACCESS);
    // Without the consumer there is no list.
    EvtUnInitialize();
    EXPECT_EQ(GetAlertHistoryList(&list), E_FAIL);
}

// Every system call of a save fails in turn, as SQLite's I/O-error tests do:
// the history is then the old one or the new one, whole, never torn, never
// empty; and no stray file is left beside it.
TEST_F(HistoryTest, ASaveFailingAtAnySystemCallLeavesTheOldHistoryWhole) {
    CEvTraceAlerter alerter;
    for (int i = 1; i <= 6; ++i) Save(alerter, kLinkLost, "old " + std::to_string(i));
    const std::string path = OwnHistoryPath();
    const std::vector<std::string> old = HistoryTexts(ReadWholeFile(path));
    int failures = 0;
    for (const char* kind : {"open", "read", "write", "fsync", "rename", "mkdir", "unlink"}) {
        for (unsigned nth = 1; nth <= 8; ++nth) {
            SCOPED_TRACE(std::string(kind) + " #" + std::to_string(nth));
            std::vector<std::string> expected = HistoryTexts(ReadWholeFile(path));
            w32rt_fail_syscall(kind, nth, ENOSPC);
            Save(alerter, kAuthFailed, std::string(kind) + std::to_string(nth));
            w32rt_clear_syscall_faults();
            const std::vector<std::string> now = HistoryTexts(ReadWholeFile(path));
            if (now == expected) {
                ++failures;
                continue;
            }
            expected.erase(expected.begin());
            expected.push_back(std::string(kind) + std::to_string(nth));
            EXPECT_EQ(now, expected);
        }
    }
    EXPECT_GT(failures, 0) << "no save failed: the faults missed the saves";
    // Only the history itself is in its folder.
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((path.substr(0, path.rfind('\\')) + "\\*").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::string> names;
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) names.push_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    EXPECT_EQ(names, std::vector<std::string>{"AlertHistory.bin"});
    EXPECT_NE(old, HistoryTexts(ReadWholeFile(path)));
}

TEST_F(HistoryTest, AMissingSettingsFolderIsMade) {
    CEvTraceAlerter alerter;
    const std::string path = OwnHistoryPath();
    const std::string settings = path.substr(0, path.rfind('\\'));
    ASSERT_FALSE(FileExists(settings));
    Save(alerter, kLinkLost, "one");
    EXPECT_EQ(HistoryTexts(ReadWholeFile(path)), std::vector<std::string>{"one"});
}

// ---- Identities -----------------------------------------------------------------

class HistoryIdentityTest : public HistoryTest {
protected:
    void SetUp() override {
        HistoryTest::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "needs the superuser, which is \"SYSTEM\"";
        nobody_ = testing_support::unprivileged_uid();
        nobodyName_ = PosixNameOf(nobody_);
    }
    int64_t nobody_ = -1;
    std::string nobodyName_;
};

TEST_F(HistoryIdentityTest, TheServiceWithAHistoryFolderWritesThereAsItself) {
    setenv("EVTRACE_CONSOLE_USER", nobodyName_.c_str(), 1);
    SetString(consumer_test::kApiKey, "HistoryFilePath", "C:\\Service\\History");
    CreateDirectoryA("C:\\Service", nullptr);
    CreateDirectoryA("C:\\Service\\History", nullptr);
    CEvDataQueue queue;
    CEvTraceAlerter alerter(&queue);  // made on a thread of "SYSTEM"
    ASSERT_EQ(alerter.m_bRunningAsSystem, 1);
    Save(alerter, kLinkLost, "service");
    const std::string path = "C:\\Service\\History\\Settings\\AlertHistory.bin";
    EXPECT_EQ(HistoryTexts(ReadWholeFile(path)), std::vector<std::string>{"service"});
    EXPECT_EQ(OwnerOf(path), 0);
    EXPECT_FALSE(FileExists(UsersHistoryPath(nobodyName_)));
    EXPECT_EQ(HistoryList(), std::vector<std::string>{"service"});
}

TEST_F(HistoryIdentityTest, TheServiceWithoutOneWritesTheConsoleUsersFolderWithTheirRights) {
    setenv("EVTRACE_CONSOLE_USER", nobodyName_.c_str(), 1);
    CEvDataQueue queue;
    CEvTraceAlerter alerter(&queue);
    Save(alerter, kWeakSignal, "for the user");
    const std::string path = UsersHistoryPath(nobodyName_);
    EXPECT_EQ(HistoryTexts(ReadWholeFile(path)), std::vector<std::string>{"for the user"});
    EXPECT_EQ(OwnerOf(path), nobody_);
    // The service's own folder got nothing, and the saving thread is itself
    // again.
    EXPECT_FALSE(FileExists(OwnHistoryPath()));
    char name[257] = {};
    DWORD size = 256;
    ASSERT_TRUE(GetUserNameA(name, &size));
    EXPECT_STREQ(name, "SYSTEM");
    // The consumer of the service reads the same file.
    EXPECT_EQ(HistoryList(), std::vector<std::string>{"for the user"});
    // Nobody at the console: the service keeps its own history.
    setenv("EVTRACE_CONSOLE_USER", "none", 1);
    Save(alerter, kLinkLost, "own");
    EXPECT_EQ(HistoryTexts(ReadWholeFile(OwnHistoryPath())), std::vector<std::string>{"own"});
}

}  // namespace
