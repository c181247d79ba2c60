// Mutexes: ownership, recursion, abandonment by threads and processes, and
// exclusion across processes.
#include <signal.h>

#include <windows.h>

#include <thread>

#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::ChildProcess;
using testing_support::spawn_helper;

namespace {

class MutexTest : public testing_support::MachineTest {};

// Takes the mutex on a thread of its own and gives it back; a thread that
// cannot take it must not be able to release it either.
DWORD try_take_elsewhere(HANDLE m) {
    return on_thread([m] {
        DWORD r = WaitForSingleObject(m, 0);
        if (r == WAIT_OBJECT_0) return ReleaseMutex(m) ? r : WAIT_FAILED;
        return ReleaseMutex(m) || GetLastError() != ERROR_NOT_OWNER ? WAIT_FAILED : r;
    });
}

TEST_F(MutexTest, OwnerReacquiresAndOnlyTheOwnerReleasesOncePerAcquisition) {
    HANDLE m = CreateMutexA(nullptr, TRUE, "Global\\Owned");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    // Held twice: one release leaves it owned.
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(try_take_elsewhere(m), DWORD(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FAILS(ReleaseMutex(m), FALSE, ERROR_NOT_OWNER);
    EXPECT_EQ(try_take_elsewhere(m), WAIT_OBJECT_0);
    // Asking for initial ownership of an existing mutex gets none.
    HANDLE again = CreateMutexA(nullptr, TRUE, "Global\\Owned");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_FAILS(ReleaseMutex(again), FALSE, ERROR_NOT_OWNER);
    CloseHandle(again);
    CloseHandle(m);
}

DWORD WINAPI take_twice_and_exit_thread(LPVOID m) {
    WaitForSingleObject(static_cast<HANDLE>(m), 0);
    WaitForSingleObject(static_cast<HANDLE>(m), 0);
    ExitThread(5);
}

// However a thread ends while owning, even recursively, the mutex is
// abandoned, by the time a CreateThread thread's handle is signalled. The
// next wait, here a wait-all with an event, gets it abandoned, once, and owns
// it once; a wait-all never takes the free mutex while the event is unset.
TEST_F(MutexTest, ThreadEndingWhileOwningAbandonsIt) {
    for (bool exit_thread : {true, false}) {
        SCOPED_TRACE(exit_thread ? "ExitThread" : "std::thread returns");
        HANDLE h[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateMutexA(nullptr, FALSE, nullptr)};
        HANDLE m = h[1];
        EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), DWORD(WAIT_TIMEOUT));
        if (exit_thread) {
            HANDLE t = CreateThread(nullptr, 0, &take_twice_and_exit_thread, m, 0, nullptr);
            ASSERT_EQ(WaitForSingleObject(t, 10000), WAIT_OBJECT_0);
            CloseHandle(t);
        } else {
            std::thread([m] { WaitForSingleObject(m, 0); }).join();
        }
        SetEvent(h[0]);
        EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_ABANDONED_0 + 1);
        EXPECT_EQ(WaitForSingleObject(h[0], 0), DWORD(WAIT_TIMEOUT));
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_FAILS(ReleaseMutex(m), FALSE, ERROR_NOT_OWNER);
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
        for (HANDLE x : h) CloseHandle(x);
    }
}

// ---- Across processes ----------------------------------------------------------

TEST_HELPER(own_mutex) {
    HANDLE m = CreateMutexA(nullptr, FALSE, argv[1]);
    if (!m || WaitForSingleObject(m, 10000) != WAIT_OBJECT_0) return 10;
    testing_support::send_line("owned");
    if (testing_support::receive_line() == "release") {
        ReleaseMutex(m);
        testing_support::receive_line();
    }
    return 0;
}

// The owner in another process killed, exiting or releasing: a sleeping
// waiter is woken with the mutex, or the next wait gets it; abandoned unless
// it was released.
TEST_F(MutexTest, MutexOfAnotherProcessPassesOnWhenItsOwnerLetsGoOrEnds) {
    enum How { kKilled, kExits, kReleases };
    const struct {
        How how;
        bool sleeping;
    } cases[] = {{kKilled, true}, {kKilled, false}, {kExits, true}, {kReleases, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.how == kKilled ? "killed" : c.how == kExits ? "exits" : "releases") +
                     (c.sleeping ? ", waiter sleeping" : ", next wait"));
        std::string name = "Global\\Owner" + std::to_string(&c - cases);
        HANDLE m = CreateMutexA(nullptr, FALSE, name.c_str());
        ChildProcess child = spawn_helper("own_mutex", {name});
        ASSERT_TRUE(child.expect_line("owned"));
        EXPECT_EQ(WaitForSingleObject(m, 0), DWORD(WAIT_TIMEOUT));
        std::unique_ptr<Waiter> waiter;
        if (c.sleeping) {
            waiter = std::make_unique<Waiter>([m] {
                DWORD r = WaitForSingleObject(m, 30000);
                return ReleaseMutex(m) ? r : DWORD(0xBAD);  // it is the waiter's now
            });
            ASSERT_TRUE(eventually_sleeping(m, 1));
        }
        if (c.how == kKilled) child.kill(SIGKILL);
        else child.write_line(c.how == kReleases ? "release" : "exit");
        const DWORD expected = c.how == kReleases ? WAIT_OBJECT_0 : WAIT_ABANDONED;
        if (waiter) {
            EXPECT_EQ(waiter->join(), expected);  // a releasing owner still lives
        }
        if (c.how == kReleases) child.write_line("done");
        EXPECT_EQ(child.wait(), c.how == kKilled ? 128 + SIGKILL : 0);
        if (!waiter) {
            EXPECT_EQ(WaitForSingleObject(m, 0), expected);
            EXPECT_TRUE(ReleaseMutex(m));
        }
        CloseHandle(m);
    }
}

// ---- Exclusion under contention ----------------------------------------------

// Two threads take the named mutex 400 times each, one alone, the other in a
// wait-all with a mutex of its own, and check while holding it that nobody
// else (in any process) does: `inside` is set only while someone holds it.
TEST_HELPER(contend_named_mutex) {
    HANDLE m[2] = {OpenMutexA(SYNCHRONIZE, FALSE, argv[1]), CreateMutexA(nullptr, FALSE, nullptr)};
    HANDLE inside = OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[2]);
    if (!m[0] || !m[1] || !inside) return 10;
    std::atomic<int> violations{0};
    run_rounds(2, 400, [&](int thread) {
        DWORD r = thread == 0 ? WaitForSingleObject(m[0], 30000) : WaitForMultipleObjects(2, m, TRUE, 30000);
        if (r != WAIT_OBJECT_0) {
            ++violations;
            return;
        }
        if (WaitForSingleObject(inside, 0) != WAIT_TIMEOUT) ++violations;
        SetEvent(inside);
        std::this_thread::yield();
        ResetEvent(inside);
        for (int i = 0; i <= thread; ++i) ReleaseMutex(m[i]);
    });
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
