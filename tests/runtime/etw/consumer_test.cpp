// Real-time consumers in one process: the ends of ProcessTrace and the
// status codes of the consumer API.
#include <condition_variable>

#include "etw_test_util.h"
#include "status_expect.h"

using namespace etw_test;

namespace {

class ConsumerTest : public testing_support::MachineTest {};

// A callback that holds the first event until released.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, open = false;
} g_gate;

VOID WINAPI gated_event(PEVENT_TRACE ev) {
    record_event(ev);
    std::unique_lock<std::mutex> lock(g_gate.mutex);
    g_gate.entered = true;
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return g_gate.open; });
}

TEST_F(ConsumerTest, CloseTraceFromAnotherThreadDeliversWhatIsQueuedThenEnds) {
    TRACEHANDLE session = start_session();
    ThreadConsumer gated(gated_event, false);
    ASSERT_TRUE(write_events(session, 100));
    gated.start();
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
    EXPECT_EQ(summary(gated.received), "100 0 0 100");
    // The session runs on; the closed consumer holds no ring any more.
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
    ThreadConsumer late(record_event, false);
    ASSERT_NE(late.handle, INVALID_PROCESSTRACE_HANDLE);
    TRACEHANDLE copy = late.handle;
    EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
    TRACEHANDLE session = start_session();
    late.start();
    ASSERT_TRUE(eventually([&] { return write_events(session, 1) && late.received.count > 0; }));
    // Inside ProcessTrace now: another pump on its handle is refused, and
    // so are several handles at once (they are for log files).
    EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_BUSY));
    TRACEHANDLE both[2] = {copy, copy};
    EXPECT_EQ(ProcessTrace(both, 2, nullptr, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(late.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(CloseTrace(late.handle), ULONG(ERROR_SUCCESS));
}

}  // namespace
