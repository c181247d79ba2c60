// Shell folders (shell32).
#pragma once

#include <winbase.h>

#define CSIDL_DESKTOP 0x0000
#define CSIDL_PERSONAL 0x0005
#define CSIDL_APPDATA 0x001a
#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_WINDOWS 0x0024
#define CSIDL_SYSTEM 0x0025
#define CSIDL_PROGRAM_FILES 0x0026
#define CSIDL_PROFILE 0x0028
#define CSIDL_FLAG_CREATE 0x8000
#define CSIDL_FLAG_DONT_VERIFY 0x4000
#define CSIDL_FLAG_MASK 0xFF00

typedef enum { SHGFP_TYPE_CURRENT = 0, SHGFP_TYPE_DEFAULT = 1 } SHGFP_TYPE;

W32RT_BEGIN_DECLS
// Folders of the token's user (the calling thread's user when hToken is
// null, the default user's for -1), as Windows paths below the machine
// root's drive C: C:\Users\<user>\AppData\Roaming and so on, the service
// account's below C:\Windows\System32\config\systemprofile. A folder that
// does not exist is E_FAIL unless CSIDL_FLAG_CREATE makes it (the user's
// own, when the process may give it away) or CSIDL_FLAG_DONT_VERIFY skips
// the check. An unknown CSIDL is E_INVALIDARG; a failed creation
// HRESULT_FROM_WIN32 of its error.
W32RT_API HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);
W32RT_END_DECLS
