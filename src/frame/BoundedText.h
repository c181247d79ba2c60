// Lengths of texts that may lack their terminating zero within a limit.
#pragma once

#include <cstddef>
#include <cstring>

namespace traceapi {

// The length of text, at most limit: characters past the limit are never
// read (memchr stops at the first match).
inline size_t BoundedLength(const char* text, size_t limit) {
    const void* zero = memchr(text, '\0', limit);
    return zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - text) : limit;
}

}  // namespace traceapi
