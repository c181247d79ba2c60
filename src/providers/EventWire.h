// The wire format of the library's events: an EVENT_TRACE_HEADER, then the
// event data, which is a 1,312-byte fixed block, the payload and 8 zero
// bytes. All numbers little-endian, all texts single-byte.
//
// Fixed block (offsets in the event data):
//     0  u32  magic 0x55AA55AA          24  char[256] source (instance name)
//     4  u32  1312 + payload length    280  char[256] user name
//     8  u32  event code               536  char[256] provider text
//    12  u32  event type               792  char[256] string B
//    16  8    zero                    1048  char[256] string A
//                                     1304  u8 flag, then 7 zero bytes
// The three provider texts are one 768-byte EVT_PROVIDER_INFO image at 24.
//
// These functions only build bytes; they never read a text beyond its
// field's limit and never write outside the block they are given.
#pragma once

#include <TraceApi.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace traceapi::wire {

// {F2EC902B-8545-458C-BB9A-76093B0F47B2}: the Guid of every event emitted.
inline constexpr GUID kEventClassGuid = {0xF2EC902B, 0x8545, 0x458C, {0xBB, 0x9A, 0x76, 0x09, 0x3B, 0x0F, 0x47, 0xB2}};
// Registered with the event class; no event is emitted under them.
inline constexpr GUID kTraceClassGuid2 = {0x0F199B08, 0x700A, 0x4E3D, {0xAA, 0x93, 0xB7, 0xD6, 0xDE, 0x13, 0xE5, 0xFF}};
inline constexpr GUID kTraceClassGuid3 = {0x9A481C62, 0x561F, 0x476C, {0x9C, 0x05, 0xAB, 0x7E, 0xBF, 0xCD, 0xFD, 0x11}};
inline constexpr GUID kTraceClassGuid4 = {0xB174CBD3, 0x1957, 0x42EA, {0xB7, 0x12, 0x27, 0x0C, 0xB3, 0xC3, 0x2E, 0x8A}};

inline constexpr ULONG kMagic = 0x55AA55AA;
inline constexpr size_t kHeaderSize = sizeof(EVENT_TRACE_HEADER);  // 48
inline constexpr size_t kFixedSize = 1312;
inline constexpr size_t kWireTail = 8;   // zero bytes sent after the payload
inline constexpr size_t kAllocTail = 9;  // zero bytes kept after the payload
inline constexpr size_t kMaxPayload = 0xFFFF - kHeaderSize - kFixedSize - kWireTail;  // 64,167
inline constexpr size_t kMaxText = 4096;
inline constexpr size_t kFieldSize = 256;

inline constexpr size_t kOffMagic = 0;
inline constexpr size_t kOffDataSize = 4;
inline constexpr size_t kOffCode = 8;
inline constexpr size_t kOffType = 12;
inline constexpr size_t kOffSource = 24;
inline constexpr size_t kOffUserName = 280;
inline constexpr size_t kOffProviderText = 536;
inline constexpr size_t kOffStringB = 792;
inline constexpr size_t kOffStringA = 1048;
inline constexpr size_t kOffFlag = 1304;

inline constexpr UCHAR kClassTypeDefault = 51;
inline constexpr UCHAR kClassTypeTimeStamp = 52;

static_assert(kHeaderSize == 48, "EVENT_TRACE_HEADER is 48 bytes");
static_assert(kMaxPayload == EVT_MAX_PAYLOAD, "the public limit matches the wire");

// Bytes of a whole event buffer (header, fixed block, payload and the kept
// zero tail) for a payload of that length.
constexpr size_t EventBufferSize(size_t payloadLength) { return kHeaderSize + kFixedSize + payloadLength + kAllocTail; }

// Copies at most 255 characters of text and a zero into a 256-byte field;
// a null text leaves the field as it is.
void CopyField(char* field, LPCSTR text);

// Makes each of the three 256-byte texts of a provider description hold at
// most 255 characters, its zero and zeros after it.
void NormaliseDescription(EVT_PROVIDER_INFO& info);

// Fills the header and fixed block of a zero-filled event buffer of
// EventBufferSize(payloadLength) bytes. The description goes in unchanged;
// it is expected normalised. The payload itself is the caller's to copy to
// buffer + kHeaderSize + kFixedSize.
void FillEvent(BYTE* buffer, size_t payloadLength, UCHAR classType, ULONG code, ULONG type,
               const EVT_PROVIDER_INFO& description, LPCSTR stringA, LPCSTR stringB, BYTE flag);

// --- Format block (EvTraceFormat) ------------------------------------------
//     0 u32 argument count (at most 4)      20 u32[4] kinds (0 d, 1 x, 2 s/S, 4 l)
//     4 u32[4] argument sizes               36 char[256] format
//   292 the arguments' data in order, then 4 zero bytes
// A conversion is '%' followed by d, x, l, s or S; only the first four take
// an argument. "%%" and a '%' followed by anything else take none.
inline constexpr size_t kFormatBlockFixed = 296;
inline constexpr int kFormatMaxArguments = 4;
std::vector<BYTE> BuildFormatBlock(LPCSTR format, va_list arguments);

// --- Argument block (EvTraceFormatArgs) and log block (EvTraceCustomLog) ---
// Both are exactly 1,312 bytes:
//     0 u32 1 (argument block) or 0 (log block)
//     4 u8 0, 5 u8 item count, 6.. items    (argument block)
//     4 char[1024] text                     (log block)
//  1028 char[260] source file   1288 u32 line   1292 u32 0
//  1296 u64 time stamp          1304 u32 process id   1308 u32 thread id
// Items: kind u8, size u16, position u16, then size bytes. Item 0 is the
// format (kind 0, with its zero, at most 1,016 characters). Item kinds:
// 0 string (with its zero), 1 character (1 byte), 2 integer (4), 3 integer
// with l (4), 4 64-bit integer (8), 5 double (8). The position is the index
// of the conversion letter in the format, modulo 256.
inline constexpr size_t kBlockSize = 1312;
inline constexpr size_t kItemsOffset = 4;  // the item area's 1,024 bytes start here
inline constexpr size_t kItemsArea = 1024;
inline constexpr size_t kItemHeader = 5;
inline constexpr size_t kFormatItemMaxChars = 1016;
inline constexpr size_t kOffBlockFile = 1028;
inline constexpr size_t kBlockFileChars = 259;
inline constexpr size_t kOffBlockLine = 1288;
inline constexpr size_t kOffBlockTime = 1296;
inline constexpr size_t kOffBlockProcess = 1304;
inline constexpr size_t kOffBlockThread = 1308;
inline constexpr size_t kLogTextMaxLength = 512;  // texts of this length or more are not stored

enum ItemKind : BYTE {
    kItemString = 0,
    kItemChar = 1,
    kItemInt = 2,
    kItemLong = 3,
    kItemLongLong = 4,
    kItemDouble = 5,
};

struct BlockTrailer {
    LPCSTR file;  // null: empty
    ULONG line;
    ULONG64 time;
    ULONG processId;
    ULONG threadId;
};

// Walks arguments by the conversions of format: every argument one slot of
// the list; doubles for e, E, f, g, G, a, A; 64-bit for ll, I64, z, j, t
// and p; a '*' width or precision takes an int. Items that would not end
// within the 1,024 bytes are left out (strings are cut to fit), but their
// arguments are still taken.
void BuildArgumentBlock(BYTE (&block)[kBlockSize], LPCSTR format, va_list arguments, const BlockTrailer& trailer);
void BuildLogBlock(BYTE (&block)[kBlockSize], LPCSTR text, ULONG length, const BlockTrailer& trailer);

// Unified-log kinds 53-55 and 59-61 become their formatted kinds; any other
// type is kept.
ULONG FormattedType(ULONG type);

}  // namespace traceapi::wire
