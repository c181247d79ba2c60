// Wake-ups of thread message queues: a post wakes the owner only when it
// waits (or is about to), and no post is ever lost between the owner's look
// at its queue and its sleep, whichever way it waits and whatever else its
// wait includes.
#include <windows.h>

#include <chrono>
#include <thread>

#include "sync/futex_words.h"
#include "sync/message_queue.h"
#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::eventually;

namespace {

class MessageWakeTest : public testing_support::MachineTest {};

constexpr DWORD kStallMs = 10000;  // no wake-up is ever this late
constexpr UINT kPing = WM_USER + 1;
constexpr UINT kRescue = WM_APP + 1;

uint64_t wakes_of(DWORD tid) {
    auto queue = w32rt::sync::find_queue(tid);
    return queue ? queue->wakes_for_testing() : 0;
}

enum class WaitKind { kMsgWait, kMsgWaitAvailable, kGetMessage, kMixed };

// A receiving thread takes `total` inputs (posted messages, and pulses of
// its auto-reset event when events are used), waiting between them as
// `kind` says, and reports each one at once. The sender sends one input and,
// except inside bursts of messages, waits for it to be taken before the
// next: the receiver goes back to sleep between inputs, so every send races
// with the receiver's way into its sleep. A wake-up that is lost stalls the
// round; the round then fails instead of hanging.
struct PingPong {
    WaitKind kind;
    uint32_t total;
    uint32_t eventEvery;  // every n-th input sets the event (0: never)
    uint32_t burstEvery;  // every n-th message is not waited for (0: never)

    std::atomic<DWORD> tid{0};
    std::atomic<uint32_t> taken{0};
    std::atomic<bool> stalled{false};
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    ~PingPong() { CloseHandle(event); }

    DWORD WaitOnce(WaitKind how) {
        MSG m;
        if (how == WaitKind::kGetMessage) {
            if (GetMessageA(&m, nullptr, 0, 0) <= 0) return WAIT_FAILED;
            if (m.message == kRescue) return WAIT_TIMEOUT;
            taken.fetch_add(1);
            return WAIT_OBJECT_0 + 1;
        }
        const DWORD flags = how == WaitKind::kMsgWaitAvailable ? MWMO_INPUTAVAILABLE : 0;
        const DWORD r = MsgWaitForMultipleObjectsEx(1, &event, kStallMs, QS_ALLPOSTMESSAGE, flags);
        if (r == WAIT_OBJECT_0) taken.fetch_add(1);
        if (r == WAIT_OBJECT_0 + 1) {
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                if (m.message == kRescue) return WAIT_TIMEOUT;
                taken.fetch_add(1);
            }
        }
        return r;
    }

    void Receive() {
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
        tid = GetCurrentThreadId();
        for (uint32_t round = 0; taken.load() < total; ++round) {
            WaitKind how = kind;
            if (kind == WaitKind::kMixed) how = round % 2 ? WaitKind::kMsgWaitAvailable : WaitKind::kMsgWait;
            const DWORD r = WaitOnce(how);
            if (r == WAIT_TIMEOUT || r == WAIT_FAILED) {
                stalled = true;
                return;
            }
        }
    }

    // False when an input was not taken in time (a lost wake-up).
    bool Send() {
        for (uint32_t i = 0; i < total; ++i) {
            const bool viaEvent = eventEvery != 0 && i % eventEvery == eventEvery - 1;
            if (viaEvent) {
                SetEvent(event);
            } else if (!PostThreadMessageA(tid, kPing, i, 0)) {
                return false;
            }
            // An event is always waited for: a second set before the first
            // is taken would merge with it.
            const bool burst = !viaEvent && burstEvery != 0 && i % burstEvery != 0;
            if (burst && i + 1 < total) continue;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallMs);
            while (taken.load() <= i) {
                if (stalled.load() || std::chrono::steady_clock::now() > deadline) return false;
                std::this_thread::yield();
            }
        }
        return true;
    }

    // Runs the round; the number of futex wakes the posts made.
    uint64_t Run() {
        std::thread receiver([this] { Receive(); });
        EXPECT_TRUE(eventually([this] { return tid.load() != 0; }));
        // Held: the queue is closed with its thread at the end of the round.
        const auto queue = w32rt::sync::find_queue(tid);
        const bool sent = Send();
        EXPECT_TRUE(sent) << "input " << taken.load() << " of " << total << " was not taken: a lost wake-up";
        const uint64_t wakes = queue ? queue->wakes_for_testing() : 0;
        // A receiver left asleep is woken to end the round.
        if (!sent) PostThreadMessageA(tid, kRescue, 0, 0);
        receiver.join();
        EXPECT_FALSE(stalled.load());
        EXPECT_EQ(taken.load(), total);
        return wakes;
    }
};

// Every input is taken, one at a time and in bursts, by every kind of
// message wait, with an event in the same wait.
TEST_F(MessageWakeTest, NoPostIsLostBetweenTheOwnersLookAndItsSleep) {
    struct Case {
        const char* name;
        WaitKind kind;
        uint32_t eventEvery;
        uint32_t burstEvery;
    };
    const Case cases[] = {
        {"MsgWait, messages one at a time", WaitKind::kMsgWait, 0, 0},
        {"MsgWait, messages and an event", WaitKind::kMsgWait, 5, 0},
        {"MsgWait, input available, messages and an event", WaitKind::kMsgWaitAvailable, 3, 0},
        {"MsgWait, both ways in turn, bursts", WaitKind::kMixed, 7, 4},
        {"GetMessage", WaitKind::kGetMessage, 0, 0},
        {"GetMessage, bursts", WaitKind::kGetMessage, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PingPong round{c.kind, 20000, c.eventEvery, c.burstEvery};
        const uint64_t wakes = round.Run();
        // The receiver slept for most inputs, and the posts woke it.
        EXPECT_GT(wakes, 0u);
    }
}

// Without futex_waitv a wait on a handle and the queue sleeps on the queue's
// word and polls the handle: posts still wake it at once, and the event is
// still seen.
TEST_F(MessageWakeTest, NoPostIsLostWhenTheWaitPollsItsHandles) {
    w32rt::sync::simulate_missing_waitv_for_testing(true);
    std::shared_ptr<void> restore(nullptr, [](void*) { w32rt::sync::simulate_missing_waitv_for_testing(false); });
    PingPong round{WaitKind::kMixed, 2000, 20, 5};
    EXPECT_GT(round.Run(), 0u);
}

// Posts to a thread that is busy (not in a message wait) make no futex
// call; the thread finds them all when it next looks, and a post while it
// waits wakes it.
TEST_F(MessageWakeTest, PostsToABusyThreadWakeNobody) {
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> tid{0};
    std::atomic<uint32_t> taken{0};
    Waiter target([&] {
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
        tid = GetCurrentThreadId();
        // Busy elsewhere: a wait that is not a message wait.
        WaitForSingleObject(gate, INFINITE);
        while (taken.load() < 1001) {
            if (MsgWaitForMultipleObjectsEx(0, nullptr, kStallMs, QS_POSTMESSAGE, 0) != WAIT_OBJECT_0)
                return DWORD(WAIT_TIMEOUT);
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) taken.fetch_add(1);
        }
        return DWORD(WAIT_OBJECT_0);
    });
    ASSERT_TRUE(eventually([&] { return tid.load() != 0; }));
    ASSERT_TRUE(eventually_sleeping(gate, 1));
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(PostThreadMessageA(tid, kPing, i, 0));
    EXPECT_EQ(wakes_of(tid), 0u);
    SetEvent(gate);
    ASSERT_TRUE(eventually([&] { return taken.load() == 1000; }));
    // Now it waits on its queue: the next post wakes it.
    auto queue = w32rt::sync::find_queue(tid);
    ASSERT_NE(queue, nullptr);
    ASSERT_TRUE(eventually([&] { return queue->sleepers_for_testing() == 1; }));
    ASSERT_TRUE(PostThreadMessageA(tid, kPing, 1000, 0));
    EXPECT_EQ(target.join(), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(taken.load(), 1001u);
    EXPECT_GE(queue->wakes_for_testing(), 1u);
    CloseHandle(gate);
}

// A thread that ends closes its queue: a poster that posted to it before
// is refused afterwards, and posts to a new thread go there.
TEST_F(MessageWakeTest, AnEndedThreadsQueueRefusesPostsOfThoseWhoPostedBefore) {
    for (int round = 0; round < 3; ++round) {
        std::atomic<DWORD> tid{0};
        HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::thread target([&] {
            MSG m;
            PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
            tid = GetCurrentThreadId();
            WaitForSingleObject(gate, INFINITE);
        });
        ASSERT_TRUE(eventually([&] { return tid.load() != 0; }));
        EXPECT_TRUE(PostThreadMessageA(tid, kPing, 0, 0));
        auto queue = w32rt::sync::find_queue(tid);
        SetEvent(gate);
        target.join();
        SetLastError(0);
        EXPECT_FALSE(PostThreadMessageA(tid, kPing, 1, 0));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
        // The queue's messages went with it.
        MSG m;
        EXPECT_FALSE(queue->peek(&m, 0, 0, false, 0));
        CloseHandle(gate);
    }
}

}  // namespace
