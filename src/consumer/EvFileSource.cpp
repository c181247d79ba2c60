// The buffered file source of the record readers (kept apart from the
// readers, which need no file to be tested and fuzzed).
#include <string.h>

#include "consumer/EvRecordReader.h"

namespace traceapi {

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

}  // namespace traceapi
