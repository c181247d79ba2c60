// The alert history list: the records of the user's "AlertHistory.bin"
// whose codes are alert codes, newest first.
//
// The file is read directly under the history mutex, not through an
// infoset: an infoset would also wait for the snapshot mutex, which a live
// snapshot holds for ten seconds, and would take an infoset number.
#include <string.h>

#include <new>
#include <set>

#include "consumer/AlertHistory.h"
#include "frame/EvLocks.h"
#include "providers/EvRecordLayout.h"
#include "consumer/EvTraceConsumer.h"

namespace {

// A copy of a stored record as the list hands it out, freed with
// EvTraceDeleteMemory: the fixed part, the text and the zero tail.
_VANTA_EVTRACE_DATA* CopyForCaller(const _VANTA_EVTRACE_DATA& record) {
    const size_t size = traceapi::record::SizeFor(record.dwDataLen);
    void* block = ::operator new(size);
    memset(block, 0, size);
    memcpy(block, &record, size - traceapi::record::kTailSize);
    return static_cast<_VANTA_EVTRACE_DATA*>(block);
}

void FreeList(_EVT_RECORD_LIST* list) {
    if (list == nullptr) return;
    for (DWORD i = 0; i < list->count && list->records != nullptr; ++i) ::operator delete(list->records[i]);
    delete[] list->records;
    ::operator delete(list);
}

}  // namespace

LONG CEvTraceConsumer::GetAlertHistoryList(_EVT_RECORD_LIST** ppList) {
    if (ppList == nullptr) return EVT_E_INVALIDARG;
    *ppList = nullptr;
    _EVT_RECORD_LIST* list = nullptr;
    traceapi::RecordList records;
    try {
        traceapi::HistoryLocation location(m_bRunningAsSystem != 0);
        std::set<DWORD> codes;
        LONG result;
        {
            traceapi::HistoryMutexHold hold;
            {
                traceapi::CritSecGuard lock(m_csConsumer);
                codes = m_alertCodes;
            }
            result = traceapi::ReadHistory(location.Path(), codes, &records);
        }
        // Without alert codes (no event database) nothing is an alert.
        if (result != S_OK || codes.empty()) traceapi::FreeRecords(&records);
        if (result != S_OK) return result;
        // Allocated as EvTraceDeleteMemory and EvTraceDeleteArray free them.
        list = static_cast<_EVT_RECORD_LIST*>(::operator new(sizeof(_EVT_RECORD_LIST)));
        list->count = 0;
        list->records = nullptr;
        if (!records.empty()) {
            list->records = new _VANTA_EVTRACE_DATA*[records.size()]();
            for (auto it = records.rbegin(); it != records.rend(); ++it) {
                list->records[list->count] = CopyForCaller(**it);
                ++list->count;
            }
        }
        traceapi::FreeRecords(&records);
        *ppList = list;
        return S_OK;
    } catch (_evt_error& error) {
        traceapi::FreeRecords(&records);
        FreeList(list);
        return traceapi::ResultOf(error);
    } catch (...) {
        traceapi::FreeRecords(&records);
        FreeList(list);
        return E_FAIL;
    }
}
