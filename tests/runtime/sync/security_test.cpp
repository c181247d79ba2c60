// Security descriptors, and who may open a named object.
#include <windows.h>

#include "sync_test_util.h"
#include "test_support.h"

using testing_support::ChildProcess;
using testing_support::spawn_helper;

namespace {

class SecurityTest : public testing_support::MachineTest {};

// A null DACL is read back as set; malformed descriptors and lists are
// refused, by create calls too.
TEST_F(SecurityTest, NullDaclIsReadBackAndMalformedDescriptorsAreRefused) {
    SECURITY_DESCRIPTOR sd;
    memset(&sd, 0xAB, sizeof sd);
    EXPECT_FAILS(InitializeSecurityDescriptor(&sd, 2), FALSE, ERROR_UNKNOWN_REVISION);
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
    ACL bad = {9, 0, sizeof(ACL), 0, 0};
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = &bad;
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present && !defaulted);
    EXPECT_EQ(dacl, nullptr);

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

// Runs helpers as an unprivileged user; needs the superuser.
class OtherUserTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        int64_t uid = testing_support::unprivileged_uid();
        if (uid < 0) GTEST_SKIP() << "needs the superuser to run a helper as another user";
        as_other_.uid = as_other_.gid = uid;
    }
    testing_support::SpawnOptions as_other_;
};

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
TEST_F(OtherUserTest, IsKeptOutOfDefaultSecurityAndAdmittedByANullDacl) {
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
                                      as_other_);
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
