#include "core/sys.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include <w32rt/testing.h>

namespace w32rt::sys {

// ---- Fault injection ------------------------------------------------------

namespace {

struct Fault {
    std::atomic<unsigned> countdown{0};  // 0 = disarmed
    std::atomic<int> err{0};
    std::atomic<bool> sticky{false};  // the chosen call and every later one fail (a full disk)
};

Fault g_faults[static_cast<unsigned>(Call::Count)];
std::atomic<unsigned long long> g_fired{0};

const char* const kCallNames[] = {"open", "read", "write", "fsync", "rename", "unlink", "mkdir",
                                  "ftruncate", "mmap", "shm", "list", "lock", "stat", "attr"};
static_assert(sizeof kCallNames / sizeof kCallNames[0] == static_cast<unsigned>(Call::Count), "a name per kind");

static_assert(unsigned(Call::Open) == W32RT_CALL_OPEN && unsigned(Call::Read) == W32RT_CALL_READ &&
                  unsigned(Call::Write) == W32RT_CALL_WRITE && unsigned(Call::Fsync) == W32RT_CALL_FSYNC &&
                  unsigned(Call::Rename) == W32RT_CALL_RENAME && unsigned(Call::Unlink) == W32RT_CALL_UNLINK &&
                  unsigned(Call::Mkdir) == W32RT_CALL_MKDIR && unsigned(Call::Ftruncate) == W32RT_CALL_FTRUNCATE &&
                  unsigned(Call::Mmap) == W32RT_CALL_MMAP && unsigned(Call::Shm) == W32RT_CALL_SHM &&
                  unsigned(Call::List) == W32RT_CALL_LIST && unsigned(Call::Lock) == W32RT_CALL_LOCK &&
                  unsigned(Call::Stat) == W32RT_CALL_STAT && unsigned(Call::Attr) == W32RT_CALL_ATTR &&
                  unsigned(Call::Count) == W32RT_CALL_KINDS,
              "the public kinds are the seam's");

// A call that may fail by injection and is restarted when a signal
// interrupts it.
template <class F>
auto retrying(Call call, F f) -> decltype(f()) {
    if (injected(call)) return -1;
    decltype(f()) result;
    do result = f();
    while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

namespace detail {

std::atomic<bool> g_armed{false};

thread_local bool t_exempt = false;

bool take_fault(Call call) {
    // Background upkeep never takes (or counts towards) a fault armed for
    // the calls a test makes.
    if (t_exempt) return false;
    Fault& f = g_faults[static_cast<unsigned>(call)];
    unsigned n = f.countdown.load(std::memory_order_relaxed);
    while (n != 0) {
        if (n == 1 && f.sticky.load(std::memory_order_relaxed)) {
            g_fired.fetch_add(1, std::memory_order_relaxed);
            errno = f.err.load(std::memory_order_relaxed);
            return true;
        }
        if (f.countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
            if (n != 1) return false;
            int err = f.err.load(std::memory_order_relaxed);
            if (err == kKillProcess) ::kill(::getpid(), SIGKILL);
            g_fired.fetch_add(1, std::memory_order_relaxed);
            errno = err;
            return true;
        }
    }
    return false;
}

}  // namespace detail

void exempt_thread_from_faults() { detail::t_exempt = true; }

void arm_fault(Call call, unsigned nth, int err, bool sticky) {
    if (call >= Call::Count) return;
    Fault& f = g_faults[static_cast<unsigned>(call)];
    f.err.store(err, std::memory_order_relaxed);
    f.sticky.store(sticky && err != kKillProcess, std::memory_order_relaxed);
    f.countdown.store(nth, std::memory_order_relaxed);
    if (nth != 0) detail::g_armed.store(true, std::memory_order_release);
}

void clear_faults() {
    for (Fault& f : g_faults) {
        f.countdown.store(0, std::memory_order_relaxed);
        f.sticky.store(false, std::memory_order_relaxed);
    }
    detail::g_armed.store(false, std::memory_order_release);
}

unsigned long long faults_fired() { return g_fired.load(std::memory_order_relaxed); }

const char* call_name(Call call) { return call < Call::Count ? kCallNames[static_cast<unsigned>(call)] : nullptr; }

// ---- Descriptors and data -------------------------------------------------

int open(const char* path, int flags, mode_t mode) {
    return retrying(Call::Open, [&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

int openat(int dirfd, const char* path, int flags, mode_t mode) {
    return retrying(Call::Open, [&] { return ::openat(dirfd, path, flags | O_CLOEXEC, mode); });
}

ssize_t read(int fd, void* buffer, size_t size) {
    return retrying(Call::Read, [&] { return ::read(fd, buffer, size); });
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    return retrying(Call::Read, [&] { return ::pread(fd, buffer, size, offset); });
}

ssize_t write(int fd, const void* buffer, size_t size) {
    return retrying(Call::Write, [&] { return ::write(fd, buffer, size); });
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
    return retrying(Call::Write, [&] { return ::pwrite(fd, buffer, size, offset); });
}

ssize_t write_all(int fd, const void* buffer, size_t size) {
    const char* p = static_cast<const char*>(buffer);
    size_t left = size;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) return -1;
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        p += n;
        left -= size_t(n);
    }
    return ssize_t(size);
}

int fsync(int fd) {
    if (injected(Call::Fsync)) return -1;
    return ::fsync(fd);
}

int fdatasync(int fd) {
    if (injected(Call::Fsync)) return -1;
    return ::fdatasync(fd);
}

int ftruncate(int fd, off_t length) {
    return retrying(Call::Ftruncate, [&] { return ::ftruncate(fd, length); });
}

int close(int fd) { return ::close(fd); }

off_t lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }

int status_flags(int fd) { return ::fcntl(fd, F_GETFL); }

int read_file(const char* path, std::string* out, size_t limit) {
    out->clear();
    int fd = open(path, O_RDONLY | O_NOCTTY);
    if (fd < 0) return -1;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            int saved = errno;
            ::close(fd);
            out->clear();
            errno = saved;
            return -1;
        }
        if (n == 0 || out->size() >= limit) break;
        out->append(buffer, size_t(n) < limit - out->size() ? size_t(n) : limit - out->size());
    }
    ::close(fd);
    return 0;
}

// ---- Names and folders ----------------------------------------------------

int rename(const char* from, const char* to) {
    if (injected(Call::Rename)) return -1;
    return ::rename(from, to);
}

int rename_noreplace(const char* from, const char* to) {
    if (injected(Call::Rename)) return -1;
    int rc = int(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1 /* RENAME_NOREPLACE */));
    if (rc < 0 && (errno == EINVAL || errno == ENOSYS)) {
        // File systems without renameat2: link + unlink keeps the no-replace
        // promise for regular files.
        if (::link(from, to) < 0) return -1;
        return ::unlink(from);
    }
    return rc;
}

int link_tmpfile(int fd, const char* to) {
    if (injected(Call::Rename)) return -1;
    char from[64];
    snprintf(from, sizeof from, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, from, AT_FDCWD, to, AT_SYMLINK_FOLLOW);
}

int unlink(const char* path) {
    if (injected(Call::Unlink)) return -1;
    return ::unlink(path);
}

int rmdir(const char* path) {
    if (injected(Call::Unlink)) return -1;
    return ::rmdir(path);
}

int mkdir(const char* path, mode_t mode) {
    if (injected(Call::Mkdir)) return -1;
    return ::mkdir(path, mode);
}

int fsync_parent(const char* path) {
    std::string dir(path);
    size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return rc;
}

int list_folder(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (injected(Call::List)) return -1;
    DIR* dir = ::opendir(path);
    if (!dir) return -1;
    errno = 0;
    while (struct dirent* e = ::readdir(dir)) names->emplace_back(e->d_name);
    int error = errno;
    ::closedir(dir);
    if (error) {
        names->clear();
        errno = error;
        return -1;
    }
    return 0;
}

ssize_t readlink(const char* path, char* buffer, size_t size) {
    if (injected(Call::Stat)) return -1;
    return ::readlink(path, buffer, size);
}

char* getcwd(char* buffer, size_t size) {
    if (injected(Call::Stat)) return nullptr;
    return ::getcwd(buffer, size);
}

int realpath(const char* path, std::string* out) {
    if (injected(Call::Stat)) return -1;
    char* real = ::realpath(path, nullptr);
    if (!real) return -1;
    out->assign(real);
    free(real);
    return 0;
}

// ---- Metadata and attributes ----------------------------------------------

int stat(const char* path, struct stat* st) {
    if (injected(Call::Stat)) return -1;
    return ::stat(path, st);
}

int lstat(const char* path, struct stat* st) {
    if (injected(Call::Stat)) return -1;
    return ::lstat(path, st);
}

int fstat(int fd, struct stat* st) {
    if (injected(Call::Stat)) return -1;
    return ::fstat(fd, st);
}

int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* out) {
    if (injected(Call::Stat)) return -1;
    return ::statx(dirfd, path, flags, mask, out);
}

int access_effective(const char* path, int mode) {
    if (injected(Call::Stat)) return -1;
    return ::faccessat(AT_FDCWD, path, mode, AT_EACCESS);
}

int chmod(const char* path, mode_t mode) {
    if (injected(Call::Attr)) return -1;
    return ::chmod(path, mode);
}

int fchmod(int fd, mode_t mode) {
    if (injected(Call::Attr)) return -1;
    return ::fchmod(fd, mode);
}

int chown(const char* path, uid_t uid, gid_t gid) {
    if (injected(Call::Attr)) return -1;
    return ::chown(path, uid, gid);
}

int fchown(int fd, uid_t uid, gid_t gid) {
    if (injected(Call::Attr)) return -1;
    return ::fchown(fd, uid, gid);
}

int futimens(int fd, const struct timespec times[2]) {
    if (injected(Call::Attr)) return -1;
    return ::futimens(fd, times);
}

int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) {
    if (injected(Call::Attr)) return -1;
    return ::utimensat(dirfd, path, times, flags);
}

ssize_t getxattr(const char* path, const char* name, void* value, size_t size) {
    if (injected(Call::Stat)) return -1;
    return ::getxattr(path, name, value, size);
}

ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
    if (injected(Call::Stat)) return -1;
    return ::fgetxattr(fd, name, value, size);
}

int setxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
    if (injected(Call::Attr)) return -1;
    return ::setxattr(path, name, value, size, flags);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    if (injected(Call::Attr)) return -1;
    return ::fsetxattr(fd, name, value, size, flags);
}

// ---- Shared memory and mappings -------------------------------------------

int shm_open(const char* name, int flags, mode_t mode) {
    return retrying(Call::Shm, [&] { return ::shm_open(name, flags | O_CLOEXEC, mode); });
}

int shm_unlink(const char* name) {
    if (injected(Call::Shm)) return -1;
    return ::shm_unlink(name);
}

int shm_openat(int dirfd, const char* name, int flags, mode_t mode) {
    return retrying(Call::Shm, [&] { return ::openat(dirfd, name, flags | O_CLOEXEC | O_NOFOLLOW, mode); });
}

int shm_unlinkat(int dirfd, const char* name) {
    if (injected(Call::Shm)) return -1;
    return ::unlinkat(dirfd, name, 0);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (injected(Call::Mmap)) return MAP_FAILED;
    return ::mmap(address, length, protection, flags, fd, offset);
}

int munmap(void* address, size_t length) { return ::munmap(address, length); }

// ---- Locks ----------------------------------------------------------------

int lock_file(int fd, LockWait wait, int timeout_ms) {
    if (injected(Call::Lock)) return errno;
    if (wait == LockWait::Wait) {
        while (::flock(fd, LOCK_EX) < 0)
            if (errno != EINTR) return errno;
        return 0;
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline{};
    for (unsigned attempt = 0;; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        int err = errno;
        if (err == EINTR) continue;
        if (err != EWOULDBLOCK || wait == LockWait::Try) return err;
        // A holder is usually out within microseconds: yield a few times,
        // then sleep in short and then longer pauses up to the bound.
        if (attempt < 16) {
            sched_yield();
            continue;
        }
        Clock::time_point now = Clock::now();
        if (deadline == Clock::time_point{}) deadline = now + std::chrono::milliseconds(timeout_ms);
        if (now >= deadline) return ETIMEDOUT;
        struct timespec pause = {0, (attempt < 32 ? 20 : 500) * 1000L};
        nanosleep(&pause, nullptr);
    }
}

void unlock_file(int fd) { ::flock(fd, LOCK_UN); }

int record_lock(int fd, int command, struct flock* lock) {
    if (injected(Call::Lock)) return -1;
    int rc;
    do rc = ::fcntl(fd, command, lock);
    while (rc < 0 && errno == EINTR);
    return rc;
}

}  // namespace w32rt::sys

extern "C" {

W32RT_API void w32rt_fail_call(w32rt_call kind, unsigned nth, int err) {
    w32rt::sys::arm_fault(static_cast<w32rt::sys::Call>(kind), nth, err);
}

namespace {

void arm_kind(const char* kind, unsigned nth, int err, bool sticky) {
    using w32rt::sys::Call;
    if (!kind) return;
    for (unsigned k = 0; k < unsigned(Call::Count); ++k)
        if (strcmp(w32rt::sys::call_name(Call(k)), kind) == 0) w32rt::sys::arm_fault(Call(k), nth, err, sticky);
}

}  // namespace

W32RT_API void w32rt_fail_syscall(const char* kind, unsigned nth, int err) { arm_kind(kind, nth, err, false); }

W32RT_API void w32rt_fail_syscall_from(const char* kind, unsigned nth, int err) { arm_kind(kind, nth, err, true); }

W32RT_API void w32rt_clear_syscall_faults(void) { w32rt::sys::clear_faults(); }

W32RT_API void w32rt_kill_at_call(w32rt_call kind, unsigned nth) {
    w32rt::sys::arm_fault(static_cast<w32rt::sys::Call>(kind), nth, w32rt::sys::kKillProcess);
}

W32RT_API unsigned long long w32rt_injected_faults(void) { return w32rt::sys::faults_fired(); }

W32RT_API const char* w32rt_call_name(w32rt_call kind) {
    return w32rt::sys::call_name(static_cast<w32rt::sys::Call>(kind));
}

}  // extern "C"
