// Critical sections and thread-local storage slots.
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sync_test_util.h"

using sync_test::ExclusionProbe;

namespace {

BOOL try_on_other_thread(CRITICAL_SECTION* cs) {
    BOOL got = FALSE;
    std::thread t([&] {
        got = TryEnterCriticalSection(cs);
        if (got) LeaveCriticalSection(cs);
    });
    t.join();
    return got;
}

// Ownership is recursive and left once per enter; a leave by a thread that
// does not own it changes nothing. A zero-filled structure needs no
// initialisation.
TEST(CriticalSectionTest, RecursiveOwnershipIsLeftOncePerEnterByItsOwnerOnly) {
    CRITICAL_SECTION cs = {};
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    EnterCriticalSection(&cs);
    EXPECT_EQ(cs.RecursionCount, 3);
    EXPECT_EQ(DWORD(uintptr_t(cs.OwningThread)), GetCurrentThreadId());
    std::thread([&] { LeaveCriticalSection(&cs); }).join();
    EXPECT_EQ(cs.RecursionCount, 3);
    EXPECT_FALSE(try_on_other_thread(&cs));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(try_on_other_thread(&cs));
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(try_on_other_thread(&cs));
    InitializeCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSectionTest, ExcludesOtherThreadsUnderContention) {
    for (DWORD spin : {0u, 4000u}) {
        CRITICAL_SECTION cs;
        ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, spin));
        ExclusionProbe probe;
        long counter = 0;  // deliberately not atomic
        sync_test::run_rounds(4, 50000, [&](int) {
            EnterCriticalSection(&cs);
            probe.hold();
            counter = counter + 1;
            LeaveCriticalSection(&cs);
        });
        EXPECT_FALSE(probe.overlapped()) << "spin " << spin;
        EXPECT_EQ(counter, 4L * 50000) << "spin " << spin;
        EXPECT_TRUE(try_on_other_thread(&cs));
        DeleteCriticalSection(&cs);
    }
}

// ---- Thread-local storage ----------------------------------------------------

// Each thread has its own value (a stored null is no failure); freeing the
// slot clears it in every thread, and the lowest free slot comes back.
TEST(TlsTest, ValuesArePerThreadAndFreeingClearsThemAll) {
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
}

// TLS_MINIMUM_AVAILABLE plus 1024 expansion slots, less the few the process
// may have taken already.
TEST(TlsTest, SlotsRunOutAt1088) {
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
