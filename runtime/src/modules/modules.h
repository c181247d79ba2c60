// Modules: the runtime's built-in modules, bound by their Windows names, and
// shared objects, whose HMODULE is their load address (the value DllMain
// receives), so a module's handle finds its compiled resources.
#pragma once

#include <windows.h>

namespace w32rt {

// The HMODULE of the main program.
HMODULE main_module();

// The module whose image holds the address (its load address), or null.
HMODULE module_containing(const void* address);

// True when h is the load address of a loaded shared object or of the main
// program.
bool is_image_module(HMODULE h);

// True when h is one of the runtime's built-in modules (loaded or not).
bool is_builtin_module(HMODULE h);

}  // namespace w32rt
