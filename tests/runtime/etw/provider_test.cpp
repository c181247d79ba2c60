// Providers in one process: registration, the control callback and what
// GetTraceLoggerHandle/Level/Flags answer, EnableTrace's statuses.
#include <condition_variable>
#include <deque>
#include <thread>
#include <utility>

#include "etw_test_util.h"
#include "status_expect.h"

using namespace etw_test;

namespace {

class ProviderTest : public testing_support::MachineTest {};

// What the control callback saw, as the library's callback reads it.
struct Call {
    WMIDPREQUESTCODE code;
    TRACEHANDLE logger;
    UCHAR level;
    ULONG flags;
    DWORD level_error;
    std::thread::id thread;
};

struct Calls {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Call> calls;
    TRACEHANDLE unregister_inside = 0;  // UnregisterTraceGuids from the callback

    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls.size() >= n; });
    }
    Call at(size_t i) {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.at(i);
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    }
};

ULONG WINAPI control(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer) {
    auto* calls = static_cast<Calls*>(context);
    Call c{code, GetTraceLoggerHandle(buffer), 0, 0, 0, std::this_thread::get_id()};
    if (code == WMI_ENABLE_EVENTS) {
        EXPECT_EQ(*size, sizeof(WNODE_HEADER));
        SetLastError(1234);
        c.level = GetTraceEnableLevel(c.logger);
        c.level_error = GetLastError();
        c.flags = GetTraceEnableFlags(c.logger);
    } else if (code != WMI_DISABLE_EVENTS) {
        return ERROR_INVALID_PARAMETER;
    }
    if (TRACEHANDLE reg = std::exchange(calls->unregister_inside, 0)) {
        EXPECT_EQ(UnregisterTraceGuids(reg), ULONG(ERROR_SUCCESS));
    }
    std::lock_guard<std::mutex> lock(calls->mutex);
    calls->calls.push_back(c);
    calls->changed.notify_all();
    return ERROR_SUCCESS;
}

TRACEHANDLE register_provider(Calls* calls, const GUID& guid = kControlGuid) {
    TRACE_GUID_REGISTRATION classes[2] = {{&kEventGuid, nullptr}, {&kEventGuid, nullptr}};
    TRACEHANDLE reg = 0;
    EXPECT_EQ(RegisterTraceGuidsA(control, calls, &guid, 2, classes, nullptr, nullptr, &reg), ULONG(ERROR_SUCCESS));
    for (const auto& c : classes) EXPECT_NE(c.RegHandle, nullptr);
    EXPECT_NE(reg, 0u);
    return reg;
}

TEST_F(ProviderTest, EnableChangeAndDisableReachTheCallbackOnARuntimeThreadWithALoggerHandle) {
    TRACEHANDLE session = start_session();
    Calls calls, other;
    TRACEHANDLE reg = register_provider(&calls);
    GUID other_guid = kControlGuid;
    other_guid.Data1 ^= 1;
    TRACEHANDLE other_reg = register_provider(&other, other_guid);  // never enabled: never told

    ASSERT_EQ(EnableTrace(TRUE, 0xFFFFFFFF, 255, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(calls.wait_for(1));
    Call enable = calls.at(0);
    EXPECT_EQ(enable.code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(enable.level, 255);
    EXPECT_EQ(enable.flags, 0xFFFFFFFFu);
    EXPECT_NE(enable.thread, std::this_thread::get_id());
    EXPECT_NE(enable.logger, session);
    Event ev;
    EXPECT_EQ(TraceEvent(enable.logger, ev.get()), ULONG(ERROR_SUCCESS));  // it names the session

    // Level 0 is a real answer: the last error says so.
    ASSERT_EQ(EnableTrace(TRUE, 0, 0, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(calls.wait_for(2));
    EXPECT_EQ(calls.at(1).code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(calls.at(1).level, 0);
    EXPECT_EQ(calls.at(1).level_error, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(calls.at(1).flags, 0u);

    ASSERT_EQ(EnableTrace(FALSE, 0, 0, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(calls.wait_for(3));
    EXPECT_EQ(calls.at(2).code, WMI_DISABLE_EVENTS);
    EXPECT_EQ(calls.at(2).logger, calls.at(1).logger);
    // A disable of what is not enabled tells nobody anything.
    ASSERT_EQ(EnableTrace(FALSE, 0, 0, &kControlGuid, session), ULONG(ERROR_SUCCESS));

    // After a restart the old logger handle names nothing.
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    start_session();
    EXPECT_EQ(TraceEvent(enable.logger, ev.get()), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(UnregisterTraceGuids(reg), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(UnregisterTraceGuids(other_reg), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(other.size(), 0u);
}

TEST_F(ProviderTest, BadArgumentsBuffersAndHandlesGetTheirStatus) {
    WNODE_HEADER garbage;
    memset(&garbage, 0, sizeof garbage);
    garbage.BufferSize = sizeof garbage;
    garbage.HistoricalContext = 0x1234;
    EXPECT_FAILS(GetTraceLoggerHandle(nullptr), INVALID_PROCESSTRACE_HANDLE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(GetTraceLoggerHandle(&garbage), INVALID_PROCESSTRACE_HANDLE, ERROR_INVALID_HANDLE);
    TRACEHANDLE a = start_session("a");
    EXPECT_FAILS(GetTraceEnableLevel(a), 0, ERROR_INVALID_HANDLE);  // a session handle is no logger handle
    EXPECT_FAILS(GetTraceEnableFlags(0), 0u, ERROR_INVALID_HANDLE);

    Calls calls;
    TRACEHANDLE reg = 5;
    TRACE_GUID_REGISTRATION null_class[1] = {{nullptr, nullptr}};
    auto registration = [&](WMIDPREQUEST callback, const GUID* guid, ULONG count, TRACE_GUID_REGISTRATION* classes,
                            TRACEHANDLE* out) {
        return RegisterTraceGuidsA(callback, &calls, guid, count, classes, nullptr, nullptr, out);
    };
    EXPECT_EQ(registration(nullptr, &kControlGuid, 0, nullptr, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(reg, 0u);
    EXPECT_EQ(registration(control, nullptr, 0, nullptr, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(registration(control, &kControlGuid, 0, nullptr, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(registration(control, &kControlGuid, 2, nullptr, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(registration(control, &kControlGuid, 1, null_class, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(UnregisterTraceGuids(0), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(UnregisterTraceGuids(0x5200000000000001ull), ULONG(ERROR_INVALID_HANDLE));
    reg = register_provider(&calls);
    EXPECT_EQ(UnregisterTraceGuids(reg), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(UnregisterTraceGuids(reg), ULONG(ERROR_INVALID_HANDLE));

    TRACEHANDLE b = start_session("b");
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, nullptr, a), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(EnableTrace(TRUE, 1, 256, &kControlGuid, a), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, 0), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, a), ULONG(ERROR_SUCCESS));
    // One session at a time for a provider of this kind.
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, b), ULONG(ERROR_WMI_ALREADY_ENABLED));
    EXPECT_EQ(EnableTrace(FALSE, 0, 0, &kControlGuid, a), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, b), ULONG(ERROR_SUCCESS));
}

TEST_F(ProviderTest, NoCallbackAfterUnregisterAndUnregisterInsideTheCallbackReturns) {
    TRACEHANDLE session = start_session();
    Calls calls;
    TRACEHANDLE reg = register_provider(&calls);
    calls.unregister_inside = reg;
    ASSERT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    ASSERT_TRUE(calls.wait_for(1));
    ASSERT_EQ(EnableTrace(TRUE, 2, 2, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    // A fresh registration sees the second enable; the unregistered one
    // must not.
    Calls witness;
    TRACEHANDLE witness_reg = register_provider(&witness);
    ASSERT_TRUE(witness.wait_for(1));
    EXPECT_EQ(witness.at(0).level, 2);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(UnregisterTraceGuids(witness_reg), ULONG(ERROR_SUCCESS));
}

}  // namespace
