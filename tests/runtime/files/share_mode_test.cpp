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
constexpr DWORD SV = ERROR_SHARING_VIOLATION;

class ShareModeTest : public FilesTest {
protected:
    const std::string file = "C:\\shared.log";
    void SetUp() override {
        FilesTest::SetUp();
        ASSERT_TRUE(put_file(file, "0123456789"));
    }
};

std::string num(DWORD v) { return std::to_string(v); }

// One holder, then one more open: the access and sharing of both decide.
struct Conflict {
    DWORD held_access, held_share, access, share, error;
} const kConflicts[] = {
    {W, SR, R, SR | SW, 0},        // a writer sharing reading admits readers that share writing
    {W, SR, R, SR, SV},            // a reader that would deny the writer
    {W, SR, W, SR | SW, SV},       // a second writer
    {W, SR, R | W, SR | SW | SD, SV},
    {W, SR, DELETE, SR | SW | SD, SV},
    {W, SR, FILE_READ_ATTRIBUTES, 0, 0},  // attributes-only opens are never checked
    {W, SR, 0, 0, 0},
    {R, SR | SW, W, SR, 0},        // the reader first: the writer may come
    {R, 0, R, SR | SW | SD, SV},   // shared with nobody
    {R, SR, R, SR, 0},             // readers sharing reading coexist
    {R, SR, W, SR | SW, SV},
};

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
    testing_support::send_line(num(open_error(argv[1], DWORD(std::stoul(argv[2])), DWORD(std::stoul(argv[3])))));
    return 0;
}

TEST_F(ShareModeTest, ConflictsWithinOneProcess) {
    for (const Conflict& c : kConflicts) {
        SCOPED_TRACE(num(c.held_access) + "/" + num(c.held_share) + " then " + num(c.access) + "/" + num(c.share));
        Handle held(open_file(file, c.held_access, c.held_share, OPEN_EXISTING));
        ASSERT_TRUE(held.valid());
        EXPECT_EQ(open_error(file, c.access, c.share), c.error);
    }
    {
        // Shared with nobody: no disposition gets past it, and a refused
        // overwrite does not truncate.
        Handle exclusive(open_file(file, R, 0, OPEN_EXISTING));
        EXPECT_EQ(open_error(file, W, SR | SW | SD, OPEN_ALWAYS), SV);
        EXPECT_EQ(open_error(file, W, SR | SW | SD, CREATE_ALWAYS), SV);
    }
    EXPECT_EQ(get_file(file), "0123456789");
    // Every holder keeps its reservation until it closes.
    Handle a(open_file(file, R, SR, OPEN_EXISTING));
    Handle b(open_file(file, R, SR, OPEN_EXISTING));
    a.reset();
    EXPECT_EQ(open_error(file, W, SR | SW), SV);
    b.reset();
    EXPECT_EQ(open_error(file, W, 0), 0u);
}

TEST_F(ShareModeTest, ConflictsBetweenProcessesInBothDirections) {
    for (const Conflict& c : kConflicts) {
        SCOPED_TRACE(num(c.held_access) + "/" + num(c.held_share) + " then " + num(c.access) + "/" + num(c.share));
        ChildProcess holder = spawn_helper("hold_open", {posix(file), num(c.held_access), num(c.held_share)});
        ASSERT_EQ(holder.read_line(), "open");
        EXPECT_EQ(open_error(file, c.access, c.share), c.error);
        holder.write_line("close");
        EXPECT_EQ(holder.wait(), 0);

        Handle held(open_file(file, c.held_access, c.held_share, OPEN_EXISTING));
        ChildProcess other = spawn_helper("try_open", {posix(file), num(c.access), num(c.share)});
        EXPECT_EQ(other.read_line(), num(c.error));
        EXPECT_EQ(other.wait(), 0);
    }
}

TEST_F(ShareModeTest, DuplicatedHandleKeepsTheReservation) {
    Handle h(open_file(file, W, SR, OPEN_EXISTING));
    ASSERT_TRUE(h.valid());
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h.get(), GetCurrentProcess(), &dup, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    h.reset();
    EXPECT_EQ(open_error(file, W, SR | SW), SV);
    // The duplicate shares the file pointer too.
    DWORD n;
    ASSERT_TRUE(WriteFile(dup, "AB", 2, &n, nullptr));
    EXPECT_EQ(SetFilePointer(dup, 0, nullptr, FILE_CURRENT), 2u);
    CloseHandle(dup);
    EXPECT_EQ(open_error(file, W, SR | SW), 0u);
}

TEST_F(ShareModeTest, KilledHolderReleasesItsReservations) {
    ChildProcess child = spawn_helper("hold_open", {posix(file), num(R | W), "0"});
    ASSERT_EQ(child.read_line(), "open");
    EXPECT_EQ(open_error(file, R, SR | SW | SD), SV);
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    EXPECT_TRUE(testing_support::eventually([&] { return open_error(file, R | W, 0) == 0; }));
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
    EXPECT_EQ(open_error(file, R, SR), SV);
    EXPECT_EQ(reserve_share(c, true, kShareRead, kShareRead), SV);
    ::close(a);
    EXPECT_EQ(open_error(file, R, SR), SV);  // b still writes
    ::close(b);
    ::close(c);
    EXPECT_EQ(open_error(file, R, SR), 0u);
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
    EXPECT_EQ(open_error(file, W, SR | SW), SV);
    EXPECT_EQ(open_error(file, R, SR), SV);
    EXPECT_EQ(open_error(file, R, SR | SW), 0u);
    child.write_line("close");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(open_error(file, W, 0), 0u);
}

TEST_F(ShareModeTest, DeletingAndMovingRespectFileShareDelete) {
    ChildProcess child = spawn_helper("hold_open", {posix(file), num(R), num(SR | SW)});
    ASSERT_EQ(child.read_line(), "open");
    EXPECT_FAILS(DeleteFileA(file.c_str()), FALSE, SV);
    EXPECT_FAILS(MoveFileA(file.c_str(), "C:\\moved.log"), FALSE, SV);
    ASSERT_TRUE(put_file("C:\\other.log", "other"));
    // Replacing the open file is refused too, and the source stays.
    EXPECT_FAILS(MoveFileExA("C:\\other.log", file.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE, SV);
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
        read_error = open_error(secret, R, SR);
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
