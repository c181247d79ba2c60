// Events: reset modes, PulseEvent, naming rules and waits on several events.
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

TEST_F(EventTest, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(CloseHandle(e));
}

TEST_F(EventTest, AutoResetIsConsumedByOneWait) {
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST_F(EventTest, SetOnAutoResetReleasesExactlyOneWaiter) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Waiter a(e), b(e);
    ASSERT_TRUE(eventually_sleeping(e, 2));
    ASSERT_TRUE(SetEvent(e));
    ASSERT_TRUE(eventually([&] { return a.done() || b.done(); }));
    // The other one goes back to sleep, and the event was consumed.
    ASSERT_TRUE(eventually([&] { return sleepers(e) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(a.done(), b.done());
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(a.join(), WAIT_OBJECT_0);
    EXPECT_EQ(b.join(), WAIT_OBJECT_0);
    CloseHandle(e);
}

TEST_F(EventTest, SetOnManualResetReleasesEveryWaiter) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < 4; ++i) waiters.push_back(std::make_unique<Waiter>(e));
    ASSERT_TRUE(eventually_sleeping(e, 4));
    ASSERT_TRUE(SetEvent(e));
    for (auto& w : waiters) EXPECT_EQ(w->join(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    CloseHandle(e);
}

TEST_F(EventTest, PulseOnManualResetReleasesCurrentWaitersAndLeavesItReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Waiter a(e), b(e), c(e);
    ASSERT_TRUE(eventually_sleeping(e, 3));
    ASSERT_TRUE(PulseEvent(e));
    EXPECT_EQ(a.join(), WAIT_OBJECT_0);
    EXPECT_EQ(b.join(), WAIT_OBJECT_0);
    EXPECT_EQ(c.join(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    // A thread that starts waiting after the pulse is not released by it.
    Waiter late(e, 5000);
    ASSERT_TRUE(eventually_sleeping(e, 1));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(late.join(), WAIT_OBJECT_0);
    CloseHandle(e);
}

TEST_F(EventTest, PulseWithoutWaitersOnlyResets) {
    for (BOOL manual : {TRUE, FALSE}) {
        HANDLE e = CreateEventA(nullptr, manual, TRUE, nullptr);
        ASSERT_TRUE(PulseEvent(e));
        EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT)) << "manual=" << manual;
        ASSERT_TRUE(PulseEvent(e));
        EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT)) << "manual=" << manual;
        CloseHandle(e);
    }
}

TEST_F(EventTest, PulseOnAutoResetReleasesOneWaiter) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Waiter a(e), b(e);
    ASSERT_TRUE(eventually_sleeping(e, 2));
    ASSERT_TRUE(PulseEvent(e));
    ASSERT_TRUE(eventually([&] { return a.done() || b.done(); }));
    ASSERT_TRUE(eventually([&] { return sleepers(e) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(a.done(), b.done());
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    // The unclaimed remainder of the pulse is not left for later waits.
    ASSERT_TRUE(PulseEvent(e));
    EXPECT_EQ(a.join(), WAIT_OBJECT_0);
    EXPECT_EQ(b.join(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST_F(EventTest, WaitTimesOut) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 30), DWORD(WAIT_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(29));
    HANDLE both[2] = {e, e};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20), DWORD(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST_F(EventTest, WaitAnyReportsTheLowestSignalledIndex) {
    HANDLE h[3];
    for (HANDLE& x : h) x = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(h[2]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), DWORD(WAIT_TIMEOUT));
    for (HANDLE x : h) CloseHandle(x);
}

TEST_F(EventTest, WaitAllTakesEverythingOrNothing) {
    HANDLE a = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE h[2] = {a, b};
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), DWORD(WAIT_TIMEOUT));
    // The failed wait-all did not consume a.
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);

    SetEvent(a);
    std::atomic<DWORD> result{0xDEAD};
    std::thread t([&] { result = WaitForMultipleObjects(2, h, TRUE, INFINITE); });
    ASSERT_TRUE(eventually_sleeping(b, 1));
    SetEvent(b);
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(b, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(EventTest, WaitAllRefusesTheSameObjectTwice) {
    HANDLE a = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), a, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    HANDLE h[2] = {a, dup};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // Wait-any accepts it.
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_OBJECT_0);
    CloseHandle(dup);
    CloseHandle(a);
}

TEST_F(EventTest, BadWaitArgumentsFail) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(DWORD(many.size()), many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    CloseHandle(e);
}

TEST_F(EventTest, InvalidAndClosedHandlesFailCleanly) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    for (HANDLE bad : {e, HANDLE(nullptr), HANDLE(uintptr_t(0x1234)), HANDLE(uintptr_t(0xFFFFFFFF00000000ull))}) {
        SetLastError(0);
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(PulseEvent(bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    // One bad handle fails a wait on several.
    HANDLE good = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE h[2] = {good, e};
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(good);
}

TEST_F(EventTest, EventFunctionsRefuseOtherKinds) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(m, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(m));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(e));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(m);
    CloseHandle(e);
}

TEST_F(EventTest, ClosingTheLastHandleFreesTheObject) {
    auto* region = w32rt::sync::ObjectRegion::current();
    ASSERT_NE(region, nullptr);
    uint32_t before = region->objects_in_use();
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), e, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(region->objects_in_use(), before + 1);
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
    SetLastError(0);
    EXPECT_FALSE(SetEvent(sync_only));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WaitForSingleObject(sync_only, 0), DWORD(WAIT_TIMEOUT));

    HANDLE modify_only = OpenEventA(EVENT_MODIFY_STATE, FALSE, "rights");
    ASSERT_NE(modify_only, nullptr);
    EXPECT_TRUE(SetEvent(modify_only));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(modify_only, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    HANDLE all = OpenEventA(GENERIC_ALL, FALSE, "rights");
    EXPECT_TRUE(ResetEvent(all));
    EXPECT_EQ(WaitForSingleObject(all, 0), DWORD(WAIT_TIMEOUT));
    for (HANDLE h : {e, sync_only, modify_only, all}) CloseHandle(h);
}

}  // namespace

namespace {

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
    std::atomic<DWORD> result{0xDEAD};
    std::thread t([&] { result = WaitForMultipleObjects(2, h, FALSE, 30000); });
    ASSERT_TRUE(eventually_sleeping(h[1], 1));
    SetEvent(h[1]);
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);

    // A mutex's owner ending is noticed as well.
    HANDLE owned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(h[2], 0);
        SetEvent(owned);
        WaitForSingleObject(finish, INFINITE);
    });
    WaitForSingleObject(owned, INFINITE);
    HANDLE pair[2] = {h[0], h[2]};
    std::atomic<DWORD> abandoned{0xDEAD};
    std::thread waiter([&] {
        abandoned = WaitForMultipleObjects(2, pair, FALSE, 30000);
        if (abandoned == WAIT_ABANDONED_0 + 1) ReleaseMutex(h[2]);
    });
    ASSERT_TRUE(eventually_sleeping(h[2], 1));
    SetEvent(finish);
    owner.join();
    waiter.join();
    EXPECT_EQ(abandoned.load(), WAIT_ABANDONED_0 + 1);
    for (HANDLE x : {h[0], h[1], h[2], owned, finish}) CloseHandle(x);
}

}  // namespace
