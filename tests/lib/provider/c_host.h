// The C host's entry point, callable from the C++ tests.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Registers a provider named source, emits a text (code), a compact
// formatted text (code + 1) and a start marker (code + 2), and unregisters
// it; the first failure, or S_OK.
LONG CHostEmit(const char* source, ULONG code, const char* text);

#ifdef __cplusplus
}
#endif
