// The data queue and its CSV logger: every kept event reaches the log files,
// also when the queue evicts it before its batch is written or the view is
// cleared, and the logger lives as long as any queue of the process.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "csvlog_fixture.h"

using namespace csvlog_test;

namespace {

constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";

// A text event as the session delivers it (fixed block, text, 8 zeros).
struct Event {
    Event(const std::string& text, int64_t time, uint32_t type = 51) : data(1312 + text.size() + 8, 0) {
        const uint32_t head[4] = {0x55AA55AA, uint32_t(1312 + text.size()), 0x1001, type};
        memcpy(data.data(), head, sizeof head);
        memcpy(data.data() + 24, "Queue", 5);
        memcpy(data.data() + 280, "tester", 6);
        memcpy(data.data() + 1312, text.data(), text.size());
        trace.Header.Class.Type = 51;
        trace.Header.TimeStamp.QuadPart = time;
        trace.MofData = data.data();
        trace.MofLength = uint32_t(data.size());
    }
    Event(const Event&) = delete;
    std::vector<uint8_t> data;
    EVENT_TRACE trace = {};
};

void Add(CEvDataQueue& queue, const std::string& prefix, int first, int count) {
    for (int i = first; i < first + count; ++i) {
        // Falling time stamps: each new event is the oldest and is evicted
        // at once from a full queue.
        Event event(prefix + std::to_string(i), 0x01CE000000000000LL - i);
        EXPECT_TRUE(queue.AddEvent(&event.trace));
    }
}

void SetMaxEvents(DWORD max) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(key, "MaxEvents", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&max), sizeof max), 0);
    RegCloseKey(key);
}

TEST_F(CsvLogTest, EveryKeptEventIsLoggedAlsoWhenTheQueueEvictedItOrWasCleared) {
    SetMaxEvents(5);
    DebugCapture debug;
    {
        CEvDataQueue queue;
        queue.LoggingSettingsChanged(Basic());
        EXPECT_EQ(debug.Count("TraceAPI: Settings changed"), 1u);
        Add(queue, "e", 1, 100);
        Event unified("unified log", 1, 53);
        EXPECT_FALSE(queue.AddEvent(&unified.trace));  // never queued, never logged
        Add(queue, "e", 101, 100);
        EXPECT_EQ(queue.m_Events.size(), 5u);
        ASSERT_TRUE(WaitForRows(DayFile(), 200));
        // The user clears the view: the pending records still reach the log.
        Add(queue, "e", 201, 50);
        EXPECT_EQ(queue.DeleteAllEvents(), S_OK);
        EXPECT_TRUE(queue.m_Events.empty());
    }  // the last queue takes the logger with it, which writes what is pending
    EXPECT_EQ(LogLines(DayFile()).rows(), Rows(1, "e", 1, 250));
}

TEST_F(CsvLogTest, TheLoggerLivesAsLongAsAnyQueueAndANewOneWaitsForSettings) {
    {
        CEvDataQueue first;
        {
            CEvDataQueue second;
            second.LoggingSettingsChanged(Basic());
            CEvDataQueue copy(second);
        }
        Add(first, "a", 1, 200);
        ASSERT_TRUE(WaitForRows(DayFile(), 200));
    }
    CEvDataQueue later;  // a logger of its own, off until settings arrive
    Add(later, "b", 1, 400);
    Sleep(200);
    EXPECT_EQ(LogLines(DayFile()).rows(), Rows(1, "a", 1, 200));
    later.LoggingSettingsChanged(Basic("C:\\Later"));
    Add(later, "c", 1, 200);
    EXPECT_TRUE(WaitForRows(DayFile(DefaultBase("C:\\Later")), 200));
}

TEST_F(CsvLogTest, CopiesOfALoggerTakeItsSettingsButNotItsRecords) {
    CEvWEVLogQueue original;
    original.RetrieveINISettings(Basic("C:\\Logs", "Original", 2));
    Records pending("p", 1, 150);
    Push(original, pending);
    CEvWEVLogQueue copy(original);
    EXPECT_EQ(copy.m_bEnabled, 1u);
    EXPECT_EQ(std::string(copy.m_szLogBase), "C:\\Logs\\Original");
    EXPECT_EQ(copy.m_dwMaxFileSize, 2u << 20);
    EXPECT_TRUE(copy.m_pPending != original.m_pPending);
    EXPECT_TRUE(copy.m_pPending->empty());
    CEvWEVLogQueue assigned;
    assigned = original;
    EXPECT_EQ(std::string(assigned.m_szLogBase), "C:\\Logs\\Original");
    Records more("q", 1, 200);
    Push(copy, more);
    ASSERT_TRUE(WaitForRows(DayFile("C:\\Logs\\Original"), 200));
    EXPECT_EQ(LogLines(DayFile("C:\\Logs\\Original")).rows(), Rows(1, "q", 1, 200));
}

}  // namespace
