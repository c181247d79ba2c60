#include "registry/journal.h"

#include <limits.h>

#include "core/error.h"
#include "core/futex.h"

namespace w32rt::registry {

namespace {

constexpr uint32_t kMagic = 0x4a474552;  // "REGJ"
constexpr uint32_t kVersion = 2;
constexpr int64_t kWriteLeaseNs = 1000000000;

struct JournalHeader {
    RegionHeader region;
    std::atomic<uint64_t> reserved;   // last sequence handed to a writer
    std::atomic<uint64_t> published;  // highest sequence whose entry is complete
    std::atomic<uint32_t> wake;       // futex word, bumped after publications
    uint32_t capacity;
    uint32_t entry_size;
    uint32_t max_ids;
    std::atomic<uint64_t> writes_begun;
    std::atomic<uint64_t> writes_done;
    std::atomic<int64_t> last_begun_ns;  // CLOCK_MONOTONIC, shared by all processes
    uint64_t unused[5];
};
static_assert(sizeof(JournalHeader) == 128, "shared layout");

struct JournalEntry {
    std::atomic<uint64_t> seq;  // 0 while a writer fills the entry
    std::atomic<uint32_t> kind;
    std::atomic<uint32_t> depth;
    std::atomic<int64_t> ids[Journal::kMaxIds];
    uint64_t reserved;
};
static_assert(sizeof(JournalEntry) == 256, "shared layout");
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free,
              "shared atomics must not need a lock");

constexpr size_t kRegionSize = sizeof(JournalHeader) + size_t(Journal::kCapacity) * sizeof(JournalEntry);

JournalHeader* header_of(SharedRegion& region) { return region.at<JournalHeader>(0); }

}  // namespace

std::unique_ptr<Journal> Journal::open(const std::string& shm_name) {
    std::unique_ptr<SharedRegion> region =
        SharedRegion::open_or_create(shm_name, kRegionSize, kMagic, kVersion, [](void* base) {
            auto* h = static_cast<JournalHeader*>(base);
            h->capacity = kCapacity;
            h->entry_size = sizeof(JournalEntry);
            h->max_ids = kMaxIds;
        });
    if (!region) return nullptr;
    JournalHeader* h = header_of(*region);
    if (h->capacity != kCapacity || h->entry_size != sizeof(JournalEntry) || h->max_ids != kMaxIds)
        return fail(ERROR_INVALID_DATA, nullptr);
    return std::unique_ptr<Journal>(new Journal(std::move(region)));
}

Journal::Journal(std::unique_ptr<SharedRegion> region) : region_(std::move(region)) {
    JournalHeader* h = header_of(*region_);
    reserved_ = &h->reserved;
    published_ = &h->published;
    wake_ = &h->wake;
    writes_begun_ = &h->writes_begun;
    writes_done_ = &h->writes_done;
    last_begun_ns_ = &h->last_begun_ns;
    entries_ = static_cast<char*>(region_->base()) + sizeof(JournalHeader);
}

Journal::Stamp Journal::stamp() const {
    Stamp stamp;
    // Done first: a write done after this load has begun by the next one,
    // so a stamp never shows more writes done than begun.
    stamp.done = writes_done_->load(std::memory_order_acquire);
    stamp.begun = writes_begun_->load(std::memory_order_acquire);
    return stamp;
}

bool Journal::write_under_way(const Stamp& stamp) const {
    if (stamp.begun == stamp.done) return false;
    return monotonic_ns() - last_begun_ns_->load(std::memory_order_acquire) < kWriteLeaseNs;
}

void Journal::begin_write() {
    last_begun_ns_->store(monotonic_ns(), std::memory_order_release);
    writes_begun_->fetch_add(1, std::memory_order_acq_rel);
}

void Journal::end_write(const std::vector<Change>& changes) {
    auto* entries = reinterpret_cast<JournalEntry*>(entries_);
    for (const Change& change : changes) {
        uint64_t seq = reserved_->fetch_add(1, std::memory_order_acq_rel) + 1;
        JournalEntry& e = entries[seq % kCapacity];
        e.seq.store(0, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        size_t depth = change.chain.size();
        size_t n = depth < kMaxIds ? depth : kMaxIds;
        e.kind.store(change.kind, std::memory_order_relaxed);
        e.depth.store(uint32_t(depth), std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i) e.ids[i].store(change.chain[depth - n + i], std::memory_order_relaxed);
        e.seq.store(seq, std::memory_order_release);
        uint64_t current = published_->load(std::memory_order_relaxed);
        while (current < seq &&
               !published_->compare_exchange_weak(current, seq, std::memory_order_release, std::memory_order_relaxed)) {
        }
    }
    writes_done_->fetch_add(1, std::memory_order_acq_rel);
    if (changes.empty()) return;
    wake_->fetch_add(1, std::memory_order_release);
    futex_wake(wake_, INT_MAX, FutexScope::Shared);
}

Journal::EntryState Journal::read(uint64_t seq, JournalRecord* out) const {
    auto* entries = reinterpret_cast<JournalEntry*>(entries_);
    const JournalEntry& e = entries[seq % kCapacity];
    uint64_t before = e.seq.load(std::memory_order_acquire);
    if (before != seq) return before > seq ? EntryState::Lost : EntryState::Pending;
    out->seq = seq;
    out->kind = e.kind.load(std::memory_order_relaxed);
    out->depth = e.depth.load(std::memory_order_relaxed);
    size_t n = out->depth < kMaxIds ? out->depth : kMaxIds;
    out->ids.resize(n);
    for (size_t i = 0; i < n; ++i) out->ids[i] = e.ids[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (e.seq.load(std::memory_order_relaxed) != seq || out->depth == 0) return EntryState::Lost;
    return EntryState::Complete;
}

}  // namespace w32rt::registry
