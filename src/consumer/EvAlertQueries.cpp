// Alert texts from the event database: context help and hints of a code.
#include <string.h>

#include <new>
#include <string>

#include "consumer/EvAlertText.h"
#include "frame/EvLocks.h"
#include "consumer/EvTraceConsumer.h"
#include "listener/EvTraceDbAccess.h"

namespace {

constexpr char kContextHelpMutexName[] = "Global\\VANTA_MUTEX_GET_ALERT_CONTEXT_HELP";
constexpr DWORD kContextHelpWaitMs = 5000;
constexpr size_t kMaxHintText = 1023;
constexpr size_t kMaxHints = 10;

// Clears a 256-byte slot and fills it with at most 255 characters.
void FillSlot(char (&slot)[256], std::string_view text) {
    memset(slot, 0, sizeof slot);
    memcpy(slot, text.data(), text.size() < 255 ? text.size() : 255);
}

// A new array with the text and a zero, freed with EvTraceDeleteArray.
char* NewText(std::string_view text) {
    char* copy = new char[text.size() + 1];
    if (!text.empty()) memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

LONG LookUp(ULONG code, std::string* entry) {
    CEvTraceDbAccess database;
    return database.GetEntry(*entry, code);
}

}  // namespace

LONG CEvTraceConsumer::GetAlertContextHelp(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP* pHelp) {
    {
        traceapi::CritSecGuard lock(m_csConsumer);
        if (m_hMutexGetAlertContextHelp == nullptr)
            CreateNamedMutex(kContextHelpMutexName, m_hMutexGetAlertContextHelp);
        if (m_hMutexGetAlertContextHelp == nullptr) return E_FAIL;
    }
    const DWORD wait = WaitForSingleObject(m_hMutexGetAlertContextHelp, kContextHelpWaitMs);
    if (wait == WAIT_ABANDONED) ReleaseMutex(m_hMutexGetAlertContextHelp);
    if (wait != WAIT_OBJECT_0) return E_FAIL;
    traceapi::MutexHold hold(m_hMutexGetAlertContextHelp);

    if (pHelp == nullptr) return EVT_E_POINTER;
    std::string entry;
    const LONG result = LookUp(ulCode, &entry);
    if (result != S_OK) return result;
    const traceapi::AlertFields fields = traceapi::ExtractAlertFields(entry);
    if (fields.count >= 1) pHelp->dwAlertCode = fields.code;
    if (fields.count >= 2) FillSlot(pHelp->szField2, fields.field2);
    if (fields.count >= 3) FillSlot(pHelp->szHints, fields.hints);
    if (fields.count >= 4) FillSlot(pHelp->szField4, fields.field4);
    if (fields.count >= 5) FillSlot(pHelp->szField5, fields.field5);
    return result;
}

LONG CEvTraceConsumer::GetAlertContextHelpEx(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP_EX* pHelp) {
    if (pHelp == nullptr) return E_FAIL;
    try {
        std::string entry;
        const LONG result = LookUp(ulCode, &entry);
        if (result != S_OK) return result;
        const traceapi::AlertFields fields = traceapi::ExtractAlertFields(entry);
        if (fields.count >= 1) pHelp->dwAlertCode = fields.code;
        if (fields.count >= 2) pHelp->pszField2 = NewText(fields.field2);
        if (fields.count >= 3) pHelp->pszHints = NewText(fields.hints);
        if (fields.count >= 4) pHelp->pszField4 = NewText(fields.field4);
        if (fields.count >= 5) pHelp->pszField5 = NewText(fields.field5);
        return result;
    } catch (...) {
        return E_FAIL;
    }
}

LONG CEvTraceConsumer::GetAlertHintList(ULONG ulCode, _EVT_ALERT_HINT_LIST** ppList) {
    if (ppList == nullptr) return E_FAIL;
    *ppList = nullptr;
    LONG result = E_FAIL;
    std::string entry;
    std::string_view text;
    try {
        result = LookUp(ulCode, &entry);
        if (result == S_OK) {
            text = traceapi::ExtractAlertFields(entry).hints;
            if (text.size() > kMaxHintText) text = text.substr(0, kMaxHintText);
        }
    } catch (...) {
        result = E_FAIL;
    }
    // The list is handed out also when the lookup failed (one empty hint).
    _EVT_ALERT_HINT_LIST* list = new (std::nothrow) _EVT_ALERT_HINT_LIST;
    if (list == nullptr) return E_FAIL;
    memset(list, 0, sizeof *list);
    try {
        // More than ten hints: the first ten are kept.
        for (std::string_view hint : traceapi::SplitHints(text)) {
            if (list->count == kMaxHints) break;
            list->hints[list->count] = NewText(hint);
            ++list->count;
        }
    } catch (...) {
        for (DWORD i = 0; i < list->count; ++i) delete[] list->hints[i];
        delete list;
        return E_FAIL;
    }
    *ppList = list;
    return result;
}
