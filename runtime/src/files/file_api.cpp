// File handles: CreateFileA and the calls that act on an open file.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "core/error.h"
#include "core/sys.h"
#include "core/clock.h"
#include "files/file_info.h"
#include "files/file_object.h"

namespace {

using namespace w32rt;
using namespace w32rt::files;

// NTSTATUS values an OVERLAPPED reports.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusEndOfFile = 0xC0000011;
// OVERLAPPED offset meaning "at the end of the file".
constexpr uint64_t kWriteAtEnd = 0xFFFFFFFFFFFFFFFFull;

FilePtr lookup_file(HANDLE handle, DWORD* access) {
    FilePtr file = HandleTable::instance().lookup_as<FileObject>(handle, ObjectKind::File, access);
    if (file) *access = map_generic_access(*access);
    return file;
}

uint64_t overlapped_offset(const OVERLAPPED* ov) { return (uint64_t(ov->OffsetHigh) << 32) | ov->Offset; }

// An OVERLAPPED's event is reset when a transfer starts and set when it
// completes, as for any transfer given one. The low bit of the handle only
// keeps completion ports away and is not part of it.
HANDLE overlapped_event(const OVERLAPPED* ov) {
    return ov ? reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(ov->hEvent) & ~uintptr_t(1)) : nullptr;
}

// Writes made through the runtime carry its clock's time while the test
// clock is shifted; otherwise the kernel's stamp stands.
void stamp_write_time(int fd) {
    if (!clock::offset_active()) return;
    struct timespec times[2] = {{0, UTIME_OMIT}, clock::to_timespec(clock::now())};
    sys::futimens(fd, times);
}

bool file_size(int fd, uint64_t* size) {
    struct stat st;
    if (sys::fstat(fd, &st) < 0) return false;
    *size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    return true;
}

// Applies times to a descriptor that may be O_PATH.
int set_times(int fd, const struct timespec times[2]) {
    if (sys::futimens(fd, times) == 0) return 0;
    if (errno != EBADF) return -1;
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return sys::utimensat(AT_FDCWD, proc, times, 0);
}

// Moves the file pointer; the new position, or -1 with the last error set.
int64_t move_pointer(const FileObject& file, int64_t distance, DWORD method) {
    int64_t base;
    if (method == FILE_BEGIN) {
        base = 0;
    } else if (method == FILE_CURRENT) {
        off_t cur = sys::lseek(file.fd(), 0, SEEK_CUR);
        if (cur < 0) return fail_errno(errno, int64_t(-1));
        base = cur;
    } else if (method == FILE_END) {
        uint64_t size;
        if (!file_size(file.fd(), &size)) return fail_errno(errno, int64_t(-1));
        base = int64_t(size);
    } else {
        return fail(ERROR_INVALID_PARAMETER, int64_t(-1));
    }
    int64_t target;
    if (__builtin_add_overflow(base, distance, &target)) return fail(ERROR_INVALID_PARAMETER, int64_t(-1));
    if (target < 0) return fail(ERROR_NEGATIVE_SEEK, int64_t(-1));
    if (sys::lseek(file.fd(), off_t(target), SEEK_SET) < 0) return fail_errno(errno, int64_t(-1));
    return target;
}

}  // namespace

extern "C" {

W32RT_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                    LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                    DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    OpenRequest request;
    if (!map_caller_path(lpFileName, &request.path)) return INVALID_HANDLE_VALUE;
    if (dwShareMode & ~DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    // Asynchronous handles need completion machinery the runtime does not
    // have; refusing them beats handles whose I/O silently blocks.
    if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) return fail(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
    request.access = dwDesiredAccess;
    request.share = dwShareMode;
    request.disposition = dwCreationDisposition;
    request.flags = dwFlagsAndAttributes;
    bool existed = false;
    FilePtr file = open_file(request, &existed);
    if (!file) return INVALID_HANDLE_VALUE;
    DWORD access = map_generic_access(dwDesiredAccess);
    if (file->delete_on_close) access |= DELETE;
    bool inherit = lpSecurityAttributes && lpSecurityAttributes->bInheritHandle;
    HANDLE handle = HandleTable::instance().insert(std::move(file), access, inherit);
    if (!handle) return INVALID_HANDLE_VALUE;
    bool report_existing =
        existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(report_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

W32RT_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                               LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    if ((!lpNumberOfBytesRead && !lpOverlapped) || (!lpBuffer && nNumberOfBytesToRead))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!(access & FILE_READ_DATA)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (file->directory) return fail(ERROR_INVALID_FUNCTION, FALSE);

    char* out = static_cast<char*>(lpBuffer);
    size_t done = 0;
    const bool positioned = lpOverlapped != nullptr;
    const HANDLE event = overlapped_event(lpOverlapped);
    if (event) ResetEvent(event);
    const uint64_t offset = positioned ? overlapped_offset(lpOverlapped) : 0;
    if (positioned && offset > uint64_t(std::numeric_limits<off_t>::max()))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    // Files return every byte asked for up to the end; a short read of the
    // kernel is continued.
    while (done < nNumberOfBytesToRead) {
        ssize_t n = positioned ? sys::pread(file->fd(), out + done, nNumberOfBytesToRead - done, off_t(offset + done))
                               : sys::read(file->fd(), out + done, nNumberOfBytesToRead - done);
        if (n < 0) {
            if (lpNumberOfBytesRead) *lpNumberOfBytesRead = DWORD(done);
            return fail_errno(errno, FALSE);
        }
        if (n == 0) break;
        done += size_t(n);
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = DWORD(done);
    if (positioned) {
        lpOverlapped->InternalHigh = done;
        // A positioned read wholly past the end fails; on a synchronous
        // handle the file pointer follows the transfer.
        if (done == 0 && nNumberOfBytesToRead > 0) {
            lpOverlapped->Internal = kStatusEndOfFile;
            if (event) SetEvent(event);
            return fail(ERROR_HANDLE_EOF, FALSE);
        }
        lpOverlapped->Internal = kStatusSuccess;
        sys::lseek(file->fd(), off_t(offset + done), SEEK_SET);
        if (event) SetEvent(event);
    }
    return TRUE;
}

W32RT_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    if ((!lpNumberOfBytesWritten && !lpOverlapped) || (!lpBuffer && nNumberOfBytesToWrite))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!(access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (file->directory) return fail(ERROR_INVALID_FUNCTION, FALSE);
    if (nNumberOfBytesToWrite == 0) {
        if (lpOverlapped) {
            lpOverlapped->Internal = kStatusSuccess;
            lpOverlapped->InternalHigh = 0;
            if (HANDLE event = overlapped_event(lpOverlapped)) SetEvent(event);
        }
        return TRUE;
    }

    const char* in = static_cast<const char*>(lpBuffer);
    const bool positioned = lpOverlapped != nullptr;
    const HANDLE event = overlapped_event(lpOverlapped);
    if (event) ResetEvent(event);
    uint64_t offset = positioned ? overlapped_offset(lpOverlapped) : 0;
    if (positioned && offset == kWriteAtEnd && !file_size(file->fd(), &offset)) return fail_errno(errno, FALSE);
    if (positioned && offset > uint64_t(std::numeric_limits<off_t>::max()))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    // An append-only handle's descriptor is O_APPEND: every write, even a
    // positioned one, lands at the end.
    size_t done = 0;
    while (done < nNumberOfBytesToWrite) {
        ssize_t n = positioned
                        ? sys::pwrite(file->fd(), in + done, nNumberOfBytesToWrite - done, off_t(offset + done))
                        : sys::write(file->fd(), in + done, nNumberOfBytesToWrite - done);
        if (n < 0 || n == 0) {
            int err = n < 0 ? errno : ENOSPC;
            if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = DWORD(done);
            if (positioned) lpOverlapped->InternalHigh = done;
            if (done) stamp_write_time(file->fd());
            return fail_errno(err, FALSE);
        }
        done += size_t(n);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = DWORD(done);
    if (positioned) {
        lpOverlapped->Internal = kStatusSuccess;
        lpOverlapped->InternalHigh = done;
        if (!(sys::status_flags(file->fd()) & O_APPEND)) sys::lseek(file->fd(), off_t(offset + done), SEEK_SET);
        if (event) SetEvent(event);
    }
    stamp_write_time(file->fd());
    return TRUE;
}

// Without lpDistanceToMoveHigh the distance is a signed 32-bit value and the
// result must fit in 32 bits. A result whose low part is
// INVALID_SET_FILE_POINTER is told from a failure by a last error of 0.
W32RT_API DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                      DWORD dwMoveMethod) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return INVALID_SET_FILE_POINTER;
    int64_t distance = lpDistanceToMoveHigh
                           ? int64_t((uint64_t(uint32_t(*lpDistanceToMoveHigh)) << 32) | uint32_t(lDistanceToMove))
                           : int64_t(lDistanceToMove);
    if (!lpDistanceToMoveHigh && dwMoveMethod <= FILE_END) {
        // Check the 32-bit limit before moving, so a refused move leaves the
        // pointer where it was.
        int64_t base = 0;
        if (dwMoveMethod == FILE_CURRENT) base = sys::lseek(file->fd(), 0, SEEK_CUR);
        uint64_t size = 0;
        if (dwMoveMethod == FILE_END && file_size(file->fd(), &size)) base = int64_t(size);
        if (base + distance > int64_t(0xFFFFFFFF)) return fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    int64_t position = move_pointer(*file, distance, dwMoveMethod);
    if (position < 0) return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = LONG(uint64_t(position) >> 32);
    DWORD low = DWORD(position);
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return low;
}

W32RT_API BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                                       DWORD dwMoveMethod) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    int64_t position = move_pointer(*file, liDistanceToMove.QuadPart, dwMoveMethod);
    if (position < 0) return FALSE;
    if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
    return TRUE;
}

W32RT_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return INVALID_FILE_SIZE;
    uint64_t size;
    if (!file_size(file->fd(), &size)) return fail_errno(errno, INVALID_FILE_SIZE);
    if (lpFileSizeHigh) *lpFileSizeHigh = DWORD(size >> 32);
    DWORD low = DWORD(size);
    if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
    return low;
}

W32RT_API BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    if (!lpFileSize) return fail(ERROR_INVALID_PARAMETER, FALSE);
    uint64_t size;
    if (!file_size(file->fd(), &size)) return fail_errno(errno, FALSE);
    lpFileSize->QuadPart = int64_t(size);
    return TRUE;
}

W32RT_API BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                                  LPFILETIME lpLastWriteTime) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    if (!(access & FILE_READ_ATTRIBUTES)) return fail(ERROR_ACCESS_DENIED, FALSE);
    FileInfo info;
    if (!info_of_fd(file->fd(), &info)) return fail_errno(errno, FALSE);
    if (lpCreationTime) *lpCreationTime = clock::to_filetime(info.creation);
    if (lpLastAccessTime) *lpLastAccessTime = clock::to_filetime(info.last_access);
    if (lpLastWriteTime) *lpLastWriteTime = clock::to_filetime(info.last_write);
    return TRUE;
}

// A null time, or a time of 0, leaves that time as it is. The value
// 0xFFFFFFFF:FFFFFFFF, which on Windows suspends later automatic updates
// for the handle, leaves it as it is too.
W32RT_API BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                                  const FILETIME* lpLastWriteTime) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    if (!(access & FILE_WRITE_ATTRIBUTES)) return fail(ERROR_ACCESS_DENIED, FALSE);
    auto given = [](const FILETIME* ft, uint64_t* ticks) {
        if (!ft) return false;
        *ticks = clock::from_filetime(*ft);
        return *ticks != 0 && *ticks != ~uint64_t(0);
    };
    uint64_t creation = 0, last_access = 0, last_write = 0;
    bool set_creation = given(lpCreationTime, &creation);
    bool set_access = given(lpLastAccessTime, &last_access);
    bool set_write = given(lpLastWriteTime, &last_write);
    const uint64_t limit = 0x7FFFFFFFFFFFFFFFull;
    if ((set_creation && creation > limit) || (set_access && last_access > limit) || (set_write && last_write > limit))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (set_access || set_write) {
        struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if (set_access) times[0] = clock::to_timespec(last_access);
        if (set_write) times[1] = clock::to_timespec(last_write);
        if (set_times(file->fd(), times) < 0) return fail_errno(errno, FALSE);
    }
    if (set_creation && !set_creation_time(file->fd(), creation)) return fail_errno(errno, FALSE);
    return TRUE;
}

W32RT_API BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    if (!(access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (sys::fsync(file->fd()) < 0) return fail_errno(errno, FALSE);
    return TRUE;
}

W32RT_API BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    DWORD access = 0;
    FilePtr file = lookup_file(hFile, &access);
    if (!file) return FALSE;
    if (!(access & FILE_WRITE_DATA)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (file->directory) return fail(ERROR_INVALID_FUNCTION, FALSE);
    off_t position = sys::lseek(file->fd(), 0, SEEK_CUR);
    if (position < 0) return fail_errno(errno, FALSE);
    if (sys::ftruncate(file->fd(), position) < 0) return fail_errno(errno, FALSE);
    stamp_write_time(file->fd());
    return TRUE;
}

}  // extern "C"
