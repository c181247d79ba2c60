// Named objects: one namespace for the whole root, shared by its processes.
#include <signal.h>

#include <windows.h>

#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::spawn_helper;

namespace {

class NamedObjectTest : public testing_support::MachineTest {};

TEST_F(NamedObjectTest, CreatingAnExistingNameOpensIt) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Global\\Shared");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    // Reset mode and initial state of the second call are ignored.
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, "Global\\Shared");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_NE(a, b);
    EXPECT_EQ(WaitForSingleObject(a, 0), DWORD(WAIT_TIMEOUT));
    SetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // still manual-reset
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(NamedObjectTest, PrefixesNameOneNamespace) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Global\\Obj");
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "Local\\Obj");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    HANDLE c = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Obj");
    ASSERT_NE(c, nullptr);
    SetEvent(c);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    for (HANDLE h : {a, b, c}) CloseHandle(h);
}

TEST_F(NamedObjectTest, NamesAreCaseSensitive) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "Global\\CaseName");
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "Global\\casename");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), DWORD(WAIT_TIMEOUT));
    SetLastError(0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\CASENAME"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(NamedObjectTest, TypesShareTheNamespace) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Global\\Taken");
    ASSERT_NE(e, nullptr);
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Global\\Taken"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\Taken"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(e);
    // Once the event is gone the name is free for a mutex.
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Taken");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(m);
}

TEST_F(NamedObjectTest, OpeningAMissingNameFails) {
    SetLastError(0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Nobody"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Global\\Briefly");
    CloseHandle(e);
    SetLastError(0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Briefly"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(NamedObjectTest, BadNamesAreRefused) {
    struct {
        const char* name;
        DWORD error;
    } cases[] = {
        {"Global\\", ERROR_INVALID_NAME},
        {"Global\\a\\b", ERROR_PATH_NOT_FOUND},
        {"Session\\1\\x", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, c.name), nullptr) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    std::string longest(w32rt::sync::kMaxNameLength, 'n');
    HANDLE ok = CreateEventA(nullptr, TRUE, FALSE, longest.c_str());
    EXPECT_NE(ok, nullptr);
    CloseHandle(ok);
    std::string too_long = longest + "n";
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, too_long.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
    SetLastError(0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(NamedObjectTest, EmptyNameMakesAnUnnamedObject) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "");
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, "");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(a);
    CloseHandle(b);
}

// ---- Across processes ------------------------------------------------------

TEST_HELPER(wait_named_event) {
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, argv[1]);
    if (!e) return 10;
    testing_support::send_line("waiting");
    DWORD r = WaitForSingleObject(e, 60000);
    testing_support::send_line(r == WAIT_OBJECT_0 ? "woken" : "timeout");
    return 0;
}

TEST_F(NamedObjectTest, EventSetInOneProcessWakesAWaiterInAnother) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "Global\\CrossWake");
    ASSERT_NE(e, nullptr);
    ChildProcess child = spawn_helper("wait_named_event", {"Global\\CrossWake"});
    ASSERT_TRUE(child.expect_line("waiting"));
    ASSERT_TRUE(eventually_sleeping(e, 1));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_TRUE(child.expect_line("woken"));
    EXPECT_EQ(child.wait(), 0);
    // The waiter consumed the auto-reset event.
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST_HELPER(hold_event) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, argv[1]);
    if (!e) return 10;
    testing_support::send_line(GetLastError() == ERROR_ALREADY_EXISTS ? "opened" : "created");
    testing_support::receive_line();  // until told to go, or killed
    return 0;
}

TEST_F(NamedObjectTest, ObjectWhoseHoldersWereKilledCannotBeOpened) {
    ChildProcess child = spawn_helper("hold_event", {"Global\\Orphan"});
    ASSERT_TRUE(child.expect_line("created"));
    HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, "Global\\Orphan");
    ASSERT_NE(e, nullptr);
    CloseHandle(e);
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    SetLastError(0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Orphan"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    // Creating it again makes a new object.
    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, "Global\\Orphan");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(fresh);
}

TEST_F(NamedObjectTest, ObjectLivesWhileAnotherProcessHoldsIt) {
    ChildProcess child = spawn_helper("hold_event", {"Global\\Kept"});
    ASSERT_TRUE(child.expect_line("created"));
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, "Global\\Kept");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    child.write_line("go");
    EXPECT_EQ(child.wait(), 0);
    // The child has gone; our handle keeps the object.
    HANDLE again = OpenEventA(SYNCHRONIZE, FALSE, "Global\\Kept");
    EXPECT_NE(again, nullptr);
    CloseHandle(again);
    CloseHandle(e);
}

}  // namespace
