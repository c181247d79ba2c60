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

// SetEvent and PulseEvent on an auto-reset event each release exactly one
// of two sleeping waiters and leave nothing for later waits.
TEST_F(EventTest, AutoResetReleasesExactlyOneWaiter) {
    for (BOOL (*release)(HANDLE) : {&SetEvent, &PulseEvent}) {
        SCOPED_TRACE(release == &SetEvent ? "SetEvent" : "PulseEvent");
        HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
        ASSERT_TRUE(PulseEvent(e));  // with nobody waiting, a pulse only resets
        Waiter a(e), b(e);
        ASSERT_TRUE(eventually_sleeping(e, 2));
        ASSERT_TRUE(release(e));
        ASSERT_TRUE(eventually([&] { return a.done() || b.done(); }));
        ASSERT_TRUE(eventually([&] { return sleepers(e) == 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_NE(a.done(), b.done());
        EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
        ASSERT_TRUE(release(e));
        EXPECT_EQ(a.join(), WAIT_OBJECT_0);
        EXPECT_EQ(b.join(), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
        CloseHandle(e);
    }
}

// On a manual-reset event both release every sleeping waiter; SetEvent
// leaves it signalled, PulseEvent reset, so a later waiter keeps waiting.
TEST_F(EventTest, ManualResetReleasesEveryWaiter) {
    for (BOOL (*release)(HANDLE) : {&SetEvent, &PulseEvent}) {
        SCOPED_TRACE(release == &SetEvent ? "SetEvent" : "PulseEvent");
        HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        ASSERT_TRUE(PulseEvent(e));  // with nobody waiting, a pulse only resets
        EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
        std::vector<std::unique_ptr<Waiter>> waiters;
        for (int i = 0; i < 4; ++i) waiters.push_back(std::make_unique<Waiter>(e));
        ASSERT_TRUE(eventually_sleeping(e, 4));
        ASSERT_TRUE(release(e));
        for (auto& w : waiters) EXPECT_EQ(w->join(), WAIT_OBJECT_0);
        const bool stays = release == &SetEvent;
        EXPECT_EQ(WaitForSingleObject(e, 0), stays ? WAIT_OBJECT_0 : DWORD(WAIT_TIMEOUT));
        if (!stays) {
            Waiter late(e, 5000);
            ASSERT_TRUE(eventually_sleeping(e, 1));
            ASSERT_TRUE(SetEvent(e));
            EXPECT_EQ(late.join(), WAIT_OBJECT_0);
        }
        CloseHandle(e);
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

TEST_F(EventTest, BadArgumentsAndHandlesFail) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e);
    EXPECT_FAILS(WaitForMultipleObjects(DWORD(many.size()), many.data(), FALSE, 0), WAIT_FAILED,
                 ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
    EXPECT_FAILS(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    // Wait-all refuses the same object twice, even through another handle;
    // wait-any accepts it.
    HANDLE h[2] = {e, nullptr};
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &h[1], 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_FAILS(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_OBJECT_0);

    HANDLE closed = h[1];
    ASSERT_TRUE(CloseHandle(closed));
    EXPECT_FAILS(CloseHandle(closed), FALSE, ERROR_INVALID_HANDLE);
    // One bad handle fails a wait on several.
    EXPECT_FAILS(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(ReleaseMutex(e), FALSE, ERROR_INVALID_HANDLE);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    for (HANDLE bad : {closed, HANDLE(nullptr), HANDLE(uintptr_t(0x1234)), HANDLE(uintptr_t(0xFFFFFFFF00000000ull)),
                       mutex}) {
        EXPECT_FAILS(SetEvent(bad), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FAILS(ResetEvent(bad), FALSE, ERROR_INVALID_HANDLE);
        EXPECT_FAILS(PulseEvent(bad), FALSE, ERROR_INVALID_HANDLE);
        if (bad != mutex) EXPECT_FAILS(WaitForSingleObject(bad, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    }
    CloseHandle(mutex);
    CloseHandle(e);
}

TEST_F(EventTest, ClosingTheLastHandleFreesTheObject) {
    auto* region = w32rt::sync::ObjectRegion::current();
    ASSERT_NE(region, nullptr);
    uint32_t before = region->objects_in_use();
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    CloseHandle(e);
    EXPECT_EQ(region->objects_in_use(), before + 1);
    // The duplicate still works after the original is closed.
    EXPECT_TRUE(SetEvent(dup));
    EXPECT_EQ(WaitForSingleObject(dup, 0), WAIT_OBJECT_0);
    CloseHandle(dup);
    EXPECT_EQ(region->objects_in_use(), before);
}

TEST_F(EventTest, RightsOfAnOpenedHandleAreEnforced) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "rights");
    ASSERT_NE(e, nullptr);
    HANDLE sync_only = OpenEventA(SYNCHRONIZE, FALSE, "rights");
    ASSERT_NE(sync_only, nullptr);
    EXPECT_FAILS(SetEvent(sync_only), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(WaitForSingleObject(sync_only, 0), DWORD(WAIT_TIMEOUT));

    HANDLE modify_only = OpenEventA(EVENT_MODIFY_STATE, FALSE, "rights");
    ASSERT_NE(modify_only, nullptr);
    EXPECT_TRUE(SetEvent(modify_only));
    EXPECT_FAILS(WaitForSingleObject(modify_only, 0), WAIT_FAILED, ERROR_ACCESS_DENIED);

    HANDLE all = OpenEventA(GENERIC_ALL, FALSE, "rights");
    EXPECT_TRUE(ResetEvent(all));
    EXPECT_EQ(WaitForSingleObject(all, 0), DWORD(WAIT_TIMEOUT));
    for (HANDLE h : {e, sync_only, modify_only, all}) CloseHandle(h);
}

// Kernels before 5.16 have no futex_waitv: a wait on several objects then
// watches the first word and polls the others.
class DegradedWaitTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        w32rt::sync::simulate_missing_waitv_for_testing(true);
    }
    void TearDown() override {
        w32rt::sync::simulate_missing_waitv_for_testing(false);
        MachineTest::TearDown();
    }
};

TEST_F(DegradedWaitTest, WaitOnSeveralObjectsStillSeesTheLaterOnes) {
    HANDLE h[3] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr),
                   CreateMutexA(nullptr, FALSE, nullptr)};
    Waiter any([&] { return WaitForMultipleObjects(2, h, FALSE, 30000); });
    ASSERT_TRUE(eventually_sleeping(h[1], 1));
    SetEvent(h[1]);
    EXPECT_EQ(any.join(), WAIT_OBJECT_0 + 1);

    // A mutex's owner ending is noticed as well.
    AbandoningOwner owner(h[2]);
    ASSERT_TRUE(owner.owns());
    HANDLE pair[2] = {h[0], h[2]};
    Waiter abandoned([&] {
        DWORD r = WaitForMultipleObjects(2, pair, FALSE, 30000);
        if (r == WAIT_ABANDONED_0 + 1) ReleaseMutex(h[2]);
        return r;
    });
    ASSERT_TRUE(eventually_sleeping(h[2], 1));
    owner.end();
    EXPECT_EQ(abandoned.join(), WAIT_ABANDONED_0 + 1);
    for (HANDLE x : h) CloseHandle(x);
}

}  // namespace
