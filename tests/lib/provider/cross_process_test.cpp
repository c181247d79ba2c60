// Providers in other processes: every kind of event arrives byte for byte at
// a real-time consumer of this process, refused and silenced calls send
// nothing, and the session situations a provider meets (no session, refused
// queries, a restarted session).
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame/RegApi.h"
#include "provider_fixture.h"

using testing_support::ChildProcess;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;

namespace {

constexpr ULONG64 kTime = 0x01D9000000000000ULL;
const std::vector<BYTE> kCustom = {0xDE, 0xAD, 0x00, 0xBE, 0xEF, 0x00, 0x01};

// The first size bytes of a time-stamped event's block.
std::vector<BYTE> Stamped(size_t size) {
    std::vector<BYTE> block = Image(352).Put(0, 1u).Put(5, USHORT(0x2c1b)).bytes;
    block.resize(size);
    return block;
}

std::vector<BYTE> Large() {
    std::vector<BYTE> large(40000);
    for (size_t n = 0; n < large.size(); ++n) large[n] = static_cast<BYTE>(n * 7);
    return large;
}

std::string Hex(ULONG64 value) {
    char text[24];
    snprintf(text, sizeof text, "%" PRIx64, value);
    return text;
}
std::string Hex(LONG value) { return Hex(static_cast<ULONG64>(static_cast<ULONG>(value))); }

std::string Results(std::initializer_list<LONG> results) {
    std::string line = "results";
    for (LONG result : results) line += " " + Hex(result);
    return line;
}

LONG FormatArgs(ULONG handle, ULONG type, ULONG code, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LONG result =
        EvTraceFormatArgs(handle, type, code, "fa", "fb", 4, format, arguments, "src\\args.cpp", 99, kTime, 0xAA, 0xBB);
    va_end(arguments);
    return result;
}

// A description with garbage after its texts and a user name that fills its
// field without a zero: events carry them cut to 255 characters, zero-padded.
EVT_PROVIDER_INFO RemoteInfo(const char* name) {
    EVT_PROVIDER_INFO info;
    memset(&info, 'u', sizeof info);
    snprintf(info.m_szInstanceName, sizeof info.m_szInstanceName, "%s", name);
    snprintf(info.m_szProviderText, sizeof info.m_szProviderText, "remote text");
    return info;
}

// Sets or resets the unified-log switch; false when it does not exist.
bool SetSwitch(bool on) {
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\UL_ENABLED_EVENT");
    BOOL done = event != nullptr && (on ? SetEvent(event) : ResetEvent(event));
    if (event != nullptr) CloseHandle(event);
    return done != FALSE;
}

constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng";

// The session handle published in the registry, or 0.
ULONG64 PublishedHandle() {
    CRegApi key;
    ULONG64 handle = 0;
    DWORD size = sizeof handle;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, kEngKey, KEY_READ) != ERROR_SUCCESS ||
        key.QueryValue("Session", reinterpret_cast<BYTE*>(&handle), size) != ERROR_SUCCESS || size != sizeof handle)
        return 0;
    return handle;
}

// Publishes data as the session handle; null removes the value.
void Publish(const void* data, DWORD size) {
    CRegApi key;
    ASSERT_EQ(key.CreateKey(HKEY_LOCAL_MACHINE, kEngKey, 0, KEY_ALL_ACCESS, nullptr), ERROR_SUCCESS);
    if (data == nullptr)
        RegDeleteValueA(key.m_hKey, "Session");
    else
        EXPECT_EQ(key.SetValue("Session", static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

}  // namespace

// Registers "Remote" and makes every kind of emitting call, accepted and
// refused, then unified-log calls with the switch off and on, reporting the
// results; then waits for a line.
TEST_HELPER(emit_every_kind) {
    EVT_PROVIDER_INFO info = RemoteInfo("Remote"), other = RemoteInfo("Leaving");
    ULONG handle = 0, leaving = 0;
    if (RegisterEvTrace(&handle, &info) != S_OK || !SetSwitch(true)) return 1;
    const std::string longText(5000, 'x'), longString(300, 's'), longLog(600, 'g');
    const std::vector<BYTE> stamped = Stamped(352), large = Large(), huge(EVT_MAX_PAYLOAD + 1);
    send_line(Results({
        EvTraceString(handle, 51, 0x80000800, "plain text", "string A", "string B", 0x11),
        EvTraceStart(handle, 0x0000C000, "start marker"),
        EvTraceFormat(handle, 99, 0x1001, "fmtA", nullptr, 0x22, "%d %s", 7, "ab"),
        FormatArgs(handle, 53, 0x1002, "%5.2f and %lld", 3.25, 12345678901LL),
        EvTraceCustomLog(handle, 54, 0x1003, "src\\log.cpp", 7, "log text", 8, nullptr, "logB", 0x33,
                         0x0102030405060708ULL, 0xAA, 0xBB),
        EvTraceCustom(handle, 9, 0x1004, kCustom.data(), 7, nullptr, nullptr, 0),
        EvTraceCustomTimeStamp(handle, 52, 0x1005, stamped.data(), 352, nullptr, nullptr, 0),
        EvTraceString(handle, 51, 0x1006, longText.c_str(), longString.c_str(), longString.c_str(), 0),
        EvTraceString(handle, 51, 0x1007, "", nullptr, nullptr, 0),
        EvTraceCustom(handle, 9, 0x1008, nullptr, 10, nullptr, nullptr, 0),
        EvTraceCustomTimeStamp(handle, 51, 0x1009, stamped.data(), 4, nullptr, nullptr, 0),
        EvTraceCustomLog(handle, 55, 0x100A, nullptr, 0, "raw", 3, nullptr, nullptr, 0, 0, 0, 0),
        EvTraceCustomLog(handle, 53, 0x100B, "f", 1, longLog.c_str(), 600, nullptr, nullptr, 0, 0, 0, 0),
        FormatArgs(handle, 70, 0x100C, "plain"),
        EvTraceCustom(handle, 9, 0x100D, large.data(), 40000, nullptr, nullptr, 0),
        EvTraceCustom(handle, 9, 0x2000, huge.data(), EVT_MAX_PAYLOAD + 1, nullptr, nullptr, 0),
        EvTraceString(77, 51, 0x2001, nullptr, nullptr, nullptr, 0),
        EvTraceString(handle, 51, 0x2002, nullptr, nullptr, nullptr, 0),
        EvTraceStart(77, 0x2003, nullptr),
        EvTraceStart(handle, 0x2004, nullptr),
        EvTraceFormat(77, 0, 0x2005, nullptr, nullptr, 0, nullptr),
        EvTraceFormat(handle, 0, 0x2006, nullptr, nullptr, 0, nullptr),
        EvTraceCustom(77, 9, 0x2007, "x", 1, nullptr, nullptr, 0),
        EvTraceCustomTimeStamp(77, 52, 0x2008, "x", 1, nullptr, nullptr, 0),
        EvTraceCustomTimeStamp(handle, 52, 0x2009, nullptr, 8, nullptr, nullptr, 0),
        EvTraceCustomLog(77, 53, 0x200A, "f", 1, "x", 1, nullptr, nullptr, 0, 0, 0, 0),
        EvTraceCustomLog(handle, 53, 0x200B, "f", 1, nullptr, 1, nullptr, nullptr, 0, 0, 0, 0),
        FormatArgs(77, 53, 0x200C, "x"),
        FormatArgs(handle, 53, 0x200D, nullptr),
    }));
    // A provider leaving while the switch is off does not take the switch
    // from those that stay.
    if (RegisterEvTrace(&leaving, &other) != S_OK || !SetSwitch(false) || UnRegisterEvTrace(leaving) != S_OK) return 1;
    send_line(Results({
        FormatArgs(handle, 53, 0x3000, "quiet %d", 1),
        EvTraceCustomLog(handle, 53, 0x3001, "f", 1, "quiet", 5, nullptr, nullptr, 0, 0, 0, 0),
        FormatArgs(77, 53, 0x3002, "x"),
    }));
    SetSwitch(true);
    send_line(Results({FormatArgs(handle, 54, 0x3003, "loud %d", 1)}));
    receive_line();
    return UnRegisterEvTrace(handle) == S_OK ? 0 : 1;
}

// Registers a provider under argv[1], reports the result and the cached
// session handle, then answers each request line with its results: "emit" a
// text, "args" a unified-log line, "session" a fresh trace object's lookup.
TEST_HELPER(provider_on_request) {
    EVT_PROVIDER_INFO info = RemoteInfo(argv[1]);
    ULONG handle = 0;
    LONG registered = RegisterEvTrace(&handle, &info);
    send_line(Hex(registered) + " cached " + Hex(CEvTrace::s_hRTSession));
    for (ULONG n = 0;; ++n) {
        std::string line = receive_line();
        if (line == "emit") {
            send_line(Hex(EvTraceString(handle, 51, 0x2000 + n, "requested", nullptr, nullptr, 0)));
        } else if (line == "args") {
            send_line(Hex(FormatArgs(handle, 59, 0x3000 + n, "n=%d", n)));
        } else if (line == "session") {
            CEvTrace trace;
            ULONG64 session = 77;
            LONG result = trace.GetSessionHandle1(session);
            send_line(Hex(result) + " " + Hex(session) + " " + Hex(CEvTrace::s_hRTSession));
        } else {
            break;
        }
    }
    return UnRegisterEvTrace(handle) == S_OK ? 0 : 1;
}

// Emits from two threads that are still emitting when the process exits
// (static objects are destroyed then).
TEST_HELPER(emit_while_exiting) {
    static EVT_PROVIDER_INFO info = RemoteInfo("Exiting");
    static ULONG handle = 0;
    static std::atomic<int> calls{0};
    if (RegisterEvTrace(&handle, &info) != S_OK) return 1;
    for (int n = 0; n < 2; ++n)
        std::thread([] {
            for (;;) {
                EvTraceString(handle, 51, 0, "late", nullptr, nullptr, 0);
                ++calls;
            }
        }).detach();
    while (calls < 200) std::this_thread::yield();
    return 0;
}

namespace {

class CrossProcessTest : public LibraryTest {
protected:
    void StartListening() {
        ASSERT_EQ(EvtInitialize(1), S_OK);
        ASSERT_EQ(EnableLogging(1), S_OK);
        ASSERT_TRUE(Listen("probe"));
    }
};

// The data of an event of "Remote": the fixed block, the payload and the
// 8-byte zero tail.
std::vector<BYTE> RemoteEvent(ULONG code, ULONG type, const std::string& stringA, const std::string& stringB, BYTE flag,
                              const std::vector<BYTE>& payload) {
    return Image(1320 + payload.size())
        .Put(0, 0x55AA55AAu).Put(4, static_cast<ULONG>(1312 + payload.size())).Put(8, code).Put(12, type)
        .Put(24, "Remote").Put(280, std::string(255, 'u')).Put(536, "remote text")
        .Put(792, stringB).Put(1048, stringA).Put(1304, flag).Put(1312, payload)
        .bytes;
}

// An argument block of FormatArgs: its items, then the caller's trailer.
std::vector<BYTE> ArgumentBlock(Image items) {
    return items.Put(0, 1u).Put(1028, "src\\args.cpp").Put(1288, 99u).Put(1296, kTime).Put(1304, 0xAAu).Put(1308, 0xBBu)
        .bytes;
}

}  // namespace

TEST_F(CrossProcessTest, EveryKindOfEventArrivesByteForByte) {
    StartListening();
    ChildProcess child = spawn_helper("emit_every_kind");
    const LONG ok = S_OK, unknown = EVT_E_NOTINITIALIZED, null = EVT_E_POINTER;
    EXPECT_EQ(child.read_line(), Results({ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, ok, E_FAIL, unknown,
                                          null, unknown, null, unknown, null, unknown, unknown, null, unknown, null,
                                          unknown, null}));
    EXPECT_EQ(child.read_line(), Results({ok, ok, ok})) << "silenced calls succeed, the handle unchecked";
    EXPECT_EQ(child.read_line(), Results({ok}));
    ASSERT_TRUE(consumer_.WaitFor("Remote", 16));
    std::vector<RawEvent> events = consumer_.EventsFrom("Remote");
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);

    const std::string cut(255, 's');
    const std::pair<UCHAR, std::vector<BYTE>> expected[] = {
        {51, RemoteEvent(0x80000800, 51, "string A", "string B", 0x11, Image(10).Put(0, "plain text").bytes)},
        {51, RemoteEvent(0xC000, 66, "", "", 0, Image(12).Put(0, "start marker").bytes)},
        {51, RemoteEvent(0x1001, 56, "fmtA", "", 0x22,
                         // count, sizes, kinds, the format, the arguments and four zeros
                         Image(302).Put(0, 2u).Put(4, 4u).Put(8, 2u).Put(24, 2u).Put(36, "%d %s").Put(292, 7u)
                             .Put(296, "ab").bytes)},
        {51, RemoteEvent(0x1002, 56, "fa", "fb", 4,
                         // The item count, then items of kind, size and position: the format with its zero,
                         // the double at 4 and the 64-bit integer at 13.
                         ArgumentBlock(Image(1312).Put(5, BYTE(3))
                                           .Put(7, USHORT(15)).Put(11, "%5.2f and %lld")
                                           .Put(26, BYTE(5)).Put(27, USHORT(8)).Put(29, USHORT(4)).Put(31, 3.25)
                                           .Put(39, BYTE(4)).Put(40, USHORT(8)).Put(42, USHORT(13))
                                           .Put(44, 12345678901LL)))},
        {51, RemoteEvent(0x1003, 54, "", "logB", 0x33,
                         Image(1312).Put(4, "log text").Put(1028, "src\\log.cpp").Put(1288, 7u)
                             .Put(1296, 0x0102030405060708ULL).Put(1304, 0xAAu).Put(1308, 0xBBu).bytes)},
        {51, RemoteEvent(0x1004, 9, "", "", 0, kCustom)},
        {52, RemoteEvent(0x1005, 52, "", "", 0, Stamped(352))},
        {51, RemoteEvent(0x1006, 51, cut, cut, 0, std::vector<BYTE>(4096, 'x'))},
        {51, RemoteEvent(0x1007, 51, "", "", 0, {})},
        {51, RemoteEvent(0x1008, 9, "", "", 0, std::vector<BYTE>(10, 0))},
        {51, RemoteEvent(0x1009, 51, "", "", 0, Stamped(4))},
        {51, RemoteEvent(0x100A, 55, "", "", 0, Image(3).Put(0, "raw").bytes)},
        // A log text of 512 or more is not stored.
        {51, RemoteEvent(0x100B, 53, "", "", 0, Image(1312).Put(1028, "f").Put(1288, 1u).bytes)},
        {51, RemoteEvent(0x100C, 70, "fa", "fb", 4,
                         ArgumentBlock(Image(1312).Put(5, BYTE(1)).Put(7, USHORT(6)).Put(11, "plain")))},
        {51, RemoteEvent(0x100D, 9, "", "", 0, Large())},
        {51, RemoteEvent(0x3003, 57, "fa", "fb", 4,
                         ArgumentBlock(Image(1312).Put(5, BYTE(2)).Put(7, USHORT(8)).Put(11, "loud %d")
                                           .Put(19, BYTE(2)).Put(20, USHORT(4)).Put(22, USHORT(6)).Put(24, 1u)))},
    };
    ASSERT_EQ(events.size(), std::size(expected)) << "refused and silenced calls send nothing";
    const GUID eventClass = {0xF2EC902B, 0x8545, 0x458C, {0xBB, 0x9A, 0x76, 0x09, 0x3B, 0x0F, 0x47, 0xB2}};
    for (size_t n = 0; n < events.size(); ++n) {
        SCOPED_TRACE(testing::Message() << "event " << n << " of code 0x" << std::hex << events[n].Code());
        const EVENT_TRACE_HEADER& header = events[n].header;
        EXPECT_EQ(header.ProcessId, static_cast<ULONG>(child.pid())) << "the session stamps the process";
        EXPECT_NE(header.TimeStamp.QuadPart, 0);
        EXPECT_EQ(header.Flags, ULONG(WNODE_FLAG_TRACED_GUID));
        EXPECT_TRUE(IsEqualGUID(header.Guid, eventClass));
        EXPECT_EQ(header.Class.Type, expected[n].first);
        EXPECT_EQ(header.Size, 48 + expected[n].second.size());
        EXPECT_TRUE(SameBytes(events[n].data, expected[n].second));
    }
}

TEST_F(CrossProcessTest, AProviderStartsAMissingSessionAndPublishesItsHandle) {
    ChildProcess child = spawn_helper("provider_on_request", {"Starter"});
    std::string registered = child.read_line();
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);

    EVENT_TRACE_PROPERTIES* properties = CEvTrace::MakeTraceProperties1();
    ASSERT_EQ(ControlTraceA(0, EVT_SESSION_NAME, properties, EVENT_TRACE_CONTROL_QUERY), ERROR_SUCCESS)
        << "the session outlives the process that started it";
    ULONG64 handle = properties->Wnode.HistoricalContext;
    EXPECT_EQ(properties->BufferSize, 50u);
    EXPECT_EQ(properties->MinimumBuffers, 4u);
    EXPECT_EQ(properties->MaximumBuffers, 4u);
    EXPECT_EQ(properties->FlushTimer, 1u);
    EXPECT_EQ(properties->LogFileMode & EVENT_TRACE_REAL_TIME_MODE, ULONG(EVENT_TRACE_REAL_TIME_MODE));
    CEvTrace::ReleaseTraceProperties(properties);
    EXPECT_EQ(PublishedHandle(), handle);
    EXPECT_EQ(registered, "0 cached " + Hex(handle));
}

TEST_F(CrossProcessTest, AProcessRefusedTheQueryDropsEventsUntilAUsableHandleIsPublished) {
    if (testing_support::unprivileged_uid() < 0) GTEST_SKIP() << "needs the superuser to run a child as another user";
    StartListening();
    const ULONG64 published = PublishedHandle();
    ASSERT_NE(published, 0u);
    Publish(nullptr, 0);
    testing_support::SpawnOptions options;
    options.uid = options.gid = testing_support::unprivileged_uid();
    ChildProcess child = spawn_helper("provider_on_request", {"Other"}, options);
    EXPECT_EQ(child.read_line(), "0 cached 0");

    // No handle, all ones, too short: the lookup fails, nothing is cached,
    // and every event asks again.
    const ULONG64 allOnes = ~0ULL;
    const BYTE tooShort[4] = {1, 2, 3, 4};
    for (auto [value, size] : {std::pair<const void*, DWORD>{nullptr, 0}, {&allOnes, 8}, {tooShort, 4}}) {
        SCOPED_TRACE(size);
        Publish(value, size);
        child.write_line("session");
        EXPECT_EQ(child.read_line(), Hex(E_FAIL) + " 0 0");
        child.write_line("emit");
        EXPECT_EQ(child.read_line(), Hex(EVT_E_NOSESSION));
    }
    Publish(&published, sizeof published);
    child.write_line("session");
    EXPECT_EQ(child.read_line(), "0 " + Hex(published) + " " + Hex(published));
    child.write_line("emit");
    EXPECT_EQ(child.read_line(), Hex(S_OK));

    // The unified-log switch made by another user is the child's too.
    for (bool on : {false, true}) {
        ASSERT_TRUE(SetSwitch(on));
        child.write_line("args");
        EXPECT_EQ(child.read_line(), Hex(S_OK));
    }
    ASSERT_TRUE(consumer_.WaitFor("Other", 2));
    std::vector<RawEvent> events = consumer_.EventsFrom("Other");
    ASSERT_EQ(events.size(), 2u) << "the first line was silenced";
    EXPECT_EQ(events[0].header.ProcessId, static_cast<ULONG>(child.pid()));
    EXPECT_EQ(events[1].Type(), 63u);
    child.write_line("exit");
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(CrossProcessTest, ProvidersOfAStoppedSessionFailAfterItIsStartedAgain) {
    ASSERT_EQ(EvtInitialize(1), S_OK);
    EXPECT_EQ(EnableLogging(0), E_FAIL) << "no session to stop";
    StartListening();
    EXPECT_EQ(EnableLogging(1), S_OK) << "enabling a running session again";
    ULONG here = Register("Here");
    ChildProcess old = spawn_helper("provider_on_request", {"Old"});
    old.read_line();
    old.write_line("emit");
    EXPECT_EQ(old.read_line(), Hex(S_OK));
    ASSERT_TRUE(consumer_.WaitFor("Old", 1));
    consumer_.Stop();

    const ULONG64 first = CEvTrace::s_hRTSession;
    ASSERT_EQ(EnableLogging(0), S_OK);
    ASSERT_EQ(EnableLogging(1), S_OK);
    EXPECT_NE(CEvTrace::s_hRTSession, first) << "the stopping process asks afresh and starts a new session";
    EXPECT_EQ(PublishedHandle(), CEvTrace::s_hRTSession);
    // Providers keep the handle of the stopped session, here and there;
    // those registered now get the new one.
    for (int n = 0; n < 2; ++n) {
        old.write_line("emit");
        EXPECT_EQ(old.read_line(), Hex(E_FAIL));
    }
    EXPECT_EQ(EvTraceString(here, 51, 0, "here", nullptr, nullptr, 0), E_FAIL);
    ASSERT_TRUE(Listen("probe2"));
    ChildProcess young = spawn_helper("provider_on_request", {"Young"});
    young.read_line();
    young.write_line("emit");
    EXPECT_EQ(young.read_line(), Hex(S_OK));
    EXPECT_TRUE(consumer_.WaitFor("Young", 1));
    young.write_line("exit");
    old.write_line("exit");
    EXPECT_EQ(young.wait(), 0);
    EXPECT_EQ(old.wait(), 0);
}

TEST_F(CrossProcessTest, ThreadsStillEmittingWhenTheProcessExitsLetItEnd) {
    for (int run = 0; run < 5; ++run) EXPECT_EQ(spawn_helper("emit_while_exiting").wait(), 0) << "run " << run;
}
