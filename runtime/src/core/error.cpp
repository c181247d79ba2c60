#include "core/error.h"

#include <errno.h>

namespace w32rt {

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}  // namespace

DWORD win32_from_errno(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF: return ERROR_INVALID_HANDLE;
        case EBUSY: return ERROR_BUSY;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EROFS: return ERROR_WRITE_PROTECT;
        case EFBIG: return ERROR_FILE_TOO_LARGE;
        case ETIMEDOUT: return ERROR_TIMEOUT;
        case ELOOP: return ERROR_INVALID_NAME;
        case EAGAIN: return ERROR_NO_SYSTEM_RESOURCES;
        case ESRCH: return ERROR_INVALID_PARAMETER;
        case EIO: return ERROR_GEN_FAILURE;
        case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
        case ENOTSUP: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace w32rt

extern "C" {

W32RT_API DWORD WINAPI GetLastError(void) { return w32rt::t_last_error; }

W32RT_API void WINAPI SetLastError(DWORD dwErrCode) { w32rt::t_last_error = dwErrCode; }

}  // extern "C"
