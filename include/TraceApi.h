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
// (declared by the provider side)

// ---------------------------------------------------------------------------
// Session and controller
// ---------------------------------------------------------------------------
// (declared by the provider side)

// ---------------------------------------------------------------------------
// Consumer: listener, data queue, infosets, alert queries
// ---------------------------------------------------------------------------
// (declared by the consumer side)
