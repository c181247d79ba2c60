// The thread's last error and the mapping of errno values to Win32 codes.
#pragma once

#include <windows.h>

namespace w32rt {

// errno value -> Win32 status. Callers that know better (ENOENT on the
// parent folder is ERROR_PATH_NOT_FOUND, EEXIST on CreateFile is
// ERROR_FILE_EXISTS) translate those cases themselves.
DWORD win32_from_errno(int err);

// Sets the last error and returns the value given, for one-line failures:
//   return fail(ERROR_INVALID_HANDLE, FALSE);
template <class T>
inline T fail(DWORD error, T result) {
    SetLastError(error);
    return result;
}

// Sets the last error from errno and returns result.
template <class T>
inline T fail_errno(int err, T result) {
    SetLastError(win32_from_errno(err));
    return result;
}

}  // namespace w32rt
