// Session creation under the fault matrix: StartTraceA itself, and the
// library's controller, which starts the session, publishes its handle in
// the registry and enables it.
//
// A start reported as done leaves a running session; one reported as failed
// leaves none (and no slot stuck half-started, so the next start succeeds).
// The controller reports success also when no session could be had (its
// documented answer); what must hold for it is that the handle it keeps
// names the running session or nothing.
#include <string.h>

#include <string>
#include <vector>

#include <TraceApi.h>
#include <evntrace.h>
#include <windows.h>

#include "fault_matrix.h"

namespace faults {

namespace {

constexpr char kSession[] = "Fault Matrix Session";

struct Properties {
    std::vector<char> block = std::vector<char>(sizeof(EVENT_TRACE_PROPERTIES) + 2 * 1024, 0);
    EVENT_TRACE_PROPERTIES* get() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data()); }

    explicit Properties(ULONG buffers = 8) {
        EVENT_TRACE_PROPERTIES* p = get();
        p->Wnode.BufferSize = ULONG(block.size());
        p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        p->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
        p->BufferSize = 64;
        p->MinimumBuffers = buffers;
        p->MaximumBuffers = buffers;
        p->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    }
};

// The running session's handle, 0 when none of that name runs.
TRACEHANDLE running(const char* name) {
    Properties properties;
    if (ControlTraceA(0, name, properties.get(), EVENT_TRACE_CONTROL_QUERY) != ERROR_SUCCESS) return 0;
    return properties.get()->Wnode.HistoricalContext;
}

void stop(const char* name) {
    Properties properties;
    ULONG status = ControlTraceA(0, name, properties.get(), EVENT_TRACE_CONTROL_STOP);
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_WMI_INSTANCE_NOT_FOUND) << status;
}

}  // namespace

class SessionStart : public WritingPath {
    ULONG status_ = ERROR_SUCCESS;
    TRACEHANDLE handle_ = 0;

    void prepare() override {
        stop(kSession);
        handle_ = 0;  // known only when this process starts it
    }

    bool run() override {
        Properties properties;
        handle_ = 0;
        status_ = StartTraceA(&handle_, kSession, properties.get());
        return status_ == ERROR_SUCCESS;
    }

    bool run_as_next_user() override {
        // A session its killed starter left running is the next user's to
        // stop and start again.
        stop(kSession);
        return run();
    }

    void check(Outcome outcome) override {
        const TRACEHANDLE now = running(kSession);
        if (outcome == Outcome::Succeeded) {
            EXPECT_TRUE(now != 0 && (handle_ == 0 || now == handle_)) << "reported started, not running";
        }
        if (outcome == Outcome::Failed) {
            EXPECT_EQ(now, 0u) << "reported failed, left running";
            EXPECT_NE(status_, ULONG(ERROR_SUCCESS));
            EXPECT_NE(status_, ULONG(ERROR_ALREADY_EXISTS)) << "a half-made session in the way";
        }
    }

    void cleanup() override { stop(kSession); }
};
FAULT_PATH(SessionStart);

// CEvTraceController::EnableLogging, as the engine enables the library's
// session.
class ControllerStartsTheSession : public WritingPath {
    LONG result_ = S_OK;

    void arrange() override { ASSERT_EQ(EvtInitialize(1), S_OK); }
    void release() override { EvtUnInitialize(); }

    void prepare() override {
        stop(EVT_SESSION_NAME);
        CEvTrace::s_hRTSession = 0;  // as a process that has not asked yet
    }

    bool run() override {
        result_ = EnableLogging(1);
        return result_ == S_OK;
    }

    bool run_as_next_user() override {
        stop(EVT_SESSION_NAME);
        CEvTrace::s_hRTSession = 0;
        return run() && running(EVT_SESSION_NAME) != 0;
    }

    void check(Outcome outcome) override {
        const TRACEHANDLE now = running(EVT_SESSION_NAME);
        if (outcome == Outcome::Killed) return;
        // The handle kept for later calls names the running session, or is
        // not kept at all, or (when the session could not be asked for, as
        // for a process without the right) is the one the registry holds.
        ULONG64 published = 0;
        std::optional<std::string> stored = stored_value("Software\\Vanta\\Wireless\\EvTrace\\Eng", "Session");
        if (stored && stored->size() == sizeof published) memcpy(&published, stored->data(), sizeof published);
        EXPECT_TRUE(CEvTrace::s_hRTSession == 0 || CEvTrace::s_hRTSession == now ||
                    (outcome == Outcome::Failed && CEvTrace::s_hRTSession == published))
            << "keeps a handle of a session that does not run";
        if (outcome == Outcome::Failed) {
            EXPECT_EQ(result_, E_FAIL);  // the controller's word for a session it could not enable
        }
    }

    void cleanup() override {
        stop(EVT_SESSION_NAME);
        CEvTrace::s_hRTSession = 0;
    }
};
FAULT_PATH(ControllerStartsTheSession);

}  // namespace faults
