// Byte layouts of the consumer side: the parts of a trace event only the
// consumer reads, and helpers for the decoded record
// (_VANTA_EVTRACE_DATA), which is one zero-filled heap array owned by whoever
// receives it and freed with FreeRecord.
#pragma once

#include <TraceApi.h>

#include "providers/EventWire.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace traceapi {

// The wire layout is the one the providers write (providers/EventWire.h);
// what follows is what only the consumer reads.
namespace wire {

// Argument block: the item count, then the items, within the item area.
constexpr size_t kBlockItemCountOffset = kItemsOffset + 1;
constexpr size_t kBlockItemsOffset = kItemsOffset + 2;
constexpr size_t kBlockItemsEnd = kItemsOffset + kItemsArea;
constexpr size_t kBlockFileSize = kBlockFileChars + 1;  // the source file's field

// Driver events (class type 10).
constexpr UCHAR kClassDriver = 10;
constexpr size_t kDriverTimeOffset = 20;
constexpr size_t kDriverCodeOffset = 36;
constexpr size_t kDriverTextOffset = 40;
}  // namespace wire

namespace record {
constexpr size_t kFixedSize = EVT_RECORD_FIXED_SIZE;
constexpr size_t kTailSize = EVT_RECORD_TAIL_SIZE;
// Size of a record of the library's providers with n bytes of data.
constexpr size_t SizeFor(size_t dataLen) { return dataLen + kFixedSize + kTailSize; }
// Records of the wireless driver carry four more zero bytes behind the data.
constexpr size_t kDriverExtra = 4;
constexpr const char kDriverSource[] = "Mesquite_Driver";
constexpr DWORD kDriverEventType = 0x1040;
}  // namespace record

// Reads little-endian integers from unaligned bytes.
inline DWORD ReadU32(const BYTE* p) {
    DWORD v;
    memcpy(&v, p, sizeof v);
    return v;
}
inline WORD ReadU16(const BYTE* p) {
    WORD v;
    memcpy(&v, p, sizeof v);
    return v;
}
// A plain 32-bit int rather than LONG, which is long on Windows: the
// connection lines print these with %d.
inline int32_t ReadI32(const BYTE* p) {
    int32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Allocates a zero-filled record of `size` bytes; raises EVT_E_OUTOFMEMORY.
_VANTA_EVTRACE_DATA* AllocRecord(size_t size);

// Frees a record made by AllocRecord (or by any of the library's readers);
// null is ignored.
inline void FreeRecord(_VANTA_EVTRACE_DATA* record) { delete[] reinterpret_cast<BYTE*>(record); }

// Frees a record when its holder leaves scope, unless released.
class RecordHolder {
public:
    RecordHolder() = default;
    explicit RecordHolder(_VANTA_EVTRACE_DATA* record) : m_p(record) {}
    RecordHolder(const RecordHolder&) = delete;
    RecordHolder& operator=(const RecordHolder&) = delete;
    ~RecordHolder() { FreeRecord(m_p); }
    _VANTA_EVTRACE_DATA* get() const { return m_p; }
    _VANTA_EVTRACE_DATA** out() { return &m_p; }
    _VANTA_EVTRACE_DATA* release() {
        _VANTA_EVTRACE_DATA* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    _VANTA_EVTRACE_DATA* m_p = nullptr;
};

}  // namespace traceapi
