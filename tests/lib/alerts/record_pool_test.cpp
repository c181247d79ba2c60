// The pool of unified-log records: every record it hands out is zero-filled
// over the size asked, whatever the block held before; blocks come back one
// at a time or in batches, and it never keeps more than its bound.
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "alerts/RecordPool.h"
#include "providers/EvRecordLayout.h"

namespace {

using traceapi::RecordPool;

bool ZeroOver(const _VANTA_EVTRACE_DATA* record, size_t size) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(record);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

TEST(RecordPoolTest, ReusedBlocksAreZeroFilledAndLargeRecordsBypassThePool) {
    RecordPool pool;
    const struct {
        size_t size;
        size_t keptAfterFree;  // blocks in the pool once it is back
    } cases[] = {
        {1, 1},
        {1341, 1},
        {RecordPool::kBlockSize, 1},
        {RecordPool::kBlockSize + 1, 0},  // from the heap, back to the heap
        {64 * 1024, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        ASSERT_EQ(pool.Kept(), 0u);
        _VANTA_EVTRACE_DATA* record = pool.Allocate(c.size);
        ASSERT_NE(record, nullptr);
        EXPECT_TRUE(ZeroOver(record, c.size));
        memset(record, 0xA5, c.size);
        pool.Free(record, c.size);
        EXPECT_EQ(pool.Kept(), c.keptAfterFree);
        // The dirty block comes back zeroed (the pool hands out the one it kept).
        _VANTA_EVTRACE_DATA* again = pool.Allocate(c.size);
        if (c.keptAfterFree != 0) {
            EXPECT_EQ(again, record);
        }
        EXPECT_TRUE(ZeroOver(again, c.size));
        EXPECT_EQ(pool.Kept(), 0u);
        // Any record of the pool is a plain heap block: FreeRecord frees it.
        traceapi::FreeRecord(again);
    }
    pool.Free(nullptr, 10);
    EXPECT_EQ(pool.Kept(), 0u);
}

TEST(RecordPoolTest, KeepsAtMostItsBoundAndBatchesGoBackWhenFullOrFlushed) {
    RecordPool pool;
    std::vector<_VANTA_EVTRACE_DATA*> records;
    for (size_t i = 0; i < RecordPool::kKeep + 40; ++i) records.push_back(pool.Allocate(200));
    {
        RecordPool::ReturnBatch batch(pool);
        for (size_t i = 0; i < RecordPool::kBatch - 1; ++i) batch.Free(records[i], 200);
        EXPECT_EQ(pool.Kept(), 0u);  // held by the batch
        batch.Free(records[RecordPool::kBatch - 1], 200);
        EXPECT_EQ(pool.Kept(), RecordPool::kBatch);
        batch.Free(records[RecordPool::kBatch], 200);
        batch.Free(nullptr, 200);
        batch.Flush();
        EXPECT_EQ(pool.Kept(), RecordPool::kBatch + 1);
        for (size_t i = RecordPool::kBatch + 1; i < records.size() - 1; ++i) batch.Free(records[i], 200);
        // The last one goes back with the batch's end.
        batch.Free(records.back(), 200);
    }
    // Past the bound, blocks go back to the heap.
    EXPECT_EQ(pool.Kept(), RecordPool::kKeep);
}

TEST(RecordPoolTest, OneThreadTakingWhileAnotherGivesBackLosesNoBlock) {
    RecordPool pool;
    constexpr int kRecords = 20000;
    std::vector<_VANTA_EVTRACE_DATA*> handed(kRecords, nullptr);
    std::atomic<int> made{0};
    std::thread giver([&] {
        RecordPool::ReturnBatch batch(pool);
        for (int i = 0; i < kRecords; ++i) {
            while (made.load() <= i) std::this_thread::yield();
            // Each record still holds what its maker wrote: no block was
            // handed out twice.
            EXPECT_EQ(handed[i]->dwDataLen, DWORD(i));
            batch.Free(handed[i], 1341);
        }
    });
    for (int i = 0; i < kRecords; ++i) {
        _VANTA_EVTRACE_DATA* record = pool.Allocate(1341);
        ASSERT_TRUE(ZeroOver(record, 1341));
        record->dwDataLen = DWORD(i);
        handed[i] = record;
        made.store(i + 1);
    }
    giver.join();
    EXPECT_LE(pool.Kept(), RecordPool::kKeep);
    EXPECT_GT(pool.Kept(), 0u);
}

}  // namespace
