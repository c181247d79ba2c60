// The session's identity besides its name (EVT_SESSION_NAME).
#pragma once

#include <windows.h>

namespace traceapi {

// {E505C68B-05CA-4099-9EFB-1498F39C2285}: the providers' control identifier,
// the session's Wnode.Guid and the identifier the controller enables.
inline constexpr GUID kControlGuid = {0xE505C68B, 0x05CA, 0x4099, {0x9E, 0xFB, 0x14, 0x98, 0xF3, 0x9C, 0x22, 0x85}};

}  // namespace traceapi
