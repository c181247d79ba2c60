#include "providers/EvRecordConvert.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "providers/EvArgFormat.h"
#include "providers/EvRecordLayout.h"

namespace traceapi {

_VANTA_EVTRACE_DATA* AllocRecord(size_t size) {
    BYTE* p = new (std::nothrow) BYTE[size]();
    if (p == nullptr) throw _evt_error(EVT_E_OUTOFMEMORY, 0);
    return reinterpret_cast<_VANTA_EVTRACE_DATA*>(p);
}

namespace {

// Records from the heap, freed with FreeRecord.
class HeapRecords final : public RecordAllocator {
public:
    _VANTA_EVTRACE_DATA* Allocate(size_t size) override { return AllocRecord(size); }
};

// Text length and size of the record of a connection event: the line is
// made in a 512-byte buffer and its first 352 bytes become the text.
constexpr size_t kConnectionLineBuffer = 512;
constexpr DWORD kConnectionTextLen = 352;
// The formatted line of an argument or log block: its first 1,312 bytes.
constexpr DWORD kBlockTextLen = 1312;
// Record size of an event without the magic (never filled).
constexpr size_t kForeignRecordSize = 1320;

// Connection event block (the data of a class-type-52 event).
namespace conn {
constexpr size_t kEventId = 0;
constexpr size_t kMac = 4;
constexpr size_t kName = 10;
constexpr size_t kNameSize = 34;
constexpr size_t kValue = 44;
constexpr size_t kRssi = 48;
constexpr size_t kDetail = 52;
constexpr size_t kDetailSize = 268;
constexpr size_t kTpTPriority = 320;
constexpr size_t kRssiPriority = 324;
constexpr size_t kConnectionAttemptPriority = 328;
constexpr size_t kDirectRoamPriority = 332;
constexpr size_t kRoamingPriority = 336;
constexpr size_t kMisBcn = 340;
constexpr size_t kRssiTh = 344;
constexpr size_t kSize = 348;
}  // namespace conn

// A record's 256-byte text fields hold at most 255 characters and a zero.
constexpr size_t kRecordFieldChars = 255;

// Copies a text field that may lack its terminator into `dst` (fieldSize+1).
void CopyField(char* dst, const BYTE* src, size_t fieldSize) {
    size_t n = strnlen(reinterpret_cast<const char*>(src), fieldSize);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Makes the line of a connection event. `data` holds `len` bytes; a shorter
// block reads as if padded with zeros, and its strings end within their
// fields.
void MakeConnectionLine(const BYTE* data, size_t len, char* line) {
    BYTE b[conn::kSize] = {};
    memcpy(b, data, len < sizeof b ? len : sizeof b);
    char name[conn::kNameSize + 1];
    char detail[conn::kDetailSize + 1];
    CopyField(name, b + conn::kName, conn::kNameSize);
    CopyField(detail, b + conn::kDetail, conn::kDetailSize);
    const BYTE* m = b + conn::kMac;
    const unsigned value = ReadU16(b + conn::kValue);
    const int rssi = ReadI32(b + conn::kRssi);
    const size_t cap = kConnectionLineBuffer - 1;

#define EVT_MAC "%02x:%02x:%02x:%02x:%02x:%02x"
#define EVT_MAC_ARGS m[0], m[1], m[2], m[3], m[4], m[5]
    switch (ReadU32(b + conn::kEventId)) {
    case 1: snprintf(line, cap, "ATC " EVT_MAC " %s %u RSSI=%d", EVT_MAC_ARGS, name, value, rssi); break;
    case 2: snprintf(line, cap, "AssociationFailure " EVT_MAC " %s %u %s", EVT_MAC_ARGS, name, value, detail); break;
    case 3:
        snprintf(line, cap, "RoamTrigger " EVT_MAC " %s %u RSSI=%d MisBcn=%d RSSITh=%d %s", EVT_MAC_ARGS, name, value,
                 rssi, ReadI32(b + conn::kMisBcn), ReadI32(b + conn::kRssiTh), detail);
        break;
    case 4:
        snprintf(line, cap,
                 "RoamCand " EVT_MAC
                 " TpTPriority=%d RSSIPriority=%d ConnectionAttemptPriority=%d DirectRoamPriority=%d",
                 EVT_MAC_ARGS, ReadI32(b + conn::kTpTPriority), ReadI32(b + conn::kRssiPriority),
                 ReadI32(b + conn::kConnectionAttemptPriority), ReadI32(b + conn::kDirectRoamPriority));
        break;
    case 5:
        snprintf(line, cap, "Roam To " EVT_MAC " %s %u RoamingPriority=%d", EVT_MAC_ARGS, name, value,
                 ReadI32(b + conn::kRoamingPriority));
        break;
    case 7: snprintf(line, cap, "RxAuthSuccess " EVT_MAC " %u", EVT_MAC_ARGS, value); break;
    case 8: snprintf(line, cap, "RxAssocResp " EVT_MAC " %u %d", EVT_MAC_ARGS, value, rssi); break;
    case 9: snprintf(line, cap, "RxDisAssoc " EVT_MAC " %s", EVT_MAC_ARGS, detail); break;
    case 10: snprintf(line, cap, "RxDeAut " EVT_MAC " %s", EVT_MAC_ARGS, detail); break;
    case 11: snprintf(line, cap, "AddToExclude " EVT_MAC " %s %u %s", EVT_MAC_ARGS, name, value, detail); break;
    default: break;  // no line: the text stays zero
    }
#undef EVT_MAC
#undef EVT_MAC_ARGS
}

// Writes text into a fixed area, cutting what does not fit.
class TextWriter {
public:
    TextWriter(char* area, size_t size) : m_p(area), m_end(area + size) {}
    void Put(const char* text) { Put(text, strlen(text)); }
    void Put(const char* text, size_t n) {
        const size_t room = size_t(m_end - m_p);
        if (n > room) n = room;
        memcpy(m_p, text, n);
        m_p += n;
    }
    void Hex(DWORD value) {
        char digits[8];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        while (n > 0) Put(&digits[--n], 1);
    }
    void Decimal(LONG value) {
        long long v = value;
        if (v < 0) {
            Put("-", 1);
            v = -v;
        }
        char digits[12];
        int n = 0;
        do {
            digits[n++] = char('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) Put(&digits[--n], 1);
    }

private:
    char* m_p;
    char* m_end;
};

// Makes "[p:..][t:..]:message @file(line)" of an argument or log block and
// replaces the record's time stamp by the block's. An argument block without
// items or without its format item gives E_FAIL and leaves the text empty.
LONG MakeBlockLine(const BYTE* block, DWORD eventType, _VANTA_EVTRACE_DATA* rec) {
    using namespace wire;
    char message[kArgMessageSize] = {};
    const bool formatted =
        eventType == 56 || eventType == 57 || eventType == 58 || eventType == 62 || eventType == 63 || eventType == 64;
    if (formatted) {
        if (FormatArgumentBlock(block, message) != S_OK) return E_FAIL;
    } else {
        CopyField(message, block + kItemsOffset, kItemsArea - 1);
    }
    size_t m = strlen(message);
    if (m > 2 && message[m - 2] == '\r') {
        message[m - 2] = '\0';
    } else if (m > 0 && message[m - 1] == '\n') {
        message[m - 1] = '\0';
    }
    char file[kBlockFileSize + 1];
    CopyField(file, block + kOffBlockFile, kBlockFileSize);

    // "[p:0x%x][t:0x%x]:%s @%s(%d)", cut at the record's text length; the
    // record's text area is zero-filled and holds it.
    TextWriter line(reinterpret_cast<char*>(rec->Data), kBlockTextLen);
    line.Put("[p:0x");
    line.Hex(ReadU32(block + kOffBlockProcess));
    line.Put("][t:0x");
    line.Hex(ReadU32(block + kOffBlockThread));
    line.Put("]:");
    line.Put(message);
    line.Put(" @");
    line.Put(file);
    line.Put("(");
    line.Decimal(ReadI32(block + kOffBlockLine));
    line.Put(")");
    rec->dwDataLen = kBlockTextLen;
    memcpy(&rec->ftTimeStamp, block + kOffBlockTime, sizeof rec->ftTimeStamp);
    return S_OK;
}

LONG ConvertProviderEvent(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size,
                          RecordAllocator& allocator) {
    using namespace wire;
    const BYTE* data = static_cast<const BYTE*>(event->MofData);
    const size_t delivered = data != nullptr ? event->MofLength : 0;
    if (delivered < sizeof(DWORD)) return E_FAIL;
    if (ReadU32(data + kOffMagic) != kMagic) {
        // Not ours: a record that exists only to be freed.
        *record = allocator.Allocate(kForeignRecordSize);
        *size = DWORD(kForeignRecordSize);
        return E_FAIL;
    }
    if (delivered < kFixedSize) return E_FAIL;
    const size_t dataSize = ReadU32(data + kOffDataSize);
    if (dataSize < kFixedSize || dataSize > delivered) return E_FAIL;
    const size_t textLen = dataSize - kFixedSize;
    const UCHAR classType = event->Header.Class.Type;

    // A connection line is 352 bytes of text whatever the block's length.
    size_t recordSize = record::SizeFor(textLen);
    if (classType == kClassTypeTimeStamp && recordSize < record::SizeFor(kConnectionTextLen)) {
        recordSize = record::SizeFor(kConnectionTextLen);
    }
    _VANTA_EVTRACE_DATA* rec = allocator.Allocate(recordSize);
    *record = rec;
    *size = DWORD(recordSize);

    rec->dwDataLen = DWORD(textLen);
    CopyField(rec->szSource, data + kOffSource, kRecordFieldChars);
    CopyField(rec->szUserName, data + kOffUserName, kRecordFieldChars);
    CopyField(rec->szProviderText, data + kOffProviderText, kRecordFieldChars);
    CopyField(rec->szStringA, data + kOffStringA, kRecordFieldChars);
    CopyField(rec->szStringB, data + kOffStringB, kRecordFieldChars);
    rec->bFlag = data[kOffFlag];
    rec->ftTimeStamp.dwLowDateTime = event->Header.TimeStamp.LowPart;
    rec->ftTimeStamp.dwHighDateTime = DWORD(event->Header.TimeStamp.HighPart);
    rec->dwEventCode = ReadU32(data + kOffCode);
    rec->dwEventType = ReadU32(data + kOffType);

    const BYTE* payload = data + kFixedSize;
    if (classType == kClassTypeTimeStamp) {
        char line[kConnectionLineBuffer] = {};
        MakeConnectionLine(payload, textLen, line);
        rec->dwDataLen = kConnectionTextLen;
        memcpy(rec->Data, line, kConnectionTextLen);
        return S_OK;
    }
    if (textLen != kBlockSize) {
        memcpy(rec->Data, payload, textLen);
        return S_OK;
    }
    return MakeBlockLine(payload, rec->dwEventType, rec);
}

}  // namespace

int DriverCodeIndex(DWORD code) {
    if (code == 0 || (code & 0x7FF00000) != 0) return -1;
    const DWORD n = code & 0x7FF;
    if (n < 513 || n > 1092) return -1;
    return int(n) - 513;
}

CEvDriverTrace::~CEvDriverTrace() = default;

LONG CEvDriverTrace::ConvertDriverEvent(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size,
                                        DWORD mode) {
    HeapRecords heap;
    return ConvertDriverEvent(event, record, size, mode, heap);
}

LONG CEvDriverTrace::ConvertDriverEvent(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size,
                                        DWORD mode, RecordAllocator& allocator) {
    using namespace wire;
    if (mode == kConvertForQueue) return E_FAIL;
    if (event == nullptr || event->MofData == nullptr || event->MofLength <= kDriverTextOffset) return E_FAIL;
    const BYTE* data = static_cast<const BYTE*>(event->MofData);
    const size_t len = event->MofLength;
    const DWORD code = ReadU32(data + kDriverCodeOffset);
    if (mode == kConvertForConsumer) {
        const int index = DriverCodeIndex(code);
        if (index >= 19 && index <= 22) return E_FAIL;
    }
    const size_t textLen = len - kDriverTextOffset;
    const size_t recordSize = record::SizeFor(textLen) + record::kDriverExtra;
    _VANTA_EVTRACE_DATA* rec = allocator.Allocate(recordSize);
    rec->dwDataLen = DWORD(textLen);
    memcpy(rec->szSource, record::kDriverSource, sizeof record::kDriverSource);
    memcpy(&rec->ftTimeStamp, data + kDriverTimeOffset, sizeof rec->ftTimeStamp);
    rec->dwEventType = record::kDriverEventType;
    rec->dwEventCode = code;
    memcpy(rec->Data, data + kDriverTextOffset, textLen);
    *record = rec;
    *size = DWORD(recordSize);
    return S_OK;
}

LONG ConvertEventToRecord(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size, DWORD mode) {
    HeapRecords heap;
    return ConvertEventToRecord(event, record, size, mode, heap);
}

LONG ConvertEventToRecord(const EVENT_TRACE* event, _VANTA_EVTRACE_DATA** record, DWORD* size, DWORD mode,
                          RecordAllocator& allocator) {
    *record = nullptr;
    *size = 0;
    if (event == nullptr) return E_FAIL;
    switch (event->Header.Class.Type) {
    case wire::kClassDriver: {
        CEvDriverTrace driver;
        return driver.ConvertDriverEvent(event, record, size, mode, allocator);
    }
    case wire::kClassTypeDefault:
    case wire::kClassTypeTimeStamp: return ConvertProviderEvent(event, record, size, allocator);
    default: return E_FAIL;
    }
}

}  // namespace traceapi
