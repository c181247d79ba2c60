// The copy, move and delete rules: ages from creation times on a settable
// clock, the folder size limit, copies over earlier copies, moves that keep
// a file whose copy failed, and the current day file, which is never
// touched.
#include <gtest/gtest.h>
#include <errno.h>

#include <algorithm>
#include <string>
#include <vector>

#include "csvlog_fixture.h"

using namespace csvlog_test;

namespace {

constexpr char kCopies[] = "C:\\Backup\\Wev";

// The names in a folder, sorted ("" when the folder is missing).
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

class RetentionTest : public CsvLogTest {
protected:
    // A file made `age` ago (100-ns units) of `size` bytes.
    static void OldFile(const std::string& name, int64_t age, size_t size = 100, const std::string& folder = kFolder) {
        CreateDirectoryA(folder.c_str(), nullptr);
        ShiftClock(-age);
        WriteWholeFile(folder + "\\" + name, std::string(size, 'o'));
        ShiftClock(age);
    }
    // Applies the settings, writes one batch (the current day file) and
    // runs the rules.
    void Run(const _VANTA_WEV_LOGGING_SETTINGS& settings) {
        logger_.RetrieveINISettings(settings);
        Records one("r", 1, 1);
        logger_.CopyLogsToFile(&one.list);
        logger_.CheckForCopyAndDelete();
    }
    static std::string Current() { return DayFile().substr(strlen(kFolder) + 1); }

    CEvWEVLogQueue logger_;
};

TEST_F(RetentionTest, AgesAreWholeDaysFromCreationAndOnlyLogFilesAreTouched) {
    OldFile("a_2013_ 3_ 2.csv", 3 * kDay + kHour);    // 3 days old: deleted
    OldFile("b_2013_ 3_ 3.csv", 3 * kDay - kHour);    // 2 days old: kept
    OldFile("c_2013_02_01@12.csv", 30 * kDay);        // a rolled-over file: deleted
    OldFile("notes.csv", 30 * kDay);                  // not a log: kept
    OldFile("d_2013_ 3_ 1.csv.1234-1.tmp", 30 * kDay);
    CreateDirectoryA("C:\\Logs\\e_2013_ 3_ 1.csv", nullptr);  // a folder: kept
    _VANTA_WEV_LOGGING_SETTINGS settings = Basic();
    settings.dwDeleteFlags = 1;
    settings.dwDeleteDays = 3;
    Run(settings);
    EXPECT_EQ(Names(kFolder), (std::vector<std::string>{Current(), "b_2013_ 3_ 3.csv", "d_2013_ 3_ 1.csv.1234-1.tmp",
                                                        "e_2013_ 3_ 1.csv", "notes.csv"}));
}

TEST_F(RetentionTest, AClockSetBackMakesNoFileOldEnoughToCopyMoveOrDelete) {
    OldFile("a_2013_ 3_ 1.csv", 4 * kDay);
    OldFile("b_2013_ 3_ 4.csv", kDay);
    // The clock goes back 30 days: every file now comes from the future.
    SetLocalClock(2013, 2, 3);
    _VANTA_WEV_LOGGING_SETTINGS settings = Extended(kFolder, kCopies, 2, 1);
    settings.dwExtCopyDays = 1;
    settings.dwExtDeleteDays = 1;
    Run(settings);
    EXPECT_EQ(Names(kFolder), (std::vector<std::string>{DayFile(DefaultBase(), "2013_ 2_ 3").substr(8),
                                                        "a_2013_ 3_ 1.csv", "b_2013_ 3_ 4.csv"}));
    EXPECT_TRUE(Names(kCopies).empty());
}

TEST_F(RetentionTest, AFolderOverItsLimitLosesEveryLogButTheCurrentDayFile) {
    _VANTA_WEV_LOGGING_SETTINGS settings = Basic();
    settings.dwDeleteFlags = 2;
    settings.dwFolderSizeMB = 1;
    // Under the limit: nothing goes.
    OldFile("a_2013_ 3_ 1.csv", kDay, 300000);
    OldFile("b_2013_ 3_ 2.csv", kDay, 300000);
    Run(settings);
    EXPECT_EQ(Names(kFolder).size(), 3u);
    // 1.5 MiB of older files: all go at the end of the next batch.
    OldFile("c_2013_ 3_ 3.csv", kDay, 0x100000 - 300000);
    logger_.CheckForCopyAndDelete();
    EXPECT_EQ(Names(kFolder), std::vector<std::string>{Current()});
    // The current day file alone over the limit stays too.
    Records big("big", 1, 1000, 1020);  // rows of 1,080 bytes, estimated at 1,048
    logger_.CopyLogsToFile(&big.list);
    logger_.CheckForCopyAndDelete();
    EXPECT_EQ(Names(kFolder), std::vector<std::string>{Current()});
    EXPECT_GT(ReadWholeFile(DayFile()).size(), 0x100000u);
}

TEST_F(RetentionTest, CopiesAfterEveryBatchGoOverEarlierCopiesAndLeaveTheCurrentDayFile) {
    OldFile("a_2013_ 3_ 1.csv", kDay, 1000);
    OldFile("b_2013_ 3_ 2@1.csv", kDay, 70000);  // more than one read
    Run(Extended(kFolder, std::string(kCopies) + "\\", 1, 0));
    EXPECT_EQ(Names(kCopies), (std::vector<std::string>{"a_2013_ 3_ 1.csv", "b_2013_ 3_ 2@1.csv"}));
    EXPECT_EQ(ReadWholeFile(std::string(kCopies) + "\\b_2013_ 3_ 2@1.csv"), std::string(70000, 'o'));
    EXPECT_EQ(Names(kFolder).size(), 3u);
    // A changed copy is copied over after the next batch.
    WriteWholeFile(std::string(kCopies) + "\\a_2013_ 3_ 1.csv", "changed");
    logger_.CheckForCopyAndDelete();
    EXPECT_EQ(ReadWholeFile(std::string(kCopies) + "\\a_2013_ 3_ 1.csv"), std::string(1000, 'o'));
}

TEST_F(RetentionTest, CopiesByAgeTakeTheOlderFilesOnly) {
    OldFile("a_2013_ 3_ 1.csv", 2 * kDay + kHour);
    OldFile("b_2013_ 3_ 4.csv", 2 * kDay - kHour);
    _VANTA_WEV_LOGGING_SETTINGS settings = Extended(kFolder, kCopies, 2, 0);
    settings.dwExtCopyDays = 2;
    Run(settings);
    EXPECT_EQ(Names(kCopies), std::vector<std::string>{"a_2013_ 3_ 1.csv"});
    EXPECT_EQ(Names(kFolder).size(), 3u);
}

TEST_F(RetentionTest, AMoveDeletesOnlyWhatWasCopiedAndNeverIntoTheLogFolderItself) {
    OldFile("a_2013_ 3_ 1.csv", kDay, 500);
    OldFile("b_2013_ 3_ 2.csv", kDay, 600);
    // The log folder as the copy folder (spelled otherwise): a move would
    // delete each file after copying it onto itself.
    // (Moving needs copying on: the copy folder is set by the copy flags.)
    Run(Extended(kFolder, "c:\\LOGS\\", 2, 4));
    EXPECT_EQ(Names(kFolder).size(), 3u);
    // The disk fills during the first copy: that file stays where it is,
    // and no partial copy is left anywhere.
    logger_.RetrieveINISettings(Extended(kFolder, kCopies, 2, 4));
    w32rt_fail_syscall("write", 1, ENOSPC);
    logger_.CheckForCopyAndDelete();
    w32rt_clear_syscall_faults();
    const std::vector<std::string> left = Names(kFolder), copied = Names(kCopies);
    ASSERT_EQ(left.size(), 2u);
    ASSERT_EQ(copied.size(), 1u);
    EXPECT_TRUE(std::find(left.begin(), left.end(), copied[0]) == left.end());
    EXPECT_EQ(ReadWholeFile(std::string(kCopies) + "\\" + copied[0]).size(), copied[0][0] == 'a' ? 500u : 600u);
    // The next batch moves it.
    logger_.CheckForCopyAndDelete();
    EXPECT_EQ(Names(kFolder), std::vector<std::string>{Current()});
    EXPECT_EQ(Names(kCopies), (std::vector<std::string>{"a_2013_ 3_ 1.csv", "b_2013_ 3_ 2.csv"}));
    EXPECT_EQ(ReadWholeFile(std::string(kCopies) + "\\b_2013_ 3_ 2.csv"), std::string(600, 'o'));
}

TEST_F(RetentionTest, AnEmptyOrMissingLogFolderIsNoError) {
    _VANTA_WEV_LOGGING_SETTINGS settings = Extended("C:\\Nowhere", kCopies, 1, 7);
    settings.dwExtFolderSizeMB = 1;
    logger_.RetrieveINISettings(settings);
    logger_.CheckForCopyAndDelete();
    EXPECT_FALSE(FileExists("C:\\Nowhere"));
    EXPECT_FALSE(FileExists(kCopies));
}

}  // namespace
