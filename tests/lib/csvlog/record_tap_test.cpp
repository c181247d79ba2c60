// The data queue's record tap: a host sees every record the queue takes, in
// its order, beside the CSV logger's hand-off (also with a capacity of 0),
// never a refused one; removing the tap waits for a call in progress.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "csvlog_fixture.h"

using namespace csvlog_test;

namespace {

struct Event {
    Event(const std::string& text, int64_t time, uint32_t type = 51) : data(1312 + text.size() + 8, 0) {
        const uint32_t head[4] = {0x55AA55AA, uint32_t(1312 + text.size()), 0x1001, type};
        memcpy(data.data(), head, sizeof head);
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

struct Seen {
    std::vector<std::string> texts;
    std::vector<DWORD> sizes;
};

void Collect(void* context, const _VANTA_EVTRACE_DATA* record, DWORD size) {
    auto* seen = static_cast<Seen*>(context);
    seen->texts.emplace_back(reinterpret_cast<const char*>(record->Data), record->dwDataLen);
    seen->sizes.push_back(size);
}

class RecordTapTest : public CsvLogTest {
protected:
    void TearDown() override {
        CEvDataQueue::SetRecordTap(nullptr, nullptr);
        CsvLogTest::TearDown();
    }
    void SetMaxEvents(DWORD max) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vanta\\Wireless\\EvTrace\\Eng\\", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  0);
        ASSERT_EQ(RegSetValueExA(key, "MaxEvents", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&max), sizeof max), 0);
        RegCloseKey(key);
    }
};

TEST_F(RecordTapTest, EveryRecordTheQueueTakesIsTappedInOrderAndNoRefusedOne) {
    for (DWORD capacity : {DWORD(3), DWORD(0)}) {
        SetMaxEvents(capacity);
        Seen seen;
        CEvDataQueue queue;
        CEvDataQueue::SetRecordTap(&Collect, &seen);
        // Falling times: the queue sorts them; the tap sees them as taken.
        std::vector<std::string> expected;
        for (int i = 0; i < 6; ++i) {
            Event event("e" + std::to_string(i), 1000 - i);
            EXPECT_TRUE(queue.AddEvent(&event.trace));
            expected.push_back("e" + std::to_string(i));
            // Unified-log kinds and the start marker's neighbours.
            for (uint32_t type : {53u, 117u, 64u}) {
                Event refused("ul", 5, type);
                EXPECT_FALSE(queue.AddEvent(&refused.trace));
            }
        }
        Event marker("start", 2000, 66);
        EXPECT_TRUE(queue.AddEvent(&marker.trace));
        expected.push_back("start");
        EXPECT_EQ(seen.texts, expected) << "capacity " << capacity;
        EXPECT_EQ(queue.m_Events.size(), std::min<size_t>(capacity, 7));
        for (DWORD size : seen.sizes) EXPECT_GE(size, DWORD(EVT_RECORD_FIXED_SIZE));
        CEvDataQueue::SetRecordTap(nullptr, nullptr);
        Event after("after", 3000);
        queue.AddEvent(&after.trace);
        EXPECT_EQ(seen.texts.size(), expected.size());
    }
}

std::atomic<bool> g_inTap{false};
std::atomic<bool> g_release{false};
std::atomic<bool> g_tapReturned{false};

void SlowTap(void*, const _VANTA_EVTRACE_DATA*, DWORD) {
    g_inTap = true;
    while (!g_release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_tapReturned = true;
}

TEST_F(RecordTapTest, RemovingTheTapWaitsForACallInProgress) {
    CEvDataQueue queue;
    CEvDataQueue::SetRecordTap(&SlowTap, nullptr);
    std::thread feeder([&] {
        Event event("slow", 1);
        queue.AddEvent(&event.trace);
    });
    while (!g_inTap) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto removed = std::async(std::launch::async, [] {
        CEvDataQueue::SetRecordTap(nullptr, nullptr);
        return g_tapReturned.load();
    });
    EXPECT_EQ(removed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    g_release = true;
    EXPECT_TRUE(removed.get()) << "the removal returned before the tap did";
    feeder.join();
}

}  // namespace
