// Marks a function's entry and exit for the library's diagnostic print
// ("-->> name()" and "<<-- name()" with the event type). The print writes
// nothing, so the object has no visible effect; it documents the functions
// worth tracing.
#pragma once

#include <windows.h>

#include <string>

class CScopedOrkanFuncTrace {
public:
    CScopedOrkanFuncTrace(const char* functionName, const char* sourceFile, ULONG sourceLine, ULONG eventType);
    virtual ~CScopedOrkanFuncTrace();
    CScopedOrkanFuncTrace(const CScopedOrkanFuncTrace&) = delete;
    CScopedOrkanFuncTrace& operator=(const CScopedOrkanFuncTrace&) = delete;

    ULONG m_ulEventType;
    std::string m_strFunctionName;
    std::string m_strSourceFile;
    ULONG m_ulSourceLine;
};
