// The event data queue: capacity from the registry, newest first, the
// unified-log kinds refused, the live snapshot it writes, and entries that
// wipe their records.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

#include "consumer_fixture.h"
#include "event_builder.h"

using namespace consumer_test;

// The entries' records are freed with delete[]: this program's replacement
// (with the matching new[]) lets a test look at a record's bytes the moment
// it is released.
namespace {
std::atomic<void*> g_watched{nullptr};
std::atomic<size_t> g_watchedSize{0};
std::atomic<int> g_watchedZeroed{-1};

void Inspect(void* p) {
    if (p == nullptr || p != g_watched.load()) return;
    const unsigned char* bytes = static_cast<const unsigned char*>(p);
    bool zero = true;
    for (size_t i = 0; i < g_watchedSize.load(); ++i) zero = zero && bytes[i] == 0;
    g_watchedZeroed = zero ? 1 : 0;
    g_watched = nullptr;
}
}  // namespace

__attribute__((visibility("default"))) void* operator new[](std::size_t size) {
    void* p = malloc(size > 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
__attribute__((visibility("default"))) void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return malloc(size > 0 ? size : 1);
}
__attribute__((visibility("default"))) void operator delete[](void* p) noexcept {
    Inspect(p);
    free(p);
}
__attribute__((visibility("default"))) void operator delete[](void* p, std::size_t) noexcept {
    Inspect(p);
    free(p);
}

namespace {

class DataQueueTest : public ConsumerTest {};

Event Text(const std::string& text, int64_t time, uint32_t type = 51) {
    Fixed f;
    f.type = type;
    return TextEvent(text, f, time);
}

std::vector<std::string> Texts(const CEvDataQueue& queue) {
    std::vector<std::string> out;
    for (const CEvDataQueueInfo* entry : queue.m_Events) out.push_back(RecordText(entry->m_pData));
    return out;
}

TEST_F(DataQueueTest, CapacityComesFromTheRegistry) {
    EXPECT_EQ(CEvDataQueue().m_dwMaxEvents, 200u);
    SetDword(kEngKey, "MaxEvents", 900);
    EXPECT_EQ(CEvDataQueue().m_dwMaxEvents, 500u);
    SetDword(kEngKey, "MaxEvents", 3);
    EXPECT_EQ(CEvDataQueue().m_dwMaxEvents, 3u);
}

TEST_F(DataQueueTest, AFullQueueLosesExactlyItsOldestRecord) {
    SetDword(kEngKey, "MaxEvents", 3);
    CEvDataQueue queue;
    for (int i = 1; i <= 5; ++i) {
        Event e = Text("e" + std::to_string(i), 1000 + i);
        EXPECT_TRUE(queue.AddEvent(e.get()));
        EXPECT_EQ(queue.m_Events.size(), size_t(i < 3 ? i : 3));
    }
    EXPECT_EQ(Texts(queue), (std::vector<std::string>{"e5", "e4", "e3"}));
}

TEST_F(DataQueueTest, ZeroCapacityKeepsNothingButAcceptsEverything) {
    SetDword(kEngKey, "MaxEvents", 0);
    CEvDataQueue queue;
    Event e = Text("x", 1);
    EXPECT_TRUE(queue.AddEvent(e.get()));
    EXPECT_TRUE(queue.AddEvent(e.get()));
    EXPECT_TRUE(queue.m_Events.empty());
}

TEST_F(DataQueueTest, RecordsAreOrderedNewestFirstWhateverTheirArrival) {
    CEvDataQueue queue;
    for (auto [text, time] : std::vector<std::pair<std::string, int64_t>>{
             {"t20", 20}, {"t10", 10}, {"t30", 30}, {"t20b", 20}, {"t5", 5}, {"t30b", 30}}) {
        Event e = Text(text, time);
        ASSERT_TRUE(queue.AddEvent(e.get()));
    }
    // Equal times: the later arrival goes ahead.
    EXPECT_EQ(Texts(queue), (std::vector<std::string>{"t30b", "t30", "t20b", "t20", "t10", "t5"}));
    // Time stamps compare as signed 64-bit numbers.
    Event negative = Text("neg", -1);
    ASSERT_TRUE(queue.AddEvent(negative.get()));
    EXPECT_EQ(Texts(queue).back(), "neg");
}

TEST_F(DataQueueTest, UnifiedLogKindsAreRefused) {
    CEvDataQueue queue;
    for (uint32_t type : {53u, 54u, 55u, 56u, 57u, 58u, 59u, 60u, 61u, 62u, 63u, 64u, 117u, 127u}) {
        Event e = Text("ul", 1, type);
        EXPECT_FALSE(queue.AddEvent(e.get())) << type;
    }
    EXPECT_TRUE(queue.m_Events.empty());
    for (uint32_t type : {51u, 52u, 65u, 66u, 0u}) {
        Event e = Text("kept", 1, type);
        EXPECT_TRUE(queue.AddEvent(e.get())) << type;
    }
    EXPECT_EQ(queue.m_Events.size(), 5u);
}

TEST_F(DataQueueTest, EventsThatCannotBeConvertedAreNotKept) {
    CEvDataQueue queue;
    EXPECT_FALSE(queue.AddEvent(nullptr));
    Event driver(10, DriverData(0x201, "driver"));
    EXPECT_FALSE(queue.AddEvent(driver.get()));
    Event foreign(51, std::vector<uint8_t>(1400, 0x42));
    EXPECT_FALSE(queue.AddEvent(foreign.get()));
    Event other = Text("x", 1);
    other.trace.Header.Class.Type = 99;
    EXPECT_FALSE(queue.AddEvent(other.get()));
    EXPECT_TRUE(queue.m_Events.empty());
}

TEST_F(DataQueueTest, DeleteAllEventsEmptiesTheQueue) {
    CEvDataQueue queue;
    Event e = Text("x", 1);
    ASSERT_TRUE(queue.AddEvent(e.get()));
    EXPECT_EQ(queue.DeleteAllEvents(), S_OK);
    EXPECT_TRUE(queue.m_Events.empty());
    ASSERT_TRUE(queue.AddEvent(e.get()));
    EXPECT_EQ(queue.m_Events.size(), 1u);
}

TEST_F(DataQueueTest, TheLiveSnapshotHoldsTheCountThenEachSizeAndImage) {
    CEvDataQueue queue;
    const std::string path = "C:\\snapshot.bin";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(queue.WriteEventsToFile(file), S_OK);  // empty: not even a count
    HANDLE none = nullptr;
    EXPECT_EQ(queue.WriteEventsToFile(none), S_OK);
    CloseHandle(file);
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(path, &bytes));
    EXPECT_EQ(bytes.size(), 0u);

    Event older = Text("older", 1);
    Event newer = Text("newer!", 2);
    ASSERT_TRUE(queue.AddEvent(older.get()));
    ASSERT_TRUE(queue.AddEvent(newer.get()));
    file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(queue.WriteEventsToFile(file), S_OK);
    CloseHandle(file);
    ASSERT_TRUE(ReadWholeFile(path, &bytes));
    const uint32_t newerSize = 6 + 1321, olderSize = 5 + 1321;
    ASSERT_EQ(bytes.size(), 4 + 4 + newerSize + 4 + olderSize);
    uint32_t word;
    memcpy(&word, bytes.data(), 4);
    EXPECT_EQ(word, 2u);
    memcpy(&word, bytes.data() + 4, 4);
    EXPECT_EQ(word, newerSize);
    EXPECT_EQ(memcmp(bytes.data() + 8, queue.m_Events[0]->m_pData, newerSize), 0);
    memcpy(&word, bytes.data() + 8 + newerSize, 4);
    EXPECT_EQ(word, olderSize);
    EXPECT_EQ(bytes.substr(8 + newerSize + 4 + 1312, 5), "older");
}

TEST_F(DataQueueTest, EntriesWipeTheirRecordsBeforeReleasingThem) {
    auto* entry = new CEvDataQueueInfo;
    entry->m_dwSize = 1400;
    entry->m_pData = reinterpret_cast<_VANTA_EVTRACE_DATA*>(new BYTE[1400]);
    memset(entry->m_pData, 0x5A, 1400);
    g_watchedSize = 1400;
    g_watchedZeroed = -1;
    g_watched = entry->m_pData;
    delete entry;
    EXPECT_EQ(g_watchedZeroed.load(), 1);

    // The queue's evictions go the same way.
    SetDword(kEngKey, "MaxEvents", 1);
    CEvDataQueue queue;
    Event first = Text("secret", 1);
    Event second = Text("next", 2);
    ASSERT_TRUE(queue.AddEvent(first.get()));
    g_watchedSize = queue.m_Events.front()->m_dwSize;
    g_watchedZeroed = -1;
    g_watched = queue.m_Events.front()->m_pData;
    ASSERT_TRUE(queue.AddEvent(second.get()));
    EXPECT_EQ(g_watchedZeroed.load(), 1);
}

TEST_F(DataQueueTest, CopiesOwnTheirRecords) {
    CEvDataQueue queue;
    Event e = Text("original", 1);
    ASSERT_TRUE(queue.AddEvent(e.get()));
    {
        CEvDataQueue copy(queue);
        ASSERT_EQ(copy.m_Events.size(), 1u);
        EXPECT_NE(copy.m_Events[0]->m_pData, queue.m_Events[0]->m_pData);
        EXPECT_EQ(Texts(copy), Texts(queue));
        CEvDataQueueInfo entryCopy = *queue.m_Events[0];
        EXPECT_NE(entryCopy.m_pData, queue.m_Events[0]->m_pData);
        EXPECT_EQ(RecordText(entryCopy.m_pData), "original");
    }
    // The original's records survived the copies' destruction.
    EXPECT_EQ(Texts(queue), (std::vector<std::string>{"original"}));
    CritSecLogQueue a, b;
    a = b;
    a.EnterCritSecLogQueue();
    b.EnterCritSecLogQueue();  // separate locks: no wait
    b.LeaveCritSecLogQueue();
    a.LeaveCritSecLogQueue();
}

}  // namespace
