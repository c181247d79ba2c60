// The event engine's forwarding of its records to a syslog collector.
//
// Three stages, so the session's listening thread never waits for a disk or
// a network:
// 1. Push (the data queue's record tap, on the listening thread) copies the
//    record into a bounded in-memory hand-off (kHandOffBytes) and wakes the
//    spooler only when it sleeps. A full hand-off drops the record, counted.
// 2. The spooler thread turns records into syslog messages and appends them
//    to the disk queue (Spool) up to its limit; past the limit records are
//    dropped, counted and reported by a message of their own placed where
//    they are missing, once the queue has room again.
// 3. The sender thread sends the queue in order and moves the queue's
//    committed position only over messages whose every byte the collector's
//    TCP has acknowledged. A connection that ends (closed, reset, refused,
//    timed out) is made again, after 0.2 s doubling up to 5 s, and every
//    message not yet acknowledged is sent again from the committed position.
//
// What this promises, precisely: every record that reached the queue is
// delivered in order, across collector outages and restarts of the engine
// (SIGKILL included), as long as the queue holds it. A collector that stops
// in order has read everything its TCP acknowledged (else it resets the
// connection instead of closing it), and a message it received in part is
// discarded by it (octet counting: an incomplete frame at the end of a
// connection is no message), so such an outage loses and doubles nothing.
// Plain TCP cannot say more: a collector that acknowledged bytes and then
// died without reading them loses those messages; one that read bytes and
// died before its acknowledgement went out receives them twice. A
// collector's acknowledgement follows its read within microseconds, and one
// that leaves data unread waits its delayed-acknowledgement time (40 ms on
// Linux) before acknowledging, so both take a collector killed within
// that moment. Before each write the connection is looked at with a
// zero-time read, so nothing is written into a connection the collector has
// already closed.
#pragma once

#include <TraceApi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "forward/connection.h"
#include "forward/forward_settings.h"
#include "forward/spool.h"
#include "forward/syslog_message.h"

namespace evtrace::forward {

struct ForwarderConfig {
    Target target;
    TlsOptions tls;
    std::string queueFolder;
    uint64_t maxQueueBytes = uint64_t(kDefaultMaxQueueMB) << 20;
    int facility = int(kDefaultFacility);
    std::string hostName;  // empty: the machine's
    size_t handOffBytes = 32 << 20;
    // Where the forwarder writes its counters for `evtrace forward status`
    // (empty: nowhere).
    std::string statusFile;
};

// Counters since the forwarder started.
struct ForwardCounters {
    uint64_t received = 0;   // records pushed by the data queue
    uint64_t queued = 0;     // records appended to the disk queue
    uint64_t sent = 0;       // messages written to a connection (again after a broken one)
    uint64_t delivered = 0;  // messages the collector's TCP acknowledged
    uint64_t resent = 0;     // messages written again after a broken connection
    uint64_t reports = 0;    // loss reports appended
    uint64_t connects = 0;   // connections made
    LossCounts dropped;      // records that will not reach the collector
    bool connected = false;
    std::string lastError;   // the last connection failure, in words
};

class Forwarder {
public:
    using Say = std::function<void(const std::string&)>;

    Forwarder();
    ~Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // Opens the queue and starts the spooler and the sender. False with the
    // reason (the queue cannot be opened). `say` receives lines for the
    // people watching (connection changes, recovery notes); it is called
    // from the forwarder's threads.
    bool Start(const ForwarderConfig& config, Say say, std::string* error);
    // The record tap: copies the record; never waits for anything but the
    // hand-off's short lock.
    void Push(const _VANTA_EVTRACE_DATA* record, DWORD size);
    static void Tap(void* self, const _VANTA_EVTRACE_DATA* record, DWORD size);
    // Takes no more records, puts what the hand-off holds into the queue,
    // gives the sender up to `drain` to send and see acknowledged what is
    // waiting, then ends both threads and closes the queue (what is left
    // waits there for the next start).
    void Stop(std::chrono::milliseconds drain);

    ForwardCounters Counters() const;
    SpoolStats QueueStats() const { return spool_.Stats(); }

private:
    void SpoolerRun();
    void SenderRun();
    void ReportLosses(MessageFormatter& formatter, LossCounts& pending, std::string* message);
    void WriteStatus();
    bool SendChunk(Connection& connection, const std::vector<SpoolRecord>& records, size_t from, size_t to,
                   std::string* frames, std::string* why);
    void Harvest(Connection& connection, bool force);
    void Disconnect(std::unique_ptr<Connection>& connection, const std::string& why);

    ForwarderConfig config_;
    Say say_;
    Spool spool_;
    int stopPipe_[2] = {-1, -1};

    // The hand-off: records as [u32 size][record], guarded by handOffLock_.
    std::mutex handOffLock_;
    std::condition_variable handOffReady_;
    std::vector<char> handOff_;
    bool spoolerWaiting_ = false;
    bool stopping_ = false;
    uint64_t handOffDropped_ = 0;
    LossCounts handOffLosses_;
    std::atomic<uint64_t> received_{0};

    // Counters, guarded by countersLock_.
    mutable std::mutex countersLock_;
    ForwardCounters counters_;
    std::atomic<uint64_t> damaged_{0};  // found by the sender, reported by the spooler

    // The sender's own.
    struct InFlight {
        uint64_t wireEnd;  // the connection's byte count once this message is whole
        SpoolPosition next;
    };
    std::vector<InFlight> inFlight_;
    size_t inFlightDone_ = 0;
    SpoolPosition acked_;
    std::chrono::steady_clock::time_point lastCommit_;
    bool commitPending_ = false;
    std::atomic<bool> senderStop_{false};
    std::atomic<bool> senderDone_{false};
    std::atomic<int64_t> drainUntil_{0};

    std::thread spooler_;
    std::thread sender_;
    bool started_ = false;
};

}  // namespace evtrace::forward
