#include "frame/ScopedFuncTrace.h"

#include "frame/Diagnostics.h"

CScopedOrkanFuncTrace::CScopedOrkanFuncTrace(const char* functionName, const char* sourceFile, ULONG sourceLine,
                                             ULONG eventType)
    : m_ulEventType(eventType),
      m_strFunctionName(functionName ? functionName : ""),
      m_strSourceFile(sourceFile ? sourceFile : ""),
      m_ulSourceLine(sourceLine) {
    traceapi::DiagnosticPrint(m_ulEventType, "-->> %s()", m_strFunctionName.c_str());
}

CScopedOrkanFuncTrace::~CScopedOrkanFuncTrace() {
    traceapi::DiagnosticPrint(m_ulEventType, "<<-- %s()", m_strFunctionName.c_str());
}
