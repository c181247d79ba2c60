#include "core/root_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/path.h"
#include "core/sys.h"

namespace w32rt::root_files {

namespace {

constexpr char kMarkerText[] = "w32rt machine root: the registry, drives and shared objects of one machine\n";

// The registry's files, the database last: a root whose database is gone but
// whose lock file stays is taken for one that lost its registry.
const char* const kRegistryFiles[] = {"registry.db-wal", "registry.db-shm", "registry.db-journal", kRegistryInit,
                                      kRegistry};

}  // namespace

void write_marker(const std::string& root) {
    std::string path = root + "/" + kMarker;
    int fd = sys::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return;
    sys::fchmod(fd, 0644);
    bool whole = sys::write_all(fd, kMarkerText, sizeof kMarkerText - 1) == ssize_t(sizeof kMarkerText - 1);
    sys::close(fd);
    // A torn marker still marks the root; an empty one made by a crash is
    // as good.
    (void)whole;
}

bool is_root(const std::string& root) {
    struct stat st;
    if (sys::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    std::string marker = root + "/" + kMarker;
    return sys::lstat(marker.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool remove_runtime_files(const std::string& root) {
    int failed = 0;
    for (const char* name : kRegistryFiles) {
        std::string path = root + "/" + name;
        if (sys::unlink(path.c_str()) < 0 && errno != ENOENT && failed == 0) failed = errno;
    }
    std::string drives = root + "/drives";
    remove_tree(drives);
    struct stat st;
    if (sys::lstat(drives.c_str(), &st) == 0 && failed == 0) failed = ENOTEMPTY;
    if (failed == 0) {
        std::string marker = root + "/" + kMarker;
        if (sys::unlink(marker.c_str()) < 0 && errno != ENOENT) failed = errno;
    }
    if (failed != 0) {
        errno = failed;
        return false;
    }
    // The folder goes only when the runtime's files were all it held.
    if (sys::rmdir(root.c_str()) < 0 && errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) return false;
    return true;
}

}  // namespace w32rt::root_files
