// Trace sessions between processes: producers and consumers in separate
// processes, exact loss accounting, stop and restart seen from elsewhere,
// control callbacks in a provider process, another user's rights, and
// processes killed in the middle of a write or a read.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>

#include <w32rt/trace_sessions.h>

#include "etw/ring.h"
#include "etw_test_util.h"

using namespace etw_test;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;

namespace {

std::string hex(uint64_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
    return buf;
}
uint64_t unhex(const std::string& s) { return strtoull(s.c_str(), nullptr, 16); }

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// ---- Consumer process ------------------------------------------------------
//
// argv: name [pause_after [hang_after]]. Prints "attached", pumps, and when
// the session ends prints "<status> <delivered> <lost> <order errors>"
// followed by the count of every writing thread's stream.

struct ChildConsumer {
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> next, counts;  // per stream
    uint64_t delivered = 0, order_errors = 0, pause_after = 0, hang_after = 0;
    ULONG lost = 0;
} g_child;

VOID WINAPI child_event(PEVENT_TRACE ev) {
    Stamp s{};
    if (ev->MofLength >= sizeof s) memcpy(&s, ev->MofData, sizeof s);
    auto key = std::make_pair(s.producer, s.thread);
    // Later events of a stream may be lost, never reordered or repeated.
    if (g_child.next.count(key) && s.sequence < g_child.next[key]) ++g_child.order_errors;
    g_child.next[key] = s.sequence + 1;
    ++g_child.counts[key];
    if (++g_child.delivered == g_child.pause_after) {
        send_line("paused");
        receive_line();
    }
    if (g_child.delivered == g_child.hang_after) {
        send_line("reading");
        for (;;) pause();
    }
}

ULONG WINAPI child_buffer(PEVENT_TRACE_LOGFILEA lf) {
    g_child.lost = lf->EventsLost;
    return TRUE;
}

TEST_HELPER(consumer) {
    g_child.pause_after = argc > 2 ? strtoull(argv[2], nullptr, 10) : 0;
    g_child.hang_after = argc > 3 ? strtoull(argv[3], nullptr, 10) : 0;
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE h = open_consumer(argv[1], &lf, child_event, child_buffer);
    if (h == INVALID_PROCESSTRACE_HANDLE) return 1;
    send_line("attached");
    std::string result = std::to_string(ProcessTrace(&h, 1, nullptr, nullptr));
    for (uint64_t v : {g_child.delivered, uint64_t(g_child.lost), g_child.order_errors}) result += " " + std::to_string(v);
    for (const auto& [key, count] : g_child.counts) result += " " + std::to_string(count);
    send_line(result);
    CloseTrace(h);
    return 0;
}

struct ConsumerResult {
    ULONG status = ~0u;
    uint64_t delivered = 0, lost = 0, order_errors = 0;
    std::vector<uint64_t> streams;
};

ConsumerResult read_result(ChildProcess& child) {
    ConsumerResult r;
    auto w = words(child.read_line());
    if (w.size() < 4) return r;
    r.status = ULONG(std::stoul(w[0]));
    r.delivered = std::stoull(w[1]);
    r.lost = std::stoull(w[2]);
    r.order_errors = std::stoull(w[3]);
    for (size_t i = 4; i < w.size(); ++i) r.streams.push_back(std::stoull(w[i]));
    EXPECT_EQ(child.wait(), 0);
    return r;
}

// ---- Producer processes ----------------------------------------------------

// argv: handle producer threads events payload. Prints how many events
// TraceEvent accepted.
TEST_HELPER(producer) {
    TRACEHANDLE h = unhex(argv[1]);
    uint32_t producer = uint32_t(atoi(argv[2]));
    uint64_t events = strtoull(argv[4], nullptr, 10);
    uint32_t payload = uint32_t(atoi(argv[5]));
    std::atomic<uint64_t> accepted{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < atoi(argv[3]); ++t) {
        workers.emplace_back([&, t] {
            Event ev(payload);
            for (uint64_t i = 0; i < events; ++i) {
                ev.stamp(producer, uint32_t(t), i);
                if (TraceEvent(h, ev.get()) == ERROR_SUCCESS) ++accepted;
            }
        });
    }
    for (auto& w : workers) w.join();
    send_line("produced " + std::to_string(accepted));
    return 0;
}

// Writes one event through each handle the parent sends and prints
// TraceEvent's status.
TEST_HELPER(write_with_handle) {
    Event ev;
    for (std::string line; !(line = receive_line()).empty();) send_line(std::to_string(TraceEvent(unhex(line), ev.get())));
    return 0;
}

TEST_HELPER(start_and_exit) {
    Properties p;
    TRACEHANDLE h = 0;
    ULONG rc = StartTraceA(&h, argv[1], p.get());
    send_line(std::to_string(rc) + " " + hex(h));
    return 0;
}

class MultiProcessTest : public testing_support::MachineTest {};

// ---- Delivery --------------------------------------------------------------

TEST_F(MultiProcessTest, TwoProducersTwoConsumersEveryEventOnceAndInOrder) {
    // 16 MB rings hold everything written here, so nothing may be lost even
    // if a consumer is not scheduled until the end.
    TRACEHANDLE session = start_session(kName, 64, 256);
    ChildProcess c1 = spawn_helper("consumer", {kName});
    ChildProcess c2 = spawn_helper("consumer", {kName});
    ASSERT_TRUE(c1.expect_line("attached"));
    ASSERT_TRUE(c2.expect_line("attached"));

    const uint64_t per_thread = 5000;
    ChildProcess p1 = spawn_helper("producer", {hex(session), "1", "2", std::to_string(per_thread), "300"});
    ChildProcess p2 = spawn_helper("producer", {hex(session), "2", "2", std::to_string(per_thread), "300"});
    for (ChildProcess* p : {&p1, &p2}) {
        EXPECT_EQ(p->read_line(std::chrono::seconds(60)), "produced " + std::to_string(2 * per_thread));
        EXPECT_EQ(p->wait(), 0);
    }
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    for (ChildProcess* c : {&c1, &c2}) {
        ConsumerResult r = read_result(*c);
        EXPECT_EQ(r.status, ULONG(ERROR_SUCCESS));
        EXPECT_EQ(r.delivered, 4 * per_thread);
        EXPECT_EQ(r.lost, 0u);
        EXPECT_EQ(r.order_errors, 0u);
        EXPECT_EQ(r.streams, std::vector<uint64_t>(4, per_thread));
    }
}

TEST_F(MultiProcessTest, PausedConsumerLosesExactlyWhatItMissedAndAFastOneLosesNothing) {
    TRACEHANDLE session = start_session();  // 200 KB rings: 139 events of 1400 bytes
    ChildProcess slow = spawn_helper("consumer", {kName, "10"});
    ASSERT_TRUE(slow.expect_line("attached"));
    ThreadConsumer fast;
    fast.start();

    // The slow consumer stops in its 10th callback; meanwhile 3000 events
    // go by in bursts that the fast consumer takes in full.
    Event ev(1400);
    const uint64_t total = 3000;
    for (uint64_t i = 0; i < total; ++i) {
        ev.stamp(9, 0, i);
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
        if (i == 20) {
            ASSERT_TRUE(slow.expect_line("paused"));
        }
        if (i % 50 == 49) {
            ASSERT_TRUE(eventually([&] { return fast.received.count == i + 1; }));
        }
    }
    slow.write_line("go");
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    ConsumerResult r = read_result(slow);
    EXPECT_EQ(r.status, ULONG(ERROR_SUCCESS));
    EXPECT_EQ(r.order_errors, 0u);
    EXPECT_GT(r.lost, 0u);
    EXPECT_EQ(r.delivered + r.lost, total);
    EXPECT_EQ(fast.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(fast.received.count, total);
}

TEST_F(MultiProcessTest, StopWakesEveryWaitingProcessTrace) {
    start_session();
    std::vector<ChildProcess> consumers;
    for (int i = 0; i < 3; ++i) {
        consumers.push_back(spawn_helper("consumer", {kName}));
        ASSERT_TRUE(consumers.back().expect_line("attached"));
    }
    ThreadConsumer local;
    local.start();
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    for (ChildProcess& c : consumers) EXPECT_EQ(read_result(c).status, ULONG(ERROR_SUCCESS));
    EXPECT_EQ(local.join(), long(ERROR_SUCCESS));
}

// ---- Handles and sessions across processes ---------------------------------

TEST_F(MultiProcessTest, AfterARestartTheOldHandleIsRefusedInEveryProcess) {
    TRACEHANDLE first = start_session();
    ChildProcess child = spawn_helper("write_with_handle");
    child.write_line(hex(first));
    EXPECT_EQ(child.read_line(), "0");

    // Stopped through the handle a query by name returns.
    Properties q, stop, p;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    ASSERT_EQ(ControlTraceA(q->Wnode.HistoricalContext, nullptr, stop.get(), EVENT_TRACE_CONTROL_STOP),
              ULONG(ERROR_SUCCESS));
    EXPECT_EQ(stop.name(), kName);
    TRACEHANDLE second = start_session();
    ASSERT_NE(second, first);

    const std::string invalid = std::to_string(ERROR_INVALID_HANDLE);
    child.write_line(hex(first));
    EXPECT_EQ(child.read_line(), invalid);
    child.write_line(hex(second));
    EXPECT_EQ(child.read_line(), "0");
    Event ev;
    EXPECT_EQ(TraceEvent(first, ev.get()), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ControlTraceA(first, nullptr, p.get(), EVENT_TRACE_CONTROL_STOP), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, first), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));  // the stale stop stopped nothing
    child.write_line("");
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(MultiProcessTest, SessionsOutliveTheirStarterAndSixtyFourIsTheLimitAcrossProcesses) {
    std::set<TRACEHANDLE> handles;
    for (int i = 0; i < 62; ++i) handles.insert(start_session(("session " + std::to_string(i)).c_str()));
    auto start_elsewhere = [](const char* name) {
        ChildProcess starter = spawn_helper("start_and_exit", {name});
        auto w = words(starter.read_line());
        EXPECT_EQ(starter.wait(), 0);
        EXPECT_EQ(w.size(), 2u);
        return w.size() == 2 ? std::make_pair(w[0], unhex(w[1])) : std::make_pair(std::string(), uint64_t(0));
    };
    auto [rc, h] = start_elsewhere(kName);
    ASSERT_EQ(rc, "0");
    handles.insert(h);
    EXPECT_EQ(start_elsewhere("the 64th").first, "0");
    EXPECT_EQ(start_elsewhere("the 65th"), std::make_pair(std::to_string(ERROR_NO_SYSTEM_RESOURCES), uint64_t(0)));
    EXPECT_EQ(handles.size(), 63u);  // every handle its own

    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->Wnode.HistoricalContext, h);
    ThreadConsumer consumer;
    consumer.start();
    Event ev;
    ASSERT_EQ(TraceEvent(h, ev.get()), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 1; }));

    EXPECT_EQ(stop_session("THE 64TH"), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(start_elsewhere("the 65th").first, "0");
    EXPECT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
}

// ---- Providers in another process -----------------------------------------

// Writes an event stamped with the level through the logger handle it is
// given, and reports what it was told.
ULONG WINAPI child_control(WMIDPREQUESTCODE code, PVOID, ULONG*, PVOID buffer) {
    if (code == WMI_DISABLE_EVENTS) {
        send_line("disable");
    } else if (code == WMI_ENABLE_EVENTS) {
        TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
        UCHAR level = GetTraceEnableLevel(logger);
        Event ev;
        ev.stamp(77, 0, level);
        ULONG rc = TraceEvent(logger, ev.get());
        send_line("enable " + std::to_string(level) + " " + hex(GetTraceEnableFlags(logger)) + " " + std::to_string(rc));
    }
    return ERROR_SUCCESS;
}

ULONG register_child_provider(TRACEHANDLE* reg) {
    TRACE_GUID_REGISTRATION classes[1] = {{&kEventGuid, nullptr}};
    return RegisterTraceGuidsA(child_control, nullptr, &kControlGuid, 1, classes, nullptr, nullptr, reg);
}

TEST_HELPER(provider) {
    TRACEHANDLE reg = 0;
    send_line("registered " + std::to_string(register_child_provider(&reg)));
    receive_line();
    UnregisterTraceGuids(reg);
    return 0;
}

TEST_F(MultiProcessTest, ProviderProcessGetsEnableChangeDisableAndStopCallbacks) {
    TRACEHANDLE session = start_session();
    ThreadConsumer consumer;
    consumer.start();
    ChildProcess provider = spawn_helper("provider");
    ASSERT_EQ(provider.read_line(), "registered 0");

    const struct {
        ULONG enable, flags, level;
        const char* told;
    } steps[] = {{TRUE, 0xFFFFFFFF, 255, "enable 255 ffffffff 0"},
                 {TRUE, 0x10, 4, "enable 4 10 0"},
                 {FALSE, 0, 0, "disable"},
                 {TRUE, 1, 2, "enable 2 1 0"}};
    for (const auto& step : steps) {
        ASSERT_EQ(EnableTrace(step.enable, step.flags, step.level, &kControlGuid, session), ULONG(ERROR_SUCCESS));
        EXPECT_EQ(provider.read_line(), step.told);
    }
    // The events the provider wrote through its logger handles arrived.
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 3; }));
    {
        std::lock_guard<std::mutex> lock(consumer.received.mutex);
        const uint64_t levels[] = {255, 4, 2};
        for (size_t i = 0; i < 3; ++i) EXPECT_EQ(consumer.received.stamps[i].sequence, levels[i]);
        EXPECT_EQ(consumer.received.headers[0].ProcessId, DWORD(provider.pid()));
    }
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.read_line(), "disable");
    provider.write_line("quit");
    EXPECT_EQ(provider.wait(), 0);
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
}

TEST_HELPER(enable_and_exit) {
    Properties q;
    if (query_session(argv[1], &q) != ERROR_SUCCESS) return 1;
    send_line("enabled " + std::to_string(EnableTrace(TRUE, 0x5, 3, &kControlGuid, q->Wnode.HistoricalContext)));
    return 0;
}

TEST_F(MultiProcessTest, EnableOutlivesItsControllerAndReachesALaterProvider) {
    start_session();
    ChildProcess controller = spawn_helper("enable_and_exit", {kName});
    EXPECT_EQ(controller.read_line(), "enabled 0");
    EXPECT_EQ(controller.wait(), 0);
    ChildProcess provider = spawn_helper("provider");
    // The callback runs on the runtime's thread, possibly before
    // RegisterTraceGuidsA has returned to the provider.
    std::set<std::string> lines = {provider.read_line(), provider.read_line()};
    EXPECT_EQ(lines, (std::set<std::string>{"registered 0", "enable 3 5 0"}));
    provider.write_line("quit");
    EXPECT_EQ(provider.wait(), 0);
}

// ---- Another user ----------------------------------------------------------

TEST_HELPER(other_user) {
    TRACEHANDLE h = unhex(argv[1]);
    Event ev;
    ev.stamp(5, 0, 1);
    Properties p, q, s, all;
    TRACEHANDLE started = 0;
    EVENT_TRACE_PROPERTIES* array[1] = {all.get()};
    ULONG count = 0;
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE consumer = open_consumer(kName, &lf);
    TRACEHANDLE reg = 0;
    // Providers of every user register and hear about enables.
    for (ULONG rc : {TraceEvent(h, ev.get()), StartTraceA(&started, "another", p.get()), query_session(kName, &q),
                     ControlTraceA(h, nullptr, s.get(), EVENT_TRACE_CONTROL_STOP),
                     EnableTrace(TRUE, 1, 1, &kControlGuid, h), QueryAllTracesA(array, 1, &count),
                     ProcessTrace(&consumer, 1, nullptr, nullptr), register_child_provider(&reg)})
        send_line(std::to_string(rc));
    receive_line();
    UnregisterTraceGuids(reg);
    return 0;
}

TEST_F(MultiProcessTest, AnotherUserMayWriteButNotControlQueryOrConsume) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    TRACEHANDLE session = start_session();
    ThreadConsumer consumer;
    consumer.start();
    testing_support::SpawnOptions as_other;
    as_other.uid = as_other.gid = uid;
    ChildProcess child = spawn_helper("other_user", {hex(session)}, as_other);
    // TraceEvent, StartTraceA, query, stop, EnableTrace, QueryAllTracesA,
    // ProcessTrace, RegisterTraceGuidsA.
    const std::string ok = "0", denied = std::to_string(ERROR_ACCESS_DENIED);
    for (const std::string& expected : {ok, denied, denied, denied, denied, denied, denied, ok})
        EXPECT_EQ(child.read_line(), expected);
    ASSERT_EQ(EnableTrace(TRUE, 6, 6, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(child.read_line(), "enable 6 6 0");
    child.write_line("done");
    EXPECT_EQ(child.wait(), 0);
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 2; }));  // its event, and its callback's
    std::lock_guard<std::mutex> lock(consumer.received.mutex);
    EXPECT_EQ(consumer.received.stamps[0].producer, 5u);
    EXPECT_EQ(consumer.received.headers[0].ProcessId, DWORD(child.pid()));
}

// ---- Killed in the middle ---------------------------------------------------

std::atomic<int> g_hang_stage{-1};
std::atomic<uint64_t> g_hang_countdown{0};

void hang_at_stage(w32rt::etw::WriteStage stage) {
    if (int(stage) != g_hang_stage.load() || g_hang_countdown.fetch_sub(1) != 1) return;
    send_line("hung");
    for (;;) pause();
}

// argv: handle stage events. Writes events and stops for good inside the
// last one at the given stage.
TEST_HELPER(producer_hanging) {
    g_hang_stage = atoi(argv[2]);
    const uint64_t events = strtoull(argv[3], nullptr, 10);
    g_hang_countdown = events;
    w32rt::etw::g_write_stage_hook = hang_at_stage;
    Event ev(600);
    for (uint64_t i = 0; i < events; ++i) {
        ev.stamp(3, 0, i);
        TraceEvent(unhex(argv[1]), ev.get());
    }
    return 1;  // not reached
}

ChildProcess hang_writer(TRACEHANDLE session, w32rt::etw::WriteStage stage, int events) {
    return spawn_helper("producer_hanging", {hex(session), std::to_string(int(stage)), std::to_string(events)});
}

// (stage the writer dies at, events of it that are lost)
class KilledWriterTest : public MultiProcessTest,
                         public ::testing::WithParamInterface<std::pair<w32rt::etw::WriteStage, ULONG>> {};

TEST_P(KilledWriterTest, ConsumerSkipsAnUnfinishedRecordCountsItAndGoesOn) {
    const auto [stage, lost] = GetParam();
    TRACEHANDLE session = start_session();
    ThreadConsumer consumer;
    consumer.start();
    ChildProcess writer = hang_writer(session, stage, 5);
    ASSERT_TRUE(writer.expect_line("hung"));
    // Before its commit the record holds back everything after it.
    const uint64_t before = 5 - lost;
    ASSERT_TRUE(eventually([&] { return consumer.received.count == before; }));
    writer.kill(SIGKILL);
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);

    Event ev;
    for (uint64_t i = 0; i < 100; ++i) {
        ev.stamp(4, 0, i);
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    }
    ASSERT_TRUE(eventually([&] { return consumer.received.count == before + 100; }, std::chrono::seconds(20)));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(consumer.received.lost, lost);
    for (uint64_t i = 0; i < before; ++i) EXPECT_EQ(consumer.received.stamps[i].sequence, i);
    for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(consumer.received.stamps[before + i].producer, 4u);
}

INSTANTIATE_TEST_SUITE_P(AtEveryStage, KilledWriterTest,
                         ::testing::Values(std::make_pair(w32rt::etw::WriteStage::Reserved, ULONG(1)),
                                           std::make_pair(w32rt::etw::WriteStage::PayloadWritten, ULONG(1)),
                                           std::make_pair(w32rt::etw::WriteStage::Committed, ULONG(0))));

TEST_F(MultiProcessTest, StopEndsProcessTraceEvenWhileAStoppedWriterHoldsARecordBack) {
    TRACEHANDLE session = start_session();
    ThreadConsumer consumer;
    consumer.start();
    ChildProcess writer = hang_writer(session, w32rt::etw::WriteStage::PayloadWritten, 3);
    ASSERT_TRUE(writer.expect_line("hung"));
    writer.kill(SIGSTOP);  // alive, and never finishing its record
    Event ev;
    ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 2; }));
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    // After the grace for a writer that does not finish, the drain ends.
    EXPECT_EQ(consumer.join(std::chrono::seconds(30)), long(ERROR_SUCCESS));
    EXPECT_EQ(consumer.received.count, 2u);
    EXPECT_EQ(consumer.received.lost, 2u);  // the held record and the one behind it
    writer.kill(SIGKILL);
}

TEST_F(MultiProcessTest, KilledConsumerNeitherBlocksProducersNorKeepsItsSlot) {
    TRACEHANDLE session = start_session();
    ChildProcess doomed = spawn_helper("consumer", {kName, "0", "3"});
    ASSERT_TRUE(doomed.expect_line("attached"));
    Event ev(1400);
    for (uint64_t i = 0; i < 3; ++i) ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(doomed.expect_line("reading"));
    doomed.kill(SIGKILL);
    EXPECT_EQ(doomed.wait(), 128 + SIGKILL);

    // Its ring fills; producers are refused, never blocked, until they
    // notice that its process is gone and give its slot back.
    bool refused = false;
    ASSERT_TRUE(eventually(
        [&] {
            ULONG rc = TraceEvent(session, ev.get());
            refused |= rc == ERROR_NOT_ENOUGH_MEMORY;
            return refused && rc == ERROR_SUCCESS;
        },
        std::chrono::seconds(20)));
    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_GT(q->RealTimeBuffersLost, 0u);
    EXPECT_EQ(q->FreeBuffers, 4u);  // no consumer holds a ring

    // A new consumer works as if nothing had happened, and is the only one.
    ThreadConsumer fresh;
    fresh.start();
    for (uint64_t i = 0; i < 50; ++i) ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(eventually([&] { return fresh.received.count == 50; }));
    std::vector<w32rt::TraceSessionInfo> sessions;
    ASSERT_TRUE(w32rt::list_trace_sessions(&sessions));
    ASSERT_EQ(sessions.size(), 1u);
    ASSERT_EQ(sessions[0].consumers.size(), 1u);
    EXPECT_EQ(sessions[0].consumers[0].pid, uint32_t(getpid()));
}

}  // namespace
