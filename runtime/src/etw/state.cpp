#include "etw/state.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <climits>

#include "core/error.h"
#include "core/futex.h"
#include "core/strings.h"
#include "core/clock.h"
#include "core/sys.h"

namespace w32rt::etw {

namespace {

// How long a provider process tries to read the enable records while
// administrators change them, before it gives up for this round.
constexpr int64_t kEnableReadNs = 100'000'000;

}  // namespace

uint64_t filetime_now() { return clock::now(); }

bool check_control_rights() {
    if (Machine::current().caller_is_administrator()) return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

uint32_t free_buffers(const SessionSlot& s, const SessionStats& st) {
    uint64_t buffer_bytes = uint64_t(s.buffer_size_kb ? s.buffer_size_kb : 1) * 1024;  // read back: never trusted
    uint64_t free_bytes = s.ring_capacity - std::min(s.ring_capacity, st.fullest_ring_used);
    return uint32_t(std::min<uint64_t>(s.maximum_buffers, free_bytes / buffer_bytes));
}

Segment session_segment(uint32_t slot, uint64_t generation) {
    char what[64];
    snprintf(what, sizeof what, "etw.s%u.%llu", slot, static_cast<unsigned long long>(generation));
    return admin_segment(what, SegmentAccess::Administrators);
}

Segment writers_segment(uint32_t slot, uint64_t generation) {
    char what[64];
    snprintf(what, sizeof what, "etw.s%u.%llu.w", slot, static_cast<unsigned long long>(generation));
    return admin_segment(what, SegmentAccess::Everyone);
}

// ---- ProcessSession ------------------------------------------------------

ProcessSession::ProcessSession(Machine& machine, uint32_t slot, uint64_t generation,
                               std::unique_ptr<SharedRegion> control, std::unique_ptr<SharedRegion> writers)
    : machine_(machine), slot_(slot), generation_(generation), control_(std::move(control)),
      writer_file_(std::move(writers)) {
    shared_ = control_->at<SessionRegion>(0);
    if (writer_file_) {
        writers_ = writer_file_->at<WriterRegion>(0);
    } else {
        // Without the file (another user removed or cut it short) this
        // process's producers write without slots, into counts of their own.
        local_writers_ = std::make_unique<WriterRegion>();
        writers_ = local_writers_.get();
    }
    capacity_ = shared_->ring_capacity;
    buffer_bytes_ = shared_->buffer_bytes;
}

Segment ProcessSession::ring_segment(uint32_t index, uint32_t generation) const {
    char what[96];
    snprintf(what, sizeof what, "etw.s%u.%llu.c%u.%u", slot_, static_cast<unsigned long long>(generation_), index,
             generation);
    return admin_segment(what, SegmentAccess::Everyone);
}

std::shared_ptr<const RingSet> ProcessSession::rings() {
    uint32_t epoch = shared_->consumer_epoch.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> lock(mutex_);
    if (rings_ && rings_->epoch == epoch) return rings_;
    auto set = std::make_shared<RingSet>();
    set->epoch = epoch;
    for (uint32_t i = 0; i < kMaxConsumers; ++i) {
        const ConsumerSlot& c = shared_->consumers[i];
        if (c.state.load(std::memory_order_acquire) != kConsumerActive) continue;
        uint32_t generation = c.generation.load(std::memory_order_acquire);
        std::shared_ptr<RingMap> ring;
        if (rings_) {
            for (const RingSet::Entry& old : rings_->entries)
                if (old.index == i && old.generation == generation && !old.ring->truncated()) ring = old.ring;
        }
        // A ring that cannot be opened belongs to a consumer that is leaving
        // (its detach moves the epoch again) or is damaged (its consumer
        // replaces it, which moves the epoch too): leave it out.
        if (!ring) ring = RingMap::open(machine_, ring_segment(i, generation), capacity());
        if (ring) set->entries.push_back({std::move(ring), i, generation, ring_key(i, generation)});
    }
    rings_ = set;
    return rings_;
}

void ProcessSession::drop_rings() {
    std::lock_guard<std::mutex> lock(mutex_);
    rings_.reset();
}

void ProcessSession::check_consumer(const RingSet::Entry& entry) {
    // Only the administrators may release a consumer's slot.
    if (!controllable()) return;
    RingHeader* h = entry.ring->header();
    int64_t now = monotonic_ns();
    int64_t last = h->last_liveness_check_ns.load(std::memory_order_relaxed);
    if ((now - last < 100000000 && now >= last) || !h->last_liveness_check_ns.compare_exchange_strong(last, now))
        return;
    const ConsumerSlot& c = shared_->consumers[entry.index];
    if (c.state.load(std::memory_order_acquire) != kConsumerActive ||
        c.generation.load(std::memory_order_acquire) != entry.generation)
        return;
    ProcessIdentity owner = c.owner;
    if (process_alive(owner)) return;
    EtwState& state = machine_.area<EtwState>(Area::Etw);
    EtwState::Lock lock(state, std::try_to_lock);
    if (lock.owns()) state.release_consumer(*this, entry.index, entry.generation);
}

// ---- EtwState ------------------------------------------------------------

EtwState::EtwState(Machine& machine) : machine_(machine) {}

EtwState& EtwState::current() { return Machine::current().area<EtwState>(Area::Etw); }

Directory* EtwState::directory() {
    std::lock_guard<std::mutex> lock(open_mutex_);
    if (directory_) return directory_;
    auto region = SharedRegion::open_or_create(machine_, admin_segment("etw.directory", SegmentAccess::Administrators),
                                               sizeof(Directory), kDirectoryMagic, kLayoutVersion, [](void* base) {
                                                   auto* d = static_cast<Directory*>(base);
                                                   d->layout_size = sizeof(Directory);
                                                   d->max_sessions = kMaxSessions;
                                                   d->max_enables = kMaxEnables;
                                               });
    if (!region) return nullptr;
    auto* d = region->at<Directory>(0);
    if (d->layout_size != sizeof(Directory) || d->max_sessions != kMaxSessions || d->max_enables != kMaxEnables)
        return fail(ERROR_INVALID_DATA, nullptr);
    directory_region_ = std::move(region);
    directory_ = d;
    return directory_;
}

int EtwState::lock_machine(sys::LockWait wait) {
    if (lock_fd_ < 0) {
        if (!directory_region_->writable()) return EACCES;
        OpenedSegment file;
        if (!open_segment(machine_, admin_segment("etw.lock", SegmentAccess::AdministratorsOnly),
                          SegmentOpen::Create, &file))
            return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
        if (file.created) publish_segment(machine_, admin_segment("etw.lock", SegmentAccess::AdministratorsOnly),
                                          file.fd);
        lock_fd_ = file.fd;
    }
    return sys::lock_file(lock_fd_, wait, kDirectoryLockMs);
}

void EtwState::begin_changes() {
    // Odd while the lock is held; a holder that died left it odd already.
    uint32_t seq = directory_->enables_seq.load(std::memory_order_relaxed);
    if (!(seq & 1)) directory_->enables_seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
}

void EtwState::end_changes() {
    uint32_t seq = directory_->enables_seq.load(std::memory_order_relaxed);
    directory_->enables_seq.store((seq | 1) + 1, std::memory_order_release);
}

EtwState::Lock::Lock(EtwState& state) : state_(state) {
    if (!state.directory()) return;
    state.mutex_.lock();
    // Holders keep the lock for one state change; one that dies releases it.
    if (int e = state.lock_machine(sys::LockWait::Bounded)) {
        SetLastError(e == ETIMEDOUT ? DWORD(ERROR_BUSY) : e == EACCES ? DWORD(ERROR_ACCESS_DENIED)
                                                                       : win32_from_errno(e));
        state.mutex_.unlock();
        return;
    }
    owns_ = true;
    state.begin_changes();
    state.repair();
}

EtwState::Lock::Lock(EtwState& state, std::try_to_lock_t) : state_(state) {
    if (!state.directory() || !state.mutex_.try_lock()) return;
    if (state.lock_machine(sys::LockWait::Try) != 0) {
        state.mutex_.unlock();
        return;
    }
    owns_ = true;
    state.begin_changes();
    state.repair();
}

EtwState::Lock::~Lock() {
    if (!owns_) return;
    state_.end_changes();
    sys::unlock_file(state_.lock_fd_);
    state_.mutex_.unlock();
}

bool EtwState::read_enables(std::vector<EnableView>* out) {
    Directory* d = directory();
    if (!d) return false;
    const int64_t until = monotonic_ns() + kEnableReadNs;
    for (unsigned attempt = 0;; ++attempt) {
        uint32_t before = d->enables_seq.load(std::memory_order_acquire);
        if (!(before & 1)) {
            out->clear();
            for (const EnableRecord& e : d->enables) {
                if (!e.in_use) continue;
                EnableView view;
                view.record = e;
                const SessionSlot* s = view.record.session_slot < kMaxSessions ? &d->slots[e.session_slot] : nullptr;
                view.slot_generation = s ? s->generation.load(std::memory_order_relaxed) : 0;
                view.slot_running = s && s->state.load(std::memory_order_relaxed) == kSlotRunning;
                out->push_back(view);
            }
            std::atomic_thread_fence(std::memory_order_acquire);
            if (d->enables_seq.load(std::memory_order_relaxed) == before) return true;
        }
        if (monotonic_ns() >= until) return false;
        if (attempt < 64) {
            sched_yield();
        } else {
            struct timespec pause = {0, 200'000};
            nanosleep(&pause, nullptr);
        }
    }
}

std::shared_ptr<ProcessSession> EtwState::session(uint32_t slot, uint64_t generation) {
    if (slot >= kMaxSessions) return fail(ERROR_INVALID_HANDLE, nullptr);
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    std::shared_ptr<ProcessSession>& cached = sessions_[slot];
    if (cached && cached->generation() == generation) return cached;
    auto control = SharedRegion::open_existing(machine_, session_segment(slot, generation), kSessionMagic,
                                               kLayoutVersion);
    if (!control) return fail(ERROR_INVALID_HANDLE, nullptr);
    auto* r = control->at<SessionRegion>(0);
    bool valid = r->layout_size == sizeof(SessionRegion) && r->slot == slot && r->generation == generation &&
                 r->ring_capacity >= 2 * kPageSize && r->ring_capacity <= kMaxRingBytes &&
                 r->ring_capacity % kPageSize == 0 && r->buffer_bytes >= sizeof(EVENT_TRACE_HEADER) &&
                 record_size_for(r->buffer_bytes) <= r->ring_capacity && r->max_consumers == kMaxConsumers &&
                 r->max_writers == kMaxWriters;
    if (!valid) return fail(ERROR_INVALID_DATA, nullptr);
    // Every user may write the writer slots, their header included: they
    // are taken by the file's size, which only the session's starter set,
    // and everything in them is checked again at each use.
    auto writers = SharedRegion::map_existing(machine_, writers_segment(slot, generation), sizeof(WriterRegion));
    cached = std::make_shared<ProcessSession>(machine_, slot, generation, std::move(control), std::move(writers));
    return cached;
}

int EtwState::find_by_name(const char* name) {
    Directory* d = directory_;
    size_t length = strnlen(name, kMaxNameLength + 1);
    if (length > kMaxNameLength) return -1;
    for (uint32_t i = 0; i < kMaxSessions; ++i) {
        const SessionSlot& s = d->slots[i];
        if (s.state.load(std::memory_order_acquire) != kSlotRunning) continue;
        if (s.name_length != length || s.name_length > kMaxNameLength) continue;
        if (iequals(std::string_view(s.name, s.name_length), std::string_view(name, length))) return int(i);
    }
    return -1;
}

int EtwState::find_by_handle(TRACEHANDLE handle) {
    uint32_t slot;
    uint64_t generation;
    if (!decode_session_handle(handle, &slot, &generation)) return -1;
    const SessionSlot& s = directory_->slots[slot];
    if (s.state.load(std::memory_order_acquire) != kSlotRunning ||
        s.generation.load(std::memory_order_acquire) != generation)
        return -1;
    return int(slot);
}

void EtwState::repair() {
    Directory* d = directory_;
    for (uint32_t i = 0; i < kMaxSessions; ++i) {
        SessionSlot& s = d->slots[i];
        uint32_t state = s.state.load(std::memory_order_acquire);
        if (state == kSlotStarting) {
            // A start abandoned half-way: its session never ran.
            uint64_t generation = s.generation.load();
            SharedRegion::remove(machine_, session_segment(i, generation));
            SharedRegion::remove(machine_, writers_segment(i, generation));
            remove_enables(i, generation);
            s.state.store(kSlotFree, std::memory_order_release);
        } else if (state == kSlotStopping) {
            stop_session(i);
        } else if (state != kSlotFree && state != kSlotRunning) {
            s.state.store(kSlotFree, std::memory_order_release);
        }
    }
}

SessionStats EtwState::stats(ProcessSession& session) {
    SessionStats st;
    SessionRegion* r = session.shared();
    WriterRegion* w = session.writer_region();
    // The producers' counts are theirs to keep, and any user may have
    // written them: they are reported, never relied on.
    st.written = w->retired_written.load(std::memory_order_relaxed);
    st.refused = w->retired_refused.load(std::memory_order_relaxed);
    st.realtime_lost = w->retired_unconsumed.load(std::memory_order_relaxed) +
                       r->retired_consumer_lost.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < kMaxWriters; ++i) {
        const WriterSlot& slot = w->writers[i];
        st.written += slot.written.load(std::memory_order_relaxed);
        st.refused += slot.refused.load(std::memory_order_relaxed);
        st.realtime_lost += slot.unconsumed.load(std::memory_order_relaxed);
    }
    for (uint32_t i = 0; i < kMaxConsumers; ++i) {
        const ConsumerSlot& c = r->consumers[i];
        if (c.state.load(std::memory_order_acquire) != kConsumerActive) continue;
        ++st.consumers;
        auto ring = RingMap::open_header(machine_, session.ring_segment(i, c.generation.load(std::memory_order_acquire)));
        if (!ring) continue;
        st.realtime_lost += ring_losses(ring->header());
        uint64_t used = ring->used();
        if (used > st.fullest_ring_used) st.fullest_ring_used = used > ring->capacity() ? ring->capacity() : used;
    }
    return st;
}

void EtwState::reap_dead_consumers(ProcessSession& session) {
    SessionRegion* r = session.shared();
    for (uint32_t i = 0; i < kMaxConsumers; ++i) {
        ConsumerSlot& c = r->consumers[i];
        if (c.state.load(std::memory_order_acquire) != kConsumerActive) continue;
        ProcessIdentity owner = c.owner;
        if (!process_alive(owner)) release_consumer(session, i, c.generation.load(std::memory_order_acquire));
    }
}

void EtwState::release_consumer(ProcessSession& session, uint32_t index, uint32_t generation) {
    if (index >= kMaxConsumers) return;
    SessionRegion* r = session.shared();
    ConsumerSlot& c = r->consumers[index];
    if (c.state.load(std::memory_order_acquire) != kConsumerActive ||
        c.generation.load(std::memory_order_acquire) != generation)
        return;
    Segment ring_segment = session.ring_segment(index, generation);
    if (auto ring = RingMap::open_header(machine_, ring_segment))
        r->retired_consumer_lost.fetch_add(ring_losses(ring->header()), std::memory_order_relaxed);
    c.state.store(kConsumerFree, std::memory_order_release);
    c.generation.store(generation + 1, std::memory_order_release);
    r->consumer_epoch.fetch_add(1, std::memory_order_release);
    remove_segment(machine_, ring_segment);
}

void EtwState::stop_session(uint32_t slot) {
    SessionSlot& s = directory_->slots[slot];
    uint64_t generation = s.generation.load(std::memory_order_acquire);
    s.busy_owner = current_process();
    s.state.store(kSlotStopping, std::memory_order_release);
    auto session = this->session(slot, generation);
    if (session) {
        SessionRegion* r = session->shared();
        r->state.store(kSessionStopped, std::memory_order_release);
        session->drop_rings();
        for (uint32_t i = 0; i < kMaxConsumers; ++i) {
            ConsumerSlot& c = r->consumers[i];
            if (c.state.load(std::memory_order_acquire) != kConsumerActive) continue;
            Segment ring_segment = session->ring_segment(i, c.generation.load(std::memory_order_acquire));
            if (auto ring = RingMap::open_header(machine_, ring_segment)) ring_wake(ring->header());
            remove_segment(machine_, ring_segment);
        }
    }
    SharedRegion::remove(machine_, session_segment(slot, generation));
    SharedRegion::remove(machine_, writers_segment(slot, generation));
    remove_enables(slot, generation);
    bump_control();
    s.state.store(kSlotFree, std::memory_order_release);
}

void EtwState::remove_enables(uint32_t slot, uint64_t generation) {
    for (EnableRecord& e : directory_->enables) {
        if (e.in_use && e.session_slot == slot && e.session_generation == generation) e.in_use = 0;
    }
}

void EtwState::bump_control() {
    directory_->control_seq.fetch_add(1, std::memory_order_release);
    futex_wake(&directory_->control_seq, INT32_MAX, FutexScope::Shared);
}

}  // namespace w32rt::etw
