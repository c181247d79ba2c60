// w32rt::list_trace_sessions: everything a tool shows about the sessions.
#include <w32rt/trace_sessions.h>

#include <algorithm>

#include "core/error.h"
#include "etw/state.h"

namespace w32rt {

using namespace etw;

bool list_trace_sessions(std::vector<TraceSessionInfo>* out) {
    if (!out) return fail(ERROR_INVALID_PARAMETER, false);
    out->clear();
    if (!check_control_rights()) return false;
    EtwState& state = EtwState::current();
    EtwState::Lock lock(state);
    if (!lock.owns()) return false;
    Directory* d = state.directory();
    for (uint32_t i = 0; i < kMaxSessions; ++i) {
        const SessionSlot& s = d->slots[i];
        if (s.state.load(std::memory_order_acquire) != kSlotRunning) continue;
        TraceSessionInfo info;
        info.name.assign(s.name, std::min<uint32_t>(s.name_length, kMaxNameLength));
        uint64_t generation = s.generation.load();
        info.handle = make_session_handle(i, generation);
        info.guid = s.guid;
        info.log_file_mode = s.log_file_mode;
        info.buffer_size_kb = s.buffer_size_kb;
        info.minimum_buffers = s.minimum_buffers;
        info.maximum_buffers = s.maximum_buffers;
        info.flush_timer = s.flush_timer;
        info.enable_flags = s.enable_flags;
        info.clock_type = s.clock_type;
        info.ring_bytes = s.ring_capacity;
        info.start_time = s.start_time;
        info.starter_pid = s.starter.pid;
        if (auto session = state.session(i, generation)) {
            state.reap_dead_consumers(*session);
            SessionStats st = state.stats(*session);
            info.events_written = st.written;
            info.events_lost = st.refused;
            info.realtime_lost = st.realtime_lost;
            info.free_buffers = free_buffers(s, st);
            SessionRegion* r = session->shared();
            for (uint32_t c = 0; c < kMaxConsumers; ++c) {
                const ConsumerSlot& slot = r->consumers[c];
                if (slot.state.load(std::memory_order_acquire) != kConsumerActive) continue;
                TraceConsumerInfo consumer;
                ProcessIdentity owner = slot.owner;
                consumer.pid = owner.pid;
                consumer.uid = slot.uid;
                consumer.alive = process_alive(owner);
                if (auto ring = RingMap::open_header(state.machine(), session->ring_segment(c, slot.generation.load()))) {
                    RingHeader* h = ring->header();
                    consumer.delivered = h->delivered.load(std::memory_order_relaxed);
                    consumer.lost = ring_losses(h);
                    consumer.backlog_bytes = std::min(ring->used(), ring->capacity());
                }
                info.consumers.push_back(consumer);
            }
        }
        for (const EnableRecord& e : d->enables) {
            if (!e.in_use || e.session_slot != i || e.session_generation != generation) continue;
            info.providers.push_back({e.guid, e.level, e.flags});
        }
        out->push_back(std::move(info));
    }
    return true;
}

}  // namespace w32rt
