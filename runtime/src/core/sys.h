// The runtime's one seam to the operating system for everything that can
// fail for disk, resource or permission reasons: files, folders, shared
// memory, mappings, locks, attributes, metadata. No other file of the
// runtime calls these functions of the C library directly (a test checks),
// and SQLite's file I/O comes here through the registry's VFS shim.
//
// Each call belongs to a Call kind. A test can make the nth next call of a
// kind fail with a chosen errno (w32rt/testing.h) without touching the code
// under test; while nothing is armed the check is one relaxed load and a
// branch that is never taken. Descriptors are always opened close-on-exec,
// and calls that a signal can interrupt are restarted.
//
// Outside the seam on purpose: futex calls, thread ids and per-thread
// credentials (they fail only for programming errors), dlopen (the dynamic
// loader opens files of its own), and close, munmap and lseek here carry no
// fault kind (they fail only for bad arguments).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

namespace w32rt::sys {

// The kinds of call a test can make fail. Same values as w32rt_call.
enum class Call : unsigned {
    Open,       // open, openat
    Read,       // read, pread
    Write,      // write, pwrite
    Fsync,      // fsync, fdatasync
    Rename,     // rename, renameat2, linkat
    Unlink,     // unlink, rmdir
    Mkdir,      // mkdir
    Ftruncate,  // ftruncate
    Mmap,       // mmap
    Shm,        // shm_open, shm_unlink, and openat/unlinkat of shared-memory
                // objects in a folder of /dev/shm
    List,       // opendir with its readdir calls: one listing
    Lock,       // flock, open-file-description record locks
    Stat,       // stat, lstat, fstat, statx, faccessat, getcwd, realpath,
                // readlink, getxattr
    Attr,       // chmod, fchmod, chown, fchown, futimens, utimensat, setxattr
    Count
};

// ---- Fault injection ------------------------------------------------------

namespace detail {
extern std::atomic<bool> g_armed;
bool take_fault(Call call);
}  // namespace detail

// True when this call of the kind is the one chosen to fail; errno is then
// set to the chosen value. Costs one relaxed load while nothing is armed.
inline bool injected(Call call) {
    return __builtin_expect(detail::g_armed.load(std::memory_order_relaxed), false) && detail::take_fault(call);
}

// Makes the nth next call of a kind fail with err (1 = the very next; 0
// disarms the kind). Faults are process-wide and fire once, or, sticky,
// at that call and every later one until cleared (a disk that stays full).
// kKillProcess instead of an errno kills the process at that call.
constexpr int kKillProcess = -1;
void arm_fault(Call call, unsigned nth, int err, bool sticky = false);
void clear_faults();
// The calling thread's calls never fail by injection: for the runtime's
// background threads (the registry's checkpointer), whose timing would
// otherwise let them take a fault armed for the code under test.
void exempt_thread_from_faults();
// Faults fired since the process started.
unsigned long long faults_fired();
// The kind's name ("open", "write", ...); null past the last kind.
const char* call_name(Call call);

// ---- Descriptors and data -------------------------------------------------

int open(const char* path, int flags, mode_t mode = 0);
int openat(int dirfd, const char* path, int flags, mode_t mode = 0);
ssize_t read(int fd, void* buffer, size_t size);
ssize_t pread(int fd, void* buffer, size_t size, off_t offset);
ssize_t write(int fd, const void* buffer, size_t size);
ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset);
// Loops over short writes; returns size or -1.
ssize_t write_all(int fd, const void* buffer, size_t size);
int fsync(int fd);
int fdatasync(int fd);
int ftruncate(int fd, off_t length);
int close(int fd);
off_t lseek(int fd, off_t offset, int whence);
// The descriptor's status flags (F_GETFL), -1 on failure.
int status_flags(int fd);
// The whole of a small file (at most limit bytes) into *out; 0, or -1 with
// errno set. For /proc and configuration files.
int read_file(const char* path, std::string* out, size_t limit = 64 * 1024);

// ---- Names and folders ----------------------------------------------------

int rename(const char* from, const char* to);
// rename that fails with EEXIST instead of replacing (renameat2 NOREPLACE).
int rename_noreplace(const char* from, const char* to);
// Gives the file of a descriptor opened with O_TMPFILE the name `to`; fails
// with EEXIST when the name is taken (linkat through /proc/self/fd).
int link_tmpfile(int fd, const char* to);
int unlink(const char* path);
int rmdir(const char* path);
int mkdir(const char* path, mode_t mode);
// Opens the folder of path and fsyncs it, so a rename or create survives a
// crash.
int fsync_parent(const char* path);
// Every name in a folder, "." and ".." included, in the folder's order.
// 0, or -1 with errno set (nothing is returned then).
int list_folder(const char* path, std::vector<std::string>* names);
ssize_t readlink(const char* path, char* buffer, size_t size);
char* getcwd(char* buffer, size_t size);
// The canonical absolute form of an existing path (realpath); 0, or -1 with
// errno set.
int realpath(const char* path, std::string* out);

// ---- Metadata and attributes ----------------------------------------------

int stat(const char* path, struct stat* st);
int lstat(const char* path, struct stat* st);
int fstat(int fd, struct stat* st);
int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* out);
// Whether the caller may access path as mode asks, judged by its effective
// ids (faccessat AT_EACCESS).
int access_effective(const char* path, int mode);
int chmod(const char* path, mode_t mode);
int fchmod(int fd, mode_t mode);
int chown(const char* path, uid_t uid, gid_t gid);
int fchown(int fd, uid_t uid, gid_t gid);
int futimens(int fd, const struct timespec times[2]);
int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags);
ssize_t getxattr(const char* path, const char* name, void* value, size_t size);
ssize_t fgetxattr(int fd, const char* name, void* value, size_t size);
int setxattr(const char* path, const char* name, const void* value, size_t size, int flags);
int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags);

// ---- Shared memory and mappings -------------------------------------------

int shm_open(const char* name, int flags, mode_t mode);
int shm_unlink(const char* name);
// A shared-memory object inside a folder of /dev/shm, by its folder's
// descriptor; never follows a symbolic link at the last component.
int shm_openat(int dirfd, const char* name, int flags, mode_t mode);
int shm_unlinkat(int dirfd, const char* name);
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset);
int munmap(void* address, size_t length);

// ---- Locks ----------------------------------------------------------------

// How long a file lock is waited for. Every caller says which rule it
// keeps:
//   Try      not at all: a held lock fails at once with EWOULDBLOCK;
//   Bounded  up to a time-out, polling with growing pauses (a few yields,
//            then 20 us, then 500 us), then ETIMEDOUT;
//   Wait     until it is had (the holder's death releases it).
enum class LockWait { Try, Bounded, Wait };

// An exclusive advisory lock on a whole file (flock). It belongs to the open
// file description, so the kernel drops it when the last descriptor of it
// closes or its process dies, SIGKILL included. 0 when held, else an errno
// value (EWOULDBLOCK, ETIMEDOUT, or what flock reported).
int lock_file(int fd, LockWait wait, int timeout_ms = 0);
void unlock_file(int fd);

// lock_file for a scope.
class FileLock {
public:
    FileLock(int fd, LockWait wait, int timeout_ms = 0) : fd_(fd), error_(lock_file(fd, wait, timeout_ms)) {}
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { release(); }

    bool held() const { return error_ == 0 && fd_ >= 0; }
    // 0 when held, else the errno value of lock_file.
    int error() const { return error_; }
    void release() {
        if (held()) unlock_file(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    int error_;
};

// Open-file-description record locks (F_OFD_SETLK, F_OFD_GETLK); never
// waits (F_OFD_SETLKW is not offered).
int record_lock(int fd, int command, struct flock* lock);

}  // namespace w32rt::sys
