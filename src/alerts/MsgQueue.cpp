#include "alerts/MsgQueue.h"

#include <string.h>

#include "frame/EvLocks.h"

namespace {

bool Same(const MSG& a, UINT message, WPARAM wParam, LPARAM lParam) {
    return a.message == message && a.wParam == wParam && a.lParam == lParam;
}

}  // namespace

CMsgQueue::CMsgQueue() {
    memset(&m_cs, 0, sizeof m_cs);
    InitializeCriticalSection(&m_cs);
}

CMsgQueue::~CMsgQueue() { DeleteCriticalSection(&m_cs); }

void CMsgQueue::AddMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg;
    memset(&msg, 0, sizeof msg);
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    AddMessage(msg);
}

void CMsgQueue::AddMessage(const MSG& msg) {
    traceapi::CritSecGuard hold(m_cs);
    if (m_spare.empty()) {
        push_back(msg);
        return;
    }
    m_spare.front() = msg;
    splice(end(), m_spare, m_spare.begin());
}

bool CMsgQueue::RemoveMessage(const MSG& msg) { return VerifyMessage(msg, true); }

size_t CMsgQueue::Count() {
    traceapi::CritSecGuard hold(m_cs);
    return size();
}

void CMsgQueue::RemoveAll() {
    traceapi::CritSecGuard hold(m_cs);
    clear();
}

bool CMsgQueue::VerifyMessage(const MSG& msg, bool remove) {
    return VerifyMessage(msg.message, msg.wParam, msg.lParam, remove);
}

bool CMsgQueue::VerifyMessage(UINT message, WPARAM wParam, LPARAM lParam, bool remove) {
    traceapi::CritSecGuard hold(m_cs);
    return TakeLocked(message, wParam, lParam, remove);
}

void CMsgQueue::VerifyMessages(const MSG* msgs, size_t count, bool* held) {
    if (count == 0) return;
    traceapi::CritSecGuard hold(m_cs);
    for (size_t i = 0; i < count; ++i) held[i] = TakeLocked(msgs[i].message, msgs[i].wParam, msgs[i].lParam, true);
}

bool CMsgQueue::TakeLocked(UINT message, WPARAM wParam, LPARAM lParam, bool remove) {
    for (auto it = begin(); it != end(); ++it) {
        if (!Same(*it, message, wParam, lParam)) continue;
        if (!remove) return true;
        if (m_spare.size() < kSpareNodes) {
            m_spare.splice(m_spare.begin(), *this, it);
        } else {
            erase(it);
        }
        return true;
    }
    return false;
}

std::list<MSG> CMsgQueue::TakeAll() {
    traceapi::CritSecGuard hold(m_cs);
    std::list<MSG> taken;
    taken.swap(*this);
    return taken;
}
