// Real-time consumers in one process: delivery, order, ends of ProcessTrace,
// buffer callbacks, time windows and the status codes of the consumer API.
#include <time.h>
#include <unistd.h>

#include <chrono>

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

}  // namespace
