// Files by name and folders: delete, copy, move, create and remove folders,
// attributes, and the current, temporary and full paths.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/path.h"
#include "core/strings.h"
#include "core/sys.h"
#include "core/clock.h"
#include "files/file_info.h"
#include "files/file_object.h"

namespace {

using namespace w32rt;
using namespace w32rt::files;

bool is_separator(char c) { return c == '\\' || c == '/'; }

std::string parent_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Copies the data of an existing file to a new or overwritten one, as
// CopyFileA does: the source is opened for reading shared with readers and
// deleters only (a file open for writing cannot be copied), the target
// exclusively. The copy keeps the source's last-write time; it gets a
// creation time of its own unless keep_creation (a move between file
// systems). A failed copy leaves no target behind.
DWORD copy_file(const std::string& from, const std::string& to, bool replace, bool keep_creation,
                bool write_through) {
    bool existed = false;
    OpenRequest in;
    in.path = from;
    in.access = GENERIC_READ;
    in.share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    in.disposition = OPEN_EXISTING;
    in.flags = FILE_FLAG_SEQUENTIAL_SCAN;
    FilePtr source = open_file(in, &existed);
    if (!source) return GetLastError();
    FileInfo info;
    if (!info_of_fd(source->fd(), &info)) return win32_from_errno(errno);

    OpenRequest out;
    out.path = to;
    out.access = GENERIC_WRITE;
    out.share = 0;
    out.disposition = replace ? CREATE_ALWAYS : CREATE_NEW;
    out.flags = (info.attributes & FILE_ATTRIBUTE_READONLY) ? FILE_ATTRIBUTE_READONLY : 0;
    FilePtr target = open_file(out, &existed);
    if (!target) return GetLastError();

    DWORD error = 0;
    constexpr size_t kChunk = 128 * 1024;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    for (;;) {
        ssize_t n = sys::read(source->fd(), buffer.get(), kChunk);
        if (n < 0) {
            error = win32_from_errno(errno);
            break;
        }
        if (n == 0) break;
        if (sys::write_all(target->fd(), buffer.get(), size_t(n)) < 0) {
            error = win32_from_errno(errno);
            break;
        }
    }
    if (!error) {
        struct timespec times[2] = {clock::to_timespec(clock::now()), clock::to_timespec(info.last_write)};
        sys::futimens(target->fd(), times);
        if (keep_creation) set_creation_time(target->fd(), info.creation);
        if (write_through && (sys::fsync(target->fd()) < 0 || sys::fsync_parent(to.c_str()) < 0))
            error = win32_from_errno(errno);
    }
    if (error) {
        struct stat st;
        if (sys::lstat(to.c_str(), &st) == 0 && st.st_ino == target->inode && st.st_dev == target->device)
            sys::unlink(to.c_str());
    }
    return error;
}

// The current folder, the Windows way when it lies in a drive of the root.
std::string current_folder() {
    char buf[4096];
    if (!sys::getcwd(buf, sizeof buf)) return {};
    return unmap_path(buf);
}

// The absolute, normalised form of a path, without touching the file
// system. Windows paths stay Windows paths (backslashes), POSIX paths POSIX;
// a relative path takes the style of the current folder.
std::string full_path_of(std::string_view in) {
    if (in.substr(0, 4) == "\\\\?\\") return std::string(in);  // verbatim by definition
    std::string prefix;
    char sep = '\\';
    std::string_view rest;
    std::string storage;
    if (in.size() >= 2 && in[0] == '\\' && in[1] == '\\') {
        // \\server\share: the share is the root nothing climbs above.
        size_t server_end = in.find_first_of("\\/", 2);
        size_t share_end = server_end == std::string_view::npos ? in.size() : in.find_first_of("\\/", server_end + 1);
        if (share_end == std::string_view::npos) share_end = in.size();
        prefix = std::string(in.substr(0, share_end));
        for (char& c : prefix)
            if (c == '/') c = '\\';
        rest = in.substr(share_end);
    } else if (in.size() >= 2 && in[1] == ':') {
        prefix = std::string(in.substr(0, 2));
        rest = in.substr(2);
        if (rest.empty() || !is_separator(rest[0])) {
            // Relative to the drive's current folder: the current folder
            // when it is on that drive, else the drive's root.
            std::string cwd = current_folder();
            if (cwd.size() >= 2 && cwd[1] == ':' && ascii_lower(cwd[0]) == ascii_lower(in[0])) {
                storage = cwd.substr(2) + "\\" + std::string(rest);
                rest = storage;
            }
        }
    } else if (in[0] == '\\') {
        std::string cwd = current_folder();
        prefix = (cwd.size() >= 2 && cwd[1] == ':') ? cwd.substr(0, 2) : std::string("C:");
        rest = in;
    } else if (in[0] == '/') {
        sep = '/';
        rest = in;
    } else {
        std::string cwd = current_folder();
        if (cwd.empty()) return {};
        return full_path_of(cwd + (cwd[0] == '/' ? "/" : "\\") + std::string(in));
    }

    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = rest.size();
        std::string_view part = rest.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out = prefix;
    for (std::string_view part : parts) {
        out += sep;
        out += part;
    }
    if (parts.empty() || is_separator(in.back())) out += sep;
    return out;
}

// Copies a result into a caller's buffer the way the path functions do:
// the length without the terminating zero, or the size needed with it.
DWORD return_path(const std::string& path, DWORD size, LPSTR buffer) {
    if (path.size() < size) {
        memcpy(buffer, path.c_str(), path.size() + 1);
        return DWORD(path.size());
    }
    return DWORD(path.size() + 1);
}

}  // namespace

extern "C" {

// A file open without FILE_SHARE_DELETE cannot be deleted, in this process
// or another. Deleting a file others hold open (sharing deletion) removes
// its name at once; Windows would keep the name until the last handle
// closes.
W32RT_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    std::string path;
    if (!map_caller_path(lpFileName, &path)) return FALSE;
    struct stat st;
    if (sys::lstat(path.c_str(), &st) < 0) return fail(error_for_path(path, errno), FALSE);
    if (S_ISDIR(st.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) return fail(ERROR_ACCESS_DENIED, FALSE);  // read-only
    DWORD e = with_delete_access({path}, [&]() -> DWORD {
        if (sys::unlink(path.c_str()) == 0) return 0;
        return errno == EISDIR ? DWORD(ERROR_ACCESS_DENIED) : error_for_path(path, errno);
    });
    return e ? fail(e, FALSE) : TRUE;
}

W32RT_API BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    std::string from, to;
    if (!map_caller_path(lpExistingFileName, &from) || !map_caller_path(lpNewFileName, &to)) return FALSE;
    DWORD e = copy_file(from, to, !bFailIfExists, false, false);
    return e ? fail(e, FALSE) : TRUE;
}

W32RT_API BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return MoveFileExA(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

// Renames never replace silently: without MOVEFILE_REPLACE_EXISTING the
// rename itself refuses an existing target (renameat2 RENAME_NOREPLACE), so
// a target created by someone else meanwhile is not lost. A folder is never
// replaced, nor does a folder replace a file, and a device, pipe or socket
// is never replaced either; a target that cannot be looked at is not
// replaced blindly. The file moved, and a file replaced, must not be open
// without FILE_SHARE_DELETE.
W32RT_API BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!lpExistingFileName || !lpNewFileName) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (dwFlags & ~DWORD(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::string from, to;
    if (!map_caller_path(lpExistingFileName, &from) || !map_caller_path(lpNewFileName, &to)) return FALSE;
    const bool replace = dwFlags & MOVEFILE_REPLACE_EXISTING;
    const bool write_through = dwFlags & MOVEFILE_WRITE_THROUGH;

    struct stat src;
    if (sys::lstat(from.c_str(), &src) < 0) return fail(error_for_path(from, errno), FALSE);
    struct stat dst;
    bool target_exists = sys::lstat(to.c_str(), &dst) == 0;
    // A target that could not be looked at is not replaced blindly.
    if (!target_exists && errno != ENOENT) return fail(error_for_path(to, errno), FALSE);
    if (target_exists && dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
        // The target names the source itself: the case-insensitive mapping
        // found it under the new spelling. Only the spelling changes.
        std::string_view written(lpNewFileName);
        size_t cut = written.find_last_of("\\/");
        std::string name(cut == std::string_view::npos ? written : written.substr(cut + 1));
        std::string respelled = parent_of(to) + "/" + name;
        if (name.empty() || respelled == to) return TRUE;
        to = respelled;
        target_exists = false;
    }
    if (target_exists) {
        if (!replace) return fail(ERROR_ALREADY_EXISTS, FALSE);
        if (S_ISDIR(dst.st_mode) || S_ISDIR(src.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
        // Nor is a device, a pipe or a socket: only files (and links) are.
        if (!S_ISREG(dst.st_mode) && !S_ISLNK(dst.st_mode)) return fail(ERROR_ACCESS_DENIED, FALSE);
    }

    std::vector<std::string> guarded = {from};
    if (replace) guarded.push_back(to);
    DWORD e = with_delete_access(guarded, [&]() -> DWORD {
        int rc = replace ? sys::rename(from.c_str(), to.c_str()) : sys::rename_noreplace(from.c_str(), to.c_str());
        if (rc == 0) return 0;
        switch (errno) {
            case EEXIST:
            case ENOTEMPTY: return ERROR_ALREADY_EXISTS;
            case EXDEV: return ERROR_NOT_SAME_DEVICE;
            case EISDIR:
            case ENOTDIR: return ERROR_ACCESS_DENIED;
            case ENOENT: {
                struct stat again;
                return sys::lstat(from.c_str(), &again) < 0 ? error_for_path(from, ENOENT) : error_for_path(to, ENOENT);
            }
            default: return win32_from_errno(errno);
        }
    });
    if (e == ERROR_NOT_SAME_DEVICE && (dwFlags & MOVEFILE_COPY_ALLOWED) && S_ISREG(src.st_mode)) {
        // Another file system: copy (keeping the creation time, it is the
        // same file to the caller), then delete the source; if the source
        // cannot go, neither does the copy stay.
        e = copy_file(from, to, replace, true, write_through);
        if (e == ERROR_FILE_EXISTS) e = ERROR_ALREADY_EXISTS;
        if (!e) {
            e = with_delete_access({from}, [&]() -> DWORD {
                return sys::unlink(from.c_str()) == 0 ? 0 : error_for_path(from, errno);
            });
            if (e) sys::unlink(to.c_str());
        }
    }
    if (e) return fail(e, FALSE);
    // Both folders are flushed, the one folder of a rename in place once.
    if (write_through && (sys::fsync_parent(to.c_str()) < 0 ||
                          (parent_of(from) != parent_of(to) && sys::fsync_parent(from.c_str()) < 0)))
        return fail_errno(errno, FALSE);
    return TRUE;
}

W32RT_API BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    std::string path;
    if (!map_caller_path(lpPathName, &path)) return FALSE;
    if (sys::mkdir(path.c_str(), 0755) < 0) {
        if (errno == EEXIST) return fail(ERROR_ALREADY_EXISTS, FALSE);
        if (errno == ENOENT || errno == ENOTDIR) return fail(ERROR_PATH_NOT_FOUND, FALSE);
        return fail_errno(errno, FALSE);
    }
    int fd = sys::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        stamp_new_file(fd);
        sys::close(fd);
    }
    return TRUE;
}

W32RT_API BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) {
    std::string path;
    if (!map_caller_path(lpPathName, &path)) return FALSE;
    if (sys::rmdir(path.c_str()) == 0) return TRUE;
    switch (errno) {
        case ENOTEMPTY:
        case EEXIST: return fail(ERROR_DIR_NOT_EMPTY, FALSE);
        case ENOTDIR: {
            struct stat st;
            bool names_a_file = sys::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
            return fail(names_a_file ? DWORD(ERROR_DIRECTORY) : DWORD(ERROR_PATH_NOT_FOUND), FALSE);
        }
        default: return fail(error_for_path(path, errno), FALSE);
    }
}

W32RT_API DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    std::string path;
    if (!map_caller_path(lpFileName, &path)) return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = 0;
    if (!attributes_of_path(path, &attributes)) return fail(error_for_path(path, errno), INVALID_FILE_ATTRIBUTES);
    return attributes;
}

W32RT_API BOOL WINAPI GetFileAttributesExA(LPCSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId,
                                           LPVOID lpFileInformation) {
    if (fInfoLevelId != GetFileExInfoStandard || !lpFileInformation) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::string path;
    if (!map_caller_path(lpFileName, &path)) return FALSE;
    FileInfo info;
    if (!info_of_path(path, &info)) return fail(error_for_path(path, errno), FALSE);
    fill_attribute_data(info, static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(lpFileInformation));
    return TRUE;
}

// TMP, then TEMP as on Windows, then the POSIX TMPDIR, then /tmp; always
// ending with a separator of the path's own kind.
W32RT_API DWORD WINAPI GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
    if (!lpBuffer && nBufferLength) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    std::string path;
    for (const char* name : {"TMP", "TEMP", "TMPDIR"}) {
        const char* value = getenv(name);
        if (value && *value) {
            path = full_path_of(value);
            if (!path.empty()) break;
        }
    }
    if (path.empty()) path = "/tmp/";
    char sep = is_windows_path(path) ? '\\' : '/';
    if (!is_separator(path.back())) path += sep;
    return return_path(path, nBufferLength, lpBuffer);
}

W32RT_API DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    if (!lpBuffer && nBufferLength) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    std::string path = current_folder();
    if (path.empty()) return fail_errno(errno, DWORD(0));
    return return_path(path, nBufferLength, lpBuffer);
}

W32RT_API DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
    if (!lpFileName || (!lpBuffer && nBufferLength)) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    if (!*lpFileName) return fail(ERROR_INVALID_NAME, DWORD(0));
    std::string path = full_path_of(lpFileName);
    if (path.empty()) return fail_errno(errno, DWORD(0));
    DWORD n = return_path(path, nBufferLength, lpBuffer);
    if (n < nBufferLength && lpFilePart) {
        size_t cut = path.find_last_of("\\/");
        *lpFilePart = cut + 1 < path.size() ? lpBuffer + cut + 1 : nullptr;
    }
    return n;
}

}  // extern "C"
