// The forward queue: records wait on disk below the machine root until the
// collector has them. Crash-safe by construction:
//
// - Segment files "<first sequence number, 20 digits>.seg", appended only.
//   Each record is a frame: a 32-byte header (magic, length, sequence
//   number, aux, CRC-32 of length, sequence, aux and payload) and the
//   payload (one syslog message). A frame is written whole by one write();
//   a write torn by a crash leaves a tail that fails its check, which Open
//   finds and cuts off (the record it held is counted as damaged).
// - "cursor": the committed read position (the first record the collector
//   has not confirmed), in two checksummed slots written in turn, so a torn
//   write of one leaves the other. Records before it are never sent again;
//   segment files wholly before it are deleted.
// - "losses": the counts of dropped records not yet reported, in the same
//   two-slot form, with the number of the next report; a report frame
//   carries that number in its aux, so a report that reached the queue
//   before a crash is not written twice.
//
// What survives what: everything written survives the engine's death at
// any instant (SIGKILL included), as the kernel holds it. Against the loss
// of power: segments are flushed (fdatasync) at most a second after a write
// and when a segment is finished; the cursor at most a second after it
// moves. After a power loss the last second of records may be missing
// (counted as damaged when a torn tail shows it) and records up to a second
// before the cursor may be sent again.
//
// The limit counts the bytes of frames waiting (from the cursor to the end);
// the disk holds at most that plus the part of the first segment already
// sent. One writer thread (Append, SaveLosses) and one reader thread (Read,
// Commit) may work at once; Stats may be read from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "forward/syslog_message.h"

namespace evtrace::forward {

struct SpoolPosition {
    uint64_t segment = 0;  // the segment's first sequence number (its name)
    uint64_t offset = 0;   // bytes into it
    uint64_t seq = 0;      // the sequence number of the record found there
    bool operator==(const SpoolPosition&) const = default;
};

struct SpoolRecord {
    uint64_t seq;
    uint64_t aux;
    std::string_view payload;  // into the caller's storage
    SpoolPosition next;        // the position after this record
};

struct SpoolStats {
    uint64_t waitingRecords = 0;
    uint64_t waitingBytes = 0;
    uint64_t limitBytes = 0;
    uint64_t segments = 0;
    uint64_t diskBytes = 0;
    SpoolPosition committed;
    uint64_t nextSeq = 0;
};

class Spool {
public:
    static constexpr uint64_t kLossReportFlag = 1ull << 63;
    static constexpr size_t kFrameHeader = 32;
    static constexpr size_t kMaxPayload = 1 << 20;

    Spool() = default;
    ~Spool() { Close(); }
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Opens the queue in `folder` (made when missing), finds the committed
    // position and the valid end, cuts off a torn tail. `notes` receives
    // what recovery did, in words. False with the reason.
    bool Open(const std::string& folder, uint64_t limitBytes, std::string* error, std::vector<std::string>* notes);
    // Flushes and closes (also done by the destructor).
    void Close();

    // ---- the writer
    struct Item {
        std::string_view payload;
        uint64_t aux = 0;
    };
    // Appends items in order as long as they fit under the limit; returns
    // how many were appended. A write the disk refused appends none of the
    // items of that write: *diskError is set and *why tells.
    size_t Append(const Item* items, size_t count, bool* diskError, std::string* why);
    // True when a payload of this size would fit now.
    bool Fits(size_t payloadBytes) const;
    // Flushes the current segment when it was written to more than a
    // second ago (or always with force).
    void SyncIfDue(bool force);
    // The losses not yet reported, and the number of the next report, as
    // Open found them (after a report found in the queue was taken off).
    LossCounts StoredLosses() const { return storedLosses_; }
    uint64_t NextReportId() const { return nextReportId_; }
    bool SaveLosses(const LossCounts& losses, uint64_t nextReportId);

    // ---- the reader
    // Reads records from *from on, at most about maxBytes of payload (one
    // record at least), and moves *from past them. Records found unreadable
    // (a damaged file) are skipped and added to *damaged. False when there
    // is nothing more now.
    bool Read(SpoolPosition* from, size_t maxBytes, std::vector<SpoolRecord>* out, std::string* storage,
              uint64_t* damaged);
    // Waits until a record after `from` is there, Wake is called or the time
    // passes.
    void WaitForData(const SpoolPosition& from, std::chrono::milliseconds timeout);
    void Wake();
    // Records before `position` are done: the cursor moves there (flushed
    // when `sync` or a second after the last flush) and finished segments
    // are deleted.
    void Commit(const SpoolPosition& position, bool sync);
    SpoolPosition Committed() const;

    SpoolStats Stats() const;

    // The state of a queue folder without changing it (for `evtrace forward
    // status`, while the engine may be writing). False with the reason when
    // the folder cannot be read.
    static bool Inspect(const std::string& folder, SpoolStats* stats, LossCounts* pending, std::string* error);

private:
    bool OpenWriter(uint64_t firstSeq, std::string* why);
    bool Roll(std::string* why);
    bool WriteCursor(const SpoolPosition& position, bool sync);
    uint64_t WaitingBytesLocked() const;

    std::string folder_;
    uint64_t limit_ = 0;
    uint64_t segmentBytes_ = 0;

    mutable std::mutex mutex_;  // guards the fields below it
    std::condition_variable appended_;
    bool woken_ = false;
    std::map<uint64_t, uint64_t> segments_;  // first seq -> valid size
    SpoolPosition committed_;
    uint64_t nextSeq_ = 1;
    uint64_t totalBytes_ = 0;

    // Writer's own.
    int writeFd_ = -1;
    uint64_t writeSegment_ = 0;
    uint64_t writeSize_ = 0;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point lastSync_;
    std::string frames_;
    int lossesFd_ = -1;
    uint64_t lossesGeneration_ = 0;
    LossCounts storedLosses_;
    uint64_t nextReportId_ = 1;

    // Reader's own.
    int readFd_ = -1;
    uint64_t readSegment_ = 0;
    int cursorFd_ = -1;
    uint64_t cursorGeneration_ = 0;
    std::chrono::steady_clock::time_point lastCursorSync_;
    bool cursorDirty_ = false;
};

}  // namespace evtrace::forward
