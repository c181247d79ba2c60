// One consumer's ring: many producers (any process, any thread) write, one
// consumer reads. See layout.h for the shared layout and the head encoding.
//
// Producers never wait: a reservation that finds no room is refused and
// counted in the ring (lost_full). A producer killed between reservation
// and commit leaves a reservation without header that the consumer skips,
// once it has made sure that the writer is dead, and counts (lost_skipped);
// so for every consumer reserved + refused = delivered + lost, exactly.
//
// Every user may write a ring, so the consumer trusts nothing in it beyond
// a record's bytes: its position, the ring's size and what it delivered are
// its own, a record is taken only when its header is consistent, and a
// reservation held back for too long is given up even while its writer
// lives (a stopped or hostile writer must not stop the consumer). A ring
// whose header was changed, or whose file was truncated, is damaged: its
// consumer replaces it with a new one and counts what it held as lost.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "core/segments.h"
#include "etw/layout.h"

namespace w32rt {
class Machine;
}

namespace w32rt::etw {

// A mapping of a ring object: the header page, then the data twice.
class RingMap {
public:
    RingMap(const RingMap&) = delete;
    RingMap& operator=(const RingMap&) = delete;
    ~RingMap();

    struct Identity {
        uint32_t session_slot;
        uint64_t session_generation;
        uint32_t consumer_index;
        uint32_t consumer_generation;
    };

    // Creates the ring segment (a stale object of that name is replaced)
    // with `capacity` bytes of data, a multiple of the page size.
    static std::unique_ptr<RingMap> create(Machine& machine, const Segment& segment, uint64_t capacity,
                                           const Identity& identity);

    // Maps an existing ring for writing. The object must be what a ring of
    // `capacity` bytes looks like, else ERROR_INVALID_DATA.
    static std::unique_ptr<RingMap> open(Machine& machine, const Segment& segment, uint64_t capacity);

    // Maps the header page only (statistics and wake-ups).
    static std::unique_ptr<RingMap> open_header(Machine& machine, const Segment& segment);

    RingHeader* header() const { return header_; }
    char* data() const { return data_; }
    uint64_t capacity() const { return capacity_; }
    uint64_t modulus() const { return modulus_; }

    // True once a truncation of the file took the mapping away.
    bool truncated() const { return damaged_.load(std::memory_order_relaxed) != 0; }
    // True when the header no longer says what the ring's creator wrote:
    // someone wrote over it, or its file was truncated.
    bool damaged(const Identity& identity) const;

    // Bytes reserved and not yet consumed; above the capacity when the
    // shared words were damaged.
    uint64_t used() const;

private:
    RingMap() = default;
    static std::unique_ptr<RingMap> map(int fd, uint64_t capacity, bool header_only);

    void* base_ = nullptr;
    size_t length_ = 0;
    unsigned guard_ = 0;
    std::atomic<uint32_t> damaged_{0};
    RingHeader* header_ = nullptr;
    char* data_ = nullptr;
    uint64_t capacity_ = 0;
    uint64_t modulus_ = 0;
};

inline uint64_t ring_distance(uint64_t from, uint64_t to, uint64_t modulus) {
    return to >= from ? to - from : to + modulus - from;
}

inline uint64_t ring_advance(uint64_t position, uint64_t by, uint64_t modulus) {
    uint64_t p = position + by;
    return p >= modulus ? p - modulus : p;
}

inline uint32_t ordinal_distance(uint32_t from, uint32_t to) { return (to - from) & kOrdinalMask; }

inline uint32_t record_size_for(uint32_t event_size) { return (kRecordOverhead + event_size + 7u) & ~7u; }

// Largest multiple of capacity that fits the position field.
uint64_t ring_modulus(uint64_t capacity);

// ---- Producer side -------------------------------------------------------

struct Piece {
    const void* data;
    uint32_t size;
};

// An event as it enters a ring: the header as delivered (stamped, Size the
// delivered size, pointer flags resolved) and the payload in pieces.
struct EventImage {
    EVENT_TRACE_HEADER header;
    const Piece* segments;
    int segment_count;
    uint32_t payload_size;
    uint32_t cpu;
};

struct WriterRef {
    WriterSlot* slot;  // null when the thread has none
    uint32_t tag;      // index << 16 | generation (low 16), or kNoWriter
};

// Reserves, writes and commits one record and wakes a sleeping consumer.
// `cached_tail` is the caller's last view of the consumer's tail (it only
// reads the shared tail when that view leaves no room). False when the ring
// had no room; the loss is counted in the ring.
bool ring_write(RingMap& ring, uint32_t key, const WriterRef& writer, uint64_t* cached_tail, const EventImage& event);

// Test seam: when set, called inside ring_write after the reservation,
// after the event (before its header) and after the commit, so tests can
// stop or kill a writer at exactly those points. One relaxed load when unset.
enum class WriteStage { Reserved, PayloadWritten, Committed };
using WriteStageHook = void (*)(WriteStage stage);
extern std::atomic<WriteStageHook> g_write_stage_hook;

// Wakes the ring's consumer if it sleeps (stop, close).
void ring_wake(RingHeader* header);

// What a consumer's ring has lost so far: reservations refused for want of
// room, and records of dead writers its consumer skipped (as published).
inline uint64_t ring_losses(const RingHeader* h) {
    return h->lost_full.load(std::memory_order_relaxed) + h->lost_skipped.load(std::memory_order_relaxed);
}

// ---- Consumer side -------------------------------------------------------

struct RecordView {
    EVENT_TRACE_HEADER header;  // a copy, checked
    const char* payload;        // inside the ring; valid until consume()
    uint32_t payload_size;
    uint32_t record_size;
    uint32_t cpu;
    bool malformed;  // committed, but its stored header is inconsistent
};

// Liveness of the writers named in records and intents.
struct WriterTable {
    const WriterSlot* slots;
    uint32_t count;
};

class RingReader {
public:
    // Reads `ring` from its current tail; `key` is the ring's key in the
    // writers' intents.
    RingReader(RingMap* ring, uint32_t key);

    enum class Peek { Ready, Empty, Pending };

    // The record at the tail: Ready (committed; filled into *view), Empty
    // (nothing reserved) or Pending (reserved, not committed yet). Without
    // `classify`, Empty is reported as Pending and the producers' head is
    // not read: the cheap check for a spinning consumer.
    Peek peek(RecordView* view, bool classify = true);

    // Moves past the record peek() returned (delivered or malformed).
    void consume(const RecordView& view);

    // Makes the consumer's progress visible to producers and statistics.
    void publish();

    // The sleep handshake. prepare_sleep() announces the sleep and returns
    // the futex value to wait on; the caller then peeks once more and either
    // cancels or sleeps. sleep() returns false on time-out.
    uint32_t prepare_sleep();
    void cancel_sleep();
    bool sleep(uint32_t seq, int64_t timeout_ns);

    // Called when the record at the tail stayed Pending for a while: skips
    // and counts it (and any records reserved after it that are as dead) if
    // its writer is gone. Writers that cannot be identified are taken for
    // dead only when `unknown_writers_dead`, and every writer, even a live
    // one, when `give_up_on_live` (it held the record back for too long).
    // True when something was skipped.
    bool resolve_stuck(const WriterTable& writers, bool unknown_writers_dead, bool give_up_on_live = false);

    // True when the producers' head is no position of this ring at all.
    bool head_unusable() const;

    // Moves the reader to a new ring of the same capacity (its damaged
    // predecessor's replacement), counting `lost` records as lost besides
    // what the old ring's producers refused.
    void move_to(RingMap* ring, uint32_t key, uint64_t lost);

    // Gives up everything up to the head word `target`, counted lost (a
    // consumer that must end while a writer holds a record back).
    void abandon_to(uint64_t target);

    uint64_t tail() const { return tail_; }
    uint64_t head() const;
    uint64_t delivered() const { return delivered_; }
    uint64_t lost() const;  // lost_full (producers) + skipped
    RingHeader* header() const { return ring_->header(); }

private:
    bool record_fits(uint64_t position, uint32_t size) const;

    RingMap* ring_;
    uint32_t key_;
    uint64_t tail_;
    uint64_t delivered_ = 0;
    uint64_t skipped_ = 0;
    uint64_t carried_lost_ = 0;  // refusals counted by rings replaced since
};

// True while the writer named by a record's tag runs.
bool writer_alive(const WriterTable& writers, uint32_t writer_tag);

}  // namespace w32rt::etw
