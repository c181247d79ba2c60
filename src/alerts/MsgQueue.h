// The alerter's message registry: every message the alerter posts to its
// unified-log thread is entered here first, and the thread acts only on
// messages it finds (and removes) here. A message that anyone else posts to
// the thread, even with the right message id, is therefore ignored and its
// lParam never touched.
//
// Records compare by message, wParam and lParam only. Every operation holds
// the registry's critical section for its whole length.
#pragma once

#include <windows.h>

#include <list>

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
    // Takes every record out (for their owner to release what they carry).
    std::list<MSG> TakeAll();

private:
    CRITICAL_SECTION m_cs;
};
