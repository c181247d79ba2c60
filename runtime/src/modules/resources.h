// The string and message tables of the loaded modules (w32rt/resources.h)
// and the system's message table.
#pragma once

#include <windows.h>

#include <string>

namespace w32rt {

// How a text is chosen among the languages a table holds.
enum class LanguageSearch {
    // LoadStringA: the thread's preferred and the user's UI languages, the
    // system's, neutral, US English, then any.
    UserInterface,
    // FormatMessageA with language 0: neutral, the thread's and the user's
    // language, the system's, US English, then any.
    MessageDefault,
};

// Copies the text of a resource into *text. Returns ERROR_SUCCESS, or
// ERROR_RESOURCE_DATA_NOT_FOUND (the module has no tables or is not a
// module), ERROR_RESOURCE_TYPE_NOT_FOUND (no table of that type),
// ERROR_RESOURCE_NAME_NOT_FOUND (no such id), ERROR_RESOURCE_LANG_NOT_FOUND
// (the id exists in other languages only). A language of 0 searches; any
// other is matched exactly.
DWORD find_resource_text(HMODULE module, uint16_t type, uint32_t id, LANGID language, LanguageSearch search,
                         std::string* text);

// The system's text for a status code; null when it has none.
const char* system_message_text(DWORD id);

}  // namespace w32rt
