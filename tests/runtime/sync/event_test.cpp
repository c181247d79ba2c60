// Events: reset modes, PulseEvent, handles and rights, and waits on several
// objects.
#include <windows.h>

#include <thread>
#include <vector>

#include "sync/futex_words.h"
#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::eventually;

namespace {

class EventTest : public testing_support::MachineTest {};

// With two waiters asleep, SetEvent and PulseEvent release exactly one on an
// auto-reset event (a second call the other) and both on a manual-reset one;
// only a set manual-reset event stays signalled. A pulse nobody waits for
// only resets, and leaves nothing for waits that start after it.
TEST_F(EventTest, SetAndPulseReleaseWaitersByResetMode) {
    for (BOOL manual : {FALSE, TRUE}) {
        for (BOOL (*release)(HANDLE) : {&SetEvent, &PulseEvent}) {
            SCOPED_TRACE(std::string(manual ? "manual, " : "auto, ") + (release == &SetEvent ? "Set" : "Pulse"));
            HANDLE e = CreateEventA(nullptr, manual, TRUE, nullptr);
            ASSERT_NE(e, nullptr);
            ASSERT_TRUE(PulseEvent(e));
            EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
            Waiter a(e), b(e);
            ASSERT_TRUE(eventually_sleeping(e, 2));
            ASSERT_TRUE(release(e));
            if (!manual) {
                ASSERT_TRUE(eventually([&] { return (a.done() || b.done()) && sleepers(e) == 1; }));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                EXPECT_NE(a.done(), b.done());
                EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
                ASSERT_TRUE(release(e));
            }
            EXPECT_EQ(a.join(), WAIT_OBJECT_0);
            EXPECT_EQ(b.join(), WAIT_OBJECT_0);
            const bool stays = manual && release == &SetEvent;
            EXPECT_EQ(WaitForSingleObject(e, 0), stays ? WAIT_OBJECT_0 : DWORD(WAIT_TIMEOUT));
            CloseHandle(e);
        }
    }
}

// Wait-any reports the lowest signalled index; wait-all takes everything
// or nothing.
TEST_F(EventTest, WaitOnSeveralObjects) {
    HANDLE h[3];
    for (HANDLE& x : h) x = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(h[2]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, h, TRUE, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);  // the wait-all took nothing
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 30), DWORD(WAIT_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));

    SetEvent(h[0]);
    SetEvent(h[1]);
    Waiter all([&] { return WaitForMultipleObjects(3, h, TRUE, INFINITE); });
    ASSERT_TRUE(eventually_sleeping(h[2], 1));
    SetEvent(h[2]);
    EXPECT_EQ(all.join(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), DWORD(WAIT_TIMEOUT));
    for (HANDLE x : h) CloseHandle(x);
}

// Kernels before 5.16 have no futex_waitv: a wait on several objects then
// sleeps on the first word and polls the others. Either way a sleeping wait
// sees the owner of a later mutex end.
TEST_F(EventTest, SleepingWaitSeesTheOwnerOfALaterMutexEnd) {
    for (bool degraded : {false, true}) {
        SCOPED_TRACE(degraded ? "polling" : "futex_waitv");
        w32rt::sync::simulate_missing_waitv_for_testing(degraded);
        // Back to probing the kernel however this round ends.
        std::shared_ptr<void> restore(nullptr, [](void*) { w32rt::sync::simulate_missing_waitv_for_testing(false); });
        HANDLE h[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateMutexA(nullptr, FALSE, nullptr)};
        // The owner thread ends, owning the mutex, once its gate is set.
        HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        Waiter owner([&] { return WaitForSingleObject(h[1], 0) ? WAIT_FAILED : WaitForSingleObject(gate, 30000); });
        ASSERT_TRUE(eventually_sleeping(gate, 1));
        Waiter abandoned([&] {
            DWORD r = WaitForMultipleObjects(2, h, FALSE, 30000);
            if (r == WAIT_ABANDONED_0 + 1) ReleaseMutex(h[1]);
            return r;
        });
        ASSERT_TRUE(eventually_sleeping(h[1], 1));
        SetEvent(gate);
        EXPECT_EQ(owner.join(), WAIT_OBJECT_0);
        EXPECT_EQ(abandoned.join(), WAIT_ABANDONED_0 + 1);
        CloseHandle(gate);
        for (HANDLE x : h) CloseHandle(x);
    }
}

// Each handle has its own rights; the object lives until its last handle, a
// duplicate included, is closed. Bad handles and counts fail with their
// status.
TEST_F(EventTest, HandlesCarryTheirRightsAndBadHandlesOrCountsFail) {
    const uint32_t before = objects_in_use();
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "rights");
    HANDLE sync_only = OpenEventA(SYNCHRONIZE, FALSE, "rights");
    HANDLE modify_only = OpenEventA(EVENT_MODIFY_STATE, FALSE, "rights");
    HANDLE dup = nullptr;
    ASSERT_TRUE(e && sync_only && modify_only);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_FAILS(SetEvent(sync_only), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS(WaitForSingleObject(modify_only, 0), WAIT_FAILED, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetEvent(modify_only));
    EXPECT_EQ(WaitForSingleObject(sync_only, 0), WAIT_OBJECT_0);

    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e);
    EXPECT_FAILS(WaitForMultipleObjects(DWORD(many.size()), many.data(), FALSE, 0), WAIT_FAILED,
                 ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
    EXPECT_FAILS(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    // Wait-all refuses the same object twice, even through another handle;
    // wait-any accepts it.
    HANDLE pair[2] = {e, dup};
    EXPECT_FAILS(WaitForMultipleObjects(2, pair, TRUE, 0), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_OBJECT_0);

    for (HANDLE h : {e, sync_only, modify_only}) CloseHandle(h);
    EXPECT_EQ(objects_in_use(), before + 2);  // the object and the reservation of its name
    EXPECT_TRUE(ResetEvent(dup));
    EXPECT_EQ(WaitForSingleObject(dup, 0), DWORD(WAIT_TIMEOUT));
    ASSERT_TRUE(CloseHandle(dup));
    EXPECT_EQ(objects_in_use(), before);
    EXPECT_FAILS(CloseHandle(dup), FALSE, ERROR_INVALID_HANDLE);

    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE mixed[2] = {mutex, dup};  // one bad handle fails a wait on several
    EXPECT_FAILS(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    for (HANDLE bad : {dup, HANDLE(nullptr), HANDLE(uintptr_t(0x1234)), HANDLE(uintptr_t(0xFFFFFFFF00000000ull)),
                       mutex}) {
        EXPECT_FAILS(PulseEvent(bad), FALSE, ERROR_INVALID_HANDLE);
        if (bad != mutex) EXPECT_FAILS(WaitForSingleObject(bad, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    }
    CloseHandle(mutex);
}

}  // namespace
