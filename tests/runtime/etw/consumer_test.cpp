// Real-time consumers in one process: delivery, the ends of ProcessTrace,
// buffer callbacks, time windows and the status codes of the consumer API.
#include <condition_variable>
#include <utility>

#include <w32rt/trace_sessions.h>

#include "etw_test_util.h"
#include "status_expect.h"

using namespace etw_test;
using testing_support::eventually;

namespace {

class ConsumerTest : public testing_support::MachineTest {};

// A callback that holds the first event until released, and one that
// closes its own consumer in its first call.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, open = false;
} g_gate;
TRACEHANDLE g_close_inside = 0;

VOID WINAPI gated_event(PEVENT_TRACE ev) {
    record_event(ev);
    std::unique_lock<std::mutex> lock(g_gate.mutex);
    g_gate.entered = true;
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return g_gate.open; });
}

VOID WINAPI close_inside(PEVENT_TRACE ev) {
    record_event(ev);
    if (TRACEHANDLE h = std::exchange(g_close_inside, 0)) {
        EXPECT_EQ(CloseTrace(h), ULONG(ERROR_CTX_CLOSE_PENDING));
    }
}

TEST_F(ConsumerTest, CloseTraceFromAnotherThreadOrInsideTheCallbackDeliversWhatIsQueuedThenEnds) {
    TRACEHANDLE session = start_session();
    ThreadConsumer gated(kName, gated_event), closing(kName, close_inside);
    g_close_inside = closing.handle;
    ASSERT_TRUE(write_events(session, 100));
    gated.start();
    closing.start();
    {
        std::unique_lock<std::mutex> lock(g_gate.mutex);
        ASSERT_TRUE(g_gate.cv.wait_for(lock, std::chrono::seconds(10), [] { return g_gate.entered; }));
    }
    EXPECT_EQ(CloseTrace(gated.handle), ULONG(ERROR_CTX_CLOSE_PENDING));
    EXPECT_EQ(CloseTrace(gated.handle), ULONG(ERROR_INVALID_HANDLE));  // closed is closed
    {
        std::lock_guard<std::mutex> lock(g_gate.mutex);
        g_gate.open = true;
    }
    g_gate.cv.notify_all();
    EXPECT_EQ(gated.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(closing.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(summary(gated.received), "100 0 0 100");
    EXPECT_EQ(summary(closing.received), "100 0 0 100");
    // The session runs on; the closed consumers hold no ring any more.
    Properties q;
    ASSERT_EQ(q.query(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->FreeBuffers, 4u);
    TRACEHANDLE copy = gated.handle;
    EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_INVALID_HANDLE));
}

TEST_F(ConsumerTest, StatusesOfTheConsumerCalls) {
    EVENT_TRACE_LOGFILEA lf;
    memset(&lf, 0, sizeof lf);
    EXPECT_FAILS(OpenTraceA(nullptr), INVALID_PROCESSTRACE_HANDLE, ERROR_INVALID_PARAMETER);
    lf.LogFileName = const_cast<char*>("C:\\trace.etl");
    EXPECT_FAILS(OpenTraceA(&lf), INVALID_PROCESSTRACE_HANDLE, ERROR_NOT_SUPPORTED);
    lf.LogFileName = nullptr;
    EXPECT_FAILS(OpenTraceA(&lf), INVALID_PROCESSTRACE_HANDLE, ERROR_BAD_PATHNAME);
    lf.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    EXPECT_FAILS(OpenTraceA(&lf), INVALID_PROCESSTRACE_HANDLE, ERROR_INVALID_PARAMETER);  // no logger name

    EXPECT_EQ(CloseTrace(0), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CloseTrace(INVALID_PROCESSTRACE_HANDLE), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ProcessTrace(nullptr, 1, nullptr, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    TRACEHANDLE bogus = 0x4300000500000001ull;
    EXPECT_EQ(ProcessTrace(&bogus, 0, nullptr, nullptr), ULONG(ERROR_BAD_LENGTH));
    EXPECT_EQ(ProcessTrace(&bogus, 65, nullptr, nullptr), ULONG(ERROR_BAD_LENGTH));
    FILETIME later = {2000, 0}, earlier = {1000, 0};
    EXPECT_EQ(ProcessTrace(&bogus, 1, &later, &earlier), ULONG(ERROR_INVALID_TIME));
    EXPECT_EQ(ProcessTrace(&bogus, 1, nullptr, nullptr), ULONG(ERROR_INVALID_HANDLE));

    // Opened before its session exists: ProcessTrace fails at once; once
    // the session runs the same handle attaches and works.
    ThreadConsumer late;
    ASSERT_NE(late.handle, INVALID_PROCESSTRACE_HANDLE);
    TRACEHANDLE copy = late.handle;
    EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
    TRACEHANDLE session = start_session();
    late.start();
    ASSERT_TRUE(eventually([&] {
        std::vector<w32rt::TraceSessionInfo> all;
        return w32rt::list_trace_sessions(&all) && all.size() == 1 && all[0].consumers.size() == 1;
    }));
    ASSERT_TRUE(write_events(session, 1));
    ASSERT_TRUE(eventually([&] { return late.received.count == 1; }));
    // Inside ProcessTrace now: another pump on its handle is refused, and
    // so are several handles at once (they are for log files).
    EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_BUSY));
    TRACEHANDLE both[2] = {copy, copy};
    EXPECT_EQ(ProcessTrace(both, 2, nullptr, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(late.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(CloseTrace(late.handle), ULONG(ERROR_SUCCESS));
}

struct BufferLog {
    std::vector<ULONG> buffers_read, filled;
    void* context = nullptr;
};

ULONG WINAPI log_buffer(PEVENT_TRACE_LOGFILEA lf) {
    auto* log = static_cast<BufferLog*>(lf->Context);
    log->buffers_read.push_back(lf->BuffersRead);
    log->filled.push_back(lf->Filled);
    log->context = lf->Context;
    return lf->BuffersRead < 2;  // cancels after the second
}

TEST_F(ConsumerTest, ProcessTraceKeepsToItsTimeWindowAndEndsWhenTheBufferCallbackCancels) {
    TRACEHANDLE session = start_session(kName, 8, 16);  // 8 KB buffers: 8 records of 1072 bytes each
    BufferLog log;
    EVENT_TRACE_LOGFILEA windowed, cancelled;
    TRACEHANDLE w = open_consumer(kName, &windowed), c = open_consumer(kName, &cancelled, record_event, log_buffer, &log);
    ASSERT_NE(c, INVALID_PROCESSTRACE_HANDLE);
    const TRACE_LOGFILE_HEADER& header = cancelled.LogfileHeader;
    EXPECT_EQ((std::vector<ULONG>{header.BufferSize, header.LogFileMode, header.PointerSize}),
              (std::vector<ULONG>{8 * 1024, EVENT_TRACE_REAL_TIME_MODE, sizeof(void*)}));
    EXPECT_NE(header.StartTime.QuadPart, 0);

    Event ev(1000);
    ev.header.Flags |= WNODE_FLAG_USE_TIMESTAMP;
    for (uint64_t t = 100; t <= 4000; t += 100) {
        ev.header.TimeStamp.QuadPart = LONGLONG(t);
        ASSERT_EQ(TraceEvent(session, ev.stamp(1, 0, t)), ULONG(ERROR_SUCCESS));
    }
    Received in_window, until_cancelled;
    FILETIME start = {200, 0}, end = {400, 0};
    t_received = &in_window;
    EXPECT_EQ(ProcessTrace(&w, 1, &start, &end), ULONG(ERROR_SUCCESS));  // ends past the end time
    t_received = &until_cancelled;
    EXPECT_EQ(ProcessTrace(&c, 1, nullptr, nullptr), ULONG(ERROR_CANCELLED));
    t_received = nullptr;
    ASSERT_EQ(in_window.count, 3u);
    for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(in_window.stamps[i].sequence, 200 + 100 * i);
    EXPECT_EQ(log.buffers_read, (std::vector<ULONG>{1, 2}));
    EXPECT_GE(log.filled[0], 8u * 1024);
    EXPECT_EQ(log.context, &log);
    EXPECT_EQ(until_cancelled.count, 16u);  // two buffers
    EXPECT_EQ(CloseTrace(w), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(CloseTrace(c), ULONG(ERROR_SUCCESS));
}

}  // namespace
