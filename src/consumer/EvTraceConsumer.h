// The consumer: the object behind every consumer function of the flat
// interface. One per process is made by EvtInitialize(2); the alerter makes
// short-lived ones of its own, so construction and destruction are safe to
// repeat while the main one lives.
//
// Lock order: the snapshot mutex (across processes), then m_csConsumer.
// m_csConsumer guards m_infosets, the infosets' cursors, m_alertList and
// m_alertCodes; it is never held across a wait for another process.
#pragma once

#include <TraceApi.h>

#include <atomic>
#include <deque>
#include <map>
#include <set>

// One open infoset: records in file order, owned, and a cursor.
class CEvTraceInfoset {
public:
    CEvTraceInfoset();
    CEvTraceInfoset(const CEvTraceInfoset&) = delete;
    CEvTraceInfoset& operator=(const CEvTraceInfoset&) = delete;
    // Frees the records and the list.
    virtual ~CEvTraceInfoset();

    std::deque<_VANTA_EVTRACE_DATA*>* m_pRecords;
    // Index of the record last returned; -1 until positioned.
    int m_nCursor;
};

class CEvTraceConsumer : public CEvTraceListener {
public:
    CEvTraceConsumer();
    CEvTraceConsumer(const CEvTraceConsumer&) = delete;
    CEvTraceConsumer& operator=(const CEvTraceConsumer&) = delete;
    // Stops the listener first: no event is delivered after it returns.
    virtual ~CEvTraceConsumer();

    // Client callback and header.
    LONG SetEvTraceCallback(PEVT_CLIENT_CALLBACK pfnCallback);
    static LONG SetLocalizedHeader(const char** ppszTitles);
    // The listener's event callback: converts each event and hands the
    // record to the sink target's client callback.
    static void WINAPI EventSink(PEVENT_TRACE pEvent);

    // Alert list.
    LONG GetAlertList(_EVT_ALERT_LIST** ppList);
    LONG IsAlertableError(ULONG ulCode, ULONG* pulAlertable);
    LONG GetAlertContextHelp(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP* pHelp);
    static LONG GetAlertContextHelpEx(ULONG ulCode, _EVT_ALERT_CONTEXT_HELP_EX* pHelp);
    static LONG GetAlertHintList(ULONG ulCode, _EVT_ALERT_HINT_LIST** ppList);
    // The user's alert history, newest first (alerts/AlertHistory.h).
    LONG GetAlertHistoryList(_EVT_RECORD_LIST** ppList);

    // Infosets.
    LONG OpenInfosetHandle(ULONG* pInfoset, const char* pszFileName, ULONG ulType);
    LONG CloseInfosetHandle(ULONG ulInfoset);
    LONG CountEvTrace(ULONG ulInfoset, ULONG* pulCount);
    LONG GetFirstEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
    LONG GetLastEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
    LONG GetNextEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
    LONG GetPreviousEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord);
    static LONG CreateLogFile(const char* pszFileName, _EVT_RECORD_LIST* pList, ULONG ulFormat);

    // Providers.
    LONG GetProviderList(_EVT_PROVIDER_LIST** ppList);

    // Creates a mutex every user may open ("Global\..." name, null DACL),
    // not owned, into `member`: S_OK, or E_FAIL with member null.
    static LONG CreateNamedMutex(const char* pszName, HANDLE& member);

    int m_bRunningAsSystem;
    _EVT_ALERT_LIST* m_pAlertList;
    _EVT_LISTENER_CONFIG m_listenerConfig;
    std::map<ULONG, CEvTraceInfoset*> m_infosets;
    CRITICAL_SECTION m_csConsumer;
    std::set<DWORD> m_alertCodes;
    _EVT_ALERT_LIST m_alertList;
    HANDLE m_hMutexSnapshotProcessing;
    HANDLE m_hMutexGetAlertContextHelp;

private:
    LONG OpenInfoset(ULONG* pInfoset, const char* pszFileName, ULONG ulType);
    CEvTraceInfoset* FindInfoset(ULONG ulInfoset);
    // The lowest free infoset number from 1 to 26 (26 also when taken).
    ULONG ChooseInfosetNumber() const;
    LONG MoveCursor(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord, int whereTo);
};

namespace traceapi {

// The consumer to which the event sink delivers: the first consumer made in
// the process, until it is destroyed (then the next one made).
extern std::atomic<CEvTraceConsumer*> g_pEventSinkConsumer;

// The library-wide provider list (GetProviderList).
extern _EVT_PROVIDER_LIST g_providerList;

// Result of an operation whose error object was caught: its own code when
// that is a failure, else E_FAIL.
LONG ResultOf(_evt_error& error);

}  // namespace traceapi
