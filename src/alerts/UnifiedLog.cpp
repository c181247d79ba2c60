// The alerter's unified-log thread. The listening thread turns each
// unified-log event into a record, enters it in the alerter's message
// registry and posts it to the thread (the record's ownership goes with the
// message); the thread takes only what the registry holds, decides by the
// component's level, writes the line to the log and to the debugger output,
// and follows the registry's settings while it runs.
//
// The thread lives from the working constructor to the destructor, which
// posts the stop message, waits for the thread and frees the records of
// messages it never took.
#include <TraceApi.h>

#include <atomic>

#include "alerts/LoggingLevels.h"
#include "alerts/MsgQueue.h"
#include "alerts/RecordPool.h"
#include "alerts/UnifiedLogFile.h"
#include "alerts/UnifiedLogPost.h"
#include "providers/EvRecordConvert.h"
#include "providers/EvRecordLayout.h"
#include "frame/Diagnostics.h"
#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"

namespace {

constexpr DWORD kPostRetryMs = 1;
// A full queue (the thread is behind) is waited out this long before a
// record is dropped: the listening thread slows down instead of losing lines.
constexpr ULONGLONG kQueueFullWaitMs = 1000;
// While records keep coming, the settings are looked at after this many.
constexpr unsigned kSettingsCheckEvery = 256;
// Messages taken from the queue at a time.
constexpr size_t kDrainBatch = 64;
// The log thread's nap between drains while lines keep coming.
constexpr DWORD kGatherMs = 1;
constexpr char kWirelessKey[] = "SOFTWARE\\Vanta\\Wireless";
constexpr char kInstallDirValue[] = "InstallDir";
constexpr DWORD kNotifyFilter =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

// Posts dropped since the last one that went through.
std::atomic<unsigned long> g_droppedPosts{0};

struct ThreadStart {
    CEvTraceAlerter* alerter;
    HANDLE ready;  // set once the thread's message queue exists
};

std::string InstallFolder() {
    char folder[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    CRegApi key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, kWirelessKey, KEY_READ) != ERROR_SUCCESS ||
        key.QueryValue(kInstallDirValue, folder, size) != ERROR_SUCCESS) {
        return std::string();
    }
    // The folder is expected to end with a backslash; one without gets it
    // rather than a log named after the folder.
    std::string installDir = folder;
    if (!installDir.empty() && installDir.back() != '\\') installDir += '\\';
    return installDir;
}

// The change notification on the settings key. While the key does not
// exist, the suite's key is watched instead, so that settings made later
// (the key created, or deleted and made again) are still followed.
class SettingsWatch {
public:
    explicit SettingsWatch(HANDLE event) : m_event(event) {
        Open();
        Arm();
    }
    ~SettingsWatch() { Close(); }
    SettingsWatch(const SettingsWatch&) = delete;
    SettingsWatch& operator=(const SettingsWatch&) = delete;

    bool Armed() const { return m_armed; }
    // After a notification: the watch is one-shot.
    void Rearm() {
        if (m_onParent) {
            Close();
            Open();
        }
        if (!Arm()) {
            Close();
            Open();
            Arm();
        }
    }

private:
    void Open() {
        m_onParent = false;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, traceapi::kUnifiedLoggingKey, 0, KEY_QUERY_VALUE | KEY_NOTIFY, &m_key) ==
            ERROR_SUCCESS) {
            return;
        }
        m_key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWirelessKey, 0, KEY_NOTIFY, &m_key) == ERROR_SUCCESS) {
            m_onParent = true;
        } else {
            m_key = nullptr;
        }
    }
    bool Arm() {
        m_armed = m_key != nullptr &&
                  RegNotifyChangeKeyValue(m_key, TRUE, kNotifyFilter, m_event, TRUE) == ERROR_SUCCESS;
        return m_armed;
    }
    void Close() {
        if (m_key != nullptr) RegCloseKey(m_key);
        m_key = nullptr;
        m_armed = false;
    }

    HANDLE m_event;
    HKEY m_key = nullptr;
    bool m_onParent = false;
    bool m_armed = false;
};

// Logs one record.
void HandleRecord(traceapi::UnifiedLogFile& log, const _VANTA_EVTRACE_DATA* record) {
    if (record == nullptr || record->dwDataLen == 0) return;
    const char* level = traceapi::LevelOf(record->szSource, record->dwEventType);
    if (level == nullptr) return;
    char line[traceapi::kUnifiedLineSize];
    const size_t length = traceapi::FormatUnifiedLine(line, record->szSource, record->ftTimeStamp, level,
                                                      reinterpret_cast<const char*>(record->Data));
    log.Append(line, length, (traceapi::UnifiedLogStatus() & traceapi::kNumberedCopiesBit) != 0);
    OutputDebugStringA(line);
}

// A record of the pool that goes back to it when its holder leaves scope,
// unless released.
class PooledRecord {
public:
    explicit PooledRecord(traceapi::RecordPool& pool) : m_pool(pool) {}
    ~PooledRecord() { m_pool.Free(m_record, m_size); }
    PooledRecord(const PooledRecord&) = delete;
    PooledRecord& operator=(const PooledRecord&) = delete;
    _VANTA_EVTRACE_DATA* get() const { return m_record; }
    _VANTA_EVTRACE_DATA** out() { return &m_record; }
    DWORD* size() { return &m_size; }
    void release() { m_record = nullptr; }

private:
    traceapi::RecordPool& m_pool;
    _VANTA_EVTRACE_DATA* m_record = nullptr;
    DWORD m_size = 0;
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
    for (const MSG& msg : m_pMsgQueue->TakeAll()) traceapi::FreeRecord(reinterpret_cast<_VANTA_EVTRACE_DATA*>(msg.lParam));
}

BOOL CEvTraceAlerter::VerifyMessage(MSG& msg) { return m_pMsgQueue->VerifyMessage(msg, true) ? TRUE : FALSE; }

int CEvTraceAlerter::GetULLogStatus() { return traceapi::UnifiedLogStatus() != 0 ? 1 : 0; }

void CEvTraceAlerter::SetLoggingLevel() {
    const DWORD enableFlag = traceapi::ReadLoggingLevels();
    if (m_hULEnabledEvent != nullptr) {
        if (enableFlag == 1) {
            SetEvent(m_hULEnabledEvent);
        } else {
            ResetEvent(m_hULEnabledEvent);
        }
    }
}

namespace traceapi {

bool PostUnifiedLogRecord(CEvTraceAlerter& alerter, PEVENT_TRACE pEvent, ULONG ulThreadId, UINT uMessageId) {
    if (pEvent == nullptr) return false;
    // Off, or nowhere to post: nothing is converted.
    if (uMessageId == 0 || alerter.GetULLogStatus() == 0) return false;
    CMsgQueue& registry = *alerter.m_pMsgQueue;
    PooledRecord record(registry.Records());
    if (traceapi::ConvertEventToRecord(pEvent, record.out(), record.size(), traceapi::kConvertForQueue,
                                       registry.Records()) < 0)
        return false;
    if (record.get() == nullptr || !IsUnifiedLogType(record.get()->dwEventType)) return false;

    const WPARAM size = *record.size();
    const LPARAM lParam = reinterpret_cast<LPARAM>(record.get());
    registry.AddMessage(uMessageId, size, lParam);
    ULONGLONG giveUp = 0;
    for (;;) {
        if (PostThreadMessageA(ulThreadId, uMessageId, size, lParam)) {
            record.release();
            if (g_droppedPosts.load(std::memory_order_relaxed) != 0) g_droppedPosts.store(0, std::memory_order_relaxed);
            return true;
        }
        if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA) break;
        const ULONGLONG now = GetTickCount64();
        if (giveUp == 0) giveUp = now + kQueueFullWaitMs;
        if (now >= giveUp) break;
        Sleep(kPostRetryMs);
    }
    // Not posted: the registry entry goes with the record, and the loss is
    // told (once per stretch of losses).
    const DWORD error = GetLastError();
    registry.VerifyMessage(uMessageId, size, lParam, true);
    if (g_droppedPosts.fetch_add(1, std::memory_order_relaxed) == 0) {
        DebugOut("UnifiedLog - a line could not be posted to the log thread (error %lu): it is dropped\n",
                 static_cast<unsigned long>(error));
    }
    return true;
}

}  // namespace traceapi

void CEvTraceAlerter::SendEventToUL(PEVENT_TRACE pEvent, ULONG ulThreadId, UINT uMessageId) {
    traceapi::PostUnifiedLogRecord(*this, pEvent, ulThreadId, uMessageId);
}

DWORD WINAPI CEvTraceAlerter::EvtEngCallbackThread(LPVOID pParam) {
    const ThreadStart* start = static_cast<const ThreadStart*>(pParam);
    CEvTraceAlerter* alerter = start->alerter;
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(start->ready);
    try {
        traceapi::UnifiedLogFile log(InstallFolder());
        HANDLE notify = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SettingsWatch watch(notify);
        auto settingsChanged = [&] {
            ResetEvent(notify);
            OutputDebugStringA("RECEIVED THE REGCHANGE EVENT\n");
            alerter->SetLoggingLevel();
            watch.Rearm();
        };
        // Takes every message waiting; false once the stop message came
        // (the messages behind it are not taken). Messages are taken and
        // looked up in the registry a batch at a time, under one hold of its
        // lock; records go back to the pool a batch at a time. A settings
        // change is looked for now and then too: records that keep coming
        // must not hold it back.
        CMsgQueue& registry = *alerter->m_pMsgQueue;
        traceapi::RecordPool::ReturnBatch freed(registry.Records());
        unsigned untilSettingsCheck = kSettingsCheckEvery;
        bool took = false;  // the last drain found lines
        auto drain = [&]() -> bool {
            took = false;
            MSG batch[kDrainBatch];
            bool held[kDrainBatch];
            for (;;) {
                size_t count = 0;
                bool stop = false;
                while (count < kDrainBatch && PeekMessageA(&batch[count], nullptr, 0, 0, PM_REMOVE)) {
                    if (batch[count].message == EVT_UL_STOP_MESSAGE) {
                        stop = true;
                        break;
                    }
                    ++count;
                }
                // Only what the alerter posted: another party's message is
                // ignored and its lParam never touched.
                registry.VerifyMessages(batch, count, held);
                for (size_t i = 0; i < count; ++i) {
                    if (!held[i] || batch[i].message != alerter->m_uULMessageId) continue;
                    auto* record = reinterpret_cast<_VANTA_EVTRACE_DATA*>(batch[i].lParam);
                    try {
                        HandleRecord(log, record);
                    } catch (...) {
                        // The line is lost (out of memory); the record is
                        // freed and the thread serves on.
                    }
                    freed.Free(record, batch[i].wParam);
                }
                if (count >= untilSettingsCheck) {
                    untilSettingsCheck = kSettingsCheckEvery;
                    if (watch.Armed() && WaitForSingleObject(notify, 0) == WAIT_OBJECT_0) settingsChanged();
                } else {
                    untilSettingsCheck -= unsigned(count);
                }
                if (count != 0) took = true;
                if (stop) return false;
                if (count < kDrainBatch) return true;
            }
        };
        for (bool stop = false; !stop;) {
            // Every line handled is in the file before the thread sleeps.
            log.Flush();
            freed.Flush();
            if (took) {
                // Lines are coming: they gather for a moment while the
                // thread naps outside its queue's wait, so that the
                // listening thread finds no sleeper to wake for each one
                // (the queue holds 10,000 messages, ten milliseconds of
                // lines at the fastest).
                // A trickle of lines keeps the thread here: the settings
                // are looked at after every nap too.
                Sleep(kGatherMs);
                if (watch.Armed() && WaitForSingleObject(notify, 0) == WAIT_OBJECT_0) settingsChanged();
                stop = !drain();
                continue;
            }
            const DWORD handles = watch.Armed() ? 1 : 0;
            const DWORD woken =
                MsgWaitForMultipleObjectsEx(handles, &notify, INFINITE, QS_POSTMESSAGE | QS_ALLPOSTMESSAGE, 0);
            if (handles == 1 && woken == WAIT_OBJECT_0) {
                settingsChanged();
                continue;
            }
            stop = !drain();
        }
        CloseHandle(notify);
    } catch (_evt_error& error) {
        dump_evterror(error);
    } catch (...) {
    }
    return 0;
}
