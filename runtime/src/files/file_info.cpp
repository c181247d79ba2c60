#include "files/file_info.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <stdio.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include "core/clock.h"
#include "core/sys.h"

namespace w32rt::files {

namespace {

constexpr const char kCreationAttribute[] = "user.w32rt.crtime";

uint64_t ticks_of(const struct statx_timestamp& t) {
    struct timespec ts;
    ts.tv_sec = time_t(t.tv_sec);
    ts.tv_nsec = long(t.tv_nsec);
    return clock::from_timespec(ts);
}

bool decode_creation(const unsigned char* raw, ssize_t n, uint64_t* ticks) {
    if (n != 8) return false;
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | raw[i];
    if (v > 0x7FFFFFFFFFFFFFFFull) return false;
    *ticks = v;
    return true;
}

void fill(const struct statx& sx, FileInfo* info) {
    info->directory = S_ISDIR(sx.stx_mode);
    info->attributes = attributes_of_mode(sx.stx_mode);
    info->last_access = ticks_of(sx.stx_atime);
    info->last_write = ticks_of(sx.stx_mtime);
    info->creation = (sx.stx_mask & STATX_BTIME) ? ticks_of(sx.stx_btime) : info->last_write;
    info->size = info->directory ? 0 : sx.stx_size;
    info->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    info->inode = ino_t(sx.stx_ino);
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

}  // namespace

DWORD attributes_of_mode(mode_t mode) {
    DWORD attributes = 0;
    if (S_ISDIR(mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (S_ISREG(mode)) attributes |= FILE_ATTRIBUTE_ARCHIVE;
    else if (S_ISCHR(mode) || S_ISBLK(mode) || S_ISFIFO(mode) || S_ISSOCK(mode)) attributes |= FILE_ATTRIBUTE_DEVICE;
    if ((mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool info_of_fd(int fd, FileInfo* info) {
    struct statx sx;
    if (sys::statx(fd, "", AT_EMPTY_PATH, kStatxMask, &sx) < 0) return false;
    fill(sx, info);
    unsigned char raw[16];
    ssize_t n = sys::fgetxattr(fd, kCreationAttribute, raw, sizeof raw);
    if (n < 0 && errno == EBADF) {
        // O_PATH descriptors cannot read attributes; go by the path.
        char proc[64];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        n = sys::getxattr(proc, kCreationAttribute, raw, sizeof raw);
    }
    decode_creation(raw, n, &info->creation);
    return true;
}

bool info_of_path(const std::string& path, FileInfo* info) {
    struct statx sx;
    bool link = false;
    if (sys::statx(AT_FDCWD, path.c_str(), 0, kStatxMask, &sx) < 0) {
        if (errno != ENOENT || sys::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, kStatxMask, &sx) < 0)
            return false;
        link = true;
    }
    fill(sx, info);
    if (!link) {
        unsigned char raw[16];
        ssize_t n = sys::getxattr(path.c_str(), kCreationAttribute, raw, sizeof raw);
        decode_creation(raw, n, &info->creation);
    }
    return true;
}

bool attributes_of_path(const std::string& path, DWORD* attributes) {
    struct stat st;
    if (sys::stat(path.c_str(), &st) < 0 && (errno != ENOENT || sys::lstat(path.c_str(), &st) < 0)) return false;
    *attributes = attributes_of_mode(st.st_mode);
    return true;
}

bool set_creation_time(int fd, uint64_t ticks) {
    unsigned char raw[8];
    for (int i = 0; i < 8; ++i) raw[i] = static_cast<unsigned char>(ticks >> (8 * i));
    if (sys::fsetxattr(fd, kCreationAttribute, raw, sizeof raw, 0) == 0) return true;
    if (errno != EBADF) return false;
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return sys::setxattr(proc, kCreationAttribute, raw, sizeof raw, 0) == 0;
}

void stamp_new_file(int fd) {
    uint64_t now = clock::now();
    set_creation_time(fd, now);
    if (clock::offset_active()) {
        struct timespec times[2] = {clock::to_timespec(now), clock::to_timespec(now)};
        sys::futimens(fd, times);
    }
}

}  // namespace w32rt::files
