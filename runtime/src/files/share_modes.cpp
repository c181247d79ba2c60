#include "files/share_modes.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>

#include "core/error.h"
#include "core/sys.h"

namespace w32rt::files {

namespace {

// Regions: [kBase + i * kRegion, kBase + (i + 1) * kRegion). Far beyond the
// largest file any Linux file system can hold, and far below OFFSET_MAX.
constexpr off_t kBase = off_t(1) << 62;
constexpr off_t kRegion = off_t(1) << 20;

enum Condition : int { kHasRead, kHasWrite, kHasDelete, kDeniesRead, kDeniesWrite, kDeniesDelete };

constexpr off_t region_start(int condition) { return kBase + off_t(condition) * kRegion; }

// Errors that mean "this file system keeps no such locks".
bool locks_unsupported(int err) { return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS; }

// How long an opener waits for another opener's gate before reporting a
// sharing violation. Generous: the gate is held for microseconds unless its
// holder is stopped.
constexpr int kGateBoundMs = 2000;

// Start of the probe for a private byte; differs between descriptions so
// that write-only holders rarely meet.
std::atomic<uint32_t> g_probe_seed{0x9E3779B9u};

}  // namespace

unsigned data_access_bits(DWORD access) {
    unsigned bits = 0;
    if (access & (FILE_READ_DATA | FILE_EXECUTE)) bits |= kShareRead;
    if (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) bits |= kShareWrite;
    if (access & DELETE) bits |= kShareDelete;
    return bits;
}

unsigned share_bits(DWORD share_mode) {
    unsigned bits = 0;
    if (share_mode & FILE_SHARE_READ) bits |= kShareRead;
    if (share_mode & FILE_SHARE_WRITE) bits |= kShareWrite;
    if (share_mode & FILE_SHARE_DELETE) bits |= kShareDelete;
    return bits;
}

ShareGate::ShareGate(int fd) : fd_(fd) {
    int err = sys::lock_file(fd_, sys::LockWait::Bounded, kGateBoundMs);
    if (err == 0) {
        held_ = true;
    } else if (err == ETIMEDOUT) {
        error_ = ERROR_SHARING_VIOLATION;
    } else if (!locks_unsupported(err)) {
        error_ = win32_from_errno(err);
    }
}

ShareGate::~ShareGate() {
    if (held_) sys::unlock_file(fd_);
}

DWORD check_share(int fd, unsigned access, unsigned share) {
    if (access == 0) return 0;
    for (int bit = 0; bit < 3; ++bit) {
        unsigned b = 1u << bit;
        int conditions[2];
        int n = 0;
        if (access & b) conditions[n++] = kDeniesRead + bit;  // we want it: nobody may deny it
        if (!(share & b)) conditions[n++] = kHasRead + bit;   // we deny it: nobody may have it
        for (int i = 0; i < n; ++i) {
            struct flock probe = {};
            probe.l_type = F_WRLCK;
            probe.l_whence = SEEK_SET;
            probe.l_start = region_start(conditions[i]);
            probe.l_len = kRegion;
            if (sys::record_lock(fd, F_OFD_GETLK, &probe) < 0) {
                if (locks_unsupported(errno)) return 0;
                return win32_from_errno(errno);
            }
            if (probe.l_type != F_UNLCK) return ERROR_SHARING_VIOLATION;
        }
    }
    return 0;
}

DWORD take_share(int fd, bool readable, unsigned access, unsigned share) {
    if (access == 0) return 0;
    for (int condition = kHasRead; condition <= kDeniesDelete; ++condition) {
        unsigned b = 1u << (condition % 3);
        bool holds = condition < kDeniesRead ? (access & b) != 0 : (share & b) == 0;
        if (!holds) continue;
        struct flock lock = {};
        lock.l_whence = SEEK_SET;
        lock.l_len = 1;
        if (readable) {
            lock.l_type = F_RDLCK;
            lock.l_start = region_start(condition);
            if (sys::record_lock(fd, F_OFD_SETLK, &lock) == 0) continue;
            if (locks_unsupported(errno)) return 0;
            return errno == EAGAIN ? ERROR_SHARING_VIOLATION : win32_from_errno(errno);
        }
        // A private byte: probe from a varying start for one nobody holds.
        uint32_t seed = g_probe_seed.fetch_add(0x9E3779B9u, std::memory_order_relaxed) ^ uint32_t(getpid());
        bool taken = false;
        for (off_t probe = 0; probe < 4096 && !taken; ++probe) {
            lock.l_type = F_WRLCK;
            lock.l_start = region_start(condition) + 1 + off_t((seed + uint64_t(probe)) % uint64_t(kRegion - 1));
            if (sys::record_lock(fd, F_OFD_SETLK, &lock) == 0) {
                taken = true;
            } else if (locks_unsupported(errno)) {
                return 0;
            } else if (errno != EAGAIN) {
                return win32_from_errno(errno);
            }
        }
        if (!taken) return ERROR_SHARING_VIOLATION;
    }
    return 0;
}

DWORD reserve_share(int fd, bool readable, unsigned access, unsigned share) {
    if (access == 0) return 0;
    ShareGate gate(fd);
    if (DWORD e = gate.error()) return e;
    if (DWORD e = check_share(fd, access, share)) return e;
    return take_share(fd, readable, access, share);
}

}  // namespace w32rt::files
