// WMI node header, the first member of trace session properties.
#pragma once

#include <winnt.h>

typedef struct _WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

#ifdef __cplusplus
static_assert(sizeof(WNODE_HEADER) == 48, "WNODE_HEADER");
static_assert(offsetof(WNODE_HEADER, HistoricalContext) == 8, "WNODE_HEADER.HistoricalContext");
static_assert(offsetof(WNODE_HEADER, TimeStamp) == 16, "WNODE_HEADER.TimeStamp");
static_assert(offsetof(WNODE_HEADER, Guid) == 24, "WNODE_HEADER.Guid");
static_assert(offsetof(WNODE_HEADER, ClientContext) == 40, "WNODE_HEADER.ClientContext");
static_assert(offsetof(WNODE_HEADER, Flags) == 44, "WNODE_HEADER.Flags");
#else
_Static_assert(sizeof(WNODE_HEADER) == 48, "WNODE_HEADER");
_Static_assert(offsetof(WNODE_HEADER, Guid) == 24, "WNODE_HEADER.Guid");
_Static_assert(offsetof(WNODE_HEADER, Flags) == 44, "WNODE_HEADER.Flags");
#endif

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_SINGLE_ITEM 0x00000004
#define WNODE_FLAG_EVENT_ITEM 0x00000008
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_TOO_SMALL 0x00000020
#define WNODE_FLAG_INSTANCES_SAME 0x00000040
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000080
#define WNODE_FLAG_INTERNAL 0x00000100
#define WNODE_FLAG_USE_TIMESTAMP 0x00000200
#define WNODE_FLAG_PERSIST_EVENT 0x00000400
#define WNODE_FLAG_EVENT_REFERENCE 0x00002000
#define WNODE_FLAG_ANSI_INSTANCENAMES 0x00004000
#define WNODE_FLAG_METHOD_ITEM 0x00008000
#define WNODE_FLAG_PDO_INSTANCE_NAMES 0x00010000
#define WNODE_FLAG_TRACED_GUID 0x00020000
#define WNODE_FLAG_LOG_WNODE 0x00040000
#define WNODE_FLAG_USE_GUID_PTR 0x00080000
#define WNODE_FLAG_USE_MOF_PTR 0x00100000
#define WNODE_FLAG_NO_HEADER 0x00200000

typedef enum {
    WMI_GET_ALL_DATA = 0,
    WMI_GET_SINGLE_INSTANCE = 1,
    WMI_SET_SINGLE_INSTANCE = 2,
    WMI_SET_SINGLE_ITEM = 3,
    WMI_ENABLE_EVENTS = 4,
    WMI_DISABLE_EVENTS = 5,
    WMI_ENABLE_COLLECTION = 6,
    WMI_DISABLE_COLLECTION = 7,
    WMI_REGINFO = 8,
    WMI_EXECUTE_METHOD = 9
} WMIDPREQUESTCODE;
