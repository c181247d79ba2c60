// The shared-memory layout of real-time trace sessions.
//
// Shared objects of the machine root, all in the administrators' folder
// (core/segments.h), split by who may write them:
//
//   "etw.directory"            Administrators (0644): one per root: the 64
//                              session slots (name, settings, generation),
//                              the enable records and the word that provider
//                              processes sleep on.
//   "etw.lock"                 AdministratorsOnly (0600): the file whose
//                              flock is the machine's half of the directory
//                              lock; no other user can open it, so none can
//                              take the lock and stop the administrators.
//   "etw.s<slot>.<gen>"        Administrators: one per running session: its
//                              state and its consumer slots.
//   "etw.s<slot>.<gen>.w"      Everyone (0666): the session's writer slots
//                              and the counts of departed writers, which
//                              producers of every user keep.
//   "etw.s<slot>.<gen>.c<i>.<g>"  Everyone: one per attached consumer: a
//                              ring of the session's capacity that producers
//                              copy every event into, and that only its
//                              consumer reads.
//
// So another user can write events and its own counts, and nothing that
// says which sessions run, who consumes them or what a consumer has read
// (the consumer keeps its own position and the ring's size in its own
// memory; what it publishes in the ring is for producers only).
//
// Every structure here is read by processes that may be of another user, of
// another build, killed half-way through an update or malicious: shared
// objects carry magic, version and size, hold offsets and indexes only (never
// pointers), and every value read back is checked against the bounds below
// before it is used.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include <evntrace.h>

#include "core/process_identity.h"
#include "core/shm.h"

namespace w32rt::etw {

// ---- Limits --------------------------------------------------------------

constexpr uint32_t kMaxSessions = 64;         // as Windows: the 65th start fails
constexpr uint32_t kMaxNameLength = 1024;     // characters of a session name
constexpr uint32_t kMaxEnables = 256;         // (control GUID, session) pairs
constexpr uint32_t kMaxConsumers = 32;        // real-time consumers per session
constexpr uint32_t kMaxWriters = 1024;        // writing threads per session

constexpr uint32_t kDefaultBufferKb = 64;
constexpr uint32_t kDefaultMinimumBuffers = 4;
constexpr uint32_t kDefaultMaximumBuffers = 32;
constexpr uint32_t kMaxBufferKb = 1024;       // Windows' largest buffer
constexpr uint64_t kMaxRingBytes = 256ull << 20;
constexpr uint32_t kPageSize = 4096;

constexpr uint32_t kDirectoryMagic = 0x52494457;  // "WDIR"
constexpr uint32_t kSessionMagic = 0x53535457;    // "WTSS"
constexpr uint32_t kRingMagic = 0x47525457;       // "WTRG"
constexpr uint32_t kWritersMagic = 0x52575457;    // "WTWR"
constexpr uint32_t kLayoutVersion = 2;

// ---- Handles -------------------------------------------------------------
//
// A session handle names (slot, generation) and means the same in every
// process of the root, so it can be stored (the library keeps it in the
// registry) and used elsewhere. Every start takes a new generation, so the
// handle of a stopped session never names its successor.
//
//   session handle  0x45 | slot (8 bits) | generation (48 bits)
//   logger handle   0b10 | generation (low 16) | slot (6) | level (8) | flags (32)
//
// The logger handle is what a provider's control callback receives. As on
// Windows it carries the enable level and flags itself, so
// GetTraceEnableLevel/Flags answer from the handle alone; TraceEvent accepts
// it as a name of the session.

constexpr uint64_t kSessionHandleTag = 0x45;
constexpr uint64_t kGenerationMask = (1ull << 48) - 1;

inline TRACEHANDLE make_session_handle(uint32_t slot, uint64_t generation) {
    return (kSessionHandleTag << 56) | (uint64_t(slot & 0xFF) << 48) | (generation & kGenerationMask);
}

inline bool decode_session_handle(TRACEHANDLE handle, uint32_t* slot, uint64_t* generation) {
    if ((handle >> 56) != kSessionHandleTag) return false;
    uint32_t s = uint32_t((handle >> 48) & 0xFF);
    uint64_t g = handle & kGenerationMask;
    if (s >= kMaxSessions || g == 0) return false;
    *slot = s;
    *generation = g;
    return true;
}

inline TRACEHANDLE make_logger_handle(uint32_t slot, uint64_t generation, uint8_t level, uint32_t flags) {
    return (2ull << 62) | ((generation & 0xFFFF) << 46) | (uint64_t(slot & 0x3F) << 40) | (uint64_t(level) << 32) |
           flags;
}

inline bool is_logger_handle(TRACEHANDLE handle) { return (handle >> 62) == 2 && handle != ~0ull; }
inline uint32_t logger_slot(TRACEHANDLE handle) { return uint32_t((handle >> 40) & 0x3F); }
inline uint16_t logger_generation16(TRACEHANDLE handle) { return uint16_t((handle >> 46) & 0xFFFF); }
inline uint8_t logger_level(TRACEHANDLE handle) { return uint8_t((handle >> 32) & 0xFF); }
inline uint32_t logger_flags(TRACEHANDLE handle) { return uint32_t(handle); }

// ---- Directory -----------------------------------------------------------

enum SlotState : uint32_t {
    kSlotFree = 0,
    kSlotStarting = 1,  // a start is under way (or its process died in it)
    kSlotRunning = 2,
    kSlotStopping = 3,  // a stop is under way (or its process died in it)
};

// Written only under the directory lock; state and generation are also read
// without it (atomically) to resolve logger handles.
struct SessionSlot {
    std::atomic<uint32_t> state;
    uint32_t name_length;
    std::atomic<uint64_t> generation;  // of the running session; 0 = never used
    ProcessIdentity busy_owner;        // the process doing a start or stop
    ProcessIdentity starter;
    uint32_t starter_uid;
    uint32_t buffer_size_kb;
    uint32_t minimum_buffers;
    uint32_t maximum_buffers;
    uint32_t log_file_mode;
    uint32_t flush_timer;
    uint32_t enable_flags;
    int32_t age_limit;
    uint32_t clock_type;
    uint32_t reserved;
    GUID guid;
    uint64_t start_time;     // FILETIME
    uint64_t ring_capacity;  // bytes of each consumer's ring
    char name[kMaxNameLength + 8];
};

struct EnableRecord {
    uint32_t in_use;
    uint32_t session_slot;
    uint64_t session_generation;
    GUID guid;
    uint32_t level;
    uint32_t flags;
    uint64_t change;  // bumped on every enable or change of level/flags
};

struct Directory {
    RegionHeader region;
    uint32_t layout_size;
    uint32_t max_sessions;
    uint32_t max_enables;
    // Provider processes sleep on this word; every change of the enable
    // records bumps it and wakes them all (they compare what they delivered
    // with what is recorded, so one word serves every GUID).
    std::atomic<uint32_t> control_seq;
    uint64_t enable_change_counter;
    // Odd while a holder of the directory lock changes the enable records or
    // a slot's state; readers without the lock (provider processes of any
    // user) copy what they need and keep the copy only when the word was
    // even and unchanged around it. A holder killed mid-change leaves it odd
    // for the next holder to even out.
    std::atomic<uint32_t> enables_seq;
    uint32_t reserved;
    SessionSlot slots[kMaxSessions];
    EnableRecord enables[kMaxEnables];
};

// ---- Session region ------------------------------------------------------

enum ConsumerState : uint32_t { kConsumerFree = 0, kConsumerActive = 1 };

// One real-time consumer: who it is. Written on attach and detach under the
// directory lock. Everything that moves while events flow lives in the
// consumer's ring (RingHeader), so a producer holding a ring of a consumer
// that has just left can never touch the counters of its successor.
struct alignas(64) ConsumerSlot {
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> generation;  // bumped on attach and detach
    ProcessIdentity owner;
    int32_t tid;
    uint32_t uid;
    uint64_t attach_time;  // FILETIME
    uint8_t pad0[64 - 40];
};
static_assert(sizeof(ConsumerSlot) == 64, "shared layout");

// One writing thread of any process, of any user. Only its thread writes
// it, except for release and reclaim. `intent` is published before every reservation
// attempt and cleared once the record's header is written, so a consumer
// facing a reserved record without a header can find who reserved it.
struct alignas(64) WriterSlot {
    std::atomic<uint32_t> state;  // WriterState
    std::atomic<uint32_t> generation;
    ProcessIdentity owner;
    int32_t tid;
    uint32_t reserved;
    std::atomic<uint64_t> intent;      // ring key << 32 | ordinal attempted, 0 = none
    std::atomic<uint64_t> written;     // events accepted
    std::atomic<uint64_t> refused;     // events no attached consumer had room for
    std::atomic<uint64_t> unconsumed;  // events accepted while no consumer was attached
};
static_assert(sizeof(WriterSlot) == 64, "shared layout");

enum WriterState : uint32_t { kWriterFree = 0, kWriterOwned = 1, kWriterBusy = 2 };

enum SessionState : uint32_t { kSessionRunning = 1, kSessionStopped = 2 };

struct alignas(64) SessionRegion {
    RegionHeader region;
    uint32_t layout_size;
    uint32_t slot;
    uint64_t generation;
    uint64_t ring_capacity;
    uint32_t buffer_bytes;  // largest event accepted
    uint32_t max_consumers;
    uint32_t max_writers;
    uint8_t pad0[64 - 60];

    // Read by every TraceEvent; written on attach, detach and stop only.
    std::atomic<uint32_t> state;           // SessionState
    std::atomic<uint32_t> consumer_epoch;  // bumped on every attach and detach
    uint8_t pad1[64 - 8];

    // Losses of departed consumers, folded in when their slots are
    // released, so session statistics never go backwards.
    std::atomic<uint64_t> retired_consumer_lost;
    uint8_t pad2[64 - 8];

    ConsumerSlot consumers[kMaxConsumers];
};

// The producers' part of a session, writable by every user.
struct alignas(64) WriterRegion {
    RegionHeader region;
    uint32_t layout_size;
    uint32_t slot;
    uint64_t generation;
    uint32_t max_writers;
    uint8_t pad0[64 - 52];

    // Counts of departed writer slots (and of writers without one), folded
    // in when their slots are released.
    std::atomic<uint64_t> retired_written;
    std::atomic<uint64_t> retired_refused;
    std::atomic<uint64_t> retired_unconsumed;
    uint8_t pad1[64 - 24];

    WriterSlot writers[kMaxWriters];
};

// ---- Consumer ring -------------------------------------------------------
//
// A ring of C bytes (a multiple of the page size) mapped twice back to back,
// so a record that runs past the end continues in the second mapping and is
// never split. Positions grow modulo M, the largest multiple of C below
// 2^40; the head packs a position with a 24-bit ordinal so that the consumer
// knows how many records were reserved, not only how many bytes:
//
//   head = ordinal (24 bits) << 40 | position (40 bits)
//
// A producer reserves with one CAS on the head (refusing, and counting the
// loss, when the consumer's tail leaves no room), writes the event and then
// the record header, whose tag commits it. Records are 8-byte aligned.

constexpr int kPositionBits = 40;
constexpr uint64_t kPositionMask = (1ull << kPositionBits) - 1;
constexpr uint32_t kOrdinalMask = (1u << 24) - 1;

inline uint64_t ring_pos(uint64_t word) { return word & kPositionMask; }
inline uint32_t ring_ord(uint64_t word) { return uint32_t(word >> kPositionBits); }
inline uint64_t ring_word(uint32_t ordinal, uint64_t position) {
    return (uint64_t(ordinal & kOrdinalMask) << kPositionBits) | (position & kPositionMask);
}

struct alignas(64) RingHeader {
    uint32_t magic;
    uint32_t version;
    uint32_t layout_size;
    uint32_t consumer_index;
    uint64_t capacity;  // C
    uint64_t modulus;   // M
    uint64_t file_size;
    uint32_t session_slot;
    uint32_t consumer_generation;
    uint64_t session_generation;
    uint8_t pad0[64 - 56];

    std::atomic<uint64_t> head;  // producers
    uint8_t pad1[64 - 8];

    std::atomic<uint64_t> tail;  // the consumer; producers read it for room
    uint8_t pad2[64 - 8];

    // The consumer sets `sleeping` and, after a sequentially consistent
    // fence, looks at the head; a producer reserves with a CAS on the head
    // (a full barrier) and then looks at `sleeping`. One of the two always
    // sees the other: either the producer wakes the consumer once its record
    // is written, or the consumer sees the reservation and waits for it with
    // a time-out. A busy consumer costs producers no system call.
    std::atomic<uint32_t> sleeping;
    std::atomic<uint32_t> wake_seq;  // the futex word
    uint8_t pad3[64 - 8];

    std::atomic<uint64_t> lost_full;  // reservations refused: ring full
    std::atomic<int64_t> last_liveness_check_ns;
    uint8_t pad4[64 - 16];

    // Published by the consumer together with the tail.
    std::atomic<uint64_t> lost_skipped;  // records of dead writers skipped
    std::atomic<uint64_t> delivered;
    uint8_t pad5[64 - 16];
};
static_assert(sizeof(RingHeader) <= kPageSize, "ring header fits its page");

// Precedes every event in a ring. The writer stores the event first and
// this header last; `tag`, the head value the record was reserved at, is
// stored last of all (release) and is the commit: a consumer that reads the
// expected tag finds the record complete. A writer that dies before it
// leaves a reservation without a header, which its intent identifies.
struct RecordHeader {
    std::atomic<uint64_t> tag;
    std::atomic<uint32_t> size;    // whole record, header included, multiple of 8
    std::atomic<uint32_t> writer;  // writer slot index << 16 | slot generation (low 16); kNoWriter
    std::atomic<uint32_t> cpu;
    uint32_t reserved;
};
static_assert(sizeof(RecordHeader) == 24, "shared layout");

constexpr uint32_t kNoWriter = 0xFFFFFFFF;
constexpr uint32_t kRecordOverhead = sizeof(RecordHeader);
constexpr uint32_t kMinRecordSize = kRecordOverhead + sizeof(EVENT_TRACE_HEADER);

// A ring key names one consumer's ring among a session's (index and the low
// 24 bits of its generation); never 0.
inline uint32_t ring_key(uint32_t consumer_index, uint32_t consumer_generation) {
    return ((consumer_index + 1) << 24) | (consumer_generation & 0xFFFFFF);
}

}  // namespace w32rt::etw
