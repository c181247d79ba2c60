// Process and thread identities and the pseudo handles.
#include <unistd.h>

#include <windows.h>

#include "core/process_identity.h"

extern "C" {

W32RT_API DWORD WINAPI GetCurrentProcessId(void) { return DWORD(getpid()); }

W32RT_API DWORD WINAPI GetCurrentThreadId(void) { return DWORD(w32rt::current_tid()); }

W32RT_API HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(intptr_t(-1)); }

W32RT_API HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(intptr_t(-2)); }

}  // extern "C"
