// Providers: RegisterTraceGuidsA, UnregisterTraceGuids, the control
// callback, GetTraceLoggerHandle, GetTraceEnableLevel/Flags.
//
// Enables are recorded in the directory (EnableTrace). Every process with
// registrations runs one control thread per machine root that sleeps on the
// directory's control word; each change of the enable records bumps the
// word and wakes every such thread, which compares what it has told its
// providers with what is recorded and calls their callbacks: request 4
// (WMI_ENABLE_EVENTS) on enable and on every new EnableTrace, request 5
// (WMI_DISABLE_EVENTS) on disable and when the session stops. A provider
// registered while its GUID is enabled is told at once by the same thread.
// Callbacks of one process run one at a time on that thread.
//
// Providers may be of any user, and only the administrators may write the
// directory: the thread reads the enable records without the directory lock
// (EtwState::read_enables), and registrations of this process wake it
// through a word of its own. Until an administrator's process has made the
// directory, the thread looks for it every kNoDirectoryPollNs.
#include <string.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <evntrace.h>

#include "core/error.h"
#include "core/futex.h"
#include "etw/local_handles.h"
#include "etw/state.h"
#include "sync/futex_words.h"

using namespace w32rt;
using namespace w32rt::etw;

namespace {

constexpr uint64_t kRegistrationHandleTag = 0x52;
constexpr int64_t kNoDirectoryPollNs = 250'000'000;
constexpr int64_t kBusyDirectoryRetryNs = 10'000'000;

struct Registration {
    TRACEHANDLE handle = 0;
    WMIDPREQUEST callback = nullptr;
    void* context = nullptr;
    GUID guid{};
    // What the provider was last told; the control thread's own.
    bool enabled = false;
    TRACEHANDLE logger = 0;
    uint64_t change = 0;
};

// The registrations of one machine root in this process.
struct Hub {
    EtwState* state = nullptr;
    std::mutex mutex;
    std::condition_variable callback_done;
    std::vector<std::shared_ptr<Registration>> registrations;
    bool thread_running = false;
    pid_t thread_pid = 0;
    std::thread::id thread_id;
    Registration* in_callback = nullptr;
    // Bumped (and woken) by this process's registrations and removals.
    std::atomic<uint32_t> local_seq{0};
};

void wake_control_thread(Hub& hub) {
    hub.local_seq.fetch_add(1, std::memory_order_release);
    futex_wake(&hub.local_seq, INT32_MAX, FutexScope::Private);
}

std::mutex g_hubs_mutex;
std::map<EtwState*, std::shared_ptr<Hub>> g_hubs;

struct HandleEntry {
    std::shared_ptr<Hub> hub;
    std::shared_ptr<Registration> reg;
    explicit operator bool() const { return bool(reg); }
};
LocalHandles<HandleEntry> g_handles(kRegistrationHandleTag);

std::shared_ptr<Hub> hub_for(EtwState& state) {
    std::lock_guard<std::mutex> lock(g_hubs_mutex);
    std::shared_ptr<Hub>& hub = g_hubs[&state];
    if (!hub) {
        hub = std::make_shared<Hub>();
        hub->state = &state;
    }
    return hub;
}

struct Desired {
    bool enabled = false;
    TRACEHANDLE logger = 0;
    uint64_t change = 0;
};

void call(Hub& hub, const std::shared_ptr<Registration>& reg, WMIDPREQUESTCODE code, TRACEHANDLE logger) {
    {
        std::lock_guard<std::mutex> lock(hub.mutex);
        bool still_registered = false;
        for (const auto& r : hub.registrations) still_registered |= r == reg;
        if (!still_registered) return;
        hub.in_callback = reg.get();
    }
    WNODE_HEADER wnode;
    memset(&wnode, 0, sizeof wnode);
    wnode.BufferSize = sizeof(WNODE_HEADER);
    wnode.HistoricalContext = logger;
    wnode.Guid = reg->guid;
    wnode.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG size = sizeof(WNODE_HEADER);
    reg->callback(code, reg->context, &size, &wnode);
    std::lock_guard<std::mutex> lock(hub.mutex);
    hub.in_callback = nullptr;
    hub.callback_done.notify_all();
}

void control_thread(std::shared_ptr<Hub> hub) {
    EtwState& state = *hub->state;
    std::vector<EtwState::EnableView> enables;
    for (;;) {
        // Both words are read before anything they guard.
        uint32_t local = hub->local_seq.load(std::memory_order_acquire);
        Directory* d = state.directory();
        uint32_t seq = d ? d->control_seq.load(std::memory_order_acquire) : 0;
        std::vector<std::shared_ptr<Registration>> registrations;
        {
            std::lock_guard<std::mutex> lock(hub->mutex);
            if (hub->registrations.empty()) {
                hub->thread_running = false;
                return;
            }
            registrations = hub->registrations;
        }
        // Without a directory nothing is enabled; a read that found the
        // records changing for too long is tried again soon, and nothing
        // is told meanwhile.
        bool known = !d || state.read_enables(&enables);
        if (!d) enables.clear();
        if (known) {
            std::vector<Desired> desired(registrations.size());
            for (size_t i = 0; i < registrations.size(); ++i) {
                for (const EtwState::EnableView& view : enables) {
                    const EnableRecord& e = view.record;
                    if (e.guid != registrations[i]->guid || e.session_slot >= kMaxSessions) continue;
                    if (!view.slot_running || view.slot_generation != e.session_generation) continue;
                    desired[i] = {true, make_logger_handle(e.session_slot, e.session_generation, uint8_t(e.level),
                                                           e.flags),
                                  e.change};
                }
            }
            for (size_t i = 0; i < registrations.size(); ++i) {
                Registration& reg = *registrations[i];
                const Desired& want = desired[i];
                if (want.enabled && (!reg.enabled || reg.change != want.change || reg.logger != want.logger)) {
                    reg.enabled = true;
                    reg.logger = want.logger;
                    reg.change = want.change;
                    call(*hub, registrations[i], WMI_ENABLE_EVENTS, want.logger);
                } else if (!want.enabled && reg.enabled) {
                    TRACEHANDLE old = reg.logger;
                    reg.enabled = false;
                    reg.logger = 0;
                    call(*hub, registrations[i], WMI_DISABLE_EVENTS, old);
                }
            }
        }
        sync::WaitWord words[2] = {{&hub->local_seq, local, false}, {d ? &d->control_seq : nullptr, seq, true}};
        int64_t deadline = -1;
        if (!d) deadline = monotonic_ns() + kNoDirectoryPollNs;
        else if (!known) deadline = monotonic_ns() + kBusyDirectoryRetryNs;
        sync::sleep_on_words(words, d ? 2 : 1, deadline);
    }
}

ULONG register_guids(WMIDPREQUEST callback, PVOID context, LPCGUID control_guid, ULONG count,
                     PTRACE_GUID_REGISTRATION classes, PTRACEHANDLE handle_out) {
    if (handle_out) *handle_out = 0;
    if (!callback || !control_guid || !handle_out) return ERROR_INVALID_PARAMETER;
    if (count > 0 && !classes) return ERROR_INVALID_PARAMETER;
    for (ULONG i = 0; i < count; ++i)
        if (!classes[i].Guid) return ERROR_INVALID_PARAMETER;

    EtwState& state = EtwState::current();
    std::shared_ptr<Hub> hub = hub_for(state);
    auto reg = std::make_shared<Registration>();
    reg->callback = callback;
    reg->context = context;
    reg->guid = *control_guid;

    TRACEHANDLE handle = g_handles.add({hub, reg});
    if (handle == 0) return ERROR_NO_SYSTEM_RESOURCES;
    reg->handle = handle;
    // The trace classes get handles of their own, which name them for
    // nothing else here.
    for (ULONG i = 0; i < count; ++i) classes[i].RegHandle = reinterpret_cast<HANDLE>(uintptr_t(handle + i + 1));

    {
        std::lock_guard<std::mutex> lock(hub->mutex);
        hub->registrations.push_back(reg);
        if (hub->thread_running && hub->thread_pid != getpid()) hub->thread_running = false;  // forked
        if (!hub->thread_running) {
            hub->thread_running = true;
            hub->thread_pid = getpid();
            std::thread thread(control_thread, hub);
            hub->thread_id = thread.get_id();
            thread.detach();
        }
    }
    // Bumped, not only woken: a control thread between its look at the
    // registrations and its wait would sleep through a bare wake-up.
    wake_control_thread(*hub);
    *handle_out = handle;
    return ERROR_SUCCESS;
}

ULONG unregister_guids(TRACEHANDLE handle) {
    HandleEntry entry = g_handles.find(handle, true);
    if (!entry) return ERROR_INVALID_HANDLE;
    std::shared_ptr<Hub>& hub = entry.hub;
    std::shared_ptr<Registration>& reg = entry.reg;
    {
        std::unique_lock<std::mutex> lock(hub->mutex);
        auto& regs = hub->registrations;
        for (auto it = regs.begin(); it != regs.end(); ++it) {
            if (*it == reg) {
                regs.erase(it);
                break;
            }
        }
        // After return the provider may free what its callback uses; wait
        // for a callback in progress, unless this is that callback.
        if (std::this_thread::get_id() != hub->thread_id)
            hub->callback_done.wait(lock, [&] { return hub->in_callback != reg.get(); });
    }
    wake_control_thread(*hub);
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

W32RT_API ULONG WMIAPI RegisterTraceGuidsA(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid,
                                           ULONG GuidCount, PTRACE_GUID_REGISTRATION TraceGuidReg,
                                           LPCSTR MofImagePath, LPCSTR MofResourceName,
                                           PTRACEHANDLE RegistrationHandle) {
    return register_guids(RequestAddress, RequestContext, ControlGuid, GuidCount, TraceGuidReg, RegistrationHandle);
}

W32RT_API ULONG WMIAPI UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
    return unregister_guids(RegistrationHandle);
}

W32RT_API TRACEHANDLE WMIAPI GetTraceLoggerHandle(PVOID Buffer) {
    const auto* wnode = static_cast<const WNODE_HEADER*>(Buffer);
    if (!wnode || wnode->BufferSize < sizeof(WNODE_HEADER) || !is_logger_handle(wnode->HistoricalContext)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    SetLastError(ERROR_SUCCESS);
    return wnode->HistoricalContext;
}

W32RT_API UCHAR WMIAPI GetTraceEnableLevel(TRACEHANDLE TraceHandle) {
    if (!is_logger_handle(TraceHandle)) return fail(ERROR_INVALID_HANDLE, UCHAR(0));
    SetLastError(ERROR_SUCCESS);
    return logger_level(TraceHandle);
}

W32RT_API ULONG WMIAPI GetTraceEnableFlags(TRACEHANDLE TraceHandle) {
    if (!is_logger_handle(TraceHandle)) return fail(ERROR_INVALID_HANDLE, ULONG(0));
    SetLastError(ERROR_SUCCESS);
    return logger_flags(TraceHandle);
}

}  // extern "C"
