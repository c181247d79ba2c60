// The one conversion of a session event into an event record, used by every
// receiver: the consumer's event sink (mode 2), the event data queue and the
// unified log (mode 7).
//
// The event's payload comes from any process that can write to the session
// and is not trusted: its sizes are checked against the length that the
// session delivered, its strings are read only within their fields, and its
// argument blocks are formatted without handing their text to the C library
// as a format.
#pragma once

#include <TraceApi.h>

namespace traceapi {

// Conversion modes: what the caller takes.
constexpr DWORD kConvertForConsumer = 2;  // every kind, but not the driver's codes 19 to 22
constexpr DWORD kConvertForQueue = 7;     // no driver events

// Converts one event into a new record (freed with FreeRecord) and its size.
// Returns S_OK, or E_FAIL when the event cannot be converted; *record is set
// as soon as a record exists, also when the result is a failure, and the
// caller frees it in every case. Raises _evt_error(EVT_E_OUTOFMEMORY) when
// the record cannot be allocated (nothing is handed out then).
//
// An event of the library's providers whose data-size field is below the
// fixed block or beyond the delivered payload is refused with E_FAIL and no
// record.
LONG ConvertEventToRecord(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size, DWORD mode);

// Where a conversion takes its record's memory: a zero-filled block of at
// least `size` bytes, which the caller then gives back to the same source.
// Raises _evt_error(EVT_E_OUTOFMEMORY) when there is none.
class RecordAllocator {
public:
    virtual _VANTA_EVTRACE_DATA* Allocate(size_t size) = 0;

protected:
    ~RecordAllocator() = default;
};

// The same conversion with the record taken from `allocator` (the caller
// gives it back there, whatever the result).
LONG ConvertEventToRecord(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size, DWORD mode,
                          RecordAllocator& allocator);

// The index of a driver event code in the driver's code table: n - 513 for
// code numbers n from 513 to 1092, else -1 (also for code 0 and for codes
// with any of bits 20 to 30 set).
int DriverCodeIndex(DWORD code);

// Events that the wireless driver writes into the session (class type 10).
class CEvDriverTrace {
public:
    virtual ~CEvDriverTrace();
    // Same contract as ConvertEventToRecord.
    LONG ConvertDriverEvent(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size, DWORD mode);
    LONG ConvertDriverEvent(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size, DWORD mode,
                            RecordAllocator& allocator);
};

}  // namespace traceapi
