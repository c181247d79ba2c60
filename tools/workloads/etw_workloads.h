// Named end-to-end workloads of real-time trace sessions, shared by
// bench/etw_bench.cpp and "evtrace bench sessions".
//
// Every workload starts a session of its own, forks its consumer and
// producer processes (they meet through the session only; the parent
// coordinates and collects through an anonymous shared page), and stops the
// session at the end. Events are 1,400 bytes of payload behind the 48-byte
// header, as the library's typical event. Needs the rights to control
// sessions in the machine root in use.
#pragma once

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <evntrace.h>
#include <windows.h>

namespace etw_workloads {

constexpr uint32_t kPayload = 1400;
constexpr int kMaxProcesses = 4;
constexpr uint32_t kMaxSamples = 1 << 20;

inline int64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// What the processes of a run share.
struct Board {
    std::atomic<uint32_t> consumers_ready;
    std::atomic<uint32_t> go;
    std::atomic<uint32_t> stop;
    std::atomic<uint64_t> produced[kMaxProcesses];  // TraceEvent calls that returned success
    std::atomic<uint64_t> refused[kMaxProcesses];   // ... that returned ERROR_NOT_ENOUGH_MEMORY
    std::atomic<uint64_t> retries[kMaxProcesses];   // refused calls that were tried again
    std::atomic<uint64_t> delivered[kMaxProcesses];
    std::atomic<uint64_t> lost[kMaxProcesses];
    std::atomic<int64_t> first_ns[kMaxProcesses];
    std::atomic<int64_t> last_ns[kMaxProcesses];
    std::atomic<int64_t> max_gap_ns[kMaxProcesses];  // longest wait between two deliveries
    std::atomic<uint64_t> max_burst[kMaxProcesses];  // most events a paced producer wrote at once
    std::atomic<uint32_t> samples;  // latencies of consumer 0, in ns
    uint32_t sample_ns[kMaxSamples];
};

struct Payload {
    uint32_t producer;
    uint32_t reserved;
    uint64_t sequence;
    int64_t sent_ns;
};

struct Result {
    std::string name;
    std::vector<std::pair<std::string, double>> values;
    std::string note;
    double get(const std::string& key) const {
        for (const auto& [k, v] : values)
            if (k == key) return v;
        return 0;
    }
};

// ---- The processes ---------------------------------------------------------

namespace detail {

inline Board* g_board = nullptr;
inline int g_consumer = 0;
inline bool g_record_latency = false;

inline VOID WINAPI on_event(PEVENT_TRACE ev) {
    int64_t t = now_ns();
    Board* b = g_board;
    int i = g_consumer;
    if (b->delivered[i].load(std::memory_order_relaxed) == 0) {
        b->first_ns[i].store(t, std::memory_order_relaxed);
    } else if (t - b->last_ns[i].load(std::memory_order_relaxed) > b->max_gap_ns[i].load(std::memory_order_relaxed)) {
        b->max_gap_ns[i].store(t - b->last_ns[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    b->last_ns[i].store(t, std::memory_order_relaxed);
    b->delivered[i].store(b->delivered[i].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (g_record_latency && i == 0 && ev->MofLength >= sizeof(Payload)) {
        Payload p;
        memcpy(&p, ev->MofData, sizeof p);
        uint32_t n = b->samples.load(std::memory_order_relaxed);
        if (n < kMaxSamples) {
            b->sample_ns[n] = uint32_t(std::min<int64_t>(t - p.sent_ns, UINT32_MAX));
            b->samples.store(n + 1, std::memory_order_relaxed);
        }
    }
}

inline ULONG WINAPI on_buffer(PEVENT_TRACE_LOGFILEA lf) {
    g_board->lost[g_consumer].store(lf->EventsLost, std::memory_order_relaxed);
    return TRUE;
}

[[noreturn]] inline void consumer_main(Board* board, int index, const std::string& session, bool latency) {
    g_board = board;
    g_consumer = index;
    g_record_latency = latency;
    EVENT_TRACE_LOGFILEA lf;
    memset(&lf, 0, sizeof lf);
    lf.LoggerName = const_cast<char*>(session.c_str());
    lf.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
    lf.EventCallback = on_event;
    lf.BufferCallback = on_buffer;
    TRACEHANDLE h = OpenTraceA(&lf);
    board->consumers_ready.fetch_add(1);
    if (h == INVALID_PROCESSTRACE_HANDLE) _exit(2);
    ULONG rc = ProcessTrace(&h, 1, nullptr, nullptr);
    CloseTrace(h);
    _exit(rc == ERROR_SUCCESS ? 0 : 3);
}

struct Event {
    EVENT_TRACE_HEADER header;
    unsigned char data[kPayload];
    Event() {
        memset(this, 0, sizeof *this);
        header.Size = USHORT(sizeof header + kPayload);
        header.Class.Type = 51;
        header.Flags = WNODE_FLAG_TRACED_GUID;
        for (uint32_t i = 0; i < kPayload; ++i) data[i] = (unsigned char)i;
    }
    void set(uint32_t producer, uint64_t sequence, int64_t sent) {
        Payload p{producer, 0, sequence, sent};
        memcpy(data, &p, sizeof p);
    }
};

// Writes at `rate` events per second (0: as fast as it can) until told to
// stop or `count` events were accepted. When `retry` is set a refused event
// is tried again (the producer adapts to its consumers instead of losing).
// A paced producer asks for a short scheduler slice (EEVDF's latency hint,
// open to every user), so that its ticks come on time on a busy machine.
inline void request_short_slice() {
    struct {
        uint32_t size, policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime, deadline, period;
        uint32_t util_min, util_max;
    } attr;
    memset(&attr, 0, sizeof attr);
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.policy != 0) return;
    attr.size = sizeof attr;
    attr.runtime = 100000;
    syscall(SYS_sched_setattr, 0, &attr, 0);
}

[[noreturn]] inline void producer_main(Board* board, int index, TRACEHANDLE session, double rate, uint64_t count,
                                       bool retry) {
    prctl(PR_SET_TIMERSLACK, 1UL);
    if (rate > 0) request_short_slice();
    while (!board->go.load(std::memory_order_acquire)) usleep(100);
    Event ev;
    uint64_t produced = 0, refused = 0, retries = 0;
    const int64_t start = now_ns();
    const int64_t tick = 100000;  // paced producers wake every 100 us
    int64_t next_tick = start;
    uint64_t sequence = 0;
    while (!board->stop.load(std::memory_order_relaxed) && (count == 0 || produced < count)) {
        uint64_t due = rate > 0 ? uint64_t(double(now_ns() - start) * rate / 1e9) + 1 : sequence + 64;
        if (due > sequence && due - sequence > board->max_burst[index].load(std::memory_order_relaxed))
            board->max_burst[index].store(due - sequence, std::memory_order_relaxed);
        while (sequence < due && (count == 0 || produced < count)) {
            ev.set(uint32_t(index), sequence, now_ns());
            ULONG rc = TraceEvent(session, &ev.header);
            if (rc == ERROR_SUCCESS) {
                ++produced;
                ++sequence;
            } else if (rc == ERROR_NOT_ENOUGH_MEMORY) {
                if (retry) {
                    ++retries;
                    sched_yield();
                    continue;
                }
                ++refused;
                ++sequence;
            } else {
                _exit(4);
            }
        }
        board->produced[index].store(produced, std::memory_order_relaxed);
        board->refused[index].store(refused, std::memory_order_relaxed);
        if (rate > 0) {
            next_tick += tick;
            struct timespec ts = {time_t(next_tick / 1000000000), long(next_tick % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        }
    }
    board->produced[index].store(produced);
    board->refused[index].store(refused);
    board->retries[index].store(retries);
    _exit(0);
}

}  // namespace detail

// ---- A run -------------------------------------------------------------------

// A zeroed property block with room for a session name behind the structure.
inline std::vector<unsigned char> properties_block() {
    std::vector<unsigned char> block(sizeof(EVENT_TRACE_PROPERTIES) + 2048, 0);
    auto* p = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    p->Wnode.BufferSize = ULONG(block.size());
    p->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    return block;
}

class Run {
public:
    Run(const std::string& session, ULONG buffer_kb, ULONG buffers) : session_(session) {
        board_ = static_cast<Board*>(
            mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        if (board_ == MAP_FAILED) {
            board_ = nullptr;
            error_ = "cannot map the shared board";
            return;
        }
        std::vector<unsigned char> block = properties_block();
        auto* p = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
        p->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
        p->Wnode.ClientContext = 1;
        p->BufferSize = buffer_kb;
        p->MinimumBuffers = buffers;
        p->MaximumBuffers = buffers;
        p->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
        p->FlushTimer = 1;
        ControlTraceA(0, session_.c_str(), p, EVENT_TRACE_CONTROL_STOP);  // a leftover of an earlier run
        ULONG rc = StartTraceA(&handle_, session_.c_str(), p);
        if (rc != ERROR_SUCCESS) error_ = "StartTraceA failed with " + std::to_string(rc);
    }

    ~Run() {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (handle_) stop_session();
        if (board_) munmap(board_, sizeof(Board));
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    Board* board() const { return board_; }
    TRACEHANDLE handle() const { return handle_; }

    pid_t add_consumer(bool latency) {
        int index = consumers_++;
        pid_t pid = fork();
        if (pid == 0) detail::consumer_main(board_, index, session_, latency);
        children_.push_back(pid);
        consumer_pids_.push_back(pid);
        // A consumer is attached once OpenTraceA returned.
        int64_t deadline = now_ns() + 10000000000;
        while (board_->consumers_ready.load() < uint32_t(consumers_) && now_ns() < deadline) usleep(200);
        return pid;
    }

    void add_producer(double rate, uint64_t count, bool retry) {
        int index = producers_++;
        pid_t pid = fork();
        if (pid == 0) detail::producer_main(board_, index, handle_, rate, count, retry);
        children_.push_back(pid);
        producer_pids_.push_back(pid);
    }

    void go() {
        started_ns_ = now_ns();
        board_->go.store(1, std::memory_order_release);
    }

    // Lets producers run for `seconds` (or until they finish), stops them
    // and waits for them to exit.
    void run_producers(double seconds) {
        int64_t deadline = started_ns_ + int64_t(seconds * 1e9);
        for (;;) {
            bool all_done = true;
            for (pid_t pid : producer_pids_) all_done &= waitpid(pid, nullptr, WNOHANG) == pid || exited(pid);
            if (all_done || now_ns() >= deadline) break;
            usleep(1000);
        }
        board_->stop.store(1);
        for (pid_t pid : producer_pids_) reap(pid);
        stopped_ns_ = now_ns();
    }

    uint64_t produced() const {
        uint64_t n = 0;
        for (int i = 0; i < producers_; ++i) n += board_->produced[i].load() + board_->refused[i].load();
        return n;
    }

    // Waits until every consumer has delivered or lost what was produced
    // (at most `seconds`), then stops the session and reaps the consumers.
    void drain_and_stop(double seconds) {
        int64_t deadline = now_ns() + int64_t(seconds * 1e9);
        const uint64_t total = produced();
        for (;;) {
            bool done = true;
            for (int i = 0; i < consumers_; ++i) done &= board_->delivered[i].load() + board_->lost[i].load() >= total;
            if (done || now_ns() >= deadline) break;
            usleep(1000);
        }
        stop_session();
        for (pid_t pid : consumer_pids_) reap(pid);
    }

    // The whole of a steady run: `consumers` attached (the first measuring
    // latency when asked), `producers` sharing `rate` events per second (0:
    // as fast as they can) for `seconds`, then the drain and the stop.
    void flow(int producers, int consumers, double rate, bool retry, bool latency, double seconds,
              double drain_seconds) {
        for (int c = 0; c < consumers; ++c) add_consumer(latency && c == 0);
        for (int p = 0; p < producers; ++p) add_producer(rate / producers, 0, retry);
        go();
        run_producers(seconds);
        drain_and_stop(drain_seconds);
    }

    double producing_seconds() const { return double(stopped_ns_ - started_ns_) / 1e9; }

private:
    void stop_session() {
        std::vector<unsigned char> block = properties_block();
        ControlTraceA(handle_, nullptr, reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data()),
                      EVENT_TRACE_CONTROL_STOP);
        handle_ = 0;
    }
    bool exited(pid_t pid) const {
        for (pid_t done : reaped_) if (done == pid) return true;
        return false;
    }
    void reap(pid_t pid) {
        if (exited(pid)) return;
        waitpid(pid, nullptr, 0);
        reaped_.push_back(pid);
        children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    }

    std::string session_;
    std::string error_;
    Board* board_ = nullptr;
    TRACEHANDLE handle_ = 0;
    int consumers_ = 0, producers_ = 0;
    std::vector<pid_t> children_, consumer_pids_, producer_pids_, reaped_;
    int64_t started_ns_ = 0, stopped_ns_ = 0;
};

inline std::string default_session_name() { return "evtrace bench " + std::to_string(getpid()); }

inline Result failed(const std::string& name, const std::string& why) { return Result{name, {}, why}; }

inline std::string flow_name(const char* kind, int producers, int consumers) {
    return std::string(kind) + "_" + std::to_string(producers) + "p" + std::to_string(consumers) + "c";
}

// ---- The workloads -------------------------------------------------------------

// Nanoseconds per TSC tick, measured against the monotonic clock.
inline double ns_per_tick() {
    static const double value = [] {
        int64_t t0 = now_ns();
        uint64_t c0 = __builtin_ia32_rdtsc();
        while (now_ns() - t0 < 50000000) {
        }
        int64_t t1 = now_ns();
        uint64_t c1 = __builtin_ia32_rdtsc();
        return double(t1 - t0) / double(c1 - c0);
    }();
    return value;
}

// TraceEvent's cost, with one consumer process attached or none: every
// call timed on its own with the TSC (the cost of reading it subtracted),
// so that a call preempted by another process counts as one slow call and
// does not move the median. Calls come in bursts of 100, which fit the
// library's 4 x 50 KB ring; the consumer catches up between bursts (and
// reads while the burst is written).
inline Result trace_event_cost(const std::string& session, int bursts = 3000, bool with_consumer = true) {
    std::string name = with_consumer ? "trace_event_cost_1c" : "trace_event_cost_0c";
    Run run(session, 50, 4);
    if (!run.ok()) return failed(name, run.error());
    if (with_consumer) run.add_consumer(false);
    detail::Event ev;
    const double tick = ns_per_tick();
    std::vector<uint64_t> empty;
    for (int i = 0; i < 10000; ++i) {
        uint64_t a = __builtin_ia32_rdtsc();
        asm volatile("" ::: "memory");
        uint64_t b = __builtin_ia32_rdtsc();
        empty.push_back(b - a);
    }
    std::sort(empty.begin(), empty.end());
    const uint64_t overhead = empty[empty.size() / 2];
    std::vector<uint64_t> calls;
    calls.reserve(size_t(bursts) * 100);
    uint64_t written = 0, refused = 0;
    int64_t t_start = now_ns();
    for (int b = 0; b < bursts + 50; ++b) {
        for (int i = 0; i < 100; ++i) {
            ev.set(0, written + refused, 0);
            uint64_t c0 = __builtin_ia32_rdtsc();
            ULONG rc = TraceEvent(run.handle(), &ev.header);
            uint64_t c1 = __builtin_ia32_rdtsc();
            if (b >= 50) calls.push_back(c1 - c0 > overhead ? c1 - c0 - overhead : 0);  // 50 bursts warm up
            if (rc == ERROR_SUCCESS)
                ++written;
            else
                ++refused;
        }
        // The consumer may share this core: let it run.
        if (with_consumer)
            while (run.board()->delivered[0].load(std::memory_order_relaxed) + run.board()->lost[0].load() < written)
                sched_yield();
    }
    double seconds = double(now_ns() - t_start) / 1e9;
    run.drain_and_stop(10);
    std::sort(calls.begin(), calls.end());
    double sum = 0;
    for (uint64_t c : calls) sum += double(c);
    Result r{name, {}, ""};
    r.values = {{"median_ns", double(calls[calls.size() / 2]) * tick},
                {"p90_ns", double(calls[calls.size() * 9 / 10]) * tick},
                {"p99_ns", double(calls[calls.size() * 99 / 100]) * tick},
                {"mean_ns", sum / double(calls.size()) * tick},
                {"events", double(written)},
                {"refused", double(refused)},
                {"events_per_s", double(written) / seconds}};
    return r;
}

// Sustained delivery: producers write as fast as they can for `seconds`,
// trying refused events again, so the rate is what the consumers take.
inline Result throughput(const std::string& session, int producers, int consumers, double seconds = 3,
                         ULONG buffer_kb = 64, ULONG buffers = 32) {
    std::string name = flow_name("throughput", producers, consumers);
    Run run(session, buffer_kb, buffers);
    if (!run.ok()) return failed(name, run.error());
    run.flow(producers, consumers, 0, true, false, seconds, 20);
    Board* b = run.board();
    Result r{name, {}, ""};
    double slowest = 0;
    uint64_t least = UINT64_MAX, retries = 0;
    for (int c = 0; c < consumers; ++c) {
        double span = double(b->last_ns[c].load() - b->first_ns[c].load()) / 1e9;
        double rate = span > 0 ? double(b->delivered[c].load()) / span : 0;
        slowest = c == 0 ? rate : std::min(slowest, rate);
        least = std::min(least, b->delivered[c].load());
    }
    for (int p = 0; p < producers; ++p) retries += b->retries[p].load();
    r.values = {{"delivered_per_s", slowest},
                {"produced", double(run.produced())},
                {"retries", double(retries)},
                {"missed_by_slowest", double(run.produced() - std::min(least, run.produced()))},
                {"ring_kb", double(buffer_kb * buffers)}};
    r.note = "rate of the slowest consumer; producers try refused events again (retries), so a consumer that "
             "keeps up misses nothing; with two consumers an event one of them took is not retried for the other";
    return r;
}

// Emit-to-callback latency at a steady total rate (events per second),
// shared by the producers, measured by consumer 0.
inline Result latency(const std::string& session, int producers, int consumers, double rate = 10000,
                      double seconds = 3) {
    std::string name = flow_name("latency", producers, consumers);
    Run run(session, 50, 4);
    if (!run.ok()) return failed(name, run.error());
    run.flow(producers, consumers, rate, false, true, seconds, 10);
    Board* b = run.board();
    uint32_t n = b->samples.load();
    if (n == 0) return failed(name, "no event arrived");
    std::vector<uint32_t> s(b->sample_ns, b->sample_ns + n);
    std::sort(s.begin(), s.end());
    Result r{name, {}, ""};
    r.values = {{"p50_us", s[n / 2] / 1000.0},
                {"p99_us", s[size_t(n) * 99 / 100] / 1000.0},
                {"p999_us", s[size_t(n) * 999 / 1000] / 1000.0},
                {"max_us", s[n - 1] / 1000.0},
                {"samples", double(n)},
                {"lost", double(b->lost[0].load())}};
    return r;
}

// Losses at a steady rate into the library's session (4 buffers of 50 KB).
inline Result loss(const std::string& session, int producers, int consumers, double rate = 100000,
                   double seconds = 3) {
    std::string name = flow_name("loss", producers, consumers);
    Run run(session, 50, 4);
    if (!run.ok()) return failed(name, run.error());
    run.flow(producers, consumers, rate, false, false, seconds, 10);
    Board* b = run.board();
    uint64_t lost = 0, delivered = 0, refused = 0;
    for (int c = 0; c < consumers; ++c) {
        lost += b->lost[c].load();
        delivered += b->delivered[c].load();
    }
    for (int p = 0; p < producers; ++p) refused += b->refused[p].load();
    Result r{name, {}, ""};
    int64_t max_gap = 0;
    uint64_t max_burst = 0;
    for (int c = 0; c < consumers; ++c) max_gap = std::max(max_gap, b->max_gap_ns[c].load());
    for (int p = 0; p < producers; ++p) max_burst = std::max(max_burst, b->max_burst[p].load());
    r.values = {{"rate_per_s", double(run.produced()) / run.producing_seconds()},
                {"produced", double(run.produced())},
                {"delivered", double(delivered)},
                {"lost", double(lost)},
                {"refused", double(refused)},
                {"max_burst", double(max_burst)},
                {"max_gap_us", double(max_gap) / 1000.0}};
    r.note = "delivered and lost summed over consumers; max_burst: most events a producer wrote at once "
             "(after waking late), max_gap_us: a consumer's longest pause between deliveries";
    return r;
}

// CPU time of a consumer process that waits on an idle session.
inline Result idle_cpu(const std::string& session, double seconds = 3) {
    std::string name = "idle_consumer_cpu";
    Run run(session, 50, 4);
    if (!run.ok()) return failed(name, run.error());
    pid_t pid = run.add_consumer(false);
    usleep(200000);  // past the consumer's start-up
    auto cpu_ns = [pid](uint64_t* switches) {
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/schedstat", int(pid));
        unsigned long long run_ns = 0, wait_ns = 0, slices = 0;
        if (FILE* f = fopen(path, "r")) {
            if (fscanf(f, "%llu %llu %llu", &run_ns, &wait_ns, &slices) != 3) run_ns = 0;
            fclose(f);
        }
        *switches = slices;
        return run_ns;
    };
    uint64_t s0 = 0, s1 = 0;
    uint64_t c0 = cpu_ns(&s0);
    int64_t t0 = now_ns();
    usleep(useconds_t(seconds * 1e6));
    uint64_t c1 = cpu_ns(&s1);
    int64_t t1 = now_ns();
    run.drain_and_stop(5);
    Result r{name, {}, ""};
    r.values = {{"cpu_percent", 100.0 * double(c1 - c0) / double(t1 - t0)},
                {"cpu_us_per_s", double(c1 - c0) / 1000.0 / (double(t1 - t0) / 1e9)},
                {"wakeups_per_s", double(s1 - s0) / (double(t1 - t0) / 1e9)}};
    return r;
}

}  // namespace etw_workloads
