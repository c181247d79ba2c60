// TraceEvent: what it refuses (and that refused events never reach a
// consumer), what it stamps, events in pieces, and many threads writing at
// once.
#include <gmock/gmock.h>
#include <unistd.h>

#include <thread>

#include "etw_test_util.h"

using namespace etw_test;

namespace {

class TraceEventTest : public testing_support::MachineTest {};

TEST_F(TraceEventTest, MalformedHeadersAreRefusedWithTheirStatusAndNeverWritten) {
    TRACEHANDLE h = start_session(kName, 8, 8);  // 8 KB buffers: larger events are refused
    ThreadConsumer consumer;
    Event ev;
    EXPECT_EQ(TraceEvent(h, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    for (TRACEHANDLE bad : {TRACEHANDLE(0), INVALID_PROCESSTRACE_HANDLE, TRACEHANDLE(h ^ 0x00FF000000000000ull), h + 1})
        EXPECT_EQ(TraceEvent(bad, ev.get()), ULONG(ERROR_INVALID_HANDLE)) << std::hex << bad;

    // An event of `payload` bytes with these flags (and a null GuidPtr).
    auto with = [&](uint32_t payload, ULONG flags) {
        Event e(payload);
        e.header.Flags = flags;
        if (flags & WNODE_FLAG_USE_GUID_PTR) e.header.GuidPtr = 0;
        return TraceEvent(h, e.get());
    };
    const ULONG traced = WNODE_FLAG_TRACED_GUID, mof = traced | WNODE_FLAG_USE_MOF_PTR;
    Event short_size;
    short_size.header.Size = 47;
    EXPECT_EQ(TraceEvent(h, short_size.get()), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(with(4, 0), ULONG(ERROR_INVALID_FLAG_NUMBER));
    EXPECT_EQ(with(4, traced | WNODE_FLAG_NO_HEADER), ULONG(ERROR_INVALID_FLAG_NUMBER));
    EXPECT_EQ(with(8 * 1024, traced), ULONG(ERROR_MORE_DATA));  // 48 + 8192 > 8 KB
    EXPECT_EQ(with(4, traced | WNODE_FLAG_USE_GUID_PTR), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(with(20, mof), ULONG(ERROR_INVALID_PARAMETER));  // not a whole number of MOF_FIELDs
    EXPECT_EQ(with(17 * sizeof(MOF_FIELD), mof), ULONG(ERROR_INVALID_PARAMETER));
    Event mof_null(sizeof(MOF_FIELD));
    mof_null.header.Flags = mof;
    MOF_FIELD null_field = {0, 10, 0};
    memcpy(mof_null.data, &null_field, sizeof null_field);
    EXPECT_EQ(TraceEvent(h, mof_null.get()), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(with(8 * 1024 - 48, traced), ULONG(ERROR_SUCCESS));

    ASSERT_TRUE(eventually([&] { return consumer.received.count == 1; }));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(consumer.received.count, 1u);
    EXPECT_EQ(consumer.received.headers[0].Size, 8 * 1024);
}

TEST_F(TraceEventTest, EventsArriveStampedWithTheirPiecesJoinedAndTheCallersHeaderLeftAlone) {
    TRACEHANDLE h = start_session();
    ASSERT_TRUE(write_events(h, 1));  // before the consumer: not for it
    ThreadConsumer consumer(record_event, false);
    consumer.received.keep_payloads = true;
    consumer.start();

    // A plain event gets the writer's ids and the time.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    Event plain(1400);
    ASSERT_EQ(TraceEvent(h, plain.get()), ULONG(ERROR_SUCCESS));

    // MOF_FIELDs: the pieces arrive as one payload; empty pieces are allowed.
    const char first[] = "first,", second[] = "second";
    const MOF_FIELD fields[3] = {{uint64_t(uintptr_t(first)), 6, 0}, {0, 0, 0}, {uint64_t(uintptr_t(second)), 6, 0}};
    Event mof(sizeof fields);
    mof.header.Flags |= WNODE_FLAG_USE_MOF_PTR;
    memcpy(mof.data, fields, sizeof fields);
    ASSERT_EQ(TraceEvent(h, mof.get()), ULONG(ERROR_SUCCESS));

    // A caller's time stamp is kept when asked for.
    Event stamped(4);
    stamped.header.Flags |= WNODE_FLAG_USE_TIMESTAMP;
    stamped.header.TimeStamp.QuadPart = 0x0123456789ABCDEF;
    stamped.header.ThreadId = 1;
    stamped.header.ProcessId = 2;
    EVENT_TRACE_HEADER before = stamped.header;
    ASSERT_EQ(TraceEvent(h, stamped.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(memcmp(&before, &stamped.header, sizeof before), 0);

    ASSERT_TRUE(eventually([&] { return consumer.received.count == 3; }));
    std::lock_guard<std::mutex> lock(consumer.received.mutex);
    const auto& r = consumer.received;
    EXPECT_EQ(r.headers[0].Size, 48 + 1400);
    EXPECT_EQ(r.headers[0].Class.Type, 51);
    EXPECT_EQ(r.headers[0].Guid, kEventGuid);
    EXPECT_GE(r.headers[0].TimeStamp.QuadPart, LONGLONG(now.dwHighDateTime) << 32 | now.dwLowDateTime);
    EXPECT_EQ(r.payloads[0], std::vector<unsigned char>(plain.data, plain.data + 1400));
    EXPECT_EQ(std::string(r.payloads[1].begin(), r.payloads[1].end()), "first,second");
    EXPECT_EQ(r.headers[1].Size, 48 + 12);
    for (const EVENT_TRACE_HEADER& header : r.headers) {
        EXPECT_EQ(header.ThreadId, DWORD(gettid()));  // ids are always the writer's
        EXPECT_EQ(header.ProcessId, DWORD(getpid()));
    }
    EXPECT_EQ(r.headers[1].Flags, ULONG(WNODE_FLAG_TRACED_GUID));  // the pointer form resolved
    EXPECT_EQ(r.headers[2].TimeStamp.QuadPart, 0x0123456789ABCDEF);
}

TEST_F(TraceEventTest, ManyThreadsEachArriveInTheirOrderAndEveryEventIsAccountedFor) {
    TRACEHANDLE h = start_session(kName, 16, 4);  // small ring: losses happen
    ThreadConsumer consumer;
    std::atomic<uint64_t> refused{0};
    std::vector<std::thread> writers;
    for (uint32_t t = 0; t < 6; ++t)
        writers.emplace_back([&, t] {
            Event ev(100 + 37 * t);
            for (uint64_t i = 0; i < 20000; ++i) {
                ULONG rc = TraceEvent(h, ev.stamp(1, t, i));
                refused += rc == ERROR_NOT_ENOUGH_MEMORY;
                ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_NOT_ENOUGH_MEMORY) << rc;
            }
        });
    for (auto& w : writers) w.join();
    const uint64_t delivered = 6 * 20000 - refused;
    ASSERT_TRUE(eventually([&] { return consumer.received.count == delivered; }, std::chrono::seconds(30)));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
    // One consumer: every loss was a refusal. No stream out of order.
    EXPECT_THAT(summary(consumer.received),
                ::testing::StartsWith(std::to_string(delivered) + " " + std::to_string(refused) + " 0 "));
}

}  // namespace
