// The alert history file: where it is, how it is read, and how a save
// replaces it.
#include "consumer/AlertHistory.h"

#include <string.h>

#include <vector>

#include "consumer/EvAlertText.h"
#include "frame/EvLocks.h"
#include "providers/EvRecordLayout.h"
#include "consumer/EvTraceConsumer.h"
#include "frame/RegApi.h"
#include "frame/ReplacingFile.h"
#include "frame/TraceApiReg.h"
#include "host/FolderPaths.h"
#include "listener/EvTraceDbAccess.h"
#include "providers/EventWire.h"

namespace traceapi {

namespace {

constexpr DWORD kLogHeaderWord = 4;
constexpr DWORD kLogVersionWord = 0x00010000;
constexpr DWORD kMaxHistoryFilePath = 1024;
// Six records take 7,962 bytes; a far larger file is not a history.
constexpr LONGLONG kMaxHistoryFileSize = 16LL << 20;

// "HistoryFilePath", with a closing backslash; empty when not set.
std::string ConfiguredHistoryFolder() {
    CRegApi key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, kApiKeyPath, KEY_READ) != ERROR_SUCCESS) return std::string();
    std::vector<char> value(kMaxHistoryFilePath + 1, '\0');
    DWORD size = kMaxHistoryFilePath;
    if (key.QueryValue(kHistoryFilePathValue, value.data(), size) != ERROR_SUCCESS) return std::string();
    std::string folder(value.data());
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    return folder;
}

// Copies a field of the event's data that lies within what was delivered.
void CopyField(BYTE* to, const BYTE* data, size_t length, size_t offset, size_t size) {
    if (offset >= length) return;
    memcpy(to, data + offset, length - offset < size ? length - offset : size);
}

}  // namespace

HistoryLocation::HistoryLocation(bool runningAsSystem) {
    if (runningAsSystem) {
        m_folder = ConfiguredHistoryFolder();
        if (!m_folder.empty()) return;
        // Carries on as the service itself when the console user cannot be
        // impersonated.
        m_impersonating = m_user.Impersonate() == 1;
    }
    CFolderPaths paths;
    m_folder = paths.GetUserFolder();
    if (!m_folder.empty() && m_folder.back() != '\\') m_folder += '\\';
}

HistoryLocation::~HistoryLocation() {
    if (m_impersonating) m_user.Revert();
}

std::string HistoryLocation::Path() const {
    if (m_folder.empty()) return std::string();
    return m_folder + kHistorySettingsFolder + kHistoryFileName;
}

HistoryMutexHold::HistoryMutexHold() {
    if (CEvTraceConsumer::CreateNamedMutex(kHistoryMutexName, m_mutex) != S_OK) return;
    const DWORD wait = WaitForSingleObject(m_mutex, kHistoryMutexWaitMs);
    // An abandoned mutex is owned all the same: its holder died, and the
    // file it may have been writing is whole (written aside, renamed).
    m_owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

HistoryMutexHold::~HistoryMutexHold() {
    if (m_owned) ReleaseMutex(m_mutex);
    if (m_mutex != nullptr) CloseHandle(m_mutex);
}

LONG ReadHistory(const std::string& path, const std::set<DWORD>& alertCodes, traceapi::RecordList* records,
                 bool* unreadable) {
    if (unreadable != nullptr) *unreadable = false;
    if (path.empty()) return EVT_E_NOFILEACCESS;
    // The whole file first: a read that fails is told apart from a file
    // that ends early (whose whole records are still taken).
    std::vector<BYTE> bytes;
    {
        traceapi::HandleGuard file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return EVT_E_NOFILEACCESS;
        }
        LARGE_INTEGER size = {};
        if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxHistoryFileSize) {
            if (unreadable != nullptr) *unreadable = true;
            return EVT_E_NOFILEACCESS;
        }
        bytes.resize(size_t(size.QuadPart));
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD got = 0;
            if (!ReadFile(file.get(), bytes.data() + done, DWORD(bytes.size() - done), &got, nullptr)) {
                if (unreadable != nullptr) *unreadable = true;
                return EVT_E_NOFILEACCESS;
            }
            if (got == 0) break;
            done += got;
        }
        bytes.resize(done);
    }
    traceapi::MemorySource source(bytes.data(), bytes.size());
    traceapi::RecordFilter alertsOnly;
    if (!alertCodes.empty()) {
        alertsOnly = [&alertCodes](const _VANTA_EVTRACE_DATA& record) {
            return alertCodes.count(record.dwEventCode) != 0;
        };
    }
    return traceapi::ReadBinaryLog(source, alertsOnly, records);
}

_VANTA_EVTRACE_DATA* MakeHistoryRecord(const EVENT_TRACE& event) {
    _VANTA_EVTRACE_DATA* record = traceapi::AllocRecord(kHistoryRecordSize);
    record->ftTimeStamp.dwLowDateTime = DWORD(event.Header.TimeStamp.QuadPart);
    record->ftTimeStamp.dwHighDateTime = DWORD(ULONGLONG(event.Header.TimeStamp.QuadPart) >> 32);
    const BYTE* data = static_cast<const BYTE*>(event.MofData);
    const size_t length = data != nullptr ? event.MofLength : 0;
    CopyField(reinterpret_cast<BYTE*>(&record->dwEventType), data, length, wire::kOffType, sizeof(DWORD));
    CopyField(reinterpret_cast<BYTE*>(&record->dwEventCode), data, length, wire::kOffCode, sizeof(DWORD));
    CopyField(reinterpret_cast<BYTE*>(record->szStringA), data, length, wire::kOffStringA,
              sizeof record->szStringA - 1);
    record->szStringA[sizeof record->szStringA - 1] = '\0';
    CopyField(&record->bFlag, data, length, wire::kOffFlag, 1);
    return record;
}

DWORD AppendHistory(const std::string& path, const std::set<DWORD>& alertCodes, const _VANTA_EVTRACE_DATA& record) {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    traceapi::RecordList stored;
    struct Free {
        traceapi::RecordList& list;
        ~Free() { traceapi::FreeRecords(&list); }
    } freeStored{stored};
    // A missing history starts with this record, and so does one that is
    // not a history; one that cannot be read now is left alone, and one
    // that ends early keeps its whole records.
    bool unreadable = false;
    ReadHistory(path, alertCodes, &stored, &unreadable);
    if (unreadable) return ERROR_READ_FAULT;
    const size_t keep = stored.size() < kHistoryMaxRecords ? stored.size() : kHistoryMaxRecords - 1;

    std::vector<BYTE> bytes;
    bytes.reserve(12 + (keep + 1) * (4 + kHistoryRecordSize));
    auto put = [&bytes](const void* data, size_t size) {
        const BYTE* p = static_cast<const BYTE*>(data);
        bytes.insert(bytes.end(), p, p + size);
    };
    const DWORD header[3] = {kLogHeaderWord, kLogVersionWord, DWORD(keep + 1)};
    put(header, sizeof header);
    auto putRecord = [&put](const _VANTA_EVTRACE_DATA& r) {
        // The reader leaves every record whole: its text and the zero tail
        // are within it.
        const DWORD length = DWORD(traceapi::record::SizeFor(r.dwDataLen));
        put(&length, sizeof length);
        put(&r, length);
    };
    for (size_t i = stored.size() - keep; i < stored.size(); ++i) putRecord(*stored[i]);
    putRecord(record);

    ReplacingFile file(path.c_str());
    DWORD status = file.Open();
    if (status == ERROR_PATH_NOT_FOUND) {
        // The first alert of a user: the "Settings" folder is made.
        const size_t slash = path.find_last_of('\\');
        if (slash == std::string::npos || !EnsureFolderExists(path.substr(0, slash))) return ERROR_PATH_NOT_FOUND;
        status = file.Open();
    }
    if (status == ERROR_SUCCESS) status = file.Write(bytes.data(), DWORD(bytes.size()));
    // The user's program waits on this save for its wake-up, once per
    // alert: the new name is not waited for (see the header).
    if (status == ERROR_SUCCESS) return file.Commit(RenameFlush::Lazy);
    return status;
}

std::set<DWORD> DatabaseAlertCodes() {
    CEvTraceDbAccess database;
    std::string text;
    if (database.OpenResult() != S_OK || database.GetText(text) != S_OK) return {};
    const std::vector<DWORD> codes = traceapi::ParseAlertCodes(text);
    return std::set<DWORD>(codes.begin(), codes.end());
}

}  // namespace traceapi
