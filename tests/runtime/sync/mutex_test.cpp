// Mutexes: ownership, recursion, and abandonment by threads and processes.
#include <signal.h>

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

class MutexTest : public testing_support::MachineTest {};

DWORD on_other_thread(const std::function<DWORD()>& fn) {
    DWORD result = 0xDEAD;
    std::thread t([&] { result = fn(); });
    t.join();
    return result;
}

TEST_F(MutexTest, OwnerReacquiresAndReleasesOncePerAcquisition) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    // Held three times: two releases leave it owned.
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(on_other_thread([&] { return WaitForSingleObject(m, 0); }), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(m));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    EXPECT_EQ(on_other_thread([&] {
                  DWORD r = WaitForSingleObject(m, 0);
                  ReleaseMutex(m);
                  return r;
              }),
              WAIT_OBJECT_0);
    CloseHandle(m);
}

TEST_F(MutexTest, OnlyTheOwnerMayRelease) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    DWORD error = 0;
    BOOL released = TRUE;
    std::thread t([&] {
        SetLastError(0);
        released = ReleaseMutex(m);
        error = GetLastError();
    });
    t.join();
    EXPECT_FALSE(released);
    EXPECT_EQ(error, DWORD(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(MutexTest, ReleaseHandsTheMutexToAWaiter) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    std::atomic<DWORD> result{0xDEAD};
    std::atomic<bool> released_by_waiter{false};
    std::thread t([&] {
        result = WaitForSingleObject(m, INFINITE);
        released_by_waiter = ReleaseMutex(m) != FALSE;
    });
    ASSERT_TRUE(eventually_sleeping(m, 1));
    EXPECT_TRUE(ReleaseMutex(m));
    t.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_TRUE(released_by_waiter.load());
    CloseHandle(m);
}

TEST_F(MutexTest, InitialOwnershipIsIgnoredForAnExistingMutex) {
    HANDLE first = CreateMutexA(nullptr, TRUE, "Global\\Owned");
    ASSERT_NE(first, nullptr);
    DWORD error = 0;
    BOOL released = TRUE;
    std::thread t([&] {
        HANDLE second = CreateMutexA(nullptr, TRUE, "Global\\Owned");
        error = GetLastError();
        released = ReleaseMutex(second);
        CloseHandle(second);
    });
    t.join();
    EXPECT_EQ(error, DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(released);
    EXPECT_TRUE(ReleaseMutex(first));
    CloseHandle(first);
}

// ---- Abandonment by threads -------------------------------------------------

DWORD WINAPI take_and_return(LPVOID m) {
    return WaitForSingleObject(static_cast<HANDLE>(m), 0) == WAIT_OBJECT_0 ? 0 : 1;
}

DWORD WINAPI take_and_exit_thread(LPVOID m) {
    WaitForSingleObject(static_cast<HANDLE>(m), 0);
    WaitForSingleObject(static_cast<HANDLE>(m), 0);
    ExitThread(5);
}

TEST_F(MutexTest, ThreadEndingWhileOwningAbandonsIt) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, &take_and_return, m, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(t, &code);
    ASSERT_EQ(code, 0u);
    // Abandoned by the time the thread's handle is signalled.
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    // The abandoned mutex now belongs to us, once; the report is not repeated.
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(t);
    CloseHandle(m);
}

TEST_F(MutexTest, ExitThreadWhileOwningAbandonsEvenRecursiveOwnership) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, &take_and_exit_thread, m, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    CloseHandle(t);
    CloseHandle(m);
}

TEST_F(MutexTest, ThreadsNotMadeByCreateThreadAbandonToo) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread t([&] { WaitForSingleObject(m, 0); });
    t.join();
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST_F(MutexTest, SleepingWaiterIsToldOfAbandonment) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE owned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE finish = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        WaitForSingleObject(m, 0);
        SetEvent(owned);
        WaitForSingleObject(finish, INFINITE);
    });
    ASSERT_EQ(WaitForSingleObject(owned, 10000), WAIT_OBJECT_0);
    Waiter waiter(m);
    ASSERT_TRUE(eventually_sleeping(m, 1));
    SetEvent(finish);
    owner.join();
    EXPECT_EQ(waiter.join(), WAIT_ABANDONED);
    for (HANDLE h : {m, owned, finish}) CloseHandle(h);
}

TEST_F(MutexTest, WaitAllReportsTheAbandonedMutexAndTakesEverything) {
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    std::thread t([&] { WaitForSingleObject(m, 0); });
    t.join();
    HANDLE h[2] = {e, m};
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_ABANDONED_0 + 1);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(e);
    CloseHandle(m);
}

TEST_F(MutexTest, WaitAllDoesNotTakeTheMutexAlone) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE h[2] = {m, e};
    EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(on_other_thread([&] {
                  DWORD r = WaitForSingleObject(m, 0);
                  ReleaseMutex(m);
                  return r;
              }),
              WAIT_OBJECT_0);
    // Wait-any takes the free mutex.
    EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(e);
    CloseHandle(m);
}

// ---- Abandonment by processes ----------------------------------------------

TEST_HELPER(own_mutex) {
    HANDLE m = CreateMutexA(nullptr, FALSE, argv[1]);
    if (!m) return 10;
    if (WaitForSingleObject(m, 10000) != WAIT_OBJECT_0) return 11;
    testing_support::send_line("owned");
    std::string order = testing_support::receive_line();
    if (order == "release") {
        ReleaseMutex(m);
        testing_support::send_line("released");
        testing_support::receive_line();
    }
    return 0;
}

TEST_F(MutexTest, MutexOfAKilledProcessGoesAbandonedToTheSleepingWaiter) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\KilledOwner");
    ChildProcess child = spawn_helper("own_mutex", {"Global\\KilledOwner"});
    ASSERT_TRUE(child.expect_line("owned"));
    Waiter waiter(m, 30000);
    ASSERT_TRUE(eventually_sleeping(m, 1));
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_EQ(waiter.join(), WAIT_ABANDONED);
    CloseHandle(m);
}

TEST_F(MutexTest, MutexOfAKilledProcessIsAbandonedForTheNextWait) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\KilledOwner2");
    ChildProcess child = spawn_helper("own_mutex", {"Global\\KilledOwner2"});
    ASSERT_TRUE(child.expect_line("owned"));
    EXPECT_EQ(WaitForSingleObject(m, 0), DWORD(WAIT_TIMEOUT));
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(MutexTest, ProcessExitingNormallyWhileOwningAbandons) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\ExitingOwner");
    ChildProcess child = spawn_helper("own_mutex", {"Global\\ExitingOwner"});
    ASSERT_TRUE(child.expect_line("owned"));
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(WaitForSingleObject(m, 10000), WAIT_ABANDONED);
    ReleaseMutex(m);
    CloseHandle(m);
}

TEST_F(MutexTest, ReleaseInAnotherProcessWakesTheWaiter) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Handoff");
    ChildProcess child = spawn_helper("own_mutex", {"Global\\Handoff"});
    ASSERT_TRUE(child.expect_line("owned"));
    Waiter waiter(m, 30000);
    ASSERT_TRUE(eventually_sleeping(m, 1));
    child.write_line("release");
    ASSERT_TRUE(child.expect_line("released"));
    EXPECT_EQ(waiter.join(), WAIT_OBJECT_0);
    child.write_line("done");
    EXPECT_EQ(child.wait(), 0);
    CloseHandle(m);
}

}  // namespace

namespace {

// ---- Exclusion under contention ----------------------------------------------

TEST_F(MutexTest, WaitAllAndSingleWaitsNeverOverlapOnAMutex) {
    HANDLE m[2] = {CreateMutexA(nullptr, FALSE, nullptr), CreateMutexA(nullptr, FALSE, nullptr)};
    std::atomic<int> inside[2] = {0, 0};
    std::atomic<bool> overlap{false};
    std::atomic<int> rounds_done{0};
    auto hold = [&](int which) {
        if (inside[which].fetch_add(1) != 0) overlap = true;
        std::this_thread::yield();
        inside[which].fetch_sub(1);
    };
    std::vector<std::thread> threads;
    for (int kind = 0; kind < 4; ++kind) {
        threads.emplace_back([&, kind] {
            for (int r = 0; r < 1500; ++r) {
                if (kind < 2) {
                    ASSERT_EQ(WaitForSingleObject(m[kind], 30000), WAIT_OBJECT_0);
                    hold(kind);
                    ReleaseMutex(m[kind]);
                } else {
                    ASSERT_EQ(WaitForMultipleObjects(2, m, TRUE, 30000), WAIT_OBJECT_0);
                    hold(0);
                    hold(1);
                    ReleaseMutex(m[1]);
                    ReleaseMutex(m[0]);
                }
                ++rounds_done;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(rounds_done.load(), 4 * 1500);
    for (HANDLE h : m) CloseHandle(h);
}

TEST_HELPER(contend_named_mutex) {
    HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, argv[1]);
    HANDLE inside = OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[2]);
    if (!m || !inside) return 10;
    std::atomic<int> violations{0};
    auto work = [&] {
        for (int r = 0; r < 400; ++r) {
            if (WaitForSingleObject(m, 30000) != WAIT_OBJECT_0) {
                ++violations;
                return;
            }
            // Nobody else may be between these two lines, in any process.
            if (WaitForSingleObject(inside, 0) != WAIT_TIMEOUT) ++violations;
            SetEvent(inside);
            std::this_thread::yield();
            ResetEvent(inside);
            ReleaseMutex(m);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    return violations.load() == 0 ? 0 : 1;
}

TEST_F(MutexTest, NamedMutexExcludesThreadsOfSeveralProcesses) {
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Contended");
    HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, "Global\\Inside");
    ChildProcess first = spawn_helper("contend_named_mutex", {"Global\\Contended", "Global\\Inside"});
    ChildProcess second = spawn_helper("contend_named_mutex", {"Global\\Contended", "Global\\Inside"});
    EXPECT_EQ(first.wait(std::chrono::seconds(120)), 0);
    EXPECT_EQ(second.wait(std::chrono::seconds(120)), 0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // released, not abandoned
    ReleaseMutex(m);
    CloseHandle(m);
    CloseHandle(inside);
}

}  // namespace
