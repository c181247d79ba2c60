// TraceEvent: the producers' path.
//
// A thread keeps, per session it writes to, a cache entry with the mapped
// session, the rings of the session's consumers (as of a consumer epoch)
// and a writer slot of its own in the session region. On the way of an
// event there is no lock and no system call: one load of the session's
// state and epoch, a clock read through the vDSO, and per consumer one CAS
// and one copy. The futex is touched only when a consumer sleeps.
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include <evntrace.h>

#include "core/bus_guard.h"
#include "core/error.h"
#include "etw/state.h"

using namespace w32rt;
using namespace w32rt::etw;

namespace {

constexpr ULONG kAcceptedFlags =
    WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_GUID_PTR | WNODE_FLAG_USE_MOF_PTR | WNODE_FLAG_USE_TIMESTAMP;

// Bumped in the child after fork: thread caches, writer slots and ids made
// before belong to the parent.
std::atomic<uint64_t> g_fork_generation{1};

struct ForkHook {
    ForkHook() {
        pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1, std::memory_order_relaxed); });
    }
} g_fork_hook;

struct ThreadIds {
    uint64_t fork_generation = 0;
    DWORD pid = 0;
    DWORD tid = 0;
};
thread_local ThreadIds t_ids;

inline const ThreadIds& thread_ids() {
    uint64_t g = g_fork_generation.load(std::memory_order_relaxed);
    if (__builtin_expect(t_ids.fork_generation != g, 0)) {
        t_ids.pid = DWORD(::getpid());
        t_ids.tid = DWORD(::syscall(SYS_gettid));
        t_ids.fork_generation = g;
    }
    return t_ids;
}

// Moves a writer slot's counts into the session's retired counts, so that
// session statistics never go backwards when the slot changes hands.
void retire_counts(WriterRegion* r, WriterSlot& w) {
    r->retired_written.fetch_add(w.written.exchange(0), std::memory_order_relaxed);
    r->retired_refused.fetch_add(w.refused.exchange(0), std::memory_order_relaxed);
    r->retired_unconsumed.fetch_add(w.unconsumed.exchange(0), std::memory_order_relaxed);
}

struct Entry {
    TRACEHANDLE handle = 0;
    EtwState* state = nullptr;
    uint64_t fork_generation = 0;
    uint64_t last_use = 0;
    std::shared_ptr<ProcessSession> session;
    SessionRegion* shared = nullptr;
    WriterRegion* writers = nullptr;
    std::shared_ptr<const RingSet> rings;
    uint32_t epoch = 0;
    uint64_t trips = 0;  // guard_trips() when the rings were taken
    WriterSlot* writer = nullptr;
    uint32_t writer_tag = kNoWriter;
    uint64_t cached_tails[kMaxConsumers] = {};

    void refresh_rings() {
        trips = guard_trips();
        rings = session->rings();
        epoch = rings->epoch;
        for (size_t i = 0; i < rings->entries.size(); ++i)
            cached_tails[i] = rings->entries[i].ring->header()->tail.load(std::memory_order_acquire);
    }

    // Gives the writer slot back, its counts folded into the session.
    void release() {
        if (writer && fork_generation == g_fork_generation.load(std::memory_order_relaxed)) {
            retire_counts(writers, *writer);
            writer->intent.store(0, std::memory_order_relaxed);
            writer->generation.fetch_add(1, std::memory_order_release);
            writer->state.store(kWriterFree, std::memory_order_release);
        }
        *this = Entry();
    }
};

constexpr int kEntries = 4;

struct ThreadCache {
    Entry entries[kEntries];
    uint64_t clock = 0;
    ~ThreadCache() {
        for (Entry& e : entries) e.release();
    }
};

// The pointer is trivially destructible, so reaching it costs a plain TLS
// load; the owner, touched once per thread, frees the cache at thread exit.
thread_local ThreadCache* t_cache = nullptr;
struct CacheOwner {
    ~CacheOwner() {
        delete t_cache;
        t_cache = nullptr;
    }
};
thread_local CacheOwner t_cache_owner;

ThreadCache& thread_cache() {
    if (__builtin_expect(t_cache == nullptr, 0)) {
        t_cache = new ThreadCache();
        // Using the owner constructs it, which registers its destructor
        // for this thread.
        CacheOwner* owner = &t_cache_owner;
        asm volatile("" : : "r"(owner));
    }
    return *t_cache;
}

// Claims a writer slot of the session for the calling thread: a free one,
// else one whose process is gone. Null when every slot is held by a live
// process (the thread then writes without one; see resolve_stuck).
WriterSlot* claim_writer(WriterRegion* r, DWORD tid, uint32_t* tag) {
    uint32_t start = tid % kMaxWriters;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t k = 0; k < kMaxWriters; ++k) {
            uint32_t i = (start + k) % kMaxWriters;
            WriterSlot& w = r->writers[i];
            uint32_t state = w.state.load(std::memory_order_acquire);
            if (pass == 0) {
                if (state != kWriterFree || !w.state.compare_exchange_strong(state, kWriterBusy)) continue;
            } else {
                if (state != kWriterOwned) continue;
                ProcessIdentity owner = w.owner;
                if (process_alive(owner) || !w.state.compare_exchange_strong(state, kWriterBusy)) continue;
                retire_counts(r, w);
            }
            w.owner = current_process();
            w.tid = int32_t(tid);
            w.intent.store(0, std::memory_order_relaxed);
            w.written.store(0, std::memory_order_relaxed);
            w.refused.store(0, std::memory_order_relaxed);
            w.unconsumed.store(0, std::memory_order_relaxed);
            uint32_t generation = w.generation.fetch_add(1, std::memory_order_acq_rel) + 1;
            w.state.store(kWriterOwned, std::memory_order_release);
            *tag = (i << 16) | (generation & 0xFFFF);
            return &w;
        }
    }
    *tag = kNoWriter;
    return nullptr;
}

// Maps a session or logger handle to the session it names, in a cache
// entry of the calling thread. Null with ERROR_INVALID_HANDLE.
Entry* resolve(ThreadCache& cache, TRACEHANDLE handle, EtwState& state, uint64_t fork_generation) {
    Directory* d = state.directory();
    if (!d) return fail(ERROR_INVALID_HANDLE, nullptr);
    uint32_t slot;
    uint64_t generation;
    bool by_logger = false;
    if (!decode_session_handle(handle, &slot, &generation)) {
        if (!is_logger_handle(handle)) return fail(ERROR_INVALID_HANDLE, nullptr);
        slot = logger_slot(handle);
        by_logger = true;
    }
    // The directory says at once whether the handle names a running
    // session; only then is its region mapped.
    const SessionSlot& s = d->slots[slot];
    uint64_t current = s.generation.load(std::memory_order_acquire);
    if (s.state.load(std::memory_order_acquire) != kSlotRunning) return fail(ERROR_INVALID_HANDLE, nullptr);
    if (by_logger ? (current & 0xFFFF) != logger_generation16(handle) : current != generation)
        return fail(ERROR_INVALID_HANDLE, nullptr);
    generation = current;
    std::shared_ptr<ProcessSession> session = state.session(slot, generation);
    if (!session) return fail(ERROR_INVALID_HANDLE, nullptr);
    if (!session->running()) {
        session->drop_rings();
        return fail(ERROR_INVALID_HANDLE, nullptr);
    }

    Entry* victim = &cache.entries[0];
    for (Entry& e : cache.entries) {
        if (!e.session) {
            victim = &e;
            break;
        }
        if (e.last_use < victim->last_use) victim = &e;
    }
    victim->release();
    victim->handle = handle;
    victim->state = &state;
    victim->fork_generation = fork_generation;
    victim->shared = session->shared();
    victim->writers = session->writer_region();
    victim->session = std::move(session);
    victim->writer = claim_writer(victim->writers, thread_ids().tid, &victim->writer_tag);
    victim->refresh_rings();
    return victim;
}

inline void bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

ULONG trace_event(TRACEHANDLE handle, PEVENT_TRACE_HEADER event) {
    if (!event) return ERROR_INVALID_PARAMETER;

    ThreadCache& cache = thread_cache();
    EtwState& state = EtwState::current();
    const uint64_t fork_generation = g_fork_generation.load(std::memory_order_relaxed);
    Entry* entry = nullptr;
    for (Entry& e : cache.entries) {
        if (e.handle == handle && e.state == &state && e.fork_generation == fork_generation && e.session) {
            entry = &e;
            break;
        }
    }
    if (__builtin_expect(!entry, 0)) {
        entry = resolve(cache, handle, state, fork_generation);
        if (!entry) return ERROR_INVALID_HANDLE;
    }
    entry->last_use = ++cache.clock;
    SessionRegion* r = entry->shared;
    if (__builtin_expect(r->state.load(std::memory_order_acquire) != kSessionRunning, 0)) {
        entry->session->drop_rings();
        entry->release();
        return ERROR_INVALID_HANDLE;
    }

    const ULONG size = event->Size;
    if (size < sizeof(EVENT_TRACE_HEADER)) return ERROR_INVALID_PARAMETER;
    const ULONG flags = event->Flags;
    if (!(flags & WNODE_FLAG_TRACED_GUID) || (flags & ~kAcceptedFlags)) return ERROR_INVALID_FLAG_NUMBER;

    Piece segments[MAX_MOF_FIELDS];
    int segment_count = 1;
    uint32_t payload = size - uint32_t(sizeof(EVENT_TRACE_HEADER));
    if (flags & WNODE_FLAG_USE_MOF_PTR) {
        // The header is followed by MOF_FIELDs naming the pieces of the data.
        if (payload % sizeof(MOF_FIELD) != 0 || payload / sizeof(MOF_FIELD) > MAX_MOF_FIELDS)
            return ERROR_INVALID_PARAMETER;
        segment_count = int(payload / sizeof(MOF_FIELD));
        const auto* fields = reinterpret_cast<const MOF_FIELD*>(event + 1);
        uint64_t total = 0;
        for (int i = 0; i < segment_count; ++i) {
            if (fields[i].Length && !fields[i].DataPtr) return ERROR_INVALID_PARAMETER;
            segments[i] = {reinterpret_cast<const void*>(uintptr_t(fields[i].DataPtr)), fields[i].Length};
            total += fields[i].Length;
        }
        if (total > 0xFFFF - sizeof(EVENT_TRACE_HEADER)) return ERROR_MORE_DATA;
        payload = uint32_t(total);
    } else {
        segments[0] = {event + 1, payload};
    }
    if (sizeof(EVENT_TRACE_HEADER) + payload > entry->session->buffer_bytes()) return ERROR_MORE_DATA;

    EventImage image;
    memcpy(&image.header, event, sizeof(EVENT_TRACE_HEADER));
    image.header.Size = USHORT(sizeof(EVENT_TRACE_HEADER) + payload);
    image.header.Flags = flags & ~(WNODE_FLAG_USE_MOF_PTR | WNODE_FLAG_USE_GUID_PTR);
    if (flags & WNODE_FLAG_USE_GUID_PTR) {
        if (!event->GuidPtr) return ERROR_INVALID_PARAMETER;
        memcpy(&image.header.Guid, reinterpret_cast<const void*>(uintptr_t(event->GuidPtr)), sizeof(GUID));
    }
    const ThreadIds& ids = thread_ids();
    image.header.ThreadId = ids.tid;
    image.header.ProcessId = ids.pid;
    if (!(flags & WNODE_FLAG_USE_TIMESTAMP)) image.header.TimeStamp.QuadPart = LONGLONG(filetime_now());
    image.segments = segments;
    image.segment_count = segment_count;
    image.payload_size = payload;
    int cpu = sched_getcpu();
    image.cpu = cpu < 0 ? 0 : uint32_t(cpu);

    // A ring whose file was truncated is private zeros now: it is left out
    // until its consumer replaces it (which moves the epoch).
    const uint64_t trips = guard_trips();
    if (__builtin_expect(r->consumer_epoch.load(std::memory_order_acquire) != entry->epoch || trips != entry->trips,
                         0)) {
        if (trips != entry->trips) entry->session->drop_rings();
        entry->refresh_rings();
    }
    const RingSet& rings = *entry->rings;
    WriterSlot* writer = entry->writer;
    WriterRegion* w = entry->writers;
    if (rings.entries.empty()) {
        if (writer) {
            bump(writer->written);
            bump(writer->unconsumed);
        } else {
            w->retired_written.fetch_add(1, std::memory_order_relaxed);
            w->retired_unconsumed.fetch_add(1, std::memory_order_relaxed);
        }
        return ERROR_SUCCESS;
    }
    const WriterRef ref{writer, entry->writer_tag};
    bool delivered = false;
    for (size_t i = 0; i < rings.entries.size(); ++i) {
        const RingSet::Entry& ring = rings.entries[i];
        if (ring_write(*ring.ring, ring.key, ref, &entry->cached_tails[i], image))
            delivered = true;
        else
            entry->session->check_consumer(ring);
    }
    std::atomic<uint64_t>& counter =
        delivered ? (writer ? writer->written : w->retired_written) : (writer ? writer->refused : w->retired_refused);
    if (writer)
        bump(counter);
    else
        counter.fetch_add(1, std::memory_order_relaxed);
    return delivered ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

}  // namespace

extern "C" W32RT_API ULONG WMIAPI TraceEvent(TRACEHANDLE TraceHandle, PEVENT_TRACE_HEADER EventTrace) {
    return trace_event(TraceHandle, EventTrace);
}
