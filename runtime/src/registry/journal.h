// The registry's change journal: a ring of recent changes in shared memory,
// one per machine root, written by every process that commits a change.
//
// It serves two readers:
//  - the per-process cache (registry.h), through the write stamp: the
//    number of write transactions begun and done. What is read from the
//    database may be cached only while no write is between its begin and
//    its done, and stays valid while the stamp does not move;
//  - the watcher thread of a process with armed notifications, which sleeps
//    on the futex word `wake` and matches the entries it has not seen
//    against its watches.
//
// Protocol. A writer, holding the database's write lock, counts its write
// as begun (and notes the time), commits, then for each change reserves a
// sequence number (fetch_add on `reserved`), writes the entry under a
// per-entry sequence lock and raises `published` to that number (a
// monotonic maximum); last it counts the write as done, bumps `wake` and
// wakes all waiters. Because the commit precedes the reservation, a reader
// that sees published >= s reads the database with change s in it.
//
// Nothing is locked, so a writer killed at any point leaves nothing stuck:
// an entry that never completes, or one overwritten before a slow reader got
// to it, reads as lost, and the reader then assumes every watch matched; a
// write begun and never done stops counting as under way a second after it
// began (the lease), so caching resumes.
//
// Everything read from the mapping is checked: sizes in the header, entry
// depths, and each entry's sequence before and after it is copied.
//
// Trust. The journal is written only by those who may write the registry
// (the administrators, core/segments.h): it lives in their folder with mode
// 0644, and every other process maps it read-only, so no other user can
// stop notifications or make a stale cached read look fresh. A process
// that may only read finds the journal once an administrator's process has
// made it; until then it caches nothing and looks again at most every
// 100 ms.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/shm.h"

namespace w32rt {
class Machine;
}

namespace w32rt::registry {

// What a journal entry reports. The first two equal the notify filter bits.
enum ChangeKind : uint32_t {
    kChangeName = 0x1,      // a sub-key of the key was added or deleted
    kChangeLastSet = 0x4,   // a value of the key was set or deleted
    kChangeDeleted = 0x100, // the key itself was deleted (with its subtree)
};

// One change: its kind and the ids of the keys from the hive's root down to
// the changed key.
struct Change {
    uint32_t kind = 0;
    std::vector<int64_t> chain;
};

// An entry as read back. Deep chains keep only their deepest ids: ids holds
// the keys of depths [depth - ids.size() + 1, depth].
struct JournalRecord {
    uint64_t seq = 0;
    uint32_t kind = 0;
    uint32_t depth = 0;
    std::vector<int64_t> ids;
};

class Journal {
public:
    static constexpr uint32_t kCapacity = 512;
    static constexpr uint32_t kMaxIds = 29;

    // The journal of the root, opened (or created by an administrator) at
    // its first use, or when it cannot be yet, on a later one.
    static std::unique_ptr<Journal> open(Machine& machine);

    // True once the journal is mapped. When it is not, the last error tells
    // why: ERROR_FILE_NOT_FOUND while no administrator has made it (it may
    // come), anything else when shared memory cannot serve (it will not).
    bool attach() const;
    DWORD attach_error() const { return attach_error_.load(std::memory_order_relaxed); }

    // Writes begun and done, read at one moment.
    struct Stamp {
        uint64_t begun = 0;
        uint64_t done = 0;
        bool operator==(const Stamp&) const = default;
    };
    Stamp stamp() const;
    // True while some write is between its begin and its done, and began
    // less than the lease ago.
    bool write_under_way(const Stamp& stamp) const;

    // The highest sequence published (0 before the journal is mapped).
    uint64_t published() const;

    // Called under the database's write lock, right before the commit.
    void begin_write();
    // Called after the commit (changes empty when it failed): records the
    // changes, counts the write done and wakes every watcher of the root.
    void end_write(const std::vector<Change>& changes);

    // Records changes and wakes every watcher, outside any write (tests).
    void publish(const std::vector<Change>& changes) {
        begin_write();
        end_write(changes);
    }

    enum class EntryState {
        Complete,
        Pending,  // not written yet (its writer is at work, or died)
        Lost,     // overwritten by a newer entry
    };
    // Copies entry seq.
    EntryState read(uint64_t seq, JournalRecord* out) const;

    // The futex word bumped after publications; a word of this process
    // until the journal is mapped (sleep on it with a time-out then).
    std::atomic<uint32_t>* wake_word() const;

    // Tests: takes a sequence number and never writes its entry, as a writer
    // killed at that point would.
    void abandon_entry();

    // The shared layout (journal.cpp).
    struct Header;

private:
    explicit Journal(Machine& machine) : machine_(machine) {}
    Header* header() const { return header_.load(std::memory_order_acquire); }

    Machine& machine_;
    mutable std::mutex attach_mutex_;
    mutable std::unique_ptr<SharedRegion> region_;
    mutable std::atomic<Header*> header_{nullptr};
    mutable std::atomic<DWORD> attach_error_{ERROR_SUCCESS};
    mutable int64_t last_attempt_ns_ = 0;
    mutable std::atomic<bool> attempted_{false};
    mutable std::atomic<uint32_t> local_wake_{0};
};

}  // namespace w32rt::registry
