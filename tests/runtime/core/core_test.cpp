// The runtime's core: handle table, machine root, shared regions, path
// mapping and process identities. The system-call seam has tests of its own
// (seam_test.cpp).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <w32rt/machine.h>
#include <w32rt/testing.h>

#include "core/handle_table.h"
#include "core/machine.h"
#include "core/path.h"
#include "core/process_identity.h"
#include "core/segments.h"
#include "core/shm.h"
#include "test_support.h"

using namespace w32rt;
using testing_support::MachineTest;

namespace {

class Dummy : public KernelObject {
public:
    explicit Dummy(int* closed) : KernelObject(ObjectKind::Token), closed_(closed) {}
    void on_handle_closed() override { ++*closed_; }

private:
    int* closed_;
};

}  // namespace

TEST(HandleTable, ClosedStaleAndForgedHandlesAreRefused) {
    int closed = 0;
    HandleTable& table = HandleTable::instance();
    HANDLE h = table.insert(std::make_shared<Dummy>(&closed), 7, false);
    ASSERT_NE(h, nullptr);
    DWORD access = 0;
    ASSERT_NE(table.lookup(h, &access), nullptr);
    EXPECT_EQ(access, 7u);

    // An object in use outlives its handle.
    ObjectPtr held = table.lookup(h);
    ASSERT_TRUE(table.close(h));
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_EQ(closed, 1);
    SetLastError(0);
    EXPECT_EQ(table.lookup(h), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(table.close(h));

    // The slot is reused with a new generation: the old value stays dead.
    HANDLE h2 = table.insert(std::make_shared<Dummy>(&closed), 0, false);
    EXPECT_NE(h2, h);
    EXPECT_EQ(table.lookup(h), nullptr);

    for (uintptr_t forged : {uintptr_t(0), uintptr_t(4), uintptr_t(0x80000002), uintptr_t(0x1234567),
                             reinterpret_cast<uintptr_t>(h2) + 4, ~uintptr_t(0)}) {
        SetLastError(0);
        EXPECT_EQ(table.lookup(reinterpret_cast<HANDLE>(forged)), nullptr) << forged;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    EXPECT_TRUE(CloseHandle(h2));
    EXPECT_FALSE(CloseHandle(h2));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(HandleTable, DuplicateGivesAnIndependentHandle) {
    int closed = 0;
    HANDLE h = HandleTable::instance().insert(std::make_shared<Dummy>(&closed), 3, false);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_NE(HandleTable::instance().lookup(copy), nullptr);
    EXPECT_TRUE(CloseHandle(copy));
    EXPECT_EQ(closed, 2);
}

TEST(LastError, IsPerThread) {
    SetLastError(42);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(7);
    }).join();
    EXPECT_EQ(GetLastError(), 42u);
}

class CoreMachine : public MachineTest {};

TEST_F(CoreMachine, RootIsPreparedAndNamesAreDistinctPerRoot) {
    Machine& m = Machine::current();
    EXPECT_EQ(m.root(), root());
    struct stat st;
    ASSERT_EQ(stat((root() + "/drives/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(m.caller_is_administrator());

    std::string name = m.shm_name("objects");
    EXPECT_EQ(name.rfind("/evtrace.", 0), 0u);
    char other[] = "/tmp/evtrace-other-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    use_machine_root(other);
    EXPECT_NE(Machine::current().shm_name("objects"), name);
    destroy_machine_root(other, true);
    use_machine_root(root());
}

TEST_F(CoreMachine, DestroyingARootRemovesOnlyTheRuntimesFilesAndAFailureLeavesItARoot) {
    // A folder that was never prepared is refused, and keeps its files.
    std::string folder = root() + "/plain";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(close(open((folder + "/registry.db").c_str(), O_CREAT | O_WRONLY, 0644)), 0);
    EXPECT_FALSE(is_machine_root(folder));
    EXPECT_FALSE(destroy_machine_root(folder, true));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
    EXPECT_EQ(access((folder + "/registry.db").c_str(), F_OK), 0);
    EXPECT_FALSE(destroy_machine_root(root() + "/missing", true));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));

    // Removal failing at the 1st, 2nd, ... unlink: each run ends with a
    // status, and what is left is still a root (the marker goes last) or
    // an empty folder; the user's file is never touched.
    std::string machine = root() + "/machine";
    for (unsigned nth = 1;; ++nth) {
        SCOPED_TRACE(nth);
        ASSERT_TRUE(prepare_machine_root(machine));
        for (const char* name : {"/registry.db", "/registry.db.init", "/notes.txt"})
            ASSERT_EQ(close(open((machine + name).c_str(), O_CREAT | O_WRONLY, 0644)), 0);
        w32rt_fail_syscall("unlink", nth, EIO);
        bool done = destroy_machine_root(machine, true);
        w32rt_clear_syscall_faults();
        EXPECT_EQ(access((machine + "/notes.txt").c_str(), F_OK), 0);
        if (done) {
            EXPECT_EQ(access((machine + "/registry.db").c_str(), F_OK), -1);
            EXPECT_EQ(access((machine + "/drives").c_str(), F_OK), -1);
            EXPECT_FALSE(is_machine_root(machine));
            break;
        }
        // The injected EIO, or the folder it left not empty.
        EXPECT_TRUE(GetLastError() == DWORD(ERROR_GEN_FAILURE) || GetLastError() == DWORD(ERROR_DIR_NOT_EMPTY))
            << GetLastError();
        // Still a root, or (the folder's own removal failed) nothing of the
        // runtime's is left.
        if (!is_machine_root(machine)) {
            EXPECT_EQ(access((machine + "/registry.db").c_str(), F_OK), -1);
            EXPECT_EQ(access((machine + "/drives").c_str(), F_OK), -1);
        }
        ASSERT_LT(nth, 20u);
    }
    // Without the user's file, the folder goes too.
    ASSERT_EQ(unlink((machine + "/notes.txt").c_str()), 0);
    ASSERT_TRUE(prepare_machine_root(machine));
    EXPECT_TRUE(destroy_machine_root(machine, true));
    EXPECT_EQ(access(machine.c_str(), F_OK), -1);
}

TEST_F(CoreMachine, WindowsPathsMapIntoTheRootCaseInsensitively) {
    std::string c = root() + "/drives/c";
    EXPECT_EQ(to_posix_path("C:\\Windows\\Temp"), c + "/Windows/Temp");
    EXPECT_EQ(to_posix_path("c:/x/y"), c + "/x/y");
    EXPECT_EQ(to_posix_path("\\Users\\a"), c + "/Users/a");
    EXPECT_EQ(to_posix_path("\\\\?\\C:\\a\\..\\b"), c + "/b");
    EXPECT_EQ(to_posix_path("/usr/share"), "/usr/share");
    EXPECT_EQ(to_posix_path("\\\\server\\share\\x"), "");
    EXPECT_EQ(to_posix_path("rel\\file.txt"), "rel/file.txt");

    ASSERT_EQ(mkdir((c + "/Settings").c_str(), 0755), 0);
    int fd = open((c + "/Settings/AlertHistory.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(to_posix_path("C:\\SETTINGS\\alerthistory.BIN"), c + "/Settings/AlertHistory.bin");
    // A missing leaf keeps its spelling under the found folder.
    EXPECT_EQ(to_posix_path("C:\\settings\\New.txt"), c + "/Settings/New.txt");
}

TEST_F(CoreMachine, SharedRegionIsInitialisedOnceAndValidated) {
    Machine& machine = Machine::current();
    for (const w32rt::Segment& segment :
         {w32rt::public_segment("test-region"), w32rt::admin_segment("test-admin", w32rt::SegmentAccess::Administrators),
          w32rt::user_segment(machine, "test-user", geteuid(), false)}) {
        SCOPED_TRACE(segment.what);
        int inits = 0;
        auto init = [&](void* base) {
            ++inits;
            static_cast<char*>(base)[100] = 'x';
        };
        auto a = SharedRegion::open_or_create(machine, segment, 4096, 0xABCD, 1, init);
        ASSERT_NE(a, nullptr);
        auto b = SharedRegion::open_or_create(machine, segment, 4096, 0xABCD, 1, init);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(inits, 1);
        EXPECT_EQ(*b->at<char>(100), 'x');
        EXPECT_TRUE(b->writable());

        SetLastError(0);
        EXPECT_EQ(SharedRegion::open_existing(machine, segment, 0xABCD, 2), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
        w32rt::Segment absent = segment;
        absent.what += "-absent";
        EXPECT_EQ(SharedRegion::open_existing(machine, absent, 0xABCD, 1), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

        // A creator that died half-way leaves the region unready: the next
        // opener initialises it again.
        a->header()->ready.store(0);
        auto c = SharedRegion::open_or_create(machine, segment, 4096, 0xABCD, 1, init);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(inits, 2);

        // Its file has the owner and mode of its kind.
        struct stat st;
        ASSERT_EQ(fstat(c->fd(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, w32rt::segment_mode(segment.access));
        EXPECT_EQ(st.st_uid, geteuid());
    }
}

TEST(ProcessIdentity, TellsLiveFromDeadAndReusedPids) {
    const ProcessIdentity& self = current_process();
    EXPECT_EQ(self.pid, getpid());
    EXPECT_TRUE(process_alive(self));
    ProcessIdentity reused = self;
    reused.start_time += 1;
    EXPECT_FALSE(process_alive(reused));

    pid_t child = fork();
    if (child == 0) _exit(0);
    ProcessIdentity dead{child, 0, process_start_time(child)};
    int status;
    waitpid(child, &status, 0);
    EXPECT_FALSE(process_alive(dead));
    EXPECT_TRUE(thread_alive(getpid(), current_tid()));
}
