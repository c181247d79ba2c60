// Helpers shared by the trace session tests: property blocks laid out as the
// library lays them out, events with a sequence payload, and a consumer
// that records what it receives.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <evntrace.h>
#include <windows.h>

namespace etw_test {

constexpr ULONG kBlockSize = 8312;  // the library's block: two 4096-byte names
constexpr ULONG kNameOffset = 120;
constexpr ULONG kFileOffset = 4216;

constexpr GUID kControlGuid = {0xE505C68B, 0x05CA, 0x4099, {0x9E, 0xFB, 0x14, 0x98, 0xF3, 0x9C, 0x22, 0x85}};
constexpr GUID kEventGuid = {0xF2EC902B, 0x8545, 0x458C, {0xBB, 0x9A, 0x76, 0x09, 0x3B, 0x0F, 0x47, 0xB2}};

// A zero-filled block of kBlockSize bytes with the library's offsets.
struct Properties {
    std::vector<unsigned char> bytes;
    Properties(ULONG buffer_kb = 50, ULONG buffers = 4, ULONG mode = EVENT_TRACE_REAL_TIME_MODE) : bytes(kBlockSize, 0) {
        EVENT_TRACE_PROPERTIES* p = get();
        p->Wnode.BufferSize = kBlockSize;
        p->Wnode.Guid = kControlGuid;
        p->Wnode.ClientContext = 1;
        p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        p->BufferSize = buffer_kb;
        p->MinimumBuffers = buffers;
        p->MaximumBuffers = buffers;
        p->LogFileMode = mode;
        p->FlushTimer = 1;
        p->LoggerNameOffset = kNameOffset;
        p->LogFileNameOffset = kFileOffset;
    }
    EVENT_TRACE_PROPERTIES* get() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(bytes.data()); }
    EVENT_TRACE_PROPERTIES* operator->() { return get(); }
    std::string name() { return reinterpret_cast<const char*>(bytes.data() + get()->LoggerNameOffset); }
};

inline TRACEHANDLE start_session(const char* name, ULONG buffer_kb = 50, ULONG buffers = 4) {
    Properties p(buffer_kb, buffers);
    TRACEHANDLE h = 0;
    ULONG rc = StartTraceA(&h, name, p.get());
    EXPECT_EQ(rc, ULONG(ERROR_SUCCESS)) << "StartTraceA(" << name << ")";
    return h;
}

inline ULONG stop_session(const char* name) {
    Properties p;
    return ControlTraceA(0, name, p.get(), EVENT_TRACE_CONTROL_STOP);
}

inline ULONG query_session(const char* name, Properties* out) {
    return ControlTraceA(0, name, out->get(), EVENT_TRACE_CONTROL_QUERY);
}

// The payload of test events: who wrote it and its number in the writer's
// sequence, then filler up to the requested size.
struct Stamp {
    uint32_t producer;
    uint32_t thread;
    uint64_t sequence;
};

struct Event {
    EVENT_TRACE_HEADER header;
    unsigned char data[65536];
    explicit Event(uint32_t payload = sizeof(Stamp)) {
        memset(&header, 0, sizeof header);
        header.Size = USHORT(sizeof(EVENT_TRACE_HEADER) + payload);
        header.Class.Type = 51;
        header.Guid = kEventGuid;
        header.Flags = WNODE_FLAG_TRACED_GUID;
        for (uint32_t i = 0; i < payload && i < sizeof data; ++i) data[i] = (unsigned char)(i * 7 + 3);
    }
    void stamp(uint32_t producer, uint32_t thread, uint64_t sequence) {
        Stamp s{producer, thread, sequence};
        memcpy(data, &s, sizeof s);
    }
    PEVENT_TRACE_HEADER get() { return &header; }
};

// Records every event a ProcessTrace delivers.
struct Received {
    std::mutex mutex;
    std::vector<Stamp> stamps;
    std::vector<EVENT_TRACE_HEADER> headers;
    std::vector<std::vector<unsigned char>> payloads;
    std::atomic<uint64_t> count{0};
    bool keep_payloads = false;
    TRACEHANDLE close_on_first = 0;  // CloseTrace from inside the callback

    void add(PEVENT_TRACE ev) {
        std::lock_guard<std::mutex> lock(mutex);
        Stamp s{};
        if (ev->MofLength >= sizeof(Stamp)) memcpy(&s, ev->MofData, sizeof s);
        stamps.push_back(s);
        headers.push_back(ev->Header);
        if (keep_payloads) {
            auto* p = static_cast<unsigned char*>(ev->MofData);
            payloads.emplace_back(p, p + ev->MofLength);
        }
        count.fetch_add(1);
    }
};

// The EventCallback has no context argument: the consumer running on this
// thread is found through a thread-local.
inline thread_local Received* t_received = nullptr;

inline VOID WINAPI record_event(PEVENT_TRACE ev) {
    if (!t_received) return;
    t_received->add(ev);
    if (t_received->close_on_first) {
        TRACEHANDLE h = t_received->close_on_first;
        t_received->close_on_first = 0;
        EXPECT_EQ(CloseTrace(h), ULONG(ERROR_CTX_CLOSE_PENDING));
    }
}

inline TRACEHANDLE open_consumer(const char* name, EVENT_TRACE_LOGFILEA* logfile) {
    memset(logfile, 0, sizeof *logfile);
    logfile->LoggerName = const_cast<char*>(name);
    logfile->ProcessTraceMode = EVENT_TRACE_REAL_TIME_MODE;
    logfile->EventCallback = record_event;
    return OpenTraceA(logfile);
}

// A consumer on a thread of its own: opened at construction (so events
// written afterwards reach it), pumping once start() is called.
class ThreadConsumer {
public:
    explicit ThreadConsumer(const char* name) : name_(name) {
        handle_ = open_consumer(name_.c_str(), &logfile_);
    }
    ~ThreadConsumer() {
        if (thread_.joinable()) {
            CloseTrace(handle_);
            thread_.join();
        }
    }
    TRACEHANDLE handle() const { return handle_; }
    void start() {
        thread_ = std::thread([this] {
            t_received = &received;
            TRACEHANDLE h = handle_;
            status_ = ProcessTrace(&h, 1, nullptr, nullptr);
            t_received = nullptr;
            done_ = true;
        });
    }
    // Waits for ProcessTrace to return; its status, or -1 on time-out.
    long join(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done_) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        thread_.join();
        return long(status_);
    }
    bool done() const { return done_; }
    EVENT_TRACE_LOGFILEA& logfile() { return logfile_; }

    Received received;

private:
    std::string name_;
    EVENT_TRACE_LOGFILEA logfile_;
    TRACEHANDLE handle_ = 0;
    std::thread thread_;
    std::atomic<bool> done_{false};
    ULONG status_ = 0;
};

}  // namespace etw_test
