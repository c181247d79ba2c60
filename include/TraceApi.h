// TraceApi: the event-trace library of the wireless-network management suite.
//
// The one header hosts include: the flat C interface, the exported classes,
// the records and the result codes. Results are 32-bit HRESULT-style codes:
// 0 for success, 0x8004C4xx or E_FAIL (0x80004005) for failures. No
// exception crosses the library's boundary.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <stdarg.h>
#include <stddef.h>

// The SDK's <evntrace.h> declares nothing unless <windows.h> came first, and
// its guard then keeps the include above from declaring anything either.
#if defined(_WIN32) && !defined(EVENT_TRACE_REAL_TIME_MODE)
#error "<evntrace.h> was included before <windows.h>: include <windows.h> (or <TraceApi.h>) first"
#endif

#if defined(_WIN32)
#if defined(TRACEAPI_BUILDING)
#define TRACEAPI_API __declspec(dllexport)
#else
#define TRACEAPI_API __declspec(dllimport)
#endif
#else
#define TRACEAPI_API __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------
#define EVT_E_INVALIDARG ((LONG)0x8004C4BD)
#define EVT_E_ETWFAILED ((LONG)0x8004C4C0)
#define EVT_E_OUTOFMEMORY ((LONG)0x8004C4C1)
#define EVT_E_NOINFOSET ((LONG)0x8004C4CA)
#define EVT_E_HANDLEINUSE ((LONG)0x8004C4CC)
#define EVT_E_NOTINITIALIZED ((LONG)0x8004C4D1)
#define EVT_E_TOOMANYINFOSETS ((LONG)0x8004C4D2)
#define EVT_E_POINTER ((LONG)0x8004C4D3)
#define EVT_E_NOSESSION ((LONG)0x8004C4D4)
#define EVT_E_BADINFOSETTYPE ((LONG)0x8004C4D5)
#define EVT_E_NOFILEACCESS ((LONG)0x8004C4D6)
#define EVT_E_BADLOGFORMAT ((LONG)0x8004C4D7)
#define EVT_E_LOGWRITE ((LONG)0x8004C4D8)
#define EVT_E_PROVIDERADD ((LONG)0x8004C4DB)

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// A provider's description (768 bytes).
typedef struct _EVT_PROVIDER_INFO {
    char m_szInstanceName[256];
    char m_szUserName[256];
    char m_szProviderText[256];
} EVT_PROVIDER_INFO, *PEVT_PROVIDER_INFO;

// The decoded form of one event on the consuming side. The record is a file
// format: 1,312 fixed bytes, then dwDataLen bytes of Data, then at least 9
// zero bytes. Its size travels beside it.
typedef struct _VANTA_EVTRACE_DATA {
    DWORD dwDataLen;
    char szSource[256];
    DWORD dwReserved1;
    FILETIME ftTimeStamp;
    DWORD dwEventType;
    DWORD dwEventCode;
    char szUserName[256];
    char szProviderText[256];
    char szStringA[256];
    char szStringB[256];
    BYTE bFlag;
    BYTE bReserved[7];
    BYTE Data[1];
} _VANTA_EVTRACE_DATA, VANTA_EVTRACE_DATA, *PVANTA_EVTRACE_DATA;


#ifdef __cplusplus
static_assert(sizeof(EVT_PROVIDER_INFO) == 768, "EVT_PROVIDER_INFO is 768 bytes");
static_assert(offsetof(_VANTA_EVTRACE_DATA, ftTimeStamp) == 264, "record layout");
static_assert(offsetof(_VANTA_EVTRACE_DATA, szUserName) == 280, "record layout");
static_assert(offsetof(_VANTA_EVTRACE_DATA, bFlag) == 1304, "record layout");
static_assert(offsetof(_VANTA_EVTRACE_DATA, Data) == 1312, "record layout");
static_assert(sizeof(_VANTA_EVTRACE_DATA) == 1316, "record layout");
#endif

// Size of a record's fixed part and of the zero tail behind its data.
#define EVT_RECORD_FIXED_SIZE 1312
#define EVT_RECORD_TAIL_SIZE 9

// ---------------------------------------------------------------------------
// Errors carried inside the library
// ---------------------------------------------------------------------------
#ifdef __cplusplus
class _com_error;

// Thrown by value inside the library, caught at every exported boundary.
class TRACEAPI_API _evt_error {
public:
    _evt_error(LONG error, ULONG specificCode);
    _evt_error(const _evt_error& other);
    _evt_error& operator=(const _evt_error& other);
    virtual ~_evt_error();

    LONG error() const;
    LONG SpecificErrorCode() const;
    const char* Source() const;
    const char* ErrorMessage() const;
    const char* Description() const;
    void source(const char* text);

private:
    LONG m_lError;
    ULONG m_ulSpecificCode;
    char m_szSource[256];
    char m_szErrorMessage[256];
    char m_szDescription[256];
};

TRACEAPI_API void dump_evterror(_evt_error& error);
TRACEAPI_API void dump_comerror(_com_error& error);
#endif

// ---------------------------------------------------------------------------
// Initialisation, providers and emission
// ---------------------------------------------------------------------------
// Handles, event types and event codes are 32-bit. Texts are single-byte
// strings; every fixed text field of an event holds at most 255 characters
// and is cut when longer.

// Event types with a meaning of their own (the type is otherwise the caller's).
#define EVT_TYPE_DEFAULT 51             // header type of ordinary events
#define EVT_TYPE_TIMESTAMP 52           // EvTraceCustomTimeStamp: header type 52
#define EVT_TYPE_UL_INFO 53             // unified-log text, levels INFO, WARN, ERROR
#define EVT_TYPE_UL_WARN 54
#define EVT_TYPE_UL_ERROR 55
#define EVT_TYPE_UL_FMT_INFO 56         // formatted unified-log text (EvTraceFormat sends 56)
#define EVT_TYPE_UL_FMT_WARN 57
#define EVT_TYPE_UL_FMT_ERROR 58
#define EVT_TYPE_UL_VERBOSE 59          // unified-log text, levels VERBOSE, DEBUG, NOTICE
#define EVT_TYPE_UL_DEBUG 60
#define EVT_TYPE_UL_NOTICE 61
#define EVT_TYPE_UL_FMT_NOTICE 62
#define EVT_TYPE_UL_FMT_VERBOSE 63
#define EVT_TYPE_UL_FMT_DEBUG 64
#define EVT_TYPE_START 66               // EvTraceStart

// Event code: domain in bits 12-15, severity = bit 31 * 2 + bit 11, number
// in bits 0-10.
#define EVT_CODE_DOMAIN(code) ((((DWORD)(code)) >> 12) & 0xF)
#define EVT_CODE_SEVERITY(code) (((((DWORD)(code)) >> 31) & 1) * 2 + ((((DWORD)(code)) >> 11) & 1))
#define EVT_CODE_NUMBER(code) (((DWORD)(code)) & 0x7FF)

// The largest payload one event can carry: its 16-bit size covers the
// 48-byte header, the 1,312-byte fixed block, the payload and 8 zero bytes.
// Emitters refuse longer payloads with E_FAIL (the session's 50 KB buffers
// refuse events above their own size the same way).
#define EVT_MAX_PAYLOAD 64167
#define EVT_MAX_TEXT 4096

#ifdef __cplusplus
extern "C" {
#endif

// flags: 1 makes the process's controller, 2 its consumer. Call once at the
// start and EvtUnInitialize at the end, while no other call of the library
// runs in the process.
TRACEAPI_API LONG EvtInitialize(int flags);
TRACEAPI_API LONG EvtUnInitialize(void);
TRACEAPI_API LONG GetTraceAPIVersion(SHORT* major, SHORT* minor);

// Registers a provider under info->m_szInstanceName (must not be empty) and
// gives it the lowest free handle from 1. An empty m_szUserName is filled in
// with the calling thread's user. Unregister a handle only while no other
// thread emits on it.
TRACEAPI_API LONG RegisterEvTrace(ULONG* providerHandle, EVT_PROVIDER_INFO* info);
TRACEAPI_API LONG UnRegisterEvTrace(ULONG providerHandle);

// Emitters. Each writes one event into the session "Orkan System Trace"
// (started on first use when the process may) and returns 0 when written,
// EVT_E_NOTINITIALIZED for an unknown handle, EVT_E_NOSESSION when no
// session handle could be obtained, E_FAIL when the session refused it.
TRACEAPI_API LONG EvTraceString(ULONG handle, ULONG type, ULONG code, LPCSTR text, LPCSTR stringA, LPCSTR stringB,
                                BYTE flag);
TRACEAPI_API LONG EvTraceStart(ULONG handle, ULONG code, LPCSTR text);
// Compact form: up to four arguments for %d, %x, %l (32-bit numbers) and %s,
// %S (strings); %% is a percent sign; other conversions take no argument.
// The type argument is ignored: the event's type is 56.
TRACEAPI_API LONG EvTraceFormat(ULONG handle, ULONG ignored, ULONG code, LPCSTR stringA, LPCSTR stringB, BYTE flag,
                                LPCSTR format, ...);
// Unified-log line with printf-style arguments, sent only while the
// unified-log switch ("Global\UL_ENABLED_EVENT") is set. Types 53-55 and
// 59-61 become their formatted kinds 56-58, 63, 64, 62.
TRACEAPI_API LONG EvTraceFormatArgs(ULONG handle, ULONG type, ULONG code, LPCSTR stringA, LPCSTR stringB, BYTE flag,
                                    LPCSTR format, va_list arguments, LPCSTR file, ULONG line, ULONG64 time,
                                    ULONG processId, ULONG threadId);
// Raw bytes; a null data pointer sends length zero bytes.
TRACEAPI_API LONG EvTraceCustom(ULONG handle, ULONG type, ULONG code, const void* data, ULONG length, LPCSTR stringA,
                                LPCSTR stringB, BYTE flag);
// As EvTraceCustom; type 52 also sets the header type 52. Null data with a
// non-zero length is refused (EVT_E_POINTER).
TRACEAPI_API LONG EvTraceCustomTimeStamp(ULONG handle, ULONG type, ULONG code, const void* data, ULONG length,
                                         LPCSTR stringA, LPCSTR stringB, BYTE flag);
// Unified-log line from a finished text (log block when file is given, the
// raw bytes otherwise); subject to the unified-log switch.
TRACEAPI_API LONG EvTraceCustomLog(ULONG handle, ULONG type, ULONG code, LPCSTR file, ULONG line, LPCSTR data,
                                   ULONG length, LPCSTR stringA, LPCSTR stringB, BYTE flag, ULONG64 time,
                                   ULONG processId, ULONG threadId);
// Kept for old callers; they do nothing.
TRACEAPI_API void EvTraceDebugString(LPCSTR format, ...);
TRACEAPI_API void EvTraceDebugCString(LPCSTR text);

// Memory the library hands out: arrays (allocated with new[] of a trivially
// destructible type) and single objects (allocated with new).
TRACEAPI_API void EvTraceDeleteArray(void* block);
TRACEAPI_API void EvTraceDeleteMemory(void* block);

TRACEAPI_API LONG GetULLogStatus(ULONG* status);
TRACEAPI_API LONG SetULLogStatus(void);

#ifdef __cplusplus
}
#endif

// ---------------------------------------------------------------------------
// Session and controller
// ---------------------------------------------------------------------------
#define EVT_SESSION_NAME "Orkan System Trace"

#ifdef __cplusplus
extern "C" {
#endif
// Forward to the process's controller (EvtInitialize with flag 1);
// EVT_E_NOTINITIALIZED without one.
TRACEAPI_API LONG EnableAlerts(int enable);
TRACEAPI_API LONG EnableLogging(int enable);
TRACEAPI_API LONG GetAlertState(int* state);
#ifdef __cplusplus
}

// The four handles that CEvTrace::SetHandles copies.
struct TRACEAPI_API _ETW_PARAMS {
    _ETW_PARAMS();
    _ETW_PARAMS(const _ETW_PARAMS& other);
    _ETW_PARAMS& operator=(const _ETW_PARAMS& other);

    ULONG64 m_hProviderRegHandle;
    ULONG64 m_hProviderHandle;
    ULONG64 m_hHandle3;
    ULONG64 m_hHandle4;
};
typedef _ETW_PARAMS ETW_PARAMS;

// Base of every trace object: its handles and the process's session logic.
class TRACEAPI_API CEvTrace {
public:
    CEvTrace();
    CEvTrace(const CEvTrace& other);
    CEvTrace& operator=(const CEvTrace& other);
    virtual ~CEvTrace();

    // Finds "Orkan System Trace", starts it when it is missing, or (when
    // this process may not query it) reads the handle that the starting
    // process published in the registry. Caches the handle for the process.
    // Returns 0 also when no handle could be had (handle 0 then): test the
    // handle. E_FAIL when the published handle is missing or malformed.
    LONG GetSessionHandle1(ULONG64& handle);

    // Property blocks (8,312 bytes, LocalAlloc); null when out of memory.
    // Free them with ReleaseTraceProperties.
    static PEVENT_TRACE_PROPERTIES MakeTraceProperties1();
    static PEVENT_TRACE_PROPERTIES MakeTraceProperties(LPCSTR sessionName, LPCSTR logFileName, ULONG flushTimer,
                                                       const GUID& guid);
    static void ReleaseTraceProperties(PEVENT_TRACE_PROPERTIES properties);

    void SetHandles(_ETW_PARAMS& params);
    void SetProviderHandle(ULONG64 handle);
    void SetProviderRegHandle(ULONG64 handle);
    void GetProviderHandle(ULONG64& handle);
    void GetProviderRegHandle(ULONG64& handle);
    LONG SetSessionHandle(ULONG64 handle);
    LONG GetTraceAPIVersion(SHORT* major, SHORT* minor);

    ULONG64 m_hProviderRegHandle;
    ULONG64 m_hProviderHandle;
    ULONG64 m_hHandle3;
    ULONG64 m_hHandle4;
    ULONG64 m_hSessionHandle;

    // The process's handle of the real-time session; 0 until known.
    static ULONG64 s_hRTSession;
};

// The consumer side's switchboard: session on and off, and the alert switch
// (registry value "EnableAlerts").
class TRACEAPI_API CEvTraceController : public CEvTrace {
public:
    CEvTraceController();
    CEvTraceController(const CEvTraceController& other);
    CEvTraceController& operator=(const CEvTraceController& other);
    virtual ~CEvTraceController();

    // Obtains (and so starts) the session and enables the providers' control
    // identifier on it at level 255 with all flags. 0 also when no session
    // could be had; EVT_E_ETWFAILED when enabling failed.
    LONG EnableRealTimeSession();
    // Stops the session; E_FAIL when it is not running.
    LONG DisableSession();
    LONG EnableLogging(int enable);
    LONG EnableAlerts(int enable);
    LONG GetAlertState(int& state);
};
#endif

// ---------------------------------------------------------------------------
// Consumer: listener, data queue, infosets, alert queries
// ---------------------------------------------------------------------------

// A list of event records: written by CreateLogFile, returned by
// GetAlertHistoryList. Any entry may be null.
typedef struct _EVT_RECORD_LIST {
    DWORD count;
    _VANTA_EVTRACE_DATA** records;
} _EVT_RECORD_LIST, EVT_RECORD_LIST, *PEVT_RECORD_LIST;

// The alertable event codes, in the order of the event database. Owned by
// the consumer: rebuilt by every GetAlertList, never freed by the caller.
typedef struct _EVT_ALERT_LIST {
    DWORD count;
    DWORD* codes;
} _EVT_ALERT_LIST, EVT_ALERT_LIST, *PEVT_ALERT_LIST;

// The registered providers (entries of 768 bytes, the name in the first
// 256). Owned by the library: replaced by the next GetProviderList.
typedef struct _EVT_PROVIDER_LIST {
    DWORD count;
    EVT_PROVIDER_INFO* entries;
} _EVT_PROVIDER_LIST, EVT_PROVIDER_LIST, *PEVT_PROVIDER_LIST;

// Texts of an alert's database entry, filled in place.
typedef struct _EVT_ALERT_CONTEXT_HELP {
    DWORD dwAlertCode;
    char szHints[256];
    char szField2[256];
    char szField4[256];
    char szField5[256];
} _EVT_ALERT_CONTEXT_HELP, EVT_ALERT_CONTEXT_HELP, *PEVT_ALERT_CONTEXT_HELP;

// The same with texts of any length; each string is freed with
// EvTraceDeleteArray.
typedef struct _EVT_ALERT_CONTEXT_HELP_EX {
    DWORD dwReserved;
    DWORD dwAlertCode;
    char* pszHints;
    char* pszField2;
    char* pszField4;
    char* pszField5;
} _EVT_ALERT_CONTEXT_HELP_EX, EVT_ALERT_CONTEXT_HELP_EX, *PEVT_ALERT_CONTEXT_HELP_EX;

// An alert's hints; the list is freed with EvTraceDeleteMemory, each hint
// with EvTraceDeleteArray.
typedef struct _EVT_ALERT_HINT_LIST {
    DWORD count;
    char* hints[10];
} _EVT_ALERT_HINT_LIST, EVT_ALERT_HINT_LIST, *PEVT_ALERT_HINT_LIST;

// Settings of the event-viewer CSV logs, handed in by the host.
typedef struct _VANTA_WEV_LOGGING_SETTINGS {
    DWORD dwEnable;
    char szLogFolder[260];
    char szLogName[260];
    DWORD dwMaxFileSizeMB;
    DWORD dwDeleteFlags;
    DWORD dwDeleteDays;
    DWORD dwFolderSizeMB;
    DWORD dwUseExtended;
    char szExtLogFolder[260];
    char szExtLogName[260];
    DWORD dwExtMaxFileSizeMB;
    DWORD dwExtCopyFlags;
    char szExtCopyFolder[260];
    DWORD dwExtCopyDays;
    DWORD dwExtDeleteFlags;
    DWORD dwExtDeleteDays;
    DWORD dwExtFolderSizeMB;
} _VANTA_WEV_LOGGING_SETTINGS, VANTA_WEV_LOGGING_SETTINGS, *PVANTA_WEV_LOGGING_SETTINGS;

#ifdef __cplusplus
// Hosts fill the record field by field: no padding anywhere.
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, szLogFolder) == 4, "settings layout");
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, dwMaxFileSizeMB) == 524, "settings layout");
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, dwUseExtended) == 540, "settings layout");
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, szExtLogFolder) == 544, "settings layout");
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, dwExtMaxFileSizeMB) == 1064, "settings layout");
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, szExtCopyFolder) == 1072, "settings layout");
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, dwExtCopyDays) == 1332, "settings layout");
static_assert(offsetof(_VANTA_WEV_LOGGING_SETTINGS, dwExtFolderSizeMB) == 1344, "settings layout");
static_assert(sizeof(_VANTA_WEV_LOGGING_SETTINGS) == 1348, "settings layout");
#endif

// The host's event callback: called on the consumer's listening thread with
// each event of the session as a record, valid only during the call.
typedef void (*PEVT_CLIENT_CALLBACK)(_VANTA_EVTRACE_DATA* pRecord);

// Infoset types and log formats.
#define EVT_INFOSET_ALL 0
#define EVT_INFOSET_ALERTS 1
#define EVT_LOGFORMAT_BINARY 0
#define EVT_LOGFORMAT_TEXT 1

#ifdef __cplusplus
extern "C" {
#endif

// Infosets: snapshots of event records, from a binary event log file or
// (name null) a live snapshot of the event engine, walked with a cursor.
// The records returned point into the infoset and live until it is closed.
TRACEAPI_API LONG OpenInfosetHandle(ULONG* pInfoset, const char* pszFileName, ULONG ulType);
TRACEAPI_API LONG CloseInfosetHandle(ULONG ulInfoset);
TRACEAPI_API LONG CountEvTrace(ULONG ulInfoset, ULONG* pulCount);
TRACEAPI_API LONG GetFirstEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
TRACEAPI_API LONG GetLastEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
TRACEAPI_API LONG GetNextEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
TRACEAPI_API LONG GetPreviousEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
// Writes a list of records as a binary event log (0) or a text log (1).
TRACEAPI_API LONG CreateLogFile(const char* pszFileName, _EVT_RECORD_LIST* pList, ULONG ulFormat);

// Starts the consumer's listening thread (or, while it runs, changes its
// callback); returns after the listener has had time to attach.
TRACEAPI_API LONG SetEvTraceCallback(PEVT_CLIENT_CALLBACK pfnCallback);
// Seven column titles for the next text log header only; null entries fall
// back to the built-in titles. The array is read, not copied.
TRACEAPI_API LONG SetLocalizedHeader(const char** ppszTitles);
// 1 once a listener of this process was refused access to the session.
TRACEAPI_API LONG GetEvTraceListenerStatus(void);

// Alert queries.
TRACEAPI_API LONG GetAlertList(_EVT_ALERT_LIST** ppList);
TRACEAPI_API LONG GetAlertHistoryList(_EVT_RECORD_LIST** ppList);
TRACEAPI_API LONG GetAlertHintList(ULONG ulCode, _EVT_ALERT_HINT_LIST** ppList);
TRACEAPI_API LONG GetAlertContextHelp(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP* pHelp);
TRACEAPI_API LONG GetAlertContextHelpEx(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP_EX* pHelp);
TRACEAPI_API LONG IsAlertableError(ULONG ulCode, ULONG* pulAlertable);
TRACEAPI_API LONG GetErrorDomain(ULONG ulCode, ULONG* pulDomain);
TRACEAPI_API LONG GetErrorSeverity(ULONG ulCode, ULONG* pulSeverity);
TRACEAPI_API LONG GetProviderList(_EVT_PROVIDER_LIST** ppList);

#ifdef __cplusplus
}  // extern "C"

#include <deque>

// One entry of the event data queue: a record and its size, owned by the
// entry. The destructor zeroes the record before freeing it. Copies own a
// copy of the record.
class TRACEAPI_API CEvDataQueueInfo {
public:
    CEvDataQueueInfo();
    CEvDataQueueInfo(const CEvDataQueueInfo& other);
    CEvDataQueueInfo& operator=(const CEvDataQueueInfo& other);
    virtual ~CEvDataQueueInfo();

    _VANTA_EVTRACE_DATA* m_pData;
    DWORD m_dwSize;
};

// The most recent events of the session, newest first, at most "MaxEvents"
// (registry, default 200, at most 500). Unified-log kinds are refused.
// m_Events may be read by the host while it holds m_csQueue.
class TRACEAPI_API CEvDataQueue {
public:
    CEvDataQueue();
    // Copies own copies of the records and a lock of their own.
    CEvDataQueue(const CEvDataQueue& other);
    CEvDataQueue& operator=(const CEvDataQueue& other);
    virtual ~CEvDataQueue();

    // Converts and keeps one event of the session; false when the event was
    // not kept (not convertible, a unified-log kind, out of memory).
    bool AddEvent(PEVENT_TRACE pEvent);
    // Empties the queue under its lock: 0, or E_FAIL.
    LONG DeleteAllEvents();
    // Empties the queue; the caller holds m_csQueue (or owns the queue alone).
    bool Reset();
    // Writes the live snapshot into an open file: the entry count, then
    // each record's size and image, newest first. An empty queue writes
    // nothing. 0, or E_FAIL when a write failed (it stops there; a short
    // file is recognisable by its count).
    LONG WriteEventsToFile(HANDLE& hFile);
    // The driver code index of an event code: 0 to 579, or -1.
    static int GetDriverCodeIndex(DWORD dwCode);
    // Hands new CSV logging settings to the process's CSV logger.
    void LoggingSettingsChanged(const _VANTA_WEV_LOGGING_SETTINGS& settings);

    // A host's look at every record the process's data queues take (the
    // event engine forwards them to a collector). The tap is called inside
    // AddEvent under m_csQueue, right after the CSV logger's hand-off, on the
    // thread that feeds the queue, once per record taken (unified-log kinds
    // are refused before; records are tapped also when "MaxEvents" is 0), in
    // the order the queue takes them. The record lives only during the call.
    // A tap copies what it keeps, returns quickly, calls into no data queue
    // and throws nothing. One tap per process; null removes it. When the
    // call returns, the previous tap runs on no thread and is never called
    // again.
    typedef void (*PRECORD_TAP)(void* pContext, const _VANTA_EVTRACE_DATA* pRecord, DWORD dwSize);
    static void SetRecordTap(PRECORD_TAP pfnTap, void* pContext);

    std::deque<CEvDataQueueInfo*> m_Events;
    DWORD m_dwMaxEvents;
    CRITICAL_SECTION m_csQueue;
};

// How a receiver (the consumer, the alerter) starts and stops listening to
// the session. Embedded in each receiver and zero-filled by it.
#define EVT_LISTENER_MODE_LISTEN 1
#define EVT_LISTENER_MODE_STOP 2

class CEvTraceListener;

typedef struct _EVT_LISTENER_CONFIG {
    DWORD dwMode;  // EVT_LISTENER_MODE_LISTEN or EVT_LISTENER_MODE_STOP
    char szReserved[4096];
    char szSessionName[4096];  // the receivers store the session name here
    ULONG64 qwReserved1;
    ULONG64 qwReserved2;
    PEVENT_CALLBACK pfnEventCallback;  // the receiver's event callback
    ULONG64 qwReserved3;
    PEVT_CLIENT_CALLBACK pfnClientCallback;  // the consumer's host callback
    CEvTraceListener* pListener;  // written by ConfigureListener
    DWORD dwConsumer;
    HANDLE hDoneEvent;     // owner's: signalled when listening ends
    HANDLE hOwnerEvent;    // the consumer's own; not used by the listener
    // The owner's manual-reset event, signalled when an asynchronous
    // listening starts; closed and nulled by the listener when it ends.
    HANDLE hStartedEvent;
} _EVT_LISTENER_CONFIG, EVT_LISTENER_CONFIG, *PEVT_LISTENER_CONFIG;

// Opens the session "Orkan System Trace" as a real-time consumer and pumps
// its events into an event callback until the session stops or the listener
// is told to stop. Base of the receivers. A configuration that is listening
// must outlive its listening: each derived receiver stops its listening
// (StopListening) before its configuration is destroyed.
class TRACEAPI_API CEvTraceListener : public CEvTrace {
public:
    CEvTraceListener();
    // Copies take the fields as they stand but none of the listening.
    CEvTraceListener(const CEvTraceListener& other);
    CEvTraceListener& operator=(const CEvTraceListener& other);
    // Stops and waits for every listening of this listener.
    virtual ~CEvTraceListener();

    // Mode 1 with bAsync: starts a listening thread that delivers to the
    // consumer's event sink, waits up to 13 s for config.hStartedEvent when
    // it is set, then 1 s more for the thread to attach. Mode 1 without
    // bAsync: listens on the calling thread with config.pfnEventCallback and
    // returns when listening has ended. Mode 2: stops this listener's
    // listening (on a new thread with bAsync). Always 0.
    LONG ConfigureListener(_EVT_LISTENER_CONFIG& config, int bAsync);
    // Listens on the calling thread until the session stops or the listener
    // is stopped: each event goes to the consumer's event sink (bConsumer)
    // or to config.pfnEventCallback. Then closes the trace, signals
    // config.hDoneEvent and closes config.hStartedEvent. Failures are
    // absorbed; a refused access sets m_bEvTraceListenerAccessDenied.
    void RealtimeEventSink(_EVT_LISTENER_CONFIG& config, int bConsumer);
    // Ends every listening of this listener and waits until each has ended
    // (not for the one running on the calling thread, which ends when the
    // callback returns).
    void StopListening();
    // True while a listening of this listener has not ended.
    bool IsListening() const;

    // 1 once a ProcessTrace of this process was refused access; never reset.
    static int m_bEvTraceListenerAccessDenied;

    ULONG64 m_qwReserved;
    TRACEHANDLE m_hTrace;  // the trace of the latest listening
    CEvTraceController m_controller;

private:
    struct ListenState;
    ListenState* m_pListenState;
};

// A critical section, the CSV logger's lock. Every object has a lock of its
// own: copies and assignments never share one.
class TRACEAPI_API CritSecLogQueue {
public:
    CritSecLogQueue();
    CritSecLogQueue(const CritSecLogQueue& other);
    CritSecLogQueue& operator=(const CritSecLogQueue& other);
    ~CritSecLogQueue();

    void EnterCritSecLogQueue();
    void LeaveCritSecLogQueue();

    CRITICAL_SECTION m_cs;
};

// The process's writer of the comma-separated event-viewer logs: one file per
// local day, "<folder>\<name>_<yyyy>_<mm>_<dd>.csv" (month and day padded
// with a space), rolled over to "..._<date>@<n>.csv" at the size limit, with
// copy, move and delete rules. The first CEvDataQueue of the process makes
// it, the last one destroys it; records reach it through
// CEvDataQueue::AddEvent and settings through LoggingSettingsChanged.
//
// A push keeps a copy of the record (the queue may free its own at once) and
// hands every 200 records to a short-lived worker thread, which writes them
// and applies the rules. A batch that cannot be written is kept and written
// ahead of the next one (at most ten batches' worth; older records beyond
// that are dropped, counted and reported to the debugger output). A row is
// whole or absent after any failure. Lock order: the data queue's lock, then
// m_csLog.
class TRACEAPI_API CEvWEVLogQueue {
public:
    typedef std::deque<_VANTA_EVTRACE_DATA*> RecordList;

    // Logging stays off until settings arrive.
    CEvWEVLogQueue();
    // Copies take the settings and counters; each object writes only the
    // records pushed to it, under a lock of its own.
    CEvWEVLogQueue(const CEvWEVLogQueue& other);
    CEvWEVLogQueue& operator=(const CEvWEVLogQueue& other);
    // Writes what is still pending, waits for the worker, stores the
    // roll-over counter ("WEVFileCount") when this object changed it.
    virtual ~CEvWEVLogQueue();

    // Applies new settings; waits for a batch being written.
    void RetrieveINISettings(const _VANTA_WEV_LOGGING_SETTINGS& settings);
    // Queues a copy of the record while logging is on; every 200th record,
    // or the first push after logging went off, starts a batch.
    void PushDataInWEVLogFile(const _VANTA_EVTRACE_DATA* pRecord);
    // Writes the caller's list now (when logging is on or records are
    // pending); with logging off, then hands the pending records to a batch.
    void StartWEVLogging(RecordList* pList);
    // Forgets the records pending for the next batch.
    void ResetWEVLog();
    // Writes the caller's records (null entries skipped) to the day file now,
    // rolling over when they do not fit. Records it could not write are kept
    // (as copies) for the next batch.
    void CopyLogsToFile(RecordList* pList);
    // Size estimate of one record's row (0 for a null or missing entry) and
    // of entries from..to-1; used for the roll-over decision only.
    DWORD GetElementSize(const RecordList* pList, int index);
    DWORD GetQueueSize(const RecordList* pList, int from, int to);
    // The copy, move and delete rules (after every batch). The current day
    // file is never touched.
    void CheckForCopyAndDelete();

    DWORD m_dwNextRow;
    CritSecLogQueue m_csLog;
    RecordList* m_pPending;
    DWORD m_bEnabled;
    char m_szLogBase[MAX_PATH];
    char m_szLogFolder[MAX_PATH];
    char m_szLogName[MAX_PATH];
    char m_szCopyFolder[MAX_PATH];
    char m_szCurrentFile[MAX_PATH];
    DWORD m_dwMaxFileSize;
    DWORD m_dwCopyDays;
    DWORD m_dwFolderSizeLimit;
    DWORD m_dwDeleteDays;
    DWORD m_bCopy;
    DWORD m_bCopyEveryBatch;
    DWORD m_bDeleteRules;
    DWORD m_bDeleteByDate;
    DWORD m_bDeleteBySize;
    DWORD m_bMove;
    DWORD m_dwUseExtended;
    char m_szLogComputerName[MAX_PATH];
    char m_szLogUserName[MAX_PATH];

    struct State;  // batches, kept records, worker (internal)

private:
    HANDLE CreateWEVLogFile(int& bExisted, char* pszFileName, char* pszBaseName, char* pszDate);
    BOOL WriteNewEventsToWEVLogFile(HANDLE hFile, RecordList* pList, int from, int to);
    DWORD CalculateFolderSize(const char* pszFolder, DWORD dwLimit);
    int CopyWEVLogFiles(const char* pszSource, const char* pszDestination, int bDelete);
    int DeleteWEVLogFiles(const char* pszFolder);
    int MonitorForCopyDate(const char* pszSource, const char* pszDestination);
    int MonitorForDeleteDate(const char* pszFolder);
    void GetRegFileCount();
    void SetRegFileCount();
    void RetrieveRegistrySettings();
    void SetRegistrySettings();

    // The number of the next rolled-over file, shared by the process.
    static int m_iCount;
    State* m_pState;
};

// ---------------------------------------------------------------------------
// Alerts
// ---------------------------------------------------------------------------
#define EVT_ALERT_HISTORY_MUTEX "Global\\VANTA_ALERT_HISTORY_FILE_MUTEX"
#define EVT_STARTTRACE_EVENT "Global\\VANTA_EVTRACE_STARTTRACE_EVENT"
#define EVT_UL_ENABLED_EVENT "Global\\UL_ENABLED_EVENT"
#define EVT_UL_MESSAGE_NAME "EvtEngCbMessage"
// The message that stops the unified-log thread.
#define EVT_UL_STOP_MESSAGE 0x046F

class CMsgQueue;

// Serves alerts for a host process (the event engine, a user-interface
// process). The host makes a CEvDataQueue and an alerter on it, calls
// ServiceAlerts on a thread of its own (it listens to the session there and
// returns when listening ends), reads the queue whenever its alertable
// event is pulsed, calls StopAlerts from another thread, waits for the done
// event and destroys the alerter.
//
// Every event of the session goes to the queue; an event that the queue
// keeps and whose code (not 0) is an alert code of the event database is
// saved to the user's alert history and pulses the alertable event, while
// "EnableAlerts" is not 0. Start markers (type 66) pulse the machine-wide
// event "Global\VANTA_EVTRACE_STARTTRACE_EVENT". Unified-log events go to
// the alerter's unified-log thread.
//
// The events of every alerter of the process are handled by the oldest
// living one (its queue, its history, its alertable event): one alerter per
// process is the rule. A destroyed alerter is never touched again: its
// destructor stops its listening, hands the events to the next living
// alerter (or to none) and ends its unified-log thread.
class TRACEAPI_API CEvTraceAlerter : public CEvTraceListener {
public:
    // An alerter with nothing: no thread, no events, no queue.
    CEvTraceAlerter();
    // The working alerter on a queue (not owned; it must outlive the
    // alerter). Starts the unified-log thread.
    explicit CEvTraceAlerter(CEvDataQueue* pQueue);
    // Copies share the queue, the alertable event and the flags; they own
    // no thread and no events of their own, and handle no events.
    CEvTraceAlerter(const CEvTraceAlerter& other);
    CEvTraceAlerter& operator=(const CEvTraceAlerter& other);
    virtual ~CEvTraceAlerter();

    // Listens to the session on the calling thread until StopAlerts or the
    // session's end, then signals hDoneEvent (closed by nobody: the
    // caller's). hAlertableEvent (may be null; not owned) is pulsed for each
    // alert. The first argument is not used. 0, or E_FAIL. A call after
    // StopAlerts, when the first call gave a done event, returns 0 at once.
    LONG ServiceAlerts(ULONG ulIgnored, HANDLE hAlertableEvent, HANDLE hDoneEvent);
    // Ends the listening of ServiceAlerts (from any other thread). 0.
    LONG StopAlerts();
    void GetAlertableEvent(HANDLE& hEvent);
    CEvDataQueue* GetEvDataQueue();
    UINT GetULMessageId();
    ULONG GetULThreadId();
    // 1 while unified logging is on ("EnableFlag" not 0), else 0.
    int GetULLogStatus();
    // Reads the logging levels and starts the unified-log thread unless it
    // runs. Called by the working constructor.
    void StartULThread();
    // Appends one record for the event to the alert history of the user
    // (see the alerter's notes above). E_FAIL for a null event, else 0,
    // also when the history could not be written (the old one then stays).
    LONG SaveHistory(PEVENT_TRACE pEvent);

    _EVT_LISTENER_CONFIG m_listenerConfig;
    HANDLE m_hAlertableEvent;         // the caller's; never closed here
    CEvDataQueue* m_pEvDataQueue;     // the caller's
    DWORD m_dwULThreadId;
    UINT m_uULMessageId;              // "EvtEngCbMessage"
    _EVT_ALERT_LIST* m_pAlertList;    // the database's alert codes, owned
    HANDLE m_hULThread;
    CMsgQueue* m_pMsgQueue;           // messages posted to the thread and not yet taken
    PSECURITY_DESCRIPTOR m_pSecurityDescriptor;  // null access list, for the named objects
    HANDLE m_hULEnabledEvent;         // "Global\UL_ENABLED_EVENT"
    int m_bRunningAsSystem;           // the creating thread's user is "SYSTEM"

private:
    int CreateStartTraceEvent();
    // Posts the stop message to the unified-log thread and waits for it;
    // frees the records it had not taken.
    void StopULThread();
    void SendEventToUL(PEVENT_TRACE pEvent, ULONG ulThreadId, UINT uMessageId);
    void SetLoggingLevel();
    BOOL VerifyMessage(MSG& msg);
    static DWORD WINAPI EvtEngCallbackThread(LPVOID pParam);
    static void WINAPI EventCallback(PEVENT_TRACE pEvent);
};
#endif  // __cplusplus
