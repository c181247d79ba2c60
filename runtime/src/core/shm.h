// Named shared-memory regions of the machine root.
//
// Every region begins with a RegionHeader that carries its own magic,
// version and size; openers check all three before trusting anything else
// in it. A region is a segment (core/segments.h): who may write it decides
// its owner and mode, and a process that may only read it maps it read-only.
//
// A ready region is opened without any lock. Creation is serialised with a
// bounded advisory lock on the region, so two processes racing to create it
// initialise it once; the file keeps mode 0600 until it is initialised, so
// no other user can take that lock or write into it meanwhile. A creator
// killed in the middle leaves the region unready, and the next process that
// may write it initialises it again.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <windows.h>

#include "core/segments.h"

namespace w32rt {

class Machine;

struct RegionHeader {
    uint32_t magic;
    uint32_t version;
    uint64_t size;               // whole region, header included
    std::atomic<uint32_t> ready;  // 1 once initialised
    uint32_t reserved[3];
};
static_assert(sizeof(RegionHeader) == 32, "shared layout");

class SharedRegion {
public:
    SharedRegion(const SharedRegion&) = delete;
    SharedRegion& operator=(const SharedRegion&) = delete;
    ~SharedRegion();

    // Opens the region, creating it with `size` bytes when it does not exist
    // and the caller may write it, and running `init` on its memory (the
    // header is filled afterwards). A caller who may only read it gets it
    // mapped read-only, and ERROR_FILE_NOT_FOUND while it is not there or not
    // ready. Null with the last error set when the region cannot be made or
    // is not what it should be (ERROR_INVALID_DATA for a bad header,
    // ERROR_ACCESS_DENIED for a segment someone else made, ERROR_BUSY when
    // its creation lock stays taken).
    static std::unique_ptr<SharedRegion> open_or_create(Machine& machine, const Segment& segment, size_t size,
                                                        uint32_t magic, uint32_t version,
                                                        const std::function<void(void* base)>& init);

    // Opens an existing, ready region; ERROR_FILE_NOT_FOUND when there is
    // none.
    static std::unique_ptr<SharedRegion> open_existing(Machine& machine, const Segment& segment, uint32_t magic,
                                                       uint32_t version);

    // Maps an existing region of exactly `size` bytes without looking at its
    // header: for a region every user may write, whose header any of them
    // could spoil, and whose layout the opener knows. ERROR_FILE_NOT_FOUND
    // when there is none, ERROR_INVALID_DATA for another size.
    static std::unique_ptr<SharedRegion> map_existing(Machine& machine, const Segment& segment, size_t size);

    // Removes the name; mappings stay valid until unmapped.
    static bool remove(Machine& machine, const Segment& segment);

    // How long a creator waits for another that is initialising the region.
    static constexpr int kCreationLockMs = 5000;

    bool writable() const { return writable_; }
    // Set once a truncation of the file took the mapping away (the pages are
    // then zeros of this process alone; see core/bus_guard.h).
    bool damaged() const { return damaged_.load(std::memory_order_relaxed) != 0; }

    void* base() const { return base_; }
    size_t size() const { return size_; }
    RegionHeader* header() const { return static_cast<RegionHeader*>(base_); }
    template <class T>
    T* at(size_t offset) const {
        return reinterpret_cast<T*>(static_cast<char*>(base_) + offset);
    }
    int fd() const { return fd_; }

private:
    SharedRegion(void* base, size_t size, int fd, bool writable);

    void* base_;
    size_t size_;
    int fd_;
    bool writable_;
    unsigned guard_ = 0;
    std::atomic<uint32_t> damaged_{0};
};

}  // namespace w32rt
