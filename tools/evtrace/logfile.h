// Binary event logs as evtrace checks and appends them itself: header word 4,
// version word 0x00010000, the record count, then per record a u32 length
// and the record image (the library's format, which CreateLogFile writes).
//
// The library reads a file that is no log as an empty one, and refuses a
// log cut short as a whole; the tool looks first, to say which it is and to
// show the whole records of a log that was cut.
#pragma once

#include <TraceApi.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace evtrace {

struct EventLog {
    ULONG announced = 0;          // the count in the header
    size_t read = 0;              // records read whole
    bool cut = false;             // the file ends inside a record
    size_t skipped = 0;           // records the reader skips: impossible lengths, too short
    unsigned long long extra = 0; // bytes after the announced records
    // The whole records, made safe as the library makes them: room for the
    // fixed part, dwDataLen within the data, zeros after it.
    std::vector<std::vector<BYTE>> records;

    bool sound() const { return !cut && skipped == 0 && extra == 0; }
    // What is wrong, in words, with what became of the whole records
    // ("shown", "written"); empty when sound.
    std::string Damage(const char* done) const;
};

// Reads a binary event log. Ends the command when the file is missing
// (not found) or is not an event log (bad data), saying what it is.
EventLog ReadEventLog(const std::string& path);

// A binary or comma-separated log written as events arrive: a new file (an
// existing one is never written over), readable at every moment. The
// binary count is fixed up after each record, so a log cut by a kill reads
// as the records before the cut.
class LogAppender {
public:
    // Checks and creates the file; ends the command when it cannot.
    LogAppender(const std::string& path, bool csv);
    LogAppender(const LogAppender&) = delete;
    LogAppender& operator=(const LogAppender&) = delete;
    ~LogAppender();

    // False once a write has failed; error() then says why, and nothing
    // more is written.
    bool Append(const _VANTA_EVTRACE_DATA& record);
    // Flushes to disk; false when that failed.
    bool Close();

    unsigned long long count() const { return count_; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    bool WriteAll(const void* data, size_t size);

    std::string path_;
    bool csv_;
    int fd_ = -1;
    unsigned long long count_ = 0;
    std::string error_;
};

}  // namespace evtrace
