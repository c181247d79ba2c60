#include "core/segments.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "core/error.h"
#include "core/futex.h"
#include "core/machine.h"
#include "core/path.h"
#include "core/sys.h"

namespace w32rt {

namespace {

constexpr size_t kRandomHexDigits = 32;
constexpr int64_t kFolderScanIntervalNs = 100'000'000;
constexpr const char* kKeyFilePrefix = "w32rt.shm.";

uid_t admin_uid(const Machine& machine) { return machine.owner_known() ? machine.owner_uid() : 0; }

bool is_admin_owner(const Machine& machine, uid_t uid) { return uid == 0 || uid == admin_uid(machine); }

// "evtrace.<hash>."
std::string root_prefix(const Machine& machine) { return machine.shm_name("").substr(1); }

bool is_hex(std::string_view s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// A name of an administrators' folder of this root: the prefix and 32
// lower-case hex digits.
bool is_folder_name(const std::string& prefix, std::string_view name) {
    return name.size() == prefix.size() + kRandomHexDigits && name.substr(0, prefix.size()) == prefix &&
           is_hex(name.substr(prefix.size()));
}

// The boot's id; empty with errno set when it cannot be read now (a
// system without one has "unknown": its folder names then outlive boots).
std::string boot_id() {
    std::string text;
    if (sys::read_file("/proc/sys/kernel/random/boot_id", &text, 128) < 0)
        return errno == ENOENT ? std::string("unknown") : std::string();
    std::string id;
    for (char c : text)
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-') id += c;
    return id.empty() ? "unknown" : id;
}

bool random_hex(std::string* out) {
    unsigned char bytes[kRandomHexDigits / 2];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += size_t(n);
    }
    static const char digits[] = "0123456789abcdef";
    out->clear();
    for (unsigned char b : bytes) {
        *out += digits[b >> 4];
        *out += digits[b & 15];
    }
    return true;
}

std::string mode_text(mode_t mode) {
    char buf[8];
    snprintf(buf, sizeof buf, "0%03o", unsigned(mode & 0777));
    return buf;
}

// What is wrong with a folder that should be the administrators'; empty
// when nothing is.
std::string folder_fault(const Machine& machine, const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    if (!is_admin_owner(machine, st.st_uid))
        return "owned by uid " + std::to_string(st.st_uid) + ", not by the root's owner or the superuser";
    if (st.st_mode & 022) return "mode " + mode_text(st.st_mode) + " lets others write in it";
    return {};
}

// Opens a folder (O_PATH) and checks it is the administrators'.
int open_trusted_folder(const Machine& machine, const std::string& path, std::string* fault) {
    int fd = sys::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat st;
    if (sys::fstat(fd, &st) < 0) {
        int e = errno;
        sys::close(fd);
        errno = e;
        return -1;
    }
    *fault = folder_fault(machine, st);
    if (!fault->empty()) {
        sys::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

// ---- The key file: the folder's name for this boot -------------------------

// Reads the folder name kept in the root; empty with errno set when there
// is none or it is not trustworthy.
std::string read_key_file(const Machine& machine, const std::string& path) {
    int fd = sys::open(path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return {};
    struct stat st;
    char buf[128];
    ssize_t n = -1;
    bool trusted = sys::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && is_admin_owner(machine, st.st_uid) &&
                   (st.st_mode & 077) == 0 && st.st_size < off_t(sizeof buf);
    if (trusted) n = sys::pread(fd, buf, sizeof buf - 1, 0);
    sys::close(fd);
    if (!trusted) {
        report_refused_segment(path, "is not a file of the root's owner with mode 0600");
        errno = EACCES;
        return {};
    }
    std::string name(buf, n > 0 ? size_t(n) : 0);
    if (!is_folder_name(root_prefix(machine), name)) {
        errno = EAGAIN;  // being written, or damaged: its writer's process replaces it
        return {};
    }
    return name;
}

// Writes the key file whole under its final name, or finds that another
// process did first. The name it holds afterwards, or empty with errno set.
std::string make_key_file(const Machine& machine, const std::string& path) {
    std::string name;
    if (!random_hex(&name)) return {};
    name = root_prefix(machine) + name;
    const std::string& root = machine.root();
    const bool chown_to_owner = geteuid() == 0 && admin_uid(machine) != 0;
    auto fill = [&](int fd) {
        bool ok = sys::write_all(fd, name.data(), name.size()) == ssize_t(name.size()) && sys::fchmod(fd, 0600) == 0;
        if (ok && chown_to_owner) ok = sys::fchown(fd, admin_uid(machine), gid_t(-1)) == 0;
        return ok;
    };
    // Nameless until whole (O_TMPFILE), so no reader sees a part of it.
    int fd = sys::open(root.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (fd >= 0) {
        bool ok = fill(fd) && (sys::link_tmpfile(fd, path.c_str()) == 0 || errno == EEXIST);
        int e = errno;
        sys::close(fd);
        if (!ok) {
            errno = e;
            return {};
        }
    } else {
        std::string temp = path + "." + std::to_string(getpid());
        fd = sys::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) return {};
        bool ok = fill(fd);
        sys::close(fd);
        ok = ok && (sys::rename_noreplace(temp.c_str(), path.c_str()) == 0 || errno == EEXIST);
        int e = errno;
        sys::unlink(temp.c_str());
        if (!ok) {
            errno = e;
            return {};
        }
    }
    return read_key_file(machine, path);
}

// Removes the key files of earlier boots.
void remove_stale_key_files(const Machine& machine, const std::string& current) {
    std::vector<std::string> names;
    if (sys::list_folder(machine.root().c_str(), &names) < 0) return;
    for (const std::string& n : names)
        if (n.rfind(kKeyFilePrefix, 0) == 0 && n != current) sys::unlink((machine.root() + "/" + n).c_str());
}

// ---- The folder ----------------------------------------------------------

struct AdminFolder {
    explicit AdminFolder(Machine&) {}
    std::mutex mutex;
    int fd = -1;
    std::string path;
    int64_t last_scan_ns = INT64_MIN / 2;
};

// The administrators' folder of the root as another user finds it: the one
// folder of the root's prefix and a random name that an administrator owns.
int scan_for_folder(Machine& machine, std::string* path) {
    std::vector<std::string> names;
    if (sys::list_folder("/dev/shm", &names) < 0) return -1;
    const std::string prefix = root_prefix(machine);
    for (const std::string& n : names) {
        if (!is_folder_name(prefix, n)) continue;
        std::string fault;
        int fd = open_trusted_folder(machine, "/dev/shm/" + n, &fault);
        if (fd < 0) continue;  // not theirs: whoever made it is ignored
        *path = "/dev/shm/" + n;
        return fd;
    }
    errno = ENOENT;
    return -1;
}

// The folder as an administrator finds or makes it, by the key file.
int find_or_make_folder(Machine& machine, bool create, std::string* path) {
    const std::string boot = boot_id();
    if (boot.empty()) return -1;
    const std::string key_name = kKeyFilePrefix + boot;
    const std::string key_path = machine.root() + "/" + key_name;
    std::string name = read_key_file(machine, key_path);
    bool made_key = false;
    if (name.empty()) {
        if (errno == EAGAIN) {
            // Half written by a process that died, or being written: a
            // moment for the writer, then write it again.
            struct timespec pause = {0, 20'000'000};
            nanosleep(&pause, nullptr);
            name = read_key_file(machine, key_path);
            if (name.empty() && errno == EAGAIN && create) sys::unlink(key_path.c_str());
        }
        if (name.empty() && errno != ENOENT && errno != EAGAIN) return -1;
        if (name.empty()) {
            if (!create) {
                errno = ENOENT;
                return -1;
            }
            name = make_key_file(machine, key_path);
            if (name.empty()) return -1;
            made_key = true;
        }
    }
    *path = "/dev/shm/" + name;
    std::string fault;
    int fd = open_trusted_folder(machine, *path, &fault);
    if (fd < 0 && errno == ENOENT && create) {
        if (sys::mkdir(path->c_str(), 0700) == 0) {
            // Usable by others only once it is the owner's and 0755.
            bool ok = geteuid() != 0 || admin_uid(machine) == 0 ||
                      sys::chown(path->c_str(), admin_uid(machine), gid_t(-1)) == 0;
            if (!ok || sys::chmod(path->c_str(), 0755) < 0) return -1;
        } else if (errno != EEXIST) {
            return -1;
        }
        fd = open_trusted_folder(machine, *path, &fault);
        if (made_key) remove_stale_key_files(machine, key_name);
    }
    if (fd < 0 && !fault.empty()) report_refused_segment(*path, fault.c_str());
    return fd;
}

// A guard against the debugger output reporting a refusal of its own
// segment while it opens it.
thread_local bool t_reporting = false;

}  // namespace

// ---- Classes ---------------------------------------------------------------

Segment admin_segment(std::string what, SegmentAccess access) { return {std::move(what), access, true, 0}; }

Segment public_segment(std::string what) { return {std::move(what), SegmentAccess::Everyone, false, 0}; }

Segment user_segment(Machine& machine, std::string what, uid_t user, bool published) {
    return {std::move(what), published ? SegmentAccess::UserPublished : SegmentAccess::User,
            is_admin_owner(machine, user), user};
}

mode_t segment_mode(SegmentAccess access) {
    switch (access) {
        case SegmentAccess::Administrators: return 0644;
        case SegmentAccess::AdministratorsOnly: return 0600;
        case SegmentAccess::Everyone: return 0666;
        case SegmentAccess::User: return 0600;
        case SegmentAccess::UserPublished: return 0644;
    }
    return 0600;
}

bool segment_writable(Machine& machine, const Segment& segment) {
    switch (segment.access) {
        case SegmentAccess::Administrators:
        case SegmentAccess::AdministratorsOnly: return machine.caller_is_administrator();
        case SegmentAccess::Everyone: return true;
        case SegmentAccess::User:
        case SegmentAccess::UserPublished: return geteuid() == 0 || geteuid() == segment.user;
    }
    return false;
}

namespace {

// What is wrong with a segment's file; empty when nothing is.
std::string segment_fault(const Machine& machine, const Segment& segment, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    const std::string owner = "owned by uid " + std::to_string(st.st_uid);
    const mode_t mode = st.st_mode & 0777;
    switch (segment.access) {
        case SegmentAccess::Administrators:
        case SegmentAccess::AdministratorsOnly:
        case SegmentAccess::Everyone:
            if (segment.admin_folder && !is_admin_owner(machine, st.st_uid))
                return owner + ", not by the root's owner or the superuser";
            break;
        case SegmentAccess::User:
        case SegmentAccess::UserPublished:
            if (st.st_uid != segment.user) return owner + ", not by uid " + std::to_string(segment.user);
            break;
    }
    mode_t others_may_not = 0;
    switch (segment.access) {
        case SegmentAccess::Administrators:
        case SegmentAccess::UserPublished: others_may_not = 022; break;
        case SegmentAccess::AdministratorsOnly:
        case SegmentAccess::User: others_may_not = 077; break;
        case SegmentAccess::Everyone:
            // Every user's: another's that keeps some users out is not (a
            // creator's own 0600 file is one it is still making).
            if ((mode & 0666) != 0666 && st.st_uid != geteuid())
                return owner + ", mode " + mode_text(mode) + ": not every user may write it";
            break;
    }
    if (mode & others_may_not) return owner + ", mode " + mode_text(mode) + " lets other users in";
    return {};
}

}  // namespace

int admin_folder_fd(Machine& machine, bool create) {
    AdminFolder& folder = machine.area<AdminFolder>(Area::Segments);
    std::lock_guard<std::mutex> lock(folder.mutex);
    if (folder.fd >= 0) return folder.fd;
    const bool admin = machine.caller_is_administrator();
    int64_t now = monotonic_ns();
    // Another user looks at most every 100 ms while there is none yet.
    if (!admin && now - folder.last_scan_ns < kFolderScanIntervalNs) return fail(ERROR_FILE_NOT_FOUND, -1);
    folder.last_scan_ns = now;
    std::string path;
    int fd = admin ? find_or_make_folder(machine, create, &path) : scan_for_folder(machine, &path);
    if (fd < 0) return fail(errno == ENOENT ? DWORD(ERROR_FILE_NOT_FOUND) : win32_from_errno(errno), -1);
    folder.fd = fd;
    folder.path = path;
    return fd;
}

bool open_segment(Machine& machine, const Segment& segment, SegmentOpen how, OpenedSegment* out) {
    *out = OpenedSegment{};
    const bool writable = segment_writable(machine, segment);
    if (how == SegmentOpen::Fresh && !writable) return fail(ERROR_ACCESS_DENIED, false);
    const bool may_create = writable && how != SegmentOpen::Existing;
    int dirfd = -1;
    if (segment.admin_folder) {
        dirfd = admin_folder_fd(machine, may_create);
        if (dirfd < 0) return false;
    }
    const std::string name = segment.admin_folder ? segment.what : machine.shm_name(segment.what);
    auto open_as = [&](int flags) {
        return segment.admin_folder ? sys::shm_openat(dirfd, name.c_str(), flags, 0600)
                                    : sys::shm_open(name.c_str(), flags, 0600);
    };
    if (how == SegmentOpen::Fresh)
        segment.admin_folder ? sys::shm_unlinkat(dirfd, name.c_str()) : sys::shm_unlink(name.c_str());

    const int access = writable ? O_RDWR : O_RDONLY;
    int fd = -1;
    for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
        if (how != SegmentOpen::Fresh) {
            fd = open_as(access);
            if (fd >= 0 || errno != ENOENT || !may_create) break;
        }
        fd = open_as(access | O_CREAT | O_EXCL);
        if (fd >= 0) out->created = true;
        else if (errno != EEXIST) break;
    }
    if (fd < 0) {
        // A segment under construction (still 0600) is not there yet for
        // those who may only read it.
        if (errno == EACCES && !writable && segment.admin_folder) return fail(ERROR_FILE_NOT_FOUND, false);
        return fail(errno == ENOENT ? DWORD(ERROR_FILE_NOT_FOUND) : win32_from_errno(errno), false);
    }
    struct stat st;
    if (sys::fstat(fd, &st) < 0) {
        int e = errno;
        sys::close(fd);
        return fail_errno(e, false);
    }
    std::string fault = segment_fault(machine, segment, st);
    // Another user's segment that everyone may use is given its final mode
    // once its creator has made it: a moment for a creator at work.
    for (int wait = 0; !fault.empty() && segment.access == SegmentAccess::Everyone && (st.st_mode & 0777) == 0600 &&
                       wait < 5;
         ++wait) {
        struct timespec pause = {0, 20'000'000};
        nanosleep(&pause, nullptr);
        if (sys::fstat(fd, &st) < 0) break;
        fault = segment_fault(machine, segment, st);
    }
    if (!fault.empty()) {
        sys::close(fd);
        report_refused_segment(segment_path(machine, segment), fault.c_str());
        return fail(ERROR_ACCESS_DENIED, false);
    }
    out->fd = fd;
    out->writable = writable;
    out->size = size_t(st.st_size);
    return true;
}

void publish_segment(Machine& machine, const Segment& segment, int fd) {
    const bool administrators = segment.access == SegmentAccess::Administrators ||
                                segment.access == SegmentAccess::AdministratorsOnly ||
                                (segment.admin_folder && segment.access == SegmentAccess::Everyone);
    if (administrators && geteuid() == 0 && admin_uid(machine) != 0) sys::fchown(fd, admin_uid(machine), gid_t(-1));
    sys::fchmod(fd, segment_mode(segment.access));
}

bool remove_segment(Machine& machine, const Segment& segment) {
    if (!segment.admin_folder) return sys::shm_unlink(machine.shm_name(segment.what).c_str()) == 0;
    int dirfd = admin_folder_fd(machine, false);
    return dirfd >= 0 && sys::shm_unlinkat(dirfd, segment.what.c_str()) == 0;
}

std::string segment_path(Machine& machine, const Segment& segment) {
    if (!segment.admin_folder) return "/dev/shm" + machine.shm_name(segment.what);
    AdminFolder& folder = machine.area<AdminFolder>(Area::Segments);
    std::lock_guard<std::mutex> lock(folder.mutex);
    return (folder.path.empty() ? "/dev/shm/" + root_prefix(machine) + "<administrators' folder>" : folder.path) +
           "/" + segment.what;
}

void remove_admin_folders(const std::string& root, const std::string& prefix) {
    std::vector<std::string> names;
    if (sys::list_folder("/dev/shm", &names) == 0) {
        for (const std::string& n : names) {
            if (!is_folder_name(prefix, n)) continue;
            struct stat st;
            std::string path = "/dev/shm/" + n;
            if (sys::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_tree(path);
        }
    }
    if (sys::list_folder(root.c_str(), &names) == 0)
        for (const std::string& n : names)
            if (n.rfind(kKeyFilePrefix, 0) == 0) sys::unlink((root + "/" + n).c_str());
}

QuietRefusals::QuietRefusals() : was_(t_reporting) { t_reporting = true; }

QuietRefusals::~QuietRefusals() { t_reporting = was_; }

void report_refused_segment(const std::string& path, const char* why) {
    if (t_reporting) return;
    static std::mutex* mutex = new std::mutex;
    static auto* reported = new std::set<std::string>;
    {
        std::lock_guard<std::mutex> lock(*mutex);
        if (!reported->insert(path).second) return;
    }
    t_reporting = true;
    std::string text = "w32rt: refused shared memory " + path + ": " + why +
                       ". Another user made it before its rightful owner could; it is not used. Remove it (as "
                       "its owner or the superuser: rm " + path + ") and start the program again.\n";
    OutputDebugStringA(text.c_str());
    t_reporting = false;
}

}  // namespace w32rt
