// COM initialisation (ole32). The runtime has no COM objects; initialising
// only records the thread's apartment model.
#pragma once

#include <winbase.h>

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

W32RT_BEGIN_DECLS
// S_OK the first time on a thread, S_FALSE when already initialised in the
// same model, RPC_E_CHANGED_MODE for the other model.
W32RT_API HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
W32RT_API HRESULT WINAPI CoInitialize(LPVOID pvReserved);
W32RT_API void WINAPI CoUninitialize(void);
W32RT_END_DECLS
