// Events emitted by a provider process arrive decoded at the client callback
// of a consumer in this process, every kind as the conversion makes it.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "consumer_fixture.h"
#include "event_builder.h"

using namespace consumer_test;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;

namespace {

constexpr char kRemoteSource[] = "RemoteProvider";
constexpr uint64_t kBlockTime = 0x01D9111122223333ULL;

LONG FormatArgs(ULONG handle, ULONG type, ULONG code, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LONG result = EvTraceFormatArgs(handle, type, code, nullptr, nullptr, 0, format, arguments, "args.cpp", 12,
                                    kBlockTime, 0xABC, 0xDEF);
    va_end(arguments);
    return result;
}

// Writes an event of the wireless driver (header type 10) into the session.
ULONG WriteDriverEvent(DWORD code, const std::string& text) {
    ULONG64 session = 0;
    CEvTrace trace;
    trace.GetSessionHandle1(session);
    std::vector<uint8_t> data = DriverData(code, text, 0x01D9AAAABBBBCCCCULL);
    std::vector<uint8_t> event(sizeof(EVENT_TRACE_HEADER) + data.size(), 0);
    auto* header = reinterpret_cast<EVENT_TRACE_HEADER*>(event.data());
    header->Size = USHORT(event.size());
    header->Class.Type = 10;
    header->Flags = WNODE_FLAG_TRACED_GUID;
    memcpy(event.data() + sizeof(EVENT_TRACE_HEADER), data.data(), data.size());
    return TraceEvent(session, header);
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

    int failures = 0;
    auto check = [&](LONG result) { failures += result != S_OK; };
    check(EvTraceString(h, 51, 0x80001001, "plain text", "string A", "string B", 7));
    check(EvTraceStart(h, 0x6001, "starting"));
    check(FormatArgs(h, 53, 0x2002, "n=%d s=%s f=%.1f", -5, "ab", 2.5));
    check(EvTraceCustomLog(h, 54, 0x2003, "log.cpp", 99, "log line\r\n", 10, nullptr, nullptr, 0, kBlockTime, 0x11,
                           0x22));
    const BYTE custom[] = {1, 2, 0, 3};
    check(EvTraceCustom(h, 51, 0x2004, custom, sizeof custom, nullptr, nullptr, 0));
    Connection conn;
    conn.eventId = 10;
    conn.detail = "x";
    std::vector<uint8_t> block = ConnectionBlock(conn);
    check(EvTraceCustomTimeStamp(h, 52, 0x2005, block.data(), ULONG(block.size()), nullptr, nullptr, 0));
    // Index 19 is one the consumer never shows; the next one it does.
    check(WriteDriverEvent(0x201 + 19, "hidden") == ERROR_SUCCESS ? S_OK : E_FAIL);
    check(WriteDriverEvent(0x80000A05, "driver text") == ERROR_SUCCESS ? S_OK : E_FAIL);
    check(EvTraceString(h, 51, 0x2006, "last", nullptr, nullptr, 0));
    UnRegisterEvTrace(h);
    CloseHandle(ulSwitch);
    return failures;
}

std::mutex g_lock;
std::vector<std::vector<uint8_t>> g_records;

void Collect(_VANTA_EVTRACE_DATA* record) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(record);
    std::lock_guard<std::mutex> lock(g_lock);
    g_records.emplace_back(bytes, bytes + 1312 + record->dwDataLen + 9);
}

size_t Collected() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_records.size();
}

class CrossProcessTest : public ConsumerTest {
protected:
    void SetUp() override {
        ConsumerTest::SetUp();
        std::lock_guard<std::mutex> lock(g_lock);
        g_records.clear();
    }
};

TEST_F(CrossProcessTest, EveryKindArrivesDecodedAtTheClientCallback) {
    ASSERT_EQ(EvtInitialize(3), S_OK);
    ASSERT_EQ(EnableLogging(1), S_OK);
    ASSERT_EQ(SetEvTraceCallback(&Collect), S_OK);

    ChildProcess provider = spawn_helper("every_kind");
    EXPECT_EQ(provider.wait(), 0);
    ASSERT_TRUE(eventually([] { return Collected() >= 8; }, std::chrono::seconds(20))) << Collected();
    // Deliveries stop with the consumer.
    ASSERT_EQ(EvtUnInitialize(), S_OK);

    std::lock_guard<std::mutex> lock(g_lock);
    ASSERT_EQ(g_records.size(), 8u);
    auto rec = [](size_t i) { return reinterpret_cast<_VANTA_EVTRACE_DATA*>(g_records[i].data()); };
    _VANTA_EVTRACE_DATA* r = rec(0);
    EXPECT_STREQ(r->szSource, kRemoteSource);
    EXPECT_STREQ(r->szUserName, "remote-user");
    EXPECT_STREQ(r->szProviderText, "remote text");
    EXPECT_STREQ(r->szStringA, "string A");
    EXPECT_STREQ(r->szStringB, "string B");
    EXPECT_EQ(r->bFlag, 7);
    EXPECT_EQ(r->dwEventCode, 0x80001001u);
    EXPECT_EQ(r->dwEventType, 51u);
    EXPECT_EQ(RecordText(r), "plain text");
    EXPECT_GT(RecordTime(r), 0x01D0000000000000LL);  // stamped by the session

    r = rec(1);
    EXPECT_EQ(r->dwEventType, 66u);
    EXPECT_EQ(RecordText(r), "starting");

    r = rec(2);
    EXPECT_EQ(r->dwEventType, 56u);
    EXPECT_EQ(r->dwEventCode, 0x2002u);
    EXPECT_EQ(r->dwDataLen, 1312u);
    EXPECT_EQ(RecordText(r), "[p:0xabc][t:0xdef]:n=-5 s=ab f=2.5 @args.cpp(12)");
    EXPECT_EQ(uint64_t(RecordTime(r)), kBlockTime);

    r = rec(3);
    EXPECT_EQ(r->dwEventType, 54u);
    EXPECT_EQ(RecordText(r), "[p:0x11][t:0x22]:log line @log.cpp(99)");

    r = rec(4);
    EXPECT_EQ(r->dwDataLen, 4u);
    EXPECT_EQ(memcmp(r->Data, "\x01\x02\x00\x03", 4), 0);

    r = rec(5);
    EXPECT_EQ(r->dwEventType, 52u);
    EXPECT_EQ(r->dwDataLen, 352u);
    EXPECT_EQ(RecordText(r), "RxDeAut 00:1b:2c:3d:4e:5f x");

    r = rec(6);
    EXPECT_STREQ(r->szSource, "Mesquite_Driver");
    EXPECT_EQ(r->dwEventType, 0x1040u);
    EXPECT_EQ(r->dwEventCode, 0x80000A05u);
    EXPECT_EQ(RecordText(r), "driver text");
    EXPECT_EQ(uint64_t(RecordTime(r)), 0x01D9AAAABBBBCCCCULL);

    EXPECT_EQ(RecordText(rec(7)), "last");
}

}  // namespace
