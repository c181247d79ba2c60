// TRACEHANDLEs of objects that live in this process only (consumers,
// provider registrations): tag (8 bits) | index (24) | generation (32).
// Every use of an index takes a new generation, so a closed handle never
// names the object that took its index next, and the tag keeps one kind's
// handles from naming another's.
#pragma once

#include <evntrace.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace w32rt::etw {

// T converts to bool: false for an empty entry.
template <typename T>
class LocalHandles {
public:
    explicit LocalHandles(uint64_t tag) : tag_(tag) {}

    // The handle of a new entry; 0 when the table is full.
    TRACEHANDLE add(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t index = 0;
        while (index < entries_.size() && entries_[index]) ++index;
        if (index == entries_.size()) {
            if (index >= 0xFFFFFF) return 0;
            entries_.emplace_back();
            generations_.push_back(0);
        }
        entries_[index] = std::move(value);
        return (tag_ << 56) | (uint64_t(index) << 32) | ++generations_[index];
    }

    // The entry a handle names (taken out of the table when `remove`); an
    // empty T when the handle names nothing.
    T find(TRACEHANDLE handle, bool remove) {
        if ((handle >> 56) != tag_) return T();
        size_t index = size_t((handle >> 32) & 0xFFFFFF);
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= entries_.size() || !entries_[index] || generations_[index] != uint32_t(handle)) return T();
        T value = entries_[index];
        if (remove) entries_[index] = T();
        return value;
    }

private:
    const uint64_t tag_;
    std::mutex mutex_;
    std::vector<T> entries_;
    std::vector<uint32_t> generations_;
};

}  // namespace w32rt::etw
