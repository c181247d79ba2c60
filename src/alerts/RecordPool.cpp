#include "alerts/RecordPool.h"

#include <string.h>

#include <new>

#include "providers/EvRecordLayout.h"

namespace traceapi {

RecordPool::~RecordPool() {
    for (BYTE* block : m_free) delete[] block;
}

_VANTA_EVTRACE_DATA* RecordPool::Allocate(size_t size) {
    if (size > kBlockSize) return AllocRecord(size);
    BYTE* block = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_free.empty()) {
            block = m_free.back();
            m_free.pop_back();
        }
    }
    if (block == nullptr) {
        block = new (std::nothrow) BYTE[kBlockSize];
        if (block == nullptr) throw _evt_error(EVT_E_OUTOFMEMORY, 0);
    }
    memset(block, 0, size);
    return reinterpret_cast<_VANTA_EVTRACE_DATA*>(block);
}

void RecordPool::Free(_VANTA_EVTRACE_DATA* record, size_t size) {
    if (record == nullptr) return;
    BYTE* block = reinterpret_cast<BYTE*>(record);
    if (size > kBlockSize) {
        delete[] block;
        return;
    }
    Keep(&block, 1);
}

void RecordPool::Keep(BYTE* const* blocks, size_t count) {
    size_t kept = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_free.capacity() < kKeep) {
            try {
                m_free.reserve(kKeep);
            } catch (const std::bad_alloc&) {
            }
        }
        while (kept < count && m_free.size() < m_free.capacity() && m_free.size() < kKeep) m_free.push_back(blocks[kept++]);
    }
    for (size_t i = kept; i < count; ++i) delete[] blocks[i];
}

size_t RecordPool::Kept() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_free.size();
}

void RecordPool::ReturnBatch::Free(_VANTA_EVTRACE_DATA* record, size_t size) {
    if (record == nullptr) return;
    if (size > kBlockSize) {
        delete[] reinterpret_cast<BYTE*>(record);
        return;
    }
    m_blocks[m_count++] = reinterpret_cast<BYTE*>(record);
    if (m_count == kBatch) Flush();
}

void RecordPool::ReturnBatch::Flush() {
    if (m_count == 0) return;
    m_pool.Keep(m_blocks, m_count);
    m_count = 0;
}

}  // namespace traceapi
