// Named objects: one namespace for the whole root, shared by its processes.
#include <signal.h>

#include <windows.h>

#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::ChildProcess;
using testing_support::spawn_helper;

namespace {

class NamedObjectTest : public testing_support::MachineTest {};

// Global\, Local\ and no prefix name the same object; the reset mode and
// initial state of a create that opens are ignored. Empty names are unnamed.
TEST_F(NamedObjectTest, CreatingAnExistingNameOpensItWhateverThePrefix) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Global\\Shared");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, "Local\\Shared");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(a, 0), DWORD(WAIT_TIMEOUT));
    HANDLE c = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Shared");
    ASSERT_NE(c, nullptr);
    SetEvent(c);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // still manual-reset
    HANDLE unnamed[2];
    for (HANDLE& u : unnamed) {
        u = CreateEventA(nullptr, TRUE, FALSE, "");
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    }
    for (HANDLE h : {a, b, c, unnamed[0], unnamed[1]}) CloseHandle(h);
}

// Names are case-sensitive; an event and a mutex cannot share one; a name
// goes with the last handle to its object.
TEST_F(NamedObjectTest, TypesShareTheNamespaceAndNamesGoWithTheirLastHandle) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Global\\Taken");
    ASSERT_NE(e, nullptr);
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, "Global\\Taken"), nullptr, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\Taken"), nullptr, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "Global\\TAKEN"), nullptr, ERROR_FILE_NOT_FOUND);
    CloseHandle(e);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Taken"), nullptr, ERROR_FILE_NOT_FOUND);
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Taken");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(m);
}

TEST_F(NamedObjectTest, BadNamesAreRefused) {
    const std::string longest(w32rt::sync::kMaxNameLength, 'n');
    const std::string too_long = longest + "n";
    const struct {
        const char* name;
        DWORD error;
    } cases[] = {
        {"Global\\", ERROR_INVALID_NAME},
        {"Global\\a\\b", ERROR_PATH_NOT_FOUND},
        {"Session\\1\\x", ERROR_PATH_NOT_FOUND},
        {too_long.c_str(), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) EXPECT_FAILS(CreateEventA(nullptr, TRUE, FALSE, c.name), nullptr, c.error);
    HANDLE ok = CreateEventA(nullptr, TRUE, FALSE, longest.c_str());
    EXPECT_NE(ok, nullptr);
    CloseHandle(ok);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, nullptr), nullptr, ERROR_INVALID_PARAMETER);
}

// ---- Across processes ------------------------------------------------------

TEST_HELPER(wait_named_event) {
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, argv[1]);
    if (!e) return 10;
    testing_support::send_line("waiting");
    return WaitForSingleObject(e, 60000) == WAIT_OBJECT_0 ? 0 : 11;
}

TEST_F(NamedObjectTest, EventSetInOneProcessWakesAWaiterInAnother) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "Global\\CrossWake");
    ASSERT_NE(e, nullptr);
    ChildProcess child = spawn_helper("wait_named_event", {"Global\\CrossWake"});
    ASSERT_TRUE(child.expect_line("waiting"));
    ASSERT_TRUE(eventually_sleeping(e, 1));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(child.wait(), 0);
    // The waiter consumed the auto-reset event.
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST_HELPER(hold_event) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, argv[1]);
    if (!e) return 10;
    testing_support::send_line("created");
    testing_support::receive_line();  // until killed
    return 0;
}

// A name whose last holder was killed is free: opening it fails, creating
// it makes a new object.
TEST_F(NamedObjectTest, ObjectWhoseHoldersWereKilledCannotBeOpened) {
    ChildProcess child = spawn_helper("hold_event", {"Global\\Orphan"});
    ASSERT_TRUE(child.expect_line("created"));
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Global\\Orphan");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    CloseHandle(e);
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Orphan"), nullptr, ERROR_FILE_NOT_FOUND);
    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, "Global\\Orphan");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(fresh);
}

}  // namespace
