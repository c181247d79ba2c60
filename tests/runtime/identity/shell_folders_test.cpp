// Shell folders of the calling user and of the machine, made on demand.
#include <unistd.h>

#include <string>

#include <shlobj.h>
#include <windows.h>
#include <w32rt/machine.h>

#include "host_test_util.h"

using host_test::folder;
using testing_support::MachineTest;

class HostFolderTest : public MachineTest {};

TEST_F(HostFolderTest, ShellFoldersOfTheCallingUser) {
    const std::string expected_profile = host_test::user_name() == "SYSTEM"
                                             ? std::string("C:\\Windows\\System32\\config\\systemprofile")
                                             : "C:\\Users\\" + host_test::posix_name_of(geteuid());

    // Missing folders are an error unless they are to be made or not checked.
    EXPECT_EQ(folder(CSIDL_APPDATA), "<0x80004005>");
    EXPECT_EQ(folder(CSIDL_APPDATA | 0x4000), expected_profile + "\\AppData\\Roaming");  // CSIDL_FLAG_DONT_VERIFY
    EXPECT_EQ(folder(CSIDL_APPDATA | CSIDL_FLAG_CREATE), expected_profile + "\\AppData\\Roaming");
    EXPECT_EQ(folder(CSIDL_APPDATA), expected_profile + "\\AppData\\Roaming");
    EXPECT_EQ(folder(CSIDL_PROFILE), expected_profile);
    EXPECT_EQ(folder(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE), "C:\\ProgramData");
    EXPECT_EQ(host_test::owner_and_mode(w32rt::to_posix_path("C:\\ProgramData")), std::to_string(geteuid()) + " 1777");
    EXPECT_EQ(folder(CSIDL_SYSTEM | CSIDL_FLAG_CREATE), "C:\\Windows\\System32");

    // Bad arguments.
    EXPECT_EQ(folder(0x7F), "<0x80070057>");
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, nullptr), E_INVALIDARG);
    EXPECT_EQ(folder(CSIDL_APPDATA, reinterpret_cast<HANDLE>(0x1234)), "<0x80070006>");
    // The default user's profile (token -1).
    EXPECT_EQ(folder(CSIDL_APPDATA | 0x4000, INVALID_HANDLE_VALUE), "C:\\Users\\Default\\AppData\\Roaming");
}
