#include "frame/Diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace traceapi {

void DebugOut(LPCSTR format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int written = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (written < 0) return;
    OutputDebugStringA(text);
}

void DiagnosticPrint(ULONG, LPCSTR, ...) {}

}  // namespace traceapi
