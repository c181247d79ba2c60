// What the registry reads: keys (by id, with the chain of ids from their
// hive's root), values and enumeration snapshots, shared as immutable
// objects between the cache and the callers.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

namespace w32rt::registry {

// Windows limits: a key name component and a value name.
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr size_t kMaxKeyDepth = 512;

struct KeyNode {
    int64_t id = 0;
    bool is_volatile = false;
    std::vector<int64_t> chain;  // ids from the hive's root to this key
};
using NodeRef = std::shared_ptr<const KeyNode>;

struct ValueRecord {
    DWORD type = REG_NONE;
    std::string name;  // as first spelled
    std::string data;  // the stored bytes
};
using ValueRef = std::shared_ptr<const ValueRecord>;

struct SubKeyRecord {
    std::string name;
    std::string key_class;
    int64_t last_write = 0;
};

// What enumeration and RegQueryInfoKey read, taken in one transaction.
struct KeySnapshot {
    std::string key_class;
    int64_t last_write = 0;
    std::vector<SubKeyRecord> subkeys;
    std::vector<ValueRef> values;
};
using SnapshotRef = std::shared_ptr<const KeySnapshot>;

}  // namespace w32rt::registry
