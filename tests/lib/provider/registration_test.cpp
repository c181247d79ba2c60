// Provider registration: handles, descriptions, the "Providers" list, the
// unified-log switch event and the cached session handle. (Manual reset of
// the switch, finding a running session and starting a missing one are seen
// across processes in cross_process_test.cpp.)
#include <objbase.h>
#include <w32rt/testing.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "c_host.h"
#include "provider_fixture.h"

using RegistrationTest = LibraryTest;

namespace {

// The value listed for a provider name, or -1 when there is none.
long long Listed(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vanta\\Wireless\\EvTrace\\API\\Providers", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return -1;
    DWORD value = 0, size = sizeof value, type = 0;
    LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == 4 ? value : -1;
}

// The debugger output of this process while it lives.
class DebugLines {
public:
    DebugLines() { w32rt_set_debug_sink(&Collect, this); }
    ~DebugLines() { w32rt_set_debug_sink(nullptr, nullptr); }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    static void Collect(const char* text, void* self) {
        auto* lines = static_cast<DebugLines*>(self);
        std::lock_guard<std::mutex> lock(lines->mutex_);
        lines->lines_.emplace_back(text);
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Whether expected appear among lines in this order (others may come between).
testing::AssertionResult InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& line : lines)
        if (at < expected.size() && line == expected[at]) ++at;
    if (at == expected.size()) return testing::AssertionSuccess();
    std::string all;
    for (const std::string& line : lines) all += "  " + line;
    return testing::AssertionFailure() << "missing \"" << expected[at] << "\" in:\n" << all;
}

}  // namespace

TEST_F(RegistrationTest, HandlesAreTheLowestFreeOnesUntilTheLastIsUnregistered) {
    EXPECT_EQ(UnRegisterEvTrace(1), EVT_E_NOTINITIALIZED) << "no registry yet";
    std::vector<ULONG> handles = {Register("Component"), Register("Component"), Register("Other")};
    EXPECT_EQ(handles, (std::vector<ULONG>{1, 2, 3})) << "the same name registers twice";
    EXPECT_EQ(UnRegisterEvTrace(2), S_OK);
    Forget(2);
    EXPECT_EQ(EvTraceCustom(2, 1, 1, nullptr, 0, nullptr, nullptr, 0), EVT_E_NOTINITIALIZED) << "handle gone";
    EXPECT_EQ(Register("Late"), 2u) << "the freed handle is given again";
    EXPECT_EQ(UnRegisterEvTrace(7), EVT_E_INVALIDARG);
    for (ULONG handle : {1, 2, 3}) {
        EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
        Forget(handle);
    }
    EXPECT_EQ(EvTraceString(1, 51, 1, "x", nullptr, nullptr, 0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(UnRegisterEvTrace(1), EVT_E_NOTINITIALIZED) << "the registry is gone";
    EXPECT_EQ(Register("Again"), 1u) << "a new registry starts from 1";
}

TEST_F(RegistrationTest, BadDescriptionsAreRefusedAndAnEmptyUserNameIsFilledIn) {
    EVT_PROVIDER_INFO info = Info("");
    ULONG handle = 99;
    EXPECT_EQ(RegisterEvTrace(&handle, &info), EVT_E_INVALIDARG);
    EXPECT_EQ(RegisterEvTrace(nullptr, &info), EVT_E_POINTER);
    EXPECT_EQ(RegisterEvTrace(&handle, nullptr), EVT_E_POINTER);
    EXPECT_EQ(EvTraceString(1, 51, 1, "x", nullptr, nullptr, 0), EVT_E_NOTINITIALIZED) << "nothing was added";

    info = Info("Filler", "", "text");
    ASSERT_EQ(RegisterEvTrace(&handle, &info), S_OK);
    char user[256] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_STREQ(info.m_szUserName, user) << "filled in the caller's description";
    EXPECT_STREQ(info.m_szProviderText, "text");
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
}

TEST_F(RegistrationTest, InstanceNamesAreListedAndNeverRemoved) {
    EXPECT_EQ(Listed("Listed"), -1);
    ULONG handle = Register("Listed");
    EXPECT_EQ(Listed("Listed"), 1);
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
    Forget(handle);
    EXPECT_EQ(Listed("Listed"), 1) << "still listed after unregistering";

    // A name longer than its field is listed as its first 255 characters.
    EVT_PROVIDER_INFO info = {};
    memset(info.m_szInstanceName, 'L', sizeof info.m_szInstanceName);
    memset(info.m_szUserName, 'L', 44);
    ASSERT_EQ(RegisterEvTrace(&handle, &info), S_OK);
    EXPECT_EQ(Listed(std::string(255, 'L')), 1);
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
}

TEST_F(RegistrationTest, RegisteringMakesTheUnifiedLogSwitchOffAndPreparesTheThreadForCom) {
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\UL_ENABLED_EVENT"), nullptr);
    HRESULT again = E_FAIL;
    std::thread worker([&] {
        Register("Switch");
        again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    });
    worker.join();
    EXPECT_EQ(again, S_FALSE) << "the thread was already initialised, multithreaded";
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, "Global\\UL_ENABLED_EVENT");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT)) << "created not signalled";
    CloseHandle(event);
}

TEST_F(RegistrationTest, ACachedSessionHandleIsUsedWithoutAsking) {
    CEvTrace::s_hRTSession = 0x5151;
    CEvTrace trace;
    ULONG64 handle = 0;
    EXPECT_EQ(trace.GetSessionHandle1(handle), S_OK);
    EXPECT_EQ(handle, 0x5151u);
    EVENT_TRACE_PROPERTIES* properties = CEvTrace::MakeTraceProperties1();
    EXPECT_EQ(ControlTraceA(0, EVT_SESSION_NAME, properties, EVENT_TRACE_CONTROL_QUERY),
              ULONG(ERROR_WMI_INSTANCE_NOT_FOUND))
        << "nothing was started";
    CEvTrace::ReleaseTraceProperties(properties);
}

TEST_F(RegistrationTest, AHostWrittenInCUsesTheFlatInterface) {
    ASSERT_TRUE(Listen("probe"));
    ASSERT_EQ(CHostEmit("C host", 0x700, "from C"), S_OK);
    ASSERT_TRUE(consumer_.WaitFor("C host", 3));
    std::vector<RawEvent> events = consumer_.EventsFrom("C host");
    ASSERT_EQ(events.size(), 3u);
    const std::pair<ULONG, ULONG> expected[] = {{0x700, 51}, {0x701, 56}, {0x702, 66}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(events[i].Code(), expected[i].first) << "event " << i;
        EXPECT_EQ(events[i].Type(), expected[i].second) << "event " << i;
    }
    EXPECT_EQ(Text(&events[0].data[1312], events[0].data.size() - 1312), "from C");
}

TEST_F(RegistrationTest, RegistrationTellsTheDebuggerHowItFoundTheSession) {
    DebugLines debug;
    EVT_PROVIDER_INFO empty = Info("");
    ULONG handle = 0;
    EXPECT_EQ(RegisterEvTrace(&handle, &empty), EVT_E_INVALIDARG);
    EXPECT_TRUE(InOrder(debug.Take(), {"CEvtProviderInfoMap::RegisterEvTrace - ProviderInfo.m_szInstanceName is empty\n"}));

    Register("Told");  // no session yet: started on demand
    std::vector<std::string> lines = debug.Take();
    EXPECT_TRUE(InOrder(lines, {
                                   "CEvtProviderInfoMap::RegisterEvTrace - called for Told\n",
                                   "AddProviderInfo - enter\n",
                                   "Provider not found - adding new provider\n",
                                   "GetSessionHandle1 - ControlTrace failed\n",
                                   "GetSessionHandle1 - ControlTrace failed - session not started\n",
                                   "GetSessionHandle1 - StartTrace succeeded\n",
                                   "AddProviderInfo - exiting, instance name - Told\n",
                                   "CEvtProviderInfoMap::RegisterEvTrace - AddProviderInfo succeeded\n",
                               }));
    const char kTrying[] =
        "AddProviderInfo - Trying to add provider info instance name - Told, No of providers - 0, CS - 0x";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(kTrying, 0) == 0; }));

    Register("Second");  // the handle is cached
    EXPECT_TRUE(InOrder(debug.Take(), {"GetSessionHandle1 - Already have valid session handle\n"}));

    CEvTrace::s_hRTSession = 0;  // forgotten: the running session is found by its query
    CEvTrace trace;
    ULONG64 session = 0;
    EXPECT_EQ(trace.GetSessionHandle1(session), S_OK);
    lines = debug.Take();
    EXPECT_TRUE(InOrder(lines, {"GetSessionHandle1 - ControlTrace succeeded\n"}));
    for (const std::string& line : lines) EXPECT_EQ(line.find("StartTrace"), std::string::npos) << line;
}
