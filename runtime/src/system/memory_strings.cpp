// LocalAlloc and LocalFree, and the lstr* string functions.
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "core/error.h"

namespace {

using w32rt::fail;

// Blocks carry a header that marks them as live, so a block freed twice, or
// a pointer LocalAlloc never gave, is refused (ERROR_INVALID_HANDLE) instead
// of corrupting the heap when the header is readable.
constexpr uint64_t kLiveMagic = 0x4c6f63616c426c6bull;  // "LocalBlk"
constexpr uint64_t kFreedMagic = 0x4672656564426c6bull;  // "FreedBlk"

struct alignas(16) BlockHeader {
    uint64_t magic;
    uint64_t size;
};

// ASCII order of the user locale's default sort, as CompareString gives it:
// symbols, then digits, then letters without regard to case; hyphen and
// apostrophe weigh only when all else is equal (word sort).
int primary_weight(unsigned char c) {
    if (c >= 'a' && c <= 'z') return 300 + (c - 'a');
    if (c >= 'A' && c <= 'Z') return 300 + (c - 'A');
    if (c >= '0' && c <= '9') return 200 + (c - '0');
    if (c >= 0x80) return 400 + c;
    return 1 + c;
}

bool ignorable(unsigned char c) { return c == '-' || c == '\''; }

unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? (unsigned char)(c | 0x20) : c; }

int compare_strings(const char* a, const char* b, bool ignore_case) {
    // Null sorts before every string, as an empty one does.
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
    // Primary level: the letters, digits and symbols, skipping the
    // ignorable ones.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
    for (;;) {
        while (*p && ignorable(*p)) ++p;
        while (*q && ignorable(*q)) ++q;
        if (!*p || !*q) {
            if (*p || *q) return *p ? 1 : -1;
            break;
        }
        int wp = primary_weight(*p), wq = primary_weight(*q);
        if (wp != wq) return wp < wq ? -1 : 1;
        ++p;
        ++q;
    }
    // Case level: at the first letter that differs in case only, lower
    // case comes first.
    if (!ignore_case) {
        p = reinterpret_cast<const unsigned char*>(a);
        q = reinterpret_cast<const unsigned char*>(b);
        for (;;) {
            while (*p && ignorable(*p)) ++p;
            while (*q && ignorable(*q)) ++q;
            if (!*p || !*q) break;
            if (*p != *q) {
                bool p_lower = *p >= 'a' && *p <= 'z';
                return p_lower ? -1 : 1;
            }
            ++p;
            ++q;
        }
    }
    // Last: the ignorable characters, by where they stand ("coop" before
    // "co-op").
    p = reinterpret_cast<const unsigned char*>(a);
    q = reinterpret_cast<const unsigned char*>(b);
    for (; *p && *q; ++p, ++q) {
        unsigned char cp = ignore_case ? fold(*p) : *p;
        unsigned char cq = ignore_case ? fold(*q) : *q;
        if (cp == cq) continue;
        if (ignorable(cp) != ignorable(cq)) return ignorable(cp) ? 1 : -1;
        return primary_weight(cp) < primary_weight(cq) ? -1 : 1;
    }
    if (*p || *q) return *p ? 1 : -1;
    return 0;
}

}  // namespace

extern "C" {

W32RT_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    // LMEM_NOCOMPACT and LMEM_NODISCARD only matter for movable memory,
    // which the runtime does not give (it needs LocalLock).
    const UINT known = LMEM_ZEROINIT | 0x0010 | 0x0020;
    if (uFlags & ~known) return fail(ERROR_INVALID_PARAMETER, HLOCAL(nullptr));
    if (uBytes > SIZE_MAX - sizeof(BlockHeader)) return fail(ERROR_NOT_ENOUGH_MEMORY, HLOCAL(nullptr));
    void* raw = (uFlags & LMEM_ZEROINIT) ? calloc(1, sizeof(BlockHeader) + uBytes) : malloc(sizeof(BlockHeader) + uBytes);
    if (!raw) return fail(ERROR_NOT_ENOUGH_MEMORY, HLOCAL(nullptr));
    BlockHeader* header = static_cast<BlockHeader*>(raw);
    header->magic = kLiveMagic;
    header->size = uBytes;
    return header + 1;
}

W32RT_API HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    if (!hMem) return nullptr;
    BlockHeader* header = static_cast<BlockHeader*>(hMem) - 1;
    if (header->magic != kLiveMagic) return fail(ERROR_INVALID_HANDLE, hMem);
    header->magic = kFreedMagic;
    free(header);
    return nullptr;
}

W32RT_API int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? int(strlen(lpString)) : 0; }

W32RT_API LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    memmove(lpString1, lpString2, strlen(lpString2) + 1);
    return lpString1;
}

W32RT_API LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
    if (!lpString1 || !lpString2 || iMaxLength < 0) return nullptr;
    if (iMaxLength == 0) return lpString1;
    size_t n = strnlen(lpString2, size_t(iMaxLength) - 1);
    memmove(lpString1, lpString2, n);
    lpString1[n] = '\0';
    return lpString1;
}

W32RT_API LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    size_t used = strlen(lpString1);
    memmove(lpString1 + used, lpString2, strlen(lpString2) + 1);
    return lpString1;
}

W32RT_API int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) { return compare_strings(lpString1, lpString2, false); }

W32RT_API int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) { return compare_strings(lpString1, lpString2, true); }

}  // extern "C"
