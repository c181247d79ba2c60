#include "listener/RecordTap.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace {

// The tap is read under a shared lock by every AddEvent and replaced under
// the exclusive one, so removing it waits for the calls in progress. The
// flag keeps the common case (no tap) away from the lock.
std::shared_mutex g_tapLock;
CEvDataQueue::PRECORD_TAP g_tap = nullptr;
void* g_tapContext = nullptr;
std::atomic<bool> g_tapSet{false};

}  // namespace

void CEvDataQueue::SetRecordTap(PRECORD_TAP pfnTap, void* pContext) {
    std::unique_lock<std::shared_mutex> lock(g_tapLock);
    g_tap = pfnTap;
    g_tapContext = pContext;
    g_tapSet.store(pfnTap != nullptr, std::memory_order_release);
}

void traceapi::TapRecord(const _VANTA_EVTRACE_DATA* record, DWORD size) {
    if (!g_tapSet.load(std::memory_order_acquire)) return;
    std::shared_lock<std::shared_mutex> lock(g_tapLock);
    if (g_tap != nullptr) g_tap(g_tapContext, record, size);
}
