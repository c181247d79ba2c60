// Little-endian field readers for checking events and blocks byte by byte.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

namespace wire_reader {

inline USHORT Get16(const BYTE* data, size_t offset) {
    USHORT value;
    memcpy(&value, data + offset, sizeof value);
    return value;
}

inline ULONG Get32(const BYTE* data, size_t offset) {
    ULONG value;
    memcpy(&value, data + offset, sizeof value);
    return value;
}

inline ULONG64 Get64(const BYTE* data, size_t offset) {
    ULONG64 value;
    memcpy(&value, data + offset, sizeof value);
    return value;
}

// The zero-terminated text of a field of size bytes (all of it when it has
// no zero).
inline std::string Text(const BYTE* field, size_t size) {
    return std::string(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), size));
}

}  // namespace wire_reader
