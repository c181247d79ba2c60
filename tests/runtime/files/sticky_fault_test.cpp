// w32rt_fail_syscall_from: from the chosen call on, every call of the kind
// fails until the faults are cleared (a disk that stays full).
#include <errno.h>

#include "files_test_util.h"

using namespace files_test;

namespace {

class StickyFaultTest : public FilesTest {};

TEST_F(StickyFaultTest, EveryWriteFromTheChosenOneFailsUntilCleared) {
    HANDLE file = open_file("C:\\log", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    w32rt_fail_syscall_from("write", 2, ENOSPC);
    const struct {
        bool written;
        DWORD error;
    } expected[] = {{true, 0}, {false, ERROR_DISK_FULL}, {false, ERROR_DISK_FULL}, {false, ERROR_DISK_FULL}};
    for (const auto& e : expected) {
        DWORD written = 0;
        SetLastError(0);
        EXPECT_EQ(WriteFile(file, "line\n", 5, &written, nullptr), e.written ? TRUE : FALSE);
        if (!e.written) {
            EXPECT_EQ(GetLastError(), e.error);
        }
    }
    // Other kinds are not touched, and clearing ends it.
    EXPECT_TRUE(FlushFileBuffers(file));
    w32rt_clear_syscall_faults();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "line\n", 5, &written, nullptr));
    CloseHandle(file);
    EXPECT_EQ(get_file("C:\\log"), "line\nline\n");
}

}  // namespace
