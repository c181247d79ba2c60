// Starting, querying and stopping sessions: what is reported and which
// status every kind of bad request gets.
#include <string>
#include <thread>

#include "etw_test_util.h"

using namespace etw_test;

namespace {

class SessionControlTest : public testing_support::MachineTest {};

using Values = std::vector<ULONG>;

TEST_F(SessionControlTest, StartReportsTheSessionAQueryByNameInAnySpellingFindsItAndStopEndsIt) {
    Properties p, q(0, 0, 0), again;
    TRACEHANDLE h = 0, second = 12345;
    ASSERT_EQ(StartTraceA(&h, kName, p.get()), ULONG(ERROR_SUCCESS));
    EXPECT_NE(h, 0u);
    EXPECT_EQ(p->Wnode.HistoricalContext, h);
    EXPECT_EQ(p.name(), kName);
    EXPECT_EQ(StartTraceA(&second, "ORKAN SYSTEM TRACE", again.get()), ULONG(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(second, 0u);

    ASSERT_EQ(q.query("orkan SYSTEM trace"), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->Wnode.HistoricalContext, h);
    EXPECT_EQ(q.name(), kName);  // spelled as started
    EXPECT_EQ(q->Wnode.Guid, kControlGuid);
    EXPECT_EQ((Values{q->Wnode.ClientContext, q->BufferSize, q->MinimumBuffers, q->MaximumBuffers, q->NumberOfBuffers,
                      q->FreeBuffers, q->LogFileMode, q->FlushTimer, q->EventsLost, q->BuffersWritten,
                      q->RealTimeBuffersLost}),
              (Values{1, 50, 4, 4, 4, 4, EVENT_TRACE_REAL_TIME_MODE, 1, 0, 0, 0}));

    EXPECT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(stop_session(), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
}

TEST_F(SessionControlTest, StartRefusesBadBlocksWithTheirStatusAndHandleZero) {
    TRACEHANDLE h;
    Properties ok, q;
    EXPECT_EQ(StartTraceA(nullptr, kName, ok.get()), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceA(&h, kName, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceA(&h, nullptr, ok.get()), ULONG(ERROR_INVALID_PARAMETER));
    // Starts kName in `mode` with the block changed by `change`.
    auto start = [](ULONG mode, void (*change)(Properties&), const char* name = kName) {
        Properties p(50, 4, mode);
        if (change) change(p);
        TRACEHANDLE refused = 99;
        ULONG rc = StartTraceA(&refused, name, p.get());
        EXPECT_EQ(refused, 0u);
        return rc;
    };
    const ULONG rt = EVENT_TRACE_REAL_TIME_MODE, sequential = EVENT_TRACE_FILE_MODE_SEQUENTIAL,
                circular = EVENT_TRACE_FILE_MODE_CIRCULAR;
    const std::string too_long(1025, 'n'), longest(1024, 'n');
    EXPECT_EQ(start(rt, nullptr, ""), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(rt, nullptr, too_long.c_str()), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(rt, [](Properties& p) { p->Wnode.BufferSize = sizeof(EVENT_TRACE_PROPERTIES) - 1; }),
              ULONG(ERROR_BAD_LENGTH));
    EXPECT_EQ(start(rt, [](Properties& p) { p->Wnode.BufferSize = 130; p->LogFileNameOffset = 0; }),
              ULONG(ERROR_BAD_LENGTH));  // no room for the name
    EXPECT_EQ(start(rt, [](Properties& p) { p->LoggerNameOffset = 0; }), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(rt, [](Properties& p) { p->LoggerNameOffset = 100; }), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(rt, [](Properties& p) { p->LogFileNameOffset = kBlockSize; }), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(0, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(rt | circular, nullptr), ULONG(ERROR_INVALID_PARAMETER));  // a file mode needs a file
    EXPECT_EQ(start(sequential | circular, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(rt | sequential,
                    [](Properties& p) { strcpy(reinterpret_cast<char*>(&p.bytes[kFileOffset]), "C:\\trace.etl"); }),
              ULONG(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(q.query(), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));  // nothing refused runs

    start_session(longest.c_str());
    EXPECT_EQ(q.query(longest.c_str()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q.name(), longest);
}

TEST_F(SessionControlTest, ControlRefusesBadRequestsAndSaysMoreDataWhenTheNameDoesNotFit) {
    TRACEHANDLE h = start_session();
    Properties p, small, named, tight;
    small->Wnode.BufferSize = 64;
    EXPECT_EQ(ControlTraceA(h, nullptr, nullptr, EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(h, nullptr, p.get(), 7), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(0, nullptr, p.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(0x1234, nullptr, p.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ControlTraceA(h, nullptr, small.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_BAD_LENGTH));

    // Without a handle the name may come from the block itself.
    strcpy(reinterpret_cast<char*>(&named.bytes[kNameOffset]), "orkan system trace");
    EXPECT_EQ(ControlTraceA(0, nullptr, named.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(named->Wnode.HistoricalContext, h);

    tight->Wnode.BufferSize = 125;  // five bytes behind the structure
    tight->LogFileNameOffset = 0;
    EXPECT_EQ(ControlTraceA(h, nullptr, tight.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_MORE_DATA));
    EXPECT_EQ(tight->Wnode.HistoricalContext, h);
    EXPECT_EQ(tight->BufferSize, 50u);
    EXPECT_EQ(tight.bytes[kNameOffset], 0);  // nothing written past the block
    // A stop that says so has stopped all the same.
    EXPECT_EQ(ControlTraceA(h, nullptr, tight.get(), EVENT_TRACE_CONTROL_STOP), ULONG(ERROR_MORE_DATA));
    EXPECT_EQ(p.query(), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
}

TEST_F(SessionControlTest, DefaultsFillZerosOversizedSettingsAreClampedAndSixtyFourSessionsRunAtMost) {
    int sessions = 0;
    auto granted = [&](ULONG kb, ULONG minimum, ULONG maximum) {
        Properties p(kb, minimum);
        p->MaximumBuffers = maximum;
        TRACEHANDLE h;
        EXPECT_EQ(StartTraceA(&h, std::to_string(sessions++).c_str(), p.get()), ULONG(ERROR_SUCCESS));
        return Values{p->BufferSize, p->MinimumBuffers, p->MaximumBuffers};
    };
    EXPECT_EQ(granted(0, 0, 0), (Values{64, 4, 32}));
    EXPECT_EQ(granted(4096, 100000, 100000), (Values{1024, 256, 256}));  // 256 MB per consumer at most
    EXPECT_EQ(granted(8, 16, 2), (Values{8, 16, 16}));
    while (sessions < 64) start_session(std::to_string(sessions++).c_str());
    TRACEHANDLE h = 99;
    EXPECT_EQ(StartTraceA(&h, "the 65th", Properties().get()), ULONG(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(stop_session("7"), ULONG(ERROR_SUCCESS));  // its place is free again
    EXPECT_EQ(StartTraceA(&h, "the 65th", Properties().get()), ULONG(ERROR_SUCCESS));
}

TEST_F(SessionControlTest, StatisticsCountWrittenRefusedAndUndeliveredEvents) {
    TRACEHANDLE h = start_session();
    // BuffersWritten, EventsLost, RealTimeBuffersLost, FreeBuffers.
    auto statistics = [] {
        Properties q;
        EXPECT_EQ(q.query(), ULONG(ERROR_SUCCESS));
        return Values{q->BuffersWritten, q->EventsLost, q->RealTimeBuffersLost, q->FreeBuffers};
    };
    // No consumer: accepted, and undelivered. Writer slots of finished
    // threads fold their counts into the session.
    ASSERT_TRUE(write_events(h, 10, 1400));
    std::thread([&] { ASSERT_TRUE(write_events(h, 5, 1400)); }).join();
    EXPECT_EQ(statistics(), (Values{15, 0, 15, 4}));

    // A consumer that does not read: its 200 KB ring takes 139 events, the
    // rest are refused (EventsLost) and missed by it (RealTimeBuffersLost).
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE consumer = open_consumer(kName, &lf);
    ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
    ASSERT_TRUE(write_events(h, 139, 1400));
    Event ev(1400);
    for (int i = 0; i < 61; ++i) ASSERT_EQ(TraceEvent(h, ev.get()), ULONG(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(statistics(), (Values{15 + 139, 61, 15 + 61, 0}));
    // The consumer's losses stay counted after it left.
    EXPECT_EQ(CloseTrace(consumer), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(statistics(), (Values{15 + 139, 61, 15 + 61, 4}));
}

}  // namespace
