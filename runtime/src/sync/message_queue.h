// Thread message queues (posted messages only; there are no windows).
//
// A thread gets its queue on its first PeekMessageA, GetMessageA or
// MsgWaitForMultipleObjects(Ex) and loses it when it ends; until then (and
// after) posting to it fails with ERROR_INVALID_THREAD_ID. Queues are found by
// thread id in a process-wide registry, so only threads of the calling
// process can be posted to.
//
// Queue status, as Windows keeps it for MsgWaitForMultipleObjectsEx:
//   present  QS_POSTMESSAGE | QS_ALLPOSTMESSAGE while a posted message (or a
//            quit request) waits;
//   fresh    the same bits, set by every post and cleared when the queue is
//            examined: QS_POSTMESSAGE by any PeekMessageA/GetMessageA,
//            QS_ALLPOSTMESSAGE only by one without a filter; both when a
//            message wait returns for input.
//
// Wake-ups. A post bumps the queue's word and makes the futex call only when
// a waiter is registered (Sleeper): the owner that drains its queue while
// others post costs them no system call. The waiter registers before it reads
// the word and the poster bumps the word before it reads the count, both
// sequentially consistent, so either the poster sees the waiter and wakes it,
// or the waiter reads the bumped word and its sleep returns at once.
//
// A queue is closed when its thread ends: its messages are dropped, and
// posters still holding it get ERROR_INVALID_THREAD_ID.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

namespace w32rt::sync {

class MessageQueue {
public:
    // Posted messages beyond this many fail with ERROR_NOT_ENOUGH_QUOTA, as
    // with the default USERPostMessageLimit.
    static constexpr size_t kLimit = 10000;

    // Appends a message; 0 or the Win32 error.
    DWORD post(UINT message, WPARAM wparam, LPARAM lparam);
    void post_quit(int exit_code);

    // The first message within [min, max] (both 0: any), else WM_QUIT when a
    // quit was requested and the filter admits it. `types` is the PM_QS_*
    // part of PeekMessage's flags (0: all).
    bool peek(MSG* out, UINT min, UINT max, bool remove, UINT types);

    // For waits: the word bumped by every post, and the status bits. Read
    // the word only while registered as a sleeper.
    std::atomic<uint32_t>& word() { return seq_; }
    DWORD present() const { return present_.load(std::memory_order_acquire); }
    DWORD fresh() const { return fresh_.load(std::memory_order_acquire); }
    void examined() { fresh_.store(0, std::memory_order_release); }

    // Registers the calling thread as one that may sleep on word() for its
    // lifetime.
    class Sleeper {
    public:
        explicit Sleeper(MessageQueue* queue) : queue_(queue) {
            queue_->sleepers_.fetch_add(1, std::memory_order_seq_cst);
        }
        ~Sleeper() { queue_->sleepers_.fetch_sub(1, std::memory_order_release); }
        Sleeper(const Sleeper&) = delete;
        Sleeper& operator=(const Sleeper&) = delete;

    private:
        MessageQueue* queue_;
    };

    // The owner's thread ended: drops the messages and refuses later posts.
    void close();

    // Tests: the futex wakes posts have made, and the threads registered as
    // sleepers.
    uint64_t wakes_for_testing() const { return wakes_.load(std::memory_order_relaxed); }
    uint32_t sleepers_for_testing() const { return sleepers_.load(std::memory_order_relaxed); }

private:
    void announce();  // after a post, lock held
    void wake_sleepers();

    std::mutex mutex_;
    std::deque<MSG> messages_;
    bool quit_ = false;
    int quit_code_ = 0;
    std::atomic<uint32_t> seq_{0};
    std::atomic<DWORD> present_{0};
    std::atomic<DWORD> fresh_{0};
    bool closed_ = false;  // guarded by mutex_
    std::atomic<uint32_t> sleepers_{0};
    std::atomic<uint64_t> wakes_{0};
};

// The calling thread's queue, made on first use; null (last error set) only
// when memory runs out.
MessageQueue* my_queue();

// The queue of a thread of this process, or null when it has none. A queue
// found may be closed by the time it is used.
std::shared_ptr<MessageQueue> find_queue(DWORD thread_id);

}  // namespace w32rt::sync
