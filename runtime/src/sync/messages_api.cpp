// Posting, peeking and getting thread messages, and waiting for them
// together with kernel objects.
#include <windows.h>

#include "core/error.h"
#include "core/futex.h"
#include "sync/message_queue.h"
#include "sync/wait.h"

using w32rt::sync::MessageQueue;

namespace {

// Every QS_* bit up to QS_POINTER.
constexpr DWORD kKnownWakeBits = 0x1FFF;

// Thread messages only: null or HWND(-1); there are no windows.
bool thread_messages_only(HWND hwnd) { return hwnd == nullptr || hwnd == reinterpret_cast<HWND>(intptr_t(-1)); }

class QueueInput final : public w32rt::sync::ExtraWaitable {
public:
    QueueInput(MessageQueue* queue, DWORD mask, bool available) : queue_(queue), mask_(mask), available_(available) {}
    w32rt::sync::WaitWord word() override {
        return {&queue_->word(), queue_->word().load(std::memory_order_seq_cst), false};
    }
    bool ready() override { return ((available_ ? queue_->present() : queue_->fresh()) & mask_) != 0; }
    void satisfied() override { queue_->examined(); }

private:
    MessageQueue* queue_;
    DWORD mask_;
    bool available_;
};

// The queue this thread posted to last: a stream of posts to one thread
// skips the process-wide lookup. A closed queue (its thread ended, and the
// id may since name another thread) is looked up again.
struct LastTarget {
    DWORD tid = 0;
    std::shared_ptr<MessageQueue> queue;
};
thread_local LastTarget t_last_target;

}  // namespace

extern "C" {

W32RT_API BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    LastTarget& last = t_last_target;
    DWORD error = ERROR_INVALID_THREAD_ID;
    if (last.queue && last.tid == idThread) error = last.queue->post(Msg, wParam, lParam);
    if (error == ERROR_INVALID_THREAD_ID) {
        last.queue = w32rt::sync::find_queue(idThread);
        last.tid = idThread;
        if (!last.queue) return w32rt::fail(ERROR_INVALID_THREAD_ID, FALSE);
        error = last.queue->post(Msg, wParam, lParam);
    }
    if (error != ERROR_SUCCESS) return w32rt::fail(error, FALSE);
    return TRUE;
}

W32RT_API void WINAPI PostQuitMessage(int nExitCode) {
    if (MessageQueue* queue = w32rt::sync::my_queue()) queue->post_quit(nExitCode);
}

W32RT_API BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (!lpMsg) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!thread_messages_only(hWnd)) return w32rt::fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    MessageQueue* queue = w32rt::sync::my_queue();
    if (!queue) return FALSE;
    return queue->peek(lpMsg, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, wRemoveMsg >> 16) ? TRUE
                                                                                                             : FALSE;
}

W32RT_API BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!lpMsg) return w32rt::fail(ERROR_INVALID_PARAMETER, -1);
    if (!thread_messages_only(hWnd)) return w32rt::fail(ERROR_INVALID_WINDOW_HANDLE, -1);
    MessageQueue* queue = w32rt::sync::my_queue();
    if (!queue) return -1;
    MessageQueue::Sleeper sleeper(queue);
    for (;;) {
        uint32_t seen = queue->word().load(std::memory_order_seq_cst);
        if (queue->peek(lpMsg, wMsgFilterMin, wMsgFilterMax, true, 0)) return lpMsg->message == WM_QUIT ? 0 : 1;
        w32rt::futex_wait(&queue->word(), seen, -1, w32rt::FutexScope::Private);
    }
}

// No APC can be queued to a thread of this runtime, so MWMO_ALERTABLE
// changes nothing.
W32RT_API DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles, DWORD dwMilliseconds,
                                                   DWORD dwWakeMask, DWORD dwFlags) {
    if (nCount > MAXIMUM_WAIT_OBJECTS - 1) return w32rt::fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    if (dwFlags & ~DWORD(MWMO_WAITALL | MWMO_ALERTABLE | MWMO_INPUTAVAILABLE))
        return w32rt::fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    if (dwWakeMask & ~kKnownWakeBits) return w32rt::fail(ERROR_INVALID_FLAGS, WAIT_FAILED);
    MessageQueue* queue = w32rt::sync::my_queue();
    if (!queue) return WAIT_FAILED;
    MessageQueue::Sleeper sleeper(queue);
    QueueInput input(queue, dwWakeMask, (dwFlags & MWMO_INPUTAVAILABLE) != 0);
    return w32rt::sync::wait_for_handles(nCount, pHandles, (dwFlags & MWMO_WAITALL) != 0, dwMilliseconds, &input);
}

W32RT_API DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                                 DWORD dwMilliseconds, DWORD dwWakeMask) {
    return MsgWaitForMultipleObjectsEx(nCount, pHandles, dwMilliseconds, dwWakeMask, fWaitAll ? MWMO_WAITALL : 0);
}

}  // extern "C"
