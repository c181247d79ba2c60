// Shared by the provider-side tests: a fresh machine root per test with the
// library's process state reset, a real-time consumer of the session that
// keeps a copy of every event, and byte images to compare events and blocks
// with, byte for byte.
#pragma once

#include <TraceApi.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

template <typename T>
T Get(const BYTE* data, size_t offset) {
    T value;
    memcpy(&value, data + offset, sizeof value);
    return value;
}

// The zero-terminated text of a field of size bytes (all of it when it has no zero).
inline std::string Text(const BYTE* field, size_t size) {
    return std::string(reinterpret_cast<const char*>(field), strnlen(reinterpret_cast<const char*>(field), size));
}

// Bytes laid out field by field, zeros elsewhere. Texts go in without their
// zero; a field that would not fit fails the test.
struct Image {
    explicit Image(size_t size) : bytes(size, 0) {}
    Image& Put(size_t at, const void* data, size_t size) {
        EXPECT_LE(at + size, bytes.size()) << "image field at " << at;
        // An empty field may come with a null pointer, which memcpy must not get.
        if (size != 0 && at + size <= bytes.size()) memcpy(bytes.data() + at, data, size);
        return *this;
    }
    template <typename T>
    Image& Put(size_t at, T value) {
        return Put(at, &value, sizeof value);
    }
    Image& Put(size_t at, const std::string& text) { return Put(at, text.data(), text.size()); }
    Image& Put(size_t at, const char* text) { return Put(at, std::string(text)); }
    Image& Put(size_t at, const std::vector<BYTE>& data) { return Put(at, data.data(), data.size()); }
    std::vector<BYTE> bytes;
};

// Equal sizes and bytes; the first difference is named.
inline testing::AssertionResult SameBytes(const std::vector<BYTE>& actual, const std::vector<BYTE>& expected) {
    if (actual.size() != expected.size())
        return testing::AssertionFailure() << actual.size() << " bytes, expected " << expected.size();
    for (size_t at = 0; at < actual.size(); ++at)
        if (actual[at] != expected[at])
            return testing::AssertionFailure() << "byte " << at << " is " << int(actual[at]) << ", expected "
                                               << int(expected[at]);
    return testing::AssertionSuccess();
}

struct RawEvent {
    EVENT_TRACE_HEADER header;
    std::vector<BYTE> data;
    ULONG Code() const { return data.size() >= 12 ? Get<ULONG>(data.data(), 8) : 0; }
    ULONG Type() const { return data.size() >= 16 ? Get<ULONG>(data.data(), 12) : 0; }
    std::string Source() const { return data.size() >= 280 ? Text(&data[24], 256) : ""; }
};

// OpenTraceA and ProcessTrace of "Orkan System Trace" on a thread of its
// own. One runs at a time in a process.
class RawConsumer {
public:
    ~RawConsumer() { Stop(); }

    // Opens the session, then emits probes through emit until one arrives:
    // from then on the consumer receives what is written. The probes are
    // forgotten.
    template <typename Emit>
    bool Start(const std::string& probeSource, Emit emit) {
        current_ = this;
        EVENT_TRACE_LOGFILEA logfile = {};
        logfile.LoggerName = const_cast<LPSTR>(EVT_SESSION_NAME);
        logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
        logfile.EventCallback = &RawConsumer::OnEvent;
        trace_ = OpenTraceA(&logfile);
        if (trace_ == INVALID_PROCESSTRACE_HANDLE) return false;
        thread_ = std::thread([this] { ProcessTrace(&trace_, 1, nullptr, nullptr); });
        bool seen = testing_support::eventually(
            [&] {
                emit();
                return !EventsFrom(probeSource).empty();
            },
            std::chrono::seconds(20));
        // Let probes still in flight arrive before forgetting them.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        return seen;
    }

    void Stop() {
        if (trace_ != 0 && trace_ != INVALID_PROCESSTRACE_HANDLE) CloseTrace(trace_);
        if (thread_.joinable()) thread_.join();
        trace_ = 0;
        if (current_ == this) current_ = nullptr;
    }

    std::vector<RawEvent> EventsFrom(const std::string& source) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<RawEvent> found;
        for (const RawEvent& event : events_)
            if (event.Source() == source) found.push_back(event);
        return found;
    }

    bool WaitFor(const std::string& source, size_t count) {
        return testing_support::eventually([&] { return EventsFrom(source).size() >= count; },
                                           std::chrono::seconds(20));
    }

private:
    static void WINAPI OnEvent(PEVENT_TRACE event) {
        RawConsumer* self = current_;
        if (self == nullptr || event == nullptr) return;
        RawEvent copy{event->Header, {}};
        const BYTE* data = static_cast<const BYTE*>(event->MofData);
        if (data != nullptr) copy.data.assign(data, data + event->MofLength);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->events_.push_back(std::move(copy));
    }

    static inline RawConsumer* current_ = nullptr;
    TRACEHANDLE trace_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<RawEvent> events_;
};

class LibraryTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        CEvTrace::s_hRTSession = 0;
    }

    void TearDown() override {
        consumer_.Stop();
        for (ULONG handle : registered_) EXPECT_EQ(UnRegisterEvTrace(handle), S_OK) << "provider " << handle;
        registered_.clear();
        EvtUnInitialize();
        CEvTrace::s_hRTSession = 0;
        MachineTest::TearDown();
    }

    static EVT_PROVIDER_INFO Info(const std::string& name, const std::string& user = "", const std::string& text = "") {
        EVT_PROVIDER_INFO info = {};
        name.copy(info.m_szInstanceName, sizeof info.m_szInstanceName - 1);
        user.copy(info.m_szUserName, sizeof info.m_szUserName - 1);
        text.copy(info.m_szProviderText, sizeof info.m_szProviderText - 1);
        return info;
    }

    // Registers a provider that the test's end unregisters; 0 on failure.
    ULONG Register(const std::string& name) {
        EVT_PROVIDER_INFO info = Info(name, "tester");
        ULONG handle = 0;
        LONG result = RegisterEvTrace(&handle, &info);
        EXPECT_EQ(result, S_OK) << "RegisterEvTrace " << name;
        if (result == S_OK) registered_.push_back(handle);
        return handle;
    }

    void Forget(ULONG handle) { std::erase(registered_, handle); }

    // Registers a probe provider under name and attaches the consumer with it.
    bool Listen(const std::string& name) {
        ULONG probe = Register(name);
        return consumer_.Start(name, [=] { EvTraceString(probe, 51, 0, "probe", nullptr, nullptr, 0); });
    }

    RawConsumer consumer_;

private:
    std::vector<ULONG> registered_;
};
