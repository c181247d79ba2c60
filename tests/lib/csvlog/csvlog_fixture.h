// The event-viewer CSV logs under test: a fresh machine root whose clock
// stands at noon of 5 March 2013 (local time), records and settings built
// field by field, the rows of a log file, and the debugger output of the
// process.
#pragma once

#include <TraceApi.h>
#include <string.h>
#include <winreg.h>

#include <w32rt/testing.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace csvlog_test {

constexpr char kLogViewerKey[] = "SOFTWARE\\Vanta\\Wireless\\LogViewer\\AllUsers";
constexpr char kFolder[] = "C:\\Logs";
constexpr char kDate[] = "2013_ 3_ 5";

inline int64_t AsInteger(const FILETIME& t) { return int64_t((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime); }
inline FILETIME AsFileTime(int64_t v) { return FILETIME{DWORD(uint64_t(v)), DWORD(uint64_t(v) >> 32)}; }
constexpr int64_t kHour = 36000000000LL;
constexpr int64_t kDay = 24 * kHour;

// Moves the process's clock so that the local time is the given one.
inline void SetLocalClock(WORD year, WORD month, WORD day, WORD hour = 12) {
    w32rt_set_clock_offset(0);
    SYSTEMTIME wanted = {};
    wanted.wYear = year;
    wanted.wMonth = month;
    wanted.wDay = day;
    wanted.wHour = hour;
    FILETIME local, utc, now;
    SystemTimeToFileTime(&wanted, &local);
    LocalFileTimeToFileTime(&local, &utc);
    GetSystemTimeAsFileTime(&now);
    w32rt_set_clock_offset(AsInteger(utc) - AsInteger(now));
}

// Shifts the clock by delta from where it stands.
inline void ShiftClock(int64_t delta) { w32rt_set_clock_offset(w32rt_clock_offset() + delta); }

inline std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return name;
}
inline std::string UserName() {
    char name[256] = "";
    DWORD size = sizeof name;
    GetUserNameA(name, &size);
    return name;
}
inline std::string DefaultBase(const std::string& folder = kFolder) {
    return folder + "\\" + ComputerName() + "_" + UserName();
}
inline std::string DayFile(const std::string& base = DefaultBase(), const std::string& date = kDate) {
    return base + "_" + date + ".csv";
}

// A stored record: fixed part, text, 9 zero bytes.
inline std::vector<uint8_t> RecordImage(const std::string& text, DWORD code = 0x1001, const std::string& source = "Src",
                                        const std::string& user = "user") {
    std::vector<uint8_t> r(EVT_RECORD_FIXED_SIZE + text.size() + EVT_RECORD_TAIL_SIZE, 0);
    auto* record = reinterpret_cast<_VANTA_EVTRACE_DATA*>(r.data());
    record->dwDataLen = DWORD(text.size());
    memcpy(record->szSource, source.data(), source.size());
    record->ftTimeStamp = AsFileTime(0x01CE1998F6672000LL);  // 2013-03-05 12:00 UTC
    record->dwEventType = 51;
    record->dwEventCode = code;
    memcpy(record->szUserName, user.data(), user.size());
    memcpy(record->Data, text.data(), text.size());
    return r;
}

// Records "<prefix><first>" .. "<prefix><first + count - 1>".
struct Records {
    Records(const std::string& prefix, int first, int count, size_t pad = 0) {
        for (int i = first; i < first + count; ++i) {
            std::string text = prefix + std::to_string(i);
            if (text.size() < pad) text.append(pad - text.size(), '.');
            images.push_back(RecordImage(text));
        }
        for (auto& image : images) list.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(image.data()));
    }
    std::vector<std::vector<uint8_t>> images;
    CEvWEVLogQueue::RecordList list;
};

inline void Push(CEvWEVLogQueue& logger, const Records& records) {
    for (const _VANTA_EVTRACE_DATA* record : records.list) logger.PushDataInWEVLogFile(record);
}

inline _VANTA_WEV_LOGGING_SETTINGS Basic(const std::string& folder = kFolder, const std::string& name = "",
                                         DWORD maxMB = 1) {
    _VANTA_WEV_LOGGING_SETTINGS s = {};
    s.dwEnable = 1;
    strncpy(s.szLogFolder, folder.c_str(), MAX_PATH - 1);
    strncpy(s.szLogName, name.c_str(), MAX_PATH - 1);
    s.dwMaxFileSizeMB = maxMB;
    return s;
}

inline _VANTA_WEV_LOGGING_SETTINGS Extended(const std::string& folder = kFolder, const std::string& copyFolder = "",
                                            DWORD copyFlags = 0, DWORD deleteFlags = 0) {
    _VANTA_WEV_LOGGING_SETTINGS s = {};
    s.dwUseExtended = 1;
    strncpy(s.szExtLogFolder, folder.c_str(), MAX_PATH - 1);
    strncpy(s.szExtCopyFolder, copyFolder.c_str(), MAX_PATH - 1);
    s.dwExtMaxFileSizeMB = 1;
    s.dwExtCopyFlags = copyFlags;
    s.dwExtDeleteFlags = deleteFlags;
    return s;
}

inline bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(h, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(h);
    return bytes;
}

// Writes a file through the runtime (so it gets a creation time from the
// test clock).
inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size()) << path;
    CloseHandle(h);
}

constexpr char kHeader[] = "#Event,Source,Time,Error Severity,Domain,User,Description";

// A day file of `size` bytes that this process did not make: a header and
// filler lines.
inline void OldDayFile(const std::string& path, size_t size) {
    CreateDirectoryA(kFolder, nullptr);
    std::string bytes = std::string(kHeader) + "\r\n";
    while (bytes.size() + 100 <= size) bytes += std::string(98, 'o') + "\r\n";
    bytes += std::string(size - bytes.size() - 2, 'o') + "\r\n";
    WriteWholeFile(path, bytes);
}

// A log file read back: its lines (without "\r\n"), and whether the file
// ends with a whole line.
struct LogLines {
    explicit LogLines(const std::string& path) {
        const std::string bytes = ReadWholeFile(path);
        whole = bytes.empty() || (bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0);
        for (size_t at = 0; at < bytes.size();) {
            size_t end = bytes.find("\r\n", at);
            if (end == std::string::npos) end = bytes.size();
            lines.push_back(bytes.substr(at, end - at));
            at = end + 2;
        }
    }
    size_t headers() const {
        size_t n = 0;
        for (const std::string& line : lines) n += line == kHeader;
        return n;
    }
    // "<number>:<text>" of each row (the row number and the last field).
    std::vector<std::string> rows() const {
        std::vector<std::string> out;
        for (const std::string& line : lines) {
            if (line == kHeader) continue;
            out.push_back(line.substr(0, line.find(',')) + ":" + line.substr(line.rfind(',') + 1));
        }
        return out;
    }
    std::vector<std::string> lines;
    bool whole = true;
};

// Expected rows: numbers from firstRow, texts "<prefix><first>"...
inline std::vector<std::string> Rows(DWORD firstRow, const std::string& prefix, int first, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back(std::to_string(firstRow + DWORD(i)) + ":" + prefix + std::to_string(first + i));
    return out;
}
inline std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every debugger text of the process while it lives.
class DebugCapture {
public:
    DebugCapture() { w32rt_set_debug_sink(&Sink, this); }
    ~DebugCapture() { w32rt_set_debug_sink(nullptr, nullptr); }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    size_t Count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const std::string& text : texts_) n += text.find(part) != std::string::npos;
        return n;
    }
    bool WaitFor(const std::string& part, size_t count = 1) {
        return testing_support::eventually([&] { return Count(part) >= count; }, std::chrono::seconds(20));
    }
    std::string All() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const std::string& text : texts_) all += text;
        return all;
    }

private:
    static void Sink(const char* text, void* self) {
        auto* capture = static_cast<DebugCapture*>(self);
        std::lock_guard<std::mutex> lock(capture->mutex_);
        capture->texts_.push_back(text);
    }
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

constexpr char kKeptText[] = "records are kept for the next batch";
constexpr char kDroppedText[] = "could not be written to the log files and were dropped";

class CsvLogTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        setenv("EVTRACE_UI_LANGUAGE", "0x0409", 1);
        setenv("EVTRACE_SYSTEM_LANGUAGE", "0x0409", 1);
        SetLocalClock(2013, 3, 5);
    }
    void TearDown() override {
        w32rt_clear_syscall_faults();
        w32rt_set_clock_offset(0);
        MachineTest::TearDown();
    }

    // Waits until the file holds `rows` rows.
    static bool WaitForRows(const std::string& path, size_t rows) {
        return testing_support::eventually([&] { return LogLines(path).rows().size() >= rows; },
                                           std::chrono::seconds(20));
    }
};

}  // namespace csvlog_test
