// The CSV logging settings in the registry as the event engine reads them:
// defaults, stored values, unusable values, the master switch, and the
// watcher that hands them on at start and after every change.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "csvlog_fixture.h"
#include "csvlog_settings.h"

using namespace csvlog_test;
using namespace evtrace::csvlog;
using testing_support::eventually;

namespace {

class CsvLogSettingsTest : public CsvLogTest {
protected:
    static HKEY Key() {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLogViewerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  0);
        return key;
    }
    static void SetDword(const char* name, DWORD value) {
        HKEY key = Key();
        EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), 0);
        RegCloseKey(key);
    }
    static void SetText(const char* name, const std::string& text, DWORD type = REG_SZ) {
        HKEY key = Key();
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                 DWORD(text.size() + 1)),
                  0);
        RegCloseKey(key);
    }
};

TEST_F(CsvLogSettingsTest, MissingValuesTakeTheirDefaultsAndUnusableOnesAreReported) {
    ReadResult none = ReadSettings();
    EXPECT_EQ(none.keyStatus, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(none.settings.dwEnable, 0u);
    EXPECT_STREQ(none.settings.szLogFolder, "C:\\ProgramData\\Vanta\\Wireless\\EventViewer");
    EXPECT_EQ(none.settings.dwMaxFileSizeMB, 1u);
    EXPECT_EQ(none.settings.dwExtCopyDays, 7u);

    SetDword("Enable", 1);
    SetText("LogFolder", "D:\\Wev\\");
    SetDword("maxfilesizemb", 8);  // names without regard to case
    SetDword("FolderSizeMB", 0);   // outside 1 to 4095
    SetText("DeleteDays", "30");   // a text where a number belongs
    SetText("LogName", "a|b");
    SetText("ExtCopyFolder", "relative\\folder");
    SetDword("UseExtended", 1);
    SetText("ExtLogFolder", "E:\\Ext", REG_EXPAND_SZ);
    ReadResult read = ReadSettings();
    EXPECT_EQ(read.keyStatus, ERROR_SUCCESS);
    EXPECT_EQ(read.settings.dwEnable, 1u);
    EXPECT_STREQ(read.settings.szLogFolder, "D:\\Wev");
    EXPECT_EQ(read.settings.dwMaxFileSizeMB, 8u);
    EXPECT_EQ(read.settings.dwFolderSizeMB, 100u);
    EXPECT_EQ(read.settings.dwDeleteDays, 30u);
    EXPECT_STREQ(read.settings.szLogName, "");
    EXPECT_EQ(read.settings.dwUseExtended, 1u);
    EXPECT_STREQ(read.settings.szExtLogFolder, "E:\\Ext");
    EXPECT_EQ(read.problems.size(), 4u);
    for (const char* name : {"\"FolderSizeMB\"", "\"DeleteDays\"", "\"LogName\"", "\"ExtCopyFolder\""}) {
        bool found = false;
        for (const std::string& problem : read.problems) found |= problem.rfind(name, 0) == 0;
        EXPECT_TRUE(found) << name;
    }
    // Enable is the master switch: off whichever rules are chosen.
    SetDword("Enable", 0);
    read = ReadSettings();
    EXPECT_EQ(read.settings.dwEnable, 0u);
    EXPECT_EQ(read.settings.dwUseExtended, 0u);
    EXPECT_EQ(read.stored.dwUseExtended, 1u);  // as stored, for people
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(read.settings);
    EXPECT_EQ(logger.m_bEnabled, 0u);
}

TEST_F(CsvLogSettingsTest, ValuesAreCheckedBeforeTheyAreStored) {
    const struct {
        const char* name;
        const char* text;
        const char* stored;  // null: refused
    } cases[] = {
        {"Enable", "1", "1"},
        {"Enable", "2", nullptr},
        {"MaxFileSizeMB", "4095", "4095"},
        {"MaxFileSizeMB", "4096", nullptr},
        {"MaxFileSizeMB", "0", nullptr},
        {"DeleteDays", "0", "0"},
        {"DeleteDays", "-1", nullptr},
        {"DeleteDays", "1e3", nullptr},
        {"DeleteDays", "99999999999", nullptr},
        {"DeleteDays", "", nullptr},
        {"ExtDeleteFlags", "7", "7"},
        {"ExtDeleteFlags", "8", nullptr},
        {"LogFolder", "C:\\Logs\\", "C:\\Logs"},
        {"LogFolder", "C:\\", "C:\\"},
        {"LogFolder", "Logs", nullptr},
        {"LogFolder", "C:\\a?b", nullptr},
        {"LogFolder", "C:\\a:b", nullptr},
        {"LogFolder", "", nullptr},
        {"ExtCopyFolder", "", ""},
        {"LogName", "Field Office", "Field Office"},
        {"LogName", "", ""},
        {"LogName", "..\\up", nullptr},
        {"LogName", "tab\there", nullptr},
        {"LogName", "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", nullptr},  // 33 characters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.text);
        const SettingInfo* info = FindValue(c.name);
        ASSERT_NE(info, nullptr);
        DWORD number = 0;
        std::string canonical;
        const std::string why = CheckValue(*info, c.text, &number, &canonical);
        if (c.stored == nullptr) {
            EXPECT_FALSE(why.empty());
        } else {
            EXPECT_EQ(why, "");
            EXPECT_EQ(canonical, c.stored);
        }
    }
    EXPECT_EQ(FindValue("WEVFileCount"), nullptr);
    EXPECT_EQ(FindValue("extcopyfolder"), FindValue("ExtCopyFolder"));
}

TEST_F(CsvLogSettingsTest, TheWatcherHandsTheSettingsAtStartAndAfterEachChangeOnly) {
    std::mutex mutex;
    std::vector<_VANTA_WEV_LOGGING_SETTINGS> handed;
    SettingsWatcher watcher;
    std::string error;
    // The key does not exist yet: a key above it is watched.
    ASSERT_TRUE(watcher.Start(
        [&](const _VANTA_WEV_LOGGING_SETTINGS& s) {
            std::lock_guard<std::mutex> lock(mutex);
            handed.push_back(s);
        },
        &error))
        << error;
    auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return handed.size();
    };
    auto last = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return handed.back();
    };
    ASSERT_EQ(count(), 1u);
    EXPECT_EQ(last().dwEnable, 0u);
    SetDword("Enable", 1);
    ASSERT_TRUE(eventually([&] { return count() == 2; }));
    EXPECT_EQ(last().dwEnable, 1u);
    SetText("LogFolder", "C:\\Elsewhere");
    ASSERT_TRUE(eventually([&] { return count() == 3; }));
    EXPECT_STREQ(last().szLogFolder, "C:\\Elsewhere");
    // The logger's own counter, or a value rewritten as it was, changes no
    // setting.
    SetDword("WEVFileCount", 9);
    SetText("LogFolder", "C:\\Elsewhere");
    Sleep(300);
    EXPECT_EQ(count(), 3u);
    // The key goes: defaults again; it comes back: its values again.
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kLogViewerKey), 0);
    ASSERT_TRUE(eventually([&] { return count() == 4; }));
    EXPECT_EQ(last().dwEnable, 0u);
    SetDword("Enable", 1);
    ASSERT_TRUE(eventually([&] { return count() == 5; }));
    watcher.Stop();
    SetDword("Enable", 0);
    Sleep(300);
    EXPECT_EQ(count(), 5u);
}

}  // namespace
