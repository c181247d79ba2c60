// Compiled resources: the string and message tables of a module.
//
// The resource compiler (w32rc, used through the CMake function
// w32rt_add_resources) turns a .rc file into a C++ source whose tables
// register themselves here when the module that contains them is loaded and
// unregister when it is unloaded. The runtime finds the module by the address
// of the table, so LoadStringA and FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE)
// find the texts by the module's HMODULE (its load address, as DllMain
// receives it). Several tables may belong to one module.
#pragma once

#include <w32rt/api.h>

W32RT_BEGIN_DECLS

#define W32RT_RESOURCE_STRING 6         // RT_STRING: LoadStringA
#define W32RT_RESOURCE_MESSAGETABLE 11  // RT_MESSAGETABLE: FormatMessageA

typedef struct w32rt_resource_entry {
    uint32_t id;        // string id (0..65535) or message id
    uint16_t language;  // LANGID; 0 = language neutral
    uint16_t type;      // W32RT_RESOURCE_STRING or W32RT_RESOURCE_MESSAGETABLE
    uint32_t length;    // bytes of text, without the terminating zero
    const char* text;   // zero-terminated; may hold further zeros within length
} w32rt_resource_entry;

typedef struct w32rt_resource_table {
    uint32_t struct_size;  // sizeof(w32rt_resource_table): tables of another layout are refused
    uint32_t count;
    const w32rt_resource_entry* entries;
    const char* source;  // the .rc file it was compiled from, for diagnostics
} w32rt_resource_table;

// Adds the table to the module that contains it. The table and its texts
// must stay in place until it is unregistered. Returns 0 when the table is
// refused (bad layout, not inside a loaded module), non-zero otherwise.
W32RT_API int w32rt_register_resources(const w32rt_resource_table* table);
W32RT_API void w32rt_unregister_resources(const w32rt_resource_table* table);

W32RT_END_DECLS
