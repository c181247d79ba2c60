// Infosets: snapshots of event records opened from binary event log files or
// from a live snapshot of the event engine, walked with a cursor; and the
// writing of record lists as binary or text logs.
//
// Live snapshot hand-shake with the engine process (which creates both
// events): the consumer sets the start event and waits up to 10 s for the
// end event. The end event means the engine declined. Silence means the
// engine has written its queue to the file named by "SnapShotFile", which
// the consumer reads and deletes. The snapshot mutex serialises the whole
// exchange across the processes of the machine.
#include <TraceApi.h>

#include <string.h>

#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "frame/EvLocks.h"
#include "providers/EvRecordLayout.h"
#include "consumer/EvRecordReader.h"
#include "providers/EvTextLog.h"
#include "consumer/EvTraceConsumer.h"
#include "frame/RegApi.h"
#include "frame/ReplacingFile.h"
#include "frame/TraceApiReg.h"

using traceapi::CritSecGuard;
using traceapi::HandleGuard;
using traceapi::MutexHold;
using traceapi::ResultOf;

namespace {

constexpr ULONG kLastInfosetNumber = 26;
// A live snapshot needs a number below this.
constexpr ULONG kLiveInfosetLimit = 25;
constexpr DWORD kSnapshotMutexWaitMs = 5000;
constexpr DWORD kEngineAnswerMs = 10000;
constexpr char kSnapshotMutexName[] = "Global\\VANTA_MUTEX_SNAPSHOT_PROCESSING";
constexpr char kSnapshotStartEvent[] = "Global\\VANTA_EVT_SNAPSHOT_START_EVENT";
constexpr char kSnapshotEndEvent[] = "Global\\VANTA_EVT_SNAPSHOT_END_EVENT";

constexpr DWORD kLogHeaderWord = 4;
constexpr DWORD kLogVersionWord = 0x00010000;

enum CursorMove { kFirst, kLast, kNext, kPrevious };

LONG ReadLogFile(const char* name, const traceapi::RecordFilter& filter, traceapi::RecordList* records) {
    if (GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES) return EVT_E_NOFILEACCESS;
    HandleGuard file(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return EVT_E_NOFILEACCESS;
    traceapi::FileSource source(file.get());
    return traceapi::ReadBinaryLog(source, filter, records);
}

// The engine's side of the exchange is over once this returns S_OK and the
// snapshot file has been read (and deleted).
LONG ReadLiveSnapshot(ULONG number, const traceapi::RecordFilter& filter, traceapi::RecordList* records) {
    HandleGuard start(OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kSnapshotStartEvent));
    HandleGuard end(OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kSnapshotEndEvent));
    if (!start.valid() || !end.valid()) return EVT_E_NOINFOSET;
    // Refused before the engine is asked: a snapshot that cannot be kept is
    // not worth its file and its wait.
    if (number >= kLiveInfosetLimit) return EVT_E_TOOMANYINFOSETS;

    SetEvent(start.get());
    if (WaitForSingleObject(end.get(), kEngineAnswerMs) == WAIT_OBJECT_0) {
        ResetEvent(start.get());
        return E_FAIL;
    }

    char path[MAX_PATH] = {};
    DWORD size = sizeof path;
    CRegApi key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, traceapi::kEngKeyPath, KEY_READ) != ERROR_SUCCESS ||
        key.QueryValue(traceapi::kSnapShotFileValue, path, size) != ERROR_SUCCESS || path[0] == '\0') {
        return EVT_E_NOINFOSET;
    }
    LONG result = EVT_E_NOINFOSET;
    {
        HandleGuard file(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) {
            traceapi::FileSource source(file.get());
            result = traceapi::ReadSnapshot(source, filter, records);
        }
    }
    DeleteFileA(path);
    return result;
}

// Writes through a buffer; the first failed write fails every later one.
class BufferedWriter {
public:
    explicit BufferedWriter(HANDLE file) : m_file(file) { m_buffer.reserve(kSize); }
    bool Write(const void* data, size_t size) {
        if (m_failed) return false;
        const BYTE* bytes = static_cast<const BYTE*>(data);
        if (m_buffer.size() + size > kSize && !Flush()) return false;
        if (size >= kSize) return WriteThrough(bytes, size);
        m_buffer.insert(m_buffer.end(), bytes, bytes + size);
        return true;
    }
    bool Flush() {
        if (m_failed) return false;
        if (m_buffer.empty()) return true;
        bool ok = WriteThrough(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
        return ok;
    }

private:
    static constexpr size_t kSize = 64 * 1024;
    bool WriteThrough(const BYTE* data, size_t size) {
        while (size > 0) {
            const DWORD chunk = size > 0x40000000 ? 0x40000000 : DWORD(size);
            DWORD written = 0;
            if (!WriteFile(m_file, data, chunk, &written, nullptr) || written != chunk) {
                m_failed = true;
                return false;
            }
            data += chunk;
            size -= chunk;
        }
        return true;
    }
    HANDLE m_file;
    std::vector<BYTE> m_buffer;
    bool m_failed = false;
};

LONG WriteBinaryLog(HANDLE file, const _EVT_RECORD_LIST& list) {
    BufferedWriter out(file);
    const DWORD header[3] = {kLogHeaderWord, kLogVersionWord, list.count};
    if (!out.Write(header, sizeof header)) return EVT_E_LOGWRITE;
    for (DWORD i = 0; i < list.count; ++i) {
        const _VANTA_EVTRACE_DATA* record = list.records[i];
        if (record == nullptr) continue;
        const ULONGLONG length = ULONGLONG(record->dwDataLen) + traceapi::record::SizeFor(0);
        if (length > 0xFFFFFFFF) return EVT_E_LOGWRITE;
        const DWORD stored = DWORD(length);
        if (!out.Write(&stored, sizeof stored) || !out.Write(record, stored)) return EVT_E_LOGWRITE;
    }
    return out.Flush() ? S_OK : EVT_E_LOGWRITE;
}

LONG WriteTextLog(HANDLE file, const _EVT_RECORD_LIST& list) {
    if (!traceapi::WriteLogHeader(file)) return EVT_E_NOINFOSET;
    BufferedWriter out(file);
    std::string line;
    DWORD row = 0;
    for (DWORD i = 0; i < list.count; ++i) {
        const _VANTA_EVTRACE_DATA* record = list.records[i];
        if (record == nullptr) continue;
        if (!traceapi::FormatLogRow(++row, *record, &line) || !out.Write(line.data(), line.size())) {
            return EVT_E_NOINFOSET;
        }
    }
    return out.Flush() ? S_OK : EVT_E_NOINFOSET;
}

}  // namespace

// ---- CEvTraceInfoset --------------------------------------------------------

CEvTraceInfoset::CEvTraceInfoset() : m_pRecords(new std::deque<_VANTA_EVTRACE_DATA*>), m_nCursor(-1) {}

CEvTraceInfoset::~CEvTraceInfoset() {
    traceapi::FreeRecords(m_pRecords);
    delete m_pRecords;
}

// ---- Opening and closing ----------------------------------------------------

ULONG CEvTraceConsumer::ChooseInfosetNumber() const {
    ULONG number = 1;
    while (m_infosets.count(number) != 0 && number < kLastInfosetNumber) ++number;
    return number;
}

CEvTraceInfoset* CEvTraceConsumer::FindInfoset(ULONG ulInfoset) {
    auto it = m_infosets.find(ulInfoset);
    return it == m_infosets.end() ? nullptr : it->second;
}

LONG CEvTraceConsumer::OpenInfosetHandle(ULONG* pInfoset, const char* pszFileName, ULONG ulType) {
    try {
        return OpenInfoset(pInfoset, pszFileName, ulType);
    } catch (_evt_error& error) {
        return ResultOf(error);
    } catch (const std::bad_alloc&) {
        return EVT_E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

LONG CEvTraceConsumer::OpenInfoset(ULONG* pInfoset, const char* pszFileName, ULONG ulType) {
    if (pInfoset == nullptr) return EVT_E_POINTER;
    {
        CritSecGuard lock(m_csConsumer);
        if (m_hMutexSnapshotProcessing == nullptr &&
            CreateNamedMutex(kSnapshotMutexName, m_hMutexSnapshotProcessing) != S_OK) {
            return E_FAIL;
        }
    }
    const DWORD wait = WaitForSingleObject(m_hMutexSnapshotProcessing, kSnapshotMutexWaitMs);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return E_FAIL;
    MutexHold snapshot(m_hMutexSnapshotProcessing);

    *pInfoset = 0;
    if (ulType > EVT_INFOSET_ALERTS) return EVT_E_BADINFOSETTYPE;

    // The file is read without the consumer lock (a live snapshot waits up
    // to 10 s for the engine); the alert codes are taken along.
    ULONG number;
    std::set<DWORD> alertCodes;
    {
        CritSecGuard lock(m_csConsumer);
        number = ChooseInfosetNumber();
        if (ulType == EVT_INFOSET_ALERTS) alertCodes = m_alertCodes;
    }
    traceapi::RecordFilter filter;
    if (ulType == EVT_INFOSET_ALERTS) {
        filter = [&alertCodes](const _VANTA_EVTRACE_DATA& record) { return alertCodes.count(record.dwEventCode) != 0; };
    }

    std::unique_ptr<CEvTraceInfoset> infoset(new (std::nothrow) CEvTraceInfoset);
    if (infoset == nullptr) return EVT_E_OUTOFMEMORY;
    const LONG result = pszFileName != nullptr ? ReadLogFile(pszFileName, filter, infoset->m_pRecords)
                                               : ReadLiveSnapshot(number, filter, infoset->m_pRecords);
    if (result != S_OK) return result;

    CritSecGuard lock(m_csConsumer);
    number = ChooseInfosetNumber();
    if (pszFileName == nullptr && number >= kLiveInfosetLimit) return EVT_E_TOOMANYINFOSETS;
    if (m_infosets.count(number) != 0) return EVT_E_HANDLEINUSE;
    m_infosets.emplace(number, infoset.get());
    infoset.release();
    *pInfoset = number;
    return S_OK;
}

LONG CEvTraceConsumer::CloseInfosetHandle(ULONG ulInfoset) {
    CritSecGuard lock(m_csConsumer);
    auto it = m_infosets.find(ulInfoset);
    if (it == m_infosets.end()) return EVT_E_NOINFOSET;
    delete it->second;
    m_infosets.erase(it);
    return S_OK;
}

LONG CEvTraceConsumer::CountEvTrace(ULONG ulInfoset, ULONG* pulCount) {
    if (pulCount == nullptr) return EVT_E_POINTER;
    CritSecGuard lock(m_csConsumer);
    *pulCount = 0;
    CEvTraceInfoset* infoset = FindInfoset(ulInfoset);
    if (infoset == nullptr) return EVT_E_NOINFOSET;
    *pulCount = ULONG(infoset->m_pRecords->size());
    return S_OK;
}

// ---- Cursor -----------------------------------------------------------------

LONG CEvTraceConsumer::MoveCursor(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord, int whereTo) {
    if (ppRecord == nullptr) return EVT_E_POINTER;
    CritSecGuard lock(m_csConsumer);
    CEvTraceInfoset* infoset = FindInfoset(ulInfoset);
    if (infoset == nullptr) return EVT_E_NOINFOSET;
    // Next leaves the caller's pointer as it was when there is nothing
    // there; the other moves clear it first.
    if (whereTo != kNext) *ppRecord = nullptr;
    const auto& records = *infoset->m_pRecords;
    if (records.empty()) return EVT_E_POINTER;
    const long long size = (long long)records.size();
    long long index;
    switch (whereTo) {
    case kFirst: index = 0; break;
    case kLast: index = size - 1; break;
    case kNext:
        if (infoset->m_nCursor < 0) return EVT_E_POINTER;
        index = (long long)infoset->m_nCursor + 1;
        break;
    default:
        if (infoset->m_nCursor < 0) return EVT_E_POINTER;
        index = (long long)infoset->m_nCursor - 1;
        break;
    }
    if (index < 0 || index >= size) return EVT_E_POINTER;
    infoset->m_nCursor = int(index);
    *ppRecord = records[size_t(index)];
    return S_OK;
}

LONG CEvTraceConsumer::GetFirstEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return MoveCursor(ulInfoset, ppRecord, kFirst);
}

LONG CEvTraceConsumer::GetLastEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return MoveCursor(ulInfoset, ppRecord, kLast);
}

LONG CEvTraceConsumer::GetNextEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return MoveCursor(ulInfoset, ppRecord, kNext);
}

LONG CEvTraceConsumer::GetPreviousEvTrace(ULONG ulInfoset, _VANTA_EVTRACE_DATA** ppRecord) {
    return MoveCursor(ulInfoset, ppRecord, kPrevious);
}

// ---- Log files --------------------------------------------------------------

LONG CEvTraceConsumer::CreateLogFile(const char* pszFileName, _EVT_RECORD_LIST* pList, ULONG ulFormat) {
    if (ulFormat > EVT_LOGFORMAT_TEXT) return EVT_E_BADLOGFORMAT;
    if (pszFileName == nullptr || pList == nullptr) return EVT_E_POINTER;
    if (pList->count > 0 && pList->records == nullptr) return EVT_E_POINTER;
    // Written aside and renamed into place: a failed log leaves whatever
    // stood at the path exactly as it was.
    traceapi::ReplacingFile file(pszFileName);
    if (file.Open() != ERROR_SUCCESS) return EVT_E_NOINFOSET;
    LONG result;
    try {
        result = ulFormat == EVT_LOGFORMAT_BINARY ? WriteBinaryLog(file.Handle(), *pList)
                                                  : WriteTextLog(file.Handle(), *pList);
    } catch (_evt_error& error) {
        result = ResultOf(error);
    } catch (...) {
        result = E_FAIL;
    }
    if (result == S_OK && file.Commit() != ERROR_SUCCESS) result = EVT_E_NOINFOSET;
    return result;
}
