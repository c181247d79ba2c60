// Expecting a Win32 call to fail with a given status.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

// Expects `call` to return `failed` and to leave `error` as the last error.
// The last error is cleared first, so a status left by an earlier call
// cannot pass for this one's.
#define EXPECT_FAILS(call, failed, error)                 \
    do {                                                  \
        SetLastError(0);                                  \
        EXPECT_EQ((call), (failed)) << #call;             \
        EXPECT_EQ(GetLastError(), DWORD(error)) << #call; \
    } while (0)
