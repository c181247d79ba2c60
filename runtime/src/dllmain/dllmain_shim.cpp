// Linked into every shared library built on the runtime that defines a
// DllMain: calls it with DLL_PROCESS_ATTACH when the library is loaded and
// DLL_PROCESS_DETACH when it is unloaded, passing the module handle by which
// the runtime finds the library's compiled resources.
#include <dlfcn.h>

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

namespace {

HINSTANCE this_module() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&this_module), &info) == 0) return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void on_load() { DllMain(this_module(), DLL_PROCESS_ATTACH, nullptr); }

__attribute__((destructor)) void on_unload() { DllMain(this_module(), DLL_PROCESS_DETACH, nullptr); }

}  // namespace
