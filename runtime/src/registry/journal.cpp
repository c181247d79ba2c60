#include "registry/journal.h"

#include <limits.h>

#include "core/error.h"
#include "core/futex.h"
#include "core/machine.h"

namespace w32rt::registry {

namespace {

constexpr uint32_t kMagic = 0x4a474552;  // "REGJ"
constexpr uint32_t kVersion = 2;
constexpr int64_t kWriteLeaseNs = 1000000000;
constexpr int64_t kAttachIntervalNs = 100000000;

}  // namespace

struct Journal::Header {
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
static_assert(sizeof(Journal::Header) == 128, "shared layout");

namespace {

using JournalHeader = Journal::Header;

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

JournalEntry* entries_of(JournalHeader* h) {
    return reinterpret_cast<JournalEntry*>(reinterpret_cast<char*>(h) + sizeof(JournalHeader));
}

}  // namespace

std::unique_ptr<Journal> Journal::open(Machine& machine) {
    // Mapped at its first use, after the database was opened: what the
    // registry's callers see fail first is the database.
    return std::unique_ptr<Journal>(new Journal(machine));
}

bool Journal::attach() const {
    if (header()) return true;
    std::lock_guard<std::mutex> lock(attach_mutex_);
    if (header()) return true;
    int64_t now = monotonic_ns();
    if (last_attempt_ns_ != 0 && now - last_attempt_ns_ < kAttachIntervalNs) return false;
    last_attempt_ns_ = now;
    attempted_.store(true, std::memory_order_relaxed);
    // Registry calls leave the caller's last error as it was.
    struct KeepLastError {
        DWORD saved = GetLastError();
        ~KeepLastError() { SetLastError(saved); }
    } keep;
    std::unique_ptr<SharedRegion> region = SharedRegion::open_or_create(
        machine_, admin_segment("registry", SegmentAccess::Administrators), kRegionSize, kMagic, kVersion,
        [](void* base) {
            auto* h = static_cast<JournalHeader*>(base);
            h->capacity = kCapacity;
            h->entry_size = sizeof(JournalEntry);
            h->max_ids = kMaxIds;
        });
    if (!region) {
        attach_error_.store(GetLastError(), std::memory_order_relaxed);
        return false;
    }
    auto* h = region->at<JournalHeader>(0);
    if (h->capacity != kCapacity || h->entry_size != sizeof(JournalEntry) || h->max_ids != kMaxIds) {
        attach_error_.store(ERROR_INVALID_DATA, std::memory_order_relaxed);
        return false;
    }
    region_ = std::move(region);
    header_.store(h, std::memory_order_release);
    // Whoever sleeps on the word of this process looks again.
    local_wake_.fetch_add(1, std::memory_order_release);
    futex_wake(&local_wake_, INT_MAX, FutexScope::Private);
    return true;
}

uint64_t Journal::published() const {
    Header* h = header();
    return h ? h->published.load(std::memory_order_acquire) : 0;
}

std::atomic<uint32_t>* Journal::wake_word() const {
    Header* h = header();
    return h ? &h->wake : &local_wake_;
}

void Journal::abandon_entry() {
    if (Header* h = header()) h->reserved.fetch_add(1, std::memory_order_acq_rel);
}

Journal::Stamp Journal::stamp() const {
    Stamp stamp;
    Header* h = header();
    if (!h) return stamp;
    // Done first: a write done after this load has begun by the next one,
    // so a stamp never shows more writes done than begun.
    stamp.done = h->writes_done.load(std::memory_order_acquire);
    stamp.begun = h->writes_begun.load(std::memory_order_acquire);
    return stamp;
}

bool Journal::write_under_way(const Stamp& stamp) const {
    // Without the journal nothing tells of writes: nothing may be cached.
    // It is first looked for when the database is opened.
    if (!header() && (!attempted_.load(std::memory_order_relaxed) || !attach())) return true;
    if (stamp.begun == stamp.done) return false;
    return monotonic_ns() - header()->last_begun_ns.load(std::memory_order_acquire) < kWriteLeaseNs;
}

void Journal::begin_write() {
    if (!attach() || !region_->writable()) return;
    Header* h = header();
    h->last_begun_ns.store(monotonic_ns(), std::memory_order_release);
    h->writes_begun.fetch_add(1, std::memory_order_acq_rel);
}

void Journal::end_write(const std::vector<Change>& changes) {
    Header* h = header();
    if (!h || !region_->writable()) return;
    JournalEntry* entries = entries_of(h);
    for (const Change& change : changes) {
        uint64_t seq = h->reserved.fetch_add(1, std::memory_order_acq_rel) + 1;
        JournalEntry& e = entries[seq % kCapacity];
        e.seq.store(0, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        size_t depth = change.chain.size();
        size_t n = depth < kMaxIds ? depth : kMaxIds;
        e.kind.store(change.kind, std::memory_order_relaxed);
        e.depth.store(uint32_t(depth), std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i) e.ids[i].store(change.chain[depth - n + i], std::memory_order_relaxed);
        e.seq.store(seq, std::memory_order_release);
        uint64_t current = h->published.load(std::memory_order_relaxed);
        while (current < seq && !h->published.compare_exchange_weak(current, seq, std::memory_order_release,
                                                                     std::memory_order_relaxed)) {
        }
    }
    h->writes_done.fetch_add(1, std::memory_order_acq_rel);
    if (changes.empty()) return;
    h->wake.fetch_add(1, std::memory_order_release);
    futex_wake(&h->wake, INT_MAX, FutexScope::Shared);
}

Journal::EntryState Journal::read(uint64_t seq, JournalRecord* out) const {
    Header* h = header();
    if (!h) return EntryState::Lost;
    const JournalEntry& e = entries_of(h)[seq % kCapacity];
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
