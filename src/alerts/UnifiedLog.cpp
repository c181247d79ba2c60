// The alerter's unified-log thread: its start, its stop and the messages it
// takes. The thread lives from the working constructor to the destructor,
// which posts the stop message and waits for it.
#include <TraceApi.h>

#include <list>

#include "alerts/MsgQueue.h"
#include "frame/Diagnostics.h"

namespace {

constexpr DWORD kPostRetryMs = 1;

struct ThreadStart {
    CEvTraceAlerter* alerter;
    HANDLE ready;  // set once the thread's message queue exists
};

}  // namespace

void CEvTraceAlerter::StartULThread() {
    SetLoggingLevel();
    if (m_hULThread != nullptr) return;
    ThreadStart start = {this, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    if (start.ready == nullptr) return;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &CEvTraceAlerter::EvtEngCallbackThread, &start, 0, &id);
    if (thread != nullptr) {
        // Posting before the thread has its queue would fail: the first
        // records would be lost.
        WaitForSingleObject(start.ready, INFINITE);
        m_hULThread = thread;
        m_dwULThreadId = id;
    }
    CloseHandle(start.ready);
}

void CEvTraceAlerter::StopULThread() {
    if (m_hULThread == nullptr) return;
    // A full queue refuses the post for a moment: the thread is draining it.
    while (!PostThreadMessageA(m_dwULThreadId, EVT_UL_STOP_MESSAGE, 0, 0)) {
        if (WaitForSingleObject(m_hULThread, kPostRetryMs) == WAIT_OBJECT_0) break;
    }
    WaitForSingleObject(m_hULThread, INFINITE);
    CloseHandle(m_hULThread);
    m_hULThread = nullptr;
    m_dwULThreadId = 0;
    // Messages still queued died with the thread's queue; their records
    // are the registry's to free.
    for (const MSG& msg : m_pMsgQueue->TakeAll()) delete[] reinterpret_cast<BYTE*>(msg.lParam);
}

BOOL CEvTraceAlerter::VerifyMessage(MSG& msg) { return m_pMsgQueue->VerifyMessage(msg, true) ? TRUE : FALSE; }

int CEvTraceAlerter::GetULLogStatus() { return 0; }

void CEvTraceAlerter::SetLoggingLevel() {}

void CEvTraceAlerter::SendEventToUL(PEVENT_TRACE, ULONG, UINT) {}

DWORD WINAPI CEvTraceAlerter::EvtEngCallbackThread(LPVOID pParam) {
    const ThreadStart* start = static_cast<const ThreadStart*>(pParam);
    CEvTraceAlerter* alerter = start->alerter;
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(start->ready);
    for (;;) {
        MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE, 0);
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == EVT_UL_STOP_MESSAGE) return 0;
            // Only what the alerter posted: another party's message is
            // ignored and its lParam never touched.
            if (!alerter->VerifyMessage(msg)) continue;
        }
    }
}
