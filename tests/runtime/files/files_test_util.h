// Shared pieces of the files tests: a fixture that also resets the fault
// injection, the test clock and the environment variables the tests change,
// and small helpers over the Win32 calls.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <windows.h>
#include <w32rt/testing.h>

#include "core/path.h"
#include "status_expect.h"
#include "test_support.h"

namespace files_test {

class FilesTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        for (const char* name : {"TZ", "TMP", "TEMP", "TMPDIR"}) {
            const char* value = getenv(name);
            saved_env_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    void TearDown() override {
        w32rt_clear_syscall_faults();
        w32rt_set_clock_offset(0);
        for (const auto& [name, value] : saved_env_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        MachineTest::TearDown();
    }
    // Where a Windows path of the machine lands.
    static std::string posix(std::string_view windows_path) { return w32rt::map_path(windows_path); }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_env_;
};

// Closes a file handle at scope end.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_;
};

inline HANDLE open_file(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                        DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// The last error an open leaves: 0 or ERROR_ALREADY_EXISTS when it succeeds
// (0xDEAD if it left the error alone), the failure's status else (0xBAD if
// there is none). The handle is closed again.
inline DWORD open_error(const std::string& path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING,
                        DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    SetLastError(12345);
    Handle h(open_file(path, access, share, disposition, flags));
    DWORD error = GetLastError();
    return h.valid() ? (error == 12345 ? 0xDEADu : error) : (error == 0 ? 0xBADu : error);
}

// Creates or overwrites a file with the content; false on any failure.
inline bool put_file(const std::string& path, std::string_view content) {
    Handle h(open_file(path, GENERIC_WRITE, 0, CREATE_ALWAYS));
    DWORD written = 0;
    return WriteFile(h.get(), content.data(), DWORD(content.size()), &written, nullptr) && written == content.size();
}

// The whole content, or "<error N>" when the file cannot be read.
inline std::string get_file(const std::string& path) {
    Handle h(open_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING));
    if (!h.valid()) return "<error " + std::to_string(GetLastError()) + ">";
    std::string out;
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h.get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    return out;
}

inline uint64_t ticks(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
inline FILETIME filetime(uint64_t t) { return FILETIME{DWORD(t), DWORD(t >> 32)}; }

constexpr int64_t kSecond = 10'000'000;
constexpr int64_t kDay = 86'400 * kSecond;

}  // namespace files_test
