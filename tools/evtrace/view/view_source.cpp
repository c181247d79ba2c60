#include "view/view_source.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <fmt/format.h>

#include "command.h"
#include "event_text.h"

namespace evtrace::view {
namespace {

// The client callback has no context argument: the source of this process.
std::atomic<Source*> g_source{nullptr};

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr auto kSupervisorPeriod = std::chrono::seconds(1);
constexpr double kAttachRetrySeconds = 2;
constexpr double kAlertRefreshSeconds = 30;

}  // namespace

const char* SourceModeName(SourceMode mode) {
    switch (mode) {
    case SourceMode::Live: return "live";
    case SourceMode::Snapshot: return "snapshot";
    case SourceMode::Waiting: break;
    }
    return "waiting";
}

void Source::OnRecord(_VANTA_EVTRACE_DATA* record) {
    Source* source = g_source.load(std::memory_order_acquire);
    if (source == nullptr || record == nullptr) return;
    source->feed_.Deliver(*record, source->IsAlert(record->dwEventCode));
}

bool Source::IsAlert(DWORD code) const {
    std::lock_guard<std::mutex> guard(alertLock_);
    return std::binary_search(alertCodes_.begin(), alertCodes_.end(), code);
}

void Source::RefreshAlertCodes() {
    std::vector<DWORD> codes;
    {
        std::lock_guard<std::mutex> library(libraryLock_);
        _EVT_ALERT_LIST* list = nullptr;
        // Without an event database the list is empty: no event is an alert.
        if (GetAlertList(&list) == S_OK && list != nullptr && list->codes != nullptr)
            codes.assign(list->codes, list->codes + list->count);
    }
    std::sort(codes.begin(), codes.end());
    std::lock_guard<std::mutex> guard(alertLock_);
    alertCodes_ = std::move(codes);
}

void Source::Start(bool enableSession) {
    if (EvtInitialize(3) != S_OK) {
        throw CommandError{"the trace library could not make its consumer: EvtInitialize failed; check that "
                           "EVTRACE_ROOT names a usable machine root"};
    }
    initialized_ = true;
    g_source.store(this, std::memory_order_release);
    RefreshAlertCodes();
    // Starting and enabling the session needs the root's owner; a viewer
    // of a running session does without.
    if (enableSession) EnableLogging(1);
    Attach();
    if (GetEvTraceListenerStatus() != 0) {
        Stop();
        throw CommandError{"the session \"" EVT_SESSION_NAME "\" refused this viewer: access denied; run evtrace view "
                           "as the owner of the machine root (or the superuser)",
                           6};
    }
    Sample();
    supervisor_ = std::thread([this] { Supervise(); });
}

void Source::Stop() {
    stop_ = true;
    wake_.notify_all();
    if (supervisor_.joinable()) supervisor_.join();
    if (snapshotter_.joinable()) snapshotter_.join();
    if (initialized_) {
        // Destroys the consumer, which stops its listener: no callback after.
        EvtUnInitialize();
        initialized_ = false;
    }
    Source* self = this;
    g_source.compare_exchange_strong(self, nullptr);
}

void Source::Attach() {
    // Returns once the listener had time to attach; a running listener
    // only gets the callback again.
    SetEvTraceCallback(&Source::OnRecord);
}

void Source::Sample() {
    SessionStats s;
    s.sampledAt = SteadySeconds();
    std::vector<w32rt::TraceSessionInfo> sessions;
    if (w32rt::list_trace_sessions(&sessions)) {
        s.queried = true;
        const int32_t self = int32_t(getpid());
        for (auto& info : sessions) {
            if (strcasecmp(info.name.c_str(), EVT_SESSION_NAME) != 0) continue;
            s.running = true;
            for (const auto& c : info.consumers) {
                if (c.pid != self) continue;
                s.attached = s.attached || c.alive;
                s.viewerDelivered += c.delivered;
                s.viewerLost += c.lost;
            }
            s.info = std::move(info);
            break;
        }
    } else {
        s.queryError = fmt::format("the session query failed (error {})", GetLastError());
    }
    std::lock_guard<std::mutex> guard(statsLock_);
    // A slot's counts end with it: what the viewer's earlier slots lost
    // stays counted after it attaches again.
    if (s.queried) {
        if (!s.attached && slotLost_ != 0) {
            earlierLost_ += slotLost_;
            slotLost_ = 0;
        }
        if (s.attached) slotLost_ = s.viewerLost;
    }
    s.viewerLost = earlierLost_ + slotLost_;
    stats_ = std::move(s);
}

SessionStats Source::stats() const {
    std::lock_guard<std::mutex> guard(statsLock_);
    return stats_;
}

std::string Source::snapshotError() const {
    std::lock_guard<std::mutex> guard(statsLock_);
    return snapshotError_;
}

void Source::Supervise() {
    double lastAttach = SteadySeconds();
    double lastAlertRefresh = lastAttach;
    while (!stop_) {
        {
            std::unique_lock<std::mutex> guard(wakeLock_);
            wake_.wait_for(guard, kSupervisorPeriod, [&] { return stop_.load(); });
        }
        if (stop_) break;
        Sample();
        SessionStats s = stats();
        const double now = SteadySeconds();
        if (now - lastAlertRefresh >= kAlertRefreshSeconds) {
            RefreshAlertCodes();
            lastAlertRefresh = now;
        }
        if (!s.queried) continue;  // keep the mode until the query answers again
        if (!s.running) {
            mode_ = SourceMode::Waiting;
            continue;
        }
        if (s.attached) {
            mode_ = SourceMode::Live;
            continue;
        }
        if (now - lastAttach < kAttachRetrySeconds) continue;
        Attach();
        lastAttach = SteadySeconds();
        Sample();
        if (stats().attached) {
            mode_ = SourceMode::Live;
            continue;
        }
        // The session runs and has no slot for this viewer.
        mode_ = SourceMode::Snapshot;
        if (!snapshotting_.exchange(true)) {
            if (snapshotter_.joinable()) snapshotter_.join();
            snapshotter_ = std::thread([this] {
                TakeSnapshots();
                snapshotting_ = false;
            });
        }
    }
}

void Source::TakeSnapshots() {
    while (!stop_ && mode_ == SourceMode::Snapshot) {
        ULONG infoset = 0;
        // The engine answers by silence: this takes about 10 s.
        LONG result = OpenInfosetHandle(&infoset, nullptr, EVT_INFOSET_ALL);
        if (result != S_OK) {
            {
                std::lock_guard<std::mutex> guard(statsLock_);
                snapshotError_ = result == E_FAIL ? "the event engine declined the snapshot"
                                 : result == EVT_E_NOINFOSET
                                     ? "no event engine answered (it is not running, or has no snapshot file)"
                                     : "the snapshot failed: " + ResultText(result);
            }
            std::unique_lock<std::mutex> guard(wakeLock_);
            wake_.wait_for(guard, std::chrono::seconds(2), [&] { return stop_.load(); });
            continue;
        }
        // The snapshot holds the engine's queue newest first; records seen
        // in the previous snapshot are not delivered again.
        std::vector<std::string> records;
        _VANTA_EVTRACE_DATA* record = nullptr;
        for (LONG r = GetFirstEvTrace(infoset, &record); r == S_OK && record != nullptr;
             r = GetNextEvTrace(infoset, &record)) {
            const char* bytes = reinterpret_cast<const char*>(record);
            records.emplace_back(bytes, EVT_RECORD_FIXED_SIZE + record->dwDataLen);
        }
        CloseInfosetHandle(infoset);
        std::set<std::string> seen(records.begin(), records.end());
        for (auto it = records.rbegin(); it != records.rend(); ++it) {
            if (lastSnapshot_.count(*it)) continue;
            std::vector<BYTE> image(it->begin(), it->end());
            image.resize(image.size() + EVT_RECORD_TAIL_SIZE, 0);
            const auto* r = reinterpret_cast<const _VANTA_EVTRACE_DATA*>(image.data());
            feed_.Deliver(*r, IsAlert(r->dwEventCode));
        }
        lastSnapshot_ = std::move(seen);
        ++snapshots_;
        std::lock_guard<std::mutex> guard(statsLock_);
        snapshotError_.clear();
    }
}

}  // namespace evtrace::view
