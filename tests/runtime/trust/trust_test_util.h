// The scene of the hostile-user tests: a root owned by the test's user, its
// session running with a consumer in this process and one in a process of
// its own, a provider of this process, objects with default security and a
// registry watch; and a hostile process, run as another user (nobody), that
// attacks the root's shared memory. After every attack the owner must still
// have all of it, and nothing of the owner's may crash or hang.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "../etw/etw_test_util.h"
#include "test_support.h"

namespace trust_test {

using testing_support::ChildProcess;

constexpr uint32_t kOwnerProducer = 1;
constexpr uint32_t kHostileProducer = 5;
constexpr const char* kPrivateEvent = "Global\\TrustOwnersEvent";
constexpr const char* kPrivateMutex = "Global\\TrustOwnersMutex";
constexpr const char* kWatchedKey = "Software\\Vanta\\Wireless\\TrustTest";

// A shared-memory file of the owner's root, by what it holds.
struct Target {
    std::string kind;  // "directory", "ring", "shared-objects", ...
    std::string path;
};

// What every segment kind is, and whether the hostile user may write it.
struct Kind {
    const char* name;
    bool others_may_write;
};
const std::vector<Kind>& segment_kinds();

// The files of the owner's root in /dev/shm and its folder, by kind, and
// the key file in the root.
std::vector<Target> list_targets(const std::string& root);
std::vector<std::string> paths_of(const std::vector<Target>& targets, const std::string& kind);

class HostileTest : public testing_support::MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // The owner's session, consumers, provider, objects and registry key.
    void build_scene();

    // A helper run as the hostile user; its first line is returned by
    // attack() below, the process is kept in `hostile_`.
    ChildProcess spawn_hostile(const std::vector<std::string>& args);
    // Runs an attack helper to its report line ("written", "denied", ...);
    // it stays alive (for a lock it holds) until release_hostile().
    std::string attack(const std::vector<std::string>& args);
    void release_hostile();

    // Everything the owner must still have after an attack. Once the
    // attacker spoiled or holds the shared table, where names of private
    // objects are reserved, its own attempts on them find nothing rather
    // than ERROR_ACCESS_DENIED: still nothing of the owner's.
    void expect_owner_unharmed(const std::string& after, bool shared_table_attacked = false);

    // Owner events (producer 1) written until both consumers have each
    // received `count` more of them, for at most `timeout`.
    ::testing::AssertionResult owner_events_arrive(uint64_t count, std::chrono::seconds timeout);

    uint64_t owner_events_here();
    // "<owner events> <lost>" of the consumer process.
    std::pair<uint64_t, uint64_t> owner_events_there();

    // Debugger output of this process since the test began.
    std::vector<std::string> debug_texts();

    int64_t hostile_uid_ = -1;
    TRACEHANDLE session_ = 0;
    std::unique_ptr<etw_test::ThreadConsumer> consumer_;
    ChildProcess consumer_process_;
    ChildProcess hostile_;
    std::vector<ChildProcess> stopped_;  // hostile processes stopped holding something
    TRACEHANDLE registration_ = 0;
    HANDLE private_event_ = nullptr;
    HANDLE private_mutex_ = nullptr;
    uint64_t next_sequence_ = 0;
    ULONG enable_round_ = 0;
};

}  // namespace trust_test
