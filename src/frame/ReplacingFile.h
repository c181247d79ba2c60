// Files written for people (logs, exports, the alert history) are never
// written over in place: the content goes to a temporary file beside the
// target, which is flushed and renamed over the target only when all of it
// was written. A failure at any point leaves the old file exactly as it was;
// a crash leaves at most a stray temporary file, never a torn or empty
// target. Nothing but our own temporary file is ever deleted.
//
// A target that is a device (a character device, a pipe) is written in
// place: it has no content to keep and cannot be replaced. A folder is
// refused (ERROR_ACCESS_DENIED, as CreateFile does for one).
#pragma once

#include <windows.h>

#include <string>

namespace traceapi {

// A name beside target for a file made aside: unique within the machine
// (process id and a per-process counter), ending in ".tmp", so that no
// pattern of a log's own names takes one for a log. Created with
// CREATE_NEW, it never opens a file someone else made.
std::string TemporaryNameBeside(const std::string& target);

// When the new name of a committed file reaches the disk. The content is
// flushed before the rename either way, so the target is always whole, the
// old file or the new one.
enum class RenameFlush {
    // The folder is flushed before Commit returns (MOVEFILE_WRITE_THROUGH):
    // the new file survives a power cut from then on.
    Now,
    // The rename is left to the file system's own commit of its journal,
    // within seconds: until then a power cut brings back the old file. For
    // a file rewritten on a path someone waits on.
    Lazy,
};

class ReplacingFile {
public:
    explicit ReplacingFile(LPCSTR target) : m_target(target != nullptr ? target : "") {}
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile() { Abandon(); }

    // Opens the temporary file (or the device). ERROR_SUCCESS, or the
    // Win32 status of the failure.
    DWORD Open();

    // The open file, for callers that write through their own helpers.
    HANDLE Handle() const { return m_file; }

    // Writes all of size bytes. ERROR_SUCCESS, or the Win32 status.
    DWORD Write(const void* data, DWORD size);

    // Flushes and closes the temporary file and renames it over the target.
    // On failure the temporary file is removed and the target is untouched.
    DWORD Commit(RenameFlush flush = RenameFlush::Now);

    // Closes and removes the temporary file; the target is untouched.
    void Abandon();

private:
    std::string m_target;
    std::string m_temp;  // empty when writing a device in place
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

}  // namespace traceapi
