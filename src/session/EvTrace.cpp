// CEvTrace: the handles of a trace object and the process's session logic,
// finding, starting or (for processes that may not query it) reading the
// handle of "Orkan System Trace".
#include <TraceApi.h>

#include <atomic>
#include <cstring>

#include "frame/BoundedText.h"
#include "frame/Diagnostics.h"
#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"
#include "session/ControlGuid.h"

using namespace traceapi;

namespace {

// Room for the session name and the log file name behind the structure.
constexpr ULONG kPropertiesSize = 8312;
constexpr ULONG kLoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);  // 120
constexpr ULONG kLogFileNameOffset = kLoggerNameOffset + 4096;       // 4216
constexpr size_t kNameRoom = 4096;
static_assert(kLoggerNameOffset == 120, "EVENT_TRACE_PROPERTIES is 120 bytes");
static_assert(kLogFileNameOffset + kNameRoom == kPropertiesSize, "two names fit the block");

constexpr ULONG kQueryPerformanceCounterClock = 1;
constexpr ULONG64 kUnsetHandle = ~0ULL;

void CopyName(PEVENT_TRACE_PROPERTIES properties, ULONG offset, LPCSTR name) {
    if (name == nullptr) return;
    char* at = reinterpret_cast<char*>(properties) + offset;
    size_t length = traceapi::BoundedLength(name, kNameRoom - 1);
    memcpy(at, name, length);
    at[length] = '\0';
}

// A zero-filled block with room for both names behind the structure.
void FillProperties(PEVENT_TRACE_PROPERTIES properties, LPCSTR sessionName, LPCSTR logFileName, ULONG logFileMode,
                    ULONG flushTimer, const GUID& guid) {
    memset(properties, 0, kPropertiesSize);
    properties->Wnode.BufferSize = kPropertiesSize;
    properties->Wnode.Guid = guid;
    properties->Wnode.ClientContext = kQueryPerformanceCounterClock;
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LogFileMode = logFileMode;
    properties->FlushTimer = flushTimer;
    properties->LoggerNameOffset = kLoggerNameOffset;
    properties->LogFileNameOffset = kLogFileNameOffset;
    CopyName(properties, kLoggerNameOffset, sessionName);
    CopyName(properties, kLogFileNameOffset, logFileName);
}

void FillLibrarySessionProperties(PEVENT_TRACE_PROPERTIES properties) {
    FillProperties(properties, EVT_SESSION_NAME, nullptr, EVENT_TRACE_REAL_TIME_MODE, 1, kControlGuid);
    properties->BufferSize = 50;
    properties->MinimumBuffers = 4;
    properties->MaximumBuffers = 4;
}

std::atomic_ref<ULONG64> CachedSession() { return std::atomic_ref<ULONG64>(CEvTrace::s_hRTSession); }

// The handle that the process which started the session published. Throws
// when the key or value is missing or the value is not a handle.
ULONG64 ReadPublishedSessionHandle() {
    CRegApi regApi;
    LONG status = regApi.OpenKey(HKEY_LOCAL_MACHINE, kEngKeyPath, KEY_QUERY_VALUE);
    if (status != ERROR_SUCCESS) throw _evt_error(EVT_E_ETWFAILED, static_cast<ULONG>(status));
    ULONG64 handle = kUnsetHandle;
    DWORD type = REG_NONE;
    DWORD size = sizeof handle;
    status = regApi.QueryValue(kSessionValue, type, reinterpret_cast<LPBYTE>(&handle), size);
    if (status != ERROR_SUCCESS) throw _evt_error(EVT_E_ETWFAILED, static_cast<ULONG>(status));
    if (size != sizeof handle || handle == kUnsetHandle) throw _evt_error(EVT_E_ETWFAILED, 0);
    return handle;
}

// Publishes the handle for processes that may not query the session. The
// key is created when missing; a failure only costs those processes.
void PublishSessionHandle(ULONG64 handle) {
    CRegApi regApi;
    if (regApi.CreateKey(HKEY_LOCAL_MACHINE, kEngKeyPath, 0, KEY_WRITE, nullptr) != ERROR_SUCCESS) return;
    regApi.SetValue(kSessionValue, reinterpret_cast<const BYTE*>(&handle), sizeof handle);
}

ULONG64 StartLibrarySession(PEVENT_TRACE_PROPERTIES properties) {
    FillLibrarySessionProperties(properties);
    TRACEHANDLE handle = 0;
    ULONG status = StartTraceA(&handle, EVT_SESSION_NAME, properties);
    if (status == ERROR_SUCCESS) {
        DebugOut("GetSessionHandle1 - StartTrace succeeded\n");
        PublishSessionHandle(handle);
        return handle;
    }
    DebugOut("GetSessionHandle1 - StartTrace failed\n");
    if (status == ERROR_ACCESS_DENIED) DebugOut("GetSessionHandle1 - StartTrace failed - access denied\n");
    if (status == ERROR_ALREADY_EXISTS) {
        // Another thread or process started it first: use theirs.
        FillLibrarySessionProperties(properties);
        if (ControlTraceA(0, EVT_SESSION_NAME, properties, EVENT_TRACE_CONTROL_QUERY) == ERROR_SUCCESS)
            return properties->Wnode.HistoricalContext;
    }
    return 0;
}

}  // namespace

ULONG64 CEvTrace::s_hRTSession = 0;

_ETW_PARAMS::_ETW_PARAMS() : m_hProviderRegHandle(0), m_hProviderHandle(0), m_hHandle3(0), m_hHandle4(0) {}
_ETW_PARAMS::_ETW_PARAMS(const _ETW_PARAMS& other) = default;
_ETW_PARAMS& _ETW_PARAMS::operator=(const _ETW_PARAMS& other) = default;

CEvTrace::CEvTrace()
    : m_hProviderRegHandle(0), m_hProviderHandle(0), m_hHandle3(0), m_hHandle4(0), m_hSessionHandle(0) {}

CEvTrace::CEvTrace(const CEvTrace& other) = default;

CEvTrace& CEvTrace::operator=(const CEvTrace& other) = default;

CEvTrace::~CEvTrace() = default;

LONG CEvTrace::GetSessionHandle1(ULONG64& handle) {
    handle = CachedSession().load(std::memory_order_relaxed);
    if (handle != 0) {
        DebugOut("GetSessionHandle1 - Already have valid session handle\n");
        return S_OK;
    }
    PEVENT_TRACE_PROPERTIES properties = nullptr;
    try {
        properties = MakeTraceProperties1();
        ULONG status = properties != nullptr ? ControlTraceA(0, EVT_SESSION_NAME, properties, EVENT_TRACE_CONTROL_QUERY)
                                             : static_cast<ULONG>(ERROR_NOT_ENOUGH_MEMORY);
        if (status == ERROR_SUCCESS) {
            DebugOut("GetSessionHandle1 - ControlTrace succeeded\n");
            handle = properties->Wnode.HistoricalContext;
        } else {
            DebugOut("GetSessionHandle1 - ControlTrace failed\n");
            if (status == ERROR_ACCESS_DENIED) {
                DebugOut("GetSessionHandle1 - ControlTrace failed - access denied\n");
                handle = ReadPublishedSessionHandle();
            } else if (status == ERROR_WMI_INSTANCE_NOT_FOUND) {
                DebugOut("GetSessionHandle1 - ControlTrace failed - session not started\n");
                handle = StartLibrarySession(properties);
            } else {
                handle = 0;
            }
        }
        // A failed attempt never replaces a handle another thread found.
        if (handle != 0) CachedSession().store(handle, std::memory_order_relaxed);
        ReleaseTraceProperties(properties);
        return S_OK;
    } catch (_evt_error& error) {
        DebugOut("GetSessionHandle1 - exception\n");
        dump_evterror(error);
    } catch (...) {
        DebugOut("GetSessionHandle1 - exception 1\n");
    }
    // No handle on failure: the caller asks again next time instead of
    // keeping an unusable value.
    handle = 0;
    ReleaseTraceProperties(properties);
    return E_FAIL;
}

PEVENT_TRACE_PROPERTIES CEvTrace::MakeTraceProperties1() {
    auto* properties = static_cast<PEVENT_TRACE_PROPERTIES>(LocalAlloc(LPTR, kPropertiesSize));
    if (properties != nullptr) FillLibrarySessionProperties(properties);
    return properties;
}

PEVENT_TRACE_PROPERTIES CEvTrace::MakeTraceProperties(LPCSTR sessionName, LPCSTR logFileName, ULONG flushTimer,
                                                      const GUID& guid) {
    auto* properties = static_cast<PEVENT_TRACE_PROPERTIES>(LocalAlloc(LPTR, kPropertiesSize));
    if (properties != nullptr)
        FillProperties(properties, sessionName, logFileName,
                       EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_FILE_MODE_CIRCULAR, flushTimer, guid);
    return properties;
}

void CEvTrace::ReleaseTraceProperties(PEVENT_TRACE_PROPERTIES properties) {
    if (properties != nullptr) LocalFree(properties);
}

void CEvTrace::SetHandles(_ETW_PARAMS& params) {
    m_hProviderRegHandle = params.m_hProviderRegHandle;
    m_hProviderHandle = params.m_hProviderHandle;
    m_hHandle3 = params.m_hHandle3;
    m_hHandle4 = params.m_hHandle4;
}

void CEvTrace::SetProviderHandle(ULONG64 handle) { m_hProviderHandle = handle; }

void CEvTrace::SetProviderRegHandle(ULONG64 handle) { m_hProviderRegHandle = handle; }

void CEvTrace::GetProviderHandle(ULONG64& handle) { handle = m_hProviderHandle; }

void CEvTrace::GetProviderRegHandle(ULONG64& handle) { handle = m_hProviderRegHandle; }

LONG CEvTrace::SetSessionHandle(ULONG64 handle) {
    m_hSessionHandle = handle;
    return S_OK;
}

LONG CEvTrace::GetTraceAPIVersion(SHORT* major, SHORT* minor) {
    if (major != nullptr) *major = 1;
    if (minor != nullptr) *minor = 0;
    return S_OK;
}
