// Events emitted by a provider process arrive decoded at the client callback
// of a consumer in this process, every kind as the conversion makes it.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "consumer_fixture.h"

using namespace consumer_test;
using testing_support::eventually;

namespace {

constexpr char kRemoteSource[] = "RemoteProvider";
constexpr uint64_t kBlockTime = 0x01D9111122223333ULL;
constexpr uint64_t kDriverTime = 0x01D9AAAABBBBCCCCULL;

LONG FormatArgs(ULONG handle, ULONG type, ULONG code, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LONG result = EvTraceFormatArgs(handle, type, code, nullptr, nullptr, 0, format, arguments, "args.cpp", 12,
                                    kBlockTime, 0xABC, 0xDEF);
    va_end(arguments);
    return result;
}

// Writes an event of the wireless driver (header type 10) into the session.
LONG WriteDriverEvent(DWORD code, const std::string& text) {
    ULONG64 session = 0;
    CEvTrace trace;
    trace.GetSessionHandle1(session);
    std::vector<uint8_t> data = DriverData(code, text, kDriverTime);
    std::vector<uint8_t> event(sizeof(EVENT_TRACE_HEADER) + data.size(), 0);
    auto* header = reinterpret_cast<EVENT_TRACE_HEADER*>(event.data());
    header->Size = USHORT(event.size());
    header->Class.Type = 10;
    header->Flags = WNODE_FLAG_TRACED_GUID;
    memcpy(event.data() + sizeof(EVENT_TRACE_HEADER), data.data(), data.size());
    return TraceEvent(session, header) == ERROR_SUCCESS ? S_OK : E_FAIL;
}

// Registers a provider and emits one event of every kind.
TEST_HELPER(every_kind) {
    HANDLE ulSwitch = CreateEventA(nullptr, TRUE, FALSE, "Global\\UL_ENABLED_EVENT");
    SetEvent(ulSwitch);
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, kRemoteSource);
    strcpy(info.m_szUserName, "remote-user");
    strcpy(info.m_szProviderText, "remote text");
    ULONG h = 0;
    if (RegisterEvTrace(&h, &info) != S_OK) return 1;
    const BYTE custom[] = {1, 2, 0, 3};
    const std::vector<uint8_t> connection = ConnectionBlock(10, "", 0, "x");
    const LONG results[] = {
        EvTraceString(h, 51, 0x80001001, "plain text", "string A", "string B", 7),
        EvTraceStart(h, 0x6001, "starting"),
        FormatArgs(h, 53, 0x2002, "n=%d s=%s f=%.1f", -5, "ab", 2.5),
        EvTraceCustomLog(h, 54, 0x2003, "log.cpp", 99, "log line\r\n", 10, nullptr, nullptr, 0, kBlockTime, 0x11, 0x22),
        EvTraceCustom(h, 51, 0x2004, custom, sizeof custom, nullptr, nullptr, 0),
        EvTraceCustomTimeStamp(h, 52, 0x2005, connection.data(), ULONG(connection.size()), nullptr, nullptr, 0),
        WriteDriverEvent(0x201 + 19, "hidden"),  // a code the consumer never shows
        WriteDriverEvent(0x80000A05, "driver text"),
        EvTraceString(h, 51, 0x2006, "last", nullptr, nullptr, 0),
    };
    UnRegisterEvTrace(h);
    CloseHandle(ulSwitch);
    int failures = 0;
    for (LONG result : results) failures += result != S_OK;
    return failures;
}

std::mutex g_lock;
std::vector<std::string> g_seen;  // type, code, source, data length and data of each record
std::vector<uint64_t> g_times;
std::vector<uint8_t> g_first;  // the first record's fixed part

void Collect(_VANTA_EVTRACE_DATA* r) {
    std::string data(reinterpret_cast<const char*>(r->Data), r->dwDataLen);
    data.erase(data.find_last_not_of('\0') + 1);
    char head[300];
    snprintf(head, sizeof head, "%u %#x %s %u:", r->dwEventType, r->dwEventCode, r->szSource, r->dwDataLen);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(r);
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_seen.empty()) g_first.assign(bytes, bytes + 1312);
    g_seen.push_back(head + data);
    g_times.push_back(uint64_t(RecordTime(r)));
}

using CrossProcessTest = ConsumerTest;

TEST_F(CrossProcessTest, EveryKindOfEventFromAProviderProcessArrivesDecodedAtTheClientCallback) {
    ASSERT_EQ(EvtInitialize(3), S_OK);
    ASSERT_EQ(EnableLogging(1), S_OK);
    ASSERT_EQ(SetEvTraceCallback(&Collect), S_OK);
    testing_support::ChildProcess provider = testing_support::spawn_helper("every_kind");
    EXPECT_EQ(provider.wait(), 0);
    auto collected = [] {
        std::lock_guard<std::mutex> lock(g_lock);
        return g_seen.size();
    };
    ASSERT_TRUE(eventually([&] { return collected() >= 8; }, std::chrono::seconds(20))) << collected();
    ASSERT_EQ(EvtUnInitialize(), S_OK);  // deliveries stop with the consumer

    std::lock_guard<std::mutex> lock(g_lock);
    EXPECT_EQ(g_seen, (std::vector<std::string>{
                          "51 0x80001001 RemoteProvider 10:plain text",
                          "66 0x6001 RemoteProvider 8:starting",
                          "56 0x2002 RemoteProvider 1312:[p:0xabc][t:0xdef]:n=-5 s=ab f=2.5 @args.cpp(12)",
                          "54 0x2003 RemoteProvider 1312:[p:0x11][t:0x22]:log line @log.cpp(99)",
                          "51 0x2004 RemoteProvider 4:" + std::string("\x01\x02\0\x03", 4),
                          "52 0x2005 RemoteProvider 352:RxDeAut 00:1b:2c:3d:4e:5f x",
                          "4160 0x80000a05 Mesquite_Driver 11:driver text",  // type 0x1040
                          "51 0x2006 RemoteProvider 4:last",
                      }));
    ASSERT_EQ(g_times.size(), 8u);
    for (uint64_t time : g_times) EXPECT_GT(time, 0x01D0000000000000ULL);  // the session's, or the block's
    EXPECT_EQ(g_times[2], kBlockTime);
    EXPECT_EQ(g_times[3], kBlockTime);
    EXPECT_EQ(g_times[6], kDriverTime);
    const auto* first = reinterpret_cast<const _VANTA_EVTRACE_DATA*>(g_first.data());
    EXPECT_STREQ(first->szUserName, "remote-user");
    EXPECT_STREQ(first->szProviderText, "remote text");
    EXPECT_STREQ(first->szStringA, "string A");
    EXPECT_STREQ(first->szStringB, "string B");
    EXPECT_EQ(first->bFlag, 7);
}

}  // namespace
