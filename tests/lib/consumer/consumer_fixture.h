// A fresh machine root per test with the library's process state reset, and
// helpers to set registry values, install an event database and read files
// of the root.
#pragma once

#include <TraceApi.h>
#include <winreg.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace consumer_test {

constexpr char kApiKey[] = "Software\\Vanta\\Wireless\\EvTrace\\API\\";
constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";
constexpr char kDataFolder[] = "C:\\Vanta\\Data\\";

inline void SetDword(const char* key, const char* name, DWORD value) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value), 0);
    RegCloseKey(h);
}

inline void SetString(const char* key, const char* name, const std::string& value) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1)),
              0);
    RegCloseKey(h);
}

inline bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

inline bool ReadWholeFile(const std::string& path, std::string* bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(h, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes->append(buffer, read);
    CloseHandle(h);
    return true;
}

inline bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Creates a Windows folder and its parents.
inline void MakeFolder(const std::string& path) {
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
        CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryA(path.c_str(), nullptr);
}

// An English event database with the given text, found through
// "DatabasePath".
inline void InstallDatabase(const std::string& text, const char* language = "ENU") {
    MakeFolder(kDataFolder);
    ASSERT_TRUE(WriteWholeFile(std::string(kDataFolder) + "Trace" + language + ".bin", text));
    SetString(kApiKey, "DatabasePath", kDataFolder);
}

class ConsumerTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        CEvTrace::s_hRTSession = 0;
        // English everywhere unless a test says otherwise.
        setenv("EVTRACE_UI_LANGUAGE", "0x0409", 1);
        setenv("EVTRACE_SYSTEM_LANGUAGE", "0x0409", 1);
        unsetenv("EVTRACE_PREFERRED_UI_LANGUAGES");
    }
    void TearDown() override {
        EvtUnInitialize();
        CEvTrace::s_hRTSession = 0;
        MachineTest::TearDown();
    }
};

}  // namespace consumer_test
