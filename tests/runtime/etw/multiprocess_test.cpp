// Trace sessions between processes: producers and consumers in separate
// processes, exact loss accounting, stop and restart seen from elsewhere,
// control callbacks in a provider process, another user's rights, and
// processes killed in the middle of a write or a read.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>

#include "etw/ring.h"
#include "etw_test_util.h"

using namespace etw_test;
using testing_support::ChildProcess;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;
using w32rt::etw::WriteStage;

namespace {

using std::to_string;
TRACEHANDLE handle_of(const std::string& text) { return strtoull(text.c_str(), nullptr, 10); }

// ---- Helper processes -------------------------------------------------------

// Consumer. argv: name [pause_after]. Prints "attached", pumps, and when
// the session ends prints ProcessTrace's status and the summary of what it
// received. Stops in the given callback until the parent sends a line.
uint64_t g_pause_after = 0;

VOID WINAPI child_event(PEVENT_TRACE ev) {
    record_event(ev);
    if (t_received->count == g_pause_after) {
        send_line("paused");
        receive_line();
    }
}

TEST_HELPER(consumer) {
    g_pause_after = argc > 2 ? strtoull(argv[2], nullptr, 10) : 0;
    Received received;
    t_received = &received;
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE h = open_consumer(argv[1], &lf, child_event);
    if (h == INVALID_PROCESSTRACE_HANDLE) return 1;
    send_line("attached");
    ULONG status = ProcessTrace(&h, 1, nullptr, nullptr);
    send_line(to_string(status) + " " + summary(received));
    return 0;
}

// Producer. argv: handle producer. Two threads write 5000 events of 300
// bytes each; prints how many TraceEvent accepted.
TEST_HELPER(producer) {
    const TRACEHANDLE h = handle_of(argv[1]);
    const uint32_t producer = uint32_t(atoi(argv[2]));
    std::atomic<uint64_t> accepted{0};
    auto write = [&](uint32_t thread) {
        Event ev(300);
        for (uint64_t i = 0; i < 5000; ++i) accepted += TraceEvent(h, ev.stamp(producer, thread, i)) == ERROR_SUCCESS;
    };
    std::thread other(write, 1);
    write(0);
    other.join();
    send_line("produced " + to_string(accepted));
    return 0;
}

// Writes one event through each handle the parent sends; prints the status.
TEST_HELPER(write_with_handle) {
    Event ev;
    for (std::string line; !(line = receive_line()).empty();) send_line(to_string(TraceEvent(handle_of(line), ev.get())));
    return 0;
}

// Starts the session, enables the provider in it at level 255 with every
// flag and exits; prints the session's handle.
TEST_HELPER(start_enable_and_exit) {
    TRACEHANDLE h = 0;
    ULONG started = StartTraceA(&h, kName, Properties().get());
    ULONG enabled = EnableTrace(TRUE, 0xFFFFFFFF, 255, &kControlGuid, h);
    send_line(started || enabled ? "failed " + to_string(started) + " " + to_string(enabled) : to_string(h));
    return 0;
}

// A provider's control callback: reports what it was told to the parent.
ULONG WINAPI child_control(WMIDPREQUESTCODE code, PVOID, ULONG*, PVOID buffer) {
    send_line(told(code, buffer));
    return ERROR_SUCCESS;
}

ULONG register_child_provider(TRACEHANDLE* reg) {
    TRACE_GUID_REGISTRATION classes[1] = {{&kEventGuid, nullptr}};
    return RegisterTraceGuidsA(child_control, nullptr, &kControlGuid, 1, classes, nullptr, nullptr, reg);
}

TEST_HELPER(provider) {
    TRACEHANDLE reg = 0;
    send_line("registered " + to_string(register_child_provider(&reg)));
    receive_line();
    UnregisterTraceGuids(reg);
    return 0;
}

// What another user may do: one status a line.
TEST_HELPER(other_user) {
    TRACEHANDLE h = handle_of(argv[1]), started = 0, reg = 0;
    Event ev;
    Properties p, q, s, all;
    EVENT_TRACE_PROPERTIES* array[1] = {all.get()};
    ULONG count = 0;
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE consumer = open_consumer(kName, &lf);
    for (ULONG rc : {TraceEvent(h, ev.stamp(5, 0, 1)), StartTraceA(&started, "another", p.get()), q.query(),
                     ControlTraceA(h, nullptr, s.get(), EVENT_TRACE_CONTROL_STOP),
                     EnableTrace(TRUE, 1, 1, &kControlGuid, h), QueryAllTracesA(array, 1, &count),
                     ProcessTrace(&consumer, 1, nullptr, nullptr), register_child_provider(&reg)})
        send_line(to_string(rc));
    receive_line();
    UnregisterTraceGuids(reg);
    return 0;
}

std::atomic<int> g_hang_stage{-1};
std::atomic<uint64_t> g_hang_countdown{0};

void hang_at_stage(WriteStage stage) {
    if (int(stage) != g_hang_stage.load() || g_hang_countdown.fetch_sub(1) != 1) return;
    send_line("hung");
    for (;;) pause();
}

// argv: handle stage events. Writes events and stops for good inside the
// last one at the given stage.
TEST_HELPER(producer_hanging) {
    const uint64_t events = strtoull(argv[3], nullptr, 10);
    g_hang_stage = atoi(argv[2]);
    g_hang_countdown = events;
    w32rt::etw::g_write_stage_hook = hang_at_stage;
    write_events(handle_of(argv[1]), events, 600, 3);
    return 1;  // not reached
}

// A session started, and its provider enabled, by a process that has exited.
TRACEHANDLE start_elsewhere() {
    ChildProcess starter = spawn_helper("start_enable_and_exit");
    const std::string line = starter.read_line();
    EXPECT_EQ(starter.wait(), 0);
    EXPECT_NE(handle_of(line), 0u) << line;
    return handle_of(line);
}

class MultiProcessTest : public testing_support::MachineTest {};

// ---- Delivery --------------------------------------------------------------

TEST_F(MultiProcessTest, TwoProducersTwoConsumersEveryEventOnceAndInOrderAndStopWakesThemAll) {
    // 16 MB rings hold everything written here, so nothing may be lost even
    // if a consumer is not scheduled until the end.
    TRACEHANDLE session = start_session(kName, 64, 256);
    ChildProcess c1 = spawn_helper("consumer", {kName});
    ChildProcess c2 = spawn_helper("consumer", {kName});
    ASSERT_TRUE(c1.expect_line("attached"));
    ASSERT_TRUE(c2.expect_line("attached"));
    ChildProcess p1 = spawn_helper("producer", {to_string(session), "1"});
    ChildProcess p2 = spawn_helper("producer", {to_string(session), "2"});
    for (ChildProcess* p : {&p1, &p2}) {
        EXPECT_EQ(p->read_line(std::chrono::seconds(60)), "produced 10000");
        EXPECT_EQ(p->wait(), 0);
    }
    // Consumers wait on their empty rings by now, or soon will.
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    for (ChildProcess* c : {&c1, &c2}) {
        EXPECT_EQ(c->read_line(), "0 20000 0 0 5000 5000 5000 5000");  // status, delivered, lost, disorder, streams
        EXPECT_EQ(c->wait(), 0);
    }
}

TEST_F(MultiProcessTest, PausedConsumerLosesExactlyWhatItMissedAndAFastOneLosesNothing) {
    TRACEHANDLE session = start_session();  // 200 KB rings: 139 events of 1400 bytes
    ChildProcess slow = spawn_helper("consumer", {kName, "10"});
    ASSERT_TRUE(slow.expect_line("attached"));
    ThreadConsumer fast;

    // The slow consumer stops in its 10th callback; meanwhile 3000 events
    // go by in bursts that the fast consumer takes in full.
    for (uint64_t i = 0; i < 3000; i += 50) {
        ASSERT_TRUE(write_events(session, 50, 1400, 9, i));
        if (i == 0) {
            ASSERT_TRUE(slow.expect_line("paused"));
        }
        ASSERT_TRUE(eventually([&] { return fast.received.count == i + 50; }));
    }
    slow.write_line("go");
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    uint64_t status = ~0ull, delivered = 0, lost = 0, disorder = ~0ull;
    std::istringstream(slow.read_line()) >> status >> delivered >> lost >> disorder;
    EXPECT_EQ((std::vector<uint64_t>{status, delivered + lost, disorder}),
              (std::vector<uint64_t>{ERROR_SUCCESS, 3000, 0}));
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(fast.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(summary(fast.received), "3000 0 0 3000");
}

// ---- Handles and sessions across processes ---------------------------------

TEST_F(MultiProcessTest, ASessionOutlivesItsStarterAndAfterARestartItsOldHandleIsRefusedInEveryProcess) {
    const TRACEHANDLE first = start_elsewhere();
    ASSERT_NE(first, 0u);
    ThreadConsumer consumer;
    ChildProcess child = spawn_helper("write_with_handle");
    child.write_line(to_string(first));
    EXPECT_EQ(child.read_line(), "0");
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 1; }));

    // Stopped through the handle a query by name returns.
    Properties q, stop, p;
    ASSERT_EQ(q.query(), ULONG(ERROR_SUCCESS));
    ASSERT_EQ(StopTraceA(q->Wnode.HistoricalContext, nullptr, stop.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(stop.name(), kName);
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
    TRACEHANDLE second = start_session();
    ASSERT_NE(second, first);

    child.write_line(to_string(first));
    EXPECT_EQ(child.read_line(), to_string(ERROR_INVALID_HANDLE));
    child.write_line(to_string(second));
    EXPECT_EQ(child.read_line(), "0");
    Event ev;
    EXPECT_EQ(TraceEvent(first, ev.get()), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(StopTraceA(first, nullptr, p.get()), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, first), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(q.query(), ULONG(ERROR_SUCCESS));  // the stale stop stopped nothing
    child.write_line("");
    EXPECT_EQ(child.wait(), 0);
}

// ---- Providers and other users ---------------------------------------------

TEST_F(MultiProcessTest, ProviderProcessHearsAnEnableThatOutlivedItsControllerEveryChangeAndTheStop) {
    const TRACEHANDLE session = start_elsewhere();
    ASSERT_NE(session, 0u);
    ThreadConsumer consumer;
    ChildProcess provider = spawn_helper("provider");
    // The callback runs on the runtime's thread, possibly before
    // RegisterTraceGuidsA has returned to the provider.
    std::set<std::string> lines = {provider.read_line(), provider.read_line()};
    EXPECT_EQ(lines, (std::set<std::string>{"registered 0", "enable 255 ffffffff 0 0"}));

    // Level 0 is a real answer; a second disable tells nothing, so the next
    // line is the enable after it.
    const struct {
        ULONG enable, flags, level;
        const char* told;
    } steps[] = {{TRUE, 0x10, 0, "enable 0 10 0 0"},
                 {FALSE, 0, 0, "disable"},
                 {FALSE, 0, 0, nullptr},
                 {TRUE, 1, 2, "enable 2 1 0 0"}};
    for (const auto& step : steps) {
        ASSERT_EQ(EnableTrace(step.enable, step.flags, step.level, &kControlGuid, session), ULONG(ERROR_SUCCESS));
        if (step.told) {
            EXPECT_EQ(provider.read_line(), step.told);
        }
    }
    // The events the provider wrote through its logger handles arrived.
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 3; }));
    {
        std::lock_guard<std::mutex> lock(consumer.received.mutex);
        const uint64_t levels[] = {255, 0, 2};
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(consumer.received.stamps[i].sequence, levels[i]);
        EXPECT_EQ(consumer.received.headers[0].ProcessId, DWORD(provider.pid()));
    }
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.read_line(), "disable");
    provider.write_line("quit");
    EXPECT_EQ(provider.wait(), 0);
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
}

TEST_F(MultiProcessTest, AnotherUserMayWriteAndProvideButNotControlQueryOrConsume) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    TRACEHANDLE session = start_session();
    ThreadConsumer consumer;
    testing_support::SpawnOptions as_other;
    as_other.uid = as_other.gid = uid;
    ChildProcess child = spawn_helper("other_user", {to_string(session)}, as_other);
    // TraceEvent, StartTraceA, query, stop, EnableTrace, QueryAllTracesA,
    // ProcessTrace, RegisterTraceGuidsA.
    const std::string ok = "0", denied = to_string(ERROR_ACCESS_DENIED);
    for (const std::string& expected : {ok, denied, denied, denied, denied, denied, denied, ok})
        EXPECT_EQ(child.read_line(), expected);
    ASSERT_EQ(EnableTrace(TRUE, 6, 6, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(child.read_line(), "enable 6 6 0 0");
    child.write_line("done");
    EXPECT_EQ(child.wait(), 0);
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 2; }));  // its event, and its callback's
    std::lock_guard<std::mutex> lock(consumer.received.mutex);
    EXPECT_EQ(consumer.received.stamps[0].producer, 5u);
    EXPECT_EQ(consumer.received.headers[0].ProcessId, DWORD(child.pid()));
}

// ---- Killed in the middle ---------------------------------------------------

// (stage the writer dies at, events of it that are lost)
class KilledWriterTest : public MultiProcessTest, public ::testing::WithParamInterface<std::pair<WriteStage, ULONG>> {};

TEST_P(KilledWriterTest, ConsumerSkipsAnUnfinishedRecordCountsItAndGoesOn) {
    const auto [stage, lost] = GetParam();
    TRACEHANDLE session = start_session();
    ThreadConsumer consumer;
    ChildProcess writer = spawn_helper("producer_hanging", {to_string(session), to_string(int(stage)), "5"});
    ASSERT_TRUE(writer.expect_line("hung"));
    // Before its commit the record holds back everything after it.
    ASSERT_TRUE(eventually([&, lost = lost] { return consumer.received.count == 5 - lost; }));
    writer.kill(SIGKILL);
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);
    ASSERT_TRUE(write_events(session, 100, sizeof(Stamp), 4));
    ASSERT_TRUE(eventually([&, lost = lost] { return consumer.received.count == 105 - lost; }, std::chrono::seconds(20)));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
    // Its events up to the one it died in, then all of the others.
    EXPECT_EQ(summary(consumer.received), to_string(105 - lost) + " " + to_string(lost) + " 0 " +
                                              to_string(5 - lost) + " 100");
    for (uint64_t i = 0; i < 5 - lost; ++i) EXPECT_EQ(consumer.received.stamps[i].sequence, i);
}

INSTANTIATE_TEST_SUITE_P(AtEveryStage, KilledWriterTest,
                         ::testing::Values(std::make_pair(WriteStage::Reserved, ULONG(1)),
                                           std::make_pair(WriteStage::PayloadWritten, ULONG(1)),
                                           std::make_pair(WriteStage::Committed, ULONG(0))));

TEST_F(MultiProcessTest, StopEndsProcessTraceEvenWhileAStoppedWriterHoldsARecordBack) {
    TRACEHANDLE session = start_session();
    ThreadConsumer consumer;
    ChildProcess writer =
        spawn_helper("producer_hanging", {to_string(session), to_string(int(WriteStage::PayloadWritten)), "3"});
    ASSERT_TRUE(writer.expect_line("hung"));
    writer.kill(SIGSTOP);  // alive, and never finishing its record
    ASSERT_TRUE(write_events(session, 1));
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 2; }));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    // After the grace for a writer that does not finish, the drain ends;
    // the held record and the one behind it are lost.
    EXPECT_EQ(consumer.join(std::chrono::seconds(30)), long(ERROR_SUCCESS));
    EXPECT_EQ(summary(consumer.received), "2 2 0 2");
    writer.kill(SIGKILL);
}

TEST_F(MultiProcessTest, KilledConsumerNeitherBlocksProducersNorKeepsItsSlot) {
    TRACEHANDLE session = start_session();
    ChildProcess doomed = spawn_helper("consumer", {kName, "3"});
    ASSERT_TRUE(doomed.expect_line("attached"));
    ASSERT_TRUE(write_events(session, 3, 1400));
    ASSERT_TRUE(doomed.expect_line("paused"));  // inside its third callback
    doomed.kill(SIGKILL);
    EXPECT_EQ(doomed.wait(), 128 + SIGKILL);

    // Its ring fills; producers are refused, never blocked, until they
    // notice that its process is gone and give its slot back.
    Event ev(1400);
    bool refused = false;
    ASSERT_TRUE(eventually(
        [&] {
            ULONG rc = TraceEvent(session, ev.get());
            refused |= rc == ERROR_NOT_ENOUGH_MEMORY;
            return refused && rc == ERROR_SUCCESS;
        },
        std::chrono::seconds(20)));
    Properties q;
    ASSERT_EQ(q.query(), ULONG(ERROR_SUCCESS));
    EXPECT_GT(q->RealTimeBuffersLost, 0u);
    EXPECT_EQ(q->FreeBuffers, 4u);  // no consumer holds a ring

    // A new consumer works as if nothing had happened.
    ThreadConsumer fresh;
    ASSERT_TRUE(write_events(session, 50, 1400));
    EXPECT_TRUE(eventually([&] { return fresh.received.count == 50; }));
}

}  // namespace
