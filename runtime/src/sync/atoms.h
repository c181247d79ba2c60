// The shared table of registered message names (see atoms.cpp).
#pragma once

#include <stdint.h>

#include <atomic>

#include "core/shm.h"

namespace w32rt::sync {

inline constexpr uint32_t kAtomsMagic = 0x4d523357;  // "W3RM"
inline constexpr uint32_t kAtomsVersion = 2;
inline constexpr unsigned kFirstAtomId = 0xC000;
inline constexpr uint32_t kMaxAtoms = 0x10000 - kFirstAtomId;
inline constexpr uint32_t kAtomPoolSize = 1u << 20;
inline constexpr size_t kMaxAtomName = 255;

struct AtomEntry {
    uint32_t offset;
    uint32_t length;
    uint32_t hash;  // of the name folded to lower case
    uint32_t reserved;
};

struct AtomsLayout {
    RegionHeader region;
    std::atomic<uint32_t> lock;  // core/shared_lock.h: every user writes this table
    uint32_t reserved[9];
    uint32_t max_atoms;
    uint32_t pool_size;
    uint32_t count;
    uint32_t pool_used;
    AtomEntry entries[kMaxAtoms];
    char pool[kAtomPoolSize];
};

}  // namespace w32rt::sync
