// Real-time consumers: OpenTraceA, ProcessTrace, CloseTrace.
//
// OpenTraceA attaches the consumer to the session at once when it runs and
// the caller has the rights (so events written after OpenTraceA returned are
// kept for ProcessTrace); otherwise the failure waits for ProcessTrace, as
// on Windows: a missing session shows as ERROR_WMI_INSTANCE_NOT_FOUND and
// missing rights as ERROR_ACCESS_DENIED from ProcessTrace.
//
// Each consumer has a ring of the session's capacity. ProcessTrace delivers
// events in ring order (per writing thread, the order written) straight from
// the ring; when it runs dry it spins a few microseconds (unless the last
// event was written on its own processor), then sleeps on the ring's futex
// until a producer has written. A "buffer" for BufferCallback and
// BuffersRead is a run of events of at most BufferSize bytes delivered
// without sleeping.
//
// Every user may write the ring, so the pump never waits on what is in it
// for good: a record held back by a writer that lives but does not finish
// (stopped, or hostile) is given up after kLiveWriterGiveUpNs, and a ring
// whose header was written over, whose head is no position of it, or whose
// file was truncated is replaced by a new ring in the same consumer slot;
// what it held is counted lost (EventsLost, with a BufferCallback at once),
// and the debugger output says so.
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <evntrace.h>

#include "core/error.h"
#include "core/futex.h"
#include "etw/local_handles.h"
#include "etw/state.h"

using namespace w32rt;
using namespace w32rt::etw;

namespace {

constexpr uint64_t kConsumerHandleTag = 0x43;
constexpr int64_t kSpinNs = 5000;                // spin before sleeping
constexpr int64_t kIdleTimeoutNs = 500000000;    // safety net while the ring is empty
constexpr int64_t kFirstStuckWaitNs = 50000;     // then doubling up to kMaxStuckWaitNs
constexpr int64_t kCheckWritersAfterNs = 1000000;  // before a record counts as stuck
constexpr int64_t kMaxStuckWaitNs = 50000000;
constexpr int64_t kUnknownWriterGraceNs = 2000000000;
constexpr int64_t kLiveWriterGiveUpNs = 5000000000;
// While events flow, the ring's header is looked at for damage every so
// many records (and whenever the pump runs dry).
constexpr uint32_t kDamageCheckEvery = 4096;

struct Consumer {
    std::mutex mutex;  // guards everything below but the atomics
    EtwState* state = nullptr;
    std::string logger_name;
    EVENT_TRACE_LOGFILEA logfile;  // the copy callbacks see
    bool closed = false;           // the handle was closed
    bool processing = false;
    std::atomic<bool> close_requested{false};

    std::shared_ptr<ProcessSession> session;
    uint32_t index = 0;
    uint32_t generation = 0;
    RingMap::Identity identity{};
    std::unique_ptr<RingMap> ring;
    std::unique_ptr<RingReader> reader;
};

LocalHandles<std::shared_ptr<Consumer>> g_consumers(kConsumerHandleTag);

// Attaches to the running session of the consumer's name. Called with the
// consumer's mutex held.
ULONG attach(Consumer& c) {
    EtwState& state = *c.state;
    EtwState::Lock lock(state);
    if (!lock.owns()) return GetLastError();
    int slot = state.find_by_name(c.logger_name.c_str());
    if (slot < 0) return ERROR_WMI_INSTANCE_NOT_FOUND;
    auto session = state.session(uint32_t(slot), state.directory()->slots[slot].generation.load());
    if (!session) return GetLastError();
    state.reap_dead_consumers(*session);
    SessionRegion* r = session->shared();
    int free_index = -1;
    for (uint32_t i = 0; i < kMaxConsumers && free_index < 0; ++i)
        if (r->consumers[i].state.load(std::memory_order_acquire) == kConsumerFree) free_index = int(i);
    if (free_index < 0) return ERROR_NO_SYSTEM_RESOURCES;
    ConsumerSlot& slot_ref = r->consumers[free_index];
    uint32_t generation = slot_ref.generation.load() + 1;
    slot_ref.generation.store(generation, std::memory_order_release);
    RingMap::Identity identity{uint32_t(slot), session->generation(), uint32_t(free_index), generation};
    auto ring = RingMap::create(state.machine(), session->ring_segment(uint32_t(free_index), generation),
                                session->capacity(), identity);
    if (!ring) return GetLastError();
    slot_ref.owner = current_process();
    slot_ref.tid = int32_t(current_tid());
    slot_ref.uid = uint32_t(geteuid());
    slot_ref.attach_time = filetime_now();
    slot_ref.state.store(kConsumerActive, std::memory_order_release);
    r->consumer_epoch.fetch_add(1, std::memory_order_release);

    c.reader = std::make_unique<RingReader>(ring.get(), ring_key(uint32_t(free_index), generation));
    c.ring = std::move(ring);
    c.session = std::move(session);
    c.index = uint32_t(free_index);
    c.generation = generation;
    c.identity = identity;

    // What a consumer of a real-time session learns about it.
    const SessionSlot& s = state.directory()->slots[slot];
    TRACE_LOGFILE_HEADER& h = c.logfile.LogfileHeader;
    memset(&h, 0, sizeof h);
    h.BufferSize = c.session->buffer_bytes();
    h.VersionDetail.MajorVersion = 1;
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    h.NumberOfProcessors = cpus > 0 ? ULONG(cpus) : 1;
    h.TimerResolution = 1;  // time stamps are FILETIME, 100 ns
    h.LogFileMode = s.log_file_mode;
    h.StartBuffers = s.minimum_buffers;
    h.PointerSize = sizeof(void*);
    h.PerfFreq.QuadPart = 10000000;
    h.StartTime.QuadPart = LONGLONG(s.start_time);
    h.ReservedFlags = s.clock_type;
    struct timespec up;
    clock_gettime(CLOCK_BOOTTIME, &up);
    h.BootTime.QuadPart = LONGLONG(filetime_now() - (uint64_t(up.tv_sec) * 10000000u + uint64_t(up.tv_nsec) / 100u));
    c.logfile.BufferSize = c.session->buffer_bytes();
    return ERROR_SUCCESS;
}

// Gives the consumer's slot back. Called with the consumer's mutex held.
void detach(Consumer& c) {
    if (!c.session) return;
    {
        EtwState::Lock lock(*c.state);
        if (lock.owns()) {
            if (c.reader) c.reader->publish();
            c.state->release_consumer(*c.session, c.index, c.generation);
        }
    }
    c.reader.reset();
    c.ring.reset();
    c.session.reset();
}

// Replaces the consumer's damaged ring with a new one in the same slot
// (the next generation), so producers move to it at the next epoch. False
// when it cannot be (the slot was released meanwhile, or no ring can be
// made); the pump then ends. Called by the pump, without the consumer's
// mutex.
bool replace_ring(Consumer& c, uint64_t lost, const char* what) {
    std::unique_ptr<RingMap> ring;
    RingMap::Identity identity = c.identity;
    {
        EtwState::Lock lock(*c.state);
        if (!lock.owns()) return false;
        SessionRegion* r = c.session->shared();
        ConsumerSlot& slot = r->consumers[c.index];
        if (slot.state.load(std::memory_order_acquire) != kConsumerActive ||
            slot.generation.load(std::memory_order_acquire) != c.generation)
            return false;
        identity.consumer_generation = c.generation + 1;
        ring = RingMap::create(c.state->machine(), c.session->ring_segment(c.index, identity.consumer_generation),
                               c.session->capacity(), identity);
        if (!ring) return false;
        remove_segment(c.state->machine(), c.session->ring_segment(c.index, c.generation));
        slot.generation.store(identity.consumer_generation, std::memory_order_release);
        r->consumer_epoch.fetch_add(1, std::memory_order_release);
    }
    c.reader->move_to(ring.get(), ring_key(c.index, identity.consumer_generation), lost);
    std::unique_ptr<RingMap> old;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        old = std::move(c.ring);
        c.ring = std::move(ring);
        c.generation = identity.consumer_generation;
        c.identity = identity;
    }
    char text[256];
    snprintf(text, sizeof text,
             "ProcessTrace - the ring of real-time consumer %u was damaged (%s); it was replaced, and %llu events "
             "it held are counted lost\n",
             c.index, what, static_cast<unsigned long long>(lost));
    OutputDebugStringA(text);
    return true;
}

// True once the tail has reached (or passed) the head word `target`.
bool reached(uint64_t tail, uint64_t target) { return ordinal_distance(ring_ord(target), ring_ord(tail)) < (1u << 23); }

class Pump {
public:
    Pump(Consumer& c, const FILETIME* start, const FILETIME* end)
        : c_(c), reader_(*c.reader), lf_(c.logfile), session_(*c.session) {
        if (start) start_ = (uint64_t(start->dwHighDateTime) << 32) | start->dwLowDateTime;
        if (end) end_ = (uint64_t(end->dwHighDateTime) << 32) | end->dwLowDateTime;
        buffer_bytes_ = session_.buffer_bytes();
        publish_bytes_ = session_.capacity() / 16;
    }

    ULONG run() {
        RecordView view;
        for (;;) {
            // While events flow, only the record at the tail is looked at:
            // the producers' head line stays with the producers.
            RingReader::Peek peek = reader_.peek(&view, false);
            if (peek == RingReader::Peek::Ready) {
                stuck_since_ = 0;
                bool stop_now = false;
                if (!view.malformed) stop_now = !deliver(view);
                last_cpu_ = int(view.cpu);
                reader_.consume(view);
                unpublished_ += view.record_size;
                buffer_fill_ += view.record_size;
                if (unpublished_ >= publish_bytes_) publish();
                if (stop_now) return finish(ERROR_SUCCESS);
                if (buffer_fill_ >= buffer_bytes_ && !end_buffer()) return finish(ERROR_CANCELLED);
                if (draining_ && reached(reader_.tail(), drain_target_)) return finish(ERROR_SUCCESS);
                if (++since_check_ >= kDamageCheckEvery) {
                    since_check_ = 0;
                    if (ULONG status = survive_damage()) return finish(status);
                }
                continue;
            }
            if (replaced_) {
                replaced_ = false;
                continue;
            }
            publish();
            if (buffer_fill_ && !end_buffer()) return finish(ERROR_CANCELLED);

            // Stop or close: deliver what was queued when it was noticed.
            if (!draining_ && (c_.close_requested.load(std::memory_order_acquire) || !session_.running())) {
                draining_ = true;
                drain_target_ = reader_.head();
            }
            if (draining_) {
                peek = reader_.peek(&view);
                if (peek == RingReader::Peek::Ready) continue;
                if (peek == RingReader::Peek::Empty || reached(reader_.tail(), drain_target_))
                    return finish(ERROR_SUCCESS);
            }

            if (spin(&view)) continue;

            // Before sleeping (not while events flow: it reads the producers'
            // head line), look for damage to the ring.
            if (ULONG status = survive_damage()) return finish(status);
            if (replaced_) {
                replaced_ = false;
                continue;
            }

            uint32_t seq = reader_.prepare_sleep();
            peek = reader_.peek(&view);
            if (peek == RingReader::Peek::Ready ||
                (!draining_ && (c_.close_requested.load(std::memory_order_acquire) || !session_.running()))) {
                reader_.cancel_sleep();
                continue;
            }
            if (peek == RingReader::Peek::Empty) {
                stuck_since_ = 0;
                reader_.sleep(seq, kIdleTimeoutNs);
                continue;
            }
            // Pending: the record at the tail is being written, or its
            // writer died. Its writer may not know that we sleep (it looked
            // before we announced it): sleep briefly, then look again, and
            // after a while ask whether the writer still lives.
            int64_t now = monotonic_ns();
            if (stuck_since_ == 0 || stuck_tail_ != reader_.tail()) {
                stuck_since_ = now;
                stuck_tail_ = reader_.tail();
                stuck_wait_ = kFirstStuckWaitNs;
            }
            if (reader_.sleep(seq, stuck_wait_)) continue;
            stuck_wait_ = std::min(stuck_wait_ * 2, kMaxStuckWaitNs);
            now = monotonic_ns();
            if (now - stuck_since_ < kCheckWritersAfterNs) continue;
            bool past_grace = now - stuck_since_ > kUnknownWriterGraceNs;
            bool give_up = now - stuck_since_ > kLiveWriterGiveUpNs;
            if (reader_.resolve_stuck(session_.writers(), past_grace, give_up)) {
                stuck_since_ = 0;
                publish();
            } else if (draining_ && past_grace) {
                // A drain after stop or close does not wait for ever on a
                // writer that lives but never finishes (a stopped process):
                // what it holds back is counted lost.
                reader_.abandon_to(drain_target_);
                return finish(ERROR_SUCCESS);
            }
        }
    }

private:
    // Looks for damage to the ring and replaces a damaged one (replaced_
    // set). ERROR_SUCCESS to go on, else the status processing ends with.
    ULONG survive_damage() {
        RingMap& ring = *c_.ring;
        const char* what = nullptr;
        if (ring.truncated())
            what = "its file was truncated";
        else if (ring.damaged(c_.identity))
            what = "its header was written over";
        else if (reader_.head_unusable())
            what = "its head is no position of it";
        if (!what) return ERROR_SUCCESS;
        // What was reserved and not read is lost, as far as a head that still
        // lies within the ring's reach tells (at most what that span holds);
        // a ring that cannot tell counts one record.
        uint64_t lost = 1;
        const uint64_t head = reader_.head();
        if (!ring.truncated() && ring_pos(head) < ring.modulus()) {
            uint64_t bytes = ring_distance(ring_pos(reader_.tail()), ring_pos(head), ring.modulus());
            uint32_t records = ordinal_distance(ring_ord(reader_.tail()), ring_ord(head));
            if (bytes <= ring.capacity()) lost = std::min<uint64_t>(records, bytes / kMinRecordSize);
        }
        publish();
        if (!replace_ring(c_, lost, what)) {
            // A stopped session released the slot: processing ends as at a
            // stop, with what was read.
            if (!session_.running()) {
                draining_ = true;
                drain_target_ = reader_.tail();
                return ERROR_SUCCESS;
            }
            DWORD error = GetLastError();
            return error ? error : ERROR_INVALID_DATA;
        }
        stuck_since_ = 0;
        replaced_ = true;
        return end_buffer() ? ERROR_SUCCESS : ERROR_CANCELLED;
    }

    // Waits a little for the next event before sleeping: a producer in the
    // middle of a burst is a few hundred nanoseconds away. Not when the last
    // event was written on this very processor: that producer cannot run
    // while we spin (nor yield well: EEVDF sends a yielding thread to the
    // back for a whole slice), so sleeping at once serves it best.
    bool spin(RecordView* view) {
        if (last_cpu_ >= 0 && sched_getcpu() == last_cpu_) return false;
        int64_t until = monotonic_ns() + kSpinNs;
        for (;;) {
            for (int i = 0; i < 16; ++i) {
                __builtin_ia32_pause();
                if (reader_.peek(view, false) == RingReader::Peek::Ready) return true;
            }
            if (c_.close_requested.load(std::memory_order_relaxed) || monotonic_ns() >= until) return false;
        }
    }

    // False when processing must end (past EndTime).
    bool deliver(const RecordView& view) {
        uint64_t stamp = uint64_t(view.header.TimeStamp.QuadPart);
        if (start_ && stamp < start_) return true;
        if (end_ && stamp > end_) return false;
        EVENT_TRACE& ev = lf_.CurrentEvent;
        memset(&ev, 0, sizeof ev);
        ev.Header = view.header;
        ev.MofData = const_cast<char*>(view.payload);
        ev.MofLength = view.payload_size;
        ev.BufferContext.ProcessorNumber = UCHAR(view.cpu);
        ev.BufferContext.LoggerId = USHORT(session_.slot() + 1);
        lf_.CurrentTime = LONGLONG(stamp);
        if (lf_.EventCallback) lf_.EventCallback(&ev);
        return true;
    }

    bool end_buffer() {
        lf_.BuffersRead++;
        lf_.Filled = ULONG(std::min<uint64_t>(buffer_fill_, 0xFFFFFFFFu));
        lf_.EventsLost = saturate(reader_.lost());
        buffer_fill_ = 0;
        if (!lf_.BufferCallback) return true;
        return lf_.BufferCallback(&lf_) != FALSE;
    }

    void publish() {
        reader_.publish();
        unpublished_ = 0;
    }

    // The last buffer is reported too, and so is a loss count that moved
    // since the last report, so a BufferCallback always ends with the final
    // EventsLost.
    ULONG finish(ULONG status) {
        publish();
        if ((buffer_fill_ || lf_.EventsLost != saturate(reader_.lost())) && !end_buffer() && status == ERROR_SUCCESS)
            status = ERROR_CANCELLED;
        return status;
    }

    Consumer& c_;
    RingReader& reader_;
    EVENT_TRACE_LOGFILEA& lf_;
    ProcessSession& session_;
    uint64_t start_ = 0, end_ = 0;
    uint64_t buffer_bytes_ = 0, publish_bytes_ = 0;
    uint64_t unpublished_ = 0, buffer_fill_ = 0;
    bool draining_ = false;
    uint64_t drain_target_ = 0;
    int64_t stuck_since_ = 0;
    uint64_t stuck_tail_ = 0;
    int64_t stuck_wait_ = kFirstStuckWaitNs;
    int last_cpu_ = -1;  // where the last event was written
    uint32_t since_check_ = 0;
    bool replaced_ = false;  // the ring was just replaced: look at the new one
};

TRACEHANDLE open_trace(PEVENT_TRACE_LOGFILEA logfile) {
    if (!logfile) return fail(ERROR_INVALID_PARAMETER, INVALID_PROCESSTRACE_HANDLE);
    ULONG mode = logfile->ProcessTraceMode;
    if (!(mode & PROCESS_TRACE_MODE_REAL_TIME)) {
        // Reading log files is not provided.
        bool named = logfile->LogFileName && *logfile->LogFileName;
        return fail(named ? ERROR_NOT_SUPPORTED : ERROR_BAD_PATHNAME, INVALID_PROCESSTRACE_HANDLE);
    }
    // EVENT_RECORD delivery belongs to the manifest-based API.
    if (mode & PROCESS_TRACE_MODE_EVENT_RECORD) return fail(ERROR_NOT_SUPPORTED, INVALID_PROCESSTRACE_HANDLE);
    const char* name = logfile->LoggerName;
    if (!name || !*name || strnlen(name, kMaxNameLength + 1) > kMaxNameLength)
        return fail(ERROR_INVALID_PARAMETER, INVALID_PROCESSTRACE_HANDLE);

    auto c = std::make_shared<Consumer>();
    c->state = &EtwState::current();
    c->logger_name = name;
    memcpy(&c->logfile, logfile, sizeof(EVENT_TRACE_LOGFILEA));
    c->logfile.BuffersRead = 0;
    c->logfile.EventsLost = 0;
    c->logfile.CurrentTime = 0;
    c->logfile.Filled = 0;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (Machine::current().caller_is_administrator() && attach(*c) == ERROR_SUCCESS)
            memcpy(&logfile->LogfileHeader, &c->logfile.LogfileHeader, sizeof(TRACE_LOGFILE_HEADER));
    }
    TRACEHANDLE handle = g_consumers.add(c);
    if (handle == 0) {
        std::lock_guard<std::mutex> lock(c->mutex);
        detach(*c);
        return fail(ERROR_NO_SYSTEM_RESOURCES, INVALID_PROCESSTRACE_HANDLE);
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

ULONG process_trace(PTRACEHANDLE handles, ULONG count, LPFILETIME start, LPFILETIME end) {
    if (count == 0 || count > 64) return ERROR_BAD_LENGTH;
    if (!handles) return ERROR_INVALID_PARAMETER;
    // One real-time session per call, as on Windows (several are for log
    // files, which are not provided).
    if (count > 1) return ERROR_INVALID_PARAMETER;
    if (start && end && CompareFileTime(start, end) > 0) return ERROR_INVALID_TIME;
    std::shared_ptr<Consumer> c = g_consumers.find(handles[0], false);
    if (!c) return ERROR_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (c->closed) return ERROR_INVALID_HANDLE;
        if (c->processing) return ERROR_BUSY;
        if (!c->session) {
            if (!Machine::current().caller_is_administrator()) return ERROR_ACCESS_DENIED;
            if (ULONG status = attach(*c)) return status;
        }
        c->processing = true;
    }
    ULONG status = Pump(*c, start, end).run();
    std::lock_guard<std::mutex> lock(c->mutex);
    c->processing = false;
    if (c->closed) detach(*c);
    return status;
}

ULONG close_trace(TRACEHANDLE handle) {
    if (handle == 0 || handle == INVALID_PROCESSTRACE_HANDLE) return ERROR_INVALID_HANDLE;
    std::shared_ptr<Consumer> c = g_consumers.find(handle, true);
    if (!c) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(c->mutex);
    c->closed = true;
    if (c->processing) {
        // ProcessTrace delivers what is queued, returns and detaches.
        c->close_requested.store(true, std::memory_order_release);
        if (c->ring) ring_wake(c->ring->header());
        return ERROR_CTX_CLOSE_PENDING;
    }
    detach(*c);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

W32RT_API TRACEHANDLE WMIAPI OpenTraceA(PEVENT_TRACE_LOGFILEA Logfile) { return open_trace(Logfile); }

W32RT_API ULONG WMIAPI ProcessTrace(PTRACEHANDLE HandleArray, ULONG HandleCount, LPFILETIME StartTime,
                                    LPFILETIME EndTime) {
    return process_trace(HandleArray, HandleCount, StartTime, EndTime);
}

W32RT_API ULONG WMIAPI CloseTrace(TRACEHANDLE TraceHandle) { return close_trace(TraceHandle); }

}  // extern "C"
