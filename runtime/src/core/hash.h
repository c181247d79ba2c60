// FNV-1a, the runtime's one hash of names. Its values are stored in shared
// memory (object and atom name indexes) and in the names of shared-memory
// objects (the machine root's hash), so they must never change.
#pragma once

#include <stdint.h>

#include <string_view>

namespace w32rt {

// Bytes as they are.
struct SameByte {
    constexpr unsigned char operator()(unsigned char c) const { return c; }
};

// 32-bit FNV-1a over the bytes of s, each passed through map first (a
// caseless hash folds them).
template <class Map = SameByte>
constexpr uint32_t fnv1a_32(std::string_view s, Map map = {}) {
    uint32_t h = 2166136261u;
    for (char c : s) {
        h ^= uint8_t(map(static_cast<unsigned char>(c)));
        h *= 16777619u;
    }
    return h;
}

// The 64-bit form starts from 1469598103934665603, not from FNV's published
// basis (14695981039346656037): the roots' shared-memory names were made
// with it from the start and must stay what they are.
constexpr uint64_t fnv1a_64(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (char c : s) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

static_assert(fnv1a_32("") == 2166136261u && fnv1a_32("a") == 0xe40c292cu, "FNV-1a 32");
static_assert(fnv1a_64("a") == 0x44bd8ad473cd9906ull, "the roots' hash");

}  // namespace w32rt
