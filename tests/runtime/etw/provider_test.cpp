// Providers in one process: the control callback's thread and logger
// handles, unregistering (also from inside a callback), and the statuses of
// the provider calls and of EnableTrace.
#include <thread>
#include <utility>

#include "etw_test_util.h"
#include "status_expect.h"

using namespace etw_test;
using Lines = std::vector<std::string>;

namespace {

class ProviderTest : public testing_support::MachineTest {};

// What a provider of this process was told, in order, with the logger
// handles and the threads of its callbacks.
struct Provider {
    std::mutex mutex;
    Lines lines;
    std::vector<TRACEHANDLE> loggers;
    std::vector<std::thread::id> threads;
    TRACEHANDLE unregister_inside = 0;  // UnregisterTraceGuids from the callback

    // The lines once there are `n` of them (10 s at most).
    Lines after(size_t n) {
        testing_support::eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return lines.size() >= n;
        });
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
};

ULONG WINAPI control(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer) {
    auto* provider = static_cast<Provider*>(context);
    EXPECT_EQ(*size, sizeof(WNODE_HEADER));
    std::string line = told(code, buffer);
    if (TRACEHANDLE reg = std::exchange(provider->unregister_inside, 0)) {
        EXPECT_EQ(UnregisterTraceGuids(reg), ULONG(ERROR_SUCCESS));
    }
    std::lock_guard<std::mutex> lock(provider->mutex);
    provider->lines.push_back(line);
    provider->loggers.push_back(GetTraceLoggerHandle(buffer));
    provider->threads.push_back(std::this_thread::get_id());
    return ERROR_SUCCESS;
}

TRACEHANDLE register_provider(Provider* provider, const GUID& guid = kControlGuid) {
    TRACE_GUID_REGISTRATION classes[2] = {{&kEventGuid, nullptr}, {&kEventGuid, nullptr}};
    TRACEHANDLE reg = 0;
    EXPECT_EQ(RegisterTraceGuidsA(control, provider, &guid, 2, classes, nullptr, nullptr, &reg), ULONG(ERROR_SUCCESS));
    EXPECT_NE(classes[0].RegHandle, nullptr);
    EXPECT_NE(classes[1].RegHandle, classes[0].RegHandle);
    EXPECT_NE(reg, 0u);
    return reg;
}

TEST_F(ProviderTest, CallbacksComeOnARuntimeThreadWithALoggerHandleAndEndWithTheRegistrationEvenFromInside) {
    TRACEHANDLE session = start_session();
    Provider provider, witness, other;
    GUID other_guid = kControlGuid;
    other_guid.Data1 ^= 1;
    TRACEHANDLE other_reg = register_provider(&other, other_guid);  // never enabled: never told
    TRACEHANDLE reg = register_provider(&provider);
    ASSERT_EQ(EnableTrace(TRUE, 1, 1, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    ASSERT_EQ(provider.after(1), (Lines{"enable 1 1 0 0"}));
    ASSERT_EQ(EnableTrace(FALSE, 0, 0, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    ASSERT_EQ(provider.after(2).back(), "disable");
    EXPECT_NE(provider.loggers[0], session);
    EXPECT_EQ(provider.loggers[1], provider.loggers[0]);  // a disable names what it ends
    EXPECT_NE(provider.threads[0], std::this_thread::get_id());

    // Unregistered inside its next callback, it hears nothing after it; a
    // fresh registration hears the enable that it missed.
    provider.unregister_inside = reg;
    ASSERT_EQ(EnableTrace(TRUE, 2, 2, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(provider.after(3).back(), "enable 2 2 0 0");
    ASSERT_EQ(EnableTrace(TRUE, 3, 3, &kControlGuid, session), ULONG(ERROR_SUCCESS));
    TRACEHANDLE witness_reg = register_provider(&witness);
    EXPECT_EQ(witness.after(1), (Lines{"enable 3 3 0 0"}));
    EXPECT_EQ(provider.after(3).size(), 3u);
    EXPECT_EQ(UnregisterTraceGuids(reg), ULONG(ERROR_INVALID_HANDLE));

    // After a restart the old logger handle names nothing.
    ASSERT_EQ(stop_session(), ULONG(ERROR_SUCCESS));
    start_session();
    Event ev;
    EXPECT_EQ(TraceEvent(provider.loggers[0], ev.get()), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(UnregisterTraceGuids(witness_reg), ULONG(ERROR_SUCCESS));
    EXPECT_EQ(UnregisterTraceGuids(other_reg), ULONG(ERROR_SUCCESS));
    EXPECT_TRUE(other.after(0).empty());
}

TEST_F(ProviderTest, BadArgumentsBuffersAndHandlesGetTheirStatus) {
    WNODE_HEADER garbage{};
    garbage.BufferSize = sizeof garbage;
    garbage.HistoricalContext = 0x1234;
    EXPECT_FAILS(GetTraceLoggerHandle(nullptr), INVALID_PROCESSTRACE_HANDLE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(GetTraceLoggerHandle(&garbage), INVALID_PROCESSTRACE_HANDLE, ERROR_INVALID_HANDLE);
    TRACEHANDLE a = start_session("a");
    EXPECT_FAILS(GetTraceEnableLevel(a), 0, ERROR_INVALID_HANDLE);  // a session handle is no logger handle
    EXPECT_FAILS(GetTraceEnableFlags(0), 0u, ERROR_INVALID_HANDLE);

    Provider provider;
    TRACEHANDLE reg = 5;
    TRACE_GUID_REGISTRATION null_class[1] = {{nullptr, nullptr}};
    auto registration = [&](WMIDPREQUEST callback, const GUID* guid, ULONG count, TRACE_GUID_REGISTRATION* classes,
                            TRACEHANDLE* out) {
        return RegisterTraceGuidsA(callback, &provider, guid, count, classes, nullptr, nullptr, out);
    };
    EXPECT_EQ(registration(nullptr, &kControlGuid, 0, nullptr, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(reg, 0u);
    EXPECT_EQ(registration(control, nullptr, 0, nullptr, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(registration(control, &kControlGuid, 0, nullptr, nullptr), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(registration(control, &kControlGuid, 2, nullptr, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(registration(control, &kControlGuid, 1, null_class, &reg), ULONG(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(UnregisterTraceGuids(0), ULONG(ERROR_INVALID_HANDLE));
    EXPECT_EQ(UnregisterTraceGuids(0x5200000000000001ull), ULONG(ERROR_INVALID_HANDLE));

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

}  // namespace
