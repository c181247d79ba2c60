#include "forward/spool_format.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace evtrace::forward::spool_format {

std::string SegmentName(uint64_t first) {
    char name[32];
    snprintf(name, sizeof name, "%020llu.seg", static_cast<unsigned long long>(first));
    return name;
}

bool ParseSegmentName(const char* name, uint64_t* first) {
    if (strlen(name) != 24 || strcmp(name + 20, ".seg") != 0) return false;
    uint64_t value = 0;
    for (int i = 0; i < 20; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        value = value * 10 + uint64_t(name[i] - '0');
    }
    *first = value;
    return true;
}

uint32_t Crc(const void* data, size_t size, uint32_t crc) {
    return uint32_t(crc32(crc, static_cast<const Bytef*>(data), uInt(size)));
}

bool CheckFrame(const char* p, size_t available, FrameHeader* header) {
    if (available < Spool::kFrameHeader || Load<uint32_t>(p) != kFrameMagic) return false;
    header->length = Load<uint32_t>(p + 4);
    header->seq = Load<uint64_t>(p + 8);
    header->aux = Load<uint64_t>(p + 16);
    if (header->length > Spool::kMaxPayload || available < Spool::kFrameHeader + header->length) return false;
    uint32_t crc = Crc(p + 4, 20);
    crc = Crc(p + Spool::kFrameHeader, header->length, crc);
    return crc == Load<uint32_t>(p + 24);
}

void PutFrame(std::string* out, std::string_view payload, uint64_t seq, uint64_t aux) {
    const size_t at = out->size();
    out->resize(at + Spool::kFrameHeader);
    char* p = out->data() + at;
    Store<uint32_t>(p, kFrameMagic);
    Store<uint32_t>(p + 4, uint32_t(payload.size()));
    Store<uint64_t>(p + 8, seq);
    Store<uint64_t>(p + 16, aux);
    uint32_t crc = Crc(p + 4, 20);
    crc = Crc(payload.data(), payload.size(), crc);
    Store<uint32_t>(p + 24, crc);
    Store<uint32_t>(p + 28, 0);
    out->append(payload);
}

bool ReadAll(int fd, void* data, size_t size, off_t offset) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = pread(fd, p, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
        offset += n;
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool ReadSlots(const std::string& path, size_t slot, uint32_t magic, std::string* best, uint64_t* generation) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string data(2 * slot, '\0');
    const ssize_t n = pread(fd, data.data(), data.size(), 0);
    close(fd);
    bool found = false;
    for (size_t i = 0; i < 2; ++i) {
        if (n < ssize_t((i + 1) * slot)) break;
        const char* p = data.data() + i * slot;
        if (Load<uint32_t>(p) != magic || Crc(p, slot - 8) != Load<uint32_t>(p + slot - 8)) continue;
        const uint64_t gen = Load<uint64_t>(p + 8);
        if (!found || gen > *generation) {
            *generation = gen;
            best->assign(p, slot);
            found = true;
        }
    }
    return found;
}

bool WriteSlot(int fd, size_t slot, uint64_t generation, std::string* data) {
    Store<uint64_t>(data->data() + 8, generation);
    Store<uint32_t>(data->data() + slot - 8, Crc(data->data(), slot - 8));
    const off_t at = off_t((generation % 2) * slot);
    return pwrite(fd, data->data(), slot, at) == ssize_t(slot);
}

bool ListSegments(const std::string& folder, Listing* listing, std::string* error) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        *error = "cannot read the folder " + folder + ": " + strerror(errno);
        return false;
    }
    while (dirent* entry = readdir(dir)) {
        uint64_t first = 0;
        if (!ParseSegmentName(entry->d_name, &first)) continue;
        struct stat st;
        if (stat((folder + "/" + entry->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        listing->segments[first] = uint64_t(st.st_size);
    }
    closedir(dir);
    return true;
}

bool ScanSegment(const std::string& path, uint64_t first, uint64_t size, TailScan* scan) {
    scan->validEnd = 0;
    scan->nextSeq = first;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string block;
    uint64_t offset = 0;
    while (offset + Spool::kFrameHeader <= size) {
        char header[Spool::kFrameHeader];
        if (!ReadAll(fd, header, sizeof header, off_t(offset))) break;
        const uint32_t length = Load<uint32_t>(header + 4);
        if (Load<uint32_t>(header) != kFrameMagic || length > Spool::kMaxPayload ||
            offset + Spool::kFrameHeader + length > size)
            break;
        block.resize(Spool::kFrameHeader + length);
        memcpy(block.data(), header, sizeof header);
        if (length > 0 && !ReadAll(fd, block.data() + sizeof header, length, off_t(offset + sizeof header))) break;
        FrameHeader frame;
        if (!CheckFrame(block.data(), block.size(), &frame) || frame.seq != scan->nextSeq) break;
        if (frame.aux & Spool::kLossReportFlag) scan->lossReports.push_back(frame.aux);
        offset += block.size();
        scan->nextSeq = frame.seq + 1;
    }
    scan->validEnd = offset;
    close(fd);
    return true;
}

LossCounts LossesFromSlot(const std::string& slot, uint64_t* nextReportId) {
    const char* p = slot.data();
    *nextReportId = Load<uint64_t>(p + 16);
    LossCounts losses;
    losses.handOff = Load<uint64_t>(p + 24);
    losses.queueFull = Load<uint64_t>(p + 32);
    losses.diskError = Load<uint64_t>(p + 40);
    losses.damaged = Load<uint64_t>(p + 48);
    losses.firstTime = Load<uint64_t>(p + 56);
    losses.lastTime = Load<uint64_t>(p + 64);
    return losses;
}

SpoolPosition CursorFromSlot(const std::string& slot) {
    return {Load<uint64_t>(slot.data() + 16), Load<uint64_t>(slot.data() + 24), Load<uint64_t>(slot.data() + 32)};
}

}  // namespace evtrace::forward::spool_format
