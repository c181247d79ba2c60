#include "files/file_object.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "core/error.h"
#include "core/late_close.h"
#include "core/path.h"
#include "core/sys.h"
#include "core/clock.h"
#include "files/file_info.h"
#include "files/share_modes.h"

namespace w32rt::files {

namespace {

// Truncates a file whose handle may not be open for writing: CREATE_ALWAYS
// overwrites an existing file whatever access the caller asked for.
int truncate_fd(int fd, bool writable) {
    if (writable) return sys::ftruncate(fd, 0);
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    int w = sys::open(proc, O_WRONLY | O_NOCTTY);
    if (w < 0) return -1;
    int rc = sys::ftruncate(w, 0);
    int saved = errno;
    sys::close(w);
    errno = saved;
    return rc;
}

}  // namespace

FileObject::~FileObject() {
    if (delete_on_close) {
        struct stat st;
        if (sys::lstat(path_.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode)
            directory ? sys::rmdir(path_.c_str()) : sys::unlink(path_.c_str());
    }
    sys::close(fd_);
}

DWORD map_generic_access(DWORD access) {
    DWORD mapped = access & ~DWORD(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
    if (access & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

DWORD error_for_path(const std::string& path, int err) {
    if (err == ENOTDIR) return ERROR_PATH_NOT_FOUND;
    if (err != ENOENT) return win32_from_errno(err);
    size_t slash = path.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat st;
    return sys::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool valid_file_name(std::string_view name) {
    for (unsigned char c : name)
        if (c < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') return false;
    return true;
}

bool map_caller_path(const char* name, std::string* mapped) {
    if (!name) return fail(ERROR_INVALID_PARAMETER, false);
    if (!*name) return fail(ERROR_PATH_NOT_FOUND, false);
    if (!valid_file_name(name)) return fail(ERROR_INVALID_NAME, false);
    *mapped = map_path(name);
    if (mapped->empty()) return fail(ERROR_BAD_PATHNAME, false);
    return true;
}

FilePtr open_file(const OpenRequest& rq, bool* existed) {
    if (rq.disposition < CREATE_NEW || rq.disposition > TRUNCATE_EXISTING) return fail(ERROR_INVALID_PARAMETER, nullptr);
    DWORD access = map_generic_access(rq.access);
    if (rq.flags & FILE_FLAG_DELETE_ON_CLOSE) access |= DELETE;
    if (rq.disposition == TRUNCATE_EXISTING && !(access & FILE_WRITE_DATA)) return fail(ERROR_INVALID_PARAMETER, nullptr);

    const bool want_read = access & (FILE_READ_DATA | FILE_EXECUTE);
    const bool want_write = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    const bool append_only = (access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA);
    const int extra = O_NOCTTY | (append_only ? O_APPEND : 0) | ((rq.flags & FILE_FLAG_WRITE_THROUGH) ? O_DSYNC : 0);
    const mode_t mode = (rq.flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;

    // Descriptor modes to try in turn when the file refuses one. A
    // write-only handle is opened for reading too where the file allows it,
    // so it can hold shared locks; reads stay refused by the handle's access.
    int modes[2] = {O_RDONLY, -1};
    if (want_read && want_write) {
        modes[0] = O_RDWR;
    } else if (want_write) {
        modes[0] = O_RDWR;
        modes[1] = O_WRONLY;
    } else if (!want_read) {
        modes[1] = O_PATH;
    }

    int used_mode = -1;
    auto try_open = [&](int create_flags) -> int {
        for (int m : modes) {
            if (m < 0 || (m == O_PATH && create_flags)) continue;
            int flags = m == O_PATH ? O_PATH : (m | extra | create_flags);
            int fd = sys::open(rq.path.c_str(), flags, mode);
            if (fd >= 0) {
                used_mode = m;
                return fd;
            }
            if (errno != EACCES && errno != EPERM) return -1;
        }
        return -1;
    };

    int fd = -1;
    bool created = false;
    if (rq.disposition == CREATE_NEW) {
        fd = try_open(O_CREAT | O_EXCL);
        if (fd < 0) return fail(errno == EEXIST ? DWORD(ERROR_FILE_EXISTS) : error_for_path(rq.path, errno), nullptr);
        created = true;
    } else if (rq.disposition == OPEN_EXISTING || rq.disposition == TRUNCATE_EXISTING) {
        fd = try_open(0);
        if (fd < 0) return fail(error_for_path(rq.path, errno), nullptr);
    } else {
        // Open, else create exclusively, so that we know which happened
        // even when another process creates or deletes the file meanwhile.
        for (int attempt = 0; fd < 0; ++attempt) {
            fd = try_open(0);
            if (fd >= 0) break;
            if (errno != ENOENT || attempt == 16) return fail(error_for_path(rq.path, errno), nullptr);
            fd = try_open(O_CREAT | O_EXCL);
            if (fd >= 0) {
                created = true;
                break;
            }
            if (errno != EEXIST) return fail(error_for_path(rq.path, errno), nullptr);
        }
    }

    auto file = std::make_shared<FileObject>(fd, rq.path);
    // A failed CreateFile leaves no file behind: one this call created is
    // removed again, while its name still names it.
    auto fail_removing_created = [&](DWORD error) -> FilePtr {
        struct stat mine, named;
        if (created && sys::fstat(fd, &mine) == 0 && sys::lstat(rq.path.c_str(), &named) == 0 &&
            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
            sys::unlink(rq.path.c_str());
        return fail(error, nullptr);
    };
    file->path_only = used_mode == O_PATH;
    struct stat st;
    if (sys::fstat(fd, &st) < 0) return fail_removing_created(win32_from_errno(errno));
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->directory = S_ISDIR(st.st_mode);
    if (file->directory && !(rq.flags & FILE_FLAG_BACKUP_SEMANTICS)) return fail(ERROR_ACCESS_DENIED, nullptr);

    if (!file->directory && !file->path_only) {
        bool readable = used_mode == O_RDONLY || used_mode == O_RDWR;
        DWORD e = reserve_share(fd, readable, data_access_bits(access), share_bits(rq.share));
        if (e) return fail_removing_created(e);
    }

    const bool overwrite =
        !created && (rq.disposition == CREATE_ALWAYS || rq.disposition == TRUNCATE_EXISTING) && S_ISREG(st.st_mode);
    if (overwrite) {
        if (truncate_fd(fd, used_mode == O_RDWR || used_mode == O_WRONLY) < 0) return fail_errno(errno, nullptr);
        if (clock::offset_active()) {
            struct timespec times[2] = {{0, UTIME_OMIT}, clock::to_timespec(clock::now())};
            sys::futimens(fd, times);
        }
    }
    if (created) stamp_new_file(fd);
    file->delete_on_close = (rq.flags & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    *existed = !created;
    return file;
}

DWORD with_delete_access(const std::vector<std::string>& paths, const std::function<DWORD()>& action) {
    struct Held {
        int fd;
        dev_t device;
        ino_t inode;
        std::unique_ptr<ShareGate> gate;
    };
    std::vector<Held> held;
    // A file the action left without a name is freed when its last
    // descriptor closes, which may be this one: the runtime's thread
    // closes it, off the caller's path.
    auto release = [&](bool acted) {
        for (Held& h : held) {
            h.gate.reset();
            struct stat st;
            if (acted && sys::fstat(h.fd, &st) == 0 && st.st_nlink == 0) late_close::close_later(h.fd);
            else sys::close(h.fd);
        }
        held.clear();
    };
    for (const std::string& path : paths) {
        const int probe = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
        int fd = sys::open(path.c_str(), O_RDONLY | probe);
        if (fd < 0 && (errno == EACCES || errno == EPERM)) fd = sys::open(path.c_str(), O_WRONLY | probe);
        if (fd < 0) continue;
        struct stat st;
        if (sys::fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
            sys::close(fd);
            continue;
        }
        held.push_back({fd, st.st_dev, st.st_ino, nullptr});
    }
    // Gates in inode order, so two callers naming the same files in another
    // order cannot hold one each and wait for the other.
    std::sort(held.begin(), held.end(),
              [](const Held& a, const Held& b) { return std::tie(a.device, a.inode) < std::tie(b.device, b.inode); });
    for (size_t i = 0; i < held.size(); ++i) {
        if (i > 0 && held[i].device == held[i - 1].device && held[i].inode == held[i - 1].inode) continue;
        held[i].gate = std::make_unique<ShareGate>(held[i].fd);
        DWORD e = held[i].gate->error();
        if (!e) e = check_share(held[i].fd, kShareDelete, kShareAll);
        if (e) {
            release(false);
            return e;
        }
    }
    DWORD result = action();
    release(result == 0);
    return result;
}

}  // namespace w32rt::files
