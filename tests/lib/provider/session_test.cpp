// The session's property blocks, finding or starting the session, the
// published handle, and the controller.
#include <TraceApi.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "library_fixture.h"

namespace {

const GUID kControlGuid = {0xE505C68B, 0x05CA, 0x4099, {0x9E, 0xFB, 0x14, 0x98, 0xF3, 0x9C, 0x22, 0x85}};
constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng";
constexpr char kApiKey[] = "Software\\Vanta\\Wireless\\EvTrace\\API";

class SessionTest : public LibraryTest {
protected:
    // Queries the session: 0 and the block filled, or the status.
    static ULONG Query(EVENT_TRACE_PROPERTIES** out) {
        *out = CEvTrace::MakeTraceProperties1();
        return ControlTraceA(0, EVT_SESSION_NAME, *out, EVENT_TRACE_CONTROL_QUERY);
    }

    static bool SessionRuns() {
        EVENT_TRACE_PROPERTIES* properties = nullptr;
        ULONG status = Query(&properties);
        CEvTrace::ReleaseTraceProperties(properties);
        return status == ERROR_SUCCESS;
    }

    // The handle published in the registry, or 0.
    static ULONG64 Published() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
        ULONG64 handle = 0;
        DWORD size = sizeof handle;
        LONG status = RegQueryValueExA(key, "Session", nullptr, nullptr, reinterpret_cast<BYTE*>(&handle), &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS && size == 8 ? handle : 0;
    }

    static long long AlertsValue() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApiKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
        DWORD value = 0, size = sizeof value, type = 0;
        LONG status = RegQueryValueExA(key, "EnableAlerts", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS && type == REG_DWORD ? value : -1;
    }
};

std::string NameAt(const EVENT_TRACE_PROPERTIES* properties, ULONG offset) {
    return std::string(reinterpret_cast<const char*>(properties) + offset);
}

}  // namespace

TEST(SessionProperties, TheLibrarySessionsBlock) {
    EVENT_TRACE_PROPERTIES* p = CEvTrace::MakeTraceProperties1();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Wnode.BufferSize, 8312u);
    EXPECT_TRUE(IsEqualGUID(p->Wnode.Guid, kControlGuid));
    EXPECT_EQ(p->Wnode.ClientContext, 1u);
    EXPECT_EQ(p->Wnode.Flags, ULONG(WNODE_FLAG_TRACED_GUID));
    EXPECT_EQ(p->BufferSize, 50u);
    EXPECT_EQ(p->MinimumBuffers, 4u);
    EXPECT_EQ(p->MaximumBuffers, 4u);
    EXPECT_EQ(p->LogFileMode, ULONG(EVENT_TRACE_REAL_TIME_MODE));
    EXPECT_EQ(p->FlushTimer, 1u);
    EXPECT_EQ(p->EnableFlags, 0u);
    EXPECT_EQ(p->LoggerNameOffset, 120u);
    EXPECT_EQ(p->LogFileNameOffset, 4216u);
    EXPECT_EQ(NameAt(p, 120), "Orkan System Trace");
    EXPECT_EQ(NameAt(p, 4216), "");
    EXPECT_EQ(p->Wnode.HistoricalContext, 0u);
    EXPECT_EQ(p->MaximumFileSize, 0u);
    EXPECT_EQ(p->AgeLimit, 0);
    CEvTrace::ReleaseTraceProperties(p);
}

TEST(SessionProperties, TheGeneralBlock) {
    const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EVENT_TRACE_PROPERTIES* p = CEvTrace::MakeTraceProperties("x", "", 0, other);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->LogFileMode, 0x102u);
    EXPECT_EQ(p->BufferSize, 0u);
    EXPECT_EQ(p->MinimumBuffers, 0u);
    EXPECT_EQ(p->MaximumBuffers, 0u);
    EXPECT_EQ(p->FlushTimer, 0u);
    EXPECT_TRUE(IsEqualGUID(p->Wnode.Guid, other));
    EXPECT_EQ(p->Wnode.ClientContext, 1u);
    EXPECT_EQ(NameAt(p, p->LoggerNameOffset), "x");
    CEvTrace::ReleaseTraceProperties(p);

    std::string longName(5000, 'n');
    p = CEvTrace::MakeTraceProperties(longName.c_str(), longName.c_str(), 7, other);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->FlushTimer, 7u);
    EXPECT_EQ(NameAt(p, 120), std::string(4095, 'n'));
    EXPECT_EQ(NameAt(p, 4216), std::string(4095, 'n'));
    CEvTrace::ReleaseTraceProperties(p);
    CEvTrace::ReleaseTraceProperties(nullptr);
}

TEST(TraceObject, HandlesAreSetCopiedAndRead) {
    CEvTrace trace;
    ULONG64 value = 1;
    trace.GetProviderHandle(value);
    EXPECT_EQ(value, 0u);
    _ETW_PARAMS params;
    EXPECT_EQ(params.m_hProviderRegHandle, 0u);
    params.m_hProviderRegHandle = 11;
    params.m_hProviderHandle = 12;
    params.m_hHandle3 = 13;
    params.m_hHandle4 = 14;
    trace.SetHandles(params);
    EXPECT_EQ(trace.SetSessionHandle(15), S_OK);
    CEvTrace copy(trace);
    copy.GetProviderRegHandle(value);
    EXPECT_EQ(value, 11u);
    copy.GetProviderHandle(value);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(copy.m_hHandle3, 13u);
    EXPECT_EQ(copy.m_hHandle4, 14u);
    EXPECT_EQ(copy.m_hSessionHandle, 15u);
    copy.SetProviderHandle(21);
    copy.SetProviderRegHandle(22);
    trace = copy;
    trace.GetProviderHandle(value);
    EXPECT_EQ(value, 21u);
    trace.GetProviderRegHandle(value);
    EXPECT_EQ(value, 22u);
    SHORT major = 0, minor = 5;
    EXPECT_EQ(trace.GetTraceAPIVersion(&major, &minor), S_OK);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(trace.GetTraceAPIVersion(nullptr, nullptr), S_OK);
}

TEST_F(SessionTest, AMissingSessionIsStartedWithItsFixedPropertiesAndPublished) {
    ASSERT_FALSE(SessionRuns());
    CEvTrace trace;
    ULONG64 handle = 0;
    EXPECT_EQ(trace.GetSessionHandle1(handle), S_OK);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(CEvTrace::s_hRTSession, handle);

    EVENT_TRACE_PROPERTIES* p = nullptr;
    ASSERT_EQ(Query(&p), ERROR_SUCCESS);
    EXPECT_EQ(p->Wnode.HistoricalContext, handle);
    EXPECT_EQ(p->BufferSize, 50u);
    EXPECT_EQ(p->MinimumBuffers, 4u);
    EXPECT_EQ(p->MaximumBuffers, 4u);
    EXPECT_EQ(p->LogFileMode & EVENT_TRACE_REAL_TIME_MODE, ULONG(EVENT_TRACE_REAL_TIME_MODE));
    EXPECT_EQ(p->FlushTimer, 1u);
    CEvTrace::ReleaseTraceProperties(p);
    EXPECT_EQ(Published(), handle);
}

TEST_F(SessionTest, TheCachedHandleIsReturnedWithoutAskingTheSession) {
    CEvTrace::s_hRTSession = 0x5151;
    CEvTrace trace;
    ULONG64 handle = 0;
    EXPECT_EQ(trace.GetSessionHandle1(handle), S_OK);
    EXPECT_EQ(handle, 0x5151u);
    EXPECT_FALSE(SessionRuns()) << "nothing was started";
}

TEST_F(SessionTest, ARunningSessionIsFoundNotStartedAgain) {
    CEvTraceController controller;
    ASSERT_EQ(controller.EnableLogging(1), S_OK);
    ULONG64 first = CEvTrace::s_hRTSession;
    ASSERT_NE(first, 0u);
    CEvTrace::s_hRTSession = 0;
    CEvTrace trace;
    ULONG64 found = 0;
    EXPECT_EQ(trace.GetSessionHandle1(found), S_OK);
    EXPECT_EQ(found, first);
}

TEST_F(SessionTest, LoggingOnStartsAndEnablesOffStops) {
    EXPECT_EQ(EvtInitialize(1), S_OK);
    EXPECT_EQ(EnableLogging(1), S_OK);
    EXPECT_TRUE(SessionRuns());
    EXPECT_EQ(EnableLogging(1), S_OK) << "enabling a running session again";
    EXPECT_EQ(EnableLogging(0), S_OK);
    EXPECT_FALSE(SessionRuns());
    EXPECT_EQ(EnableLogging(0), E_FAIL) << "nothing left to stop";
}

TEST_F(SessionTest, LoggingOffWithNoSessionFails) {
    CEvTraceController controller;
    EXPECT_EQ(controller.EnableLogging(0), E_FAIL);
    EXPECT_EQ(controller.DisableSession(), E_FAIL);
}

TEST_F(SessionTest, OneProcessCanStopAndStartTheSessionAgain) {
    CEvTraceController controller;
    ASSERT_EQ(controller.EnableLogging(1), S_OK);
    ULONG64 first = CEvTrace::s_hRTSession;
    ASSERT_EQ(controller.EnableLogging(0), S_OK);
    ASSERT_EQ(controller.EnableLogging(1), S_OK);
    EXPECT_TRUE(SessionRuns());
    EXPECT_NE(CEvTrace::s_hRTSession, 0u);
    EXPECT_NE(CEvTrace::s_hRTSession, first) << "a new session, a new handle";
    EXPECT_EQ(Published(), CEvTrace::s_hRTSession);
}

TEST_F(SessionTest, AlertSwitchIsStoredAsOneOrZero) {
    CEvTraceController controller;
    int state = -1;
    EXPECT_EQ(controller.GetAlertState(state), S_OK);
    EXPECT_EQ(state, 1) << "missing value: alerts on";
    EXPECT_EQ(controller.EnableAlerts(5), S_OK);
    EXPECT_EQ(AlertsValue(), 1);
    EXPECT_EQ(controller.GetAlertState(state), S_OK);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(controller.EnableAlerts(0), S_OK);
    EXPECT_EQ(AlertsValue(), 0);
    EXPECT_EQ(controller.GetAlertState(state), S_OK);
    EXPECT_EQ(state, 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApiKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegDeleteValueA(key, "EnableAlerts");
    RegCloseKey(key);
    EXPECT_EQ(controller.GetAlertState(state), S_OK);
    EXPECT_EQ(state, 1);
}

TEST_F(SessionTest, ExportedAlertSwitchNeedsTheController) {
    EXPECT_EQ(EnableAlerts(0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(AlertsValue(), -1) << "nothing written";
    ASSERT_EQ(EvtInitialize(1), S_OK);
    EXPECT_EQ(EnableAlerts(0), S_OK);
    int state = -1;
    EXPECT_EQ(GetAlertState(&state), S_OK);
    EXPECT_EQ(state, 0);
}

TEST_F(SessionTest, ControllersCopyAsTraceObjects) {
    CEvTraceController controller;
    controller.SetProviderHandle(3);
    CEvTraceController copy(controller);
    ULONG64 value = 0;
    copy.GetProviderHandle(value);
    EXPECT_EQ(value, 3u);
    CEvTraceController assigned;
    assigned = controller;
    assigned.GetProviderHandle(value);
    EXPECT_EQ(value, 3u);
}
