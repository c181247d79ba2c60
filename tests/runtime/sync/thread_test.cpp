// Threads made by CreateThread: start, suspension, exit codes, ExitThread.
#include <windows.h>

#include <atomic>
#include <thread>

#include "sync_test_util.h"
#include "test_support.h"

using testing_support::eventually;

namespace {

class ThreadTest : public testing_support::MachineTest {};

struct Started {
    std::atomic<DWORD> tid{0};
    HANDLE gate = nullptr;
};

DWORD WINAPI record_and_wait(LPVOID p) {
    auto* s = static_cast<Started*>(p);
    s->tid = GetCurrentThreadId();
    WaitForSingleObject(s->gate, INFINITE);
    return 42;
}

// A suspended thread runs its routine once resumed; its handle is signalled
// at its end and keeps its exit code.
TEST_F(ThreadTest, RunsTheRoutineOnceResumedAndSignalsItsHandleAtExit) {
    Started s;
    s.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD tid = 0;
    HANDLE t = CreateThread(nullptr, 0, &record_and_wait, &s, CREATE_SUSPENDED, &tid);
    ASSERT_NE(t, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(s.tid.load(), 0u);
    EXPECT_EQ(ResumeThread(t), 1u);
    ASSERT_TRUE(eventually([&] { return s.tid != 0; }));
    EXPECT_EQ(s.tid.load(), tid);
    EXPECT_NE(tid, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(t, 0), DWORD(WAIT_TIMEOUT));
    SetEvent(s.gate);
    EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ResumeThread(t), 0u);
    CloseHandle(t);

    EXPECT_FAILS(GetExitCodeThread(s.gate, &code), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(CreateThread(nullptr, 0, &record_and_wait, nullptr, 0x80000000, nullptr), nullptr,
                 ERROR_INVALID_PARAMETER);
    CloseHandle(s.gate);
}

// ---- ExitThread ------------------------------------------------------------

// Destructors run, catch blocks entered and code reached after ExitThread.
std::atomic<int> g_unwound{0};

struct Unwound {
    ~Unwound() { ++g_unwound; }
};

__attribute__((noinline)) void exit_inside_a_frame() {
    Unwound guard;
    ExitThread(7);
}

DWORD WINAPI exits_from_nested_frames(LPVOID) {
    Unwound outer;
    try {
        exit_inside_a_frame();
    } catch (...) {
        ++g_unwound;
    }
    ++g_unwound;
    return 1;
}

TEST_F(ThreadTest, ExitThreadLeavesFramesWithoutRunningTheirDestructors) {
    g_unwound = 0;
    HANDLE t = CreateThread(nullptr, 0, &exits_from_nested_frames, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(g_unwound.load(), 0);
    CloseHandle(t);
    // A thread not made by CreateThread is ended too (unwinding as it goes).
    std::atomic<bool> after{false};
    std::thread([&] {
        ExitThread(3);
        after = true;
    }).join();
    EXPECT_FALSE(after.load());
}

}  // namespace
