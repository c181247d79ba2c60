// Named shared-memory regions of the machine root.
//
// Every region begins with a RegionHeader that carries its own magic,
// version and size; openers check all three before trusting anything else
// in it. Creation is serialised with an advisory lock on the region, so two
// processes racing to create it initialise it once; a creator killed in the
// middle leaves the region unready, and the next opener initialises it again.
// Regions are readable and writable by every user of the machine: access
// rules are enforced by the structures inside, not by file modes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <windows.h>

namespace w32rt {

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
    // and running `init` on its memory (the header is filled afterwards).
    // Null with the last error set when the region cannot be made or is not
    // what it should be (ERROR_INVALID_DATA for a bad header).
    static std::unique_ptr<SharedRegion> open_or_create(const std::string& name, size_t size, uint32_t magic,
                                                        uint32_t version,
                                                        const std::function<void(void* base)>& init);

    // Opens an existing region; ERROR_FILE_NOT_FOUND when there is none.
    static std::unique_ptr<SharedRegion> open_existing(const std::string& name, uint32_t magic, uint32_t version);

    // Removes the name; mappings stay valid until unmapped.
    static bool remove(const std::string& name);

    void* base() const { return base_; }
    size_t size() const { return size_; }
    RegionHeader* header() const { return static_cast<RegionHeader*>(base_); }
    template <class T>
    T* at(size_t offset) const {
        return reinterpret_cast<T*>(static_cast<char*>(base_) + offset);
    }
    int fd() const { return fd_; }

private:
    SharedRegion(void* base, size_t size, int fd) : base_(base), size_(size), fd_(fd) {}

    void* base_;
    size_t size_;
    int fd_;
};

}  // namespace w32rt
