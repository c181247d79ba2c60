// Event tracing: real-time trace sessions shared by every process of the
// machine root, with the SDK's API, x64 structure layouts and status codes.
#pragma once

#include <windows.h>
#include <wmistr.h>

typedef ULONG64 TRACEHANDLE, *PTRACEHANDLE;
#define INVALID_PROCESSTRACE_HANDLE ((TRACEHANDLE)INVALID_HANDLE_VALUE)

#define KERNEL_LOGGER_NAMEA "NT Kernel Logger"
#define MAX_MOF_FIELDS 16

#define EVENT_TRACE_TYPE_INFO 0x00
#define EVENT_TRACE_TYPE_START 0x01
#define EVENT_TRACE_TYPE_END 0x02
#define EVENT_TRACE_TYPE_DC_START 0x03
#define EVENT_TRACE_TYPE_DC_END 0x04
#define EVENT_TRACE_TYPE_EXTENSION 0x05
#define EVENT_TRACE_TYPE_REPLY 0x06
#define EVENT_TRACE_TYPE_DEQUEUE 0x07
#define EVENT_TRACE_TYPE_CHECKPOINT 0x08

#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

#define EVENT_TRACE_FILE_MODE_NONE 0x00000000
#define EVENT_TRACE_FILE_MODE_SEQUENTIAL 0x00000001
#define EVENT_TRACE_FILE_MODE_CIRCULAR 0x00000002
#define EVENT_TRACE_FILE_MODE_APPEND 0x00000004
#define EVENT_TRACE_FILE_MODE_NEWFILE 0x00000008
#define EVENT_TRACE_FILE_MODE_PREALLOCATE 0x00000020
#define EVENT_TRACE_NONSTOPPABLE_MODE 0x00000040
#define EVENT_TRACE_SECURE_MODE 0x00000080
#define EVENT_TRACE_REAL_TIME_MODE 0x00000100
#define EVENT_TRACE_DELAY_OPEN_FILE_MODE 0x00000200
#define EVENT_TRACE_BUFFERING_MODE 0x00000400
#define EVENT_TRACE_PRIVATE_LOGGER_MODE 0x00000800
#define EVENT_TRACE_ADD_HEADER_MODE 0x00001000
#define EVENT_TRACE_USE_GLOBAL_SEQUENCE 0x00004000
#define EVENT_TRACE_USE_LOCAL_SEQUENCE 0x00008000
#define EVENT_TRACE_RELOG_MODE 0x00010000
#define EVENT_TRACE_USE_PAGED_MEMORY 0x01000000

#define EVENT_TRACE_CONTROL_QUERY 0
#define EVENT_TRACE_CONTROL_STOP 1
#define EVENT_TRACE_CONTROL_UPDATE 2
#define EVENT_TRACE_CONTROL_FLUSH 3

#define PROCESS_TRACE_MODE_REAL_TIME 0x00000100
#define PROCESS_TRACE_MODE_RAW_TIMESTAMP 0x00001000
#define PROCESS_TRACE_MODE_EVENT_RECORD 0x10000000

typedef struct _EVENT_TRACE_HEADER {
    USHORT Size;
    union {
        USHORT FieldTypeFlags;
        struct {
            UCHAR HeaderType;
            UCHAR MarkerFlags;
        };
    };
    union {
        ULONG Version;
        struct {
            UCHAR Type;
            UCHAR Level;
            USHORT Version;
        } Class;
    };
    ULONG ThreadId;
    ULONG ProcessId;
    LARGE_INTEGER TimeStamp;
    union {
        GUID Guid;
        ULONGLONG GuidPtr;
    };
    union {
        struct {
            ULONG KernelTime;
            ULONG UserTime;
        };
        ULONG64 ProcessorTime;
        struct {
            ULONG ClientContext;
            ULONG Flags;
        };
    };
} EVENT_TRACE_HEADER, *PEVENT_TRACE_HEADER;

typedef struct _ETW_BUFFER_CONTEXT {
    UCHAR ProcessorNumber;
    UCHAR Alignment;
    USHORT LoggerId;
} ETW_BUFFER_CONTEXT, *PETW_BUFFER_CONTEXT;

typedef struct _EVENT_TRACE {
    EVENT_TRACE_HEADER Header;
    ULONG InstanceId;
    ULONG ParentInstanceId;
    GUID ParentGuid;
    PVOID MofData;
    ULONG MofLength;
    union {
        ULONG ClientContext;
        ETW_BUFFER_CONTEXT BufferContext;
    };
} EVENT_TRACE, *PEVENT_TRACE;

typedef struct _TRACE_LOGFILE_HEADER {
    ULONG BufferSize;
    union {
        ULONG Version;
        struct {
            UCHAR MajorVersion;
            UCHAR MinorVersion;
            UCHAR SubVersion;
            UCHAR SubMinorVersion;
        } VersionDetail;
    };
    ULONG ProviderVersion;
    ULONG NumberOfProcessors;
    LARGE_INTEGER EndTime;
    ULONG TimerResolution;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG BuffersWritten;
    union {
        GUID LogInstanceGuid;
        struct {
            ULONG StartBuffers;
            ULONG PointerSize;
            ULONG EventsLost;
            ULONG CpuSpeedInMHz;
        };
    };
    LPWSTR LoggerName;
    LPWSTR LogFileName;
    TIME_ZONE_INFORMATION TimeZone;
    LARGE_INTEGER BootTime;
    LARGE_INTEGER PerfFreq;
    LARGE_INTEGER StartTime;
    ULONG ReservedFlags;
    ULONG BuffersLost;
} TRACE_LOGFILE_HEADER, *PTRACE_LOGFILE_HEADER;

typedef struct _EVENT_TRACE_PROPERTIES {
    WNODE_HEADER Wnode;
    ULONG BufferSize;
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize;
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    LONG AgeLimit;
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
} EVENT_TRACE_PROPERTIES, *PEVENT_TRACE_PROPERTIES;

typedef struct _TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
} TRACE_GUID_REGISTRATION, *PTRACE_GUID_REGISTRATION;

typedef struct _MOF_FIELD {
    ULONG64 DataPtr;
    ULONG Length;
    ULONG DataType;
} MOF_FIELD, *PMOF_FIELD;

typedef struct _EVENT_TRACE_LOGFILEA EVENT_TRACE_LOGFILEA, *PEVENT_TRACE_LOGFILEA;
typedef ULONG(WINAPI* PEVENT_TRACE_BUFFER_CALLBACKA)(PEVENT_TRACE_LOGFILEA Logfile);
typedef VOID(WINAPI* PEVENT_CALLBACK)(PEVENT_TRACE pEvent);
typedef ULONG(WINAPI* WMIDPREQUEST)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext, ULONG* BufferSize,
                                    PVOID Buffer);

struct _EVENT_TRACE_LOGFILEA {
    LPSTR LogFileName;
    LPSTR LoggerName;
    LONGLONG CurrentTime;
    ULONG BuffersRead;
    union {
        ULONG LogFileMode;
        ULONG ProcessTraceMode;
    };
    EVENT_TRACE CurrentEvent;
    TRACE_LOGFILE_HEADER LogfileHeader;
    PEVENT_TRACE_BUFFER_CALLBACKA BufferCallback;
    ULONG BufferSize;
    ULONG Filled;
    ULONG EventsLost;
    union {
        PEVENT_CALLBACK EventCallback;
        PVOID EventRecordCallback;
    };
    ULONG IsKernelTrace;
    PVOID Context;
};
typedef EVENT_TRACE_LOGFILEA EVENT_TRACE_LOGFILE, *PEVENT_TRACE_LOGFILE;

// The x64 layouts of the SDK, which callers and stored data rely on.
#ifdef __cplusplus
#define W32RT_ETW_LAYOUT(cond, what) static_assert(cond, what)
#else
#define W32RT_ETW_LAYOUT(cond, what) _Static_assert(cond, what)
#endif
W32RT_ETW_LAYOUT(sizeof(EVENT_TRACE_HEADER) == 48, "EVENT_TRACE_HEADER");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_HEADER, Class) == 4, "EVENT_TRACE_HEADER.Class");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_HEADER, ThreadId) == 8, "EVENT_TRACE_HEADER.ThreadId");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_HEADER, ProcessId) == 12, "EVENT_TRACE_HEADER.ProcessId");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_HEADER, TimeStamp) == 16, "EVENT_TRACE_HEADER.TimeStamp");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_HEADER, Guid) == 24, "EVENT_TRACE_HEADER.Guid");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_HEADER, ClientContext) == 40, "EVENT_TRACE_HEADER.ClientContext");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_HEADER, Flags) == 44, "EVENT_TRACE_HEADER.Flags");
W32RT_ETW_LAYOUT(sizeof(EVENT_TRACE) == 88, "EVENT_TRACE");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE, InstanceId) == 48, "EVENT_TRACE.InstanceId");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE, ParentGuid) == 56, "EVENT_TRACE.ParentGuid");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE, MofData) == 72, "EVENT_TRACE.MofData");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE, MofLength) == 80, "EVENT_TRACE.MofLength");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE, BufferContext) == 84, "EVENT_TRACE.BufferContext");
W32RT_ETW_LAYOUT(sizeof(EVENT_TRACE_PROPERTIES) == 120, "EVENT_TRACE_PROPERTIES");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, BufferSize) == 48, "EVENT_TRACE_PROPERTIES.BufferSize");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, LogFileMode) == 64, "EVENT_TRACE_PROPERTIES.LogFileMode");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, NumberOfBuffers) == 80, "EVENT_TRACE_PROPERTIES.NumberOfBuffers");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, EventsLost) == 88, "EVENT_TRACE_PROPERTIES.EventsLost");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, RealTimeBuffersLost) == 100, "EVENT_TRACE_PROPERTIES.RealTimeBuffersLost");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, LoggerThreadId) == 104, "EVENT_TRACE_PROPERTIES.LoggerThreadId");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, LogFileNameOffset) == 112, "EVENT_TRACE_PROPERTIES.LogFileNameOffset");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_PROPERTIES, LoggerNameOffset) == 116, "EVENT_TRACE_PROPERTIES.LoggerNameOffset");
W32RT_ETW_LAYOUT(sizeof(TRACE_LOGFILE_HEADER) == 280, "TRACE_LOGFILE_HEADER");
W32RT_ETW_LAYOUT(offsetof(TRACE_LOGFILE_HEADER, EndTime) == 16, "TRACE_LOGFILE_HEADER.EndTime");
W32RT_ETW_LAYOUT(offsetof(TRACE_LOGFILE_HEADER, StartBuffers) == 40, "TRACE_LOGFILE_HEADER.StartBuffers");
W32RT_ETW_LAYOUT(offsetof(TRACE_LOGFILE_HEADER, LoggerName) == 56, "TRACE_LOGFILE_HEADER.LoggerName");
W32RT_ETW_LAYOUT(offsetof(TRACE_LOGFILE_HEADER, TimeZone) == 72, "TRACE_LOGFILE_HEADER.TimeZone");
W32RT_ETW_LAYOUT(offsetof(TRACE_LOGFILE_HEADER, BootTime) == 248, "TRACE_LOGFILE_HEADER.BootTime");
W32RT_ETW_LAYOUT(offsetof(TRACE_LOGFILE_HEADER, BuffersLost) == 276, "TRACE_LOGFILE_HEADER.BuffersLost");
W32RT_ETW_LAYOUT(sizeof(EVENT_TRACE_LOGFILEA) == 448, "EVENT_TRACE_LOGFILEA");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, CurrentTime) == 16, "EVENT_TRACE_LOGFILEA.CurrentTime");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, ProcessTraceMode) == 28, "EVENT_TRACE_LOGFILEA.ProcessTraceMode");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, CurrentEvent) == 32, "EVENT_TRACE_LOGFILEA.CurrentEvent");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, LogfileHeader) == 120, "EVENT_TRACE_LOGFILEA.LogfileHeader");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, BufferCallback) == 400, "EVENT_TRACE_LOGFILEA.BufferCallback");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, EventsLost) == 416, "EVENT_TRACE_LOGFILEA.EventsLost");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, EventCallback) == 424, "EVENT_TRACE_LOGFILEA.EventCallback");
W32RT_ETW_LAYOUT(offsetof(EVENT_TRACE_LOGFILEA, Context) == 440, "EVENT_TRACE_LOGFILEA.Context");
W32RT_ETW_LAYOUT(sizeof(TRACE_GUID_REGISTRATION) == 16, "TRACE_GUID_REGISTRATION");
W32RT_ETW_LAYOUT(sizeof(MOF_FIELD) == 16, "MOF_FIELD");
#undef W32RT_ETW_LAYOUT

W32RT_BEGIN_DECLS

// Controllers. Starting, stopping, querying and enabling need the rights of
// the machine root's owner or of the superuser (ERROR_ACCESS_DENIED).
WINADVAPI ULONG WMIAPI StartTraceA(PTRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
WINADVAPI ULONG WMIAPI ControlTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties,
                                     ULONG ControlCode);
WINADVAPI ULONG WMIAPI StopTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
WINADVAPI ULONG WMIAPI QueryTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
WINADVAPI ULONG WMIAPI FlushTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties);
WINADVAPI ULONG WMIAPI QueryAllTracesA(PEVENT_TRACE_PROPERTIES* PropertyArray, ULONG PropertyArrayCount,
                                       PULONG LoggerCount);
WINADVAPI ULONG WMIAPI EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid,
                                   TRACEHANDLE TraceHandle);

// Providers. The control callback runs on a runtime thread of the
// registering process.
WINADVAPI ULONG WMIAPI RegisterTraceGuidsA(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid,
                                           ULONG GuidCount, PTRACE_GUID_REGISTRATION TraceGuidReg, LPCSTR MofImagePath,
                                           LPCSTR MofResourceName, PTRACEHANDLE RegistrationHandle);
WINADVAPI ULONG WMIAPI UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);
WINADVAPI TRACEHANDLE WMIAPI GetTraceLoggerHandle(PVOID Buffer);
WINADVAPI UCHAR WMIAPI GetTraceEnableLevel(TRACEHANDLE TraceHandle);
WINADVAPI ULONG WMIAPI GetTraceEnableFlags(TRACEHANDLE TraceHandle);
// Writing is open to every user. Never blocks on consumers.
WINADVAPI ULONG WMIAPI TraceEvent(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace);

// Real-time consumers.
WINADVAPI TRACEHANDLE WMIAPI OpenTraceA(PEVENT_TRACE_LOGFILEA Logfile);
WINADVAPI ULONG WMIAPI ProcessTrace(PTRACEHANDLE HandleArray, ULONG HandleCount, LPFILETIME StartTime,
                                    LPFILETIME EndTime);
WINADVAPI ULONG WMIAPI CloseTrace(TRACEHANDLE TraceHandle);

W32RT_END_DECLS

#define StartTrace StartTraceA
#define ControlTrace ControlTraceA
#define StopTrace StopTraceA
#define QueryTrace QueryTraceA
#define FlushTrace FlushTraceA
#define QueryAllTraces QueryAllTracesA
#define RegisterTraceGuids RegisterTraceGuidsA
#define OpenTrace OpenTraceA
