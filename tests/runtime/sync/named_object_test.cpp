// Named objects: one namespace for the whole root, shared by its processes;
// security descriptors and who may open an object.
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
// initial state of a create that opens are ignored. Names are case-sensitive
// and go with the last handle to their object; an event and a mutex cannot
// share one. Empty names are unnamed; bad ones are refused.
TEST_F(NamedObjectTest, OneNamespaceForAllPrefixesAndTypes) {
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
    EXPECT_FAILS(CreateMutexA(nullptr, FALSE, "Global\\Shared"), nullptr, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\Shared"), nullptr, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "Global\\SHARED"), nullptr, ERROR_FILE_NOT_FOUND);
    for (HANDLE h : {a, b, c}) CloseHandle(h);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Shared"), nullptr, ERROR_FILE_NOT_FOUND);
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Shared");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(m);
    HANDLE unnamed[2] = {CreateEventA(nullptr, TRUE, FALSE, ""), CreateEventA(nullptr, TRUE, FALSE, "")};
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));  // the second did not open the first
    for (HANDLE u : unnamed) CloseHandle(u);

    // Bad names.
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

// Creates an auto-reset event, waits until it is set, and holds it until
// killed.
TEST_HELPER(hold_event) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, argv[1]);
    if (!e) return 10;
    testing_support::send_line("created");
    testing_support::send_line(WaitForSingleObject(e, 60000) == WAIT_OBJECT_0 ? "woken" : "timeout");
    testing_support::receive_line();
    return 0;
}

// An event set in one process wakes a waiter in another. A name whose last
// holder was killed is free: opening it fails, creating it makes a new
// object.
TEST_F(NamedObjectTest, EventIsSharedAcrossProcessesUntilItsLastHolderIsKilled) {
    ChildProcess child = spawn_helper("hold_event", {"Global\\Orphan"});
    ASSERT_TRUE(child.expect_line("created"));
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, "Global\\Orphan");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(eventually_sleeping(e, 1));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_TRUE(child.expect_line("woken"));
    EXPECT_EQ(WaitForSingleObject(e, 0), DWORD(WAIT_TIMEOUT));  // the waiter consumed it
    CloseHandle(e);
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_FAILS(OpenEventA(SYNCHRONIZE, FALSE, "Global\\Orphan"), nullptr, ERROR_FILE_NOT_FOUND);
    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, "Global\\Orphan");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    CloseHandle(fresh);
}

// ---- Security ---------------------------------------------------------------

// Malformed descriptors and lists are refused, by create calls too.
TEST_F(NamedObjectTest, MalformedSecurityDescriptorsAreRefused) {
    SECURITY_DESCRIPTOR sd;
    memset(&sd, 0xAB, sizeof sd);
    EXPECT_FAILS(InitializeSecurityDescriptor(&sd, 2), FALSE, ERROR_UNKNOWN_REVISION);
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
    ACL bad = {9, 0, sizeof(ACL), 0, 0};
    EXPECT_FAILS(SetSecurityDescriptorDacl(&sd, TRUE, &bad, FALSE), FALSE, ERROR_INVALID_ACL);
    sd.Revision = 3;
    EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
    EXPECT_FAILS(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE), FALSE, ERROR_UNKNOWN_REVISION);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    EXPECT_FAILS(CreateEventA(&sa, TRUE, FALSE, "Global\\BadSd"), nullptr, ERROR_INVALID_SECURITY_DESCR);
    sd.Revision = SECURITY_DESCRIPTOR_REVISION;
    sd.Control = SE_SELF_RELATIVE;
    EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
    EXPECT_FALSE(IsValidSecurityDescriptor(nullptr));
}

// ---- Another identity ------------------------------------------------------

// Makes an event of its own with default security, reports how opening each
// "e:name" or "m:name" (and creating each event) went, and keeps its event
// until told to go.
TEST_HELPER(as_other_user) {
    HANDLE own = CreateEventA(nullptr, TRUE, FALSE, "Global\\TheirsAlone");
    std::string report = own ? "" : "own-failed ";
    for (int i = 1; i < argc; ++i) {
        const bool mutex = argv[i][0] == 'm';
        const char* name = argv[i] + 2;
        HANDLE h = mutex ? OpenMutexA(SYNCHRONIZE, FALSE, name) : OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
        report += h ? "open-ok " : "open-" + std::to_string(GetLastError()) + " ";
        if (h && !mutex) SetEvent(h);
        if (h) CloseHandle(h);
        if (mutex) continue;
        h = CreateEventA(nullptr, TRUE, FALSE, name);
        report += (h ? "create-" : "create-null-") + std::to_string(GetLastError()) + " ";
        if (h) CloseHandle(h);
    }
    testing_support::send_line(report);
    testing_support::receive_line();
    return 0;
}

// Another user is kept out of objects with default security and admitted by
// a null DACL; the superuser opens the other user's objects.
TEST_F(NamedObjectTest, OtherUserIsKeptOutOfDefaultSecurityAndAdmittedByANullDacl) {
    const int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to run a helper as another user";
    testing_support::SpawnOptions as_other;
    as_other.uid = as_other.gid = uid;
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, "Global\\DefaultSecurity");
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, TRUE};
    HANDLE open = CreateEventA(&sa, TRUE, FALSE, "Global\\NullDacl");
    HANDLE open_mutex = CreateMutexA(&sa, FALSE, "Global\\NullDaclMutex");
    // A DACL the runtime does not interpret gives default security.
    ACL acl = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
    HANDLE listed = CreateEventA(&sa, TRUE, FALSE, "Global\\EmptyDacl");
    ASSERT_TRUE(closed && open && open_mutex && listed);

    ChildProcess child = spawn_helper("as_other_user",
                                      {"e:Global\\DefaultSecurity", "e:Global\\NullDacl", "m:Global\\NullDaclMutex",
                                       "e:Global\\EmptyDacl"},
                                      as_other);
    EXPECT_EQ(child.read_line(),
              "open-5 create-null-5 "    // default security: ERROR_ACCESS_DENIED both ways
              "open-ok create-183 "      // null DACL: opened, and created-existing
              "open-ok "                 // null-DACL mutex
              "open-5 create-null-5 ");  // uninterpreted DACL: default security
    // The other user's SetEvent reached our object.
    EXPECT_EQ(WaitForSingleObject(open, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(closed, 0), DWORD(WAIT_TIMEOUT));
    HANDLE theirs = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\TheirsAlone");
    EXPECT_NE(theirs, nullptr);
    child.write_line("done");
    EXPECT_EQ(child.wait(), 0);
    for (HANDLE h : {closed, open, open_mutex, listed, theirs}) CloseHandle(h);
}

}  // namespace
