#include "consumer/EvRecordReader.h"

#include <string.h>

#include <new>

#include "providers/EvRecordLayout.h"

namespace traceapi {

namespace {

constexpr DWORD kBinaryLogHeader = 4;
constexpr DWORD kNoRecords = 0xFFFFFFFF;

// Reads a record image of `length` bytes into a record with room for the
// fixed part and a zero tail; null when the source ended first.
_VANTA_EVTRACE_DATA* ReadRecordImage(ByteSource& source, DWORD length, ReadStatus* status, size_t* capacityOut) {
    const size_t capacity = (length > record::kFixedSize ? length : record::kFixedSize) + record::kTailSize + 1;
    *capacityOut = capacity;
    BYTE* bytes = new (std::nothrow) BYTE[capacity];
    if (bytes == nullptr) throw _evt_error(EVT_E_OUTOFMEMORY, 0);
    *status = source.Read(bytes, length);
    if (*status != ReadStatus::kOk) {
        delete[] bytes;
        return nullptr;
    }
    memset(bytes + length, 0, capacity - length);
    return reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes);
}

}  // namespace

ReadStatus MemorySource::Read(void* buffer, size_t size) {
    const size_t left = m_size - m_pos;
    if (size > left) {
        m_pos = m_size;
        return left == 0 ? ReadStatus::kEnd : ReadStatus::kShort;
    }
    memcpy(buffer, m_data + m_pos, size);
    m_pos += size;
    return ReadStatus::kOk;
}

bool ReadRecords(ByteSource& source, DWORD announced, const RecordFilter& filter, RecordList* records) {
    bool lastReadOk = true;
    for (DWORD i = 0; i < announced; ++i) {
        DWORD length = 0;
        const ReadStatus lengthStatus = source.Read(&length, sizeof length);
        if (lengthStatus == ReadStatus::kEnd) break;  // no record left: the list had null entries
        if (lengthStatus != ReadStatus::kOk) {
            lastReadOk = false;
            break;
        }
        if (length == 0 || length >= kMaxStoredRecord) continue;
        ReadStatus status;
        size_t capacity = 0;
        _VANTA_EVTRACE_DATA* record = ReadRecordImage(source, length, &status, &capacity);
        if (record == nullptr) {
            lastReadOk = false;
            break;
        }
        RecordHolder holder(record);
        if (length < record::kFixedSize) continue;
        const DWORD carried = DWORD(length - record::kFixedSize);
        if (record->dwDataLen > carried) record->dwDataLen = carried;
        // Whatever the image held behind its data becomes the zero tail.
        BYTE* tail = record->Data + record->dwDataLen;
        memset(tail, 0, capacity - (tail - reinterpret_cast<BYTE*>(record)));
        if (filter && !filter(*record)) continue;
        records->push_back(record);
        holder.release();
    }
    return lastReadOk;
}

LONG ReadBinaryLog(ByteSource& source, const RecordFilter& filter, RecordList* records) {
    DWORD header = 0, version = 0, count = 0;
    if (source.Read(&header, sizeof header) != ReadStatus::kOk) return EVT_E_NOFILEACCESS;
    if (header == kNoRecords) return S_OK;
    if (source.Read(&version, sizeof version) != ReadStatus::kOk) return EVT_E_NOFILEACCESS;
    if (header != kBinaryLogHeader) return S_OK;
    if (source.Read(&count, sizeof count) != ReadStatus::kOk) return EVT_E_NOFILEACCESS;
    if (count == kNoRecords) return S_OK;
    return ReadRecords(source, count, filter, records) ? S_OK : EVT_E_NOFILEACCESS;
}

LONG ReadSnapshot(ByteSource& source, const RecordFilter& filter, RecordList* records) {
    DWORD count = 0;
    if (source.Read(&count, sizeof count) != ReadStatus::kOk || count == kNoRecords) return EVT_E_NOINFOSET;
    return ReadRecords(source, count, filter, records) ? S_OK : EVT_E_NOINFOSET;
}

void FreeRecords(RecordList* records) {
    for (_VANTA_EVTRACE_DATA* record : *records) FreeRecord(record);
    records->clear();
}

}  // namespace traceapi
