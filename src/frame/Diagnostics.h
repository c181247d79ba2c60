// Debugger output of the library. Every text goes to OutputDebugStringA; the
// library writes no diagnostic file.
#pragma once

#include <windows.h>

namespace traceapi {

// Formats like printf into a 1,024-byte buffer (longer output is cut) and
// writes it to the debugger output.
void DebugOut(LPCSTR format, ...) __attribute__((format(printf, 1, 2)));

// The library's leveled diagnostic print (type is a unified-log event type).
// It writes nothing: the calls mark places worth tracing and cost nothing.
void DiagnosticPrint(ULONG type, LPCSTR format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace traceapi
