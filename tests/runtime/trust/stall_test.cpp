// Another user takes a lock in shared memory, or a reservation in a ring,
// and is stopped (SIGSTOP) there; or cuts a segment short under everyone
// who maps it. Waits on shared locks are bounded and fail in words, what the
// owner's objects, sessions and consumers need cannot be held by anyone
// else, and nothing of the owner's crashes or hangs. An owner's process
// stopped holding the directory lock stops no one for good either.
#include <signal.h>
#include <stddef.h>

#include <algorithm>
#include <chrono>

#include <w32rt/debug_viewer.h>

#include "etw/state.h"
#include "sync/atoms.h"
#include "sync/object_region.h"
#include "trust_test_util.h"

namespace trust_test {
namespace {

using Clock = std::chrono::steady_clock;
using testing_support::eventually;

class StallTest : public HostileTest {
protected:
    // Runs an attack and stops its process once it reported; the process
    // stays stopped until the test ends or release_stopped().
    std::string attack_and_stop(const std::vector<std::string>& args) {
        ChildProcess child = spawn_hostile(args);
        std::string report = child.read_line(std::chrono::seconds(30));
        child.kill(SIGSTOP);
        stopped_.push_back(std::move(child));
        return report;
    }
    void release_stopped() {
        for (ChildProcess& c : stopped_) {
            c.kill(SIGKILL);
            c.wait();
        }
        stopped_.clear();
    }

    // A null-DACL event: it lives in the shared table.
    HANDLE open_to_all_event(const char* name) {
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
        return CreateEventA(&sa, TRUE, FALSE, name);
    }
};

template <class F>
double seconds_of(F f) {
    auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(StallTest, SharedTableLockHeldByAStoppedProcessFailsItsWaitersInBoundedTimeAndIsTakenBackAtItsDeath) {
    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    HANDLE shared = open_to_all_event("Global\\TrustSharedEvent");
    ASSERT_NE(shared, nullptr);
    std::string table = paths_of(list_targets(root()), "shared-objects").front();
    ASSERT_EQ(attack_and_stop({"lock-word", table, std::to_string(offsetof(w32rt::sync::ObjectsLayout, header.lock))}),
              "locked");
    BOOL set = TRUE;
    double took = seconds_of([&] { set = SetEvent(shared); });
    EXPECT_FALSE(set);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
    EXPECT_LT(took, 8.0) << "bounded by the table lock's wait";
    EXPECT_EQ(WaitForSingleObject(shared, 300), DWORD(WAIT_TIMEOUT)) << "a wait's own time-out comes first";
    expect_owner_unharmed("the shared table's lock held by a stopped process", true);
    // Its holder dies: the next locker takes the lock back and repairs.
    release_stopped();
    EXPECT_TRUE(SetEvent(shared));
    EXPECT_EQ(WaitForSingleObject(shared, 0), WAIT_OBJECT_0);
    CloseHandle(shared);
}

TEST_F(StallTest, MessageNameLockHeldByAStoppedProcessFailsRegistrationsInBoundedTime) {
    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    std::string atoms = paths_of(list_targets(root()), "atoms").front();
    ASSERT_EQ(attack_and_stop({"lock-word", atoms, std::to_string(offsetof(w32rt::sync::AtomsLayout, lock))}),
              "locked");
    UINT id = 1;
    double took = seconds_of([&] { id = RegisterWindowMessageA("TrustAfterTheLock"); });
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
    EXPECT_LT(took, 8.0);
    expect_owner_unharmed("the message names' lock held by a stopped process");
    release_stopped();
    EXPECT_NE(RegisterWindowMessageA("TrustAfterTheLock"), 0u);
}

TEST_F(StallTest, FileLocksOnEverySegmentItCanOpenStopNoneOfTheOwnersWork) {
    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    for (const Target& t : list_targets(root())) {
        std::string report = attack_and_stop({"flock", t.path});
        const bool readable = t.kind != "directory-lock" && t.kind != "own-objects" && t.kind != "root-key";
        EXPECT_EQ(report, readable ? "locked" : "denied") << t.path;
    }
    expect_owner_unharmed("file locks on every segment");
    // The owner starts and stops another session, attaches another consumer
    // and writes the registry.
    TRACEHANDLE second = etw_test::start_session("Trust Second Session");
    EXPECT_NE(second, 0u);
    EXPECT_EQ(etw_test::stop_session("Trust Second Session"), ULONG(ERROR_SUCCESS));
    {
        etw_test::ThreadConsumer another;
        EXPECT_TRUE(owner_events_arrive(5, std::chrono::seconds(20)));
        EXPECT_TRUE(eventually([&] { return another.received.count.load() >= 5; }));
    }
    // Only the viewer's own lock keeps a viewer out, at once and in words.
    std::unique_ptr<w32rt::DebugViewer> viewer;
    double took = seconds_of([&] { viewer = w32rt::DebugViewer::attach(); });
    EXPECT_EQ(viewer, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BUSY));
    EXPECT_LT(took, 1.0);
    release_stopped();
    EXPECT_NE(w32rt::DebugViewer::attach(), nullptr);
}

TEST_F(StallTest, RingReservationOfAStoppedWriterIsGivenUpAndCountedLost) {
    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(attack_and_stop({"reserve", std::to_string(session_)}), "reserved");
    // Everything after the reservation waits for it until the consumers give
    // it up, then flows again.
    auto started = Clock::now();
    EXPECT_TRUE(owner_events_arrive(20, std::chrono::seconds(30)));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - started).count(), 20.0);
    // The writer stopped inside its first ring's reservation: that ring's
    // consumer reports the loss.
    EXPECT_TRUE(eventually([&] { return consumer_->received.lost.load() + owner_events_there().second >= 1; }))
        << "the reservation given up is reported lost";
    expect_owner_unharmed("a reservation held by a stopped writer");
}

TEST_F(StallTest, SegmentsCutShortUnderTheirUsersCrashNoOne) {
    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    HANDLE shared = open_to_all_event("Global\\TrustSharedEvent");
    ASSERT_NE(shared, nullptr);
    std::vector<Target> targets = list_targets(root());
    for (const char* kind : {"ring", "writers", "shared-objects", "atoms", "debug-output"}) {
        for (const std::string& path : paths_of(targets, kind)) {
            EXPECT_EQ(attack({"truncate", path}), "written") << path;
            release_hostile();
        }
    }
    for (const char* kind : {"directory", "session", "journal", "own-objects", "own-tokens"}) {
        for (const std::string& path : paths_of(targets, kind)) {
            EXPECT_EQ(attack({"truncate", path}), "denied") << path;
            release_hostile();
        }
    }
    // Whoever touches what was cut short goes on (with private zeros where
    // it was); the consumers replace their rings.
    SetEvent(shared);
    RegisterWindowMessageA("TrustAfterTheCut");
    OutputDebugStringA("trust test: after the cut\n");
    expect_owner_unharmed("segments cut short", true);
    std::vector<std::string> texts = debug_texts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
        return t.find("was damaged (its file was truncated)") != std::string::npos;
    }));
    EXPECT_GE(consumer_->received.lost.load(), 1u);
    CloseHandle(shared);
}

// Holds the directory lock and waits to be stopped (an owner's process).
TEST_HELPER(hold_directory_lock) {
    w32rt::etw::EtwState& state = w32rt::etw::EtwState::current();
    w32rt::etw::EtwState::Lock lock(state);
    testing_support::send_line(lock.owns() ? "locked" : "not locked");
    testing_support::receive_line();
    return 0;
}

TEST_F(StallTest, DirectoryLockOfAStoppedOwnersProcessFailsControllersInBoundedTimeNotProducers) {
    build_scene();
    ASSERT_FALSE(HasFatalFailure());
    ChildProcess holder = testing_support::spawn_helper("hold_directory_lock");
    ASSERT_TRUE(holder.expect_line("locked"));
    holder.kill(SIGSTOP);
    etw_test::Properties p;
    TRACEHANDLE h = 0;
    ULONG status = 0;
    double took = seconds_of([&] { status = StartTraceA(&h, "Trust Second Session", p.get()); });
    EXPECT_EQ(status, ULONG(ERROR_BUSY));
    EXPECT_GT(took, 5.0);
    EXPECT_LT(took, 15.0);
    // Producers and consumers need no lock.
    EXPECT_TRUE(owner_events_arrive(20, std::chrono::seconds(20)));
    holder.kill(SIGKILL);
    holder.wait();
    EXPECT_EQ(StartTraceA(&h, "Trust Second Session", p.get()), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(etw_test::stop_session("Trust Second Session"), ULONG(ERROR_SUCCESS));
    expect_owner_unharmed("a stopped holder of the directory lock");
}

}  // namespace
}  // namespace trust_test
