// Share modes between handles of one process and between processes, their
// release when a holder dies, deletion and renaming of open files, and file
// work done under another user's identity.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "files/share_modes.h"
#include "files_test_util.h"

using namespace files_test;
using testing_support::ChildProcess;
using testing_support::spawn_helper;

namespace {

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE;
constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;

class ShareModeTest : public FilesTest {
protected:
    const std::string file = "C:\\shared.log";
    void SetUp() override {
        FilesTest::SetUp();
        ASSERT_TRUE(put_file(file, "0123456789"));
    }
};

// 0 when the open succeeds, else its last error.
DWORD try_open(const std::string& path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
    Handle h(open_file(path, access, share, disposition));
    return h.valid() ? 0 : GetLastError();
}

std::string num(DWORD v) { return std::to_string(v); }

}  // namespace

// Opens a file and keeps it open until told "close" (or the parent goes).
// argv: path access share
TEST_HELPER(hold_open) {
    if (argc < 4) return 2;
    Handle h(open_file(argv[1], DWORD(std::stoul(argv[2])), DWORD(std::stoul(argv[3])), OPEN_EXISTING));
    testing_support::send_line(h.valid() ? "open" : "error " + std::to_string(GetLastError()));
    while (true) {
        std::string line = testing_support::receive_line();
        if (line.empty() || line == "close") break;
        if (line == "delete")
            testing_support::send_line(DeleteFileA(argv[1]) ? "deleted" : "error " + std::to_string(GetLastError()));
    }
    return 0;
}

// Tries one open and reports: argv: path access share
TEST_HELPER(try_open) {
    if (argc < 4) return 2;
    DWORD e = try_open(argv[1], DWORD(std::stoul(argv[2])), DWORD(std::stoul(argv[3])));
    testing_support::send_line(std::to_string(e));
    return 0;
}

TEST_F(ShareModeTest, ConflictsWithinOneProcess) {
    {
        // A writer sharing reading admits readers that share writing, and
        // nobody else.
        Handle writer(open_file(file, W, SR, OPEN_EXISTING));
        ASSERT_TRUE(writer.valid());
        EXPECT_EQ(try_open(file, R, SR | SW), 0u);
        EXPECT_EQ(try_open(file, R, SR), DWORD(ERROR_SHARING_VIOLATION));      // would deny the writer
        EXPECT_EQ(try_open(file, W, SR | SW), DWORD(ERROR_SHARING_VIOLATION)); // a second writer
        EXPECT_EQ(try_open(file, R | W, SR | SW | SD), DWORD(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(try_open(file, DELETE, SR | SW | SD), DWORD(ERROR_SHARING_VIOLATION));
        // Attributes-only opens are never checked.
        EXPECT_EQ(try_open(file, FILE_READ_ATTRIBUTES, 0), 0u);
        EXPECT_EQ(try_open(file, 0, 0), 0u);
    }
    {
        // The reverse order: the reader first. The writer may come, a second
        // writer may not, whichever came first.
        Handle reader(open_file(file, R, SR | SW, OPEN_EXISTING));
        ASSERT_TRUE(reader.valid());
        Handle writer(open_file(file, W, SR, OPEN_EXISTING));
        ASSERT_TRUE(writer.valid());
        EXPECT_EQ(try_open(file, W, SR | SW), DWORD(ERROR_SHARING_VIOLATION));
    }
    {
        // Shared with nobody refuses everyone, in every direction.
        Handle exclusive(open_file(file, R, 0, OPEN_EXISTING));
        ASSERT_TRUE(exclusive.valid());
        EXPECT_EQ(try_open(file, R, SR | SW | SD), DWORD(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(try_open(file, W, SR | SW | SD, OPEN_ALWAYS), DWORD(ERROR_SHARING_VIOLATION));
        // A refused overwrite does not truncate.
        EXPECT_EQ(try_open(file, W, SR | SW | SD, CREATE_ALWAYS), DWORD(ERROR_SHARING_VIOLATION));
        exclusive.reset();
        EXPECT_EQ(get_file(file), "0123456789");
    }
    {
        // Readers sharing reading coexist; after the last closes, a writer
        // that denies reading may come.
        Handle a(open_file(file, R, SR, OPEN_EXISTING));
        Handle b(open_file(file, R, SR, OPEN_EXISTING));
        ASSERT_TRUE(a.valid() && b.valid());
        EXPECT_EQ(try_open(file, W, SR | SW), DWORD(ERROR_SHARING_VIOLATION));
        a.reset();
        EXPECT_EQ(try_open(file, W, SR | SW), DWORD(ERROR_SHARING_VIOLATION));
        b.reset();
        EXPECT_EQ(try_open(file, W, 0), 0u);
    }
}

TEST_F(ShareModeTest, DuplicatedHandleKeepsTheReservation) {
    Handle h(open_file(file, W, SR, OPEN_EXISTING));
    ASSERT_TRUE(h.valid());
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h.get(), GetCurrentProcess(), &dup, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    h.reset();
    EXPECT_EQ(try_open(file, W, SR | SW), DWORD(ERROR_SHARING_VIOLATION));
    // The duplicate shares the file pointer too.
    DWORD n;
    ASSERT_TRUE(WriteFile(dup, "AB", 2, &n, nullptr));
    EXPECT_EQ(SetFilePointer(dup, 0, nullptr, FILE_CURRENT), 2u);
    CloseHandle(dup);
    EXPECT_EQ(try_open(file, W, SR | SW), 0u);
}

TEST_F(ShareModeTest, ConflictsBetweenProcessesInBothDirections) {
    ChildProcess child = spawn_helper("hold_open", {posix(file), num(W), num(SR)});
    ASSERT_EQ(child.read_line(), "open");
    EXPECT_EQ(try_open(file, W, SR | SW | SD), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(try_open(file, R, SR), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(try_open(file, R, SR | SW), 0u);
    child.write_line("close");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(try_open(file, W, 0), 0u);

    // We hold first; the other process is refused.
    Handle mine(open_file(file, W, SR, OPEN_EXISTING));
    ASSERT_TRUE(mine.valid());
    ChildProcess writer = spawn_helper("try_open", {posix(file), num(W), num(SR | SW)});
    EXPECT_EQ(writer.read_line(), std::to_string(ERROR_SHARING_VIOLATION));
    ChildProcess reader = spawn_helper("try_open", {posix(file), num(R), num(SR | SW)});
    EXPECT_EQ(reader.read_line(), "0");
    EXPECT_EQ(writer.wait(), 0);
    EXPECT_EQ(reader.wait(), 0);
}

TEST_F(ShareModeTest, KilledHolderReleasesItsReservations) {
    ChildProcess child = spawn_helper("hold_open", {posix(file), num(R | W), "0"});
    ASSERT_EQ(child.read_line(), "open");
    EXPECT_EQ(try_open(file, R, SR | SW | SD), DWORD(ERROR_SHARING_VIOLATION));
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_TRUE(testing_support::eventually([&] { return try_open(file, R | W, 0) == 0; }));
}

TEST_F(ShareModeTest, ConcurrentConflictingOpensHaveExactlyOneWinner) {
    constexpr int kThreads = 4, kRounds = 300;
    std::barrier sync(kThreads);
    std::atomic<int> winners{0};
    std::vector<int> per_round(kRounds, 0);
    std::atomic<int> bad_errors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                sync.arrive_and_wait();
                Handle h(open_file(file, W, SR, OPEN_EXISTING));
                if (h.valid()) {
                    winners.fetch_add(1);
                    __atomic_fetch_add(&per_round[size_t(round)], 1, __ATOMIC_RELAXED);
                } else if (GetLastError() != ERROR_SHARING_VIOLATION) {
                    bad_errors.fetch_add(1);
                }
                sync.arrive_and_wait();  // all attempts made before anyone closes
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(bad_errors.load(), 0);
    EXPECT_EQ(winners.load(), kRounds);
    for (int round = 0; round < kRounds; ++round) ASSERT_EQ(per_round[size_t(round)], 1) << "round " << round;
}

TEST_F(ShareModeTest, WriteOnlyDescriptorsHoldReservationsToo) {
    // Descriptors of a file the caller may not read: the reservation takes a
    // private byte per holder instead of a shared lock.
    using namespace w32rt::files;
    std::string path = posix(file);
    int a = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    int b = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    int c = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0);
    EXPECT_EQ(reserve_share(a, false, kShareWrite, kShareAll), 0u);
    EXPECT_EQ(reserve_share(b, false, kShareWrite, kShareAll), 0u);  // two holders coexist
    EXPECT_EQ(try_open(file, R, SR), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(reserve_share(c, true, kShareRead, kShareRead), DWORD(ERROR_SHARING_VIOLATION));
    ::close(a);
    EXPECT_EQ(try_open(file, R, SR), DWORD(ERROR_SHARING_VIOLATION));  // b still writes
    ::close(b);
    EXPECT_EQ(try_open(file, R, SR), 0u);

    // A write-only holder that denies writing.
    a = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(reserve_share(a, false, kShareWrite, kShareRead), 0u);
    EXPECT_EQ(try_open(file, W, SR | SW), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(try_open(file, R, SR | SW), 0u);
    ::close(a);
    ::close(c);
}

TEST_F(ShareModeTest, WriterWithoutReadPermissionIsSeenByOthers) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to act as another user";
    std::string path = posix(file);
    ASSERT_EQ(chmod(path.c_str(), 0222), 0);  // writable by all, readable by none
    testing_support::SpawnOptions as_user;
    as_user.uid = uid;
    as_user.gid = uid;
    ChildProcess child = spawn_helper("hold_open", {path, num(W), num(SR)}, as_user);
    ASSERT_EQ(child.read_line(), "open");
    EXPECT_EQ(try_open(file, W, SR | SW), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(try_open(file, R, SR), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(try_open(file, R, SR | SW), 0u);
    child.write_line("close");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(try_open(file, W, 0), 0u);
}

TEST_F(ShareModeTest, DeletingAndMovingRespectFileShareDelete) {
    ChildProcess child = spawn_helper("hold_open", {posix(file), num(R), num(SR | SW)});
    ASSERT_EQ(child.read_line(), "open");
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(file.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileA(file.c_str(), "C:\\moved.log"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(put_file("C:\\other.log", "other"));
    // Replacing the open file is refused too, and the source stays.
    EXPECT_FALSE(MoveFileExA("C:\\other.log", file.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(get_file("C:\\other.log"), "other");
    EXPECT_EQ(get_file(file), "0123456789");
    child.write_line("close");
    EXPECT_EQ(child.wait(), 0);

    // Shared with deletion: the holder does not stand in the way, and the
    // holder itself can delete what it holds.
    ChildProcess sharing = spawn_helper("hold_open", {posix(file), num(R), num(SR | SW | SD)});
    ASSERT_EQ(sharing.read_line(), "open");
    EXPECT_TRUE(MoveFileA(file.c_str(), "C:\\moved.log"));
    EXPECT_TRUE(DeleteFileA("C:\\moved.log"));
    sharing.write_line("close");
    EXPECT_EQ(sharing.wait(), 0);

    ASSERT_TRUE(put_file(file, "again"));
    ChildProcess self_delete = spawn_helper("hold_open", {posix(file), num(R | DELETE), num(SR | SD)});
    ASSERT_EQ(self_delete.read_line(), "open");
    self_delete.write_line("delete");
    EXPECT_EQ(self_delete.read_line(), "deleted");
    self_delete.write_line("close");
    EXPECT_EQ(self_delete.wait(), 0);
    EXPECT_EQ(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ShareModeTest, ImpersonatingThreadActsWithThatUsersRights) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to act as another user";
    std::string secret = "C:\\secret.txt";
    ASSERT_TRUE(put_file(secret, "root only"));
    ASSERT_EQ(chmod(posix(secret).c_str(), 0600), 0);
    mode_t mask = umask(022);
    umask(mask);

    DWORD create_error = 1, read_error = 0, delete_error = 0, write_error = 1;
    FILETIME created = {};
    std::thread worker([&] {
        // The file-system identity is per thread, as ImpersonateLoggedOnUser
        // sets it; the rest of the process stays the superuser.
        setfsgid(gid_t(uid));
        setfsuid(uid_t(uid));
        Handle mine(open_file("C:\\mine.txt", W | FILE_READ_ATTRIBUTES, 0, CREATE_NEW));
        create_error = mine.valid() ? 0 : GetLastError();
        DWORD n;
        if (mine.valid()) {
            write_error = WriteFile(mine.get(), "mine", 4, &n, nullptr) ? 0 : GetLastError();
            GetFileTime(mine.get(), &created, nullptr, nullptr);
        }
        read_error = try_open(secret, R, SR);
        delete_error = DeleteFileA(secret.c_str()) ? 0 : GetLastError();  // sticky folder, not ours
        setfsuid(0);
        setfsgid(0);
    });
    worker.join();
    EXPECT_EQ(create_error, 0u);
    EXPECT_EQ(write_error, 0u);
    EXPECT_EQ(read_error, DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(delete_error, DWORD(ERROR_ACCESS_DENIED));
    EXPECT_NE(ticks(created), 0u);

    struct stat st;
    ASSERT_EQ(stat(posix("C:\\mine.txt").c_str(), &st), 0);
    EXPECT_EQ(int64_t(st.st_uid), uid);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
    // This thread was never impersonating: it still reads the secret.
    EXPECT_EQ(get_file(secret), "root only");
}
