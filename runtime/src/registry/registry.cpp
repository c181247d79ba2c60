#include "registry/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "core/machine.h"
#include "core/strings.h"
#include "core/sys.h"
#include "registry/checkpointer.h"
#include "registry/notifier.h"

namespace w32rt::registry {

namespace {

// Folded while copied: a setting read folds its value's name every time.
inline std::string fold(std::string_view name) {
    std::string out(name.size(), '\0');
    for (size_t i = 0; i < name.size(); ++i) out[i] = ascii_upper(name[i]);
    return out;
}

struct ParsedPath {
    std::vector<std::string_view> parts;  // as spelled
    std::vector<std::string> folded;
    std::string joined;  // folded parts joined by '\'
};

// "A\B\C" and "A\B\C\" name the same key; a leading backslash or an empty
// component is not a path.
LSTATUS parse_path(std::string_view path, ParsedPath* out) {
    if (path.empty()) return ERROR_SUCCESS;
    if (path.front() == '\\') return ERROR_BAD_PATHNAME;
    if (path.back() == '\\') path.remove_suffix(1);
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        size_t length = end == std::string_view::npos ? std::string_view::npos : end - start;
        std::string_view part = path.substr(start, length);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        out->parts.push_back(part);
        out->folded.push_back(fold(part));
        if (!out->joined.empty()) out->joined += '\\';
        out->joined += out->folded.back();
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// A node for the last key of chain.
NodeRef make_node(bool is_volatile, std::vector<int64_t> chain) {
    auto node = std::make_shared<KeyNode>();
    node->id = chain.back();
    node->is_volatile = is_volatile;
    node->chain = std::move(chain);
    return node;
}

// ---- Statements run inside a transaction ---------------------------------

// ERROR_SUCCESS when the key exists (and *is_volatile tells its kind),
// ERROR_KEY_DELETED when it does not.
LSTATUS key_exists(Database& db, int64_t id, bool* is_volatile = nullptr) {
    auto stmt = db.statement("SELECT volatile FROM keys WHERE id = ?1");
    if (!stmt) return db.last_status();
    int rc = stmt->bind(1, id).step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return status_from_sqlite(rc);
    if (is_volatile) *is_volatile = stmt->column_int64(0) != 0;
    return ERROR_SUCCESS;
}

// Finds a sub-key by folded name: ERROR_SUCCESS or ERROR_FILE_NOT_FOUND.
LSTATUS find_child(Database& db, int64_t parent, const std::string& folded, int64_t* id, bool* is_volatile) {
    auto stmt = db.statement("SELECT id, volatile FROM keys WHERE parent = ?1 AND folded = ?2");
    if (!stmt) return db.last_status();
    int rc = stmt->bind(1, parent).bind_text(2, folded).step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return status_from_sqlite(rc);
    *id = stmt->column_int64(0);
    *is_volatile = stmt->column_int64(1) != 0;
    return ERROR_SUCCESS;
}

// Walks parts below base. *found is the number of levels that exist; the
// chain and volatility describe the deepest of them.
LSTATUS walk(Database& db, const NodeRef& base, const ParsedPath& path, size_t* found, std::vector<int64_t>* chain,
             bool* is_volatile) {
    *chain = base->chain;
    *is_volatile = base->is_volatile;
    LSTATUS status = key_exists(db, base->id, is_volatile);
    if (status != ERROR_SUCCESS) return status;
    *found = 0;
    int64_t current = base->id;
    for (const std::string& folded : path.folded) {
        int64_t child = 0;
        bool child_volatile = false;
        status = find_child(db, current, folded, &child, &child_volatile);
        if (status == ERROR_FILE_NOT_FOUND) break;
        if (status != ERROR_SUCCESS) return status;
        chain->push_back(child);
        *is_volatile = child_volatile;
        current = child;
        ++*found;
    }
    return ERROR_SUCCESS;
}

LSTATUS touch_key(Database& db, int64_t id, int64_t now) {
    auto stmt = db.statement("UPDATE keys SET last_write = ?2 WHERE id = ?1");
    if (!stmt) return db.last_status();
    return status_from_sqlite(stmt->bind(1, id).bind(2, now).step());
}

// The value of a row of (name, type, data).
ValueRef value_of_row(const Statement& row) {
    auto value = std::make_shared<ValueRecord>();
    value->name = std::string(row.column_text(0));
    value->type = DWORD(row.column_int64(1));
    value->data = std::string(row.column_blob(2));
    return value;
}

LSTATUS run_done(Database& db, std::unique_ptr<Statement> stmt) {
    if (!stmt) return db.last_status();
    int rc = stmt->step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : status_from_sqlite(rc);
}

}  // namespace

// ---- KeyObject -------------------------------------------------------------

void KeyObject::on_handle_closed() {
    if (watched.load(std::memory_order_relaxed)) registry_.notifier().owner_closed(this);
}

size_t terminator_padding(DWORD type, std::string_view data) {
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: return (data.empty() || data.back() != '\0') ? 1 : 0;
        case REG_MULTI_SZ:
            if (data.empty()) return 2;
            if (data.back() != '\0') return 2;
            if (data.size() == 1 || data[data.size() - 2] == '\0') return 0;
            return 1;
        default: return 0;
    }
}

// ---- Registry --------------------------------------------------------------

Registry::Registry(Machine& machine)
    : machine_(machine), journal_(Journal::open(machine)), cache_(journal_.get()) {
    notifier_ = std::make_unique<Notifier>(*this);
    checkpointer_ = std::make_unique<Checkpointer>([this] { flush(); });
    machine_root_ = std::make_shared<KeyObject>(*this, make_node(false, {kMachineHiveId}));
    users_root_ = std::make_shared<KeyObject>(*this, make_node(false, {kUsersHiveId}));
}

Registry& Registry::current() { return Machine::current().area<Registry>(Area::Registry); }

LSTATUS Registry::open_database_locked() {
    Database::Options options;
    options.path = machine_.file("registry.db");
    // Only the root's administrator makes the registry; anyone else reads
    // an empty one until then.
    options.may_create = machine_.caller_is_administrator();
    if (machine_.owner_known()) {
        struct stat st;
        if (sys::stat(machine_.root().c_str(), &st) == 0) {
            options.new_file_uid = st.st_uid;
            options.new_file_gid = st.st_gid;
        }
    }
    options.busy_timeout_ms = busy_timeout_ms_;
    LSTATUS status = Database::open(options, &db_);
    if (status == ERROR_SUCCESS) journal_->attach();
    return status;
}

template <class Fn>
LSTATUS Registry::with_database(Fn&& fn) {
    // The batch of this thread holds the lock and an open connection.
    if (in_batch()) return fn(*db_);
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (!db_) {
        LSTATUS status = open_database_locked();
        if (status != ERROR_SUCCESS) return status == ERROR_FILE_NOT_FOUND ? kNoDatabase : status;
    }
    LSTATUS status = fn(*db_);
    if (status == ERROR_REGISTRY_CORRUPT || status == ERROR_REGISTRY_IO_FAILED) db_.reset();
    return status;
}

template <class Fn>
LSTATUS Registry::write_transaction(Fn&& fn) {
    std::vector<Change> changes;
    LSTATUS status = with_database([&](Database& db) -> LSTATUS {
        LSTATUS s = db.begin_write();
        if (s != ERROR_SUCCESS) return s;
        s = fn(db, changes);
        if (s != ERROR_SUCCESS) {
            db.rollback();
            return s;
        }
        // In a batch the commit ends a savepoint: the changes are published
        // when the batch commits.
        if (in_batch()) {
            s = db.commit();
            if (s == ERROR_SUCCESS) batch_changes_.insert(batch_changes_.end(), changes.begin(), changes.end());
            return s;
        }
        // A write that changed nothing needs no stamp: nothing cached goes
        // stale, nobody is to be notified.
        bool journaled = journal_ && !changes.empty();
        if (journaled) journal_->begin_write();
        s = db.commit();
        if (journaled) journal_->end_write(s == ERROR_SUCCESS ? changes : std::vector<Change>());
        if (s == ERROR_SUCCESS && journaled) checkpointer_->wrote();
        return s;
    });
    // No database, and this process may not make one: it may not write.
    return status == kNoDatabase ? ERROR_ACCESS_DENIED : status;
}

bool Registry::writable() {
    if (in_batch()) return db_->writable();
    std::lock_guard<std::mutex> lock(db_mutex_);
    if (!db_ && open_database_locked() != ERROR_SUCCESS) return false;
    return db_->writable();
}

void Registry::checkpoint_now() { checkpointer_->flush(); }

void Registry::close_database() {
    {
        std::lock_guard<std::mutex> lock(db_mutex_);
        db_.reset();
    }
    cache_.clear();
}

void Registry::set_cache_max_age(int64_t ns) { cache_.set_max_age(ns); }

void Registry::set_busy_timeout(int ms) {
    std::lock_guard<std::mutex> lock(db_mutex_);
    busy_timeout_ms_ = ms;
    if (db_) db_->set_busy_timeout(ms);
}

// ---- Reads -----------------------------------------------------------------

LSTATUS Registry::current_user_root(std::shared_ptr<KeyObject>* out) {
    std::lock_guard<std::mutex> lock(user_mutex_);
    if (!user_root_) {
        std::string name = std::to_string(geteuid());
        NodeRef node;
        LSTATUS status = open(users_root_->node(), name, &node);
        if (status == ERROR_FILE_NOT_FOUND && writable()) {
            bool created = false;
            status = create(users_root_->node(), name, false, {}, true, &node, &created);
        }
        if (status != ERROR_SUCCESS) return status;
        user_root_ = std::make_shared<KeyObject>(*this, node);
    }
    *out = user_root_;
    return ERROR_SUCCESS;
}

template <class Fill, class NoDatabase>
LSTATUS Registry::cached_read(const std::string& key, ReadCache::Entry* entry, Fill&& fill,
                              NoDatabase&& no_database) {
    // A batch's own thread reads past the cache: it must see its writes,
    // and what it reads may yet be rolled back.
    if (!in_batch() && cache_.find(key, entry)) return entry->status;
    return read_and_cache(key, entry, fill, no_database);
}

// The miss, kept out of line: the hit is the hot path of every setting read.
template <class Fill, class NoDatabase>
[[gnu::noinline]] LSTATUS Registry::read_and_cache(const std::string& key, ReadCache::Entry* entry, Fill& fill,
                                                   NoDatabase& no_database) {
    Journal::Stamp before = cache_.stamp();
    LSTATUS status = with_database([&](Database& db) -> LSTATUS {
        LSTATUS s = db.begin_read();
        if (s != ERROR_SUCCESS) return s;
        s = fill(db, *entry);
        db.rollback();
        return s;
    });
    if (status == kNoDatabase) status = no_database(*entry);
    // Answers are kept, negative ones included; a failure to get one is not.
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED) {
        entry->status = status;
        if (!in_batch()) cache_.store(key, before, *entry);
    }
    return status;
}

LSTATUS Registry::open(const NodeRef& base, std::string_view path, NodeRef* out) {
    ParsedPath parsed;
    LSTATUS status = parse_path(path, &parsed);
    if (status != ERROR_SUCCESS) return status;
    ReadCache::Entry entry;
    status = cached_read(
        ReadCache::key('k', base->id, parsed.joined), &entry,
        [&](Database& db, ReadCache::Entry& e) -> LSTATUS {
            size_t found = 0;
            std::vector<int64_t> chain;
            bool is_volatile = false;
            LSTATUS s = walk(db, base, parsed, &found, &chain, &is_volatile);
            if (s != ERROR_SUCCESS) return s;
            if (found < parsed.parts.size()) return ERROR_FILE_NOT_FOUND;
            e.node = parsed.parts.empty() ? base : make_node(is_volatile, std::move(chain));
            return ERROR_SUCCESS;
        },
        [&](ReadCache::Entry& e) -> LSTATUS {
            // An empty registry: only the hive roots are there.
            if (!parsed.parts.empty() || base->chain.size() != 1) return ERROR_FILE_NOT_FOUND;
            e.node = base;
            return ERROR_SUCCESS;
        });
    *out = status == ERROR_SUCCESS ? entry.node : nullptr;
    return status;
}

LSTATUS Registry::query_value(const NodeRef& node, std::string_view name, ValueRef* out) {
    std::string folded = fold(name);
    ReadCache::Entry entry;
    LSTATUS status = cached_read(
        ReadCache::key('v', node->id, folded), &entry,
        [&](Database& db, ReadCache::Entry& e) -> LSTATUS {
            auto stmt = db.statement("SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2");
            if (!stmt) return db.last_status();
            int rc = stmt->bind(1, node->id).bind_text(2, folded).step();
            if (rc == SQLITE_ROW) {
                e.value = value_of_row(*stmt);
                return ERROR_SUCCESS;
            }
            if (rc != SQLITE_DONE) return status_from_sqlite(rc);
            stmt.reset();
            LSTATUS s = key_exists(db, node->id);
            return s == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : s;
        },
        [](ReadCache::Entry&) -> LSTATUS { return ERROR_FILE_NOT_FOUND; });
    *out = status == ERROR_SUCCESS ? entry.value : nullptr;
    return status;
}

LSTATUS Registry::snapshot(const NodeRef& node, SnapshotRef* out) {
    ReadCache::Entry entry;
    LSTATUS status = cached_read(
        ReadCache::key('s', node->id, {}), &entry,
        [&](Database& db, ReadCache::Entry& e) -> LSTATUS {
            auto snap = std::make_shared<KeySnapshot>();
            auto self = db.statement("SELECT class, last_write FROM keys WHERE id = ?1");
            if (!self) return db.last_status();
            int rc = self->bind(1, node->id).step();
            if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
            if (rc != SQLITE_ROW) return status_from_sqlite(rc);
            snap->key_class = std::string(self->column_text(0));
            snap->last_write = self->column_int64(1);
            self.reset();

            auto subkeys = db.statement("SELECT name, class, last_write FROM keys WHERE parent = ?1 ORDER BY folded");
            if (!subkeys) return db.last_status();
            subkeys->bind(1, node->id);
            while ((rc = subkeys->step()) == SQLITE_ROW)
                snap->subkeys.push_back(SubKeyRecord{std::string(subkeys->column_text(0)),
                                                     std::string(subkeys->column_text(1)), subkeys->column_int64(2)});
            if (rc != SQLITE_DONE) return status_from_sqlite(rc);
            subkeys.reset();

            auto values = db.statement("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
            if (!values) return db.last_status();
            values->bind(1, node->id);
            while ((rc = values->step()) == SQLITE_ROW) snap->values.push_back(value_of_row(*values));
            if (rc != SQLITE_DONE) return status_from_sqlite(rc);
            e.snapshot = std::move(snap);
            return ERROR_SUCCESS;
        },
        [&](ReadCache::Entry& e) -> LSTATUS {
            // An empty registry: the hive roots are there, and empty.
            if (node->chain.size() != 1) return ERROR_KEY_DELETED;
            e.snapshot = std::make_shared<KeySnapshot>();
            return ERROR_SUCCESS;
        });
    *out = status == ERROR_SUCCESS ? entry.snapshot : nullptr;
    return status;
}

// ---- Writes ----------------------------------------------------------------

LSTATUS Registry::create(const NodeRef& base, std::string_view path, bool is_volatile, std::string_view key_class,
                         bool may_create, NodeRef* out, bool* created) {
    *created = false;
    LSTATUS status = open(base, path, out);
    if (status != ERROR_FILE_NOT_FOUND) return status;
    if (!may_create) return ERROR_ACCESS_DENIED;
    ParsedPath parsed;
    parse_path(path, &parsed);
    NodeRef result;
    status = write_transaction([&](Database& db, std::vector<Change>& changes) -> LSTATUS {
        size_t found = 0;
        std::vector<int64_t> chain;
        bool parent_volatile = false;
        LSTATUS s = walk(db, base, parsed, &found, &chain, &parent_volatile);
        if (s != ERROR_SUCCESS) return s;
        if (found == parsed.parts.size()) {
            // Made by another process since we looked.
            result = make_node(parent_volatile, std::move(chain));
            return ERROR_SUCCESS;
        }
        if (chain.size() + (parsed.parts.size() - found) > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
        if (parent_volatile && !is_volatile) return ERROR_CHILD_MUST_BE_VOLATILE;
        int64_t now = filetime_now();
        changes.push_back(Change{kChangeName, chain});
        s = touch_key(db, chain.back(), now);
        if (s != ERROR_SUCCESS) return s;
        for (size_t i = found; i < parsed.parts.size(); ++i) {
            auto insert = db.statement(
                "INSERT INTO keys(parent, name, folded, class, volatile, last_write) VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
            if (!insert) return db.last_status();
            insert->bind(1, chain.back()).bind_text(2, parsed.parts[i]).bind_text(3, parsed.folded[i]);
            if (i + 1 == parsed.parts.size() && !key_class.empty())
                insert->bind_text(4, key_class);
            else
                insert->bind_null(4);
            insert->bind(5, is_volatile ? 1 : 0).bind(6, now);
            int rc = insert->step();
            if (rc != SQLITE_DONE) return status_from_sqlite(rc);
            chain.push_back(db.last_insert_rowid());
        }
        result = make_node(is_volatile, std::move(chain));
        *created = true;
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) {
        *created = false;
        return status;
    }
    *out = result;
    return ERROR_SUCCESS;
}

LSTATUS Registry::set_value(const NodeRef& node, std::string_view name, DWORD type, const void* data, size_t size) {
    std::string folded = fold(name);
    return write_transaction([&](Database& db, std::vector<Change>& changes) -> LSTATUS {
        LSTATUS s = key_exists(db, node->id);
        if (s != ERROR_SUCCESS) return s;
        auto upsert = db.statement(
            "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
        if (!upsert) return db.last_status();
        upsert->bind(1, node->id).bind_text(2, name).bind_text(3, folded).bind(4, type).bind_blob(5, data, size);
        s = run_done(db, std::move(upsert));
        if (s != ERROR_SUCCESS) return s;
        s = touch_key(db, node->id, filetime_now());
        if (s != ERROR_SUCCESS) return s;
        changes.push_back(Change{kChangeLastSet, node->chain});
        return ERROR_SUCCESS;
    });
}

LSTATUS Registry::delete_value(const NodeRef& node, std::string_view name) {
    std::string folded = fold(name);
    return write_transaction([&](Database& db, std::vector<Change>& changes) -> LSTATUS {
        auto del = db.statement("DELETE FROM vals WHERE key = ?1 AND folded = ?2");
        if (!del) return db.last_status();
        del->bind(1, node->id).bind_text(2, folded);
        LSTATUS s = run_done(db, std::move(del));
        if (s != ERROR_SUCCESS) return s;
        if (db.changes() == 0) {
            s = key_exists(db, node->id);
            return s == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : s;
        }
        s = touch_key(db, node->id, filetime_now());
        if (s != ERROR_SUCCESS) return s;
        changes.push_back(Change{kChangeLastSet, node->chain});
        return ERROR_SUCCESS;
    });
}

LSTATUS Registry::delete_key(const NodeRef& node) {
    if (node->chain.size() < 2) return ERROR_ACCESS_DENIED;
    return write_transaction([&](Database& db, std::vector<Change>& changes) -> LSTATUS {
        LSTATUS s = key_exists(db, node->id);
        if (s != ERROR_SUCCESS) return s;
        auto child = db.statement("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        if (!child) return db.last_status();
        int rc = child->bind(1, node->id).step();
        if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
        if (rc != SQLITE_DONE) return status_from_sqlite(rc);
        child.reset();
        auto values = db.statement("DELETE FROM vals WHERE key = ?1");
        if (!values) return db.last_status();
        values->bind(1, node->id);
        if ((s = run_done(db, std::move(values))) != ERROR_SUCCESS) return s;
        auto key = db.statement("DELETE FROM keys WHERE id = ?1");
        if (!key) return db.last_status();
        key->bind(1, node->id);
        if ((s = run_done(db, std::move(key))) != ERROR_SUCCESS) return s;
        std::vector<int64_t> parent(node->chain.begin(), node->chain.end() - 1);
        if ((s = touch_key(db, parent.back(), filetime_now())) != ERROR_SUCCESS) return s;
        changes.push_back(Change{kChangeName, std::move(parent)});
        changes.push_back(Change{kChangeDeleted, node->chain});
        return ERROR_SUCCESS;
    });
}

LSTATUS Registry::delete_tree(const NodeRef& node, bool keep_key, bool may_delete_values) {
    if (!keep_key && node->chain.size() < 2) return ERROR_ACCESS_DENIED;
    return write_transaction([&](Database& db, std::vector<Change>& changes) -> LSTATUS {
        LSTATUS s = key_exists(db, node->id);
        if (s != ERROR_SUCCESS) return s;
        std::vector<int64_t> children;
        auto list = db.statement("SELECT id FROM keys WHERE parent = ?1");
        if (!list) return db.last_status();
        list->bind(1, node->id);
        int rc;
        while ((rc = list->step()) == SQLITE_ROW) children.push_back(list->column_int64(0));
        if (rc != SQLITE_DONE) return status_from_sqlite(rc);
        list.reset();
        bool has_values = false;
        if (keep_key) {
            auto count = db.statement("SELECT 1 FROM vals WHERE key = ?1 LIMIT 1");
            if (!count) return db.last_status();
            rc = count->bind(1, node->id).step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) return status_from_sqlite(rc);
            has_values = rc == SQLITE_ROW;
            if (has_values && !may_delete_values) return ERROR_ACCESS_DENIED;
        }
        // UNION, not UNION ALL: a damaged table whose parents form a loop
        // still ends the walk.
        auto values = db.statement(
            "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
            "DELETE FROM vals WHERE key IN (SELECT id FROM sub)");
        if (!values) return db.last_status();
        values->bind(1, node->id);
        if ((s = run_done(db, std::move(values))) != ERROR_SUCCESS) return s;
        auto keys = db.statement(
            "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
            "DELETE FROM keys WHERE id IN (SELECT id FROM sub) AND id <> ?2");
        if (!keys) return db.last_status();
        keys->bind(1, node->id).bind(2, keep_key ? node->id : 0);
        if ((s = run_done(db, std::move(keys))) != ERROR_SUCCESS) return s;

        int64_t now = filetime_now();
        if (keep_key) {
            for (int64_t child : children) {
                std::vector<int64_t> chain = node->chain;
                chain.push_back(child);
                changes.push_back(Change{kChangeDeleted, std::move(chain)});
            }
            if (!children.empty()) changes.push_back(Change{kChangeName, node->chain});
            if (has_values) changes.push_back(Change{kChangeLastSet, node->chain});
            if (!changes.empty() && (s = touch_key(db, node->id, now)) != ERROR_SUCCESS) return s;
        } else {
            std::vector<int64_t> parent(node->chain.begin(), node->chain.end() - 1);
            if ((s = touch_key(db, parent.back(), now)) != ERROR_SUCCESS) return s;
            changes.push_back(Change{kChangeName, std::move(parent)});
            changes.push_back(Change{kChangeDeleted, node->chain});
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS Registry::flush() {
    LSTATUS status = with_database([](Database& db) { return db.checkpoint(); });
    return status == kNoDatabase ? ERROR_SUCCESS : status;
}

LSTATUS Registry::begin_batch() {
    if (in_batch()) return ERROR_BUSY;
    // Resolved first, so the batch never takes user_mutex_ after db_mutex_.
    std::shared_ptr<KeyObject> user;
    current_user_root(&user);
    std::unique_lock<std::mutex> lock(db_mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Another thread of this process: a call of its own, or its batch.
        lock.lock();
        if (batch_thread_.load(std::memory_order_relaxed) != std::thread::id()) return ERROR_BUSY;
    }
    if (!db_) {
        LSTATUS status = open_database_locked();
        if (status != ERROR_SUCCESS) return status == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED : status;
    }
    LSTATUS status = db_->begin_batch();
    if (status != ERROR_SUCCESS) return status;
    batch_changes_.clear();
    batch_lock_ = std::move(lock);
    batch_thread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return ERROR_SUCCESS;
}

LSTATUS Registry::end_batch(bool commit) {
    if (!in_batch()) return ERROR_INVALID_FUNCTION;
    std::vector<Change> changes;
    changes.swap(batch_changes_);
    const bool journaled = commit && journal_ && !changes.empty();
    if (journaled) journal_->begin_write();
    LSTATUS status = db_->end_batch(commit);
    if (journaled) journal_->end_write(status == ERROR_SUCCESS ? changes : std::vector<Change>());
    if (status == ERROR_SUCCESS && journaled) checkpointer_->wrote();
    if (status == ERROR_REGISTRY_CORRUPT || status == ERROR_REGISTRY_IO_FAILED) db_.reset();
    batch_thread_.store(std::thread::id(), std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock = std::move(batch_lock_);
    return status;
}

}  // namespace w32rt::registry
