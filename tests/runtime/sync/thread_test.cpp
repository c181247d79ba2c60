// Threads made by CreateThread: start, suspension, exit codes, ExitThread.
#include <windows.h>

#include <atomic>
#include <thread>

#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::eventually;

namespace {

class ThreadTest : public testing_support::MachineTest {};

struct Shared {
    std::atomic<DWORD> tid{0};
    std::atomic<bool> ran{false};
    HANDLE gate = nullptr;
};

DWORD WINAPI record_and_wait(LPVOID p) {
    auto* s = static_cast<Shared*>(p);
    s->tid = GetCurrentThreadId();
    s->ran = true;
    if (s->gate) WaitForSingleObject(s->gate, INFINITE);
    return 42;
}

// A suspended thread runs its routine once resumed; its handle is signalled
// at its end and keeps its exit code.
TEST_F(ThreadTest, RunsTheRoutineOnceResumedAndSignalsItsHandleAtExit) {
    Shared s;
    s.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD tid = 0;
    HANDLE t = CreateThread(nullptr, 0, &record_and_wait, &s, CREATE_SUSPENDED, &tid);
    ASSERT_NE(t, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(s.ran.load());
    EXPECT_EQ(ResumeThread(t), 1u);
    ASSERT_TRUE(eventually([&] { return s.ran.load(); }));
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
    CloseHandle(s.gate);
}

// ---- ExitThread ------------------------------------------------------------

// Destructors run, catch blocks entered and code reached after ExitThread.
std::atomic<int> g_unwound{0};

struct Unwound {
    ~Unwound() { ++g_unwound; }
};

__attribute__((noinline)) void exit_deep_inside(int depth) {
    if (depth < 0) return;
    Unwound guard;
    if (depth > 0) exit_deep_inside(depth - 1);
    else ExitThread(7);
    ++g_unwound;
}

DWORD WINAPI exits_from_nested_frames(LPVOID) {
    Unwound outer;
    try {
        exit_deep_inside(3);
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

TEST_F(ThreadTest, ThreadHandleErrors) {
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), DWORD(WAIT_TIMEOUT));

    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FAILS(GetExitCodeThread(e, &code), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(ResumeThread(e), DWORD(-1), ERROR_INVALID_HANDLE);
    CloseHandle(e);
    EXPECT_FAILS(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(CreateThread(nullptr, 0, &record_and_wait, nullptr, 0x80000000, nullptr), nullptr,
                 ERROR_INVALID_PARAMETER);
}

DWORD WINAPI uses_stack(LPVOID) {
    volatile char big[512 * 1024];
    for (size_t i = 0; i < sizeof big; i += 4096) big[i] = char(i);
    return big[4096];
}

TEST_F(ThreadTest, SmallStackSizeDoesNotShrinkTheStack) {
    // Windows commits dwStackSize within the default reservation.
    HANDLE t = CreateThread(nullptr, 16 * 1024, &uses_stack, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    CloseHandle(t);
}

}  // namespace
