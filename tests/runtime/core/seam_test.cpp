// The system-call seam: kinds that tests arm by value or by name, faults
// that fire once on the nth call of their kind and are counted, and the one
// file-lock helper with its three waiting rules.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <w32rt/machine.h>
#include <w32rt/testing.h>

#include "core/sys.h"
#include "test_support.h"

using namespace w32rt;
using testing_support::MachineTest;

namespace {

class Seam : public MachineTest {
protected:
    void TearDown() override {
        w32rt_clear_syscall_faults();
        MachineTest::TearDown();
    }
    std::string path(const char* name) const { return root() + "/" + name; }
};

// One call of each kind, made to fail with its own errno so that a kind
// that counted another kind's call would show.
struct KindCase {
    w32rt_call kind;
    const char* name;
};

const KindCase kKinds[] = {
    {W32RT_CALL_OPEN, "open"},   {W32RT_CALL_READ, "read"},           {W32RT_CALL_WRITE, "write"},
    {W32RT_CALL_FSYNC, "fsync"}, {W32RT_CALL_RENAME, "rename"},       {W32RT_CALL_UNLINK, "unlink"},
    {W32RT_CALL_MKDIR, "mkdir"}, {W32RT_CALL_FTRUNCATE, "ftruncate"}, {W32RT_CALL_MMAP, "mmap"},
    {W32RT_CALL_SHM, "shm"},     {W32RT_CALL_LIST, "list"},           {W32RT_CALL_LOCK, "lock"},
    {W32RT_CALL_STAT, "stat"},   {W32RT_CALL_ATTR, "attr"},
};

// Makes one call of the kind on scratch files below dir; the errno of a
// failure, 0 on success.
int call_of_kind(w32rt_call kind, const std::string& dir) {
    std::string file = dir + "/scratch";
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    char byte = 'x';
    struct stat st;
    int rc = 0;
    switch (kind) {
        case W32RT_CALL_OPEN: {
            int other = sys::open(file.c_str(), O_RDONLY);
            rc = other < 0 ? -1 : sys::close(other);
            break;
        }
        case W32RT_CALL_READ: rc = int(sys::pread(fd, &byte, 1, 0)); break;
        case W32RT_CALL_WRITE: rc = int(sys::write(fd, &byte, 1)); break;
        case W32RT_CALL_FSYNC: rc = sys::fsync(fd); break;
        case W32RT_CALL_RENAME: rc = sys::rename(file.c_str(), (file + ".moved").c_str()); break;
        case W32RT_CALL_UNLINK: rc = sys::unlink(file.c_str()); break;
        case W32RT_CALL_MKDIR:
            rc = sys::mkdir((dir + "/folder").c_str(), 0755);
            if (rc == 0) ::rmdir((dir + "/folder").c_str());
            break;
        case W32RT_CALL_FTRUNCATE: rc = sys::ftruncate(fd, 16); break;
        case W32RT_CALL_MMAP: {
            void* p = sys::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            rc = p == MAP_FAILED ? -1 : sys::munmap(p, 4096);
            break;
        }
        case W32RT_CALL_SHM: rc = sys::shm_unlink("/w32rt-seam-test-none") < 0 && errno != ENOENT ? -1 : 0; break;
        case W32RT_CALL_LIST: {
            std::vector<std::string> names;
            rc = sys::list_folder(dir.c_str(), &names);
            break;
        }
        case W32RT_CALL_LOCK: rc = sys::lock_file(fd, sys::LockWait::Try) == 0 ? 0 : -1; break;
        case W32RT_CALL_STAT: rc = sys::fstat(fd, &st); break;
        case W32RT_CALL_ATTR: rc = sys::fchmod(fd, 0644); break;
        default: rc = -1;
    }
    int err = rc < 0 ? errno : 0;
    ::close(fd);
    return err;
}

}  // namespace

TEST_F(Seam, EachKindFailsItsOwnNthCallOnceAndIsCounted) {
    int distinct = 200;
    for (const KindCase& k : kKinds) {
        SCOPED_TRACE(k.name);
        EXPECT_STREQ(w32rt_call_name(k.kind), k.name);
        ASSERT_EQ(call_of_kind(k.kind, root()), 0);
        unsigned long long fired = w32rt_injected_faults();
        // Armed for the second call: the first passes, the second fails
        // with the chosen errno, the third passes again.
        w32rt_fail_call(k.kind, 2, ++distinct);
        for (const KindCase& other : kKinds) {
            if (other.kind == k.kind) continue;
            EXPECT_EQ(call_of_kind(other.kind, root()), 0) << other.name;
        }
        EXPECT_EQ(call_of_kind(k.kind, root()), 0);
        EXPECT_EQ(w32rt_injected_faults(), fired);
        EXPECT_EQ(call_of_kind(k.kind, root()), distinct);
        EXPECT_EQ(w32rt_injected_faults(), fired + 1);
        EXPECT_EQ(call_of_kind(k.kind, root()), 0);
        w32rt_clear_syscall_faults();
    }
    EXPECT_EQ(w32rt_call_name(W32RT_CALL_KINDS), nullptr);
}

TEST_F(Seam, KindsArmedByNameAreTheTypedKinds) {
    for (const KindCase& k : kKinds) {
        w32rt_fail_syscall(k.name, 1, ENOSPC);
        EXPECT_EQ(call_of_kind(k.kind, root()), ENOSPC) << k.name;
    }
    // Unknown names and a null name arm nothing; nth 0 disarms.
    w32rt_fail_syscall("fopen", 1, EIO);
    w32rt_fail_syscall(nullptr, 1, EIO);
    w32rt_fail_call(W32RT_CALL_WRITE, 1, EIO);
    w32rt_fail_call(W32RT_CALL_WRITE, 0, EIO);
    for (const KindCase& k : kKinds) EXPECT_EQ(call_of_kind(k.kind, root()), 0) << k.name;
}

TEST_F(Seam, FileLocksWaitAsEachCallerSays) {
    std::string file = path("lock");
    int holder = sys::open(file.c_str(), O_RDWR | O_CREAT, 0644);
    int other = sys::open(file.c_str(), O_RDWR);
    ASSERT_GE(holder, 0);
    ASSERT_GE(other, 0);
    ASSERT_EQ(sys::lock_file(holder, sys::LockWait::Try), 0);

    // Try: refused at once. Bounded: refused once the bound passed.
    EXPECT_EQ(sys::lock_file(other, sys::LockWait::Try), EWOULDBLOCK);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sys::lock_file(other, sys::LockWait::Bounded, 50), ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    // Bounded and Wait both get the lock once its holder lets go.
    std::atomic<bool> released{false};
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        released = true;
        sys::unlock_file(holder);
    });
    EXPECT_EQ(sys::lock_file(other, sys::LockWait::Bounded, 60000), 0);
    EXPECT_TRUE(released);
    release.join();
    std::thread close_other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sys::close(other);  // closing the holding description releases
    });
    EXPECT_EQ(sys::lock_file(holder, sys::LockWait::Wait), 0);
    close_other.join();

    // The scoped form releases, and tells an injected failure.
    {
        sys::FileLock lock(holder, sys::LockWait::Try);
        EXPECT_TRUE(lock.held());
    }
    int third = sys::open(file.c_str(), O_RDWR);
    EXPECT_EQ(sys::lock_file(third, sys::LockWait::Try), 0);
    sys::unlock_file(third);
    w32rt_fail_call(W32RT_CALL_LOCK, 1, EIO);
    {
        sys::FileLock lock(third, sys::LockWait::Wait);
        EXPECT_FALSE(lock.held());
        EXPECT_EQ(lock.error(), EIO);
    }
    EXPECT_EQ(sys::lock_file(third, sys::LockWait::Try), 0);
    sys::close(third);
    sys::close(holder);
}

TEST_F(Seam, SmallFilesAndFoldersAreReadWhole) {
    std::string file = path("text");
    std::string text(10000, 'a');
    text += "end";
    int fd = sys::open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(sys::write_all(fd, text.data(), text.size()), ssize_t(text.size()));
    sys::close(fd);
    std::string read;
    ASSERT_EQ(sys::read_file(file.c_str(), &read), 0);
    EXPECT_EQ(read, text);
    ASSERT_EQ(sys::read_file(file.c_str(), &read, 100), 0);
    EXPECT_EQ(read, text.substr(0, 100));
    w32rt_fail_call(W32RT_CALL_READ, 2, EIO);
    EXPECT_EQ(sys::read_file(file.c_str(), &read), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(read.empty());
    EXPECT_EQ(sys::read_file(path("missing").c_str(), &read), -1);
    EXPECT_EQ(errno, ENOENT);

    std::vector<std::string> names;
    ASSERT_EQ(sys::list_folder(root().c_str(), &names), 0);
    EXPECT_NE(std::find(names.begin(), names.end(), "text"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), ".."), names.end());
    w32rt_fail_call(W32RT_CALL_LIST, 1, EIO);
    EXPECT_EQ(sys::list_folder(root().c_str(), &names), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(names.empty());
}
