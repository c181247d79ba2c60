#include "etw/ring.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "core/bus_guard.h"
#include "core/error.h"
#include "core/futex.h"
#include "core/machine.h"
#include "core/sys.h"

namespace w32rt::etw {

// ---- Mapping -------------------------------------------------------------

uint64_t ring_modulus(uint64_t capacity) { return ((1ull << kPositionBits) / capacity) * capacity; }

RingMap::~RingMap() {
    unguard_mapping(guard_);
    if (base_) sys::munmap(base_, length_);
}

std::unique_ptr<RingMap> RingMap::map(int fd, uint64_t capacity, bool header_only) {
    std::unique_ptr<RingMap> ring(new RingMap());
    ring->capacity_ = capacity;
    ring->modulus_ = capacity ? ring_modulus(capacity) : 0;
    if (header_only) {
        void* base = sys::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED) return fail_errno(errno, nullptr);
        ring->base_ = base;
        ring->length_ = kPageSize;
        ring->header_ = static_cast<RingHeader*>(base);
        ring->guard_ = guard_mapping(base, kPageSize, &ring->damaged_);
        return ring;
    }
    // Reserve the whole span first, then map the object over it twice, so
    // nothing else can land between the two views of the data.
    size_t length = kPageSize + 2 * capacity;
    void* base = sys::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return fail_errno(errno, nullptr);
    ring->base_ = base;
    ring->length_ = length;
    char* p = static_cast<char*>(base);
    if (sys::mmap(p, kPageSize + capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED ||
        sys::mmap(p + kPageSize + capacity, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                  off_t(kPageSize)) == MAP_FAILED)
        return fail_errno(errno, nullptr);
    ring->header_ = reinterpret_cast<RingHeader*>(p);
    ring->data_ = p + kPageSize;
    ring->guard_ = guard_mapping(base, length, &ring->damaged_);
    return ring;
}

std::unique_ptr<RingMap> RingMap::create(Machine& machine, const Segment& segment, uint64_t capacity,
                                         const Identity& identity) {
    if (capacity == 0 || capacity % kPageSize != 0 || capacity > kMaxRingBytes)
        return fail(ERROR_INVALID_PARAMETER, nullptr);
    OpenedSegment file;
    if (!open_segment(machine, segment, SegmentOpen::Fresh, &file)) return nullptr;
    int fd = file.fd;
    uint64_t file_size = kPageSize + capacity;
    if (sys::ftruncate(fd, off_t(file_size)) < 0) {
        int e = errno;
        sys::close(fd);
        remove_segment(machine, segment);
        return fail_errno(e, nullptr);
    }
    std::unique_ptr<RingMap> ring = map(fd, capacity, false);
    if (!ring) {
        sys::close(fd);
        remove_segment(machine, segment);
        return nullptr;
    }
    // The object is fresh (zero-filled); only the header needs values.
    RingHeader* h = ring->header_;
    h->version = kLayoutVersion;
    h->layout_size = sizeof(RingHeader);
    h->consumer_index = identity.consumer_index;
    h->capacity = capacity;
    h->modulus = ring->modulus_;
    h->file_size = file_size;
    h->session_slot = identity.session_slot;
    h->consumer_generation = identity.consumer_generation;
    h->session_generation = identity.session_generation;
    // Ordinals start at 1: the zeros of a fresh ring must not read as the
    // tag of the first record (ordinal 0 at position 0).
    h->head.store(ring_word(1, 0), std::memory_order_relaxed);
    h->tail.store(ring_word(1, 0), std::memory_order_relaxed);
    __atomic_store_n(&h->magic, kRingMagic, __ATOMIC_RELEASE);
    // Producers of every user may open it from now on.
    publish_segment(machine, segment, fd);
    sys::close(fd);
    return ring;
}

namespace {

bool ring_header_valid(const RingHeader* h, uint64_t capacity, uint64_t file_size) {
    return __atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) == kRingMagic && h->version == kLayoutVersion &&
           h->layout_size == sizeof(RingHeader) && h->capacity == capacity &&
           h->modulus == ring_modulus(capacity) && h->file_size == file_size;
}

int open_ring_fd(Machine& machine, const Segment& segment, uint64_t* file_size) {
    OpenedSegment file;
    if (!open_segment(machine, segment, SegmentOpen::Existing, &file)) return -1;
    if (file.size < 2 * kPageSize) {
        sys::close(file.fd);
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    *file_size = file.size;
    return file.fd;
}

}  // namespace

bool RingMap::damaged(const Identity& identity) const {
    const RingHeader* h = header_;
    return truncated() || !ring_header_valid(h, capacity_, kPageSize + capacity_) ||
           h->session_slot != identity.session_slot || h->session_generation != identity.session_generation ||
           h->consumer_index != identity.consumer_index || h->consumer_generation != identity.consumer_generation;
}

std::unique_ptr<RingMap> RingMap::open(Machine& machine, const Segment& segment, uint64_t capacity) {
    uint64_t file_size = 0;
    int fd = open_ring_fd(machine, segment, &file_size);
    if (fd < 0) return nullptr;
    if (file_size != kPageSize + capacity) {
        sys::close(fd);
        return fail(ERROR_INVALID_DATA, nullptr);
    }
    std::unique_ptr<RingMap> ring = map(fd, capacity, false);
    sys::close(fd);
    if (!ring) return nullptr;
    if (!ring_header_valid(ring->header_, capacity, file_size)) return fail(ERROR_INVALID_DATA, nullptr);
    return ring;
}

std::unique_ptr<RingMap> RingMap::open_header(Machine& machine, const Segment& segment) {
    uint64_t file_size = 0;
    int fd = open_ring_fd(machine, segment, &file_size);
    if (fd < 0) return nullptr;
    std::unique_ptr<RingMap> ring = map(fd, 0, true);
    sys::close(fd);
    if (!ring) return nullptr;
    uint64_t capacity = ring->header_->capacity;
    if (capacity == 0 || capacity % kPageSize != 0 || capacity > kMaxRingBytes ||
        !ring_header_valid(ring->header_, capacity, file_size))
        return fail(ERROR_INVALID_DATA, nullptr);
    ring->capacity_ = capacity;
    ring->modulus_ = ring_modulus(capacity);
    return ring;
}

uint64_t RingMap::used() const {
    uint64_t head = ring_pos(header_->head.load(std::memory_order_acquire));
    uint64_t tail = ring_pos(header_->tail.load(std::memory_order_acquire));
    if (head >= modulus_ || tail >= modulus_) return capacity_ + 1;
    return ring_distance(tail, head, modulus_);
}

// ---- Producer ------------------------------------------------------------

std::atomic<WriteStageHook> g_write_stage_hook{nullptr};

namespace {
inline void stage(WriteStage at) {
    if (__builtin_expect(g_write_stage_hook.load(std::memory_order_relaxed) != nullptr, 0))
        g_write_stage_hook.load()(at);
}
}  // namespace

namespace {
inline void wake_sleeper(RingHeader* h) {
    h->wake_seq.fetch_add(1, std::memory_order_release);
    futex_wake(&h->wake_seq, INT32_MAX, FutexScope::Shared);
}
}  // namespace

void ring_wake(RingHeader* h) {
    h->sleeping.store(0, std::memory_order_relaxed);
    wake_sleeper(h);
}

bool ring_write(RingMap& ring, uint32_t key, const WriterRef& writer, uint64_t* cached_tail, const EventImage& event) {
    RingHeader* h = ring.header();
    const uint64_t capacity = ring.capacity();
    const uint64_t modulus = ring.modulus();
    const uint32_t size = record_size_for(sizeof(EVENT_TRACE_HEADER) + event.payload_size);

    uint64_t head = h->head.load(std::memory_order_relaxed);
    for (;;) {
        uint64_t position = ring_pos(head);
        uint64_t used = ring_distance(ring_pos(*cached_tail), position, modulus);
        if (used > capacity || used + size > capacity) {
            *cached_tail = h->tail.load(std::memory_order_acquire);
            uint64_t tail_position = ring_pos(*cached_tail);
            used = ring_distance(tail_position, position, modulus);
            // A damaged head or tail reads as a full ring: refuse rather
            // than write outside what the consumer has released.
            if (position >= modulus || tail_position >= modulus || used > capacity || used + size > capacity) {
                if (writer.slot) writer.slot->intent.store(0, std::memory_order_relaxed);
                h->lost_full.fetch_add(1, std::memory_order_relaxed);
                return false;
            }
        }
        if (writer.slot) writer.slot->intent.store((uint64_t(key) << 32) | ring_ord(head), std::memory_order_relaxed);
        uint64_t next = ring_word(ring_ord(head) + 1, ring_advance(position, size, modulus));
        if (h->head.compare_exchange_weak(head, next, std::memory_order_seq_cst, std::memory_order_relaxed)) break;
    }

    // The CAS is a full barrier: a consumer that announced its sleep before
    // it looked at the head is seen here (RingHeader::sleeping).
    const bool consumer_sleeps = h->sleeping.load(std::memory_order_seq_cst) != 0;
    stage(WriteStage::Reserved);

    // The event first, the record's first line last: the consumer polls that
    // line, so it should change hands once per record. The tag, stored last
    // with release, is the commit.
    const uint64_t tag = head;
    char* record = ring.data() + ring_pos(tag) % capacity;
    auto* rh = reinterpret_cast<RecordHeader*>(record);
    char* out = record + kRecordOverhead + sizeof(EVENT_TRACE_HEADER);
    for (int i = 0; i < event.segment_count; ++i) {
        if (event.segments[i].size == 0) continue;
        memcpy(out, event.segments[i].data, event.segments[i].size);
        out += event.segments[i].size;
    }
    memcpy(record + kRecordOverhead, &event.header, sizeof(EVENT_TRACE_HEADER));
    stage(WriteStage::PayloadWritten);
    rh->size.store(size, std::memory_order_relaxed);
    rh->writer.store(writer.tag, std::memory_order_relaxed);
    rh->cpu.store(event.cpu, std::memory_order_relaxed);
    rh->tag.store(tag, std::memory_order_release);
    if (writer.slot) writer.slot->intent.store(0, std::memory_order_release);
    stage(WriteStage::Committed);

    // A consumer that went to sleep while this record was written waits
    // with a time-out; this unfenced look usually catches it sooner.
    if ((consumer_sleeps || h->sleeping.load(std::memory_order_relaxed)) &&
        h->sleeping.exchange(0, std::memory_order_relaxed))
        wake_sleeper(h);
    return true;
}

// ---- Consumer ------------------------------------------------------------

bool writer_alive(const WriterTable& writers, uint32_t writer_tag) {
    if (writer_tag == kNoWriter) return false;
    uint32_t index = writer_tag >> 16;
    if (index >= writers.count) return false;
    const WriterSlot& slot = writers.slots[index];
    if ((slot.generation.load(std::memory_order_acquire) & 0xFFFF) != (writer_tag & 0xFFFF)) return false;
    if (slot.state.load(std::memory_order_acquire) != kWriterOwned) return false;
    ProcessIdentity owner = slot.owner;
    if (!process_alive(owner)) return false;
    return slot.tid <= 0 || thread_alive(owner.pid, slot.tid);
}

// What the reader delivered and skipped it counts from here on, in its own
// memory: the copies in the ring are for others to read.
RingReader::RingReader(RingMap* ring, uint32_t key) : ring_(ring), key_(key) {
    tail_ = ring->header()->tail.load(std::memory_order_acquire);
}

uint64_t RingReader::head() const { return ring_->header()->head.load(std::memory_order_acquire); }

uint64_t RingReader::lost() const {
    return carried_lost_ + ring_->header()->lost_full.load(std::memory_order_relaxed) + skipped_;
}

bool RingReader::head_unusable() const { return ring_pos(head()) >= ring_->modulus(); }

void RingReader::move_to(RingMap* ring, uint32_t key, uint64_t lost) {
    uint64_t refused = ring_->truncated() ? 0 : ring_->header()->lost_full.load(std::memory_order_relaxed);
    carried_lost_ += refused + lost;
    ring_ = ring;
    key_ = key;
    tail_ = ring->header()->tail.load(std::memory_order_acquire);
}

// Bounds only: a record of such a size lies inside the two views of the
// data. A size that lies about the record (a damaged or hostile writer)
// leads the tail astray at worst; resolve_stuck() brings it back.
bool RingReader::record_fits(uint64_t, uint32_t size) const {
    return size >= kMinRecordSize && size % 8 == 0 && size <= ring_->capacity();
}

RingReader::Peek RingReader::peek(RecordView* view, bool classify) {
    const uint64_t position = ring_pos(tail_);
    const char* record = ring_->data() + position % ring_->capacity();
    auto* rh = reinterpret_cast<const RecordHeader*>(record);
    uint64_t tag = rh->tag.load(std::memory_order_acquire);
    if (tag != tail_) {
        if (!classify) return Peek::Pending;
        return ring_->header()->head.load(std::memory_order_acquire) == tail_ ? Peek::Empty : Peek::Pending;
    }
    uint32_t size = rh->size.load(std::memory_order_relaxed);
    if (!record_fits(position, size)) return Peek::Pending;  // a damaged header: resolve_stuck decides

    memcpy(&view->header, record + kRecordOverhead, sizeof(EVENT_TRACE_HEADER));
    view->record_size = size;
    view->cpu = rh->cpu.load(std::memory_order_relaxed);
    uint32_t event_size = view->header.Size;
    view->malformed = event_size < sizeof(EVENT_TRACE_HEADER) || record_size_for(event_size) != size;
    view->payload = record + kRecordOverhead + sizeof(EVENT_TRACE_HEADER);
    view->payload_size = view->malformed ? 0 : event_size - uint32_t(sizeof(EVENT_TRACE_HEADER));
    return Peek::Ready;
}

void RingReader::consume(const RecordView& view) {
    if (view.malformed)
        ++skipped_;
    else
        ++delivered_;
    tail_ = ring_word(ring_ord(tail_) + 1, ring_advance(ring_pos(tail_), view.record_size, ring_->modulus()));
}

void RingReader::publish() {
    RingHeader* h = ring_->header();
    h->delivered.store(delivered_, std::memory_order_relaxed);
    h->lost_skipped.store(skipped_, std::memory_order_relaxed);
    h->tail.store(tail_, std::memory_order_release);
}

void RingReader::abandon_to(uint64_t target) {
    uint32_t records = ordinal_distance(ring_ord(tail_), ring_ord(target));
    if (records >= (1u << 23)) return;  // already past it
    skipped_ += records;
    tail_ = target;
}

uint32_t RingReader::prepare_sleep() {
    RingHeader* h = ring_->header();
    uint32_t seq = h->wake_seq.load(std::memory_order_acquire);
    h->sleeping.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return seq;
}

void RingReader::cancel_sleep() { ring_->header()->sleeping.store(0, std::memory_order_relaxed); }

bool RingReader::sleep(uint32_t seq, int64_t timeout_ns) {
    RingHeader* h = ring_->header();
    bool woken = futex_wait(&h->wake_seq, seq, timeout_ns, FutexScope::Shared);
    h->sleeping.store(0, std::memory_order_relaxed);
    return woken;
}

bool RingReader::resolve_stuck(const WriterTable& writers, bool unknown_writers_dead, bool give_up_on_live) {
    RingHeader* h = ring_->header();
    const uint64_t capacity = ring_->capacity();
    const uint64_t modulus = ring_->modulus();
    const uint64_t head = h->head.load(std::memory_order_acquire);
    const uint64_t position = ring_pos(tail_);
    const uint32_t ordinal = ring_ord(tail_);
    if (head == tail_ || ring_pos(head) >= modulus) return false;
    const uint64_t reserved_bytes = ring_distance(position, ring_pos(head), modulus);
    const uint32_t reserved_records = ordinal_distance(ordinal, ring_ord(head));
    if (reserved_bytes > capacity || position >= modulus) {
        // The tail was led past the head by a record whose size lied (or the
        // tail is damaged). Whatever is reserved now was never read: take
        // up at the head and count the reservations in between.
        skipped_ += reserved_records < (1u << 23) ? reserved_records : 0;
        tail_ = head;
        return true;
    }
    if (reserved_records == 0) return false;

    const char* record = ring_->data() + position % capacity;
    auto* rh = reinterpret_cast<const RecordHeader*>(record);

    // No (usable) header: the writer died between its reservation and its
    // header (its commit), or is about to write it. The first later record with a header
    // bounds the dead span; every reservation in the span is accounted for
    // by the ordinals.
    uint32_t end_ordinal = ring_ord(head);
    uint64_t end_position = ring_pos(head);
    for (uint64_t offset = 8; offset + kMinRecordSize <= reserved_bytes; offset += 8) {
        uint64_t q = ring_advance(position, offset, modulus);
        auto* candidate = reinterpret_cast<const RecordHeader*>(ring_->data() + q % capacity);
        uint64_t tag = candidate->tag.load(std::memory_order_acquire);
        if (ring_pos(tag) != q) continue;
        uint32_t o = ring_ord(tag);
        if (ordinal_distance(ordinal, o) == 0 || ordinal_distance(ordinal, o) >= reserved_records) continue;
        end_ordinal = o;
        end_position = q;
        break;
    }
    const uint32_t span = ordinal_distance(ordinal, end_ordinal);

    // Who reserved the span? Intents name every writer between reservation
    // and header; any of them alive may still write there. A reservation
    // that no intent names belongs to a writer without a slot, or to one
    // whose slot was taken over after it died: those are given up only
    // after the grace for unknown writers.
    constexpr uint32_t kTracked = 64;
    uint64_t named = 0;  // bit i: ordinal + i has a known (dead) writer
    uint32_t named_count = 0;
    for (uint32_t i = 0; i < writers.count; ++i) {
        uint64_t intent = writers.slots[i].intent.load(std::memory_order_acquire);
        if (intent == 0 || uint32_t(intent >> 32) != key_) continue;
        uint32_t at = ordinal_distance(ordinal, uint32_t(intent) & kOrdinalMask);
        if (at >= span) continue;
        uint32_t tag = (i << 16) | (writers.slots[i].generation.load(std::memory_order_acquire) & 0xFFFF);
        if (!give_up_on_live && writer_alive(writers, tag)) return false;
        if (at < kTracked && !(named & (1ull << at))) {
            named |= 1ull << at;
            ++named_count;
        }
    }
    if (named_count < span && !unknown_writers_dead && !give_up_on_live) return false;
    // The header may have landed while we looked.
    if (rh->tag.load(std::memory_order_acquire) == tail_ && record_fits(position, rh->size.load())) return false;

    skipped_ += span;
    tail_ = ring_word(end_ordinal, end_position);
    return true;
}

}  // namespace w32rt::etw
