// The alert history file: "Settings\AlertHistory.bin" below the user's data
// folder, the last six alerts of a user, oldest first, in the binary event
// log layout (header word 4, version word 0x00010000, record count, then
// per record its length and image). Each record is an event record without
// text: 1,321 bytes, so a file of one record is 1,337 bytes.
//
// Writers (the alerters of every process, the service's and the users') and
// readers (the consumers' history lists) meet at the named mutex
// "Global\VANTA_ALERT_HISTORY_FILE_MUTEX". A save holds it from the read of
// the old history to the rename of the new file into place, so concurrent
// saves lose no record; a reader never sees a torn file because the new
// history is written aside, flushed and renamed over the old one.
//
// A save sits between an alert and the wake-up of the user's program, so it
// waits for the one flush that keeps the file whole (the new content, before
// the rename) and not for the folder's: the new name reaches the disk with
// the file system's next commit, and a power cut before it brings back the
// history as it was before that alert, whole.
//
// Lock order: the history mutex, then (inside the reader) the consumer lock.
#pragma once

#include <windows.h>
#include <evntrace.h>

#include <set>
#include <string>

#include "consumer/EvRecordReader.h"
#include "host/UserImpersonation.h"

namespace traceapi {

inline constexpr char kHistoryMutexName[] = "Global\\VANTA_ALERT_HISTORY_FILE_MUTEX";
inline constexpr DWORD kHistoryMutexWaitMs = 30000;
inline constexpr char kHistorySettingsFolder[] = "Settings\\";
inline constexpr char kHistoryFileName[] = "AlertHistory.bin";
inline constexpr size_t kHistoryMaxRecords = 6;
inline constexpr DWORD kHistoryRecordSize = 1321;

// Where the history of the calling context lives, acting as its user while
// the object lives. A process running as "SYSTEM" uses the folder of HKLM
// "...\EvTrace\API\" "HistoryFilePath" when that is set, else the folder of
// the user at the console, resolved and used while impersonating that user
// (so the file is made with the user's rights; when nobody can be
// impersonated the service works as itself). Any other process uses its
// user's own folder.
class HistoryLocation {
public:
    explicit HistoryLocation(bool runningAsSystem);
    ~HistoryLocation();
    HistoryLocation(const HistoryLocation&) = delete;
    HistoryLocation& operator=(const HistoryLocation&) = delete;

    // The data folder (ends with a backslash); empty when none resolved.
    const std::string& Folder() const { return m_folder; }
    // The history file's path; empty when no folder resolved.
    std::string Path() const;
    // True while the thread acts as the console user.
    bool Impersonating() const { return m_impersonating; }

private:
    CUserImpersonation m_user;
    bool m_impersonating = false;
    std::string m_folder;
};

// The history mutex held for a scope. The wait ends after 30 s; the work
// goes on without the mutex then (a stuck holder must not stop alerts).
class HistoryMutexHold {
public:
    HistoryMutexHold();
    ~HistoryMutexHold();
    HistoryMutexHold(const HistoryMutexHold&) = delete;
    HistoryMutexHold& operator=(const HistoryMutexHold&) = delete;
    bool Owned() const { return m_owned; }

private:
    HANDLE m_mutex = nullptr;
    bool m_owned = false;
};

// The records of the history file whose codes are alert codes (every
// record when the set is empty), oldest first. S_OK; EVT_E_NOFILEACCESS
// when the file is missing, cannot be read, or ends within a record (the
// whole records before the end are listed then). unreadable (may be null)
// tells a file that exists and cannot be read now.
LONG ReadHistory(const std::string& path, const std::set<DWORD>& alertCodes, traceapi::RecordList* records,
                 bool* unreadable = nullptr);

// A history record of an event: a zero-filled 1,321-byte image with the
// time stamp, type, code, string A and flag of the event (fields beyond the
// event's delivered data stay zero). Freed with traceapi::FreeRecord.
_VANTA_EVTRACE_DATA* MakeHistoryRecord(const EVENT_TRACE& event);

// Appends the record to the history at path, keeping the five newest
// stored alert records before it (every stored record when the set of alert
// codes is empty), and replaces the file atomically; the caller holds the
// history mutex. The "Settings" folder is made when missing.
// ERROR_SUCCESS, or the status of the failure (the old file is then as it
// was).
DWORD AppendHistory(const std::string& path, const std::set<DWORD>& alertCodes, const _VANTA_EVTRACE_DATA& record);

// The event database's alert codes, as the consumer's alert list has them;
// empty when the database cannot be read.
std::set<DWORD> DatabaseAlertCodes();

}  // namespace traceapi
