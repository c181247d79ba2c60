#include "forward/spool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "forward/spool_format.h"

namespace evtrace::forward {

using namespace spool_format;

namespace {

constexpr auto kSyncInterval = std::chrono::seconds(1);

}  // namespace

bool Spool::Open(const std::string& folder, uint64_t limitBytes, std::string* error, std::vector<std::string>* notes) {
    Close();
    folder_ = folder;
    limit_ = limitBytes;
    // Segments of an eighth of the limit free space in steps as the
    // collector catches up.
    segmentBytes_ = std::clamp<uint64_t>(limitBytes / 8, 64 << 10, 16 << 20);
    auto note = [&](const std::string& text) {
        if (notes) notes->push_back(text);
    };
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot make the queue folder " + folder + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "the queue folder " + folder + " is not a folder";
        return false;
    }
    Listing listing;
    if (!ListSegments(folder, &listing, error)) return false;

    // The losses not yet reported.
    std::string slot;
    uint64_t generation = 0;
    storedLosses_ = LossCounts();
    nextReportId_ = 1;
    if (ReadSlots(folder + "/losses", kLossesSlot, kLossesMagic, &slot, &generation)) {
        storedLosses_ = LossesFromSlot(slot, &nextReportId_);
        lossesGeneration_ = generation;
    }
    lossesFd_ = open((folder + "/losses").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lossesFd_ < 0) {
        *error = "cannot open " + folder + "/losses: " + strerror(errno);
        return false;
    }

    // The last segment: cut a torn tail off.
    uint64_t nextSeq = 1;
    bool lossesChanged = false;
    if (!listing.segments.empty()) {
        auto last = std::prev(listing.segments.end());
        const std::string path = folder + "/" + SegmentName(last->first);
        TailScan scan;
        if (!ScanSegment(path, last->first, last->second, &scan)) {
            *error = "cannot read " + path + ": " + strerror(errno);
            return false;
        }
        if (scan.validEnd < last->second) {
            if (truncate(path.c_str(), off_t(scan.validEnd)) != 0) {
                *error = "cannot cut the torn end off " + path + ": " + strerror(errno);
                return false;
            }
            note("cut " + std::to_string(last->second - scan.validEnd) + " bytes of a record torn by a crash off the end of " +
                 path + " (counted as damaged)");
            storedLosses_.damaged += 1;
            lossesChanged = true;
            last->second = scan.validEnd;
        }
        for (uint64_t aux : scan.lossReports) {
            if (aux == (kLossReportFlag | nextReportId_)) {
                // The report reached the queue; the crash came before its
                // counts were cleared.
                storedLosses_ = LossCounts();
                ++nextReportId_;
                lossesChanged = true;
            }
        }
        nextSeq = scan.nextSeq;
    }

    // The committed position.
    SpoolPosition cursor;
    bool haveCursor = ReadSlots(folder + "/cursor", kCursorSlot, kCursorMagic, &slot, &generation);
    if (haveCursor) {
        cursor = CursorFromSlot(slot);
        cursorGeneration_ = generation;
    }
    if (listing.segments.empty()) {
        if (haveCursor) nextSeq = std::max<uint64_t>(nextSeq, cursor.seq);
        committed_ = {nextSeq, 0, nextSeq};
    } else if (!haveCursor) {
        const uint64_t first = listing.segments.begin()->first;
        committed_ = {first, 0, first};
    } else {
        auto it = listing.segments.find(cursor.segment);
        bool valid = it != listing.segments.end() && cursor.offset <= it->second;
        if (valid && cursor.offset < it->second) {
            // It must point at the record it names.
            const int fd = open((folder + "/" + SegmentName(it->first)).c_str(), O_RDONLY | O_CLOEXEC);
            char header[kFrameHeader];
            valid = fd >= 0 && ReadAll(fd, header, sizeof header, off_t(cursor.offset)) &&
                    Load<uint32_t>(header) == kFrameMagic && Load<uint64_t>(header + 8) == cursor.seq;
            if (fd >= 0) close(fd);
        }
        if (valid) {
            committed_ = cursor;
        } else {
            it = listing.segments.lower_bound(cursor.segment);
            if (it == listing.segments.end()) it = std::prev(listing.segments.end());
            committed_ = {it->first, 0, it->first};
            note("the committed position of the queue did not point at a record: the records from " +
                 SegmentName(it->first) + " on are sent again");
        }
    }
    // Segments wholly before the committed one (a crash between the
    // cursor's write and their deletion).
    for (auto it = listing.segments.begin(); it != listing.segments.end() && it->first < committed_.segment;) {
        unlink((folder + "/" + SegmentName(it->first)).c_str());
        it = listing.segments.erase(it);
    }

    cursorFd_ = open((folder + "/cursor").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (cursorFd_ < 0) {
        *error = "cannot open " + folder + "/cursor: " + strerror(errno);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        segments_ = listing.segments;
        nextSeq_ = nextSeq;
        totalBytes_ = 0;
        for (const auto& [first, size] : segments_) totalBytes_ += size;
        woken_ = false;
    }
    if (!segments_.empty()) {
        auto last = std::prev(segments_.end());
        const std::string path = folder + "/" + SegmentName(last->first);
        writeFd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (writeFd_ < 0) {
            *error = "cannot open " + path + " for writing: " + strerror(errno);
            return false;
        }
        writeSegment_ = last->first;
        writeSize_ = last->second;
    }
    lastSync_ = lastCursorSync_ = std::chrono::steady_clock::now();
    if (lossesChanged) SaveLosses(storedLosses_, nextReportId_);
    return true;
}

void Spool::Close() {
    if (writeFd_ >= 0) {
        if (dirty_) fdatasync(writeFd_);
        close(writeFd_);
        writeFd_ = -1;
    }
    dirty_ = false;
    if (cursorFd_ >= 0) {
        if (cursorDirty_) fdatasync(cursorFd_);
        close(cursorFd_);
        cursorFd_ = -1;
    }
    cursorDirty_ = false;
    for (int* fd : {&readFd_, &lossesFd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

uint64_t Spool::WaitingBytesLocked() const {
    if (segments_.empty()) return 0;
    const uint64_t sent = segments_.begin()->first == committed_.segment ? committed_.offset : 0;
    return totalBytes_ - sent;
}

bool Spool::Fits(size_t payloadBytes) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return WaitingBytesLocked() + kFrameHeader + payloadBytes <= limit_;
}

bool Spool::OpenWriter(uint64_t firstSeq, std::string* why) {
    const std::string path = folder_ + "/" + SegmentName(firstSeq);
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *why = "cannot make " + path + ": " + strerror(errno);
        return false;
    }
    // The new name must survive a power loss with the data it will hold.
    const int dir = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    writeFd_ = fd;
    writeSegment_ = firstSeq;
    writeSize_ = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    segments_[firstSeq] = 0;
    return true;
}

bool Spool::Roll(std::string* why) {
    uint64_t next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        next = nextSeq_;
    }
    if (writeFd_ >= 0) {
        if (writeSize_ == 0) return true;  // an empty segment takes the next records
        fdatasync(writeFd_);
        close(writeFd_);
        writeFd_ = -1;
        dirty_ = false;
    }
    return OpenWriter(next, why);
}

size_t Spool::Append(const Item* items, size_t count, bool* diskError, std::string* why) {
    *diskError = false;
    uint64_t room, seq;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t waiting = WaitingBytesLocked();
        room = waiting < limit_ ? limit_ - waiting : 0;
        seq = nextSeq_;
    }
    size_t appended = 0;
    size_t i = 0;
    frames_.clear();
    size_t inFrames = 0;  // items in frames_
    auto flush = [&]() -> bool {
        if (frames_.empty()) return true;
        if (!WriteAll(writeFd_, frames_.data(), frames_.size())) {
            const int error = errno;
            // Whatever part of the write landed is taken off again, so the
            // segment ends with a whole record.
            if (ftruncate(writeFd_, off_t(writeSize_)) != 0) {
            }
            *diskError = true;
            *why = "cannot write to the queue file " + folder_ + "/" + SegmentName(writeSegment_) + ": " +
                   strerror(error);
            return false;
        }
        writeSize_ += frames_.size();
        dirty_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            segments_[writeSegment_] += frames_.size();
            totalBytes_ += frames_.size();
            nextSeq_ += inFrames;
        }
        appended_.notify_all();
        appended += inFrames;
        frames_.clear();
        inFrames = 0;
        return true;
    };
    for (; i < count; ++i) {
        const size_t frame = kFrameHeader + items[i].payload.size();
        if (items[i].payload.size() > kMaxPayload || frame > room) break;
        if (writeFd_ < 0 || writeSize_ + frames_.size() >= segmentBytes_) {
            if (!flush()) return appended;
            if (!Roll(why)) {
                *diskError = true;
                return appended;
            }
        }
        PutFrame(&frames_, items[i].payload, seq++, items[i].aux);
        ++inFrames;
        room -= frame;
    }
    flush();
    return appended;
}

void Spool::SyncIfDue(bool force) {
    if (writeFd_ < 0 || !dirty_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastSync_ < kSyncInterval) return;
    fdatasync(writeFd_);
    dirty_ = false;
    lastSync_ = now;
}

bool Spool::SaveLosses(const LossCounts& losses, uint64_t nextReportId) {
    if (lossesFd_ < 0) return false;
    std::string slot(kLossesSlot, '\0');
    char* p = slot.data();
    Store<uint32_t>(p, kLossesMagic);
    Store<uint64_t>(p + 16, nextReportId);
    Store<uint64_t>(p + 24, losses.handOff);
    Store<uint64_t>(p + 32, losses.queueFull);
    Store<uint64_t>(p + 40, losses.diskError);
    Store<uint64_t>(p + 48, losses.damaged);
    Store<uint64_t>(p + 56, losses.firstTime);
    Store<uint64_t>(p + 64, losses.lastTime);
    storedLosses_ = losses;
    nextReportId_ = nextReportId;
    return WriteSlot(lossesFd_, kLossesSlot, ++lossesGeneration_, &slot);
}

bool Spool::Read(SpoolPosition* from, size_t maxBytes, std::vector<SpoolRecord>* out, std::string* storage,
                 uint64_t* damaged) {
    out->clear();
    storage->clear();
    struct Found {
        uint64_t seq, aux;
        size_t at, length;
        SpoolPosition next;
    };
    std::vector<Found> found;
    SpoolPosition pos = *from;
    while (storage->size() < maxBytes) {
        uint64_t size = 0;
        bool haveNext = false;
        uint64_t nextFirst = 0, endSeq = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = segments_.lower_bound(pos.segment);
            if (it == segments_.end()) break;
            if (it->first != pos.segment) pos = {it->first, 0, it->first};
            size = it->second;
            auto next = std::next(it);
            haveNext = next != segments_.end();
            if (haveNext) nextFirst = next->first;
            endSeq = nextSeq_;
        }
        if (pos.offset >= size) {
            if (!haveNext) break;
            if (nextFirst != pos.seq) *damaged += nextFirst > pos.seq ? nextFirst - pos.seq : 0;
            pos = {nextFirst, 0, nextFirst};
            continue;
        }
        if (readFd_ < 0 || readSegment_ != pos.segment) {
            if (readFd_ >= 0) close(readFd_);
            readFd_ = open((folder_ + "/" + SegmentName(pos.segment)).c_str(), O_RDONLY | O_CLOEXEC);
            readSegment_ = pos.segment;
        }
        // A block of whole frames: what is left of the segment, up to the
        // room left (at least one frame).
        const size_t want = size_t(std::min<uint64_t>(size - pos.offset, std::max<size_t>(maxBytes - storage->size(), 64 << 10)));
        const size_t at = storage->size();
        storage->resize(at + want);
        bool ok = readFd_ >= 0 && ReadAll(readFd_, storage->data() + at, want, off_t(pos.offset));
        size_t used = 0;
        bool bad = !ok;
        while (ok && used < want) {
            FrameHeader frame;
            const char* p = storage->data() + at + used;
            const size_t available = want - used;
            if (available < kFrameHeader) break;
            const uint32_t length = Load<uint32_t>(p + 4);
            if (Load<uint32_t>(p) == kFrameMagic && length <= kMaxPayload && available < kFrameHeader + length &&
                pos.offset + used + kFrameHeader + length <= size)
                break;  // whole but beyond this block: the next read takes it
            if (!CheckFrame(p, available, &frame) || frame.seq != pos.seq) {
                bad = true;
                break;
            }
            const size_t frameSize = kFrameHeader + frame.length;
            SpoolPosition next = {pos.segment, pos.offset + used + frameSize, frame.seq + 1};
            found.push_back({frame.seq, frame.aux, at + used + kFrameHeader, frame.length, next});
            used += frameSize;
            pos.seq = frame.seq + 1;
        }
        storage->resize(at + used);
        pos.offset += used;
        if (bad) {
            // A damaged record: the rest of this segment cannot be trusted.
            if (haveNext) {
                *damaged += nextFirst > pos.seq ? nextFirst - pos.seq : 1;
                pos = {nextFirst, 0, nextFirst};
            } else {
                *damaged += endSeq > pos.seq ? endSeq - pos.seq : 1;
                pos = {pos.segment, size, endSeq};
            }
            continue;
        }
        if (used == 0) {
            // One frame larger than the block: read it alone.
            char header[kFrameHeader];
            if (!ReadAll(readFd_, header, sizeof header, off_t(pos.offset))) break;
            const uint32_t length = Load<uint32_t>(header + 4);
            storage->resize(at + kFrameHeader + length);
            FrameHeader frame;
            if (!ReadAll(readFd_, storage->data() + at, kFrameHeader + length, off_t(pos.offset)) ||
                !CheckFrame(storage->data() + at, kFrameHeader + length, &frame) || frame.seq != pos.seq) {
                storage->resize(at);
                break;
            }
            SpoolPosition next = {pos.segment, pos.offset + kFrameHeader + length, frame.seq + 1};
            found.push_back({frame.seq, frame.aux, at + kFrameHeader, length, next});
            pos = next;
        }
    }
    *from = pos;
    for (const Found& f : found)
        out->push_back({f.seq, f.aux, std::string_view(storage->data() + f.at, f.length), f.next});
    return !out->empty();
}

void Spool::WaitForData(const SpoolPosition& from, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    appended_.wait_for(lock, timeout, [&] { return woken_ || nextSeq_ > from.seq; });
    woken_ = false;
}

void Spool::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    appended_.notify_all();
}

void Spool::Commit(const SpoolPosition& position, bool sync) {
    std::vector<uint64_t> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        committed_ = position;
        for (auto it = segments_.begin(); it != segments_.end() && it->first < position.segment;) {
            finished.push_back(it->first);
            totalBytes_ -= it->second;
            it = segments_.erase(it);
        }
    }
    const auto now = std::chrono::steady_clock::now();
    WriteCursor(position, sync || !finished.empty() || now - lastCursorSync_ >= kSyncInterval);
    for (uint64_t first : finished) unlink((folder_ + "/" + SegmentName(first)).c_str());
}

bool Spool::WriteCursor(const SpoolPosition& position, bool sync) {
    if (cursorFd_ < 0) return false;
    std::string slot(kCursorSlot, '\0');
    Store<uint32_t>(slot.data(), kCursorMagic);
    Store<uint64_t>(slot.data() + 16, position.segment);
    Store<uint64_t>(slot.data() + 24, position.offset);
    Store<uint64_t>(slot.data() + 32, position.seq);
    const bool ok = WriteSlot(cursorFd_, kCursorSlot, ++cursorGeneration_, &slot);
    cursorDirty_ = true;
    if (sync) {
        fdatasync(cursorFd_);
        cursorDirty_ = false;
        lastCursorSync_ = std::chrono::steady_clock::now();
    }
    return ok;
}

SpoolPosition Spool::Committed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return committed_;
}

SpoolStats Spool::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    SpoolStats stats;
    stats.waitingBytes = WaitingBytesLocked();
    stats.waitingRecords = nextSeq_ > committed_.seq ? nextSeq_ - committed_.seq : 0;
    stats.limitBytes = limit_;
    stats.segments = segments_.size();
    stats.diskBytes = totalBytes_;
    stats.committed = committed_;
    stats.nextSeq = nextSeq_;
    return stats;
}

bool Spool::Inspect(const std::string& folder, SpoolStats* stats, LossCounts* pending, std::string* error) {
    Listing listing;
    if (!ListSegments(folder, &listing, error)) return false;
    *stats = SpoolStats();
    *pending = LossCounts();
    std::string slot;
    uint64_t generation = 0, reportId = 0;
    if (ReadSlots(folder + "/losses", kLossesSlot, kLossesMagic, &slot, &generation))
        *pending = LossesFromSlot(slot, &reportId);
    SpoolPosition cursor;
    const bool haveCursor = ReadSlots(folder + "/cursor", kCursorSlot, kCursorMagic, &slot, &generation);
    if (haveCursor) cursor = CursorFromSlot(slot);
    uint64_t nextSeq = haveCursor ? cursor.seq : 1;
    if (!listing.segments.empty()) {
        auto last = std::prev(listing.segments.end());
        TailScan scan;
        if (ScanSegment(folder + "/" + SegmentName(last->first), last->first, last->second, &scan))
            nextSeq = scan.nextSeq;
        if (!haveCursor) cursor = {listing.segments.begin()->first, 0, listing.segments.begin()->first};
    }
    stats->segments = listing.segments.size();
    for (const auto& [first, size] : listing.segments) {
        stats->diskBytes += size;
        if (first > cursor.segment || (first == cursor.segment && size > cursor.offset))
            stats->waitingBytes += first == cursor.segment ? size - cursor.offset : size;
    }
    stats->committed = cursor;
    stats->nextSeq = nextSeq;
    stats->waitingRecords = nextSeq > cursor.seq ? nextSeq - cursor.seq : 0;
    return true;
}

}  // namespace evtrace::forward
