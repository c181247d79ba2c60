// The event-viewer CSV logger's files: the day file, its rows and its
// roll-over to numbered names.
//
// A day file never exists without its header: it is made aside (header
// written and flushed) and renamed into place, so a failure or a crash
// leaves either no day file or one with its header. Rows are appended with
// one write per batch; a write that fails part-way is cut back to the size
// the file had before it, so a row is whole or absent. What a failure leaves
// unwritten goes back to the logger, which writes it ahead of the next batch.
#include "listener/EvWEVLog.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "frame/ReplacingFile.h"
#include "providers/EvTextLog.h"

namespace traceapi {
namespace {

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
}

}  // namespace

namespace wevlog {

std::string DateText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%4d_%2d_%2d", now.wYear, now.wMonth, now.wDay);
    return text;
}

bool CreateFolderPath(const std::string& folder) {
    if (folder.empty()) return false;
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD error = ERROR_SUCCESS;
    for (size_t i = 1; i <= folder.size(); ++i) {
        if (i < folder.size() && folder[i] != '\\' && folder[i] != '/') continue;
        const std::string part = folder.substr(0, i);
        if (part.size() == 2 && part[1] == ':') continue;  // a drive
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) error = GetLastError();
    }
    attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_DIRECTORY);
    return false;
}

}  // namespace wevlog
}  // namespace traceapi

namespace wevlog = traceapi::wevlog;

void CEvWEVLogQueue::State::Fail(CEvWEVLogQueue& q, const char* what, const char* path, DWORD error) {
    char text[MAX_PATH + 128];
    snprintf(text, sizeof text, "cannot %s %s (error %lu)", what, path, static_cast<unsigned long>(error));
    q.m_pState->failure = text;
}

HANDLE CEvWEVLogQueue::CreateWEVLogFile(int& bExisted, char* pszFileName, char* pszBaseName, char* pszDate) {
    if (pszFileName == nullptr || pszBaseName == nullptr || pszDate == nullptr) return nullptr;
    bExisted = 0;
    pszFileName[0] = '\0';
    snprintf(pszDate, MAX_PATH, "%s", wevlog::DateText().c_str());
    // The folder of the base name: the log folder while logging is on, and
    // still the last one when records pending at switching off go out.
    std::string folder(m_szLogBase);
    folder.resize(folder.find_last_of('\\') == std::string::npos ? 0 : folder.find_last_of('\\'));
    const bool folderMade = wevlog::CreateFolderPath(folder);
    const DWORD folderError = folderMade ? ERROR_SUCCESS : GetLastError();
    const int baseLength = snprintf(pszBaseName, MAX_PATH, "%s_%s", m_szLogBase, pszDate);
    const int nameLength = snprintf(pszFileName, MAX_PATH, "%s_%s.csv", m_szLogBase, pszDate);
    if (baseLength >= MAX_PATH || nameLength >= MAX_PATH) {
        pszFileName[0] = '\0';
        State::Fail(*this, "name a log file in", folder.c_str(), ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    if (GetFileAttributesA(pszFileName) != INVALID_FILE_ATTRIBUTES) {
        bExisted = 1;
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    if (!folderMade) {
        State::Fail(*this, "create the log folder", folder.c_str(), folderError);
        return INVALID_HANDLE_VALUE;
    }

    std::string header;
    if (!traceapi::FormatBuiltInLogHeader(&header)) {
        State::Fail(*this, "load the column titles for", pszFileName, ERROR_RESOURCE_NAME_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string temp = traceapi::TemporaryNameBeside(pszFileName);
    HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        State::Fail(*this, "create", temp.c_str(), GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    const bool written = traceapi::WriteAll(file, header) && FlushFileBuffers(file);
    const DWORD writeError = written ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (!written) {
        DeleteFileA(temp.c_str());
        State::Fail(*this, "write the header of", pszFileName, writeError);
        return INVALID_HANDLE_VALUE;
    }
    if (!MoveFileA(temp.c_str(), pszFileName)) {
        const DWORD error = GetLastError();
        DeleteFileA(temp.c_str());
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
            bExisted = 1;  // made by someone else meanwhile: appended to
            SetLastError(ERROR_FILE_EXISTS);
        } else {
            State::Fail(*this, "put in place", pszFileName, error);
        }
        return INVALID_HANDLE_VALUE;
    }
    file = CreateFileA(pszFileName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        State::Fail(*this, "open", pszFileName, GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    m_dwNextRow = 1;
    return file;
}

BOOL CEvWEVLogQueue::WriteNewEventsToWEVLogFile(HANDLE hFile, RecordList* pList, int from, int to) {
    if (pList == nullptr) return FALSE;
    if (to > int(pList->size())) to = int(pList->size());
    std::string rows;
    traceapi::LogRowFormatter formatter;
    DWORD row = m_dwNextRow;
    for (int i = from < 0 ? 0 : from; i < to; ++i) {
        const _VANTA_EVTRACE_DATA* record = (*pList)[size_t(i)];
        if (record == nullptr) continue;
        if (!formatter.Append(row, *record, &rows)) {
            State::Drop(*this, 1);  // a time stamp no calendar holds: it never will
            continue;
        }
        ++row;
    }
    if (rows.empty()) return TRUE;

    State& s = *m_pState;
    LARGE_INTEGER zero = {}, before = {};
    if (!SetFilePointerEx(hFile, zero, &before, FILE_END)) {
        State::Fail(*this, "find the end of", s.writingFile.c_str(), GetLastError());
        return FALSE;
    }
    DWORD written = 0;
    if (WriteFile(hFile, rows.data(), DWORD(rows.size()), &written, nullptr) && written == rows.size()) {
        m_dwNextRow = row;
        return TRUE;
    }
    const DWORD error = GetLastError();
    // Cut back what got out: the rows go again with the next batch.
    LARGE_INTEGER after = {};
    if (written > 0 && !(SetFilePointerEx(hFile, before, nullptr, FILE_BEGIN) && SetEndOfFile(hFile))) {
        s.tornFile = s.writingFile;
        s.tornGoodSize = before.QuadPart;
        s.tornBadSize = before.QuadPart + LONGLONG(written);
        if (SetFilePointerEx(hFile, zero, &after, FILE_END)) s.tornBadSize = after.QuadPart;
    }
    State::Fail(*this, "write to", s.writingFile.c_str(), error);
    return FALSE;
}

// A write that could not be cut back at once is cut back before the next
// one, unless the file changed since (then someone else wrote to it).
void CEvWEVLogQueue::State::RepairTornFile(CEvWEVLogQueue& q) {
    State& s = *q.m_pState;
    if (s.tornFile.empty()) return;
    HANDLE file = CreateFileA(s.tornFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) s.tornFile.clear();
        return;
    }
    LARGE_INTEGER size = {}, good = {};
    good.QuadPart = s.tornGoodSize;
    if (!GetFileSizeEx(file, &size) || size.QuadPart != s.tornBadSize ||
        (SetFilePointerEx(file, good, nullptr, FILE_BEGIN) && SetEndOfFile(file))) {
        s.tornFile.clear();
    }
    CloseHandle(file);
}

size_t CEvWEVLogQueue::State::WriteList(CEvWEVLogQueue& q, const RecordList& records) {
    State& s = *q.m_pState;
    RecordList& list = const_cast<RecordList&>(records);  // the writers read it only
    const size_t count = list.size();
    if (count == 0) return 0;
    s.failure.clear();
    RepairTornFile(q);

    char file[MAX_PATH], base[MAX_PATH], date[MAX_PATH];
    int existed = 0;
    HANDLE h = q.CreateWEVLogFile(existed, file, base, date);
    if (file[0] != '\0') snprintf(q.m_szCurrentFile, MAX_PATH, "%s", file);
    s.writingFile = file;
    if (h != INVALID_HANDLE_VALUE) {
        // A new day file takes the whole list, whatever its size.
        m_iCount = 1;
        const BOOL ok = q.WriteNewEventsToWEVLogFile(h, &list, 0, int(count));
        CloseHandle(h);
        return ok ? count : 0;
    }
    if (!existed) return 0;

    const DWORD attributes = GetFileAttributesA(file);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        Fail(q, "append to", file, ERROR_ACCESS_DENIED);  // not a regular file: never written to
        return 0;
    }
    h = CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Fail(q, "open for appending", file, GetLastError());
        return 0;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(h, &size)) size.QuadPart = 0;
    // The estimate decides what still fits (64-bit: no sum wraps).
    size_t fit = 0;
    ULONGLONG total = ULONGLONG(size.QuadPart);
    while (fit < count) {
        total += q.GetElementSize(&list, int(fit));
        if (total >= q.m_dwMaxFileSize) break;
        ++fit;
    }
    if (fit > 0 && !q.WriteNewEventsToWEVLogFile(h, &list, 0, int(fit))) {
        CloseHandle(h);
        return 0;
    }
    CloseHandle(h);
    if (fit == count) return count;

    if (!RollOver(q, date)) return fit;
    h = q.CreateWEVLogFile(existed, file, base, date);
    if (file[0] != '\0') snprintf(q.m_szCurrentFile, MAX_PATH, "%s", file);
    s.writingFile = file;
    if (h == INVALID_HANDLE_VALUE) return fit;
    const BOOL ok = q.WriteNewEventsToWEVLogFile(h, &list, int(fit), int(count));
    CloseHandle(h);
    return ok ? count : fit;
}

// Moves the day file of `date` to the next free "@<n>" name. The counter
// moves past every name taken and the one used, so the next roll-over
// starts at a free one.
bool CEvWEVLogQueue::State::RollOver(CEvWEVLogQueue& q, const char* date) {
    char day[MAX_PATH], target[MAX_PATH];
    if (snprintf(day, sizeof day, "%s_%s.csv", q.m_szLogBase, date) >= MAX_PATH) return false;
    constexpr int kMaxNamesTried = 100000;
    for (int attempt = 0; attempt < kMaxNamesTried; ++attempt) {
        if (snprintf(target, sizeof target, "%s_%s@%d.csv", q.m_szLogBase, date, m_iCount) >= MAX_PATH) {
            Fail(q, "name a rolled-over file for", day, ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        const bool moved = MoveFileA(day, target);
        const DWORD error = moved ? ERROR_SUCCESS : GetLastError();
        if (!moved && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            Fail(q, "roll over", day, error);  // the number stays free for the next try
            return false;
        }
        m_iCount = m_iCount < INT_MAX ? m_iCount + 1 : 1;
        if (moved) return true;
    }
    Fail(q, "find a free rolled-over name for", day, ERROR_ALREADY_EXISTS);
    return false;
}
