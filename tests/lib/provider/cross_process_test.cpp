// Providers in other processes: every kind of event arrives byte for byte at
// a real-time consumer of this process, and the session situations a
// provider meets (no session, refused queries, a restarted session).
#include <TraceApi.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library_fixture.h"
#include "raw_consumer.h"
#include "wire_reader.h"

using testing_support::ChildProcess;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;
using testing_support::SpawnOptions;
using wire_reader::Get16;
using wire_reader::Get32;
using wire_reader::Get64;
using wire_reader::Text;

namespace {

constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng";
const BYTE kCustomBytes[] = {0xDE, 0xAD, 0x00, 0xBE, 0xEF, 0x00, 0x01};

std::string Hex(LONG value) {
    char text[16];
    snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

LONG FormatArgs(ULONG handle, ULONG type, ULONG code, const char* file, ULONG line, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LONG result = EvTraceFormatArgs(handle, type, code, "fa", "fb", 4, format, arguments, file, line,
                                    0x01D9000000000000ULL, GetCurrentProcessId(), GetCurrentThreadId());
    va_end(arguments);
    return result;
}

void SetSwitch(bool on) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\UL_ENABLED_EVENT");
    if (event == nullptr) return;
    if (on)
        SetEvent(event);
    else
        ResetEvent(event);
    CloseHandle(event);
}

EVT_PROVIDER_INFO RemoteInfo(const char* name) {
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, name);
    strcpy(info.m_szUserName, "remote-user");
    strcpy(info.m_szProviderText, "remote text");
    return info;
}

// Reports "<label> <result in hex>".
void Report(const char* label, LONG result) { send_line(std::string(label) + " " + Hex(result)); }

ULONG64 PublishedHandle() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    ULONG64 handle = 0;
    DWORD size = sizeof handle;
    LONG status = RegQueryValueExA(key, "Session", nullptr, nullptr, reinterpret_cast<BYTE*>(&handle), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? handle : 0;
}

void Publish(const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (data == nullptr) {
        RegDeleteValueA(key, "Session");
    } else {
        ASSERT_EQ(RegSetValueExA(key, "Session", 0, REG_BINARY, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

}  // namespace

// Registers "Remote" and emits one event of every kind, reporting each
// result; then waits for "exit".
TEST_HELPER(emit_every_kind) {
    EVT_PROVIDER_INFO info = RemoteInfo("Remote");
    ULONG handle = 0;
    Report("register", RegisterEvTrace(&handle, &info));
    SetSwitch(true);
    Report("string", EvTraceString(handle, 51, 0x80000800, "plain text", "string A", "string B", 0x11));
    Report("start", EvTraceStart(handle, 0x0000C000, "start marker"));
    Report("format", EvTraceFormat(handle, 0, 0x1001, "fmtA", nullptr, 0x22, "%d %s", 7, "ab"));
    Report("args", FormatArgs(handle, 53, 0x1002, "src\\args.cpp", 99, "%5.2f and %lld", 3.25, 12345678901LL));
    Report("log", EvTraceCustomLog(handle, 54, 0x1003, "src\\log.cpp", 7, "log text", 8, nullptr, "logB", 0x33,
                                   0x0102030405060708ULL, 0xAA, 0xBB));
    Report("custom", EvTraceCustom(handle, 9, 0x1004, kCustomBytes, sizeof kCustomBytes, nullptr, nullptr, 0));
    BYTE block[352] = {1, 0, 0, 0, 0x00, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f};
    Report("stamped", EvTraceCustomTimeStamp(handle, 52, 0x1005, block, sizeof block, nullptr, nullptr, 0));
    std::string longText(5000, 'x');
    std::string longString(300, 's');
    Report("long", EvTraceString(handle, 51, 0x1006, longText.c_str(), longString.c_str(), longString.c_str(), 0));
    send_line("done");
    receive_line();
    UnRegisterEvTrace(handle);
    return 0;
}

// Registers a provider under argv[1] and emits texts on request: each line
// "emit" sends one and reports its result; "exit" ends.
TEST_HELPER(provider_on_request) {
    const char* name = argc > 1 ? argv[1] : "Requested";
    EVT_PROVIDER_INFO info = RemoteInfo(name);
    ULONG handle = 0;
    Report("register", RegisterEvTrace(&handle, &info));
    char cached[32];
    snprintf(cached, sizeof cached, "%" PRIx64, CEvTrace::s_hRTSession);
    send_line(std::string("cached ") + cached);
    for (int n = 0;; ++n) {
        std::string line = receive_line();
        if (line == "emit") {
            Report("emit", EvTraceString(handle, 51, 0x2000 + n, "requested", nullptr, nullptr, 0));
        } else if (line == "args") {
            Report("args", FormatArgs(handle, 59, 0x3000 + n, "f.cpp", 1, "n=%d", n));
        } else if (line == "session") {
            CEvTrace trace;
            ULONG64 session = 77;
            LONG result = trace.GetSessionHandle1(session);
            snprintf(cached, sizeof cached, "%" PRIx64 " %" PRIx64, session, CEvTrace::s_hRTSession);
            send_line("session " + Hex(result) + " " + cached);
        } else {
            break;
        }
    }
    UnRegisterEvTrace(handle);
    return 0;
}

namespace {

class CrossProcessTest : public LibraryTest {
protected:
    // Starts the session as a controller and attaches the consumer.
    void StartListening() {
        ASSERT_EQ(EvtInitialize(1), S_OK);
        ASSERT_EQ(EnableLogging(1), S_OK);
        probe_ = Register("probe");
        ASSERT_TRUE(consumer_.Start());
        ASSERT_TRUE(consumer_.Attach("probe", [&] { EvTraceString(probe_, 51, 0, "probe", nullptr, nullptr, 0); }));
    }

    void TearDown() override {
        consumer_.Stop();
        LibraryTest::TearDown();
    }

    static void ExpectReport(ChildProcess& child, const std::string& label, LONG result) {
        EXPECT_EQ(child.read_line(), label + " " + Hex(result));
    }

    RawConsumer consumer_;
    ULONG probe_ = 0;
};

}  // namespace

TEST_F(CrossProcessTest, EveryKindOfEventArrivesByteForByte) {
    StartListening();
    SetSwitch(true);
    ChildProcess child = spawn_helper("emit_every_kind");
    for (const char* label : {"register", "string", "start", "format", "args", "log", "custom", "stamped", "long"})
        ExpectReport(child, label, S_OK);
    ASSERT_EQ(child.read_line(), "done");
    ASSERT_TRUE(consumer_.WaitFor("Remote", 8));
    std::vector<RawEvent> events = consumer_.EventsFrom("Remote");
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);
    ASSERT_EQ(events.size(), 8u);

    for (const RawEvent& event : events) {
        EXPECT_EQ(event.header.ProcessId, static_cast<ULONG>(child.pid()));
        EXPECT_EQ(event.header.Flags, ULONG(WNODE_FLAG_TRACED_GUID));
        EXPECT_EQ(event.header.Size, event.data.size() + 48);
        EXPECT_EQ(event.Get32(0), 0x55AA55AAu);
        EXPECT_EQ(event.Get32(4), event.data.size() - 8);
        EXPECT_EQ(event.Field(280), "remote-user");
        EXPECT_EQ(event.Field(536), "remote text");
        for (size_t at = event.data.size() - 8; at < event.data.size(); ++at) ASSERT_EQ(event.data[at], 0);
    }

    const RawEvent& text = events[0];
    EXPECT_EQ(text.header.Class.Type, 51);
    EXPECT_EQ(text.Code(), 0x80000800u);
    EXPECT_EQ(text.Type(), 51u);
    EXPECT_EQ(text.StringA(), "string A");
    EXPECT_EQ(text.StringB(), "string B");
    EXPECT_EQ(text.Flag(), 0x11);
    EXPECT_EQ(text.Payload(), std::vector<BYTE>({'p', 'l', 'a', 'i', 'n', ' ', 't', 'e', 'x', 't'}));

    const RawEvent& start = events[1];
    EXPECT_EQ(start.Type(), 66u);
    EXPECT_EQ(start.Code(), 0xC000u);
    EXPECT_EQ(start.StringA(), "");
    EXPECT_EQ(start.Flag(), 0);

    const RawEvent& format = events[2];
    EXPECT_EQ(format.Type(), 56u);
    EXPECT_EQ(format.StringA(), "fmtA");
    EXPECT_EQ(format.Flag(), 0x22);
    std::vector<BYTE> block = format.Payload();
    ASSERT_EQ(block.size(), 302u);
    EXPECT_EQ(Get32(block.data(), 0), 2u);
    EXPECT_EQ(Get32(block.data(), 4), 4u);
    EXPECT_EQ(Get32(block.data(), 8), 2u);
    EXPECT_EQ(Get32(block.data(), 20), 0u);
    EXPECT_EQ(Get32(block.data(), 24), 2u);
    EXPECT_EQ(Text(block.data() + 36, 256), "%d %s");
    const BYTE formatData[] = {7, 0, 0, 0, 'a', 'b', 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(block.data() + 292, formatData, sizeof formatData));

    const RawEvent& args = events[3];
    EXPECT_EQ(args.Type(), 56u) << "53 becomes its formatted kind";
    block = args.Payload();
    ASSERT_EQ(block.size(), 1312u);
    EXPECT_EQ(Get32(block.data(), 0), 1u);
    EXPECT_EQ(block[4], 0);
    EXPECT_EQ(block[5], 3);
    // Item 0 at 6: kind 0, size 15, position 0, the format and its zero.
    EXPECT_EQ(block[6], 0);
    EXPECT_EQ(Get16(block.data(), 7), 15);
    EXPECT_EQ(Get16(block.data(), 9), 0);
    EXPECT_EQ(Text(block.data() + 11, 15), "%5.2f and %lld");
    // Item 1 at 26: the double at position 4; item 2 at 39: the 64-bit
    // integer at position 13.
    EXPECT_EQ(block[26], 5);
    EXPECT_EQ(Get16(block.data(), 27), 8);
    EXPECT_EQ(Get16(block.data(), 29), 4);
    double value = 0;
    memcpy(&value, block.data() + 31, 8);
    EXPECT_EQ(value, 3.25);
    EXPECT_EQ(block[39], 4);
    EXPECT_EQ(Get16(block.data(), 40), 8);
    EXPECT_EQ(Get16(block.data(), 42), 13);
    EXPECT_EQ(Get64(block.data(), 44), 12345678901ULL);
    for (size_t at = 52; at < 1028; ++at) ASSERT_EQ(block[at], 0) << at;
    EXPECT_EQ(Text(block.data() + 1028, 260), "src\\args.cpp");
    EXPECT_EQ(Get32(block.data(), 1288), 99u);
    EXPECT_EQ(Get64(block.data(), 1296), 0x01D9000000000000ULL);
    EXPECT_EQ(Get32(block.data(), 1304), static_cast<ULONG>(child.pid()));

    const RawEvent& log = events[4];
    EXPECT_EQ(log.Type(), 54u);
    EXPECT_EQ(log.StringB(), "logB");
    EXPECT_EQ(log.Flag(), 0x33);
    block = log.Payload();
    ASSERT_EQ(block.size(), 1312u);
    EXPECT_EQ(Get32(block.data(), 0), 0u);
    EXPECT_EQ(Text(block.data() + 4, 1024), "log text");
    EXPECT_EQ(Text(block.data() + 1028, 260), "src\\log.cpp");
    EXPECT_EQ(Get32(block.data(), 1288), 7u);
    EXPECT_EQ(Get64(block.data(), 1296), 0x0102030405060708ULL);
    EXPECT_EQ(Get32(block.data(), 1304), 0xAAu);
    EXPECT_EQ(Get32(block.data(), 1308), 0xBBu);

    const RawEvent& custom = events[5];
    EXPECT_EQ(custom.Type(), 9u);
    EXPECT_EQ(custom.Payload(), std::vector<BYTE>(kCustomBytes, kCustomBytes + sizeof kCustomBytes));

    const RawEvent& stamped = events[6];
    EXPECT_EQ(stamped.header.Class.Type, 52);
    EXPECT_EQ(stamped.Type(), 52u);
    ASSERT_EQ(stamped.Payload().size(), 352u);
    EXPECT_EQ(stamped.Payload()[5], 0x1b);

    const RawEvent& longest = events[7];
    EXPECT_EQ(longest.header.Size, 5464);
    EXPECT_EQ(longest.Payload(), std::vector<BYTE>(4096, 'x'));
    EXPECT_EQ(longest.StringA(), std::string(255, 's'));
    EXPECT_EQ(longest.StringB(), std::string(255, 's'));
}

TEST_F(CrossProcessTest, AProviderStartsAMissingSessionAndPublishesItsHandle) {
    ChildProcess child = spawn_helper("provider_on_request", {"Starter"});
    ExpectReport(child, "register", S_OK);
    std::string cached = child.read_line();
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);

    EVENT_TRACE_PROPERTIES* properties = CEvTrace::MakeTraceProperties1();
    ASSERT_EQ(ControlTraceA(0, EVT_SESSION_NAME, properties, EVENT_TRACE_CONTROL_QUERY), ERROR_SUCCESS)
        << "the session outlives the process that started it";
    ULONG64 handle = properties->Wnode.HistoricalContext;
    EXPECT_EQ(properties->BufferSize, 50u);
    EXPECT_EQ(properties->MaximumBuffers, 4u);
    EXPECT_EQ(properties->FlushTimer, 1u);
    CEvTrace::ReleaseTraceProperties(properties);
    EXPECT_EQ(PublishedHandle(), handle);
    char expected[32];
    snprintf(expected, sizeof expected, "cached %" PRIx64, handle);
    EXPECT_EQ(cached, expected);
}

TEST_F(CrossProcessTest, AProcessRefusedTheQueryUsesThePublishedHandle) {
    if (testing_support::unprivileged_uid() < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    StartListening();
    SpawnOptions options;
    options.uid = testing_support::unprivileged_uid();
    options.gid = options.uid;
    ChildProcess child = spawn_helper("provider_on_request", {"Unprivileged"}, options);
    ExpectReport(child, "register", S_OK);
    char expected[32];
    snprintf(expected, sizeof expected, "cached %" PRIx64, PublishedHandle());
    EXPECT_EQ(child.read_line(), expected) << "the handle came from the registry";

    child.write_line("emit");
    ExpectReport(child, "emit", S_OK);
    ASSERT_TRUE(consumer_.WaitFor("Unprivileged", 1));
    EXPECT_EQ(consumer_.EventsFrom("Unprivileged")[0].header.ProcessId, static_cast<ULONG>(child.pid()));

    // The unified-log switch made by another user is the child's too.
    SetSwitch(false);
    child.write_line("args");
    ExpectReport(child, "args", S_OK);
    SetSwitch(true);
    child.write_line("args");
    ExpectReport(child, "args", S_OK);
    ASSERT_TRUE(consumer_.WaitFor("Unprivileged", 2));
    std::vector<RawEvent> events = consumer_.EventsFrom("Unprivileged");
    ASSERT_EQ(events.size(), 2u) << "the first line was silenced";
    EXPECT_EQ(events[1].Type(), 63u);
    EXPECT_EQ(events[1].Code(), 0x3002u);
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(CrossProcessTest, ARefusedProcessWithoutAPublishedHandleDropsEventsUntilOneAppears) {
    if (testing_support::unprivileged_uid() < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    StartListening();
    ULONG64 published = PublishedHandle();
    ASSERT_NE(published, 0u);
    Publish(nullptr, 0);

    SpawnOptions options;
    options.uid = testing_support::unprivileged_uid();
    options.gid = options.uid;
    ChildProcess child = spawn_helper("provider_on_request", {"Waiting"}, options);
    ExpectReport(child, "register", S_OK);
    EXPECT_EQ(child.read_line(), "cached 0");
    child.write_line("session");
    EXPECT_EQ(child.read_line(), "session " + Hex(E_FAIL) + " 0 0") << "no handle, nothing cached";
    child.write_line("emit");
    ExpectReport(child, "emit", EVT_E_NOSESSION);

    const ULONG64 allOnes = ~0ULL;
    Publish(&allOnes, sizeof allOnes);
    child.write_line("session");
    EXPECT_EQ(child.read_line(), "session " + Hex(E_FAIL) + " 0 0");
    const BYTE shortValue[4] = {1, 2, 3, 4};
    Publish(shortValue, sizeof shortValue);
    child.write_line("emit");
    ExpectReport(child, "emit", EVT_E_NOSESSION);

    Publish(&published, sizeof published);
    child.write_line("emit");
    ExpectReport(child, "emit", S_OK);
    ASSERT_TRUE(consumer_.WaitFor("Waiting", 1));
    EXPECT_EQ(consumer_.EventsFrom("Waiting").size(), 1u);
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(CrossProcessTest, ProvidersOfAStoppedSessionFailAfterItIsStartedAgain) {
    StartListening();
    ChildProcess old = spawn_helper("provider_on_request", {"Old"});
    ExpectReport(old, "register", S_OK);
    old.read_line();
    old.write_line("emit");
    ExpectReport(old, "emit", S_OK);
    ASSERT_TRUE(consumer_.WaitFor("Old", 1));
    consumer_.Stop();

    ASSERT_EQ(EnableLogging(0), S_OK);
    ASSERT_EQ(EnableLogging(1), S_OK);
    // Its handle belongs to the stopped session, and it keeps it.
    old.write_line("emit");
    ExpectReport(old, "emit", E_FAIL);
    old.write_line("emit");
    ExpectReport(old, "emit", E_FAIL);

    // Providers of this process are no different: the probe holds the old
    // handle. One registered now gets the new session.
    EXPECT_EQ(EvTraceString(probe_, 51, 0, "probe", nullptr, nullptr, 0), E_FAIL);
    ULONG probe = Register("probe2");
    RawConsumer fresh;
    ASSERT_TRUE(fresh.Start());
    ASSERT_TRUE(fresh.Attach("probe2", [&] { EvTraceString(probe, 51, 0, "probe", nullptr, nullptr, 0); }));
    ChildProcess young = spawn_helper("provider_on_request", {"Young"});
    ExpectReport(young, "register", S_OK);
    young.read_line();
    young.write_line("emit");
    ExpectReport(young, "emit", S_OK);
    EXPECT_TRUE(fresh.WaitFor("Young", 1));
    young.write_line("exit");
    old.write_line("exit");
    EXPECT_EQ(young.wait(), 0);
    EXPECT_EQ(old.wait(), 0);
    fresh.Stop();
}
