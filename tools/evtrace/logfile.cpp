#include "logfile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "command.h"
#include "event_text.h"
#include "output_file.h"

namespace evtrace {

namespace {

constexpr ULONG kHeaderWord = 4;
constexpr ULONG kVersionWord = 0x00010000;
constexpr ULONG kNoRecords = 0xFFFFFFFF;
// The reader of the library skips stored records this long, or empty ones.
constexpr ULONG kMaxStoredRecord = 0x500000;
constexpr unsigned long long kMaxLogBytes = 1ull << 30;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};

// Bytes to show of a file's start when saying what it is not.
std::string Opening(const BYTE* bytes, size_t size) {
    std::string hex;
    for (size_t i = 0; i < size && i < 8; ++i) hex += fmt::format("{}{:02x}", i ? " " : "", bytes[i]);
    return hex;
}

// A CSV row as CreateLogFile writes it (the event viewer's columns).
std::string CsvRow(unsigned long long row, const _VANTA_EVTRACE_DATA& r) {
    auto field = [](const char* s, size_t size) {
        std::string text(s, strnlen(s, size));
        return text.empty() ? std::string("Not Specified") : text;
    };
    FILETIME local;
    SYSTEMTIME t = {};
    if (!FileTimeToLocalFileTime(&r.ftTimeStamp, &local) || !FileTimeToSystemTime(&local, &t)) t = {};
    constexpr size_t kMaxText = 1023;
    const char* data = reinterpret_cast<const char*>(r.Data);
    size_t n = strnlen(data, std::min<size_t>(r.dwDataLen, kMaxText));
    std::string text = n >= kMaxText ? std::string(data, kMaxText - 3) + "..." : std::string(data, n);
    return fmt::format("{},{},{:02}/{:02}/{} {:02}:{:02}:{:02},{},{},{},{}\r\n", row,
                       field(r.szSource, sizeof r.szSource), t.wMonth, t.wDay, t.wYear, t.wHour, t.wMinute, t.wSecond,
                       SeverityName(r.dwEventCode), DomainName(r.dwEventCode),
                       field(r.szUserName, sizeof r.szUserName), text);
}

}  // namespace

std::string EventLog::Damage(const char* done) const {
    std::string words;
    if (cut) {
        words = fmt::format("cut short after record {} of {}: the {} whole record{} {} {}", read, announced, read,
                            read == 1 ? "" : "s", read == 1 ? "is" : "are", done);
    }
    if (skipped != 0) {
        words += fmt::format("{}{} record{} had an impossible length and {} skipped", words.empty() ? "" : "; ",
                             skipped, skipped == 1 ? "" : "s", skipped == 1 ? "was" : "were");
    }
    if (extra != 0) {
        words += fmt::format("{}{} byte{} after the last record {} ignored (a record cut while it was written?)",
                             words.empty() ? "" : "; ", extra, extra == 1 ? "" : "s", extra == 1 ? "was" : "were");
    }
    return words;
}

EventLog ReadEventLog(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) Fail(exit_code::kNotFound, path, "does not exist");
        Fail(errno == EACCES ? exit_code::kDenied : exit_code::kFailed, path, strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) Fail(exit_code::kBadData, path, "is a folder, not an event log");
    // Logs are read whole, here and by the library.
    if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > kMaxLogBytes)
        Fail(exit_code::kBadData, path, fmt::format("is {} bytes long; logs of at most {} are read", st.st_size,
                                                     kMaxLogBytes));
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rbe"));
    if (!file) Fail(errno == EACCES ? exit_code::kDenied : exit_code::kFailed, path, strerror(errno));

    EventLog log;
    BYTE header[12];
    size_t got = fread(header, 1, sizeof header, file.get());
    ULONG words[3] = {};
    memcpy(words, header, std::min(got, sizeof header));
    if (got < sizeof header) {
        Fail(exit_code::kBadData, path,
             got == 0 ? "is empty, not an event log"
                      : fmt::format("is not an event log: {} bytes, shorter than a log's header", got),
             "an event log is written by `evtrace log export`, `evtrace watch --save` or the library");
    }
    if (words[0] != kHeaderWord || words[1] != kVersionWord) {
        Fail(exit_code::kBadData, path,
             fmt::format("is not an event log: it starts with {}, where a log starts with 04 00 00 00 00 00 01 00",
                         Opening(header, got)),
             "an event log is written by `evtrace log export`, `evtrace watch --save` or the library");
    }
    log.announced = words[2];
    if (log.announced == kNoRecords) log.announced = 0;
    unsigned long long consumed = sizeof header;
    for (ULONG i = 0; i < log.announced; ++i) {
        ULONG length = 0;
        size_t n = fread(&length, 1, sizeof length, file.get());
        if (n == 0) break;  // fewer records than announced: a list with empty places
        if (n < sizeof length) {
            log.cut = true;
            break;
        }
        if (length == 0 || length >= kMaxStoredRecord) {
            ++log.skipped;
            continue;
        }
        // A pipe or device has no size to check beforehand.
        consumed += sizeof length + length;
        if (consumed > kMaxLogBytes)
            Fail(exit_code::kBadData, path, fmt::format("holds more than {} bytes", kMaxLogBytes));
        const size_t capacity = std::max<size_t>(length, EVT_RECORD_FIXED_SIZE) + EVT_RECORD_TAIL_SIZE + 1;
        std::vector<BYTE> bytes(capacity, 0);
        if (fread(bytes.data(), 1, length, file.get()) != length) {
            log.cut = true;
            break;
        }
        if (length < EVT_RECORD_FIXED_SIZE) {
            ++log.skipped;
            continue;
        }
        auto* record = reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes.data());
        const ULONG carried = length - EVT_RECORD_FIXED_SIZE;
        if (record->dwDataLen > carried) record->dwDataLen = carried;
        BYTE* tail = record->Data + record->dwDataLen;
        memset(tail, 0, bytes.size() - size_t(tail - bytes.data()));
        log.records.push_back(std::move(bytes));
        ++log.read;
    }
    if (!log.cut) {
        char rest[4096];
        while ((got = fread(rest, 1, sizeof rest, file.get())) > 0) log.extra += got;
    }
    if (ferror(file.get())) Fail(exit_code::kFailed, path, "cannot be read: " + std::string(strerror(errno)));
    return log;
}

LogAppender::LogAppender(const std::string& path, bool csv) : csv_(csv) {
    OutputTarget target = CheckOutput(path);
    if (target.exists || target.device) {
        Fail(exit_code::kUsage, path,
             target.device ? "is not a regular file: a log written as events arrive needs a new file"
                           : "exists: a log written as events arrive is a new file, never one written over",
             "choose a new name, or remove the old file first");
    }
    path_ = target.path;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) FailWrite(path_, errno, true);
    bool ok;
    if (csv_) {
        static const char kHeader[] = "#Event,Source,Time,Error Severity,Domain,User,Description\r\n";
        ok = WriteAll(kHeader, sizeof kHeader - 1);
    } else {
        const ULONG header[3] = {kHeaderWord, kVersionWord, 0};
        ok = WriteAll(header, sizeof header);
    }
    if (!ok) {
        // Our own file, just made: it goes again.
        ::close(fd_);
        fd_ = -1;
        ::unlink(path_.c_str());
        Fail(exit_code::kFailed, path_, "cannot be written: " + error_);
    }
}

LogAppender::~LogAppender() { Close(); }

bool LogAppender::WriteAll(const void* data, size_t size) {
    const BYTE* next = static_cast<const BYTE*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_, next, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? strerror(errno) : "nothing written";
            return false;
        }
        next += n;
        size -= size_t(n);
    }
    return true;
}

bool LogAppender::Append(const _VANTA_EVTRACE_DATA& record) {
    if (fd_ < 0 || !error_.empty()) return false;
    bool ok;
    if (csv_) {
        std::string row = CsvRow(count_ + 1, record);
        ok = WriteAll(row.data(), row.size());
    } else {
        const ULONG length = EVT_RECORD_FIXED_SIZE + record.dwDataLen + EVT_RECORD_TAIL_SIZE;
        std::vector<BYTE> bytes(sizeof length + length);
        memcpy(bytes.data(), &length, sizeof length);
        memcpy(bytes.data() + sizeof length, &record, length);
        // The record first, then the count that takes it in: a reader never
        // meets a count that promises a record not yet whole.
        ok = WriteAll(bytes.data(), bytes.size());
        const ULONG count = ULONG(count_ + 1);
        if (ok && ::pwrite(fd_, &count, sizeof count, 8) != ssize_t(sizeof count)) {
            error_ = strerror(errno);
            ok = false;
        }
    }
    if (ok) ++count_;
    return ok;
}

bool LogAppender::Close() {
    if (fd_ < 0) return error_.empty();
    if (::fsync(fd_) != 0 && error_.empty()) error_ = strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return error_.empty();
}

}  // namespace evtrace
