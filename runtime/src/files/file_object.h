// Open files: the object behind a file HANDLE, and the open that CreateFileA,
// CopyFileA and MoveFileExA share.
//
// A handle owns one open file description. Its file pointer is the
// description's offset, its share reservation the description's locks
// (files/share_modes.h), so duplicated handles share both, as on Windows.
// Nothing about the caller's rights is cached: every call acts with the
// calling thread's file-system identity (impersonation switches it per
// thread).
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/handle_table.h"

namespace w32rt::files {

class FileObject : public KernelObject {
public:
    FileObject(int fd, std::string path) : KernelObject(ObjectKind::File), fd_(fd), path_(std::move(path)) {}
    ~FileObject() override;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

    bool directory = false;
    // Opened O_PATH: no data, attributes only.
    bool path_only = false;
    // FILE_FLAG_DELETE_ON_CLOSE: the name goes when the last handle does,
    // if it still names this file then.
    bool delete_on_close = false;
    dev_t device = 0;
    ino_t inode = 0;

private:
    const int fd_;
    const std::string path_;
};

using FilePtr = std::shared_ptr<FileObject>;

// File-specific rights of GENERIC_* bits, as the file object's generic
// mapping gives them.
DWORD map_generic_access(DWORD access);

struct OpenRequest {
    std::string path;  // already mapped
    DWORD access = 0;  // as given (generic bits allowed)
    DWORD share = 0;
    DWORD disposition = 0;
    DWORD flags = 0;  // FILE_FLAG_* and FILE_ATTRIBUTE_*
};

// Opens as CreateFileA does. On success *existed tells whether the file was
// there before (for ERROR_ALREADY_EXISTS); on failure null, last error set.
FilePtr open_file(const OpenRequest& request, bool* existed);

// Win32 status of a failed operation on path: ENOENT becomes
// ERROR_FILE_NOT_FOUND when the folder exists, else ERROR_PATH_NOT_FOUND.
DWORD error_for_path(const std::string& path, int err);

// Windows refuses names with wildcard or reserved characters.
bool valid_file_name(std::string_view name);

// Maps a caller's path, setting the last error when it cannot be mapped.
bool map_caller_path(const char* name, std::string* mapped);

// Runs action while no open of the files at paths refuses to share
// deletion, as deleting, renaming or replacing a file requires on Windows.
// Each file's gate is held (in inode order) from its check until action has
// returned, so no conflicting open can slip in between. Paths that are
// missing, folders, links or unreadable are not checked. Returns
// ERROR_SHARING_VIOLATION, or what action returns (0 or a Win32 status).
DWORD with_delete_access(const std::vector<std::string>& paths, const std::function<DWORD()>& action);

}  // namespace w32rt::files
