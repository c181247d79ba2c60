// Starting, querying, updating and stopping sessions: what is reported and
// which status every kind of bad request gets.
#include <algorithm>
#include <set>
#include <string>

#include "etw_test_util.h"
#include "test_support.h"

using namespace etw_test;

namespace {

class SessionControlTest : public testing_support::MachineTest {};

constexpr const char* kName = "Orkan System Trace";

TEST_F(SessionControlTest, StartReportsTheSessionAndAQueryByNameFindsTheSameHandle) {
    Properties p;
    TRACEHANDLE h = 0;
    ASSERT_EQ(StartTraceA(&h, kName, p.get()), ULONG(ERROR_SUCCESS));
    EXPECT_NE(h, 0u);
    EXPECT_NE(h, INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(p->Wnode.HistoricalContext, h);
    EXPECT_EQ(p.name(), kName);

    Properties q(0, 0, 0);
    ASSERT_EQ(query_session("orkan SYSTEM trace", &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->Wnode.HistoricalContext, h);
    EXPECT_EQ(q.name(), kName);  // spelled as started
    EXPECT_EQ(q->Wnode.Guid, kControlGuid);
    EXPECT_EQ(q->Wnode.ClientContext, 1u);
    EXPECT_EQ(q->BufferSize, 50u);
    EXPECT_EQ(q->MinimumBuffers, 4u);
    EXPECT_EQ(q->MaximumBuffers, 4u);
    EXPECT_EQ(q->NumberOfBuffers, 4u);
    EXPECT_EQ(q->FreeBuffers, 4u);
    EXPECT_EQ(q->LogFileMode, ULONG(EVENT_TRACE_REAL_TIME_MODE));
    EXPECT_EQ(q->FlushTimer, 1u);
    EXPECT_EQ(q->EventsLost, 0u);
    EXPECT_EQ(q->BuffersWritten, 0u);
    EXPECT_EQ(q->RealTimeBuffersLost, 0u);

    // The same name in another spelling is the same session.
    Properties again;
    TRACEHANDLE second = 12345;
    EXPECT_EQ(StartTraceA(&second, "ORKAN SYSTEM TRACE", again.get()), ULONG(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(second, 0u);
}

TEST_F(SessionControlTest, MissingSessionsAreNotFound) {
    Properties p;
    EXPECT_EQ(query_session(kName, &p), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(stop_session(kName), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(FlushTraceA(0, kName, p.get()), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
    start_session(kName);
    EXPECT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(stop_session(kName), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
}

TEST_F(SessionControlTest, StartRefusesBadBlocksWithTheirStatusAndHandleZero) {
    auto start = [](Properties& p, const char* name = kName) {
        TRACEHANDLE h = 99;
        ULONG rc = StartTraceA(&h, name, p.get());
        EXPECT_EQ(h, rc == ERROR_SUCCESS ? h : 0u);
        return rc;
    };
    TRACEHANDLE h;
    Properties ok;
    EXPECT_EQ(StartTraceA(nullptr, kName, ok.get()), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceA(&h, kName, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceA(&h, nullptr, ok.get()), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(start(ok, ""), ULONG(ERROR_INVALID_PARAMETER));

    Properties small;
    small->Wnode.BufferSize = sizeof(EVENT_TRACE_PROPERTIES) - 1;
    EXPECT_EQ(start(small), ULONG(ERROR_BAD_LENGTH));

    Properties no_room;  // the name does not fit behind its offset
    no_room->Wnode.BufferSize = 130;
    no_room->LogFileNameOffset = 0;
    EXPECT_EQ(start(no_room), ULONG(ERROR_BAD_LENGTH));

    Properties no_name_offset;
    no_name_offset->LoggerNameOffset = 0;
    EXPECT_EQ(start(no_name_offset), ULONG(ERROR_INVALID_PARAMETER));
    Properties inside_header;
    inside_header->LoggerNameOffset = 100;
    EXPECT_EQ(start(inside_header), ULONG(ERROR_INVALID_PARAMETER));
    Properties past_end;
    past_end->LogFileNameOffset = kBlockSize;
    EXPECT_EQ(start(past_end), ULONG(ERROR_INVALID_PARAMETER));

    Properties no_mode(50, 4, 0);
    EXPECT_EQ(start(no_mode), ULONG(ERROR_INVALID_PARAMETER));
    Properties circular_without_file(50, 4, EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_FILE_MODE_CIRCULAR);
    EXPECT_EQ(start(circular_without_file), ULONG(ERROR_INVALID_PARAMETER));
    Properties both_file_modes(50, 4, EVENT_TRACE_FILE_MODE_SEQUENTIAL | EVENT_TRACE_FILE_MODE_CIRCULAR);
    EXPECT_EQ(start(both_file_modes), ULONG(ERROR_INVALID_PARAMETER));
    Properties with_file(50, 4, EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_FILE_MODE_SEQUENTIAL);
    strcpy(reinterpret_cast<char*>(with_file.bytes.data() + kFileOffset), "C:\\trace.etl");
    EXPECT_EQ(start(with_file), ULONG(ERROR_NOT_SUPPORTED));

    std::string too_long(1025, 'n');
    Properties long_name;
    EXPECT_EQ(start(long_name, too_long.c_str()), ULONG(ERROR_INVALID_PARAMETER));
    std::string longest(1024, 'n');
    Properties longest_block;
    EXPECT_EQ(start(longest_block, longest.c_str()), ULONG(ERROR_SUCCESS));
    Properties q;
    EXPECT_EQ(query_session(longest.c_str(), &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q.name(), longest);

    // Nothing of the refused starts is running.
    EXPECT_EQ(query_session(kName, &q), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
}

TEST_F(SessionControlTest, ControlRefusesBadRequests) {
    TRACEHANDLE h = start_session(kName);
    Properties p;
    EXPECT_EQ(ControlTraceA(h, nullptr, nullptr, EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(h, nullptr, p.get(), 7), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(0, nullptr, p.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(0x1234, nullptr, p.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_INVALID_HANDLE));
    Properties small;
    small->Wnode.BufferSize = 64;
    EXPECT_EQ(ControlTraceA(h, nullptr, small.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_BAD_LENGTH));

    // Without a handle the name may come from the block itself.
    Properties named;
    strcpy(reinterpret_cast<char*>(named.bytes.data() + kNameOffset), "orkan system trace");
    EXPECT_EQ(ControlTraceA(0, nullptr, named.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(named->Wnode.HistoricalContext, h);
}

TEST_F(SessionControlTest, QueryIntoABlockWithoutRoomForTheNameFillsTheRestAndSaysMoreData) {
    TRACEHANDLE h = start_session(kName);
    Properties tight;
    tight->Wnode.BufferSize = 125;  // five bytes behind the structure
    tight->LogFileNameOffset = 0;
    EXPECT_EQ(ControlTraceA(h, nullptr, tight.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_MORE_DATA));
    EXPECT_EQ(tight->Wnode.HistoricalContext, h);
    EXPECT_EQ(tight->BufferSize, 50u);
    EXPECT_EQ(tight.bytes[kNameOffset], 0);  // nothing written past the block

    // A stop that says so has stopped all the same.
    EXPECT_EQ(ControlTraceA(h, nullptr, tight.get(), EVENT_TRACE_CONTROL_STOP), ULONG(ERROR_MORE_DATA));
    Properties q;
    EXPECT_EQ(query_session(kName, &q), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
}

TEST_F(SessionControlTest, StopThroughTheHandleOfAQueryAndTheOldHandleIsDeadAfterARestart) {
    TRACEHANDLE first = start_session(kName);
    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    Properties stop;
    ASSERT_EQ(ControlTraceA(q->Wnode.HistoricalContext, nullptr, stop.get(), EVENT_TRACE_CONTROL_STOP),
              ULONG(ERROR_SUCCESS));
    EXPECT_EQ(stop.name(), kName);

    TRACEHANDLE second = start_session(kName);
    ASSERT_NE(second, first);
    Event ev;
    EXPECT_EQ(TraceEvent(first, ev.get()), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(TraceEvent(second, ev.get()), ULONG(ERROR_SUCCESS));
    Properties p;
    EXPECT_EQ(ControlTraceA(first, nullptr, p.get(), EVENT_TRACE_CONTROL_STOP), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, first), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));  // the stale stop stopped nothing
}

TEST_F(SessionControlTest, SixtyFourSessionsAtOnceAndTheNextIsRefusedLoudly) {
    std::vector<TRACEHANDLE> handles;
    for (int i = 0; i < 64; ++i) handles.push_back(start_session(("s" + std::to_string(i)).c_str()));
    Properties p;
    TRACEHANDLE h = 1;
    EXPECT_EQ(StartTraceA(&h, "one too many", p.get()), ULONG(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(h, 0u);
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
    EXPECT_EQ(stop_session("s17"), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(StartTraceA(&h, "one too many", p.get()), ULONG(ERROR_SUCCESS));
}

TEST_F(SessionControlTest, QueryAllListsEverySessionAndSaysMoreDataWhenTheArrayIsShort) {
    start_session("alpha");
    start_session("beta");
    start_session("gamma");
    Properties a, b;
    EVENT_TRACE_PROPERTIES* two[2] = {a.get(), b.get()};
    ULONG count = 99;
    EXPECT_EQ(QueryAllTracesA(two, 2, &count), ULONG(ERROR_MORE_DATA));
    EXPECT_EQ(count, 2u);
    Properties c;
    EVENT_TRACE_PROPERTIES* three[3] = {a.get(), b.get(), c.get()};
    ASSERT_EQ(QueryAllTracesA(three, 3, &count), ULONG(ERROR_SUCCESS));
    ASSERT_EQ(count, 3u);
    std::set<std::string> names = {a.name(), b.name(), c.name()};
    EXPECT_EQ(names, (std::set<std::string>{"alpha", "beta", "gamma"}));
    EXPECT_NE(a->Wnode.HistoricalContext, b->Wnode.HistoricalContext);

    EXPECT_EQ(QueryAllTracesA(nullptr, 3, &count), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(QueryAllTracesA(three, 0, &count), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(QueryAllTracesA(three, 3, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    EVENT_TRACE_PROPERTIES* with_null[2] = {a.get(), nullptr};
    EXPECT_EQ(QueryAllTracesA(with_null, 2, &count), ULONG(ERROR_INVALID_PARAMETER));
}

TEST_F(SessionControlTest, DefaultsFillZerosAndOversizedSettingsAreClamped) {
    Properties zeros(0, 0);
    TRACEHANDLE h;
    ASSERT_EQ(StartTraceA(&h, "defaults", zeros.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(zeros->BufferSize, 64u);
    EXPECT_EQ(zeros->MinimumBuffers, 4u);
    EXPECT_EQ(zeros->MaximumBuffers, 32u);

    Properties huge(4096, 100000);
    ASSERT_EQ(StartTraceA(&h, "huge", huge.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(huge->BufferSize, 1024u);
    EXPECT_EQ(huge->MaximumBuffers, 256u);  // 256 MB per consumer at most

    Properties inverted(8, 16);
    inverted->MaximumBuffers = 2;
    ASSERT_EQ(StartTraceA(&h, "inverted", inverted.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(inverted->MaximumBuffers, 16u);
}

TEST_F(SessionControlTest, UpdateChangesTheTimerAndFlagsButNotTheCapacity) {
    TRACEHANDLE h = start_session(kName);
    Properties u(0, 0, 0);
    u->FlushTimer = 7;
    u->EnableFlags = 0x30;
    ASSERT_EQ(ControlTraceA(h, nullptr, u.get(), EVENT_TRACE_CONTROL_UPDATE), ULONG(ERROR_SUCCESS));
    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->FlushTimer, 7u);
    EXPECT_EQ(q->EnableFlags, 0x30u);
    Properties grow(0, 0, 0);
    grow->MaximumBuffers = 40;
    EXPECT_EQ(ControlTraceA(h, nullptr, grow.get(), EVENT_TRACE_CONTROL_UPDATE), ULONG(ERROR_NOT_SUPPORTED));
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->MaximumBuffers, 4u);
    Properties f;
    EXPECT_EQ(FlushTraceA(h, nullptr, f.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(QueryTraceA(h, nullptr, f.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(StopTraceA(h, nullptr, f.get()), ULONG(ERROR_SUCCESS));
}

TEST_F(SessionControlTest, StatisticsCountWrittenRefusedAndUndeliveredEvents) {
    TRACEHANDLE h = start_session(kName);
    Event ev(1400);
    // No consumer: accepted, and undelivered.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(TraceEvent(h, ev.get()), ULONG(ERROR_SUCCESS));
    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->BuffersWritten, 10u);
    EXPECT_EQ(q->RealTimeBuffersLost, 10u);
    EXPECT_EQ(q->EventsLost, 0u);

    // A consumer that does not read: its 200 KB ring takes 139 events, the
    // rest are refused (EventsLost) and missed by it (RealTimeBuffersLost).
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE consumer = open_consumer(kName, &lf);
    ASSERT_NE(consumer, INVALID_PROCESSTRACE_HANDLE);
    ULONG ok = 0, refused = 0;
    for (int i = 0; i < 200; ++i) {
        ULONG rc = TraceEvent(h, ev.get());
        ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_NOT_ENOUGH_MEMORY) << rc;
        (rc == ERROR_SUCCESS ? ok : refused)++;
    }
    EXPECT_EQ(ok, 139u);
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->BuffersWritten, 10u + ok);
    EXPECT_EQ(q->EventsLost, refused);
    EXPECT_EQ(q->RealTimeBuffersLost, 10u + refused);
    EXPECT_EQ(q->FreeBuffers, 0u);
    EXPECT_EQ(CloseTrace(consumer), ULONG(ERROR_SUCCESS));

    // The consumer's losses stay counted after it left.
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->RealTimeBuffersLost, 10u + refused);
    EXPECT_EQ(q->FreeBuffers, 4u);
}

}  // namespace
