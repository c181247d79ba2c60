// The registry of one machine root, as one process sees it: the database
// (database.h), the root's change journal (journal.h), a per-process cache of
// what was read, and the watches of RegNotifyChangeKeyValue (notifier.h).
//
// Keys are named by id; a KeyNode carries the ids from the hive's root down
// to the key, which is what change notification matches against. Names are
// compared after ASCII upper-casing ("folding"); bytes above 0x7F compare
// exactly. Sub-keys are listed in the order of their folded names, values in
// the order they were first set.
//
// Reads are cached per process (read_cache.h).
//
// Lock order: user_mutex_, db_mutex_, the cache's lock (a batch resolves
// the current user's hive before it takes db_mutex_); the notifier's lock is
// never held while calling in here.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <windows.h>

#include "core/handle_table.h"
#include "registry/database.h"
#include "registry/journal.h"
#include "registry/read_cache.h"
#include "registry/records.h"

namespace w32rt {
class Machine;
}

namespace w32rt::registry {

class Checkpointer;
class Notifier;

class Registry;

// An open key: what an HKEY of the handle table points to. Predefined keys
// have one object each per registry, never closed.
class KeyObject : public KernelObject {
public:
    KeyObject(Registry& registry, NodeRef node)
        : KernelObject(ObjectKind::RegistryKey), registry_(registry), node_(std::move(node)) {}

    Registry& registry() const { return registry_; }
    const NodeRef& node() const { return node_; }

    // Closing the handle fires the notifications armed through it.
    void on_handle_closed() override;

    std::atomic<bool> watched{false};

private:
    Registry& registry_;
    const NodeRef node_;
};

// The bytes a string value lacks to end in its terminator(s): one zero for
// REG_SZ and REG_EXPAND_SZ, two for REG_MULTI_SZ; 0 for other types.
size_t terminator_padding(DWORD type, std::string_view data);

class Registry {
public:
    explicit Registry(Machine& machine);
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The registry of the calling process's current root.
    static Registry& current();

    // Predefined roots. The current user's hive (HKEY_USERS\<uid>) is made
    // on first use when the registry is writable; else ERROR_FILE_NOT_FOUND
    // until its owner makes it.
    const std::shared_ptr<KeyObject>& machine_root() const { return machine_root_; }
    const std::shared_ptr<KeyObject>& users_root() const { return users_root_; }
    LSTATUS current_user_root(std::shared_ptr<KeyObject>* out);

    // True when this process may write (owns the database or is the
    // superuser); false as well while the database cannot be opened.
    bool writable();

    // Opens base\path; an empty path names base itself (and checks that it
    // still exists). ERROR_FILE_NOT_FOUND, ERROR_KEY_DELETED (base is gone),
    // ERROR_BAD_PATHNAME, ERROR_INVALID_PARAMETER.
    LSTATUS open(const NodeRef& base, std::string_view path, NodeRef* out);

    // Opens or creates base\path with every missing level. Creating needs
    // may_create (the caller's right on base) and a writable registry, else
    // ERROR_ACCESS_DENIED. *created tells whether the last level was made.
    LSTATUS create(const NodeRef& base, std::string_view path, bool is_volatile, std::string_view key_class,
                   bool may_create, NodeRef* out, bool* created);

    LSTATUS query_value(const NodeRef& key, std::string_view name, ValueRef* out);
    LSTATUS snapshot(const NodeRef& key, SnapshotRef* out);

    LSTATUS set_value(const NodeRef& key, std::string_view name, DWORD type, const void* data, size_t size);
    LSTATUS delete_value(const NodeRef& key, std::string_view name);
    // Deletes a key that has no sub-keys (ERROR_ACCESS_DENIED otherwise, as
    // on Windows), with its values.
    LSTATUS delete_key(const NodeRef& key);
    // Deletes everything below key; the key itself too unless keep_key.
    // Deleting values needs may_delete_values (else ERROR_ACCESS_DENIED).
    LSTATUS delete_tree(const NodeRef& key, bool keep_key, bool may_delete_values);
    LSTATUS flush();

    // A batch: until end_batch, every write of the calling thread joins one
    // write transaction (each in a savepoint, so a failed one leaves no
    // part of itself), that thread's reads see those writes and bypass the
    // cache, and other threads of the process wait for the database. The
    // changes are published when the batch commits. ERROR_BUSY when this
    // process has a batch open already.
    LSTATUS begin_batch();
    // Commits (commit) or rolls back the batch of the calling thread.
    // ERROR_INVALID_FUNCTION when it has none.
    LSTATUS end_batch(bool commit);

    Notifier& notifier() { return *notifier_; }
    // Null when shared memory could not be had (then nothing is cached and
    // notifications fail).
    Journal* journal() { return journal_.get(); }

    // Tests: checkpoints now what writes left in the WAL.
    void checkpoint_now();
    // Tests: drops the connection and the cache (the next call reopens);
    // sets the bound of every lock wait; sets how long cached entries live.
    void close_database();
    void set_busy_timeout(int ms);
    void set_cache_max_age(int64_t ns);

private:
    // Runs fn(db) with the connection open (opening it when needed), under
    // db_mutex_. A status that tells of damage closes the connection.
    // Returned by with_database when there is no database and this process
    // may not make one; never leaves the registry.
    static constexpr LSTATUS kNoDatabase = -1;

    template <class Fn>
    LSTATUS with_database(Fn&& fn);
    LSTATUS open_database_locked();

    // A read served by the cache, else by fill(db, entry) in a read
    // transaction; without a database the answer is no_database(entry).
    // Answers (found, not found, deleted) are cached.
    template <class Fill, class NoDatabase>
    LSTATUS cached_read(const std::string& key, ReadCache::Entry* entry, Fill&& fill, NoDatabase&& no_database);
    template <class Fill, class NoDatabase>
    LSTATUS read_and_cache(const std::string& key, ReadCache::Entry* entry, Fill& fill, NoDatabase& no_database);

    // Runs fn(db, changes) in a write transaction and publishes the changes
    // after the commit.
    template <class Fn>
    LSTATUS write_transaction(Fn&& fn);

    Machine& machine_;
    std::unique_ptr<Journal> journal_;
    std::unique_ptr<Notifier> notifier_;
    // Copies the WAL into the main file soon after writes (checkpointer.h).
    std::unique_ptr<Checkpointer> checkpointer_;
    std::shared_ptr<KeyObject> machine_root_;
    std::shared_ptr<KeyObject> users_root_;

    std::mutex db_mutex_;
    std::unique_ptr<Database> db_;
    // The thread whose batch holds db_mutex_ (batch_lock_) between calls.
    std::atomic<std::thread::id> batch_thread_{};
    std::unique_lock<std::mutex> batch_lock_;
    std::vector<Change> batch_changes_;
    bool in_batch() const { return batch_thread_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
    int busy_timeout_ms_ = 5000;

    ReadCache cache_;

    std::mutex user_mutex_;
    std::shared_ptr<KeyObject> user_root_;
};

}  // namespace w32rt::registry
