// Reading of stored event records: binary event log files (CreateLogFile,
// the alert history) and live snapshot files (CEvDataQueue::WriteEventsToFile).
// Both store each record as a u32 length followed by the record image; the
// files come from disk and another process and are not trusted.
#pragma once

#include <TraceApi.h>

#include <stddef.h>

#include <deque>
#include <functional>
#include <vector>

namespace traceapi {

enum class ReadStatus {
    kOk,     // all bytes asked for
    kEnd,    // not one byte: the source ended before the read
    kShort,  // some bytes, or a read error
};

// Where records are read from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual ReadStatus Read(void* buffer, size_t size) = 0;
};

// A source over bytes in memory.
class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, size_t size) : m_data(static_cast<const BYTE*>(data)), m_size(size) {}
    ReadStatus Read(void* buffer, size_t size) override;

private:
    const BYTE* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// A buffered source over an open file handle (not owned).
class FileSource : public ByteSource {
public:
    explicit FileSource(HANDLE file) : m_file(file), m_buffer(kBufferSize) {}
    ReadStatus Read(void* buffer, size_t size) override;

private:
    static constexpr size_t kBufferSize = 64 * 1024;
    // Reads up to `size` bytes from the file; false on a read error.
    bool ReadFromFile(void* buffer, size_t size, size_t* got);

    HANDLE m_file;
    std::vector<BYTE> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    bool m_failed = false;
};

// Records read from a file: arrays allocated here, freed with FreeRecord.
using RecordList = std::deque<_VANTA_EVTRACE_DATA*>;
// Decides whether a record read is kept (the alertable-only infosets).
using RecordFilter = std::function<bool(const _VANTA_EVTRACE_DATA&)>;

// Stored records longer than this are skipped unread: the next four bytes
// are taken as the next length.
constexpr DWORD kMaxStoredRecord = 0x500000;

// Reads up to `announced` records and appends those the filter keeps (all
// when it is empty). Returns true when the last read succeeded, or when the
// source ended cleanly before a record's length (a log written from a list
// with null entries announces more records than it holds). A record cut
// short by the end of the source is dropped and the result is false.
//
// Every record handed out is sound whatever the source held: it has room for
// the fixed part, its dwDataLen is cut to the data it carries, and zeros
// (at least 9) follow the data to its end, so its strings and text end
// within it.
// Records too short for the fixed part are read and dropped.
bool ReadRecords(ByteSource& source, DWORD announced, const RecordFilter& filter, RecordList* records);

// A binary event log file: header word 4, version word, record count, the
// records. Returns S_OK (also for a header word other than 4, and for the
// header or count 0xFFFFFFFF: no records), or EVT_E_NOFILEACCESS when a read
// of the header fails or the last read of the records failed.
LONG ReadBinaryLog(ByteSource& source, const RecordFilter& filter, RecordList* records);

// A live snapshot file: the record count, then the records. Returns S_OK,
// or EVT_E_NOINFOSET when the count cannot be read or is 0xFFFFFFFF, or the
// last read of the records failed.
LONG ReadSnapshot(ByteSource& source, const RecordFilter& filter, RecordList* records);

// Frees every record of a list and empties it.
void FreeRecords(RecordList* records);

}  // namespace traceapi
