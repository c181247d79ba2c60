// The real-time listener on its own and inside the consumer: starting and
// stopping on the caller's thread and on its own, a missing session, a
// refused one, and consumers destroyed while their listener delivers.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "consumer_fixture.h"

using namespace consumer_test;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::send_line;
using testing_support::spawn_helper;
using testing_support::SpawnOptions;

namespace {

struct Config {
    Config() {
        memset(&c, 0, sizeof c);
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

std::atomic<int> g_seen{0};
void WINAPI CountEvent(PEVENT_TRACE) { ++g_seen; }

class ListenerTest : public ConsumerTest {
protected:
    void TearDown() override {
        if (provider_ != 0) UnRegisterEvTrace(provider_);
        ConsumerTest::TearDown();
    }
    // Starts the session and enables the providers on it.
    void StartSession() {
        ASSERT_EQ(EvtInitialize(1), S_OK);
        ASSERT_EQ(EnableLogging(1), S_OK);
    }
    void Emit(const char* text) {
        if (provider_ == 0) {
            EVT_PROVIDER_INFO info = {};
            strcpy(info.m_szInstanceName, "ListenerTest");
            ASSERT_EQ(RegisterEvTrace(&provider_, &info), S_OK);
        }
        ASSERT_EQ(EvTraceString(provider_, 51, 0x1001, text, nullptr, nullptr, 0), S_OK);
    }
    ULONG provider_ = 0;
};

TEST_F(ListenerTest, WithoutASessionListeningEndsAtOnce) {
    CEvTraceListener listener;
    Config config;
    config.c.dwMode = EVT_LISTENER_MODE_LISTEN;
    EXPECT_EQ(listener.ConfigureListener(config.c, 1), S_OK);
    EXPECT_EQ(config.c.pListener, &listener);
    EXPECT_TRUE(config.Done());
    EXPECT_TRUE(eventually([&] { return !listener.IsListening(); }));
    // The listener closed the started event and forgot it.
    EXPECT_EQ(config.c.hStartedEvent, nullptr);
    EXPECT_EQ(GetEvTraceListenerStatus(), 0);
}

TEST_F(ListenerTest, ASynchronousListenerDeliversUntilStopped) {
    StartSession();
    CEvTraceListener listener;
    Config config;
    config.c.dwMode = EVT_LISTENER_MODE_LISTEN;
    config.c.pfnEventCallback = &CountEvent;
    g_seen = 0;
    std::atomic<bool> returned{false};
    std::thread host([&] {
        listener.ConfigureListener(config.c, 0);
        returned = true;
    });
    ASSERT_TRUE(eventually([&] { return listener.IsListening(); }));
    // Emit until the listener has attached and seen one.
    ASSERT_TRUE(eventually(
        [&] {
            Emit("ping");
            return g_seen.load() > 0;
        },
        std::chrono::seconds(20)));
    EXPECT_FALSE(returned.load());

    _EVT_LISTENER_CONFIG stop = config.c;
    stop.dwMode = EVT_LISTENER_MODE_STOP;
    EXPECT_EQ(listener.ConfigureListener(stop, 0), S_OK);
    host.join();
    EXPECT_TRUE(returned.load());
    EXPECT_TRUE(config.Done(0));
    EXPECT_EQ(config.c.hStartedEvent, nullptr);
    EXPECT_FALSE(listener.IsListening());
}

TEST_F(ListenerTest, AnAsynchronousStopReturnsAtOnceAndEndsTheListening) {
    StartSession();
    CEvTraceListener listener;
    Config config;
    config.c.dwMode = EVT_LISTENER_MODE_LISTEN;
    ASSERT_EQ(listener.ConfigureListener(config.c, 1), S_OK);
    EXPECT_TRUE(listener.IsListening());
    EXPECT_FALSE(config.Done(0));
    config.c.dwMode = EVT_LISTENER_MODE_STOP;
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(listener.ConfigureListener(config.c, 1), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
    EXPECT_TRUE(config.Done());
    EXPECT_TRUE(eventually([&] { return !listener.IsListening(); }));
}

TEST_F(ListenerTest, StoppingWhatNeverListenedIsHarmless) {
    CEvTraceListener listener;
    Config config;
    config.c.dwMode = EVT_LISTENER_MODE_STOP;
    EXPECT_EQ(listener.ConfigureListener(config.c, 0), S_OK);
    EXPECT_EQ(listener.ConfigureListener(config.c, 1), S_OK);
    listener.StopListening();
    EXPECT_FALSE(listener.IsListening());
}

TEST_F(ListenerTest, DestroyingAListenerStopsItsListening) {
    StartSession();
    Config config;
    config.c.dwMode = EVT_LISTENER_MODE_LISTEN;
    {
        CEvTraceListener listener;
        ASSERT_EQ(listener.ConfigureListener(config.c, 1), S_OK);
        EXPECT_TRUE(listener.IsListening());
    }
    EXPECT_TRUE(config.Done(0));
}

// Runs as another user: the session exists but may not be consumed.
TEST_HELPER(refused_listener) {
    send_line("status " + std::to_string(GetEvTraceListenerStatus()));
    CEvTraceListener listener;
    _EVT_LISTENER_CONFIG config;
    memset(&config, 0, sizeof config);
    config.dwMode = EVT_LISTENER_MODE_LISTEN;
    config.hDoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    listener.ConfigureListener(config, 1);
    WaitForSingleObject(config.hDoneEvent, 10000);
    send_line("status " + std::to_string(GetEvTraceListenerStatus()));
    listener.ConfigureListener(config, 1);
    WaitForSingleObject(config.hDoneEvent, 10000);
    send_line("status " + std::to_string(GetEvTraceListenerStatus()));
    return 0;
}

TEST_F(ListenerTest, ARefusedListenerIsReportedByTheStatus) {
    if (testing_support::unprivileged_uid() < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    StartSession();
    SpawnOptions options;
    options.uid = testing_support::unprivileged_uid();
    options.gid = options.uid;
    ChildProcess child = spawn_helper("refused_listener", {}, options);
    EXPECT_TRUE(child.expect_line("status 0"));
    EXPECT_TRUE(child.expect_line("status 1"));
    EXPECT_TRUE(child.expect_line("status 1"));
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(GetEvTraceListenerStatus(), 0);  // this process was never refused
}

// ---- The consumer's listener -------------------------------------------------

std::atomic<int> g_inside{0};
std::atomic<int> g_finished{0};
void SlowCallback(_VANTA_EVTRACE_DATA*) {
    ++g_inside;
    Sleep(300);
    ++g_finished;
}

TEST_F(ListenerTest, DestroyingTheConsumerWaitsForTheCallbackInFlight) {
    StartSession();
    ASSERT_EQ(EvtInitialize(2), S_OK);
    g_inside = 0;
    g_finished = 0;
    ASSERT_EQ(SetEvTraceCallback(&SlowCallback), S_OK);
    ASSERT_TRUE(eventually(
        [&] {
            Emit("slow");
            return g_inside.load() > 0;
        },
        std::chrono::seconds(20)));
    ASSERT_EQ(EvtUnInitialize(), S_OK);
    // No callback runs or is left running once the consumer is gone.
    const int finished = g_finished.load();
    EXPECT_EQ(g_inside.load(), finished);
    EvtInitialize(1);
    Emit("after");
    Sleep(200);
    EXPECT_EQ(g_inside.load(), finished);
}

std::atomic<int> g_counted{0};
std::atomic<int> g_once{0};
void CountingCallback(_VANTA_EVTRACE_DATA* record) {
    ++g_counted;
    if (record->dwDataLen == 4 && memcmp(record->Data, "once", 4) == 0) ++g_once;
}

TEST_F(ListenerTest, ANewCallbackReusesTheRunningListener) {
    StartSession();
    ASSERT_EQ(EvtInitialize(2), S_OK);
    ASSERT_EQ(SetEvTraceCallback(nullptr), S_OK);
    Emit("converted and dropped");
    g_counted = 0;
    // Returns without starting (and waiting for) a second listener.
    auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(SetEvTraceCallback(&CountingCallback), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
    ASSERT_TRUE(eventually(
        [&] {
            Emit("counted");
            return g_counted.load() > 0;
        },
        std::chrono::seconds(20)));
    // One listener: each event is delivered once.
    g_once = 0;
    for (int i = 0; i < 5; ++i) Emit("once");
    ASSERT_TRUE(eventually([&] { return g_once.load() >= 5; }));
    Sleep(100);
    EXPECT_EQ(g_once.load(), 5);
}

std::atomic<int> g_selfDestroyed{0};
void DestroyingCallback(_VANTA_EVTRACE_DATA*) {
    if (g_selfDestroyed.exchange(1) != 0) return;
    EvtUnInitialize();
    g_selfDestroyed = 2;
}

TEST_F(ListenerTest, AConsumerMayBeDestroyedFromItsOwnCallback) {
    StartSession();
    ASSERT_EQ(EvtInitialize(2), S_OK);
    g_selfDestroyed = 0;
    ASSERT_EQ(SetEvTraceCallback(&DestroyingCallback), S_OK);
    ASSERT_TRUE(eventually(
        [&] {
            Emit("goodbye");
            return g_selfDestroyed.load() == 2;
        },
        std::chrono::seconds(20)));
    // The consumer (and the controller with it) is gone.
    EXPECT_EQ(SetLocalizedHeader(nullptr), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
    Emit("nobody listens");
    // A new consumer listens again.
    ASSERT_EQ(EvtInitialize(2), S_OK);
    g_counted = 0;
    ASSERT_EQ(SetEvTraceCallback(&CountingCallback), S_OK);
    ASSERT_TRUE(eventually(
        [&] {
            Emit("again");
            return g_counted.load() > 0;
        },
        std::chrono::seconds(20)));
}

}  // namespace
