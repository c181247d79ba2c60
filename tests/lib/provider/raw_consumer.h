// A real-time consumer of "Orkan System Trace" for tests: OpenTraceA and
// ProcessTrace on a thread of its own, keeping a copy of every event (header
// and data) it is given. One runs at a time in a process.
#pragma once

#include <TraceApi.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "wire_reader.h"

struct RawEvent {
    EVENT_TRACE_HEADER header;
    std::vector<BYTE> data;

    // Fields of the fixed block; empty or 0 when the data is too short.
    ULONG Get32(size_t offset) const { return data.size() >= offset + 4 ? wire_reader::Get32(data.data(), offset) : 0; }
    std::string Field(size_t offset, size_t size = 256) const {
        return data.size() >= offset + size ? wire_reader::Text(data.data() + offset, size) : std::string();
    }
    ULONG Code() const { return Get32(8); }
    ULONG Type() const { return Get32(12); }
    std::string Source() const { return Field(24); }
    std::string StringB() const { return Field(792); }
    std::string StringA() const { return Field(1048); }
    BYTE Flag() const { return data.size() > 1304 ? data[1304] : 0; }
    // The payload: the bytes between the fixed block and the 8-byte tail.
    std::vector<BYTE> Payload() const {
        if (data.size() < 1320) return {};
        return std::vector<BYTE>(data.begin() + 1312, data.end() - 8);
    }
};

class RawConsumer {
public:
    RawConsumer() = default;
    RawConsumer(const RawConsumer&) = delete;
    RawConsumer& operator=(const RawConsumer&) = delete;
    ~RawConsumer() { Stop(); }

    // Opens the session and starts processing; false when OpenTraceA fails.
    bool Start() {
        current_ = this;
        EVENT_TRACE_LOGFILEA logfile = {};
        logfile.LoggerName = const_cast<LPSTR>(EVT_SESSION_NAME);
        logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
        logfile.EventCallback = &RawConsumer::OnEvent;
        trace_ = OpenTraceA(&logfile);
        if (trace_ == INVALID_PROCESSTRACE_HANDLE) return false;
        thread_ = std::thread([this] { status_ = ProcessTrace(&trace_, 1, nullptr, nullptr); });
        return true;
    }

    void Stop() {
        if (trace_ != 0 && trace_ != INVALID_PROCESSTRACE_HANDLE) CloseTrace(trace_);
        if (thread_.joinable()) thread_.join();
        trace_ = 0;
        if (current_ == this) current_ = nullptr;
    }

    std::vector<RawEvent> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    std::vector<RawEvent> EventsFrom(const std::string& source) {
        std::vector<RawEvent> found;
        for (RawEvent& event : Events())
            if (event.Source() == source) found.push_back(std::move(event));
        return found;
    }

    bool WaitFor(const std::string& source, size_t count,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return testing_support::eventually([&] { return EventsFrom(source).size() >= count; }, timeout);
    }

    // Emits probe events through emit until one of them arrives: from then
    // on the consumer receives what is written. The probes are forgotten.
    template <typename Emit>
    bool Attach(const std::string& probeSource, Emit emit) {
        bool seen = testing_support::eventually(
            [&] {
                emit();
                return !EventsFrom(probeSource).empty();
            },
            std::chrono::seconds(20));
        if (seen) {
            // Let probes still in flight arrive before forgetting them.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard<std::mutex> lock(mutex_);
            events_.clear();
        }
        return seen;
    }

    ULONG status() const { return status_; }

private:
    static void WINAPI OnEvent(PEVENT_TRACE event) {
        RawConsumer* self = current_;
        if (self == nullptr || event == nullptr) return;
        RawEvent copy;
        copy.header = event->Header;
        const BYTE* data = static_cast<const BYTE*>(event->MofData);
        if (data != nullptr) copy.data.assign(data, data + event->MofLength);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->events_.push_back(std::move(copy));
    }

    static inline RawConsumer* current_ = nullptr;
    TRACEHANDLE trace_ = 0;
    std::thread thread_;
    ULONG status_ = 0;
    std::mutex mutex_;
    std::vector<RawEvent> events_;
};
