#include "listener/EvDbText.h"

#include <stdio.h>

namespace traceapi {

std::string DatabaseTextFromBytes(std::string_view bytes) {
    size_t end = bytes.find('\0');
    if (end != std::string_view::npos) bytes = bytes.substr(0, end);
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text.push_back(bytes[i]);
    }
    return text;
}

LONG LookupDatabaseEntry(std::string_view text, DWORD code, std::string* entry) {
    char key[16];
    snprintf(key, sizeof key, "%u", unsigned(code));
    const size_t start = text.find(key);
    if (start == std::string_view::npos) return E_FAIL;
    const size_t end = text.find(kDbEntryEnd, start);
    if (end == std::string_view::npos) return E_FAIL;
    // The entry keeps "|#|" but not the line end.
    entry->assign(text.substr(start, end + 3 - start));
    return S_OK;
}

}  // namespace traceapi
