// Byte layouts shared by the consumer side: the fixed block of a trace event
// as it travels through the session, and helpers for the decoded record
// (_VANTA_EVTRACE_DATA), which is one zero-filled heap array owned by whoever
// receives it and freed with FreeRecord.
#pragma once

#include <TraceApi.h>

#include <stddef.h>
#include <string.h>

namespace evt {

// The fixed block that begins the data of every event of the library's
// providers (offsets from the start of the event data).
namespace wire {
constexpr DWORD kMagic = 0x55AA55AA;
constexpr size_t kMagicOffset = 0;
constexpr size_t kDataSizeOffset = 4;
constexpr size_t kEventCodeOffset = 8;
constexpr size_t kEventTypeOffset = 12;
constexpr size_t kSourceOffset = 24;
constexpr size_t kUserNameOffset = 280;
constexpr size_t kProviderTextOffset = 536;
constexpr size_t kStringBOffset = 792;
constexpr size_t kStringAOffset = 1048;
constexpr size_t kFlagOffset = 1304;
constexpr size_t kFixedSize = 1312;
constexpr size_t kTextFieldSize = 256;

// Header class types.
constexpr UCHAR kClassDriver = 10;
constexpr UCHAR kClassProvider = 51;
constexpr UCHAR kClassTimeStamped = 52;

// The 1,312-byte argument and log blocks (offsets from the block's start).
constexpr size_t kBlockSize = 1312;
constexpr size_t kBlockMessageOffset = 4;
constexpr size_t kBlockMessageSize = 1024;
constexpr size_t kBlockItemCountOffset = 5;
constexpr size_t kBlockItemsOffset = 6;
constexpr size_t kBlockItemsEnd = 1028;  // items share the 1,024 bytes from offset 4
constexpr size_t kBlockFileOffset = 1028;
constexpr size_t kBlockFileSize = 260;
constexpr size_t kBlockLineOffset = 1288;
constexpr size_t kBlockTimeOffset = 1296;
constexpr size_t kBlockProcessOffset = 1304;
constexpr size_t kBlockThreadOffset = 1308;

// Driver events (class type 10).
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
inline LONG ReadI32(const BYTE* p) {
    LONG v;
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

}  // namespace evt
