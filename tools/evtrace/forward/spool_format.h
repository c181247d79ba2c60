// The disk queue's files as bytes: segment names, checksummed frames, the
// two-slot records of the cursor and the losses, and the scan that finds
// where a segment's valid frames end. The layout is the one on disk; change
// it only with a new magic.
#pragma once

#include <string.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "forward/spool.h"

namespace evtrace::forward::spool_format {

inline constexpr uint32_t kFrameMagic = 0x51465645;   // "EVFQ"
inline constexpr uint32_t kCursorMagic = 0x43465645;  // "EVFC"
inline constexpr uint32_t kLossesMagic = 0x4C465645;  // "EVFL"
inline constexpr size_t kCursorSlot = 64;
inline constexpr size_t kLossesSlot = 96;

// "<first sequence, 20 digits>.seg", and back.
std::string SegmentName(uint64_t first);
bool ParseSegmentName(const char* name, uint64_t* first);

uint32_t Crc(const void* data, size_t size, uint32_t crc = 0);

template <typename T>
T Load(const char* p) {
    T value;
    memcpy(&value, p, sizeof value);
    return value;
}

template <typename T>
void Store(char* p, T value) {
    memcpy(p, &value, sizeof value);
}

struct FrameHeader {
    uint32_t length;
    uint64_t seq;
    uint64_t aux;
};

// A frame header that checks (magic, CRC of header and payload), given the
// whole frame in memory.
bool CheckFrame(const char* p, size_t available, FrameHeader* header);
void PutFrame(std::string* out, std::string_view payload, uint64_t seq, uint64_t aux);

// Whole reads at an offset and whole writes, tried again when interrupted; a
// write that makes no progress fails with ENOSPC.
bool ReadAll(int fd, void* data, size_t size, off_t offset);
bool WriteAll(int fd, const char* data, size_t size);

// Two checksummed slots of `slot` bytes; the valid one of the higher
// generation, or false when neither is valid.
bool ReadSlots(const std::string& path, size_t slot, uint32_t magic, std::string* best, uint64_t* generation);
// Writes the slot the generation chooses, with its checksum.
bool WriteSlot(int fd, size_t slot, uint64_t generation, std::string* data);

struct Listing {
    std::map<uint64_t, uint64_t> segments;  // first seq -> file size
};
bool ListSegments(const std::string& folder, Listing* listing, std::string* error);

struct TailScan {
    uint64_t validEnd = 0;
    uint64_t nextSeq = 0;
    std::vector<uint64_t> lossReports;  // aux of the report frames found
};
// Reads a segment from its start and finds where its valid frames end.
bool ScanSegment(const std::string& path, uint64_t first, uint64_t size, TailScan* scan);

LossCounts LossesFromSlot(const std::string& slot, uint64_t* nextReportId);
SpoolPosition CursorFromSlot(const std::string& slot);

}  // namespace evtrace::forward::spool_format
