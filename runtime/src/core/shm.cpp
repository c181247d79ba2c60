#include "core/shm.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "core/error.h"
#include "core/sys.h"

namespace w32rt {

namespace {

bool header_valid(const RegionHeader* h, uint32_t magic, uint32_t version, size_t mapped) {
    return h->magic == magic && h->version == version && h->size == mapped;
}

// After a failed call on a region's descriptor: closes it and reports the
// call's errno.
std::nullptr_t fail_closing(int fd) {
    int e = errno;
    sys::close(fd);
    return fail_errno(e, nullptr);
}

}  // namespace

SharedRegion::~SharedRegion() {
    if (base_) sys::munmap(base_, size_);
    if (fd_ >= 0) sys::close(fd_);
}

std::unique_ptr<SharedRegion> SharedRegion::open_or_create(const std::string& name, size_t size, uint32_t magic,
                                                           uint32_t version,
                                                           const std::function<void(void*)>& init) {
    if (size < sizeof(RegionHeader)) return fail(ERROR_INVALID_PARAMETER, nullptr);
    int fd = sys::shm_open(name.c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0) return fail_errno(errno, nullptr);
    sys::fchmod(fd, 0666);  // the umask must not keep other users out
    // Creators hold the lock for a few calls; one that dies releases it.
    // Closing the descriptor releases it too, which every failure below
    // does; the lock is never released through a descriptor already closed
    // (its number may name another file by then).
    if (int e = sys::lock_file(fd, sys::LockWait::Wait)) {
        errno = e;
        return fail_closing(fd);
    }
    struct stat st;
    if (sys::fstat(fd, &st) < 0) return fail_closing(fd);
    size_t mapped = size_t(st.st_size);
    bool fresh = mapped == 0;
    if (fresh) {
        if (sys::ftruncate(fd, off_t(size)) < 0) return fail_closing(fd);
        mapped = size;
    }
    void* base = sys::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return fail_closing(fd);
    std::unique_ptr<SharedRegion> region(new SharedRegion(base, mapped, fd));
    RegionHeader* h = region->header();
    if (!fresh && h->ready.load(std::memory_order_acquire) == 1) {
        if (!header_valid(h, magic, version, mapped)) return fail(ERROR_INVALID_DATA, nullptr);
        sys::unlock_file(fd);
        return region;
    }
    if (!fresh && mapped != size) return fail(ERROR_INVALID_DATA, nullptr);
    // New, or left half-made by a creator that died: (re)initialise under
    // the lock.
    memset(base, 0, mapped);
    init(base);
    h->magic = magic;
    h->version = version;
    h->size = mapped;
    h->ready.store(1, std::memory_order_release);
    sys::unlock_file(fd);
    return region;
}

std::unique_ptr<SharedRegion> SharedRegion::open_existing(const std::string& name, uint32_t magic, uint32_t version) {
    int fd = sys::shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return fail(errno == ENOENT ? DWORD(ERROR_FILE_NOT_FOUND) : win32_from_errno(errno), nullptr);
    struct stat st;
    if (sys::fstat(fd, &st) < 0 || size_t(st.st_size) < sizeof(RegionHeader)) {
        sys::close(fd);
        return fail(ERROR_FILE_NOT_FOUND, nullptr);
    }
    size_t mapped = size_t(st.st_size);
    void* base = sys::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return fail_closing(fd);
    std::unique_ptr<SharedRegion> region(new SharedRegion(base, mapped, fd));
    RegionHeader* h = region->header();
    if (h->ready.load(std::memory_order_acquire) != 1) return fail(ERROR_FILE_NOT_FOUND, nullptr);
    if (!header_valid(h, magic, version, mapped)) return fail(ERROR_INVALID_DATA, nullptr);
    return region;
}

bool SharedRegion::remove(const std::string& name) { return sys::shm_unlink(name.c_str()) == 0; }

}  // namespace w32rt
