// Security descriptors, and who may open a named object.
#include <windows.h>

#include "sync_test_util.h"
#include "test_support.h"

using namespace sync_test;
using testing_support::ChildProcess;
using testing_support::spawn_helper;

namespace {

class SecurityTest : public testing_support::MachineTest {};

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

// A DACL is read back as set; malformed descriptors and lists are refused,
// by create calls too.
TEST_F(SecurityTest, DaclIsReadBackAsSetAndMalformedDescriptorsAreRefused) {
    SECURITY_DESCRIPTOR sd;
    memset(&sd, 0xAB, sizeof sd);
    EXPECT_FAILS(InitializeSecurityDescriptor(&sd, 2), FALSE, ERROR_UNKNOWN_REVISION);
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
    BOOL present = TRUE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);
    ACL acl = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
    for (PACL set : {static_cast<PACL>(nullptr), &acl}) {
        ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, set, set != nullptr));
        ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
        EXPECT_TRUE(present);
        EXPECT_EQ(dacl, set);
        EXPECT_EQ(defaulted, BOOL(set != nullptr));
    }
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, &acl, TRUE));
    ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_FALSE(present);

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

// Reports, for each name, how opening and creating it went as this user.
TEST_HELPER(try_open_as_other_user) {
    std::string report;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        SetLastError(0);
        HANDLE opened = name.rfind("mutex:", 0) == 0 ? OpenMutexA(SYNCHRONIZE, FALSE, name.c_str() + 6)
                                                     : OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
        report += opened ? "open-ok" : "open-" + std::to_string(GetLastError());
        report += " ";
        if (opened && name.rfind("mutex:", 0) != 0) SetEvent(opened);
        if (opened) CloseHandle(opened);
        if (name.rfind("mutex:", 0) != 0) {
            SetLastError(0);
            HANDLE created = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
            report += created ? "create-" + std::to_string(GetLastError()) : "create-null-" + std::to_string(GetLastError());
            report += " ";
            if (created) CloseHandle(created);
        }
    }
    testing_support::send_line(report);
    return 0;
}

TEST_HELPER(create_default_security_event) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, argv[1]);
    testing_support::send_line(e ? "created" : "failed");
    testing_support::receive_line();
    return 0;
}

TEST_F(OtherUserTest, IsKeptOutOfDefaultSecurityAndAdmittedByANullDacl) {

    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, "Global\\DefaultSecurity");
    ASSERT_NE(closed, nullptr);
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, TRUE};
    HANDLE open = CreateEventA(&sa, TRUE, FALSE, "Global\\NullDacl");
    ASSERT_NE(open, nullptr);
    HANDLE open_mutex = CreateMutexA(&sa, FALSE, "Global\\NullDaclMutex");
    ASSERT_NE(open_mutex, nullptr);
    // A DACL the runtime does not interpret gives default security.
    ACL acl = {ACL_REVISION, 0, sizeof(ACL), 0, 0};
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, &acl, FALSE));
    HANDLE listed = CreateEventA(&sa, TRUE, FALSE, "Global\\EmptyDacl");
    ASSERT_NE(listed, nullptr);

    ChildProcess child = spawn_helper("try_open_as_other_user",
                                      {"Global\\DefaultSecurity", "Global\\NullDacl", "mutex:Global\\NullDaclMutex",
                                       "Global\\EmptyDacl"},
                                      as_other_);
    std::string report = child.read_line();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(report,
              "open-5 create-null-5 "         // default security: ERROR_ACCESS_DENIED both ways
              "open-ok create-183 "           // null DACL: opened, and created-existing
              "open-ok "                      // null-DACL mutex
              "open-5 create-null-5 ");       // uninterpreted DACL: default security
    // The other user's SetEvent reached our object.
    EXPECT_EQ(WaitForSingleObject(open, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(closed, 0), DWORD(WAIT_TIMEOUT));
    for (HANDLE h : {closed, open, open_mutex, listed}) CloseHandle(h);
}

TEST_F(OtherUserTest, DefaultSecurityObjectIsOpenedByTheSuperuser) {
    ChildProcess child = spawn_helper("create_default_security_event", {"Global\\TheirsAlone"}, as_other_);
    ASSERT_EQ(child.read_line(), "created");
    HANDLE e = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\TheirsAlone");
    EXPECT_NE(e, nullptr);
    CloseHandle(e);
    child.write_line("done");
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
