// The copy, move and delete rules of the event-viewer logs, run by the
// batch worker after every batch (under m_csLog).
//
// The rules take the log files of the log folder: names that end like the
// logger's day files ("_yyyy_mm_dd.csv") or rolled-over files
// ("_yyyy_mm_dd@n.csv"), whatever their base name, so the logs of every user
// writing to the folder are kept in check while other CSV files that happen
// to lie there are never copied, moved or deleted. The current day file is
// never touched. Copies are made aside in the destination folder, flushed
// and renamed over the target; a move deletes its source only after that,
// so a failure or a crash leaves both files, never neither. Ages count from
// the creation time; a file from the future (the clock was set back) is
// zero days old.
#include "listener/EvWEVLog.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "frame/ReplacingFile.h"
#include "host/UserImpersonation.h"

namespace {

constexpr LONGLONG kDay = 864000000000LL;  // 100-ns units

struct LogFile {
    std::string path;
    std::string name;
    ULONGLONG size = 0;
    FILETIME created = {};
};

LONGLONG AsInteger(const FILETIME& time) {
    return LONGLONG((ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool DigitOrSpace(char c) { return Digit(c) || c == ' '; }

// "_yyyy_mm_dd" with month and day padded by a space or a zero.
bool DatePart(const char* p) {
    return p[0] == '_' && Digit(p[1]) && Digit(p[2]) && Digit(p[3]) && Digit(p[4]) && p[5] == '_' &&
           DigitOrSpace(p[6]) && Digit(p[7]) && p[8] == '_' && DigitOrSpace(p[9]) && Digit(p[10]);
}

bool EndsWithCsv(const std::string& name, size_t at) {
    return name.size() == at + 4 && lstrcmpiA(name.c_str() + at, ".csv") == 0;
}

// A day file or a rolled-over file, by its name.
bool IsLogFileName(const std::string& name) {
    constexpr size_t kDate = 11;
    for (size_t at = 0; at + kDate <= name.size(); ++at) {
        if (!DatePart(name.c_str() + at)) continue;
        size_t end = at + kDate;
        if (EndsWithCsv(name, end)) return true;
        if (end < name.size() && name[end] == '@') {
            size_t digits = end + 1;
            while (digits < name.size() && Digit(name[digits])) ++digits;
            if (digits > end + 1 && EndsWithCsv(name, digits)) return true;
        }
    }
    return false;
}

// Full names are compared as the file system does: without regard to case.
bool SameFile(const std::string& a, const char* b) { return b[0] != '\0' && lstrcmpiA(a.c_str(), b) == 0; }

bool SameFolder(const char* a, const char* b) {
    char fullA[MAX_PATH], fullB[MAX_PATH];
    if (GetFullPathNameA(a, MAX_PATH, fullA, nullptr) == 0 || GetFullPathNameA(b, MAX_PATH, fullB, nullptr) == 0)
        return lstrcmpiA(a, b) == 0;
    size_t na = strlen(fullA), nb = strlen(fullB);
    while (na > 0 && (fullA[na - 1] == '\\' || fullA[na - 1] == '/')) fullA[--na] = '\0';
    while (nb > 0 && (fullB[nb - 1] == '\\' || fullB[nb - 1] == '/')) fullB[--nb] = '\0';
    return lstrcmpiA(fullA, fullB) == 0;
}

// The log files of a folder, the current day file left out unless asked for.
std::vector<LogFile> LogFilesOf(const char* folder, const char* current, bool withCurrent) {
    std::vector<LogFile> files;
    if (folder == nullptr || folder[0] == '\0') return files;  // never the root of a drive by accident
    const std::string prefix = std::string(folder) + "\\";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((prefix + "*.csv").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
        if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) continue;
        if (!IsLogFileName(found.cFileName)) continue;
        LogFile file;
        file.name = found.cFileName;
        file.path = prefix + found.cFileName;
        if (!withCurrent && SameFile(file.path, current)) continue;
        file.size = (ULONGLONG(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        file.created = found.ftCreationTime;
        files.push_back(std::move(file));
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return files;
}

// Whole days since creation, truncated; 0 for a file from the future.
LONGLONG AgeInDays(const LogFile& file, LONGLONG now) {
    const LONGLONG age = now - AsInteger(file.created);
    return age <= 0 ? 0 : age / kDay;
}

LONGLONG NowUtc() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return AsInteger(now);
}

bool Unchanged(const WIN32_FILE_ATTRIBUTE_DATA& source, const std::string& target) {
    WIN32_FILE_ATTRIBUTE_DATA copy;
    if (!GetFileAttributesExA(target.c_str(), GetFileExInfoStandard, &copy)) return false;
    return !(copy.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && copy.nFileSizeHigh == source.nFileSizeHigh &&
           copy.nFileSizeLow == source.nFileSizeLow &&
           CompareFileTime(&copy.ftLastWriteTime, &source.ftLastWriteTime) == 0;
}

// Copies a file over target: written aside, flushed, renamed into place,
// keeping the source's last-write time. A copy that a finished earlier copy
// already matches (same size and last-write time) is not made again unless
// `always` (a move deletes its source on the strength of it).
bool CopyAside(const std::string& source, const std::string& target, bool always) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExA(source.c_str(), GetFileExInfoStandard, &info)) return false;
    if (!always && Unchanged(info, target)) return true;
    HANDLE in = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE) return false;
    traceapi::ReplacingFile out(target.c_str());
    bool ok = out.Open() == ERROR_SUCCESS;
    std::vector<char> buffer(64 * 1024);
    while (ok) {
        DWORD read = 0;
        if (!ReadFile(in, buffer.data(), DWORD(buffer.size()), &read, nullptr)) ok = false;
        if (!ok || read == 0) break;
        ok = out.Write(buffer.data(), read) == ERROR_SUCCESS;
    }
    CloseHandle(in);
    return ok && SetFileTime(out.Handle(), nullptr, nullptr, &info.ftLastWriteTime) &&
           out.Commit() == ERROR_SUCCESS;
}

}  // namespace

namespace wevlog = traceapi::wevlog;

// The copies, moves and deletions are done as the user at the console (the
// folders are the user's), the folder's size is taken as the process.
void CEvWEVLogQueue::CheckForCopyAndDelete() {
    m_csLog.EnterCritSecLogQueue();
    if (m_bCopy) {
        traceapi::ConsoleUserScope consoleUser;
        if (m_bCopyEveryBatch) {
            CopyWEVLogFiles(m_szLogFolder, m_szCopyFolder, 0);
        } else if (m_dwCopyDays != 0) {
            MonitorForCopyDate(m_szLogFolder, m_szCopyFolder);
        }
    }
    if (m_bDeleteRules == 1) {
        if (m_bMove == 1) {
            traceapi::ConsoleUserScope consoleUser;
            CopyWEVLogFiles(m_szLogFolder, m_szCopyFolder, 1);
        }
        if (m_bDeleteBySize == 1 && CalculateFolderSize(m_szLogFolder, m_dwFolderSizeLimit) >= m_dwFolderSizeLimit) {
            traceapi::ConsoleUserScope consoleUser;
            DeleteWEVLogFiles(m_szLogFolder);
        }
        if (m_bDeleteByDate == 1) {
            traceapi::ConsoleUserScope consoleUser;
            MonitorForDeleteDate(m_szLogFolder);
        }
    }
    m_csLog.LeaveCritSecLogQueue();
}

DWORD CEvWEVLogQueue::CalculateFolderSize(const char* pszFolder, DWORD dwLimit) {
    ULONGLONG total = 0;
    for (const LogFile& file : LogFilesOf(pszFolder, m_szCurrentFile, true)) {
        total += file.size;
        if (total >= dwLimit) break;
    }
    return total > 0xFFFFFFFFull ? 0xFFFFFFFFu : DWORD(total);
}

// Copying into the log folder itself would replace each file by itself, and
// a move would then delete it: such a copy folder is ignored.
int CEvWEVLogQueue::CopyWEVLogFiles(const char* pszSource, const char* pszDestination, int bDelete) {
    if (pszDestination == nullptr || pszDestination[0] == '\0' || SameFolder(pszSource, pszDestination)) return 0;
    const std::vector<LogFile> files = LogFilesOf(pszSource, m_szCurrentFile, false);
    if (files.empty()) return 0;
    if (!wevlog::CreateFolderPath(pszDestination)) return 0;
    int result = 0;
    for (const LogFile& file : files) {
        result = CopyAside(file.path, std::string(pszDestination) + "\\" + file.name, bDelete == 1) ? 1 : 0;
        if (result && bDelete == 1) DeleteFileA(file.path.c_str());
    }
    return result;
}

int CEvWEVLogQueue::DeleteWEVLogFiles(const char* pszFolder) {
    if (m_szCopyFolder[0] != '\0') wevlog::CreateFolderPath(m_szCopyFolder);
    int deleted = 0;
    for (const LogFile& file : LogFilesOf(pszFolder, m_szCurrentFile, false)) {
        if (DeleteFileA(file.path.c_str())) ++deleted;
    }
    return deleted;
}

int CEvWEVLogQueue::MonitorForCopyDate(const char* pszSource, const char* pszDestination) {
    if (pszDestination == nullptr || pszDestination[0] == '\0' || SameFolder(pszSource, pszDestination)) return 0;
    const LONGLONG now = NowUtc();
    const std::vector<LogFile> files = LogFilesOf(pszSource, m_szCurrentFile, false);
    if (files.empty() || !wevlog::CreateFolderPath(pszDestination)) return 0;
    for (const LogFile& file : files) {
        if (AgeInDays(file, now) < LONGLONG(m_dwCopyDays)) continue;
        const bool copied = CopyAside(file.path, std::string(pszDestination) + "\\" + file.name, m_bMove != 0);
        if (copied && m_bMove) DeleteFileA(file.path.c_str());
    }
    return 0;
}

int CEvWEVLogQueue::MonitorForDeleteDate(const char* pszFolder) {
    const LONGLONG now = NowUtc();
    for (const LogFile& file : LogFilesOf(pszFolder, m_szCurrentFile, false)) {
        if (AgeInDays(file, now) >= LONGLONG(m_dwDeleteDays)) DeleteFileA(file.path.c_str());
    }
    return 0;
}
