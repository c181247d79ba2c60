#include "forward/forwarder.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include <nlohmann/json.hpp>

namespace evtrace::forward {

namespace {

constexpr auto kSpoolerWait = std::chrono::milliseconds(200);
constexpr auto kStatusInterval = std::chrono::seconds(1);
constexpr auto kCommitInterval = std::chrono::milliseconds(20);
constexpr auto kFirstBackoff = std::chrono::milliseconds(200);
constexpr auto kLastBackoff = std::chrono::seconds(5);
constexpr int kConnectTimeoutMs = 5000;
constexpr size_t kReadBytes = 256 << 10;
// While messages wait for their acknowledgement, how often to look.
constexpr auto kAckPoll = std::chrono::milliseconds(5);

uint64_t NowFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

int64_t SteadyNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AppendDecimal(size_t value, std::string* out) {
    char digits[24];
    const int n = snprintf(digits, sizeof digits, "%zu", value);
    out->append(digits, size_t(n));
}

}  // namespace

Forwarder::Forwarder() = default;

Forwarder::~Forwarder() { Stop(std::chrono::milliseconds(0)); }

bool Forwarder::Start(const ForwarderConfig& config, Say say, std::string* error) {
    config_ = config;
    if (config_.hostName.empty()) config_.hostName = LocalHostName();
    say_ = say ? std::move(say) : [](const std::string&) {};
    std::vector<std::string> notes;
    if (!spool_.Open(config_.queueFolder, config_.maxQueueBytes, error, &notes)) return false;
    for (const std::string& note : notes) say_("forward queue: " + note);
    if (pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("cannot make the forwarder's stop pipe: ") + strerror(errno);
        spool_.Close();
        return false;
    }
    const SpoolStats stats = spool_.Stats();
    if (stats.waitingRecords > 0)
        say_("forward queue: " + std::to_string(stats.waitingRecords) + " records wait from before; they go first");
    acked_ = spool_.Committed();
    lastCommit_ = std::chrono::steady_clock::now();
    started_ = true;
    spooler_ = std::thread([this] { SpoolerRun(); });
    sender_ = std::thread([this] { SenderRun(); });
    return true;
}

void Forwarder::Tap(void* self, const _VANTA_EVTRACE_DATA* record, DWORD size) {
    static_cast<Forwarder*>(self)->Push(record, size);
}

// The hand-off keeps a record compactly: a header (the sizes of the whole
// entry and of its six texts, code, type, time) and the texts without their
// zeros, a sixth of the record's size for a short text.
namespace {

struct CompactHeader {
    uint32_t entry;
    uint32_t code;
    uint32_t type;
    uint16_t sizes[6];
    uint64_t time;
};

std::string_view* Texts(RecordView& view) {
    static_assert(offsetof(RecordView, text) - offsetof(RecordView, source) == 5 * sizeof(std::string_view));
    return &view.source;
}

}  // namespace

void Forwarder::Push(const _VANTA_EVTRACE_DATA* record, DWORD size) {
    if (record == nullptr || size < EVT_RECORD_FIXED_SIZE) return;
    received_.fetch_add(1, std::memory_order_relaxed);
    RecordView view = ViewOf(*record, size);
    std::string_view* texts = Texts(view);
    size_t entry = sizeof(CompactHeader);
    for (int i = 0; i < 6; ++i) {
        if (texts[i].size() > 0xFFFF) texts[i] = texts[i].substr(0, 0xFFFF);
        entry += texts[i].size();
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(handOffLock_);
        if (stopping_) return;
        if (handOff_.size() + entry > config_.handOffBytes) {
            ++handOffLosses_.handOff;
            handOffLosses_.Note(view.time);
            return;
        }
        const size_t at = handOff_.size();
        handOff_.resize(at + entry);
        char* p = handOff_.data() + at;
        CompactHeader header = {uint32_t(entry), view.code, view.type, {}, view.time};
        for (int i = 0; i < 6; ++i) header.sizes[i] = uint16_t(texts[i].size());
        memcpy(p, &header, sizeof header);
        p += sizeof header;
        for (int i = 0; i < 6; ++i) {
            memcpy(p, texts[i].data(), texts[i].size());
            p += texts[i].size();
        }
        wake = spoolerWaiting_;
    }
    if (wake) handOffReady_.notify_one();
}

void Forwarder::Stop(std::chrono::milliseconds drain) {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard<std::mutex> lock(handOffLock_);
        stopping_ = true;
    }
    handOffReady_.notify_one();
    spooler_.join();
    // The sender goes on until it has sent and seen acknowledged what waits,
    // or the drain time is over; then a byte in the pipe ends any wait.
    drainUntil_.store(SteadyNow() + drain.count());
    spool_.Wake();
    const auto deadline = std::chrono::steady_clock::now() + drain;
    while (!senderDone_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    senderStop_.store(true);
    const char byte = 1;
    if (write(stopPipe_[1], &byte, 1) != 1) {
    }
    spool_.Wake();
    sender_.join();
    WriteStatus();
    spool_.Close();
    close(stopPipe_[0]);
    close(stopPipe_[1]);
    stopPipe_[0] = stopPipe_[1] = -1;
}

ForwardCounters Forwarder::Counters() const {
    std::lock_guard<std::mutex> lock(countersLock_);
    ForwardCounters counters = counters_;
    counters.received = received_.load(std::memory_order_relaxed);
    return counters;
}

// ---- The spooler --------------------------------------------------------------

void Forwarder::ReportLosses(MessageFormatter& formatter, LossCounts& pending, std::string* message) {
    if (pending.Total() == 0) return;
    message->clear();
    formatter.AppendLossReport(pending, NowFileTime(), message);
    const uint64_t reportId = spool_.NextReportId();
    const Spool::Item item = {*message, Spool::kLossReportFlag | reportId};
    bool diskError = false;
    std::string why;
    if (!spool_.Fits(message->size()) || spool_.Append(&item, 1, &diskError, &why) != 1) return;
    {
        std::lock_guard<std::mutex> lock(countersLock_);
        ++counters_.reports;
    }
    say_("forward queue: " + message->substr(message->find("] ") + 2));
    pending = LossCounts();
    spool_.SaveLosses(pending, reportId + 1);
}

void Forwarder::SpoolerRun() {
    MessageFormatter formatter(config_.hostName, config_.facility);
    LossCounts pending = spool_.StoredLosses();
    std::vector<char> batch;
    std::vector<std::string> messages;
    std::vector<uint64_t> times;
    std::vector<Spool::Item> items;
    std::string report;
    auto lastStatus = std::chrono::steady_clock::now() - kStatusInterval;
    for (;;) {
        LossCounts dropped;
        bool stop;
        {
            std::unique_lock<std::mutex> lock(handOffLock_);
            if (handOff_.empty() && !stopping_) {
                spoolerWaiting_ = true;
                handOffReady_.wait_for(lock, kSpoolerWait, [&] { return !handOff_.empty() || stopping_; });
                spoolerWaiting_ = false;
            }
            batch.clear();
            batch.swap(handOff_);
            dropped = handOffLosses_;
            handOffLosses_ = LossCounts();
            stop = stopping_;
        }
        LossCounts fresh = dropped;
        fresh.damaged += damaged_.exchange(0);

        // The records as messages.
        size_t count = 0;
        for (size_t at = 0; at + sizeof(CompactHeader) <= batch.size(); ++count) {
            CompactHeader header;
            memcpy(&header, batch.data() + at, sizeof header);
            RecordView view;
            view.code = header.code;
            view.type = header.type;
            view.time = header.time;
            const char* p = batch.data() + at + sizeof header;
            std::string_view* texts = Texts(view);
            for (int i = 0; i < 6; ++i) {
                texts[i] = std::string_view(p, header.sizes[i]);
                p += header.sizes[i];
            }
            if (messages.size() <= count) messages.emplace_back();
            if (times.size() <= count) times.push_back(0);
            messages[count].clear();
            formatter.AppendRecord(view, &messages[count]);
            times[count] = view.time;
            at += header.entry;
        }

        // A pending report goes first; while it does not fit, nothing after
        // it may go ahead of it.
        if (fresh.Total() > 0) pending.Add(fresh);
        const bool hadPending = pending.Total() > 0;
        ReportLosses(formatter, pending, &report);
        size_t appended = 0;
        bool diskError = false;
        if (pending.Total() == 0 && count > 0) {
            items.clear();
            for (size_t i = 0; i < count; ++i) items.push_back({messages[i], 0});
            std::string why;
            appended = spool_.Append(items.data(), count, &diskError, &why);
            if (diskError) say_("forward queue: " + why + "; the records are counted as lost");
        }
        if (appended < count) {
            LossCounts lost;
            (diskError ? lost.diskError : lost.queueFull) = count - appended;
            for (size_t i = appended; i < count; ++i) lost.Note(times[i]);
            if (pending.Total() == 0 && lost.queueFull > 0)
                say_("forward queue: at its limit (" + std::to_string(config_.maxQueueBytes >> 20) +
                     " MiB): records are dropped, counted and reported when there is room again");
            pending.Add(lost);
            fresh.Add(lost);
        }
        if (fresh.Total() > 0 || (hadPending && pending.Total() == 0)) {
            if (pending.Total() > 0) spool_.SaveLosses(pending, spool_.NextReportId());
            std::lock_guard<std::mutex> lock(countersLock_);
            counters_.dropped.Add(fresh);
        }
        if (appended > 0) {
            std::lock_guard<std::mutex> lock(countersLock_);
            counters_.queued += appended;
        }
        spool_.SyncIfDue(false);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastStatus >= kStatusInterval) {
            WriteStatus();
            lastStatus = now;
        }
        if (stop && batch.empty()) break;
    }
    spool_.SyncIfDue(true);
}

// ---- The sender ---------------------------------------------------------------

void Forwarder::Harvest(Connection& connection, bool force) {
    const uint64_t acknowledged = connection.Acknowledged();
    size_t done = inFlightDone_;
    while (done < inFlight_.size() && inFlight_[done].wireEnd <= acknowledged) {
        acked_ = inFlight_[done].next;
        ++done;
    }
    if (done != inFlightDone_) {
        {
            std::lock_guard<std::mutex> lock(countersLock_);
            counters_.delivered += done - inFlightDone_;
        }
        commitPending_ = true;
        inFlightDone_ = done;
        if (inFlightDone_ == inFlight_.size() || inFlightDone_ > 4096) {
            inFlight_.erase(inFlight_.begin(), inFlight_.begin() + ptrdiff_t(inFlightDone_));
            inFlightDone_ = 0;
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (commitPending_ && (force || now - lastCommit_ >= kCommitInterval)) {
        spool_.Commit(acked_, force);
        lastCommit_ = now;
        commitPending_ = false;
    }
}

void Forwarder::Disconnect(std::unique_ptr<Connection>& connection, const std::string& why) {
    // The last acknowledgements (the count stays readable after a reset).
    Harvest(*connection, true);
    const size_t again = inFlight_.size() - inFlightDone_;
    inFlight_.clear();
    inFlightDone_ = 0;
    connection.reset();
    {
        std::lock_guard<std::mutex> lock(countersLock_);
        counters_.connected = false;
        counters_.lastError = why;
        counters_.resent += again;
    }
    if (!senderStop_.load())
        say_("forwarding to " + config_.target.Text() + ": " + why +
             (again > 0 ? "; " + std::to_string(again) + " messages it had not acknowledged are sent again" : "") +
             "; connecting again");
}

bool Forwarder::SendChunk(Connection& connection, const std::vector<SpoolRecord>& records, size_t from, size_t to,
                          std::string* frames, std::string* why) {
    frames->clear();
    std::vector<uint64_t> ends;
    for (size_t i = from; i < to; ++i) {
        AppendDecimal(records[i].payload.size(), frames);
        frames->push_back(' ');
        frames->append(records[i].payload);
        ends.push_back(frames->size());
    }
    const uint64_t base = connection.Written();
    if (!connection.Send(frames->data(), frames->size(), why)) return false;
    // Over TLS the chunk is one record (or one message alone): every message
    // in it is whole only once the whole record is.
    const uint64_t whole = connection.Written();
    for (size_t i = from; i < to; ++i)
        inFlight_.push_back({connection.IsTls() ? whole : base + ends[i - from], records[i].next});
    return true;
}

void Forwarder::SenderRun() {
    std::unique_ptr<Connection> connection;
    auto backoff = std::chrono::milliseconds(kFirstBackoff);
    SpoolPosition sendPos = acked_;
    std::vector<SpoolRecord> records;
    std::string storage, frames, why, lastSaid;
    for (;;) {
        if (senderStop_.load()) break;
        const int64_t drainUntil = drainUntil_.load();
        if (drainUntil != 0 && SteadyNow() >= drainUntil) break;
        if (!connection) {
            if (drainUntil != 0) break;
            why.clear();
            connection = Connect(config_.target, config_.tls, stopPipe_[0], kConnectTimeoutMs, &why);
            if (!connection) {
                if (senderStop_.load()) break;
                {
                    std::lock_guard<std::mutex> lock(countersLock_);
                    counters_.connected = false;
                    counters_.lastError = why;
                }
                if (why != lastSaid) say_("forwarding to " + config_.target.Text() + ": " + why +
                                          "; records wait in the queue, trying again");
                lastSaid = why;
                pollfd stop = {stopPipe_[0], POLLIN, 0};
                poll(&stop, 1, int(backoff.count()));
                backoff = std::min<std::chrono::milliseconds>(backoff * 2, kLastBackoff);
                continue;
            }
            backoff = kFirstBackoff;
            lastSaid.clear();
            sendPos = acked_;
            inFlight_.clear();
            inFlightDone_ = 0;
            {
                std::lock_guard<std::mutex> lock(countersLock_);
                counters_.connected = true;
                counters_.lastError.clear();
                ++counters_.connects;
            }
            say_("forwarding to " + config_.target.Text() + ": connected");
        }
        if (!connection->Healthy(&why)) {
            Disconnect(connection, why);
            continue;
        }
        uint64_t damaged = 0;
        const bool got = spool_.Read(&sendPos, kReadBytes, &records, &storage, &damaged);
        if (damaged > 0) {
            damaged_.fetch_add(damaged);
            say_("forward queue: " + std::to_string(damaged) + " records were found damaged and are skipped");
        }
        if (got) {
            bool ok = true;
            for (size_t from = 0; ok && from < records.size();) {
                size_t to = from + 1;
                if (connection->IsTls()) {
                    size_t bytes = records[from].payload.size() + 8;
                    while (to < records.size() && bytes + records[to].payload.size() + 8 <= kTlsRecordBytes)
                        bytes += records[to++].payload.size() + 8;
                } else {
                    to = records.size();
                }
                ok = SendChunk(*connection, records, from, to, &frames, &why);
                if (ok) {
                    std::lock_guard<std::mutex> lock(countersLock_);
                    counters_.sent += to - from;
                }
                from = to;
            }
            if (!ok) {
                Disconnect(connection, why);
                continue;
            }
            Harvest(*connection, false);
            continue;
        }
        Harvest(*connection, false);
        const bool waiting = inFlightDone_ < inFlight_.size();
        if (drainUntil != 0 && !waiting) break;
        spool_.WaitForData(sendPos, waiting ? kAckPoll : kSpoolerWait);
    }
    if (connection) {
        Harvest(*connection, true);
        connection.reset();
    }
    spool_.Commit(acked_, true);
    {
        std::lock_guard<std::mutex> lock(countersLock_);
        counters_.connected = false;
        counters_.lastError = "stopped";
    }
    senderDone_.store(true);
}

// ---- Status -------------------------------------------------------------------

void Forwarder::WriteStatus() {
    if (config_.statusFile.empty()) return;
    const ForwardCounters c = Counters();
    const SpoolStats q = spool_.Stats();
    const LossCounts pending = spool_.StoredLosses();
    nlohmann::json status = {
        {"pid", getpid()},
        {"updated", int64_t(time(nullptr))},
        {"target", config_.target.Text()},
        {"connected", c.connected},
        {"lastError", c.lastError},
        {"received", c.received},
        {"queued", c.queued},
        {"sent", c.sent},
        {"delivered", c.delivered},
        {"resent", c.resent},
        {"reports", c.reports},
        {"connects", c.connects},
        {"dropped",
         {{"total", c.dropped.Total()},
          {"handOff", c.dropped.handOff},
          {"queueFull", c.dropped.queueFull},
          {"diskError", c.dropped.diskError},
          {"damaged", c.dropped.damaged}}},
        {"unreported", pending.Total()},
        {"queue", {{"waitingRecords", q.waitingRecords}, {"waitingBytes", q.waitingBytes}, {"limitBytes", q.limitBytes}}},
    };
    const std::string text = status.dump(2) + "\n";
    const std::string temporary = config_.statusFile + ".tmp";
    FILE* file = fopen(temporary.c_str(), "we");
    if (file == nullptr) return;
    const bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    if (fclose(file) == 0 && ok) rename(temporary.c_str(), config_.statusFile.c_str());
}

}  // namespace evtrace::forward
