// Share modes between handles of one process and between processes, their
// release when a holder dies, and deletion and renaming of open files.
#include <fcntl.h>
#include <signal.h>
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
    {W, SR, R, SR | SW, 0},               // a writer sharing reading admits readers that share writing
    {W, SR, R, SR, SV},                   // a reader that would deny the writer
    {W, SR, W, SR | SW, SV},              // a second writer
    {W, SR, DELETE, SR | SW | SD, SV},
    {W, SR, FILE_READ_ATTRIBUTES, 0, 0},  // attributes-only opens are never checked
    {R, SR | SW, W, SR, 0},               // the reader first: the writer may come
    {R, 0, R, SR | SW | SD, SV},          // shared with nobody
    {R, SR, R, SR, 0},                    // readers sharing reading coexist
    {R, SR, W, SR | SW, SV},
};

}  // namespace

// Opens a file and keeps it open until told "close" (or the parent goes).
// argv: path access share
TEST_HELPER(hold_open) {
    if (argc < 4) return 2;
    Handle h(open_file(argv[1], DWORD(std::stoul(argv[2])), DWORD(std::stoul(argv[3])), OPEN_EXISTING));
    testing_support::send_line(h.valid() ? "open" : "error " + std::to_string(GetLastError()));
    std::string line;
    do line = testing_support::receive_line();
    while (!line.empty() && line != "close");
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
    // Closing one reader leaves another reader's reservation in place.
    Handle a(open_file(file, R, SR, OPEN_EXISTING));
    Handle b(open_file(file, R, SR, OPEN_EXISTING));
    a.reset();
    EXPECT_EQ(open_error(file, W, SR | SW), SV);
    b.reset();
    EXPECT_EQ(open_error(file, W, 0), 0u);
}

TEST_F(ShareModeTest, ConflictsWithAHolderInAnotherProcess) {
    for (const Conflict& c : kConflicts) {
        SCOPED_TRACE(num(c.held_access) + "/" + num(c.held_share) + " then " + num(c.access) + "/" + num(c.share));
        ChildProcess holder = spawn_helper("hold_open", {posix(file), num(c.held_access), num(c.held_share)});
        ASSERT_EQ(holder.read_line(), "open");
        EXPECT_EQ(open_error(file, c.access, c.share), c.error);
        holder.write_line("close");
        EXPECT_EQ(holder.wait(), 0);
    }
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
    std::vector<std::atomic<int>> winners(kRounds);
    std::atomic<int> other_errors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (size_t round = 0; round < kRounds; ++round) {
                sync.arrive_and_wait();
                Handle h(open_file(file, W, SR, OPEN_EXISTING));
                if (h.valid())
                    winners[round]++;
                else if (GetLastError() != SV)
                    other_errors++;
                sync.arrive_and_wait();  // all attempts made before anyone closes
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(other_errors.load(), 0);
    for (size_t round = 0; round < kRounds; ++round) ASSERT_EQ(winners[round].load(), 1) << "round " << round;
}

TEST_F(ShareModeTest, WriteOnlyDescriptorsHoldReservationsToo) {
    // Descriptors of a file the caller may not read: the reservation takes a
    // private byte per holder instead of a shared lock.
    using namespace w32rt::files;
    std::string path = posix(file);
    int a = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    int b = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_TRUE(a >= 0 && b >= 0);
    EXPECT_EQ(reserve_share(a, false, kShareWrite, kShareAll), 0u);
    EXPECT_EQ(reserve_share(b, false, kShareWrite, kShareAll), 0u);  // two holders coexist
    EXPECT_EQ(open_error(file, R, SR), SV);
    ::close(a);
    EXPECT_EQ(open_error(file, R, SR), SV);  // b still writes
    ::close(b);
    EXPECT_EQ(open_error(file, R, SR), 0u);
}

TEST_F(ShareModeTest, DeletingAndMovingRespectFileShareDelete) {
    ChildProcess child = spawn_helper("hold_open", {posix(file), num(R), num(SR | SW)});
    ASSERT_EQ(child.read_line(), "open");
    EXPECT_FAILS(DeleteFileA(file.c_str()), FALSE, SV);
    EXPECT_FAILS(MoveFileA(file.c_str(), "C:\\moved.log"), FALSE, SV);
    // Replacing the open file is refused too, and the source stays.
    ASSERT_TRUE(put_file("C:\\other.log", "other"));
    EXPECT_FAILS(MoveFileExA("C:\\other.log", file.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE, SV);
    EXPECT_EQ(get_file("C:\\other.log"), "other");
    EXPECT_EQ(get_file(file), "0123456789");
    child.write_line("close");
    EXPECT_EQ(child.wait(), 0);

    // Shared with deletion: the holder does not stand in the way.
    ChildProcess sharing = spawn_helper("hold_open", {posix(file), num(R), num(SR | SW | SD)});
    ASSERT_EQ(sharing.read_line(), "open");
    EXPECT_TRUE(MoveFileA(file.c_str(), "C:\\moved.log"));
    EXPECT_TRUE(DeleteFileA("C:\\moved.log"));
    sharing.write_line("close");
    EXPECT_EQ(sharing.wait(), 0);
}
