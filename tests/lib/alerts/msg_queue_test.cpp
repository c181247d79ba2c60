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

}  // namespace
