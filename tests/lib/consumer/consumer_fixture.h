// A fresh machine root per test with the library's process state reset;
// registry and file helpers; session events built byte by byte as
// providers and the wireless driver lay them out, and stored record images.
#pragma once

#include <TraceApi.h>
#include <evntrace.h>
#include <stdlib.h>
#include <string.h>
#include <winreg.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace consumer_test {

constexpr char kApiKey[] = "Software\\Vanta\\Wireless\\EvTrace\\API\\";
constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";

inline void SetValue(const char* key, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(h, name, 0, type, static_cast<const BYTE*>(data), size), 0);
    RegCloseKey(h);
}
inline void SetDword(const char* key, const char* name, DWORD v) { SetValue(key, name, REG_DWORD, &v, sizeof v); }
inline void SetString(const char* key, const char* name, const std::string& v) {
    SetValue(key, name, REG_SZ, v.c_str(), DWORD(v.size() + 1));
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size()) << path;
    CloseHandle(h);
}

// The file's bytes; a file that cannot be opened fails the test.
inline std::string ReadWholeFile(const std::string& path) {
    std::string bytes;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "cannot open " << path;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(h, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(h);
    return bytes;
}

inline bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// An event database of the given language with the given text, found
// through "DatabasePath".
inline void InstallDatabase(const std::string& text, const char* language = "ENU") {
    CreateDirectoryA("C:\\Data", nullptr);
    WriteWholeFile(std::string("C:\\Data\\Trace") + language + ".bin", text);
    SetString(kApiKey, "DatabasePath", "C:\\Data\\");
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

// A test with the session started and enabled (EvtInitialize with the given
// flags) and a provider of this process registered on it.
class SessionTest : public ConsumerTest {
protected:
    void TearDown() override {
        if (provider_ != 0) UnRegisterEvTrace(provider_);
        ConsumerTest::TearDown();
    }
    void StartSession(ULONG flags, const char* provider = "SessionTest") {
        ASSERT_EQ(EvtInitialize(flags), S_OK);
        ASSERT_EQ(EnableLogging(1), S_OK);
        EVT_PROVIDER_INFO info = {};
        strcpy(info.m_szInstanceName, provider);
        ASSERT_EQ(RegisterEvTrace(&provider_, &info), S_OK);
    }
    void Emit(const char* text, ULONG type = 51) {
        ASSERT_EQ(EvTraceString(provider_, type, 0x1001, text, nullptr, nullptr, 0), S_OK);
    }
    // Emits the text until the condition holds (the listener may still be
    // attaching).
    bool EmitUntil(const char* text, const std::function<bool()>& done) {
        return testing_support::eventually([&] { return Emit(text), done(); }, std::chrono::seconds(20));
    }
    ULONG provider_ = 0;
};

// ---- Bytes of events and records ---------------------------------------------

template <class T>
void Put(std::vector<uint8_t>& b, size_t at, T v) {
    memcpy(b.data() + at, &v, sizeof v);
}
inline void PutText(std::vector<uint8_t>& b, size_t at, const std::string& s, size_t field) {
    memcpy(b.data() + at, s.data(), s.size() < field ? s.size() : field);
}
inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Event data: the 1,312-byte fixed block, the payload and 8 zero bytes.
inline std::vector<uint8_t> ProviderData(uint32_t type, const std::vector<uint8_t>& payload,
                                         const std::string& source = "TestSource", const std::string& user = "tester") {
    std::vector<uint8_t> d(1312 + payload.size() + 8, 0);
    Put<uint32_t>(d, 0, 0x55AA55AA);
    Put(d, 4, uint32_t(1312 + payload.size()));
    Put<uint32_t>(d, 8, 0x1001);
    Put(d, 12, type);
    PutText(d, 24, source, 256);
    PutText(d, 280, user, 256);
    PutText(d, 1312, std::string(payload.begin(), payload.end()), payload.size());
    return d;
}

// An event as the session delivers it, owning its data.
struct Event {
    EVENT_TRACE trace{};
    std::vector<uint8_t> data;
    Event(uint8_t classType, std::vector<uint8_t> bytes, int64_t time = 1) : data(std::move(bytes)) {
        trace.Header.Class.Type = classType;
        trace.Header.TimeStamp.QuadPart = time;
        trace.MofData = data.empty() ? nullptr : data.data();
        trace.MofLength = uint32_t(data.size());
    }
    Event(const Event&) = delete;
    EVENT_TRACE* get() { return &trace; }
};

inline Event TextEvent(const std::string& text, int64_t time = 1, uint32_t type = 51) {
    return Event(51, ProviderData(type, Bytes(text)), time);
}

// A 1,312-byte log block: message, file "src/module.cpp", line, time,
// process and thread.
inline std::vector<uint8_t> LogBlock(const std::string& message, int32_t line = 42, uint32_t process = 0x1234,
                                     uint32_t thread = 0xBEEF) {
    std::vector<uint8_t> b(1312, 0);
    PutText(b, 4, message, 1023);
    PutText(b, 1028, "src/module.cpp", 259);
    Put(b, 1288, line);
    Put<uint64_t>(b, 1296, 0x01D9123456789ABCULL);
    Put(b, 1304, process);
    Put(b, 1308, thread);
    return b;
}

// One item of an argument block: its kind, value bytes and format position.
struct Item {
    int8_t kind;
    std::vector<uint8_t> value;
    uint16_t position;
};
template <class T>
Item Num(int8_t kind, T v, uint16_t position = 0) {
    Item it{kind, std::vector<uint8_t>(sizeof v), position};
    memcpy(it.value.data(), &v, sizeof v);
    return it;
}
inline Item Int(int32_t v, uint16_t position = 0) { return Num(2, v, position); }
inline Item Str(const std::string& s, uint16_t position = 0) { return Item{0, Bytes(s + '\0'), position}; }

// An argument block: item 0 is the format (with its zero), then the items;
// count overrides the item count byte when not negative.
inline std::vector<uint8_t> ArgBlock(const std::string& format, const std::vector<Item>& items, int count = -1) {
    std::vector<uint8_t> b = LogBlock("");
    Put<uint32_t>(b, 0, 1);
    b[5] = uint8_t(count >= 0 ? count : int(items.size()) + 1);
    Put(b, 7, uint16_t(format.size() + 1));
    PutText(b, 11, format, format.size());
    size_t o = 11 + format.size() + 1;
    for (const Item& it : items) {
        if (o + 5 + it.value.size() > 1028) break;
        b[o] = uint8_t(it.kind);
        Put(b, o + 1, uint16_t(it.value.size()));
        Put(b, o + 3, it.position);
        memcpy(b.data() + o + 5, it.value.data(), it.value.size());
        o += 5 + it.value.size();
    }
    return b;
}

// The 348-byte connection block of a class-type-52 event: station
// 00:1b:2c:3d:4e:5f, RSSI -60, priorities 1 to 5, 7 missed beacons, RSSI
// threshold -75.
inline std::vector<uint8_t> ConnectionBlock(uint32_t eventId, const std::string& name = "HomeNet", uint16_t value = 11,
                                            const std::string& detail = "detail") {
    std::vector<uint8_t> b(348, 0);
    Put(b, 0, eventId);
    PutText(b, 4, std::string("\x00\x1b\x2c\x3d\x4e\x5f", 6), 6);
    PutText(b, 10, name, 34);
    Put(b, 44, value);
    Put<int32_t>(b, 48, -60);
    PutText(b, 52, detail, 268);
    for (int32_t i = 0; i < 5; ++i) Put(b, 320 + 4 * size_t(i), i + 1);
    Put<int32_t>(b, 340, 7);
    Put<int32_t>(b, 344, -75);
    return b;
}

// Data of a driver event (class type 10).
inline std::vector<uint8_t> DriverData(uint32_t code, const std::string& text, uint64_t time = 0x01D9AAAABBBBCCCCULL) {
    std::vector<uint8_t> d(40 + text.size(), 0);
    Put(d, 20, time);
    Put(d, 36, code);
    PutText(d, 40, text, text.size());
    return d;
}

// A stored record as the consumer makes them: fixed part, text, 9 zeros.
inline std::vector<uint8_t> RecordImage(const std::string& text, DWORD code = 0x1001, const std::string& source = "Src",
                                        const std::string& user = "user", int64_t time = 0x01D9000000000000LL) {
    std::vector<uint8_t> r(1321 + text.size(), 0);
    Put(r, 0, uint32_t(text.size()));
    PutText(r, 4, source, 255);
    Put(r, 264, time);
    Put<uint32_t>(r, 272, 51);
    Put(r, 276, code);
    PutText(r, 280, user, 255);
    PutText(r, 1312, text, text.size());
    return r;
}

inline _VANTA_EVTRACE_DATA* AsRecord(std::vector<uint8_t>& image) {
    return reinterpret_cast<_VANTA_EVTRACE_DATA*>(image.data());
}
inline std::string RecordText(const _VANTA_EVTRACE_DATA* r) {
    return std::string(reinterpret_cast<const char*>(r->Data),
                       strnlen(reinterpret_cast<const char*>(r->Data), r->dwDataLen));
}
inline int64_t RecordTime(const _VANTA_EVTRACE_DATA* r) {
    return int64_t((uint64_t(r->ftTimeStamp.dwHighDateTime) << 32) | r->ftTimeStamp.dwLowDateTime);
}

// The texts of an infoset's records, first to last.
inline std::vector<std::string> InfosetTexts(ULONG handle) {
    std::vector<std::string> texts;
    _VANTA_EVTRACE_DATA* r = nullptr;
    for (LONG res = GetFirstEvTrace(handle, &r); res == S_OK; res = GetNextEvTrace(handle, &r)) {
        texts.push_back(RecordText(r));
    }
    return texts;
}

}  // namespace consumer_test
