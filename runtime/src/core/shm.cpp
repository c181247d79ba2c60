#include "core/shm.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "core/bus_guard.h"
#include "core/error.h"
#include "core/machine.h"
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

SharedRegion::SharedRegion(void* base, size_t size, int fd, bool writable)
    : base_(base), size_(size), fd_(fd), writable_(writable) {
    guard_ = guard_mapping(base_, size_, &damaged_);
}

SharedRegion::~SharedRegion() {
    unguard_mapping(guard_);
    if (base_) sys::munmap(base_, size_);
    if (fd_ >= 0) sys::close(fd_);
}

std::unique_ptr<SharedRegion> SharedRegion::open_or_create(Machine& machine, const Segment& segment, size_t size,
                                                           uint32_t magic, uint32_t version,
                                                           const std::function<void(void*)>& init) {
    if (size < sizeof(RegionHeader)) return fail(ERROR_INVALID_PARAMETER, nullptr);
    OpenedSegment file;
    if (!open_segment(machine, segment, SegmentOpen::Create, &file)) return nullptr;
    const int fd = file.fd;
    const int protection = file.writable ? PROT_READ | PROT_WRITE : PROT_READ;
    // A ready region of the right size is used as it is, without a lock:
    // a lock that anyone who can open the file may take would let them stop
    // every later opener.
    if (file.size == size) {
        void* base = sys::mmap(nullptr, size, protection, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED) return fail_closing(fd);
        std::unique_ptr<SharedRegion> region(new SharedRegion(base, size, fd, file.writable));
        RegionHeader* h = region->header();
        if (h->ready.load(std::memory_order_acquire) == 1) {
            if (!header_valid(h, magic, version, size)) return fail(ERROR_INVALID_DATA, nullptr);
            return region;
        }
        if (!file.writable) return fail(ERROR_FILE_NOT_FOUND, nullptr);
        region->fd_ = -1;  // kept for the initialisation below
    } else if (file.size != 0) {
        sys::close(fd);
        return fail(ERROR_INVALID_DATA, nullptr);
    } else if (!file.writable) {
        sys::close(fd);
        return fail(ERROR_FILE_NOT_FOUND, nullptr);
    }

    // New, or left half-made by a creator that died: (re)initialise under
    // the lock. Creators hold it for a few calls; one that dies releases it,
    // and so does closing the descriptor, which every failure below does.
    if (int e = sys::lock_file(fd, sys::LockWait::Bounded, kCreationLockMs)) {
        sys::close(fd);
        return fail(e == ETIMEDOUT ? DWORD(ERROR_BUSY) : win32_from_errno(e), nullptr);
    }
    struct stat st;
    if (sys::fstat(fd, &st) < 0) return fail_closing(fd);
    if (st.st_size == 0 && sys::ftruncate(fd, off_t(size)) < 0) return fail_closing(fd);
    if (st.st_size != 0 && size_t(st.st_size) != size) {
        sys::close(fd);
        return fail(ERROR_INVALID_DATA, nullptr);
    }
    void* base = sys::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return fail_closing(fd);
    std::unique_ptr<SharedRegion> region(new SharedRegion(base, size, fd, true));
    RegionHeader* h = region->header();
    if (h->ready.load(std::memory_order_acquire) != 1) {
        memset(base, 0, size);
        init(base);
        h->magic = magic;
        h->version = version;
        h->size = size;
        h->ready.store(1, std::memory_order_release);
    } else if (!header_valid(h, magic, version, size)) {
        return fail(ERROR_INVALID_DATA, nullptr);  // another creator made it something else meanwhile
    }
    publish_segment(machine, segment, fd);
    sys::unlock_file(fd);
    return region;
}

std::unique_ptr<SharedRegion> SharedRegion::open_existing(Machine& machine, const Segment& segment, uint32_t magic,
                                                          uint32_t version) {
    OpenedSegment file;
    if (!open_segment(machine, segment, SegmentOpen::Existing, &file)) return nullptr;
    if (file.size < sizeof(RegionHeader)) {
        sys::close(file.fd);
        return fail(ERROR_FILE_NOT_FOUND, nullptr);
    }
    const int protection = file.writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* base = sys::mmap(nullptr, file.size, protection, MAP_SHARED, file.fd, 0);
    if (base == MAP_FAILED) return fail_closing(file.fd);
    std::unique_ptr<SharedRegion> region(new SharedRegion(base, file.size, file.fd, file.writable));
    RegionHeader* h = region->header();
    if (h->ready.load(std::memory_order_acquire) != 1) return fail(ERROR_FILE_NOT_FOUND, nullptr);
    if (!header_valid(h, magic, version, file.size)) return fail(ERROR_INVALID_DATA, nullptr);
    return region;
}

std::unique_ptr<SharedRegion> SharedRegion::map_existing(Machine& machine, const Segment& segment, size_t size) {
    OpenedSegment file;
    if (!open_segment(machine, segment, SegmentOpen::Existing, &file)) return nullptr;
    if (file.size != size) {
        sys::close(file.fd);
        return fail(file.size == 0 ? DWORD(ERROR_FILE_NOT_FOUND) : DWORD(ERROR_INVALID_DATA), nullptr);
    }
    const int protection = file.writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* base = sys::mmap(nullptr, size, protection, MAP_SHARED, file.fd, 0);
    if (base == MAP_FAILED) return fail_closing(file.fd);
    return std::unique_ptr<SharedRegion>(new SharedRegion(base, size, file.fd, file.writable));
}

bool SharedRegion::remove(Machine& machine, const Segment& segment) { return remove_segment(machine, segment); }

}  // namespace w32rt
