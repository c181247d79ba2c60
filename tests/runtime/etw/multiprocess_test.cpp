// Trace sessions between processes: producers and consumers in separate
// processes, exact loss accounting, stop and restart seen from elsewhere,
// control callbacks in a provider process, another user's rights, and
// processes killed in the middle of a write or a read.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <w32rt/trace_sessions.h>

#include "etw/ring.h"
#include "etw_test_util.h"
#include "test_support.h"

using namespace etw_test;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;

namespace {

constexpr const char* kName = "Orkan System Trace";

std::string hex(uint64_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
    return buf;
}
uint64_t unhex(const char* s) { return strtoull(s, nullptr, 16); }

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

// ---- Consumer helper -----------------------------------------------------
//
// argv: name [pause_after]. Prints "attached", pumps, and when the session
// ends prints "result <status> <delivered> <lost> <order_errors>" and one
// "stream <producer> <thread> <count>" line per writing thread.

struct ChildConsumer {
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> next;  // expected sequence per stream
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> counts;
    uint64_t delivered = 0;
    uint64_t order_errors = 0;
    uint64_t pause_after = 0;
    uint64_t hang_after = 0;
    ULONG lost = 0;
} g_child;

VOID WINAPI child_event(PEVENT_TRACE ev) {
    Stamp s{};
    if (ev->MofLength >= sizeof s) memcpy(&s, ev->MofData, sizeof s);
    auto key = std::make_pair(s.producer, s.thread);
    auto it = g_child.next.find(key);
    // Later events of a stream may be lost, never reordered or repeated.
    if (it != g_child.next.end() && s.sequence < it->second) ++g_child.order_errors;
    g_child.next[key] = s.sequence + 1;
    ++g_child.counts[key];
    ++g_child.delivered;
    if (g_child.pause_after && g_child.delivered == g_child.pause_after) {
        send_line("paused");
        receive_line();
    }
    if (g_child.hang_after && g_child.delivered == g_child.hang_after) {
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
    memset(&lf, 0, sizeof lf);
    lf.LoggerName = argv[1];
    lf.ProcessTraceMode = EVENT_TRACE_REAL_TIME_MODE;
    lf.EventCallback = child_event;
    lf.BufferCallback = child_buffer;
    TRACEHANDLE h = OpenTraceA(&lf);
    if (h == INVALID_PROCESSTRACE_HANDLE) {
        send_line("open-failed " + std::to_string(GetLastError()));
        return 1;
    }
    send_line("attached");
    ULONG status = ProcessTrace(&h, 1, nullptr, nullptr);
    send_line("result " + std::to_string(status) + " " + std::to_string(g_child.delivered) + " " +
              std::to_string(g_child.lost) + " " + std::to_string(g_child.order_errors));
    for (const auto& [key, count] : g_child.counts)
        send_line("stream " + std::to_string(key.first) + " " + std::to_string(key.second) + " " +
                  std::to_string(count));
    send_line("end");
    CloseTrace(h);
    return 0;
}

struct ConsumerResult {
    ULONG status = ~0u;
    uint64_t delivered = 0;
    uint64_t lost = 0;
    uint64_t order_errors = 0;
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> streams;
};

ConsumerResult read_result(ChildProcess& child) {
    ConsumerResult r;
    for (;;) {
        std::string line = child.read_line();
        if (line.empty() || line == "end") break;
        auto w = words(line);
        if (w[0] == "result" && w.size() == 5) {
            r.status = ULONG(std::stoul(w[1]));
            r.delivered = std::stoull(w[2]);
            r.lost = std::stoull(w[3]);
            r.order_errors = std::stoull(w[4]);
        } else if (w[0] == "stream" && w.size() == 4) {
            r.streams[{uint32_t(std::stoul(w[1])), uint32_t(std::stoul(w[2]))}] = std::stoull(w[3]);
        }
    }
    return r;
}

// ---- Producer helper -----------------------------------------------------
//
// argv: handle(hex) producer threads events payload. Each thread writes
// `events` events stamped (producer, thread, sequence). Prints
// "produced <attempts> <accepted> <full> <other>".

TEST_HELPER(producer) {
    TRACEHANDLE h = unhex(argv[1]);
    uint32_t producer = uint32_t(atoi(argv[2]));
    int threads = atoi(argv[3]);
    uint64_t events = strtoull(argv[4], nullptr, 10);
    uint32_t payload = uint32_t(atoi(argv[5]));
    std::atomic<uint64_t> accepted{0}, full{0}, other{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            Event ev(payload);
            for (uint64_t i = 0; i < events; ++i) {
                ev.stamp(producer, uint32_t(t), i);
                ULONG rc = TraceEvent(h, ev.get());
                if (rc == ERROR_SUCCESS)
                    ++accepted;
                else if (rc == ERROR_NOT_ENOUGH_MEMORY)
                    ++full;
                else
                    ++other;
            }
        });
    }
    for (auto& w : workers) w.join();
    send_line("produced " + std::to_string(uint64_t(threads) * events) + " " + std::to_string(accepted) + " " +
              std::to_string(full) + " " + std::to_string(other));
    return 0;
}

struct ProducerResult {
    uint64_t attempts = 0, accepted = 0, full = 0, other = 0;
};

ProducerResult read_produced(ChildProcess& child) {
    ProducerResult r;
    auto w = words(child.read_line(std::chrono::seconds(60)));
    if (w.size() == 5 && w[0] == "produced") {
        r.attempts = std::stoull(w[1]);
        r.accepted = std::stoull(w[2]);
        r.full = std::stoull(w[3]);
        r.other = std::stoull(w[4]);
    }
    return r;
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
    ProducerResult r1 = read_produced(p1), r2 = read_produced(p2);
    EXPECT_EQ(p1.wait(), 0);
    EXPECT_EQ(p2.wait(), 0);
    EXPECT_EQ(r1.accepted, 2 * per_thread);
    EXPECT_EQ(r2.accepted, 2 * per_thread);

    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    for (ChildProcess* c : {&c1, &c2}) {
        ConsumerResult r = read_result(*c);
        EXPECT_EQ(r.status, ULONG(ERROR_SUCCESS));
        EXPECT_EQ(r.delivered, 4 * per_thread);
        EXPECT_EQ(r.lost, 0u);
        EXPECT_EQ(r.order_errors, 0u);
        ASSERT_EQ(r.streams.size(), 4u);
        for (const auto& [stream, count] : r.streams) EXPECT_EQ(count, per_thread);
        EXPECT_EQ(c->wait(), 0);
    }
}

TEST_F(MultiProcessTest, PausedConsumerLosesExactlyWhatItMissedAndAFastOneLosesNothing) {
    TRACEHANDLE session = start_session(kName, 50, 4);  // 200 KB rings: 139 events of 1400 bytes
    ChildProcess slow = spawn_helper("consumer", {kName, "10"});
    ASSERT_TRUE(slow.expect_line("attached"));
    ThreadConsumer fast(kName);
    fast.start();

    // The slow consumer stops in its 10th callback; meanwhile 3000 events
    // go by in bursts that the fast consumer takes in full.
    Event ev(1400);
    const uint64_t total = 3000;
    for (uint64_t i = 0; i < total; ++i) {
        ev.stamp(9, 0, i);
        ULONG rc = TraceEvent(session, ev.get());
        ASSERT_TRUE(rc == ERROR_SUCCESS) << rc;
        if (i == 20) {
            ASSERT_TRUE(slow.expect_line("paused"));
        }
        if (i % 50 == 49) {
            ASSERT_TRUE(eventually([&] { return fast.received.count == i + 1; }));
        }
    }
    slow.write_line("go");
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    ConsumerResult r = read_result(slow);
    EXPECT_EQ(r.status, ULONG(ERROR_SUCCESS));
    EXPECT_EQ(r.order_errors, 0u);
    EXPECT_GT(r.lost, 0u);
    EXPECT_EQ(r.delivered + r.lost, total);
    EXPECT_EQ(fast.join(), long(ERROR_SUCCESS));
    EXPECT_EQ(fast.received.count, total);
}

TEST_F(MultiProcessTest, StopWakesEveryWaitingProcessTrace) {
    start_session(kName);
    std::vector<ChildProcess> consumers;
    for (int i = 0; i < 3; ++i) {
        consumers.push_back(spawn_helper("consumer", {kName}));
        ASSERT_TRUE(consumers.back().expect_line("attached"));
    }
    ThreadConsumer local(kName);
    local.start();
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    for (ChildProcess& c : consumers) {
        ConsumerResult r = read_result(c);
        EXPECT_EQ(r.status, ULONG(ERROR_SUCCESS));
        EXPECT_EQ(c.wait(), 0);
    }
    EXPECT_EQ(local.join(), long(ERROR_SUCCESS));
}

// ---- Handles across processes ---------------------------------------------

// argv: handle(hex). Writes one event and prints TraceEvent's status, then
// does the same again for every line the parent sends.
TEST_HELPER(write_with_handle) {
    TRACEHANDLE h = unhex(argv[1]);
    Event ev;
    for (;;) {
        ev.stamp(7, 0, 0);
        send_line("status " + std::to_string(TraceEvent(h, ev.get())));
        std::string line = receive_line();
        if (line.empty() || line == "quit") return 0;
    }
}

TEST_F(MultiProcessTest, StaleHandleIsRefusedInEveryProcessAfterARestart) {
    TRACEHANDLE first = start_session(kName);
    ChildProcess child = spawn_helper("write_with_handle", {hex(first)});
    EXPECT_EQ(child.read_line(), "status 0");

    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    TRACEHANDLE second = start_session(kName);
    EXPECT_NE(second, first);
    child.write_line("again");
    EXPECT_EQ(child.read_line(), "status " + std::to_string(ERROR_INVALID_HANDLE));
    Properties p;
    EXPECT_EQ(ControlTraceA(first, nullptr, p.get(), EVENT_TRACE_CONTROL_QUERY), ULONG(ERROR_INVALID_HANDLE));
    child.write_line("quit");
    EXPECT_EQ(child.wait(), 0);

    ChildProcess fresh = spawn_helper("write_with_handle", {hex(second)});
    EXPECT_EQ(fresh.read_line(), "status 0");
    fresh.write_line("quit");
    EXPECT_EQ(fresh.wait(), 0);
}

TEST_HELPER(start_and_exit) {
    Properties p(50, 4);
    TRACEHANDLE h = 0;
    ULONG rc = StartTraceA(&h, argv[1], p.get());
    send_line("started " + std::to_string(rc) + " " + hex(h));
    return 0;
}

TEST_F(MultiProcessTest, SessionOutlivesTheProcessThatStartedIt) {
    ChildProcess starter = spawn_helper("start_and_exit", {kName});
    auto w = words(starter.read_line());
    ASSERT_EQ(w.size(), 3u);
    ASSERT_EQ(w[1], "0");
    TRACEHANDLE h = unhex(w[2].c_str());
    ASSERT_EQ(starter.wait(), 0);

    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(q->Wnode.HistoricalContext, h);
    ThreadConsumer consumer(kName);
    consumer.start();
    Event ev;
    ASSERT_EQ(TraceEvent(h, ev.get()), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 1; }));
    EXPECT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
}

TEST_F(MultiProcessTest, SessionLimitHoldsAcrossProcesses) {
    for (int i = 0; i < 63; ++i) start_session(("session " + std::to_string(i)).c_str());
    ChildProcess sixty_fourth = spawn_helper("start_and_exit", {"the 64th"});
    EXPECT_EQ(words(sixty_fourth.read_line())[1], "0");
    ChildProcess sixty_fifth = spawn_helper("start_and_exit", {"the 65th"});
    EXPECT_EQ(words(sixty_fifth.read_line())[1], std::to_string(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(sixty_fourth.wait(), 0);
    EXPECT_EQ(sixty_fifth.wait(), 0);
    EXPECT_EQ(stop_session("THE 64TH"), ULONG(ERROR_SUCCESS));
    ChildProcess again = spawn_helper("start_and_exit", {"the 65th"});
    EXPECT_EQ(words(again.read_line())[1], "0");
    EXPECT_EQ(again.wait(), 0);
}

// ---- Providers in another process -----------------------------------------

ULONG WINAPI child_control(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer) {
    if (code == WMI_ENABLE_EVENTS) {
        TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
        UCHAR level = GetTraceEnableLevel(logger);
        ULONG flags = GetTraceEnableFlags(logger);
        *static_cast<TRACEHANDLE*>(context) = logger;
        // Write one event through the logger handle: it names the session.
        Event ev;
        ev.stamp(77, 0, level);
        ULONG rc = TraceEvent(logger, ev.get());
        send_line("enable " + std::to_string(level) + " " + hex(flags) + " " + std::to_string(rc));
    } else if (code == WMI_DISABLE_EVENTS) {
        send_line("disable");
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

TEST_HELPER(provider) {
    static TRACEHANDLE logger = 0;
    TRACE_GUID_REGISTRATION classes[1] = {{&kEventGuid, nullptr}};
    TRACEHANDLE reg = 0;
    ULONG rc = RegisterTraceGuidsA(child_control, &logger, &kControlGuid, 1, classes, nullptr, nullptr, &reg);
    send_line("registered " + std::to_string(rc));
    for (;;) {
        std::string line = receive_line();
        if (line.empty() || line == "quit") break;
    }
    UnregisterTraceGuids(reg);
    return 0;
}

TEST_HELPER(enable_and_exit) {
    Properties q;
    if (query_session(argv[1], &q) != ERROR_SUCCESS) return 1;
    ULONG rc = EnableTrace(TRUE, 0x5, 3, &kControlGuid, q->Wnode.HistoricalContext);
    send_line("enabled " + std::to_string(rc));
    return 0;
}

TEST_F(MultiProcessTest, ProviderProcessGetsEnableChangeDisableAndStopCallbacks) {
    TRACEHANDLE session = start_session(kName);
    ThreadConsumer consumer(kName);
    consumer.start();
    ChildProcess provider = spawn_helper("provider");
    ASSERT_EQ(provider.read_line(), "registered 0");

    ASSERT_EQ(EnableTrace(TRUE, 0xFFFFFFFF, 255, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.read_line(), "enable 255 ffffffff 0");
    ASSERT_EQ(EnableTrace(TRUE, 0x10, 4, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.read_line(), "enable 4 10 0");
    ASSERT_EQ(EnableTrace(FALSE, 0, 0, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.read_line(), "disable");
    ASSERT_EQ(EnableTrace(TRUE, 1, 2, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.read_line(), "enable 2 1 0");

    // The events the provider wrote through its logger handles arrived.
    ASSERT_TRUE(eventually([&] { return consumer.received.count == 3; }));
    {
        std::lock_guard<std::mutex> lock(consumer.received.mutex);
        EXPECT_EQ(consumer.received.stamps[0].sequence, 255u);
        EXPECT_EQ(consumer.received.stamps[1].sequence, 4u);
        EXPECT_EQ(consumer.received.stamps[2].sequence, 2u);
        EXPECT_EQ(consumer.received.headers[0].ProcessId, DWORD(provider.pid()));
    }
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.read_line(), "disable");
    provider.write_line("quit");
    EXPECT_EQ(provider.wait(), 0);
    EXPECT_EQ(consumer.join(), long(ERROR_SUCCESS));
}

TEST_F(MultiProcessTest, EnableOutlivesItsControllerAndReachesALaterProvider) {
    start_session(kName);
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

ULONG control_status_as_other(const char* name) {
    Properties p;
    return ControlTraceA(0, name, p.get(), EVENT_TRACE_CONTROL_QUERY);
}

TEST_HELPER(other_user) {
    TRACEHANDLE h = unhex(argv[1]);
    Event ev;
    ev.stamp(5, 0, 1);
    send_line("trace " + std::to_string(TraceEvent(h, ev.get())));
    Properties p;
    TRACEHANDLE started = 0;
    send_line("start " + std::to_string(StartTraceA(&started, "another", p.get())));
    send_line("query " + std::to_string(control_status_as_other(kName)));
    Properties s;
    send_line("stop " + std::to_string(ControlTraceA(h, nullptr, s.get(), EVENT_TRACE_CONTROL_STOP)));
    send_line("enable " + std::to_string(EnableTrace(TRUE, 1, 1, &kControlGuid, h)));
    Properties all;
    EVENT_TRACE_PROPERTIES* array[1] = {all.get()};
    ULONG count = 0;
    send_line("all " + std::to_string(QueryAllTracesA(array, 1, &count)));
    EVENT_TRACE_LOGFILEA lf;
    TRACEHANDLE consumer = open_consumer(kName, &lf);
    send_line("process " + std::to_string(ProcessTrace(&consumer, 1, nullptr, nullptr)));
    CloseTrace(consumer);
    // Providers of every user register and hear about enables.
    static TRACEHANDLE logger = 0;
    TRACEHANDLE reg = 0;
    send_line("register " +
              std::to_string(RegisterTraceGuidsA(child_control, &logger, &kControlGuid, 0, nullptr, nullptr, nullptr, &reg)));
    receive_line();
    UnregisterTraceGuids(reg);
    return 0;
}

TEST_F(MultiProcessTest, AnotherUserMayWriteButNotControlQueryOrConsume) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    TRACEHANDLE session = start_session(kName);
    ThreadConsumer consumer(kName);
    consumer.start();
    testing_support::SpawnOptions as_other;
    as_other.uid = uid;
    as_other.gid = uid;
    ChildProcess child = spawn_helper("other_user", {hex(session)}, as_other);
    const std::string denied = std::to_string(ERROR_ACCESS_DENIED);
    EXPECT_EQ(child.read_line(), "trace 0");
    EXPECT_EQ(child.read_line(), "start " + denied);
    EXPECT_EQ(child.read_line(), "query " + denied);
    EXPECT_EQ(child.read_line(), "stop " + denied);
    EXPECT_EQ(child.read_line(), "enable " + denied);
    EXPECT_EQ(child.read_line(), "all " + denied);
    EXPECT_EQ(child.read_line(), "process " + denied);
    EXPECT_EQ(child.read_line(), "register 0");
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
    if (int(stage) != g_hang_stage.load()) return;
    if (g_hang_countdown.fetch_sub(1) != 1) return;
    send_line("hung");
    for (;;) pause();
}

// argv: handle(hex) stage events. Writes events and stops for good inside
// the last one at the given stage.
TEST_HELPER(producer_hanging) {
    TRACEHANDLE h = unhex(argv[1]);
    g_hang_stage = atoi(argv[2]);
    uint64_t events = strtoull(argv[3], nullptr, 10);
    g_hang_countdown = events;
    w32rt::etw::g_write_stage_hook = hang_at_stage;
    Event ev(600);
    for (uint64_t i = 0; i < events; ++i) {
        ev.stamp(3, 0, i);
        TraceEvent(h, ev.get());
    }
    return 1;  // not reached
}

ULONG g_local_lost = 0;
ULONG WINAPI local_buffer(PEVENT_TRACE_LOGFILEA lf) {
    g_local_lost = lf->EventsLost;
    return TRUE;
}

// (stage the writer dies at, events of it that are lost)
class KilledWriterTest : public MultiProcessTest, public ::testing::WithParamInterface<std::pair<int, ULONG>> {};

TEST_P(KilledWriterTest, ConsumerSkipsAnUnfinishedRecordCountsItAndGoesOn) {
    const int stage = GetParam().first;
    const ULONG lost = GetParam().second;
    TRACEHANDLE session = start_session(kName);
    g_local_lost = 0;
    EVENT_TRACE_LOGFILEA lf;
    memset(&lf, 0, sizeof lf);
    lf.LoggerName = const_cast<char*>(kName);
    lf.ProcessTraceMode = EVENT_TRACE_REAL_TIME_MODE;
    lf.EventCallback = record_event;
    lf.BufferCallback = local_buffer;
    TRACEHANDLE h = OpenTraceA(&lf);
    Received received;
    std::thread pump([&] {
        t_received = &received;
        TRACEHANDLE copy = h;
        EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_SUCCESS));
        t_received = nullptr;
    });

    ChildProcess writer = spawn_helper("producer_hanging", {hex(session), std::to_string(stage), "5"});
    ASSERT_TRUE(writer.expect_line("hung"));
    // Before its commit the record holds back everything after it.
    ASSERT_TRUE(eventually([&] { return received.count == 5 - lost; }));
    writer.kill(SIGKILL);
    EXPECT_EQ(writer.wait(), 128 + SIGKILL);

    Event ev;
    for (uint64_t i = 0; i < 100; ++i) {
        ev.stamp(4, 0, i);
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    }
    const uint64_t before = 5 - lost;
    ASSERT_TRUE(eventually([&] { return received.count == before + 100; }, std::chrono::seconds(20)));
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    pump.join();
    EXPECT_EQ(g_local_lost, lost);
    std::lock_guard<std::mutex> lock(received.mutex);
    for (uint64_t i = 0; i < before; ++i) EXPECT_EQ(received.stamps[i].sequence, i);
    for (uint64_t i = 0; i < 100; ++i) EXPECT_EQ(received.stamps[before + i].producer, 4u);
    CloseTrace(h);
}

INSTANTIATE_TEST_SUITE_P(AtEveryStage, KilledWriterTest,
                         ::testing::Values(std::make_pair(int(w32rt::etw::WriteStage::Reserved), ULONG(1)),
                                           std::make_pair(int(w32rt::etw::WriteStage::PayloadWritten), ULONG(1)),
                                           std::make_pair(int(w32rt::etw::WriteStage::Committed), ULONG(0))));

TEST_F(MultiProcessTest, StopEndsProcessTraceEvenWhileAStoppedWriterHoldsARecordBack) {
    TRACEHANDLE session = start_session(kName);
    g_local_lost = 0;
    EVENT_TRACE_LOGFILEA lf;
    memset(&lf, 0, sizeof lf);
    lf.LoggerName = const_cast<char*>(kName);
    lf.ProcessTraceMode = EVENT_TRACE_REAL_TIME_MODE;
    lf.EventCallback = record_event;
    lf.BufferCallback = local_buffer;
    TRACEHANDLE h = OpenTraceA(&lf);
    Received received;
    std::atomic<bool> returned{false};
    std::thread pump([&] {
        t_received = &received;
        TRACEHANDLE copy = h;
        EXPECT_EQ(ProcessTrace(&copy, 1, nullptr, nullptr), ULONG(ERROR_SUCCESS));
        returned = true;
    });
    ChildProcess writer = spawn_helper(
        "producer_hanging", {hex(session), std::to_string(int(w32rt::etw::WriteStage::PayloadWritten)), "3"});
    ASSERT_TRUE(writer.expect_line("hung"));
    writer.kill(SIGSTOP);  // alive, and never finishing its record
    Event ev;
    ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(eventually([&] { return received.count == 2; }));
    ASSERT_EQ(stop_session(kName), ULONG(ERROR_SUCCESS));
    // After the grace for a writer that does not finish, the drain ends.
    ASSERT_TRUE(eventually([&] { return returned.load(); }, std::chrono::seconds(30)));
    pump.join();
    EXPECT_EQ(received.count, 2u);
    EXPECT_EQ(g_local_lost, 2u);  // the held record and the one behind it
    writer.kill(SIGKILL);
    CloseTrace(h);
}

TEST_F(MultiProcessTest, KilledConsumerNeitherBlocksProducersNorKeepsItsSlot) {
    TRACEHANDLE session = start_session(kName);
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

    // A new consumer works as if nothing had happened.
    ThreadConsumer fresh(kName);
    fresh.start();
    for (uint64_t i = 0; i < 50; ++i) {
        ev.stamp(1, 0, i);
        ASSERT_EQ(TraceEvent(session, ev.get()), ULONG(ERROR_SUCCESS));
    }
    ASSERT_TRUE(eventually([&] { return fresh.received.count == 50; }));
}

TEST_F(MultiProcessTest, KilledConsumerSlotIsReapedWhenAnotherAttaches) {
    start_session(kName);
    ChildProcess doomed = spawn_helper("consumer", {kName});
    ASSERT_TRUE(doomed.expect_line("attached"));
    doomed.kill(SIGKILL);
    EXPECT_EQ(doomed.wait(), 128 + SIGKILL);
    ThreadConsumer fresh(kName);
    ASSERT_NE(fresh.handle(), INVALID_PROCESSTRACE_HANDLE);
    Properties q;
    ASSERT_EQ(query_session(kName, &q), ULONG(ERROR_SUCCESS));
    std::vector<w32rt::TraceSessionInfo> sessions;
    ASSERT_TRUE(w32rt::list_trace_sessions(&sessions));
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].consumers.size(), 1u);
}

}  // namespace
