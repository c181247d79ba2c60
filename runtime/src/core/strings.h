// ASCII case folding as the registry and object names need it: Windows
// compares names without regard to case and keeps their spelling.
#pragma once

#include <string>
#include <string_view>

namespace w32rt {

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
inline char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

inline std::string ascii_lowercase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

inline bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

inline bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

// Copies src into a caller's buffer of size bytes with a terminating zero,
// cutting when needed. Returns the number of characters copied.
inline size_t copy_cstr(char* dst, size_t size, std::string_view src) {
    if (!dst || size == 0) return 0;
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
    dst[n] = '\0';
    return n;
}

}  // namespace w32rt
