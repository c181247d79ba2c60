// Copy, move, delete, folders, attributes, and the current, temporary and
// full paths.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <utility>

#include <w32rt/testing.h>

#include "files_test_util.h"

using namespace files_test;

namespace {

constexpr uint64_t kYear2020 = 132223104000000000ull;  // 2020-01-01 UTC

class FolderTest : public FilesTest {
protected:
    // C:\logs\a.csv holds "alpha", was created at the start of 2020 and last
    // written a day later.
    void SetUp() override {
        FilesTest::SetUp();
        ASSERT_TRUE(CreateDirectoryA("C:\\logs", nullptr));
        ASSERT_TRUE(put_file("C:\\logs\\a.csv", "alpha"));
        Handle h(open_file("C:\\logs\\a.csv", FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING));
        FILETIME created = filetime(kYear2020), written = filetime(kYear2020 + kDay);
        ASSERT_TRUE(SetFileTime(h.get(), &created, nullptr, &written));
    }
    // A file's creation and last-write times.
    static std::pair<uint64_t, uint64_t> times_of(const std::string& path) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        EXPECT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) << path;
        return {ticks(data.ftCreationTime), ticks(data.ftLastWriteTime)};
    }
};

// The process's descriptors: how many, and how many name a file that has
// no name any more (kept from being freed).
struct Descriptors {
    size_t open = 0, of_deleted_files = 0;
    static Descriptors now() {
        w32rt_settle_late_closes();
        Descriptors d;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
            ++d.open;
            if (target.size() > 10 && target.compare(target.size() - 10, 10, " (deleted)") == 0) ++d.of_deleted_files;
        }
        return d;
    }
};

// Replaces C:\logs\a.csv and makes and deletes another file, times times.
bool replace_and_delete(int times) {
    for (int i = 0; i < times; ++i) {
        if (!put_file("C:\\logs\\new.csv", "replacement") ||
            !MoveFileExA("C:\\logs\\new.csv", "C:\\logs\\a.csv", MOVEFILE_REPLACE_EXISTING) ||
            !put_file("C:\\logs\\gone.csv", "x") || !DeleteFileA("C:\\logs\\gone.csv"))
            return false;
    }
    return true;
}

}  // namespace

// The runtime closes the last descriptor of a replaced or deleted file on a
// thread of its own; every one is closed all the same, in a child forked
// while that thread ran too (which closes them itself).
TEST_F(FolderTest, ReplacedAndDeletedFilesAreFreed) {
    const Descriptors start = Descriptors::now();
    ASSERT_TRUE(replace_and_delete(40));
    EXPECT_EQ(get_file("C:\\logs\\a.csv"), "replacement");
    const Descriptors after = Descriptors::now();
    EXPECT_EQ(after.of_deleted_files, 0u);
    EXPECT_EQ(after.open, start.open);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const Descriptors before = Descriptors::now();
        const bool done = replace_and_delete(10);
        const Descriptors later = Descriptors::now();
        _exit(!done ? 1 : later.of_deleted_files != 0 ? 2 : later.open != before.open ? 3 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a call failed, 2: a deleted file kept open, 3: descriptors left open";
    EXPECT_EQ(Descriptors::now().of_deleted_files, 0u);
}

TEST_F(FolderTest, CopyKeepsContentAndLastWriteAndGetsItsOwnCreationTime) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ASSERT_TRUE(CopyFileA("C:\\logs\\a.csv", "C:\\logs\\b.csv", TRUE));
    EXPECT_EQ(get_file("C:\\logs\\b.csv"), "alpha");
    EXPECT_EQ(times_of("C:\\logs\\b.csv").second, kYear2020 + kDay);
    EXPECT_GE(times_of("C:\\logs\\b.csv").first, ticks(now));

    ASSERT_TRUE(put_file("C:\\logs\\a.csv", "second"));
    EXPECT_FAILS(CopyFileA("C:\\logs\\a.csv", "C:\\logs\\b.csv", TRUE), FALSE, ERROR_FILE_EXISTS);
    EXPECT_EQ(get_file("C:\\logs\\b.csv"), "alpha");
    ASSERT_TRUE(CopyFileA("C:\\logs\\a.csv", "C:\\logs\\b.csv", FALSE));
    EXPECT_EQ(get_file("C:\\logs\\b.csv"), "second");

    EXPECT_FAILS(CopyFileA("C:\\logs\\none.csv", "C:\\logs\\c.csv", FALSE), FALSE, ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS(CopyFileA("C:\\logs\\a.csv", "C:\\nofolder\\c.csv", FALSE), FALSE, ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS(CopyFileA("C:\\logs", "C:\\logs2", FALSE), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS(CopyFileA(nullptr, "C:\\logs\\c.csv", FALSE), FALSE, ERROR_INVALID_PARAMETER);
}

TEST_F(FolderTest, CopyHonoursShareModesOfSourceAndTarget) {
    {
        Handle writer(open_file("C:\\logs\\a.csv", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
        ASSERT_TRUE(writer.valid());
        EXPECT_FAILS(CopyFileA("C:\\logs\\a.csv", "C:\\logs\\b.csv", FALSE), FALSE, ERROR_SHARING_VIOLATION);
    }
    {
        Handle reader(open_file("C:\\logs\\a.csv", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        EXPECT_TRUE(CopyFileA("C:\\logs\\a.csv", "C:\\logs\\b.csv", FALSE));
        // The target is open without sharing writing: it cannot be overwritten.
        Handle target(open_file("C:\\logs\\b.csv", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        EXPECT_FAILS(CopyFileA("C:\\logs\\a.csv", "C:\\logs\\b.csv", FALSE), FALSE, ERROR_SHARING_VIOLATION);
    }
    // Onto itself.
    EXPECT_FAILS(CopyFileA("C:\\logs\\a.csv", "c:\\LOGS\\A.csv", FALSE), FALSE, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(get_file("C:\\logs\\a.csv"), "alpha");
}

TEST_F(FolderTest, MoveNeverReplacesUnlessAsked) {
    ASSERT_TRUE(put_file("C:\\logs\\b.csv", "bravo"));
    EXPECT_FAILS(MoveFileA("C:\\logs\\a.csv", "C:\\logs\\b.csv"), FALSE, ERROR_ALREADY_EXISTS);
    EXPECT_EQ(get_file("C:\\logs\\a.csv"), "alpha");
    EXPECT_EQ(get_file("C:\\logs\\b.csv"), "bravo");

    ASSERT_TRUE(MoveFileExA("C:\\logs\\a.csv", "C:\\logs\\b.csv", MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(get_file("C:\\logs\\b.csv"), "alpha");
    EXPECT_EQ(times_of("C:\\logs\\b.csv").first, kYear2020);  // same file, same birth
    EXPECT_EQ(GetFileAttributesA("C:\\logs\\a.csv"), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(MoveFileA("C:\\logs\\b.csv", "C:\\a.csv"));

    // Folders move but are never replaced, nor replace files.
    ASSERT_TRUE(CreateDirectoryA("C:\\other", nullptr));
    EXPECT_FAILS(MoveFileExA("C:\\a.csv", "C:\\other", MOVEFILE_REPLACE_EXISTING), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS(MoveFileExA("C:\\other", "C:\\a.csv", MOVEFILE_REPLACE_EXISTING), FALSE, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(MoveFileA("C:\\logs", "C:\\archive"));
    EXPECT_EQ(GetFileAttributesA("C:\\archive"), DWORD(FILE_ATTRIBUTE_DIRECTORY));

    EXPECT_FAILS(MoveFileA("C:\\missing.csv", "C:\\x.csv"), FALSE, ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS(MoveFileA("C:\\a.csv", "C:\\nofolder\\x.csv"), FALSE, ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS(MoveFileExA("C:\\a.csv", "C:\\x.csv", 0x4 /* MOVEFILE_DELAY_UNTIL_REBOOT */), FALSE,
                 ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(MoveFileExA("C:\\a.csv", nullptr, 0), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(get_file("C:\\a.csv"), "alpha");
}

TEST_F(FolderTest, MoveChangingOnlyTheCaseRenames) {
    ASSERT_TRUE(MoveFileA("C:\\logs\\a.csv", "C:\\logs\\A.CSV"));
    struct stat st;
    EXPECT_EQ(stat((root() + "/drives/c/logs/A.CSV").c_str(), &st), 0);
    EXPECT_NE(stat((root() + "/drives/c/logs/a.csv").c_str(), &st), 0);
    EXPECT_EQ(get_file("C:\\logs\\a.csv"), "alpha");
}

TEST_F(FolderTest, MoveAcrossFileSystemsCopiesOnlyWhenAllowed) {
    // /dev/shm is another file system than the machine root.
    char tmpl[] = "/dev/shm/evtrace-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string elsewhere = std::string(tmpl) + "/moved.csv";
    EXPECT_FAILS(MoveFileExA("C:\\logs\\a.csv", elsewhere.c_str(), 0), FALSE, ERROR_NOT_SAME_DEVICE);
    EXPECT_EQ(get_file("C:\\logs\\a.csv"), "alpha");

    ASSERT_TRUE(MoveFileA("C:\\logs\\a.csv", elsewhere.c_str()));
    EXPECT_EQ(get_file(elsewhere), "alpha");
    EXPECT_EQ(GetFileAttributesA("C:\\logs\\a.csv"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(times_of(elsewhere), std::make_pair(kYear2020, kYear2020 + kDay));
    w32rt::remove_tree(tmpl);
}

TEST_F(FolderTest, CopyOrMoveRunningOutOfSpaceLeavesNoTargetAndKeepsTheSource) {
    std::string big(300 * 1024, 'x');
    ASSERT_TRUE(put_file("C:\\logs\\big.csv", big));
    w32rt_fail_syscall("write", 2, ENOSPC);
    EXPECT_FAILS(CopyFileA("C:\\logs\\big.csv", "C:\\logs\\copy.csv", FALSE), FALSE, ERROR_DISK_FULL);
    EXPECT_EQ(GetFileAttributesA("C:\\logs\\copy.csv"), INVALID_FILE_ATTRIBUTES);

    // A rename refused as crossing file systems falls back to copying.
    w32rt_fail_syscall("rename", 1, EXDEV);
    w32rt_fail_syscall("write", 1, ENOSPC);
    EXPECT_FAILS(MoveFileA("C:\\logs\\big.csv", "C:\\logs\\moved.csv"), FALSE, ERROR_DISK_FULL);
    EXPECT_EQ(GetFileAttributesA("C:\\logs\\moved.csv"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(get_file("C:\\logs\\big.csv"), big);
}

TEST_F(FolderTest, FoldersDeletionAndAttributeErrors) {
    EXPECT_FAILS(CreateDirectoryA("C:\\logs", nullptr), FALSE, ERROR_ALREADY_EXISTS);
    EXPECT_FAILS(CreateDirectoryA("C:\\a\\b\\c", nullptr), FALSE, ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS(CreateDirectoryA("C:\\logs\\a.csv", nullptr), FALSE, ERROR_ALREADY_EXISTS);
    EXPECT_FAILS(RemoveDirectoryA("C:\\logs"), FALSE, ERROR_DIR_NOT_EMPTY);
    EXPECT_FAILS(RemoveDirectoryA("C:\\logs\\a.csv"), FALSE, ERROR_DIRECTORY);
    EXPECT_FAILS(RemoveDirectoryA("C:\\gone"), FALSE, ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS(DeleteFileA("C:\\logs"), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS(DeleteFileA(nullptr), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(GetFileAttributesA("C:\\nofolder\\b.csv"), INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND);
    WIN32_FILE_ATTRIBUTE_DATA data;
    EXPECT_FAILS(GetFileAttributesExA("C:\\logs\\a.csv", GetFileExMaxInfoLevel, &data), FALSE,
                 ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(GetFileAttributesExA("C:\\logs\\a.csv", GetFileExInfoStandard, nullptr), FALSE,
                 ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(DeleteFileA("C:\\logs\\a.csv"));
    EXPECT_FAILS(DeleteFileA("C:\\logs\\a.csv"), FALSE, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(RemoveDirectoryA("C:\\logs"));
    EXPECT_EQ(GetFileAttributesA("C:\\logs"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FolderTest, FullCurrentAndTemporaryPaths) {
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(posix("C:\\logs").c_str()), 0);
    // Relative names start at the current folder, in its style. The file
    // part is null when the name ends in a separator.
    struct Case {
        const char* in;
        const char* full;
        const char* part;
    } cases[] = {
        {"C:\\logs\\..\\data\\.\\x.csv", "C:\\data\\x.csv", "x.csv"},
        {"c:/a/b/../../../c", "c:\\c", "c"},
        {"C:\\logs\\", "C:\\logs\\", nullptr},
        {"C:", "C:\\logs", "logs"},
        {"/var//log/./x/../y", "/var/log/y", "y"},
        {"\\\\server\\share\\..\\x", "\\\\server\\share\\x", "x"},
        {"a.csv", "C:\\logs\\a.csv", "a.csv"},
        {"..\\b.csv", "C:\\b.csv", "b.csv"},
        {"\\top.csv", "C:\\top.csv", "top.csv"},
        {"C:rel.csv", "C:\\logs\\rel.csv", "rel.csv"},
    };
    char buf[MAX_PATH];
    for (const Case& c : cases) {
        LPSTR part = nullptr;
        EXPECT_EQ(GetFullPathNameA(c.in, sizeof buf, buf, &part), strlen(c.full)) << c.in;
        EXPECT_STREQ(buf, c.full);
        EXPECT_STREQ(part, c.part) << c.in;
    }
    EXPECT_EQ(get_file("a.csv"), "alpha");  // the relative name opens the file
    EXPECT_EQ(GetCurrentDirectoryA(sizeof buf, buf), strlen("C:\\logs"));
    EXPECT_STREQ(buf, "C:\\logs");
    ASSERT_EQ(chdir("/usr"), 0);
    EXPECT_EQ(GetFullPathNameA("share", sizeof buf, buf, nullptr), strlen("/usr/share"));
    EXPECT_STREQ(buf, "/usr/share");
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(GetFullPathNameA("C:\\x", 3, buf, nullptr), 5u);  // the size needed, with the zero
    EXPECT_FAILS(GetFullPathNameA(nullptr, sizeof buf, buf, nullptr), 0u, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(GetFullPathNameA("", sizeof buf, buf, nullptr), 0u, ERROR_INVALID_NAME);

    // TMP comes before TEMP; the path gets a separator of its own kind.
    setenv("TMP", "C:\\Temp", 1);
    setenv("TEMP", "/ignored", 1);
    EXPECT_EQ(GetTempPathA(sizeof buf, buf), strlen("C:\\Temp\\"));
    EXPECT_STREQ(buf, "C:\\Temp\\");
}
