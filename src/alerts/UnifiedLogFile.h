// The unified log file: "UnifiedLogging\OrkanLog.log" below the suite's
// installation folder, appended one line per record, rotated after the
// write that takes it past 5 MiB: the log becomes "OrkanLog-Backup.log"
// (replacing the backup before it; the rename never loses the current
// lines), with a numbered copy "OrkanLog.log<n>.log" first when asked for.
//
// Lines are gathered while records keep coming and written in one write;
// Flush writes them before the thread sleeps, so every line handled is in
// the file by then. The file is opened for writing shared with readers
// only: a second process cannot write it.
//
// A write that fails (a full disk) drops the lines it carried, cuts the
// file back to its last whole line, reports once to the debugger output and
// closes the file; the next line reopens it, and logging goes on when the
// disk takes it again. A rotation whose rename fails keeps the log (it grows
// on) and is tried again a second later. Used by the unified-log thread
// only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace traceapi {

inline constexpr char kUnifiedLogName[] = "UnifiedLogging\\OrkanLog.log";
inline constexpr char kUnifiedLogBackupName[] = "UnifiedLogging\\OrkanLog-Backup.log";
inline constexpr DWORD kUnifiedLogLimit = 5242880;
inline constexpr size_t kUnifiedLineSize = 1500;

// The line of a record: "[source :YYYYMMDD HH:MM:SS.mmm]: [LEVEL] text\r\n"
// in local time, cut at 1,499 characters. Returns its length.
size_t FormatUnifiedLine(char (&line)[kUnifiedLineSize], const char* source, const FILETIME& utc, const char* level,
                         const char* text);

class UnifiedLogFile {
public:
    // folder: the installation folder ("InstallDir", ending with a
    // backslash), or empty for the working folder. Opens the log.
    explicit UnifiedLogFile(const std::string& folder);
    ~UnifiedLogFile();
    UnifiedLogFile(const UnifiedLogFile&) = delete;
    UnifiedLogFile& operator=(const UnifiedLogFile&) = delete;

    // Adds a line (length up to its first zero). numberedCopies: the
    // status's bit 31, read at each rotation.
    void Append(const char* line, size_t length, bool numberedCopies);
    // Writes the lines gathered.
    void Flush();

    bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }
    const std::string& Path() const { return m_path; }
    // Running size: bytes written to the current log and pending.
    DWORD Size() const { return m_size + DWORD(m_pending.size()); }

private:
    // Opens the existing log at its end or makes it; the debugger texts of
    // a start (firstOpen) or of a rotation, or none (quiet, a reopen after
    // a failed write).
    enum class OpenKind { kStart, kRotation, kQuiet };
    void Open(OpenKind kind);
    void Close();
    void Rotate(bool numberedCopies);

    std::string m_folder;
    std::string m_path;
    std::string m_backup;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    DWORD m_size = 0;  // bytes in the file
    std::vector<char> m_pending;
    unsigned long long m_pendingLines = 0;
    bool m_reopen = false;           // a write failed: reopen at the next line
    bool m_failureReported = false;  // one report per failing stretch
    unsigned long long m_dropped = 0;
    ULONGLONG m_nextRotationTick = 0;  // after a failed rotation
};

}  // namespace traceapi
