#include "core/sys.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <w32rt/testing.h>

namespace w32rt::sys {

namespace {

struct Fault {
    std::atomic<unsigned> countdown{0};  // 0 = disarmed
    std::atomic<int> err{0};
    std::atomic<bool> sticky{false};  // the chosen call and every later one fail
};

std::atomic<bool> g_any_armed{false};
Fault g_faults[static_cast<int>(Call::Count)];

// True when this call is the one chosen to fail; sets errno.
inline bool injected(Call call) {
    if (!g_any_armed.load(std::memory_order_relaxed)) return false;
    Fault& f = g_faults[static_cast<int>(call)];
    unsigned n = f.countdown.load(std::memory_order_relaxed);
    while (n != 0) {
        if (n == 1 && f.sticky.load(std::memory_order_relaxed)) {
            errno = f.err.load(std::memory_order_relaxed);
            return true;
        }
        if (f.countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
            if (n == 1) {
                errno = f.err.load(std::memory_order_relaxed);
                return true;
            }
            return false;
        }
    }
    return false;
}

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

int ftruncate(int fd, off_t length) {
    if (injected(Call::Ftruncate)) return -1;
    return ::ftruncate(fd, length);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (injected(Call::Mmap)) return MAP_FAILED;
    return ::mmap(address, length, protection, flags, fd, offset);
}

int close(int fd) { return ::close(fd); }

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

void arm_fault(Call call, unsigned nth, int err, bool sticky) {
    Fault& f = g_faults[static_cast<int>(call)];
    f.err.store(err, std::memory_order_relaxed);
    f.sticky.store(sticky, std::memory_order_relaxed);
    f.countdown.store(nth, std::memory_order_relaxed);
    if (nth != 0) g_any_armed.store(true, std::memory_order_release);
}

void clear_faults() {
    for (Fault& f : g_faults) {
        f.countdown.store(0, std::memory_order_relaxed);
        f.sticky.store(false, std::memory_order_relaxed);
    }
    g_any_armed.store(false, std::memory_order_release);
}

}  // namespace w32rt::sys

extern "C" {

namespace {

void arm_kind(const char* kind, unsigned nth, int err, bool sticky) {
    using w32rt::sys::Call;
    static const struct {
        const char* name;
        Call call;
    } kinds[] = {{"open", Call::Open},     {"read", Call::Read},     {"write", Call::Write},
                 {"fsync", Call::Fsync},   {"rename", Call::Rename}, {"unlink", Call::Unlink},
                 {"mmap", Call::Mmap},     {"ftruncate", Call::Ftruncate}, {"mkdir", Call::Mkdir}};
    if (!kind) return;
    for (const auto& k : kinds)
        if (strcmp(k.name, kind) == 0) w32rt::sys::arm_fault(k.call, nth, err, sticky);
}

}  // namespace

W32RT_API void w32rt_fail_syscall(const char* kind, unsigned nth, int err) { arm_kind(kind, nth, err, false); }

W32RT_API void w32rt_fail_syscall_from(const char* kind, unsigned nth, int err) { arm_kind(kind, nth, err, true); }

W32RT_API void w32rt_clear_syscall_faults(void) { w32rt::sys::clear_faults(); }

}  // extern "C"
