#include "consumer/EvRecordReader.h"

#include <string.h>

#include <new>

#include "consumer/EvRecordLayout.h"

namespace evt {

namespace {

constexpr DWORD kBinaryLogHeader = 4;
constexpr DWORD kNoRecords = 0xFFFFFFFF;

// Reads a record image of `length` bytes into a record with room for the
// fixed part and a zero tail; null when the source ended first.
_VANTA_EVTRACE_DATA* ReadRecordImage(ByteSource& source, DWORD length, ReadStatus* status) {
    const size_t capacity = (length > record::kFixedSize ? length : record::kFixedSize) + record::kTailSize + 1;
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

bool FileSource::ReadFromFile(void* buffer, size_t size, size_t* got) {
    *got = 0;
    BYTE* out = static_cast<BYTE*>(buffer);
    while (*got < size) {
        const size_t chunk = size - *got;
        DWORD read = 0;
        if (!ReadFile(m_file, out + *got, chunk > 0x40000000 ? 0x40000000 : DWORD(chunk), &read, nullptr)) {
            m_failed = true;
            return false;
        }
        if (read == 0) break;
        *got += read;
    }
    return true;
}

ReadStatus FileSource::Read(void* buffer, size_t size) {
    if (m_failed) return ReadStatus::kShort;
    BYTE* out = static_cast<BYTE*>(buffer);
    size_t done = 0;
    const size_t buffered = m_end - m_begin;
    if (buffered > 0) {
        done = buffered < size ? buffered : size;
        memcpy(out, m_buffer.data() + m_begin, done);
        m_begin += done;
    }
    if (done == size) return ReadStatus::kOk;
    size_t got = 0;
    if (size - done >= kBufferSize) {
        // Large reads go straight into the caller's buffer.
        if (!ReadFromFile(out + done, size - done, &got)) return ReadStatus::kShort;
        done += got;
    } else {
        m_begin = m_end = 0;
        if (!ReadFromFile(m_buffer.data(), kBufferSize, &got)) return ReadStatus::kShort;
        m_end = got;
        const size_t take = got < size - done ? got : size - done;
        memcpy(out + done, m_buffer.data(), take);
        m_begin = take;
        done += take;
    }
    if (done == size) return ReadStatus::kOk;
    return done == 0 ? ReadStatus::kEnd : ReadStatus::kShort;
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
        _VANTA_EVTRACE_DATA* record = ReadRecordImage(source, length, &status);
        if (record == nullptr) {
            lastReadOk = false;
            break;
        }
        RecordHolder holder(record);
        if (length < record::kFixedSize) continue;
        const DWORD carried = DWORD(length - record::kFixedSize);
        if (record->dwDataLen > carried) record->dwDataLen = carried;
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

}  // namespace evt
