// The per-process cache of registry reads: key opens, values, enumeration
// snapshots and the negative answers among them.
//
// A read that misses goes to the database and is remembered under the
// journal's write stamp taken *before* the database was read, and only if
// the stamp is still the same afterwards and no write was under way at
// either moment. So an entry was read while no commit could land, and any
// later commit, of any process, moves the stamp and empties the cache on
// the next use. (Without the "under way" rule two readers racing a commit
// that is not yet published could cache the old and the new value under the
// same stamp, and a thread could see a value go back.) Entries older than a
// second are dropped as well, which bounds how long a change can stay unseen
// when the file was changed by other means. Without a journal nothing is
// cached.
//
// Thread-safe; its lock is taken after the registry's database lock.
#pragma once

#include <stdint.h>

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "registry/journal.h"
#include "registry/records.h"

namespace w32rt::registry {

class ReadCache {
public:
    struct Entry {
        LSTATUS status = ERROR_SUCCESS;
        NodeRef node;
        ValueRef value;
        SnapshotRef snapshot;
    };

    explicit ReadCache(Journal* journal) : journal_(journal) {}

    // The key of a read: its kind ('k' open, 'v' value, 's' snapshot), the
    // key id it starts from and the folded name or path.
    static std::string key(char kind, int64_t id, std::string_view folded);

    // Looks key up; true on a hit.
    bool find(const std::string& key, Entry* out);
    // The stamp to take before reading the database for store().
    Journal::Stamp stamp() const;
    // Stores an entry read from the database after `before` was taken.
    void store(const std::string& key, const Journal::Stamp& before, Entry entry);
    void clear();
    // How long entries live (tests).
    void set_max_age(int64_t ns);

private:
    void validate_locked(const Journal::Stamp& stamp);

    Journal* const journal_;
    std::mutex mutex_;
    bool valid_ = false;
    Journal::Stamp generation_;
    int64_t validated_ns_ = 0;
    int64_t max_age_ns_ = 1000000000;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace w32rt::registry
