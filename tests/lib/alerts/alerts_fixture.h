// Alert tests: a machine root with an event database of known alerts, the
// console user chosen through the runtime's configuration, alert events
// built byte by byte, and the alert history file read back.
#pragma once

#include <TraceApi.h>
#include <pwd.h>
#include <shlobj.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <w32rt/machine.h>

#include "../consumer/consumer_fixture.h"
#include "test_support.h"

namespace alerts_test {

using consumer_test::Put;
using consumer_test::PutText;

// Alert codes of the test database: two errors and a warning of different
// domains; 0 is listed too, and is never an alert all the same.
constexpr DWORD kLinkLost = 0x80000001;
constexpr DWORD kAuthFailed = 0x80001001;
constexpr DWORD kWeakSignal = 0x80000803;
constexpr DWORD kNotAnAlert = 0x00001001;

inline const char* kDatabase =
    "2147483649||Connection lost||Move closer;;Check the access point;;Connect again||The link was lost.||HLP_LOST|#|\n"
    "2147487745||Authentication failed||Check the password||The network refused the credentials.||HLP_AUTH|#|\n"
    "2147485699||Weak signal||Move closer||The signal is weak.||HLP_WEAK|#|\n"
    "0||Nothing||None||Nothing happened.||HLP_NONE|#|\n";

inline constexpr size_t kRecordSize = 1321;
inline constexpr size_t kHeaderSize = 12;

// Event data of the library's providers with the given code, type, string A
// and flag (the other texts are set too, and must not reach the history).
inline std::vector<uint8_t> AlertData(DWORD code, const std::string& stringA = "", BYTE flag = 0, DWORD type = 51,
                                      const std::string& text = "an alert") {
    std::vector<uint8_t> d = consumer_test::ProviderData(type, consumer_test::Bytes(text), "Source", "user");
    Put<uint32_t>(d, 8, code);
    PutText(d, 792, "string B", 256);
    PutText(d, 1048, stringA, 255);
    d[1304] = flag;
    return d;
}

inline consumer_test::Event AlertEvent(DWORD code, const std::string& stringA = "", int64_t time = 0x01D9000000000001,
                                       BYTE flag = 0, DWORD type = 51) {
    return consumer_test::Event(51, AlertData(code, stringA, flag, type), time);
}

// The 1,321-byte history record of such an event.
inline std::vector<uint8_t> HistoryRecord(DWORD code, const std::string& stringA, int64_t time, BYTE flag = 0,
                                          DWORD type = 51) {
    std::vector<uint8_t> r(kRecordSize, 0);
    Put(r, 264, time);
    Put(r, 272, type);
    Put(r, 276, code);
    PutText(r, 792, stringA, 255);
    r[1304] = flag;
    return r;
}

// A history file as the library writes it, from records oldest first.
inline std::string HistoryFile(const std::vector<std::vector<uint8_t>>& records) {
    std::vector<uint8_t> f(kHeaderSize, 0);
    Put<uint32_t>(f, 0, 4);
    Put<uint32_t>(f, 4, 0x00010000);
    Put<uint32_t>(f, 8, uint32_t(records.size()));
    for (const auto& r : records) {
        const uint32_t length = uint32_t(r.size());
        f.insert(f.end(), reinterpret_cast<const uint8_t*>(&length), reinterpret_cast<const uint8_t*>(&length) + 4);
        f.insert(f.end(), r.begin(), r.end());
    }
    return std::string(f.begin(), f.end());
}

// The string A of each record of a history file, oldest first; a file that
// is not whole fails the test.
inline std::vector<std::string> HistoryTexts(const std::string& bytes) {
    std::vector<std::string> texts;
    EXPECT_GE(bytes.size(), kHeaderSize);
    if (bytes.size() < kHeaderSize) return texts;
    uint32_t words[3];
    memcpy(words, bytes.data(), sizeof words);
    EXPECT_EQ(words[0], 4u);
    EXPECT_EQ(words[1], 0x00010000u);
    EXPECT_EQ(bytes.size(), kHeaderSize + words[2] * (4 + kRecordSize)) << "a torn or padded history";
    for (size_t at = kHeaderSize; at + 4 + kRecordSize <= bytes.size(); at += 4 + kRecordSize) {
        texts.emplace_back(bytes.c_str() + at + 4 + 792);
    }
    return texts;
}

// The current user's roaming folder, as the shell gives it.
inline std::string RoamingFolder() {
    char path[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path), S_OK);
    return path;
}

// The history file of the calling process's own user.
inline std::string OwnHistoryPath() { return RoamingFolder() + "\\Vanta\\Wireless\\Settings\\AlertHistory.bin"; }

// A user's history when the service resolves it while impersonating them.
inline std::string UsersHistoryPath(const std::string& name) {
    return "C:\\Users\\" + name + "\\AppData\\Roaming\\Vanta\\Wireless\\Settings\\AlertHistory.bin";
}

// Owner uid of the file behind a Windows path; -1 when missing.
inline int64_t OwnerOf(const std::string& windowsPath) {
    struct stat st;
    if (::stat(w32rt::to_posix_path(windowsPath).c_str(), &st) != 0) return -1;
    return st.st_uid;
}

inline std::string PosixNameOf(int64_t uid) {
    struct passwd* pw = getpwuid(uid_t(uid));
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

// The records of GetAlertHistoryList (newest first) as their string A; the
// list is freed as its caller must.
inline std::vector<std::string> HistoryList(LONG* result = nullptr) {
    _EVT_RECORD_LIST* list = nullptr;
    LONG r = GetAlertHistoryList(&list);
    if (result != nullptr) *result = r;
    std::vector<std::string> texts;
    if (list == nullptr) return texts;
    for (DWORD i = 0; i < list->count; ++i) {
        texts.emplace_back(list->records[i]->szStringA);
        EvTraceDeleteMemory(list->records[i]);
    }
    EvTraceDeleteArray(list->records);
    EvTraceDeleteMemory(list);
    return texts;
}

// A root with the test database, alerts on, the bin folder registered (so
// that a resolved user folder is kept) and nobody at the console unless a
// test says otherwise.
class AlertTest : public consumer_test::ConsumerTest {
protected:
    void SetUp() override {
        ConsumerTest::SetUp();
        setenv("EVTRACE_CONSOLE_USER", "none", 1);
        consumer_test::InstallDatabase(kDatabase);
        consumer_test::SetString("SOFTWARE\\Vanta\\Wireless", "NimbusBinDir", "C:\\Suite\\Bin");
    }
    void TearDown() override {
        unsetenv("EVTRACE_CONSOLE_USER");
        ConsumerTest::TearDown();
    }
};

}  // namespace alerts_test
