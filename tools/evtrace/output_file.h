// Files evtrace reads whole, and files it writes for people.
//
// Inputs are size-checked before they are read. Outputs are checked before
// any work starts (a missing or read-only folder is reported at once, not
// after a long watch), written to a temporary file beside the target,
// flushed and renamed over it only when all of it was written, so a failure
// leaves an older file exactly as it was. A link is followed (the file it
// names is replaced, the link stays); a device or pipe is written in place;
// a folder is refused. Nothing but our own temporary file is ever unlinked.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace evtrace {

struct OutputTarget {
    std::string path;      // where to write: links resolved
    bool exists = false;   // a regular file is there (its mode is kept)
    bool device = false;   // a device, pipe or socket: written in place
    mode_t mode = 0644;
};

// Checks that path can be written as a whole new file; ends the command with
// the reason (the object is what the option calls it, e.g. "output").
OutputTarget CheckOutput(const std::string& path);

class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the temporary file unless committed; the target is untouched.
    ~OutputFile();

    const OutputTarget& target() const { return target_; }
    void Write(std::string_view bytes);
    // Flushes and renames into place; ends the command on failure.
    void Commit();

private:
    [[noreturn]] void Failed(int error);

    OutputTarget target_;
    std::string temp_;
    int fd_ = -1;
};

// Reads a whole input file ("-": standard input) of at most limit bytes;
// ends the command when it is missing, a folder, larger, or unreadable.
std::string ReadInputFile(const std::string& path, size_t limit);

// The words for a failed write of target, and that it was left as it was.
[[noreturn]] void FailWrite(const std::string& target, int error, bool untouched);

}  // namespace evtrace
