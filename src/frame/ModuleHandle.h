// The library's module handle, through which its string and message tables
// are loaded. Recorded once, while the library is loaded (DllMain), before
// any other call of the library can run; null until then.
#pragma once

#include <windows.h>

namespace traceapi {

HINSTANCE ModuleHandle();
void RecordModuleHandle(HINSTANCE module);

}  // namespace traceapi
