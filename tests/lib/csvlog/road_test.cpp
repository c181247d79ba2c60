// The whole road as the event engine runs it: provider processes emit into
// the session, a listener in this process feeds a data queue, and the
// settings watcher hands the registry's logging settings to the queue at
// start and after every change. The day files receive every event.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../consumer/listening_queue.h"
#include "csvlog_fixture.h"
#include "csvlog_settings.h"

using namespace csvlog_test;
using testing_support::eventually;

namespace {

// Registers provider argv[1] and emits argv[2] texts "<name>-1"... as fast as
// the session takes them (a refused event is tried again).
TEST_HELPER(road_provider) {
    if (argc < 3) return 2;
    EVT_PROVIDER_INFO info = {};
    strncpy(info.m_szInstanceName, argv[1], sizeof info.m_szInstanceName - 1);
    ULONG handle = 0;
    if (RegisterEvTrace(&handle, &info) != S_OK) return 1;
    const int count = atoi(argv[2]);
    for (int i = 1; i <= count; ++i) {
        const std::string text = std::string(argv[1]) + "-" + std::to_string(i);
        int tries = 0;
        while (EvTraceString(handle, 51, 0x1001, text.c_str(), nullptr, nullptr, 0) != S_OK) {
            if (++tries > 100000) return 3;
            Sleep(tries % 100 == 0 ? 1 : 0);
        }
    }
    UnRegisterEvTrace(handle);
    return 0;
}

CEvDataQueue* g_queue = nullptr;

class RoadTest : public CsvLogTest {
protected:
    void SetUp() override {
        CsvLogTest::SetUp();
        CEvTrace::s_hRTSession = 0;
    }
    void TearDown() override {
        if (provider_ != 0) UnRegisterEvTrace(provider_);
        EvtUnInitialize();
        CEvTrace::s_hRTSession = 0;
        CsvLogTest::TearDown();
    }
    static void Set(const char* name, const void* data, DWORD size, DWORD type) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLogViewerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  0);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), 0);
        RegCloseKey(key);
    }
    static void SetDword(const char* name, DWORD value) { Set(name, &value, 4, REG_DWORD); }
    static void SetText(const char* name, const std::string& text) {
        Set(name, text.c_str(), DWORD(text.size() + 1), REG_SZ);
    }
    bool Queued(const std::string& text) {
        EnterCriticalSection(&g_queue->m_csQueue);
        bool found = false;
        for (const CEvDataQueueInfo* entry : g_queue->m_Events)
            found |= strncmp(reinterpret_cast<const char*>(entry->m_pData->Data), text.c_str(), text.size() + 1) == 0;
        LeaveCriticalSection(&g_queue->m_csQueue);
        return found;
    }
    void RunProviders(const std::vector<std::pair<std::string, int>>& providers) {
        std::vector<testing_support::ChildProcess> children;
        for (const auto& [name, count] : providers)
            children.push_back(testing_support::spawn_helper("road_provider", {name, std::to_string(count)}));
        for (auto& child : children) EXPECT_EQ(child.wait(), 0);
    }
    ULONG provider_ = 0;
};

// Per provider, the numbers of its texts in the order of the rows; and
// whether the rows are numbered 1, 2, 3...
std::map<std::string, std::vector<int>> BySource(const std::vector<std::string>& rows, bool* numbered) {
    std::map<std::string, std::vector<int>> out;
    *numbered = true;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string& row = rows[i];
        *numbered &= row.substr(0, row.find(':')) == std::to_string(i + 1);
        const std::string text = row.substr(row.find(':') + 1);
        out[text.substr(0, text.find('-'))].push_back(atoi(text.c_str() + text.find('-') + 1));
    }
    return out;
}

std::vector<int> OneTo(int n) {
    std::vector<int> v;
    for (int i = 1; i <= n; ++i) v.push_back(i);
    return v;
}

TEST_F(RoadTest, EventsOfProviderProcessesReachTheDayFilesWithTheSettingsOfTheRegistry) {
    ASSERT_EQ(EvtInitialize(1), S_OK);
    ASSERT_EQ(EnableLogging(1), S_OK);
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, "RoadTest");
    ASSERT_EQ(RegisterEvTrace(&provider_, &info), S_OK);
    // A queue smaller than a batch: the logger must not depend on the
    // queue's records.
    HKEY eng = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vanta\\Wireless\\EvTrace\\Eng\\", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &eng, nullptr),
              0);
    const DWORD max = 20;
    RegSetValueExA(eng, "MaxEvents", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&max), 4);
    RegCloseKey(eng);

    // The engine's part: a queue fed by a listener on a thread of its own.
    CEvDataQueue queue;
    g_queue = &queue;
    consumer_test::ListeningQueue listening(&queue);
    evtrace::csvlog::SettingsWatcher watcher;
    std::string error;
    std::mutex lastLock;
    _VANTA_WEV_LOGGING_SETTINGS last = {};
    ASSERT_TRUE(watcher.Start(
        [&](const _VANTA_WEV_LOGGING_SETTINGS& s) {
            queue.LoggingSettingsChanged(s);
            std::lock_guard<std::mutex> lock(lastLock);
            last = s;
        },
        &error))
        << error;
    auto handed = [&](DWORD enable, const char* folder) {
        return eventually([&] {
            std::lock_guard<std::mutex> lock(lastLock);
            return last.dwEnable == enable && strcmp(last.szLogFolder, folder) == 0;
        });
    };

    // Until the listener is attached, then until every probe is through
    // (events of one thread arrive in order); nothing is logged yet.
    ASSERT_TRUE(eventually(
        [&] { return EvTraceString(provider_, 51, 0x1001, "probe", nullptr, nullptr, 0), Queued("probe"); },
        std::chrono::seconds(20)));
    ASSERT_TRUE(eventually(
        [&] { return EvTraceString(provider_, 51, 0x1001, "synced", nullptr, nullptr, 0), Queued("synced"); },
        std::chrono::seconds(20)));

    SetText("LogFolder", "C:\\Road\\");
    SetDword("Enable", 1);
    ASSERT_TRUE(handed(1, "C:\\Road"));
    RunProviders({{"p", 300}, {"q", 300}});
    const std::string road = DayFile(DefaultBase("C:\\Road"));
    ASSERT_TRUE(WaitForRows(road, 600)) << LogLines(road).rows().size() << " rows";
    bool numbered = false;
    auto sources = BySource(LogLines(road).rows(), &numbered);
    EXPECT_TRUE(numbered);
    EXPECT_EQ(sources["p"], OneTo(300));
    EXPECT_EQ(sources["q"], OneTo(300));
    EXPECT_EQ(sources.size(), 2u);

    // Another folder: the next batch goes there, numbered from 1.
    SetText("LogFolder", "C:\\Road2");
    ASSERT_TRUE(handed(1, "C:\\Road2"));
    RunProviders({{"r", 200}});
    const std::string road2 = DayFile(DefaultBase("C:\\Road2"));
    ASSERT_TRUE(WaitForRows(road2, 200));
    sources = BySource(LogLines(road2).rows(), &numbered);
    EXPECT_TRUE(numbered);
    EXPECT_EQ(sources["r"], OneTo(200));

    // Switched off: nothing more is written.
    SetDword("Enable", 0);
    ASSERT_TRUE(handed(0, "C:\\Road2"));
    RunProviders({{"s", 250}});
    ASSERT_TRUE(eventually([&] { return Queued("s-250"); }, std::chrono::seconds(20)));
    watcher.Stop();
    EXPECT_EQ(LogLines(road2).rows().size(), 200u);
    EXPECT_EQ(LogLines(road).rows().size(), 600u);
    EXPECT_EQ(queue.m_Events.size(), 20u);
}

}  // namespace
