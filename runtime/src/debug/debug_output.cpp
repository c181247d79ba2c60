// OutputDebugStringA and the debug viewer.
//
// The channel is a shared-memory ring of fixed slots per machine root
// ("dbwin"): many senders, one viewer. A sender claims the slot at the head
// by compare-and-swap on the head counter after seeing the slot free (its
// sequence equals the ticket), writes it, and publishes it by moving the
// sequence to ticket + 1; the viewer reads slots in order and frees each by
// moving its sequence a lap ahead (ticket + slot count). A full ring drops
// the text, so senders never wait. Texts longer than a slot go in several
// slots marked first and last, which the viewer joins per sending thread.
//
// A sender killed between claiming and publishing would stop the viewer at
// that slot for good; the viewer skips a slot left claimed for longer than
// kStallNs, taking it back with a compare-and-swap so that a sender that
// merely stalled finds its publication refused and counts the text lost.
//
// Attachment is an exclusive flock on a second shared object
// ("dbwin.viewer"), held by the viewer for its life, so the kernel releases
// it when the viewer dies; the "attached" flag in the ring is what senders
// test. Every value read from the ring is checked before use.
//
// Trust. As on Windows, every user may send texts and any may be the
// debugger: both segments are open to all (Everyone, core/segments.h), and
// the viewer reads the ring with distrust. Another user can lose, forge or
// delay texts, or hold the viewer's lock so that no viewer attaches
// (attach() then fails at once with ERROR_BUSY); it cannot make a sender
// wait or a viewer read outside the ring.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include <windows.h>
#include <w32rt/debug_viewer.h>
#include <w32rt/testing.h>

#include "core/error.h"
#include "core/futex.h"
#include "core/machine.h"
#include "core/process_identity.h"
#include "core/segments.h"
#include "core/shm.h"
#include "core/sys.h"

namespace w32rt {

namespace {

constexpr uint32_t kMagic = 0x44425743;  // "CWBD"
constexpr uint32_t kVersion = 1;
constexpr uint32_t kSlotCount = 256;
constexpr uint32_t kSlotText = 1000;
constexpr uint32_t kFirst = 1;
constexpr uint32_t kLast = 2;
constexpr int64_t kStallNs = 2'000'000'000;
constexpr size_t kMaxJoined = 1 << 20;

struct Slot {
    std::atomic<uint64_t> sequence;
    uint32_t pid;
    uint32_t tid;
    uint32_t length;
    uint32_t flags;
    char text[kSlotText];
};
static_assert(sizeof(Slot) == 1024, "shared layout");

struct Ring {
    RegionHeader header;
    std::atomic<uint32_t> attached;
    std::atomic<uint32_t> doorbell;  // futex word the viewer sleeps on
    std::atomic<uint32_t> viewer_sleeping;
    uint32_t slot_count;
    ProcessIdentity viewer;  // written by the viewer before it sets attached
    std::atomic<uint64_t> head;
    std::atomic<uint64_t> tail;  // the viewer's position, kept for the next viewer
    std::atomic<uint64_t> lost;
    uint8_t reserved[40];
    Slot slots[kSlotCount];
};
static_assert(offsetof(Ring, slots) % 64 == 0, "slots start on a cache line");

void init_ring(void* base) {
    Ring* ring = static_cast<Ring*>(base);
    ring->slot_count = kSlotCount;
    for (uint32_t i = 0; i < kSlotCount; ++i) ring->slots[i].sequence.store(i, std::memory_order_relaxed);
}

// The ring of a machine root, mapped once per process and root.
struct DebugChannel {
    explicit DebugChannel(Machine& machine) {
        QuietRefusals quiet;
        region = SharedRegion::open_or_create(machine, public_segment("dbwin"), sizeof(Ring), kMagic, kVersion,
                                              &init_ring);
        if (region && region->at<Ring>(0)->slot_count == kSlotCount) ring = region->at<Ring>(0);
    }
    std::unique_ptr<SharedRegion> region;
    Ring* ring = nullptr;
};

Ring* channel_ring() { return Machine::current().area<DebugChannel>(Area::Debug).ring; }

// A full ring may mean a dead viewer. Looking costs a read of /proc, so a
// process looks at most every kViewerCheckNs, however many texts it drops.
constexpr int64_t kViewerCheckNs = 50'000'000;
std::atomic<int64_t> g_last_viewer_check{0};

void notice_dead_viewer(Ring* ring) {
    int64_t now = monotonic_ns();
    int64_t last = g_last_viewer_check.load(std::memory_order_relaxed);
    if (now - last < kViewerCheckNs || !g_last_viewer_check.compare_exchange_strong(last, now)) return;
    ProcessIdentity viewer = ring->viewer;
    if (!viewer.empty() && !process_alive(viewer)) {
        uint32_t one = 1;
        ring->attached.compare_exchange_strong(one, 0);
    }
}

bool send_chunk(Ring* ring, uint32_t pid, uint32_t tid, const char* text, uint32_t length, uint32_t flags) {
    uint64_t pos = ring->head.load(std::memory_order_relaxed);
    Slot* slot = nullptr;
    for (int attempt = 0;; ++attempt) {
        if (attempt > 10000) return false;  // a ring nobody can make sense of
        slot = &ring->slots[pos % kSlotCount];
        uint64_t seq = slot->sequence.load(std::memory_order_acquire);
        int64_t diff = int64_t(seq - pos);
        if (diff == 0) {
            if (ring->head.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
        } else if (diff < 0) {
            ring->lost.fetch_add(1, std::memory_order_relaxed);
            notice_dead_viewer(ring);
            return false;
        } else {
            pos = ring->head.load(std::memory_order_relaxed);
        }
    }
    slot->pid = pid;
    slot->tid = tid;
    slot->length = length;
    slot->flags = flags;
    memcpy(slot->text, text, length);
    uint64_t claimed = pos;
    if (!slot->sequence.compare_exchange_strong(claimed, pos + 1, std::memory_order_seq_cst)) {
        ring->lost.fetch_add(1, std::memory_order_relaxed);  // the viewer gave up on us
        return false;
    }
    // One sender rings per sleep of the viewer; the others see the flag
    // already cleared.
    if (ring->viewer_sleeping.load(std::memory_order_seq_cst) &&
        ring->viewer_sleeping.exchange(0, std::memory_order_seq_cst)) {
        ring->doorbell.fetch_add(1, std::memory_order_seq_cst);
        futex_wake(&ring->doorbell, INT32_MAX, FutexScope::Shared);
    }
    return true;
}

void send(Ring* ring, const char* text, size_t length) {
    uint32_t pid = uint32_t(current_process().pid);
    uint32_t tid = uint32_t(current_tid());
    size_t offset = 0;
    do {
        uint32_t n = uint32_t(length - offset < kSlotText ? length - offset : kSlotText);
        uint32_t flags = (offset == 0 ? kFirst : 0) | (offset + n == length ? kLast : 0);
        if (!send_chunk(ring, pid, tid, text + offset, n, flags)) return;  // the rest would be torn
        offset += n;
    } while (offset < length);
}

// The capture of this process's texts for tests.
struct Sink {
    std::recursive_mutex mutex;
    std::atomic<bool> active{false};
    w32rt_debug_sink sink = nullptr;
    void* context = nullptr;
};

Sink& sink() {
    static Sink* instance = new Sink;
    return *instance;
}

}  // namespace

struct DebugViewer::State {
    std::unique_ptr<SharedRegion> region;
    Ring* ring = nullptr;
    int lock_fd = -1;
    uint64_t pos = 0;
    int64_t stalled_since = 0;
    std::map<std::pair<uint32_t, uint32_t>, DebugMessage> partial;

    ~State() {
        if (ring) {
            ring->attached.store(0, std::memory_order_seq_cst);
            ring->tail.store(pos, std::memory_order_relaxed);
        }
        if (lock_fd >= 0) {
            sys::unlock_file(lock_fd);
            sys::close(lock_fd);
        }
    }

    // Takes what is ready; true when anything was taken.
    bool drain(std::vector<DebugMessage>& out) {
        bool took = false;
        for (;;) {
            Slot& slot = ring->slots[pos % kSlotCount];
            uint64_t seq = slot.sequence.load(std::memory_order_acquire);
            if (seq == pos + 1) {
                take(slot, out);
                slot.sequence.store(pos + kSlotCount, std::memory_order_release);
                ++pos;
                stalled_since = 0;
                took = true;
                continue;
            }
            uint64_t head = ring->head.load(std::memory_order_acquire);
            if (seq == pos && head > pos) {
                // Claimed, not yet published.
                int64_t now = monotonic_ns();
                if (!stalled_since) stalled_since = now;
                if (now - stalled_since < kStallNs) break;
                uint64_t expected = pos;
                if (slot.sequence.compare_exchange_strong(expected, pos + kSlotCount)) {
                    ring->lost.fetch_add(1, std::memory_order_relaxed);
                    ++pos;
                }
                stalled_since = 0;
                continue;
            }
            if (seq != pos || head < pos || head - pos > kSlotCount) {
                // Not a state the protocol produces: start again at the head.
                pos = head;
                stalled_since = 0;
            }
            break;
        }
        ring->tail.store(pos, std::memory_order_relaxed);
        return took;
    }

    void take(const Slot& slot, std::vector<DebugMessage>& out) {
        uint32_t length = slot.length < kSlotText ? slot.length : kSlotText;
        auto key = std::make_pair(slot.pid, slot.tid);
        auto it = partial.find(key);
        if ((slot.flags & kFirst) && it != partial.end()) {
            out.push_back(std::move(it->second));  // its end was lost
            partial.erase(it);
            it = partial.end();
        }
        if (it == partial.end()) it = partial.emplace(key, DebugMessage{slot.pid, slot.tid, {}}).first;
        it->second.text.append(slot.text, length);
        if ((slot.flags & kLast) || it->second.text.size() >= kMaxJoined) {
            out.push_back(std::move(it->second));
            partial.erase(it);
        }
    }
};

DebugViewer::DebugViewer(std::unique_ptr<State> state) : state_(std::move(state)) {}

DebugViewer::~DebugViewer() = default;

std::unique_ptr<DebugViewer> DebugViewer::attach() {
    Machine& machine = Machine::current();
    auto state = std::make_unique<State>();
    QuietRefusals quiet;
    OpenedSegment lock_file;
    if (!open_segment(machine, public_segment("dbwin.viewer"), SegmentOpen::Create, &lock_file)) return nullptr;
    if (lock_file.created) publish_segment(machine, public_segment("dbwin.viewer"), lock_file.fd);
    state->lock_fd = lock_file.fd;
    // One viewer per root: a second is refused at once, never queued.
    if (int e = sys::lock_file(state->lock_fd, sys::LockWait::Try)) {
        sys::close(state->lock_fd);
        state->lock_fd = -1;
        return fail(e == EWOULDBLOCK ? DWORD(ERROR_BUSY) : win32_from_errno(e), nullptr);
    }
    state->region = SharedRegion::open_or_create(machine, public_segment("dbwin"), sizeof(Ring), kMagic, kVersion,
                                                 &init_ring);
    if (!state->region) return nullptr;
    Ring* ring = state->region->at<Ring>(0);
    if (ring->slot_count != kSlotCount) return fail(ERROR_INVALID_DATA, nullptr);
    // Continue where the last viewer stopped: texts sent while it was
    // attached but not yet read are still delivered.
    uint64_t tail = ring->tail.load(std::memory_order_relaxed);
    uint64_t head = ring->head.load(std::memory_order_acquire);
    state->pos = (tail <= head && head - tail <= kSlotCount) ? tail : head;
    ring->viewer = current_process();
    ring->attached.store(1, std::memory_order_seq_cst);
    state->ring = ring;
    return std::unique_ptr<DebugViewer>(new DebugViewer(std::move(state)));
}

std::vector<DebugMessage> DebugViewer::receive(uint32_t timeout_ms) {
    std::vector<DebugMessage> out;
    State& s = *state_;
    int64_t deadline = monotonic_ns() + int64_t(timeout_ms) * 1'000'000;
    for (;;) {
        if (s.drain(out)) return out;
        int64_t left = deadline - monotonic_ns();
        if (left <= 0) return out;
        // Sleep until a sender rings; re-check after announcing the sleep so
        // that a text published in between is not slept through. A claimed
        // slot is polled, as its sender may have died.
        uint32_t bell = s.ring->doorbell.load(std::memory_order_seq_cst);
        s.ring->viewer_sleeping.store(1, std::memory_order_seq_cst);
        if (s.drain(out)) {
            s.ring->viewer_sleeping.store(0, std::memory_order_relaxed);
            return out;
        }
        int64_t nap = s.stalled_since ? 10'000'000 : left;
        futex_wait(&s.ring->doorbell, bell, nap < left ? nap : left, FutexScope::Shared);
        s.ring->viewer_sleeping.store(0, std::memory_order_relaxed);
    }
}

uint64_t DebugViewer::lost() const { return state_->ring->lost.load(std::memory_order_relaxed); }

}  // namespace w32rt

extern "C" {

W32RT_API void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (!lpOutputString) return;
    // Diagnostics must not disturb the caller's error state.
    DWORD saved_error = GetLastError();
    int saved_errno = errno;
    w32rt::Sink& capture = w32rt::sink();
    if (capture.active.load(std::memory_order_acquire)) {
        std::lock_guard<std::recursive_mutex> lock(capture.mutex);
        if (capture.sink) capture.sink(lpOutputString, capture.context);
    }
    w32rt::Ring* ring = w32rt::channel_ring();
    if (ring && ring->attached.load(std::memory_order_acquire)) w32rt::send(ring, lpOutputString, strlen(lpOutputString));
    errno = saved_errno;
    SetLastError(saved_error);
}

// TRUE while a debug viewer is attached to the machine root: the only kind
// of debugger the runtime knows.
W32RT_API BOOL WINAPI IsDebuggerPresent(void) {
    w32rt::Ring* ring = w32rt::channel_ring();
    return ring && ring->attached.load(std::memory_order_acquire) ? TRUE : FALSE;
}

W32RT_API void w32rt_set_debug_sink(w32rt_debug_sink sink, void* context) {
    w32rt::Sink& capture = w32rt::sink();
    // Taking the lock waits for a call in progress, so once this returns
    // with null the old sink is not called again.
    std::lock_guard<std::recursive_mutex> lock(capture.mutex);
    capture.sink = sink;
    capture.context = context;
    capture.active.store(sink != nullptr, std::memory_order_release);
}

}  // extern "C"
