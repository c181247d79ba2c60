// The alerter's message registry: every message the alerter posts to its
// unified-log thread is entered here first, and the thread acts only on
// messages it finds (and removes) here. A message that anyone else posts to
// the thread, even with the right message id, is therefore ignored and its
// lParam never touched.
//
// Records compare by message, wParam and lParam only. Every operation holds
// the registry's critical section for its whole length. The list's nodes are
// kept for the next records (up to kSpareNodes): a record is added on one
// thread and removed on another, and a node allocated on one and freed on
// the other costs both the C library's slow path.
//
// The registry also holds the memory pool of the unified-log records whose
// messages it lists (Records()), so that the pool lives as long as the
// messages and their thread.
#pragma once

#include <windows.h>

#include <list>

#include "alerts/RecordPool.h"

class CMsgQueue : public std::list<MSG> {
public:
    CMsgQueue();
    CMsgQueue(const CMsgQueue&) = delete;
    CMsgQueue& operator=(const CMsgQueue&) = delete;
    virtual ~CMsgQueue();

    // Appends a record with the three values and every other field zero.
    void AddMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void AddMessage(const MSG& msg);
    // Removes the first equal record; false when there was none.
    bool RemoveMessage(const MSG& msg);
    void RemoveAll();
    // True when an equal record is held; the first one is removed when
    // remove is set.
    bool VerifyMessage(const MSG& msg, bool remove);
    bool VerifyMessage(UINT message, WPARAM wParam, LPARAM lParam, bool remove);
    // VerifyMessage(msgs[i], true) for each message in turn, under one hold
    // of the lock; held[i] is its answer.
    void VerifyMessages(const MSG* msgs, size_t count, bool* held);
    // Takes every record out (for their owner to release what they carry).
    std::list<MSG> TakeAll();
    // How many records are held, read under the lock (the list's own size()
    // is not safe while another thread posts).
    size_t Count();

    traceapi::RecordPool& Records() { return m_records; }

    static constexpr size_t kSpareNodes = 1024;

private:
    bool TakeLocked(UINT message, WPARAM wParam, LPARAM lParam, bool remove);

    CRITICAL_SECTION m_cs;
    std::list<MSG> m_spare;  // nodes of removed records, for the next ones
    traceapi::RecordPool m_records;
};
