// Thread message queues, message waits and registered message ids.
#include <windows.h>

#include <thread>
#include <vector>

#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::spawn_helper;

namespace {

class MessageTest : public testing_support::MachineTest {};

// Posts need the target's queue, which goes with its thread; GetMessage
// sleeps until a message in its filter arrives.
TEST_F(MessageTest, PostsNeedTheTargetsQueueWhichEndsWithTheThread) {
    std::atomic<DWORD> tid{0};
    std::atomic<bool> make_queue{false};
    std::vector<UINT> received;
    std::thread target([&] {
        tid = GetCurrentThreadId();
        while (!make_queue) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        MSG m;  // GetMessageA makes the queue
        while (GetMessageA(&m, nullptr, WM_USER + 1, WM_USER + 2) > 0) {
            received.push_back(m.message);
            if (m.message == WM_USER + 2) break;
        }
    });
    ASSERT_TRUE(eventually([&] { return tid != 0; }));
    EXPECT_FAILS(PostThreadMessageA(tid, WM_USER, 1, 2), FALSE, ERROR_INVALID_THREAD_ID);
    make_queue = true;
    // Outside the filter: the target keeps sleeping.
    ASSERT_TRUE(eventually([&] { return PostThreadMessageA(tid, WM_APP, 0, 0) != FALSE; }));
    for (UINT id : {WM_USER + 1, WM_USER + 2}) EXPECT_TRUE(PostThreadMessageA(tid, id, 1, 2));
    target.join();
    EXPECT_EQ(received, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
    EXPECT_FAILS(PostThreadMessageA(tid, WM_USER, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);
}

// Posted messages come in order; a peek removes only when asked; WM_QUIT
// comes after the others, and not to a filter that excludes it.
TEST_F(MessageTest, PeekAndGetTakeMessagesInOrderThroughTheirFilters) {
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));  // makes the queue
    DWORD me = GetCurrentThreadId();
    PostQuitMessage(3);
    ASSERT_TRUE(PostThreadMessageA(me, WM_USER + 5, 11, 12));
    ASSERT_TRUE(PostThreadMessageA(me, WM_USER + 2, 0, 0));
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(m.message, UINT(WM_USER + 5));
    EXPECT_FALSE(PeekMessageA(&m, nullptr, WM_USER + 3, WM_USER + 4, PM_REMOVE));
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.message, UINT(WM_USER + 5));
    EXPECT_EQ(m.wParam, WPARAM(11));
    EXPECT_EQ(m.lParam, LPARAM(12));
    EXPECT_EQ(m.hwnd, nullptr);
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 1);
    EXPECT_EQ(m.message, UINT(WM_USER + 2));
    // A filter that excludes WM_QUIT does not see it.
    EXPECT_FALSE(PeekMessageA(&m, nullptr, WM_USER, WM_APP, PM_REMOVE));
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), 0);
    EXPECT_EQ(m.message, UINT(WM_QUIT));
    EXPECT_EQ(m.wParam, WPARAM(3));
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));

    EXPECT_FAILS(PeekMessageA(&m, HWND(uintptr_t(0x1000)), 0, 0, PM_REMOVE), FALSE, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
    EXPECT_FAILS(PostThreadMessageA(0, WM_USER, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);
}

// ---- MsgWaitForMultipleObjectsEx -------------------------------------------

TEST_F(MessageTest, MessageWaitWakesForAPostedMessageOrAHandle) {
    HANDLE h[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<DWORD> tid{0};
    Waiter for_message([&] {
        tid = GetCurrentThreadId();
        return MsgWaitForMultipleObjectsEx(1, h, 30000, QS_ALLPOSTMESSAGE, 0);
    });
    // The wait itself gives the thread its queue.
    ASSERT_TRUE(eventually([&] { return tid != 0 && PostThreadMessageA(tid, WM_USER, 0, 0); }));
    EXPECT_EQ(for_message.join(), WAIT_OBJECT_0 + 1);

    Waiter for_handle([&] { return MsgWaitForMultipleObjectsEx(2, h, 30000, QS_ALLINPUT, 0); });
    ASSERT_TRUE(eventually_sleeping(h[1], 1));
    SetEvent(h[1]);
    EXPECT_EQ(for_handle.join(), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(h[1], 0), DWORD(WAIT_TIMEOUT));  // consumed by the wait
    for (HANDLE x : h) CloseHandle(x);
}

TEST_F(MessageTest, OnlyInputNotYetExaminedWakesAMessageWaitAndHandlesComeFirst) {
    MSG m;
    DWORD me = GetCurrentThreadId();
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    PostThreadMessageA(me, WM_USER, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, 0), WAIT_OBJECT_0);
    // The wait examined the queue: the same message is no longer new.
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE), WAIT_OBJECT_0);

    PostThreadMessageA(me, WM_USER + 1, 0, 0);
    // A filtered peek examines posted messages but not "all posted messages".
    PeekMessageA(&m, nullptr, WM_APP, WM_APP, PM_NOREMOVE);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, 0), DWORD(WAIT_TIMEOUT));
    PostThreadMessageA(me, WM_USER + 2, 0, 0);
    PeekMessageA(&m, nullptr, WM_APP, WM_APP, PM_NOREMOVE);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLPOSTMESSAGE, 0), WAIT_OBJECT_0);
    // An unfiltered peek examines everything.
    PostThreadMessageA(me, WM_USER + 3, 0, 0);
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLPOSTMESSAGE, 0), DWORD(WAIT_TIMEOUT));
    // Input of a kind outside the mask does not count.
    PostThreadMessageA(me, WM_USER, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_KEY | QS_MOUSE, 0), DWORD(WAIT_TIMEOUT));

    // Handles come before input; wait-all needs both.
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, &e, 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE), WAIT_OBJECT_0);
    ResetEvent(e);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, TRUE, 0, QS_ALLINPUT), DWORD(WAIT_TIMEOUT));
    SetEvent(e);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, TRUE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE), DWORD(WAIT_TIMEOUT));

    // One handle fewer than a plain wait takes; no unknown flags.
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS, e);
    EXPECT_FAILS(MsgWaitForMultipleObjectsEx(MAXIMUM_WAIT_OBJECTS, many.data(), 0, QS_ALLINPUT, 0), WAIT_FAILED,
                 ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(MsgWaitForMultipleObjectsEx(1, &e, 0, 0x80000, 0), WAIT_FAILED, ERROR_INVALID_FLAGS);
    EXPECT_FAILS(MsgWaitForMultipleObjectsEx(1, &e, 0, QS_ALLINPUT, 0x100), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    CloseHandle(e);
}

// ---- Registered messages ----------------------------------------------------

// Registers each name and reports its id, then reports the id of a thread
// with a queue, and fails if that queue got a message.
TEST_HELPER(register_messages) {
    for (int i = 1; i < argc; ++i) testing_support::send_line(std::to_string(RegisterWindowMessageA(argv[i])));
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    testing_support::send_line(std::to_string(GetCurrentThreadId()));
    testing_support::receive_line();
    return PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE) ? 1 : 0;
}

// Registered message ids are case-blind and the same, both ways, in every
// process of the root; threads of other processes cannot be posted to.
TEST_F(MessageTest, RegisteredIdsAreSharedByTheRootsProcessesButQueuesAreNot) {
    UINT mine = RegisterWindowMessageA("Shared-Name");
    EXPECT_GE(mine, 0xC000u);
    EXPECT_LE(mine, 0xFFFFu);
    EXPECT_EQ(RegisterWindowMessageA("SHARED-NAME"), mine);
    ChildProcess child = spawn_helper("register_messages", {"shared-name", "Only-In-Child"});
    EXPECT_EQ(child.read_line(), std::to_string(mine));
    UINT theirs = UINT(std::stoul(child.read_line()));
    DWORD tid = DWORD(std::stoul(child.read_line()));
    EXPECT_EQ(RegisterWindowMessageA("only-in-child"), theirs);
    EXPECT_NE(theirs, mine);
    EXPECT_FAILS(PostThreadMessageA(tid, WM_USER, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);
    child.write_line("check");
    EXPECT_EQ(child.wait(), 0);

    EXPECT_FAILS(RegisterWindowMessageA(""), 0u, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
    std::string too_long(256, 'x');
    EXPECT_EQ(RegisterWindowMessageA(too_long.c_str()), 0u);
    EXPECT_NE(RegisterWindowMessageA(too_long.substr(1).c_str()), 0u);
}

}  // namespace
