#include "sync/message_queue.h"

#include <new>
#include <unordered_map>

#include "core/error.h"
#include "core/futex.h"
#include "core/process_identity.h"

namespace w32rt::sync {

namespace {

constexpr DWORD kPostedBits = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;

struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

Registry& registry() {
    static Registry* r = new Registry();  // threads may end after static destruction
    return *r;
}

// Owns the thread's queue and withdraws it from the registry when the thread
// ends.
struct QueueHolder {
    std::shared_ptr<MessageQueue> queue;
    DWORD tid = 0;
    ~QueueHolder() {
        if (!queue) return;
        {
            Registry& r = registry();
            std::lock_guard<std::mutex> lock(r.mutex);
            auto it = r.queues.find(tid);
            if (it != r.queues.end() && it->second == queue) r.queues.erase(it);
        }
        queue->close();
    }
};

thread_local QueueHolder t_queue;

bool admits(UINT message, UINT min, UINT max) { return (min == 0 && max == 0) || (min <= message && message <= max); }

}  // namespace

DWORD MessageQueue::post(UINT message, WPARAM wparam, LPARAM lparam) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return ERROR_INVALID_THREAD_ID;
        if (messages_.size() >= kLimit) return ERROR_NOT_ENOUGH_QUOTA;
        MSG m = {};
        m.message = message;
        m.wParam = wparam;
        m.lParam = lparam;
        m.time = GetTickCount();
        try {
            messages_.push_back(m);
        } catch (const std::bad_alloc&) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        announce();
    }
    wake_sleepers();
    return ERROR_SUCCESS;
}

void MessageQueue::post_quit(int exit_code) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        quit_code_ = exit_code;
        announce();
    }
    wake_sleepers();
}

void MessageQueue::close() {
    std::deque<MSG> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    quit_ = false;
    messages_.swap(dropped);
    present_.store(0, std::memory_order_release);
}

void MessageQueue::announce() {
    // Stores only what changes: the owner reads these words all the time.
    if (present_.load(std::memory_order_relaxed) != kPostedBits) present_.store(kPostedBits, std::memory_order_release);
    if (fresh_.load(std::memory_order_relaxed) != kPostedBits) fresh_.fetch_or(kPostedBits, std::memory_order_acq_rel);
    // Sequentially consistent: ordered before the read of the sleeper count
    // in wake_sleepers (see the header).
    seq_.fetch_add(1, std::memory_order_seq_cst);
}

void MessageQueue::wake_sleepers() {
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    wakes_.fetch_add(1, std::memory_order_relaxed);
    futex_wake(&seq_, INT32_MAX, FutexScope::Private);
}

bool MessageQueue::peek(MSG* out, UINT min, UINT max, bool remove, UINT types) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool filtered = min != 0 || max != 0 || (types != 0 && (types & QS_POSTMESSAGE) == 0);
    // Looking at the queue makes what is in it no longer new.
    fresh_.fetch_and(filtered ? ~DWORD(QS_POSTMESSAGE) : ~kPostedBits, std::memory_order_acq_rel);
    bool found = false;
    if (types == 0 || (types & QS_POSTMESSAGE)) {
        for (auto it = messages_.begin(); it != messages_.end(); ++it) {
            if (!admits(it->message, min, max)) continue;
            *out = *it;
            if (remove) {
                if (it == messages_.begin()) {
                    messages_.pop_front();
                } else {
                    messages_.erase(it);
                }
            }
            found = true;
            break;
        }
        if (!found && quit_ && admits(WM_QUIT, min, max)) {
            // WM_QUIT comes only when no other message qualifies.
            *out = MSG{};
            out->message = WM_QUIT;
            out->wParam = WPARAM(quit_code_);
            out->time = GetTickCount();
            if (remove) quit_ = false;
            found = true;
        }
    }
    if (messages_.empty() && !quit_) present_.store(0, std::memory_order_release);
    return found;
}

MessageQueue* my_queue() {
    if (t_queue.queue) return t_queue.queue.get();
    std::shared_ptr<MessageQueue> queue;
    try {
        queue = std::make_shared<MessageQueue>();
        DWORD tid = GetCurrentThreadId();
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.queues[tid] = queue;
        t_queue.tid = tid;
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    t_queue.queue = std::move(queue);
    return t_queue.queue.get();
}

std::shared_ptr<MessageQueue> find_queue(DWORD thread_id) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.queues.find(thread_id);
    return it == r.queues.end() ? nullptr : it->second;
}

}  // namespace w32rt::sync
