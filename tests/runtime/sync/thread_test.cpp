// Threads made by CreateThread (start, suspension, exit codes, ExitThread),
// critical sections and thread-local storage slots.
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::eventually;

namespace {

class ThreadTest : public testing_support::MachineTest {};

std::atomic<DWORD> g_started_tid{0};

DWORD WINAPI record_and_wait(LPVOID gate) {
    g_started_tid = GetCurrentThreadId();
    WaitForSingleObject(static_cast<HANDLE>(gate), INFINITE);
    return 42;
}

// Counts destructors run, catch blocks entered and code reached after
// ExitThread.
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

// A suspended thread runs its routine once resumed; its handle is signalled
// at its end and keeps its exit code, the routine's or ExitThread's.
TEST_F(ThreadTest, RunsTheRoutineOnceResumedAndSignalsItsHandleAtExit) {
    g_started_tid = 0;
    HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD tid = 0;
    HANDLE t = CreateThread(nullptr, 0, &record_and_wait, gate, CREATE_SUSPENDED, &tid);
    ASSERT_NE(t, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(g_started_tid.load(), 0u);
    EXPECT_EQ(ResumeThread(t), 1u);
    ASSERT_TRUE(eventually([] { return g_started_tid != 0; }));
    EXPECT_EQ(g_started_tid.load(), tid);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(t, 0), DWORD(WAIT_TIMEOUT));
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(t);

    // ExitThread leaves the frames in between without unwinding them.
    g_unwound = 0;
    t = CreateThread(nullptr, 0, &exits_from_nested_frames, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
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

    EXPECT_FAILS(GetExitCodeThread(gate, &code), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(CreateThread(nullptr, 0, &record_and_wait, nullptr, 0x80000000, nullptr), nullptr,
                 ERROR_INVALID_PARAMETER);
    CloseHandle(gate);
}

// ---- Critical sections ---------------------------------------------------------

BOOL try_on_other_thread(CRITICAL_SECTION* cs) {
    return on_thread([cs] {
        BOOL got = TryEnterCriticalSection(cs);
        if (got) LeaveCriticalSection(cs);
        return DWORD(got);
    });
}

// Ownership is recursive and left once per enter; a leave by a thread that
// does not own it changes nothing.
TEST(CriticalSectionTest, RecursiveOwnershipIsLeftOncePerEnterByItsOwnerOnly) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    EnterCriticalSection(&cs);
    std::thread([&] { LeaveCriticalSection(&cs); }).join();
    EXPECT_FALSE(try_on_other_thread(&cs));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(try_on_other_thread(&cs));
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(try_on_other_thread(&cs));
    DeleteCriticalSection(&cs);
}

TEST(CriticalSectionTest, ExcludesOtherThreadsUnderContention) {
    for (DWORD spin : {0u, 4000u}) {
        CRITICAL_SECTION cs;
        ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, spin));
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        long counter = 0;  // deliberately not atomic
        constexpr int kRounds = 20000;
        run_rounds(4, kRounds, [&](int) {
            EnterCriticalSection(&cs);
            if (inside.fetch_add(1) != 0) overlapped = true;
            // Now and then the owner gives up its processor while inside; not
            // every time, which a loaded machine turns into minutes.
            if (counter % 64 == 0) std::this_thread::yield();
            inside.fetch_sub(1);
            counter = counter + 1;
            LeaveCriticalSection(&cs);
        });
        EXPECT_FALSE(overlapped.load()) << "spin " << spin;
        EXPECT_EQ(counter, 4L * kRounds) << "spin " << spin;
        EXPECT_TRUE(try_on_other_thread(&cs));
        DeleteCriticalSection(&cs);
    }
}

// ---- Thread-local storage ----------------------------------------------------

// Each thread has its own value (a stored null is no failure); freeing the
// slot clears it in every thread, and the lowest free slot comes back. Slots
// run out at 1088.
TEST(TlsTest, ValuesArePerThreadFreeingClearsThemAllAndSlotsRunOut) {
    DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 1, theirs = 2;
    SetLastError(ERROR_INVALID_HANDLE);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    ASSERT_TRUE(TlsSetValue(slot, &mine));
    std::atomic<bool> set_there{false}, freed{false};
    void* seen_there[2] = {nullptr, &mine};
    std::thread other([&] {
        TlsSetValue(slot, &theirs);
        seen_there[0] = TlsGetValue(slot);
        set_there = true;
        while (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seen_there[1] = TlsGetValue(slot);  // the slot is in use again
    });
    ASSERT_TRUE(testing_support::eventually([&] { return set_there.load(); }));
    EXPECT_EQ(TlsGetValue(slot), &mine);
    ASSERT_TRUE(TlsFree(slot));
    EXPECT_FAILS(TlsGetValue(slot), nullptr, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(TlsFree(slot), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(TlsAlloc(), slot);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    freed = true;
    other.join();
    EXPECT_EQ(seen_there[0], &theirs);
    EXPECT_EQ(seen_there[1], nullptr);
    TlsFree(slot);

    // TLS_MINIMUM_AVAILABLE plus 1024 expansion slots, less the few the
    // process may have taken already.
    std::vector<DWORD> slots;
    for (DWORD s; slots.size() < 2000 && (s = TlsAlloc()) != TLS_OUT_OF_INDEXES;) slots.push_back(s);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_LE(slots.size(), size_t(TLS_MINIMUM_AVAILABLE + 1024));
    EXPECT_GE(slots.size(), size_t(TLS_MINIMUM_AVAILABLE + 1024 - 16));
    for (DWORD s : slots) TlsSetValue(s, &slots);
    for (DWORD s : slots) EXPECT_EQ(TlsGetValue(s), &slots);
    for (DWORD s : slots) EXPECT_TRUE(TlsFree(s));
    EXPECT_FAILS(TlsGetValue(5000), nullptr, ERROR_INVALID_PARAMETER);
}

}  // namespace
