// The trace sessions of one machine root as this process sees them.
//
// Lock order: EtwState::mutex_ (the process's half of the directory lock),
// then the flock on "etw.lock" (the machine's half), then
// ProcessSession::mutex. The directory lock guards every change of the
// directory and of consumer slots: starts, stops, enables, attaches,
// detaches. Only the administrators can take it (no one else can open the
// lock file), and they wait for it at most kDirectoryLockMs, then fail with
// ERROR_BUSY: a holder that is stopped stops no one for good. Producers
// never take it on the way of an event (TraceEvent only tries it, to reap a
// dead consumer), and provider processes read the enable records without it
// (Directory::enables_seq).
//
// Every change under the lock is a small state machine (Starting/Stopping
// with the busy process's identity), and every holder of the lock repairs
// what a process killed inside it left: the flock dies with its process, so
// whatever is half-done when the lock is taken was abandoned.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <evntrace.h>

#include "core/machine.h"
#include "core/sys.h"
#include "etw/layout.h"
#include "etw/ring.h"

namespace w32rt::etw {

// The rings of a session's consumers, as producers of this process see them
// at one consumer epoch. Immutable once built; threads hold it by shared
// pointer, so a ring stays mapped while any thread may still write to it.
struct RingSet {
    struct Entry {
        std::shared_ptr<RingMap> ring;
        uint32_t index;
        uint32_t generation;
        uint32_t key;
    };
    uint32_t epoch = 0;
    std::vector<Entry> entries;
};

// A running session's shared regions, mapped in this process: its control
// state (read-only unless the process is an administrator's) and its
// writer slots (when they cannot be mapped, slots of this process alone:
// its producers then write as writers without a slot).
class ProcessSession {
public:
    ProcessSession(Machine& machine, uint32_t slot, uint64_t generation, std::unique_ptr<SharedRegion> control,
                   std::unique_ptr<SharedRegion> writers);

    uint32_t slot() const { return slot_; }
    uint64_t generation() const { return generation_; }
    SessionRegion* shared() const { return shared_; }
    WriterRegion* writer_region() const { return writers_; }
    // Checked when mapped; kept in this process, as every later use trusts
    // them for bounds.
    uint64_t capacity() const { return capacity_; }
    uint32_t buffer_bytes() const { return buffer_bytes_; }
    bool running() const { return shared_->state.load(std::memory_order_acquire) == kSessionRunning; }
    WriterTable writers() const { return {writers_->writers, kMaxWriters}; }
    // True when this process may change the session's control state.
    bool controllable() const { return control_->writable(); }

    // The rings of the current consumer epoch (rebuilt when it moved).
    std::shared_ptr<const RingSet> rings();

    // Forgets the rings of a session that stopped, so that they are
    // unmapped once no thread holds them any more.
    void drop_rings();

    // The segment of a consumer's ring.
    Segment ring_segment(uint32_t index, uint32_t generation) const;

    // Checks the consumer behind a ring that refuses events, at most every
    // 100 ms per ring, and reaps it when its process is gone.
    void check_consumer(const RingSet::Entry& entry);

    Machine& machine() const { return machine_; }

private:
    Machine& machine_;
    const uint32_t slot_;
    const uint64_t generation_;
    std::unique_ptr<SharedRegion> control_;
    std::unique_ptr<SharedRegion> writer_file_;
    std::unique_ptr<WriterRegion> local_writers_;
    SessionRegion* shared_;
    WriterRegion* writers_;
    uint64_t capacity_;
    uint32_t buffer_bytes_;
    std::mutex mutex_;
    std::shared_ptr<const RingSet> rings_;
};

// Statistics of a session, summed over its writers and consumers.
struct SessionStats {
    uint64_t written = 0;
    uint64_t refused = 0;
    uint64_t realtime_lost = 0;
    uint32_t consumers = 0;
    uint64_t fullest_ring_used = 0;  // bytes
};

// Buffers still free in the session's fullest consumer ring.
uint32_t free_buffers(const SessionSlot& s, const SessionStats& st);

inline ULONG saturate(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : ULONG(v); }

class EtwState {
public:
    explicit EtwState(Machine& machine);

    static EtwState& current();

    Machine& machine() { return machine_; }

    // The directory, opened (or created, by an administrator) on first use;
    // null with the last error set when it cannot be. Mapped read-only in
    // the processes of other users.
    Directory* directory();

    // How long the directory lock is waited for.
    static constexpr int kDirectoryLockMs = 10000;

    class Lock {
    public:
        explicit Lock(EtwState& state);  // waits up to kDirectoryLockMs
        Lock(EtwState& state, std::try_to_lock_t);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        bool owns() const { return owns_; }

    private:
        EtwState& state_;
        bool owns_ = false;
    };

    // The session region of (slot, generation) mapped in this process; null
    // when that session no longer runs.
    std::shared_ptr<ProcessSession> session(uint32_t slot, uint64_t generation);

    // ---- Under the lock ----
    // Finds a running session by name (case-insensitive) or handle; -1 when
    // there is none.
    int find_by_name(const char* name);
    int find_by_handle(TRACEHANDLE handle);
    void repair();
    SessionStats stats(ProcessSession& session);
    void reap_dead_consumers(ProcessSession& session);
    void release_consumer(ProcessSession& session, uint32_t index, uint32_t generation);
    void stop_session(uint32_t slot);
    void remove_enables(uint32_t slot, uint64_t generation);
    void bump_control();

    // A copy of what provider processes need to know of the enable records,
    // read without the lock. False when a change stayed under way for too
    // long (try again later).
    struct EnableView {
        EnableRecord record;
        uint64_t slot_generation;
        bool slot_running;
    };
    bool read_enables(std::vector<EnableView>* out);

private:
    // Takes the flock on the lock file; 0 or an errno value.
    int lock_machine(sys::LockWait wait);
    void begin_changes();
    void end_changes();

    Machine& machine_;
    std::mutex mutex_;  // the process's half of the directory lock
    std::mutex open_mutex_;
    std::unique_ptr<SharedRegion> directory_region_;
    Directory* directory_ = nullptr;
    int lock_fd_ = -1;
    std::mutex sessions_mutex_;
    std::shared_ptr<ProcessSession> sessions_[kMaxSessions];
};

// FILETIME of now, as a 64-bit value, from the runtime's wall clock (which
// tests may shift).
uint64_t filetime_now();

// Whether the caller may control and consume sessions; sets
// ERROR_ACCESS_DENIED when not.
bool check_control_rights();

// The segments of a session's control state and of its writer slots.
Segment session_segment(uint32_t slot, uint64_t generation);
Segment writers_segment(uint32_t slot, uint64_t generation);

}  // namespace w32rt::etw
