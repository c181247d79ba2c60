// The registry's storage: one SQLite database per machine root.
//
// Layout: table `keys` (id, parent, name as spelled, folded name, class,
// volatile flag, last write time) with a unique index on (parent, folded
// name); table `vals` (key, name, folded name, type, data) with a unique
// index on (key, folded name). Rows of `vals` are enumerated in rowid order,
// which is the order values were first set (an update keeps the row). Two
// roots with parent 0 are made with the schema: the machine hive (id 1) and
// the users hive (id 2). Ids come from AUTOINCREMENT and are never reused,
// so an id held by an open handle can only ever mean that key or none.
//
// Concurrency: the database is in WAL mode with a persistent WAL, so readers
// never wait for writers and another user (who may only read) always finds
// the side files it cannot create itself. Writers take the write lock at
// BEGIN IMMEDIATE: a deferred transaction that upgrades to a writer gets
// SQLITE_BUSY at once, past any busy time-out. Every wait for a lock is
// bounded by the busy time-out; what is still locked then is ERROR_BUSY.
//
// A Database is used by one thread at a time; the owner serialises.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <windows.h>

struct sqlite3;
struct sqlite3_stmt;

namespace w32rt::registry {

constexpr int64_t kMachineHiveId = 1;
constexpr int64_t kUsersHiveId = 2;

// The current time as a FILETIME value (100 ns since 1601).
int64_t filetime_now();

// A Win32 status for an SQLite result code: busy and locked are ERROR_BUSY,
// damage is ERROR_REGISTRY_CORRUPT, everything the disk refuses is
// ERROR_REGISTRY_IO_FAILED (a full disk is ERROR_DISK_FULL).
LSTATUS status_from_sqlite(int rc);

// One prepared statement, reset and unbound when the object goes.
class Statement {
public:
    explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    Statement& bind(int index, int64_t value);
    Statement& bind_text(int index, std::string_view text);
    Statement& bind_blob(int index, const void* data, size_t size);
    Statement& bind_null(int index);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();

    int64_t column_int64(int index) const;
    bool column_is_null(int index) const;
    // Text and blob columns stay valid until the next step.
    std::string_view column_text(int index) const;
    std::string_view column_blob(int index) const;

private:
    sqlite3_stmt* stmt_;
};

class Database {
public:
    struct Options {
        std::string path;
        // The file may be created (and the schema written) by this process.
        bool may_create = false;
        // When the superuser creates the file, it is given to this owner so
        // the root's administrator keeps the registry writable.
        int64_t new_file_uid = -1;
        int64_t new_file_gid = -1;
        int busy_timeout_ms = 5000;
    };

    // Opens the database. ERROR_SUCCESS with *out set; ERROR_FILE_NOT_FOUND
    // when there is no database yet and this process may not create one (the
    // registry is then empty for it); ERROR_REGISTRY_CORRUPT when the file is
    // not a registry; other statuses from status_from_sqlite.
    static LSTATUS open(const Options& options, std::unique_ptr<Database>* out);

    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    // Writes are allowed: the caller owns the file or is the superuser.
    bool writable() const { return writable_; }
    const std::string& path() const { return path_; }

    // A cached prepared statement for a literal SQL text (keyed by address).
    // Null when it cannot be prepared; last_error() then tells why.
    std::unique_ptr<Statement> statement(const char* sql);

    // Runs SQL that returns no rows. The SQLite result code.
    int exec(const char* sql);

    // Transactions. begin_write takes the write lock at once. Inside a batch
    // they are savepoints of the batch's transaction.
    LSTATUS begin_read();
    LSTATUS begin_write();
    LSTATUS commit();
    void rollback();

    // One write transaction around many: the write lock is taken at once;
    // end_batch commits or rolls back all of it.
    LSTATUS begin_batch();
    LSTATUS end_batch(bool commit);

    int64_t last_insert_rowid() const;
    // Rows changed by the last statement.
    int changes() const;

    // The status of the last failing call on the connection.
    LSTATUS last_status() const;

    void set_busy_timeout(int ms);

    // Copies what the WAL holds into the database file and syncs both.
    LSTATUS checkpoint();

private:
    Database(sqlite3* db, std::string path, bool writable) : db_(db), path_(std::move(path)), writable_(writable) {}
    // Whether the file holds a registry (ERROR_SUCCESS), nothing yet (*empty)
    // or something else (ERROR_REGISTRY_CORRUPT). Reads inside the caller's
    // transaction; inspect_snapshot() opens one of its own, so that a schema
    // committed by another process meanwhile is seen whole or not at all.
    LSTATUS inspect(bool* empty);
    LSTATUS inspect_snapshot(bool* empty);
    LSTATUS create_schema();

    sqlite3* db_;
    std::string path_;
    bool writable_;
    int last_rc_ = 0;
    bool batch_ = false;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

}  // namespace w32rt::registry
