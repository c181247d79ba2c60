#include "alerts/UnifiedLogFile.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "frame/Diagnostics.h"
#include "host/FolderPaths.h"

namespace traceapi {

namespace {

// Lines gathered beyond this are written at once.
constexpr size_t kBatchBytes = 64 * 1024;
constexpr ULONGLONG kRotationRetryMs = 1000;
constexpr ULONGLONG kTicksPerSecond = 10000000;

// Numbers the copies of the process's rotations: 0 at load.
std::atomic<ULONG> g_numberedCopies{0};

// The local date and time of one UTC second as the line writes it
// ("YYYYMMDD HH:MM:SS."), kept for the lines of that second: converting and
// formatting every line's time would cost more than writing the line.
struct LocalSecond {
    ULONGLONG utcSecond = ~0ULL;
    char text[18] = {};
};
thread_local LocalSecond t_second;

void PutDigits(char* to, unsigned value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        to[i] = char('0' + value % 10);
        value /= 10;
    }
}

// The 21 characters "YYYYMMDD HH:MM:SS.mmm" of a UTC time in local time.
void LocalStamp(const FILETIME& utc, char (&stamp)[21]) {
    const ULONGLONG ticks = (ULONGLONG(utc.dwHighDateTime) << 32) | utc.dwLowDateTime;
    const ULONGLONG second = ticks / kTicksPerSecond;
    if (second != t_second.utcSecond) {
        // The zone's rules for that moment (summer time or not then), not
        // the bias in force now as FileTimeToLocalFileTime takes it.
        const ULONGLONG whole = second * kTicksPerSecond;
        const FILETIME start = {DWORD(whole), DWORD(whole >> 32)};
        SYSTEMTIME utcStart = {}, local = {};
        if (!FileTimeToSystemTime(&start, &utcStart) || !SystemTimeToTzSpecificLocalTime(nullptr, &utcStart, &local))
            local = SYSTEMTIME{};
        char* t = t_second.text;
        PutDigits(t, local.wYear, 4);
        PutDigits(t + 4, local.wMonth, 2);
        PutDigits(t + 6, local.wDay, 2);
        t[8] = ' ';
        PutDigits(t + 9, local.wHour, 2);
        t[11] = ':';
        PutDigits(t + 12, local.wMinute, 2);
        t[14] = ':';
        PutDigits(t + 15, local.wSecond, 2);
        t[17] = '.';
        t_second.utcSecond = second;
    }
    memcpy(stamp, t_second.text, sizeof t_second.text);
    PutDigits(stamp + 18, unsigned((ticks % kTicksPerSecond) / 10000), 3);
}

// Appends texts to a line, up to its last character.
class LineWriter {
public:
    LineWriter(char* line, size_t capacity) : m_begin(line), m_next(line), m_end(line + capacity) {}
    void Put(const char* text) { Put(text, strnlen(text, size_t(m_end - m_next) + 1)); }
    void Put(const char* text, size_t length) {
        const size_t room = size_t(m_end - m_next);
        if (length > room) {
            length = room;
            m_cut = true;
        }
        memcpy(m_next, text, length);
        m_next += length;
    }
    bool Cut() const { return m_cut; }
    size_t Length() const { return size_t(m_next - m_begin); }

private:
    char* m_begin;
    char* m_next;
    char* m_end;
    bool m_cut = false;
};

}  // namespace

size_t FormatUnifiedLine(char (&line)[kUnifiedLineSize], const char* source, const FILETIME& utc, const char* level,
                         const char* text) {
    // "[%s :%04d%02d%02d %02d:%02d:%02d.%03d]: [%s] %s\r\n", written
    // piece by piece: a printf costs more than the rest of the line's way.
    char stamp[21];
    LocalStamp(utc, stamp);
    const size_t last = sizeof line - 1;  // 1,499 characters at most
    LineWriter out(line, last);
    out.Put("[", 1);
    out.Put(source);
    out.Put(" :", 2);
    out.Put(stamp, sizeof stamp);
    out.Put("]: [", 4);
    out.Put(level);
    out.Put("] ", 2);
    out.Put(text);
    out.Put("\r\n", 2);
    if (!out.Cut()) {
        line[out.Length()] = '\0';
        return out.Length();
    }
    // Cut at 1,499 characters, and still a line: the next one starts on a
    // line of its own.
    line[last - 2] = '\r';
    line[last - 1] = '\n';
    line[last] = '\0';
    return last;
}

UnifiedLogFile::UnifiedLogFile(const std::string& folder)
    : m_folder(folder), m_path(folder + kUnifiedLogName), m_backup(folder + kUnifiedLogBackupName) {
    if (m_path.size() > MAX_PATH - 1) m_path.resize(MAX_PATH - 1);
    if (m_backup.size() > MAX_PATH - 1) m_backup.resize(MAX_PATH - 1);
    // The log's folder is made below a configured installation folder (not
    // in whatever folder the process happens to work in).
    if (!folder.empty()) EnsureFolderExists(folder + "UnifiedLogging");
    Open(OpenKind::kStart);
}

UnifiedLogFile::~UnifiedLogFile() {
    Flush();
    Close();
}

void UnifiedLogFile::Open(OpenKind kind) {
    m_size = 0;
    m_file = CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (m_file != INVALID_HANDLE_VALUE) {
        LARGE_INTEGER size = {};
        GetFileSizeEx(m_file, &size);
        SetFilePointer(m_file, 0, nullptr, FILE_END);
        m_size = size.QuadPart > 0xFFFFFFFFLL ? 0xFFFFFFFF : DWORD(size.QuadPart);
        return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && kind != OpenKind::kQuiet) {
        OutputDebugStringA(kind == OpenKind::kStart ? "Server already running by another process" : "File create error");
    }
    m_file = CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (m_file == INVALID_HANDLE_VALUE && kind != OpenKind::kQuiet) OutputDebugStringA("Invalid handle");
}

void UnifiedLogFile::Close() {
    if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

void UnifiedLogFile::Append(const char* line, size_t length, bool numberedCopies) {
    // A failed write closed the log: the next line tries it again.
    if (m_reopen && m_file == INVALID_HANDLE_VALUE) {
        Open(OpenKind::kQuiet);
        m_reopen = m_file == INVALID_HANDLE_VALUE;
    }
    if (m_file == INVALID_HANDLE_VALUE) return;
    m_pending.insert(m_pending.end(), line, line + length);
    ++m_pendingLines;
    // The write that passes the limit is followed by the rotation.
    if (Size() > kUnifiedLogLimit) {
        Flush();
        if (m_file != INVALID_HANDLE_VALUE && m_size > kUnifiedLogLimit && GetTickCount64() >= m_nextRotationTick)
            Rotate(numberedCopies);
        return;
    }
    if (m_pending.size() >= kBatchBytes) Flush();
}

void UnifiedLogFile::Flush() {
    if (m_pending.empty()) return;
    const unsigned long long lines = m_pendingLines;
    m_pendingLines = 0;
    if (m_file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        const BOOL ok = WriteFile(m_file, m_pending.data(), DWORD(m_pending.size()), &written, nullptr);
        if (ok && written == m_pending.size()) {
            m_size += written;
            m_pending.clear();
            if (m_failureReported) {
                DebugOut("UnifiedLog - %s is written again; %llu line(s) were dropped meanwhile\n", m_path.c_str(),
                         m_dropped);
                m_failureReported = false;
                m_dropped = 0;
            }
            return;
        }
        const DWORD error = ok ? ERROR_HANDLE_DISK_FULL : GetLastError();
        // What part of the lines reached the file is taken back: the log
        // ends with a whole line.
        LARGE_INTEGER end;
        end.QuadPart = m_size;
        if (SetFilePointerEx(m_file, end, nullptr, FILE_BEGIN)) SetEndOfFile(m_file);
        if (!m_failureReported) {
            DebugOut("UnifiedLog - writing %s failed (error %lu): lines are dropped until it can be written\n",
                     m_path.c_str(), static_cast<unsigned long>(error));
            m_failureReported = true;
        }
        Close();
        m_reopen = true;
    }
    m_dropped += lines;
    m_pending.clear();
}

void UnifiedLogFile::Rotate(bool numberedCopies) {
    Close();
    if (numberedCopies) {
        char copy[MAX_PATH + 16];
        snprintf(copy, sizeof copy, "%s%lu.log", m_path.c_str(),
                 static_cast<unsigned long>(g_numberedCopies.fetch_add(1, std::memory_order_relaxed)));
        CopyFileA(m_path.c_str(), copy, TRUE);
    }
    // The rename replaces the backup and never loses the log: when it
    // fails, the log stays and grows on until the next try.
    if (!MoveFileExA(m_path.c_str(), m_backup.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DebugOut("UnifiedLog - rotating %s failed (error %lu): the log grows on and is rotated later\n",
                 m_path.c_str(), static_cast<unsigned long>(GetLastError()));
        m_nextRotationTick = GetTickCount64() + kRotationRetryMs;
    }
    Open(OpenKind::kRotation);
}

}  // namespace traceapi
