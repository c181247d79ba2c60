// The shared tables survive processes that die at the worst moment and
// contents written by someone else.
#include <signal.h>
#include <unistd.h>

#include <windows.h>

#include <random>
#include <thread>

#include "core/machine.h"
#include "sync/atoms.h"
#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::ChildProcess;
using testing_support::spawn_helper;
using w32rt::sync::ObjectRegion;
using w32rt::sync::ObjectSlot;

namespace {

class RobustnessTest : public testing_support::MachineTest {};

// Security attributes of objects open to every user (a null DACL): they
// live in the shared table.
struct OpenToAll {
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    OpenToAll() {
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    }
};

// Takes the lock of the table that its objects are in ("shared": null
// DACL, else the user's own), leaves a half-made named object behind (as a
// creator killed in the middle would: a slot taken, but no holder entry
// naming it) and waits to be killed.
TEST_HELPER(die_holding_table_lock) {
    OpenToAll everyone;
    LPSECURITY_ATTRIBUTES sa = std::string(argv[2]) == "shared" ? &everyone.sa : nullptr;
    HANDLE mine = CreateEventA(sa, TRUE, FALSE, argv[1]);
    HANDLE half = CreateEventA(sa, TRUE, FALSE, "Half");
    if (!mine || !half) return 10;
    ObjectRegion* region = shared_of(half)->region();
    if (!region->lock()) return 11;
    *region->holder_entry(shared_of(half)->ref().holder) = w32rt::sync::HolderEntry{};
    testing_support::send_line("locked");
    testing_support::receive_line();
    return 0;
}

TEST_F(RobustnessTest, TableLockOfAKilledProcessIsRecoveredAndTheTableRepaired) {
    for (const char* table : {"private", "shared"}) {
        SCOPED_TRACE(table);
        OpenToAll everyone;
        LPSECURITY_ATTRIBUTES sa = std::string(table) == "shared" ? &everyone.sa : nullptr;
        HANDLE kept = CreateEventA(sa, TRUE, FALSE, "Global\\Kept");
        ASSERT_NE(kept, nullptr);
        ObjectRegion* region = shared_of(kept)->region();
        uint32_t repairs = region->repairs();
        ChildProcess child = spawn_helper("die_holding_table_lock", {"Global\\Theirs", table});
        ASSERT_TRUE(child.expect_line("locked"));
        child.kill(SIGKILL);
        EXPECT_EQ(child.wait(), 128 + SIGKILL);

        // The next operation recovers the lock and repairs the table.
        HANDLE half = CreateEventA(sa, TRUE, FALSE, "Half");
        ASSERT_NE(half, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));  // the half-made one was dropped
        EXPECT_EQ(region->repairs(), repairs + 1);
        EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Theirs"), nullptr, ERROR_FILE_NOT_FOUND);
        // What we held is intact.
        EXPECT_TRUE(SetEvent(kept));
        HANDLE again = OpenEventA(SYNCHRONIZE, FALSE, "Global\\Kept");
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
        for (HANDLE h : {kept, half, again}) CloseHandle(h);
    }
}

TEST_HELPER(wait_then_die) {
    HANDLE h = argv[1][0] == 'm' ? OpenMutexA(SYNCHRONIZE, FALSE, argv[2]) : OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (!h) return 10;
    testing_support::send_line("waiting");
    WaitForSingleObject(h, INFINITE);  // killed in it
    return 0;
}

TEST_F(RobustnessTest, WaiterKilledInItsSleepLeavesNothingBehind) {
    auto kill_sleeping_waiter = [](HANDLE h, const char* kind, const char* name) {
        ChildProcess child = spawn_helper("wait_then_die", {kind, name});
        ASSERT_TRUE(child.expect_line("waiting"));
        ASSERT_TRUE(eventually_sleeping(h, 1));
        child.kill(SIGKILL);
        EXPECT_EQ(child.wait(), 128 + SIGKILL);
    };
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "Global\\DeadWaiter");
    kill_sleeping_waiter(e, "e", "Global\\DeadWaiter");
    // The dead waiter claims nothing: the auto-reset event stays set for us.
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));

    HANDLE m = CreateMutexA(nullptr, TRUE, "Global\\DeadMutexWaiter");
    kill_sleeping_waiter(m, "m", "Global\\DeadMutexWaiter");
    ASSERT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(on_thread([m] { return WaitForSingleObject(m, 10000); }), WAIT_OBJECT_0);
    CloseHandle(e);
    CloseHandle(m);
}

TEST_F(RobustnessTest, CorruptOwnerAndNameFieldsAreContained) {
    HANDLE m = CreateMutexA(nullptr, TRUE, "Global\\Corrupt");
    ASSERT_NE(m, nullptr);
    ObjectRegion* region = shared_of(m)->region();
    ASSERT_TRUE(region->lock());
    ObjectSlot* s = shared_of(m)->slot();
    ASSERT_NE(s, nullptr);
    s->owner = 0xFFFFFFFF;  // no such token
    s->name_length = 100000;
    region->unlock();
    // The owner is gone: the mutex is abandoned to the next wait.
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    // The name no longer matches anything; lookups neither crash nor find it.
    EXPECT_FAILS(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\Corrupt"), nullptr, ERROR_FILE_NOT_FOUND);
    CloseHandle(m);
}

TEST_F(RobustnessTest, GarbageInFreeSlotsAndHolderEntriesIsSurvived) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Global\\Survivor");
    ASSERT_NE(e, nullptr);
    ObjectRegion* region = shared_of(e)->region();
    std::mt19937 rng(7);
    ASSERT_TRUE(region->lock());
    auto scramble = [&rng](void* p, size_t size) {
        for (size_t b = 0; b < size; ++b) static_cast<uint8_t*>(p)[b] = uint8_t(rng());
    };
    // Our event's slot and holder entry are spared.
    const ObjectSlot* keep = shared_of(e)->slot();
    const uint32_t our_entry = shared_of(e)->ref().holder;
    for (uint32_t i = 0; i < 64; ++i) {
        if (region->slot(i) != keep) scramble(region->slot(i), sizeof(ObjectSlot));
        if (i == our_entry) continue;
        scramble(region->holder_entry(i), sizeof(w32rt::sync::HolderEntry));
        region->holder_entry(i)->object = rng() % 3 ? rng() : rng() % 80;  // some in range
    }
    region->unlock();
    // Everything still works, including allocating around the garbage.
    for (int i = 0; i < 100; ++i) {
        std::string name = "Global\\Fresh" + std::to_string(i);
        HANDLE h = CreateEventA(nullptr, FALSE, TRUE, name.c_str());
        ASSERT_NE(h, nullptr) << i;
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
        HANDLE o = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
        EXPECT_NE(o, nullptr);
        CloseHandle(o);
        CloseHandle(h);
    }
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    CloseHandle(m);
    CloseHandle(e);
}

TEST_F(RobustnessTest, TokensOfDeadThreadsAreReclaimedWhenTheTableIsFull) {
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    // Every free token looks taken by a thread that died without retiring it
    // (marked in use, its lock word without an owner).
    auto* tokens = w32rt::sync::TokenTable::of(w32rt::Machine::current(), geteuid());
    ASSERT_NE(tokens, nullptr);
    for (uint32_t i = 0; i < w32rt::sync::kMaxTokens; ++i) tokens->token(i)->in_use = 1;
    // A thread that never owned anything still gets a token.
    EXPECT_EQ(on_thread([m] { return WaitForSingleObject(m, 10000); }), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);  // that thread ended owning it
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST_F(RobustnessTest, CorruptMessageNameTableIsContained) {
    ASSERT_NE(RegisterWindowMessageA("Before"), 0u);
    auto region = w32rt::SharedRegion::open_existing(w32rt::Machine::current(), w32rt::public_segment("atoms"),
                                                     w32rt::sync::kAtomsMagic, w32rt::sync::kAtomsVersion);
    ASSERT_NE(region, nullptr);
    auto* t = static_cast<w32rt::sync::AtomsLayout*>(region->base());
    t->entries[0].offset = 0xFFFFFF00;  // the "Before" entry now points outside the pool
    t->count = 0xFFFFFFFF;
    // The table reads as full: refused, not crashed.
    EXPECT_FAILS(RegisterWindowMessageA("After"), 0u, ERROR_NOT_ENOUGH_MEMORY);
    t->count = 1;
    UINT id = RegisterWindowMessageA("After");
    EXPECT_EQ(id, w32rt::sync::kFirstAtomId + 1);
    EXPECT_EQ(RegisterWindowMessageA("after"), id);
}

}  // namespace
