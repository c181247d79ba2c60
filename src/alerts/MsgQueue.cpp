#include "alerts/MsgQueue.h"

#include <string.h>

namespace {

bool Same(const MSG& a, UINT message, WPARAM wParam, LPARAM lParam) {
    return a.message == message && a.wParam == wParam && a.lParam == lParam;
}

class Hold {
public:
    explicit Hold(CRITICAL_SECTION& cs) : m_cs(cs) { EnterCriticalSection(&m_cs); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION& m_cs;
};

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
    Hold hold(m_cs);
    push_back(msg);
}

bool CMsgQueue::RemoveMessage(const MSG& msg) { return VerifyMessage(msg, true); }

void CMsgQueue::RemoveAll() {
    Hold hold(m_cs);
    clear();
}

bool CMsgQueue::VerifyMessage(const MSG& msg, bool remove) {
    return VerifyMessage(msg.message, msg.wParam, msg.lParam, remove);
}

bool CMsgQueue::VerifyMessage(UINT message, WPARAM wParam, LPARAM lParam, bool remove) {
    Hold hold(m_cs);
    for (auto it = begin(); it != end(); ++it) {
        if (!Same(*it, message, wParam, lParam)) continue;
        if (remove) erase(it);
        return true;
    }
    return false;
}

std::list<MSG> CMsgQueue::TakeAll() {
    Hold hold(m_cs);
    std::list<MSG> taken;
    taken.swap(*this);
    return taken;
}
