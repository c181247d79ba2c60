// The CSV logger on its own: settings, file names, batches of 200 from
// pushes, the header and row numbers, switching off, restarts, the size
// estimate and roll-over.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "csvlog_fixture.h"

using namespace csvlog_test;
using testing_support::eventually;

namespace {

TEST_F(CsvLogTest, SettingsChooseTheBaseNameAndTheSwitch) {
    auto named = [](std::string name) {
        _VANTA_WEV_LOGGING_SETTINGS s = Basic();
        strncpy(s.szLogName, name.c_str(), MAX_PATH - 1);
        return s;
    };
    _VANTA_WEV_LOGGING_SETTINGS extendedNamed = Extended();
    strcpy(extendedNamed.szExtLogName, "Ignored");
    _VANTA_WEV_LOGGING_SETTINGS basicOff = Basic();
    basicOff.dwEnable = 0;
    _VANTA_WEV_LOGGING_SETTINGS extendedWithoutEnable = Extended();  // dwEnable 0: the selector rules
    _VANTA_WEV_LOGGING_SETTINGS selector2 = named("Other");
    selector2.dwUseExtended = 2;
    _VANTA_WEV_LOGGING_SETTINGS unterminated = Basic();
    memset(unterminated.szLogName, 'n', MAX_PATH);  // no zero: cut at 259
    _VANTA_WEV_LOGGING_SETTINGS tooLong = Basic(std::string("C:\\") + std::string(240, 'f'));
    const struct {
        const char* what;
        _VANTA_WEV_LOGGING_SETTINGS settings;
        DWORD enabled;
        std::string base;
    } cases[] = {
        {"empty name", Basic(), 1, DefaultBase()},
        {"the placeholder name", named("ComputerName_UserDomain"), 1, DefaultBase()},
        {"placeholder in other case is a name", named("computername_userdomain"), 1,
         "C:\\Logs\\computername_userdomain"},
        {"a name, trimmed", named("  Field Office \t"), 1, "C:\\Logs\\Field Office"},
        {"folder with trailing backslashes", Basic("C:\\Logs\\\\"), 1, DefaultBase()},
        {"extended names ignore the name", extendedNamed, 1, DefaultBase()},
        {"basic rules switched off", basicOff, 0, ""},
        {"extended rules ignore dwEnable", extendedWithoutEnable, 1, DefaultBase()},
        {"any other selector means basic", selector2, 1, "C:\\Logs\\Other"},
        {"too long for file names", tooLong, 0, ""},
        {"folder and name too long together", unterminated, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(c.settings);
        EXPECT_EQ(logger.m_bEnabled, c.enabled);
        if (!c.enabled) continue;
        EXPECT_EQ(std::string(logger.m_szLogBase), c.base);
        EXPECT_EQ(std::string(logger.m_szLogFolder), "C:\\Logs");
        Records one("r", 1, 1);
        logger.CopyLogsToFile(&one.list);
        EXPECT_EQ(LogLines(DayFile(c.base)).rows().back(), "1:r1");
        EXPECT_EQ(std::string(logger.m_szCurrentFile), DayFile(c.base));
    }
}

TEST_F(CsvLogTest, SettingsChooseTheRulesAndLimits) {
    _VANTA_WEV_LOGGING_SETTINGS basic = Basic("C:\\Logs", "", 3);
    basic.dwDeleteFlags = 3;
    basic.dwDeleteDays = 9;
    basic.dwFolderSizeMB = 2;
    basic.dwExtCopyFlags = 1;  // an extended field: the basic rules never copy
    _VANTA_WEV_LOGGING_SETTINGS everyBatch = Extended("C:\\Logs", "C:\\Copies\\", 1, 4);
    _VANTA_WEV_LOGGING_SETTINGS byAge = Extended("C:\\Logs", "C:\\Copies", 2, 3);
    byAge.dwExtCopyDays = 4;
    byAge.dwExtDeleteDays = 6;
    byAge.dwExtFolderSizeMB = 5000;  // beyond 32 bits in bytes: the largest limit
    byAge.dwExtMaxFileSizeMB = 7;
    const struct {
        const char* what;
        _VANTA_WEV_LOGGING_SETTINGS settings;
        // maxSize, folderLimit, copyDays, deleteDays, copy, everyBatch, rules, byDate, bySize, move
        std::vector<DWORD> expected;
        const char* copyFolder;
    } cases[] = {
        {"basic", basic, {3u << 20, 2u << 20, 0, 9, 0, 0, 1, 1, 1, 0}, ""},
        {"extended: copy every batch, move", everyBatch, {1u << 20, 1u << 20, 0, 0, 1, 1, 1, 0, 0, 1}, "C:\\Copies"},
        {"extended: copy by age", byAge, {7u << 20, 0xFFFFFFFFu, 4, 6, 1, 0, 1, 1, 1, 0}, "C:\\Copies"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(c.settings);
        const std::vector<DWORD> got = {logger.m_dwMaxFileSize, logger.m_dwFolderSizeLimit, logger.m_dwCopyDays,
                                        logger.m_dwDeleteDays,  logger.m_bCopy,             logger.m_bCopyEveryBatch,
                                        logger.m_bDeleteRules,  logger.m_bDeleteByDate,     logger.m_bDeleteBySize,
                                        logger.m_bMove};
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(std::string(logger.m_szCopyFolder), c.copyFolder);
        // Switching off resets the rules and limits.
        _VANTA_WEV_LOGGING_SETTINGS off = {};
        logger.RetrieveINISettings(off);
        EXPECT_EQ(logger.m_bEnabled | logger.m_bCopy | logger.m_bDeleteRules | logger.m_bMove, 0u);
        EXPECT_EQ(logger.m_dwMaxFileSize, 0x100000u);
    }
}

TEST_F(CsvLogTest, TheDateInTheNamePadsMonthAndDayWithSpaces) {
    const struct {
        WORD year, month, day;
        const char* date;
    } cases[] = {{2013, 3, 5, "2013_ 3_ 5"}, {2013, 11, 25, "2013_11_25"}, {2014, 1, 10, "2014_ 1_10"},
                 {2015, 12, 3, "2015_12_ 3"}};
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(Basic());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.date);
        SetLocalClock(c.year, c.month, c.day, 23);
        Records one("r", 1, 1);
        logger.CopyLogsToFile(&one.list);
        EXPECT_TRUE(FileExists(DayFile(DefaultBase(), c.date)));
    }
}

TEST_F(CsvLogTest, PushesAreWrittenInBatchesOf200WithOneHeaderAndRowNumbersAcrossBatches) {
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(Basic());
    Records first("r", 1, 200), second("r", 201, 200);
    for (size_t i = 0; i < 199; ++i) logger.PushDataInWEVLogFile(first.list[i]);
    Sleep(200);
    EXPECT_FALSE(FileExists(kFolder)) << "199 records stay pending";
    logger.PushDataInWEVLogFile(first.list[199]);
    ASSERT_TRUE(WaitForRows(DayFile(), 200));
    // The records were copied: the caller's may go at once.
    first.images.clear();
    Push(logger, second);
    ASSERT_TRUE(WaitForRows(DayFile(), 400));
    const LogLines log(DayFile());
    EXPECT_EQ(log.lines.front(), kHeader);
    EXPECT_EQ(log.headers(), 1u);
    EXPECT_TRUE(log.whole);
    EXPECT_EQ(log.rows(), Rows(1, "r", 1, 400));
    // A row in the text log format: number, source, local time, severity,
    // domain, user, text.
    FILETIME local;
    SYSTEMTIME t;
    FILETIME stamp = AsFileTime(0x01CE1998F6672000LL);
    FileTimeToLocalFileTime(&stamp, &local);
    FileTimeToSystemTime(&local, &t);
    char time[64];
    snprintf(time, sizeof time, "%02d/%02d/%d %02d:%02d:%02d", t.wMonth, t.wDay, t.wYear, t.wHour, t.wMinute,
             t.wSecond);
    EXPECT_EQ(log.lines[1], std::string("1,Src,") + time + ",Success,Security,user,r1");
}

TEST_F(CsvLogTest, SwitchingOffWritesThePendingRecordsAtTheNextPushAndIgnoresNewOnes) {
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(Basic());
    Records records("r", 1, 153);
    for (size_t i = 0; i < 150; ++i) logger.PushDataInWEVLogFile(records.list[i]);
    _VANTA_WEV_LOGGING_SETTINGS off = Basic();
    off.dwEnable = 0;
    logger.RetrieveINISettings(off);
    Sleep(100);
    EXPECT_FALSE(FileExists(DayFile()));
    logger.PushDataInWEVLogFile(records.list[150]);  // not kept: logging is off
    ASSERT_TRUE(WaitForRows(DayFile(), 150));
    logger.PushDataInWEVLogFile(records.list[151]);
    logger.PushDataInWEVLogFile(nullptr);
    Sleep(100);
    EXPECT_EQ(LogLines(DayFile()).rows(), Rows(1, "r", 1, 150));
}

TEST_F(CsvLogTest, ARestartedLoggerNumbersFromOneAndWritesItsPendingRecordsWhenDestroyed) {
    Records first("a", 1, 250), second("b", 1, 200);
    {
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(Basic());
        Push(logger, first);
        ASSERT_TRUE(WaitForRows(DayFile(), 200));
    }  // the 50 pending go out with the logger
    EXPECT_EQ(LogLines(DayFile()).rows(), Rows(1, "a", 1, 250));
    {
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(Basic());
        Push(logger, second);
        ASSERT_TRUE(WaitForRows(DayFile(), 450));
        // ResetWEVLog forgets what is pending.
        Records third("c", 1, 10);
        Push(logger, third);
        logger.ResetWEVLog();
    }
    const LogLines log(DayFile());
    EXPECT_EQ(log.rows(), Rows(1, "a", 1, 250) + Rows(1, "b", 1, 200));
    EXPECT_EQ(log.headers(), 1u);
}

TEST_F(CsvLogTest, TheSizeEstimateCountsTheTextsAndTwentyOne) {
    std::vector<uint8_t> image = RecordImage("0123456789", 1, "Source", "User");
    auto* record = reinterpret_cast<_VANTA_EVTRACE_DATA*>(image.data());
    strcpy(record->szProviderText, "prov");
    strcpy(record->szStringA, "A");
    strcpy(record->szStringB, "BB");
    memset(record->szSource, 's', sizeof record->szSource);  // no zero: counted up to 256
    CEvWEVLogQueue::RecordList list = {record, nullptr, record};
    CEvWEVLogQueue logger;
    const DWORD one = 256 + 4 + 4 + 1 + 2 + 10 + 21;
    EXPECT_EQ(logger.GetElementSize(&list, 0), one);
    EXPECT_EQ(logger.GetElementSize(&list, 1), 0u);
    EXPECT_EQ(logger.GetElementSize(&list, 3), 0u);
    EXPECT_EQ(logger.GetElementSize(&list, -1), 0u);
    EXPECT_EQ(logger.GetElementSize(nullptr, 0), 0u);
    EXPECT_EQ(logger.GetQueueSize(&list, 0, 3), 2 * one);
    EXPECT_EQ(logger.GetQueueSize(&list, 2, 2), 0u);
    EXPECT_EQ(logger.GetQueueSize(&list, 3, 1), 0u);
}


TEST_F(CsvLogTest, ABatchThatDoesNotFitRollsTheDayFileOverToTheRegistryCounterOrTheNextFreeNumber) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLogViewerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    const DWORD five = 5;
    ASSERT_EQ(RegSetValueExA(key, "WEVFileCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&five), 4), 0);
    CreateDirectoryA(kFolder, nullptr);
    OldDayFile(DayFile(), 0x100000 - 2000);
    const std::string old = ReadWholeFile(DayFile());
    const std::string taken = DefaultBase() + "_" + kDate + "@5.csv";
    WriteWholeFile(taken, "someone else's\r\n");
    {
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(Basic());
        // Each record is estimated at 500 + 3 + 4 + 21 bytes: three fit.
        Records records("x", 1, 10, 500);
        logger.CopyLogsToFile(&records.list);
        const std::string rolled = DefaultBase() + "_" + kDate + "@6.csv";
        const std::string bytes = ReadWholeFile(rolled);
        ASSERT_EQ(bytes.compare(0, old.size(), old), 0);
        const std::vector<std::string> rows = LogLines(rolled).rows();
        ASSERT_GE(rows.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(rows.end() - 3, rows.end()),
                  (std::vector<std::string>{"1:x1" + std::string(498, '.'), "2:x2" + std::string(498, '.'),
                                            "3:x3" + std::string(498, '.')}));
        EXPECT_EQ(ReadWholeFile(taken), "someone else's\r\n");
        const LogLines day(DayFile());
        EXPECT_EQ(day.lines.front(), kHeader);
        ASSERT_EQ(day.rows().size(), 7u);
        EXPECT_EQ(day.rows().front().substr(0, 5), "1:x4.");
        EXPECT_EQ(day.rows().back().substr(0, 6), "7:x10.");
    }
    DWORD stored = 0, size = sizeof stored;
    EXPECT_EQ(RegQueryValueExA(key, "WEVFileCount", nullptr, nullptr, reinterpret_cast<BYTE*>(&stored), &size), 0);
    EXPECT_EQ(stored, 7u);
    RegCloseKey(key);
}

TEST_F(CsvLogTest, AProcessThatMadeTheDayFileRollsItOverAsNumberOne) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLogViewerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    const DWORD five = 5;
    ASSERT_EQ(RegSetValueExA(key, "WEVFileCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&five), 4), 0);
    RegCloseKey(key);
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(Basic());
    // A new day file takes a whole list, even beyond the limit.
    Records big("big", 1, 1000, 1020);
    logger.CopyLogsToFile(&big.list);
    EXPECT_EQ(LogLines(DayFile()).rows().size(), 1000u);
    Records next("n", 1, 2);
    logger.CopyLogsToFile(&next.list);
    EXPECT_EQ(LogLines(DefaultBase() + "_" + kDate + "@1.csv").rows().size(), 1000u);
    EXPECT_EQ(LogLines(DayFile()).rows(), Rows(1, "n", 1, 2));
}

}  // namespace

namespace {

TEST_F(CsvLogTest, ARecordWhoseTimeCannotBeShownIsLeftOutAndCounted) {
    DebugCapture debug;
    Records records("r", 1, 3);
    Records bad("bad", 1, 1);
    bad.list[0]->ftTimeStamp = FILETIME{0xFFFFFFFFu, 0xFFFFFFFFu};
    CEvWEVLogQueue::RecordList list = {records.list[0], bad.list[0], nullptr, records.list[1], records.list[2]};
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(Basic());
    logger.CopyLogsToFile(&list);
    EXPECT_EQ(LogLines(DayFile()).rows(), Rows(1, "r", 1, 3));
    EXPECT_NE(debug.All().find("1 records could not be written"), std::string::npos) << debug.All();
}

}  // namespace
