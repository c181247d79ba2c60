// Helpers of the trace session tests: property blocks laid out as the
// library lays them out, events stamped with a sequence, and consumers that
// record what they receive.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <evntrace.h>
#include <windows.h>

#include "test_support.h"

namespace etw_test {

using testing_support::eventually;

constexpr const char* kName = "Orkan System Trace";
constexpr ULONG kBlockSize = 8312;  // the library's block: two 4096-byte names
constexpr ULONG kNameOffset = 120;
constexpr ULONG kFileOffset = 4216;
constexpr GUID kControlGuid = {0xE505C68B, 0x05CA, 0x4099, {0x9E, 0xFB, 0x14, 0x98, 0xF3, 0x9C, 0x22, 0x85}};
constexpr GUID kEventGuid = {0xF2EC902B, 0x8545, 0x458C, {0xBB, 0x9A, 0x76, 0x09, 0x3B, 0x0F, 0x47, 0xB2}};

struct Properties {
    std::vector<unsigned char> bytes;
    Properties(ULONG buffer_kb = 50, ULONG buffers = 4, ULONG mode = EVENT_TRACE_REAL_TIME_MODE) : bytes(kBlockSize, 0) {
        EVENT_TRACE_PROPERTIES* p = get();
        p->Wnode.BufferSize = kBlockSize;
        p->Wnode.Guid = kControlGuid;
        p->Wnode.ClientContext = 1;
        p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        p->BufferSize = buffer_kb;
        p->MinimumBuffers = p->MaximumBuffers = buffers;
        p->LogFileMode = mode;
        p->FlushTimer = 1;
        p->LoggerNameOffset = kNameOffset;
        p->LogFileNameOffset = kFileOffset;
    }
    EVENT_TRACE_PROPERTIES* get() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(bytes.data()); }
    EVENT_TRACE_PROPERTIES* operator->() { return get(); }
    std::string name() { return reinterpret_cast<const char*>(bytes.data() + get()->LoggerNameOffset); }
    ULONG query(const char* session = kName) { return ControlTraceA(0, session, get(), EVENT_TRACE_CONTROL_QUERY); }
};

inline TRACEHANDLE start_session(const char* name = kName, ULONG buffer_kb = 50, ULONG buffers = 4) {
    Properties p(buffer_kb, buffers);
    TRACEHANDLE h = 0;
    EXPECT_EQ(StartTraceA(&h, name, p.get()), ULONG(ERROR_SUCCESS)) << name;
    return h;
}

inline ULONG stop_session(const char* name = kName) {
    Properties p;
    return ControlTraceA(0, name, p.get(), EVENT_TRACE_CONTROL_STOP);
}

// The payload of test events: who wrote it and its place in the writer's
// sequence, then filler up to the requested size.
struct Stamp {
    uint32_t producer;
    uint32_t thread;
    uint64_t sequence;
};

struct Event {
    EVENT_TRACE_HEADER header{};
    unsigned char data[65536];
    explicit Event(uint32_t payload = sizeof(Stamp)) {
        header.Size = USHORT(sizeof(EVENT_TRACE_HEADER) + payload);
        header.Class.Type = 51;
        header.Guid = kEventGuid;
        header.Flags = WNODE_FLAG_TRACED_GUID;
        for (uint32_t i = 0; i < payload && i < sizeof data; ++i) data[i] = (unsigned char)(i * 7 + 3);
    }
    PEVENT_TRACE_HEADER stamp(uint32_t producer, uint32_t thread, uint64_t sequence) {
        Stamp s{producer, thread, sequence};
        memcpy(data, &s, sizeof s);
        return &header;
    }
    PEVENT_TRACE_HEADER get() { return &header; }
};

// Writes `count` events of `payload` bytes stamped (producer, 0, first...);
// fails at the first one refused.
inline ::testing::AssertionResult write_events(TRACEHANDLE h, uint64_t count, uint32_t payload = sizeof(Stamp),
                                               uint32_t producer = 1, uint64_t first = 0) {
    Event ev(payload);
    for (uint64_t i = first; i < first + count; ++i)
        if (ULONG rc = TraceEvent(h, ev.stamp(producer, 0, i))) return ::testing::AssertionFailure() << i << ": " << rc;
    return ::testing::AssertionSuccess();
}

// What a provider's control callback is told, as a line: "disable", or
// "enable <level> <flags> <status of TraceEvent through the logger handle>
// <last error after GetTraceEnableLevel>". The event written is stamped
// with the level.
inline std::string told(WMIDPREQUESTCODE code, PVOID buffer) {
    if (code == WMI_DISABLE_EVENTS) return "disable";
    TRACEHANDLE logger = GetTraceLoggerHandle(buffer);
    SetLastError(1234);
    UCHAR level = GetTraceEnableLevel(logger);
    DWORD error = GetLastError();
    Event ev;
    ULONG rc = TraceEvent(logger, ev.stamp(77, 0, level));
    char flags[16];
    snprintf(flags, sizeof flags, "%x", unsigned(GetTraceEnableFlags(logger)));
    return "enable " + std::to_string(level) + " " + flags + " " + std::to_string(rc) + " " + std::to_string(error);
}

// What a ProcessTrace delivered, and the last loss count it reported.
struct Received {
    std::mutex mutex;
    std::vector<Stamp> stamps;
    std::vector<EVENT_TRACE_HEADER> headers;
    std::vector<std::vector<unsigned char>> payloads;
    std::atomic<uint64_t> count{0};
    std::atomic<ULONG> lost{0};
    bool keep_payloads = false;

    void add(PEVENT_TRACE ev) {
        std::lock_guard<std::mutex> lock(mutex);
        Stamp s{};
        if (ev->MofLength >= sizeof(Stamp)) memcpy(&s, ev->MofData, sizeof s);
        stamps.push_back(s);
        headers.push_back(ev->Header);
        auto* p = static_cast<unsigned char*>(ev->MofData);
        if (keep_payloads) payloads.emplace_back(p, p + ev->MofLength);
        count.fetch_add(1);
    }
};

// "<delivered> <lost> <out of order> <events of each stream>...": a stream
// is what one thread of one producer wrote; its later events may be lost,
// never reordered or repeated.
inline std::string summary(Received& r) {
    std::lock_guard<std::mutex> lock(r.mutex);
    std::map<std::pair<uint32_t, uint32_t>, std::pair<uint64_t, uint64_t>> streams;  // next sequence, events
    uint64_t disorder = 0;
    for (const Stamp& s : r.stamps) {
        auto [it, fresh] = streams.try_emplace({s.producer, s.thread}, 0, 0);
        if (!fresh && s.sequence < it->second.first) ++disorder;
        it->second = {s.sequence + 1, it->second.second + 1};
    }
    std::string out = std::to_string(r.count) + " " + std::to_string(r.lost) + " " + std::to_string(disorder);
    for (const auto& [key, stream] : streams) out += " " + std::to_string(stream.second);
    return out;
}

// The callbacks have no context argument: the consumer running on this
// thread is found through a thread-local.
inline thread_local Received* t_received = nullptr;

inline VOID WINAPI record_event(PEVENT_TRACE ev) {
    if (t_received) t_received->add(ev);
}

inline ULONG WINAPI record_buffer(PEVENT_TRACE_LOGFILEA lf) {
    if (t_received) t_received->lost = lf->EventsLost;
    return TRUE;
}

inline TRACEHANDLE open_consumer(const char* name, EVENT_TRACE_LOGFILEA* logfile,
                                 PEVENT_CALLBACK callback = record_event) {
    memset(logfile, 0, sizeof *logfile);
    logfile->LoggerName = const_cast<char*>(name);
    logfile->ProcessTraceMode = EVENT_TRACE_REAL_TIME_MODE;
    logfile->EventCallback = callback;
    logfile->BufferCallback = record_buffer;
    return OpenTraceA(logfile);
}

// A consumer on a thread of its own: opened at construction (so events
// written afterwards reach it), pumping from then on or once start() is
// called.
class ThreadConsumer {
public:
    explicit ThreadConsumer(PEVENT_CALLBACK callback = record_event, bool start_now = true)
        : handle(open_consumer(kName, &logfile, callback)) {
        if (start_now) start();
    }
    ~ThreadConsumer() {
        if (!status_.valid()) return;
        CloseTrace(handle);
        status_.wait();
    }
    void start() {
        status_ = std::async(std::launch::async, [this] {
            t_received = &received;
            TRACEHANDLE h = handle;
            return ProcessTrace(&h, 1, nullptr, nullptr);
        });
    }
    // ProcessTrace's status, or -1 when it has not returned in time.
    long join(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return status_.wait_for(timeout) == std::future_status::ready ? long(status_.get()) : -1;
    }

    EVENT_TRACE_LOGFILEA logfile;  // before the handle: opening fills it
    const TRACEHANDLE handle;
    Received received;

private:
    std::future<ULONG> status_;
};

}  // namespace etw_test
