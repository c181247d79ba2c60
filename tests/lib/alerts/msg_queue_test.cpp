// The alerter's message registry: records compare by message, wParam and
// lParam only, the first equal one goes, and threads may use it at once.
#include <string.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "alerts/MsgQueue.h"

namespace {

MSG Msg(UINT message, WPARAM wParam, LPARAM lParam, DWORD time = 0) {
    MSG msg;
    memset(&msg, 0, sizeof msg);
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = time;
    return msg;
}

TEST(MsgQueueTest, VerifyFindsByTheThreeValuesAndRemovesOnlyTheFirstWhenAsked) {
    CMsgQueue queue;
    queue.AddMessage(0xC001, 10, 100);
    queue.AddMessage(Msg(0xC001, 10, 100, 77));  // the same three values; time is not compared
    queue.AddMessage(0xC001, 11, 100);

    const struct {
        MSG probe;
        bool remove;
        bool found;
        size_t left;
    } steps[] = {
        {Msg(0xC002, 10, 100), true, false, 3},  // another message id
        {Msg(0xC001, 10, 101), true, false, 3},  // another lParam
        {Msg(0xC001, 10, 100, 5), false, true, 3},
        {Msg(0xC001, 10, 100), true, true, 2},
        {Msg(0xC001, 10, 100), true, true, 1},
        {Msg(0xC001, 10, 100), true, false, 1},
        {Msg(0xC001, 11, 100), true, true, 0},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(queue.VerifyMessage(step.probe, step.remove), step.found);
        EXPECT_EQ(queue.size(), step.left);
    }
    // The record added whole keeps its other fields.
    queue.AddMessage(Msg(1, 2, 3, 42));
    EXPECT_EQ(queue.front().time, 42u);
    EXPECT_TRUE(queue.RemoveMessage(Msg(1, 2, 3)));
    EXPECT_FALSE(queue.RemoveMessage(Msg(1, 2, 3)));
    queue.AddMessage(1, 2, 3);
    queue.RemoveAll();
    EXPECT_TRUE(queue.empty());
}

TEST(MsgQueueTest, ThreadsAddingAndTakingAtOnceLoseNothing) {
    CMsgQueue queue;
    constexpr int kPerThread = 20000;
    std::thread adder([&] {
        for (int i = 0; i < kPerThread; ++i) queue.AddMessage(0xC001, WPARAM(i), LPARAM(i) * 2);
    });
    int taken = 0;
    for (int i = 0; i < kPerThread; ++i) {
        while (!queue.VerifyMessage(0xC001, WPARAM(i), LPARAM(i) * 2, true)) std::this_thread::yield();
        ++taken;
    }
    adder.join();
    EXPECT_EQ(taken, kPerThread);
    EXPECT_TRUE(queue.TakeAll().empty());
}

TEST(MsgQueueTest, ABatchIsAnsweredMessageByMessageAndReusedNodesKeepTheOrder) {
    CMsgQueue queue;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        queue.AddMessage(0xC001, 1, 10);
        queue.AddMessage(0xC001, 2, 20);
        queue.AddMessage(0xC001, 2, 20);
        queue.AddMessage(0xC001, 3, 30);
        const MSG batch[] = {Msg(0xC001, 2, 20), Msg(0xC002, 1, 10), Msg(0xC001, 2, 20), Msg(0xC001, 2, 20),
                             Msg(0xC001, 1, 10)};
        bool held[5] = {};
        queue.VerifyMessages(batch, 5, held);
        const bool expected[5] = {true, false, true, false, true};
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(held[i], expected[i]) << "message " << i;
        // Records added after removals (on kept nodes) come after the rest.
        queue.AddMessage(0xC001, 4, 40);
        ASSERT_EQ(queue.size(), 2u);
        EXPECT_EQ(queue.front().wParam, 3u);
        EXPECT_EQ(queue.back().wParam, 4u);
        EXPECT_EQ(queue.TakeAll().size(), 2u);
    }
    queue.VerifyMessages(nullptr, 0, nullptr);
    // More removals than nodes kept: the rest are freed, nothing is lost.
    const size_t many = CMsgQueue::kSpareNodes + 100;
    for (size_t i = 0; i < many; ++i) queue.AddMessage(0xC001, i, 0);
    for (size_t i = 0; i < many; ++i) ASSERT_TRUE(queue.RemoveMessage(Msg(0xC001, i, 0)));
    EXPECT_TRUE(queue.empty());
    for (size_t i = 0; i < many; ++i) queue.AddMessage(0xC001, i, 1);
    EXPECT_EQ(queue.size(), many);
    EXPECT_EQ(queue.back().wParam, many - 1);
}

}  // namespace
