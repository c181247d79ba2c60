// The real-time listener on its own and inside the consumer: listening on a
// thread of its own, a missing session, a refused one, and consumers
// destroyed while their listener delivers.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>

#include "consumer_fixture.h"

using namespace consumer_test;
using testing_support::eventually;

namespace {

struct Config {
    Config() {
        memset(&c, 0, sizeof c);
        c.dwMode = EVT_LISTENER_MODE_LISTEN;
        c.hDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        c.hStartedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Config() {
        CloseHandle(c.hDoneEvent);
        if (c.hStartedEvent != nullptr) CloseHandle(c.hStartedEvent);
    }
    bool Done(DWORD ms = 10000) const { return WaitForSingleObject(c.hDoneEvent, ms) == WAIT_OBJECT_0; }
    _EVT_LISTENER_CONFIG c;
};

// The client callback of the consumer tests: counts the records and the
// texts "once", may take its time, and may destroy its consumer once.
std::atomic<int> g_calls{0}, g_finished{0}, g_once{0};
std::atomic<bool> g_slow{false}, g_destroy{false};
void Callback(_VANTA_EVTRACE_DATA* record) {
    ++g_calls;
    if (record->dwDataLen == 4 && memcmp(record->Data, "once", 4) == 0) ++g_once;
    if (g_slow) Sleep(300);
    if (g_destroy.exchange(false)) EvtUnInitialize();
    ++g_finished;
}

class ListenerTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        g_calls = g_finished = g_once = 0;
        g_slow = g_destroy = false;
    }
};

TEST_F(ListenerTest, ListeningOnItsOwnThreadEndsWithoutASessionByAStopOrByDestruction) {
    CEvTraceListener listener;
    Config none;
    EXPECT_EQ(listener.ConfigureListener(none.c, 1), S_OK);
    EXPECT_TRUE(none.Done());
    EXPECT_TRUE(eventually([&] { return !listener.IsListening(); }));
    EXPECT_EQ(none.c.hStartedEvent, nullptr);  // closed and forgotten
    EXPECT_EQ(GetEvTraceListenerStatus(), 0);
    none.c.dwMode = EVT_LISTENER_MODE_STOP;  // stopping nothing is harmless
    EXPECT_EQ(listener.ConfigureListener(none.c, 1), S_OK);

    StartSession(1);
    Config config;
    ASSERT_EQ(listener.ConfigureListener(config.c, 1), S_OK);
    EXPECT_TRUE(listener.IsListening());
    auto stop = std::make_unique<_EVT_LISTENER_CONFIG>(config.c);
    stop->dwMode = EVT_LISTENER_MODE_STOP;
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(listener.ConfigureListener(*stop, 1), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
    stop.reset();  // the stop thread must not read it: its caller has returned
    EXPECT_TRUE(config.Done());
    EXPECT_TRUE(eventually([&] { return !listener.IsListening(); }));
    Config second;
    {
        CEvTraceListener destroyed;
        ASSERT_EQ(destroyed.ConfigureListener(second.c, 1), S_OK);
        EXPECT_TRUE(destroyed.IsListening());
    }
    EXPECT_TRUE(second.Done(0));
}

// Runs as another user: the session exists but may not be consumed.
TEST_HELPER(refused_listener) {
    testing_support::send_line("status " + std::to_string(GetEvTraceListenerStatus()));
    CEvTraceListener listener;
    Config config;
    for (int i = 0; i < 2; ++i) {
        listener.ConfigureListener(config.c, 1);
        config.Done();
        testing_support::send_line("status " + std::to_string(GetEvTraceListenerStatus()));
    }
    return 0;
}

TEST_F(ListenerTest, ARefusedListenerIsReportedByTheStatus) {
    if (testing_support::unprivileged_uid() < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    StartSession(1);
    testing_support::SpawnOptions options;
    options.uid = options.gid = testing_support::unprivileged_uid();
    testing_support::ChildProcess child = testing_support::spawn_helper("refused_listener", {}, options);
    EXPECT_TRUE(child.expect_line("status 0"));
    EXPECT_TRUE(child.expect_line("status 1"));
    EXPECT_TRUE(child.expect_line("status 1"));
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(GetEvTraceListenerStatus(), 0);  // this process was never refused
}

TEST_F(ListenerTest, AConsumerIsDestroyedOnlyAfterTheCallbackInFlightAndMayBeFromItsOwnCallback) {
    StartSession(1);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    g_slow = true;
    ASSERT_EQ(SetEvTraceCallback(&Callback), S_OK);
    ASSERT_TRUE(EmitUntil("slow", [] { return g_calls > 0; }));
    ASSERT_EQ(EvtUnInitialize(), S_OK);
    // No callback runs or is left running once the consumer is gone.
    int calls = g_calls;
    EXPECT_EQ(g_finished.load(), calls);
    EvtInitialize(1);
    Emit("after");
    Sleep(200);
    EXPECT_EQ(g_calls.load(), calls);

    // Destroyed from its own callback, on the listening thread.
    g_slow = false;
    g_finished = 0;
    g_destroy = true;
    ASSERT_EQ(EvtInitialize(2), S_OK);
    ASSERT_EQ(SetEvTraceCallback(&Callback), S_OK);
    ASSERT_TRUE(EmitUntil("goodbye", [] { return !g_destroy && g_finished > 0; }));
    // The consumer (and the controller with it) is gone.
    EXPECT_EQ(SetLocalizedHeader(nullptr), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
    // A new consumer listens again.
    ASSERT_EQ(EvtInitialize(2), S_OK);
    calls = g_calls;
    ASSERT_EQ(SetEvTraceCallback(&Callback), S_OK);
    ASSERT_TRUE(EmitUntil("again", [&] { return g_calls > calls; }));
}

TEST_F(ListenerTest, ANewCallbackReusesTheRunningListener) {
    StartSession(1);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    ASSERT_EQ(SetEvTraceCallback(nullptr), S_OK);
    Emit("converted and dropped");
    // Returns without starting (and waiting for) a second listener.
    auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(SetEvTraceCallback(&Callback), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
    ASSERT_TRUE(EmitUntil("counted", [] { return g_calls > 0; }));
    // One listener: each event is delivered once.
    for (int i = 0; i < 5; ++i) Emit("once");
    ASSERT_TRUE(eventually([&] { return g_once.load() >= 5; }));
    Sleep(100);
    EXPECT_EQ(g_once.load(), 5);
}

}  // namespace
