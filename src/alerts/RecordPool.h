// Memory for the unified-log records the listening thread makes and the
// unified-log thread frees. From the heap, each record (about 1.4 KB, too
// large for the C library's per-thread caches) would be allocated on one
// thread and freed on the other, which costs a locked arena and its
// consolidation on every line. The pool keeps the freed blocks for the next
// records instead: blocks of kBlockSize bytes serve every record up to that
// size (the texts of unified-log lines and the formatted argument blocks),
// larger ones come from the heap and go back there.
//
// Every block, kept or not, is a plain heap array, so FreeRecord frees any
// of them (the records the log thread never took are freed that way).
#pragma once

#include <TraceApi.h>

#include <mutex>
#include <vector>

#include "providers/EvRecordConvert.h"

namespace traceapi {

class RecordPool final : public RecordAllocator {
public:
    // The record of a formatted argument block is 2,633 bytes.
    static constexpr size_t kBlockSize = 3072;
    // Blocks kept at most (3 MiB): enough for the lines of the log thread's
    // nap at a million lines a second, while a log thread far behind does
    // not leave its peak in the pool.
    static constexpr size_t kKeep = 1024;
    // Blocks a thread gives back at once (ReturnBatch).
    static constexpr size_t kBatch = 32;

    RecordPool() = default;
    RecordPool(const RecordPool&) = delete;
    RecordPool& operator=(const RecordPool&) = delete;
    ~RecordPool();

    // A zero-filled record of `size` bytes. Raises EVT_E_OUTOFMEMORY.
    _VANTA_EVTRACE_DATA* Allocate(size_t size) override;
    // Gives back a record of this pool; size: as it was allocated. Null is
    // ignored.
    void Free(_VANTA_EVTRACE_DATA* record, size_t size);

    // Records given back by one thread, handed to the pool kBatch at a time
    // (and the rest when it goes), under one hold of the lock.
    class ReturnBatch {
    public:
        explicit ReturnBatch(RecordPool& pool) : m_pool(pool) {}
        ~ReturnBatch() { Flush(); }
        ReturnBatch(const ReturnBatch&) = delete;
        ReturnBatch& operator=(const ReturnBatch&) = delete;
        void Free(_VANTA_EVTRACE_DATA* record, size_t size);
        void Flush();

    private:
        RecordPool& m_pool;
        BYTE* m_blocks[kBatch];
        size_t m_count = 0;
    };

    // Blocks kept now (tests).
    size_t Kept();

private:
    void Keep(BYTE* const* blocks, size_t count);

    std::mutex m_lock;
    std::vector<BYTE*> m_free;  // reserved to kKeep: keeping never allocates
};

}  // namespace traceapi
