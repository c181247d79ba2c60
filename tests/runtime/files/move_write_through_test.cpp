// MoveFileExA with MOVEFILE_WRITE_THROUGH flushes the folders the rename
// touched: both of a move between folders, the one folder of a rename in
// place once (a replacing save pays one folder flush, not two).
#include <errno.h>

#include "files_test_util.h"

using namespace files_test;

namespace {

class MoveWriteThroughTest : public FilesTest {};

TEST_F(MoveWriteThroughTest, EachFolderTheRenameTouchedIsFlushedOnce) {
    const struct {
        const char* to;
        unsigned failing_flush;  // the nth flush fails
        bool fails;
    } cases[] = {
        {"C:\\Here\\target", 1, true},   // the folder's flush
        {"C:\\Here\\target", 2, false},  // there is no second one
        {"C:\\There\\target", 1, true},  // the target's folder
        {"C:\\There\\target", 2, true},  // the source's folder
        {"C:\\There\\target", 3, false},
    };
    ASSERT_TRUE(CreateDirectoryA("C:\\Here", nullptr));
    ASSERT_TRUE(CreateDirectoryA("C:\\There", nullptr));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.to) + " flush #" + std::to_string(c.failing_flush));
        ASSERT_TRUE(put_file("C:\\Here\\source", "new"));
        ASSERT_TRUE(put_file(c.to, "old"));
        w32rt_fail_syscall("fsync", c.failing_flush, EIO);
        const BOOL moved = MoveFileExA("C:\\Here\\source", c.to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        w32rt_clear_syscall_faults();
        EXPECT_EQ(moved, c.fails ? FALSE : TRUE);
        // The rename itself is done either way; a failed flush is reported.
        EXPECT_EQ(get_file(c.to), "new");
        DeleteFileA(c.to);
    }
}

}  // namespace
