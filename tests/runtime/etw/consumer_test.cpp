// Real-time consumers in one process: delivery, order, ends of ProcessTrace,
// buffer callbacks, time windows and the status codes of the consumer API.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>

#include <w32rt/trace_sessions.h>

#include "etw_test_util.h"
#include "test_support.h"

using namespace etw_test;
using testing_support::eventually;

namespace {

class ConsumerTest : public testing_support::MachineTest {};

constexpr const char* kName = "Orkan System Trace";

TEST_F(ConsumerTest, DeliversEveryEventInOrderWithStampsAndPayload) {
    TRACEHANDLE session = start_session(kName);
    ThreadConsumer consumer(kName);
    ASSERT_NE(consumer.handle(), INVALID_PROCESSTRACE_HANDLE);
    consumer.received.keep_payloads = true;
    consumer.start();

    Event ev(1400);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    ULONGLONG before = ULONGLONG(now.tv_sec) * 10000000 + ULONGLONG(now.tv_nsec) / 100 + 116444736000000000ull;
    // Bursts of 100 fit the 200 KB ring (139 such events).
    for (uint64_t i = 0; i < 500; ++i) {
        ev.stamp(1, 0, i);
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS)) << i;
        if (i % 100 == 99) {
            ASSERT_TRUE(eventually([&] { return consumer.received.count == i + 1; }));
        }
    }
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(consumer.join(), ERROR_SUCCESS);

    std::lock_guard<std::mutex> lock(consumer.received.mutex);
    for (uint64_t i = 0; i < 500; ++i) {
        EXPECT_EQ(consumer.received.stamps[i].sequence, i);
        const EVENT_TRACE_HEADER& h = consumer.received.headers[i];
        EXPECT_EQ(h.Size, 48 + 1400);
        EXPECT_EQ(h.Class.Type, 51);
        EXPECT_EQ(h.Guid, kEventGuid);
        EXPECT_EQ(h.Flags, ULONG(WNODE_FLAG_TRACED_GUID));
        EXPECT_EQ(h.ProcessId, DWORD(getpid()));
        EXPECT_EQ(h.ThreadId, DWORD(gettid()));
        EXPECT_GE(ULONGLONG(h.TimeStamp.QuadPart), before);
        ASSERT_EQ(consumer.received.payloads[i].size(), 1400u);
        EXPECT_EQ(consumer.received.payloads[i][1399], (unsigned char)(1399 * 7 + 3));
    }
}

// A callback that holds the first event until released.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, open = false;
};
Gate* g_gate = nullptr;

VOID WINAPI gated_event(PEVENT_TRACE ev) {
    if (t_received) t_received->add(ev);
    std::unique_lock<std::mutex> lock(g_gate->mutex);
    g_gate->entered = true;
    g_gate->cv.notify_all();
    g_gate->cv.wait(lock, [] { return g_gate->open; });
}

TEST_F(ConsumerTest, CloseTraceFromAnotherThreadDeliversWhatIsQueuedThenEndsProcessTrace) {
    TRACEHANDLE session = start_session(kName);
    Gate gate;
    g_gate = &gate;
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE h = open_consumer(kName, &lf);
    lf.EventCallback = gated_event;
    TRACEHANDLE h2 = OpenTraceA(&lf);  // the same, with the gated callback
    ASSERT_EQ(CloseTrace(h), ULONG(ERROR_SUCCESS));
    Event ev;
    for (uint64_t i = 0; i < 100; ++i) {
        ev.stamp(1, 0, i);
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    }
    Received received;
    std::atomic<ULONG> status{~0u};
    std::thread pump([&] {
        t_received = &received;
        TRACEHANDLE copy = h2;
        status = ProcessTrace(&copy, 1, nullptr, nullptr);
    });
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(10), [&] { return gate.entered; }));
    }
    EXPECT_EQ(CloseTrace(h2), ULONG(ERROR_CTX_CLOSE_PENDING));
    EXPECT_EQ(CloseTrace(h2), ULONG(ERROR_INVALID_HANDLE));  // closed is closed
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.cv.notify_all();
    pump.join();
    EXPECT_EQ(status, ULONG(ERROR_SUCCESS));
    EXPECT_EQ(received.count, 100u);
    // The session runs on; the closed consumer holds no ring any more.
    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->FreeBuffers, 4u);
    TRACEHANDLE copy = h2;
    EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_INVALID_HANDLE));
}

TEST_F(ConsumerTest, CloseTraceInsideTheCallbackEndsAfterTheQueuedEvents) {
    TRACEHANDLE session = start_session(kName);
    ThreadConsumer consumer(kName);
    consumer.received.close_on_first = consumer.handle();
    Event ev;
    for (uint64_t i = 0; i < 20; ++i) ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    consumer.start();
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(consumer.received.count, 20u);
}

TEST_F(ConsumerTest, StatusesOfTheConsumerCalls) {
    EVENT_TRACE_LOGFILEA lf;
    SetLastError(0);
    EXPECT_EQ(OpenTraceA(nullptr), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    memset(&lf, 0, sizeof lf);
    lf.LogFileName = const_cast<char*>("C:\\trace.etl");
    EXPECT_EQ(OpenTraceA(&lf), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    lf.LogFileName = nullptr;
    EXPECT_EQ(OpenTraceA(&lf), INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_PATHNAME));
    lf.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    EXPECT_EQ(OpenTraceA(&lf), INVALID_PROCESSTRACE_HANDLE);  // no logger name
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(CloseTrace(0), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CloseTrace(INVALID_PROCESSTRACE_HANDLE), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ProcessTrace(nullptr, 1, nullptr, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    TRACEHANDLE bogus = 0x4300000500000001ull;
    EXPECT_EQ(ProcessTrace(&bogus, 0, nullptr, nullptr), ULONG(ERROR_BAD_LENGTH));
    EXPECT_EQ(ProcessTrace(&bogus, 65, nullptr, nullptr), ULONG(ERROR_BAD_LENGTH));
    FILETIME later = {2000, 0}, earlier = {1000, 0};
    EXPECT_EQ(ProcessTrace(&bogus, 1, &later, &earlier), ULONG(ERROR_INVALID_TIME));
    EXPECT_EQ(ProcessTrace(&bogus, 1, nullptr, nullptr), ULONG(ERROR_INVALID_HANDLE));

    // A missing session: the handle is given, ProcessTrace fails at once.
    TRACEHANDLE h = open_consumer(kName, &lf);
    ASSERT_NE(h, INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(ProcessTrace(&h, 1, nullptr, nullptr), ULONG(ERROR_WMI_INSTANCE_NOT_FOUND));
    // Once the session exists the same handle attaches and works.
    TRACEHANDLE session = start_session(kName);
    ThreadConsumer busy(kName);
    busy.start();
    std::atomic<uint64_t> late_count{0};
    std::thread late([&] {
        Received received;
        t_received = &received;
        TRACEHANDLE copy = h;
        EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_SUCCESS));
        late_count = received.count.load();
    });
    ASSERT_TRUE(testing_support::eventually([&] {
        std::vector<w32rt::TraceSessionInfo> all;
        w32rt::list_trace_sessions(&all);
        return all.size() == 1 && all[0].consumers.size() == 2;
    }));
    Event ev;
    ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(eventually([&] { return busy.received.count == 1; }));
    // It is inside ProcessTrace now: a second pump on its handle is refused.
    TRACEHANDLE copy = busy.handle();
    EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_BUSY));
    TRACEHANDLE both[2] = {h, busy.handle()};
    EXPECT_EQ(ProcessTrace(both, 2, nullptr, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    late.join();
    EXPECT_EQ(late_count, 1u);
    EXPECT_EQ(CloseTrace(h), ULONG(ERROR_SUCCESS));
}

struct BufferLog {
    std::vector<ULONG> buffers_read;
    std::vector<ULONG> filled;
    void* context = nullptr;
    ULONG stop_after = 0;
};

ULONG WINAPI log_buffer(PEVENT_TRACE_LOGFILEA lf) {
    auto* log = static_cast<BufferLog*>(lf->Context);
    log->buffers_read.push_back(lf->BuffersRead);
    log->filled.push_back(lf->Filled);
    log->context = lf->Context;
    return log->stop_after == 0 || lf->BuffersRead < log->stop_after;
}

TEST_F(ConsumerTest, BufferCallbackSeesEachBufferAndCanCancel) {
    TRACEHANDLE session = start_session(kName, 8, 16);  // 8 KB buffers
    BufferLog log;
    log.stop_after = 2;
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE h = open_consumer(kName, &lf);
    CloseTrace(h);
    lf.BufferCallback = log_buffer;
    lf.Context = &log;
    h = OpenTraceA(&lf);
    ASSERT_NE(h, INVALID_PROCESSTRACE_HANDLE);
    EXPECT_EQ(lf.LogfileHeader.BufferSize, 8u * 1024);
    EXPECT_EQ(lf.LogfileHeader.LogFileMode, ULONG(EVENT_TRACE_REAL_TIME_MODE));
    EXPECT_EQ(lf.LogfileHeader.PointerSize, sizeof(void*));
    EXPECT_NE(lf.LogfileHeader.StartTime.QuadPart, 0);

    Event ev(1000);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    Received received;
    t_received = &received;
    EXPECT_EQ(ProcessTrace(&h, 1, nullptr, nullptr), ULONG(ERROR_CANCELLED));
    t_received = nullptr;
    ASSERT_EQ(log.buffers_read.size(), 2u);
    EXPECT_EQ(log.buffers_read[0], 1u);
    EXPECT_EQ(log.buffers_read[1], 2u);
    EXPECT_GE(log.filled[0], 8u * 1024);
    EXPECT_EQ(log.context, &log);
    // Two buffers of 8 KB hold 8 events of 1072-byte records each.
    EXPECT_EQ(received.count, 16u);
    EXPECT_EQ(CloseTrace(h), ULONG(ERROR_SUCCESS));
}

TEST_F(ConsumerTest, StartAndEndTimesBoundWhatIsDelivered) {
    TRACEHANDLE session = start_session(kName);
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE h = open_consumer(kName, &lf);
    Event ev;
    for (LONGLONG t : {100, 200, 300, 400, 500}) {
        ev.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_TIMESTAMP;
        ev.header.TimeStamp.QuadPart = t;
        ev.stamp(1, 0, uint64_t(t));
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    }
    FILETIME start = {200, 0}, end = {400, 0};
    Received received;
    t_received = &received;
    EXPECT_EQ(ProcessTrace(&h, 1, &start, &end), ULONG(ERROR_SUCCESS));  // ends past the end time
    t_received = nullptr;
    ASSERT_EQ(received.count, 3u);
    EXPECT_EQ(received.stamps[0].sequence, 200u);
    EXPECT_EQ(received.stamps[2].sequence, 400u);
    EXPECT_EQ(CloseTrace(h), ULONG(ERROR_SUCCESS));
}

TEST_F(ConsumerTest, TwoConsumersOfOneProcessEachGetEverything) {
    TRACEHANDLE session = start_session(kName);
    ThreadConsumer a(kName), b(kName);
    a.start();
    b.start();
    Event ev(200);
    for (uint64_t i = 0; i < 300; ++i) {
        ev.stamp(1, 0, i);
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
        if (i % 100 == 99) {
            ASSERT_TRUE(eventually([&] { return a.received.count == i + 1 && b.received.count == i + 1; }));
        }
    }
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(a.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(b.join(), long(ERROR_SUCCESS));
}

}  // namespace
