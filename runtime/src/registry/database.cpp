#include "registry/database.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/sys.h"
#include "registry/sqlite_vfs.h"

namespace w32rt::registry {

namespace {

// "REG1": marks a database as a registry, so a stray SQLite file in the root
// is reported as damage instead of being written over.
constexpr int kApplicationId = 0x52454731;
constexpr int kSchemaVersion = 1;

const char* const kSchema =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  class TEXT,"
    "  volatile INTEGER NOT NULL DEFAULT 0,"
    "  last_write INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, folded);"
    "CREATE TABLE vals("
    "  id INTEGER PRIMARY KEY,"
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX vals_by_key ON vals(key, folded);";

int read_pragma_int(sqlite3* db, const char* sql, int* rc_out) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    int value = 0;
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            value = sqlite3_column_int(stmt, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    *rc_out = rc;
    return value;
}

bool statement_compiles(sqlite3* db, const char* sql, int* rc_out) {
    sqlite3_stmt* stmt = nullptr;
    *rc_out = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    sqlite3_finalize(stmt);
    return *rc_out == SQLITE_OK;
}

}  // namespace

int64_t filetime_now() { return int64_t(clock::now()); }

LSTATUS status_from_sqlite(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return ERROR_BUSY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH: return ERROR_REGISTRY_CORRUPT;
        case SQLITE_FULL: return ERROR_DISK_FULL;
        case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
        case SQLITE_TOOBIG: return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
        default: return ERROR_REGISTRY_IO_FAILED;
    }
}

// ---- Statement -------------------------------------------------------------

Statement::~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

Statement& Statement::bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::bind_text(int index, std::string_view text) {
    // An empty view may have no data pointer, which SQLite would bind as NULL.
    sqlite3_bind_text(stmt_, index, text.empty() ? "" : text.data(), int(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind_blob(int index, const void* data, size_t size) {
    // A zero-length blob is stored as such, never as NULL.
    static const char empty = 0;
    sqlite3_bind_blob64(stmt_, index, size ? data : &empty, size, SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind_null(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
}

int Statement::step() { return sqlite3_step(stmt_); }

int64_t Statement::column_int64(int index) const { return sqlite3_column_int64(stmt_, index); }

bool Statement::column_is_null(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }

std::string_view Statement::column_text(int index) const {
    const unsigned char* text = sqlite3_column_text(stmt_, index);
    int size = sqlite3_column_bytes(stmt_, index);
    if (!text || size <= 0) return {};
    return std::string_view(reinterpret_cast<const char*>(text), size_t(size));
}

std::string_view Statement::column_blob(int index) const {
    const void* blob = sqlite3_column_blob(stmt_, index);
    int size = sqlite3_column_bytes(stmt_, index);
    if (!blob || size <= 0) return {};
    return std::string_view(static_cast<const char*>(blob), size_t(size));
}

// ---- Database --------------------------------------------------------------

namespace {

// An exclusive advisory lock on a small file, waited for up to the busy
// time-out and given up when the holder dies (flock).
class InitLock {
public:
    InitLock() = default;
    InitLock(const InitLock&) = delete;
    InitLock& operator=(const InitLock&) = delete;
    ~InitLock() {
        if (fd_ >= 0) sys::close(fd_);  // closing releases the lock
    }

    LSTATUS acquire(const std::string& path, int timeout_ms) {
        // Read access is all flock needs, and all the owner of the root has
        // when the superuser made the file.
        fd_ = sys::open(path.c_str(), O_RDONLY | O_CREAT, 0644);
        if (fd_ < 0) return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_REGISTRY_IO_FAILED;
        sys::fchmod(fd_, 0644);
        int err = sys::lock_file(fd_, sys::LockWait::Bounded, timeout_ms);
        if (err == 0) return ERROR_SUCCESS;
        return err == ETIMEDOUT ? ERROR_BUSY : ERROR_REGISTRY_IO_FAILED;
    }

private:
    int fd_ = -1;
};

}  // namespace

LSTATUS Database::open(const Options& options, std::unique_ptr<Database>* out) {
    const char* path = options.path.c_str();
    struct stat st;
    if (sys::stat(path, &st) < 0) {
        if (errno != ENOENT) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
        // The lock file is made with the database and kept: a root that has
        // it lost its database. An empty registry in its place would
        // silently drop every setting; it stays refused until the file is
        // restored (or the lock file removed to start afresh).
        struct stat init;
        if (sys::stat((options.path + ".init").c_str(), &init) == 0) return ERROR_REGISTRY_CORRUPT;
        if (!options.may_create) return ERROR_FILE_NOT_FOUND;
        int fd = sys::open(path, O_RDWR | O_CREAT | O_EXCL, 0644);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM || errno == EROFS) return ERROR_FILE_NOT_FOUND;
            if (errno != EEXIST) return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_REGISTRY_IO_FAILED;
        } else {
            // Readable by every user of the machine whatever the umask; SQLite
            // gives its side files the same mode (and owner, as superuser).
            sys::fchmod(fd, 0644);
            if (options.new_file_uid >= 0 && geteuid() == 0 && uid_t(options.new_file_uid) != 0)
                if (sys::fchown(fd, uid_t(options.new_file_uid), gid_t(options.new_file_gid)) < 0) {
                    // The file stays the superuser's: the owner can then only read.
                }
            sys::close(fd);
        }
        if (sys::stat(path, &st) < 0) return ERROR_REGISTRY_IO_FAILED;
    }
    if (!S_ISREG(st.st_mode)) return ERROR_REGISTRY_CORRUPT;

    uid_t euid = geteuid();
    bool writable = (euid == 0 || euid == st.st_uid) && sys::access_effective(path, W_OK) == 0;
    int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
    sqlite3* db = nullptr;
    // SQLite's file I/O goes through the runtime's seam, like every other.
    int rc = sqlite3_open_v2(path, &db, flags, seam_vfs_name());
    if (rc != SQLITE_OK) {
        LSTATUS status = status_from_sqlite(rc);
        sqlite3_close_v2(db);
        return status;
    }
    std::unique_ptr<Database> database(new Database(db, options.path, writable));
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, options.busy_timeout_ms);

    // Look before writing anything: a file that is not a registry is
    // reported and left exactly as it is.
    bool empty = false;
    LSTATUS status = database->inspect_snapshot(&empty);
    if (status != ERROR_SUCCESS) return status;
    if (empty && !(writable && options.may_create)) return ERROR_FILE_NOT_FOUND;

    // Switching a new file to WAL and writing its schema must happen once:
    // a second process doing the same at the same moment gets SQLITE_BUSY at
    // once from the journal-mode switch, past any busy time-out. Openers
    // that may write take turns on a lock file beside the database (never a
    // descriptor of the database itself: closing one would drop SQLite's
    // POSIX locks of this process).
    InitLock init_lock;
    if (writable) {
        status = init_lock.acquire(options.path + ".init", options.busy_timeout_ms);
        if (status != ERROR_SUCCESS) return status;
        if (empty) {
            status = database->inspect_snapshot(&empty);
            if (status != ERROR_SUCCESS) return status;
        }
    }

    if (writable) {
        std::unique_ptr<Statement> mode = database->statement("PRAGMA journal_mode=WAL");
        if (!mode) return database->last_status();
        rc = mode->step();
        if (rc != SQLITE_ROW) return status_from_sqlite(rc);
        if (mode->column_text(0) != "wal") return ERROR_REGISTRY_IO_FAILED;
        mode.reset();
        // Keep -wal and -shm after the last connection closes: a reader of
        // another user cannot create them in the root. A closing connection
        // that checkpointed everything truncates the WAL to zero.
        int persist = 1;
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        rc = database->exec("PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=4194304");
        if (rc != SQLITE_OK) return status_from_sqlite(rc);
    }
    if (empty) {
        status = database->create_schema();
        if (status != ERROR_SUCCESS) return status;
    }
    *out = std::move(database);
    return ERROR_SUCCESS;
}

LSTATUS Database::inspect_snapshot(bool* empty) {
    int rc = exec("BEGIN");
    if (rc != SQLITE_OK) return status_from_sqlite(rc);
    LSTATUS status = inspect(empty);
    exec("COMMIT");
    return status;
}

LSTATUS Database::inspect(bool* empty) {
    *empty = false;
    int rc;
    int app_id = read_pragma_int(db_, "PRAGMA application_id", &rc);
    if (rc != SQLITE_OK) return status_from_sqlite(rc);
    if (app_id == kApplicationId) {
        int version = read_pragma_int(db_, "PRAGMA user_version", &rc);
        if (rc != SQLITE_OK) return status_from_sqlite(rc);
        if (version != kSchemaVersion) return ERROR_REGISTRY_CORRUPT;
        // The columns the registry reads must all be there.
        if (!statement_compiles(db_, "SELECT id, parent, name, folded, class, volatile, last_write FROM keys", &rc) ||
            !statement_compiles(db_, "SELECT id, key, name, folded, type, data FROM vals", &rc))
            return (rc & 0xff) == SQLITE_ERROR ? ERROR_REGISTRY_CORRUPT : status_from_sqlite(rc);
        return ERROR_SUCCESS;
    }
    if (app_id != 0) return ERROR_REGISTRY_CORRUPT;
    int tables = read_pragma_int(db_, "SELECT count(*) FROM sqlite_master", &rc);
    if (rc != SQLITE_OK) return status_from_sqlite(rc);
    if (tables != 0) return ERROR_REGISTRY_CORRUPT;
    // A new, empty file: nothing to read until its creator writes the schema.
    *empty = true;
    return ERROR_SUCCESS;
}

LSTATUS Database::create_schema() {
    LSTATUS status = begin_write();
    if (status != ERROR_SUCCESS) return status;
    // Another process may have made it while we waited for the lock.
    bool empty = false;
    status = inspect(&empty);
    if (status != ERROR_SUCCESS || !empty) {
        rollback();
        return status;
    }
    int rc = exec(kSchema);
    if (rc == SQLITE_OK) {
        std::unique_ptr<Statement> roots = statement(
            "INSERT INTO keys(id, parent, name, folded, last_write) VALUES "
            "(1, 0, 'MACHINE', 'MACHINE', ?1), (2, 0, 'USERS', 'USERS', ?1)");
        rc = roots ? roots->bind(1, filetime_now()).step() : last_rc_;
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    if (rc == SQLITE_OK) {
        std::string marks = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                            "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
        rc = exec(marks.c_str());
    }
    if (rc != SQLITE_OK) {
        rollback();
        return status_from_sqlite(rc);
    }
    return commit();
}

Database::~Database() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
}

std::unique_ptr<Statement> Database::statement(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return std::make_unique<Statement>(it->second);
    sqlite3_stmt* stmt = nullptr;
    last_rc_ = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (last_rc_ != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    statements_.emplace(sql, stmt);
    return std::make_unique<Statement>(stmt);
}

int Database::exec(const char* sql) {
    last_rc_ = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return last_rc_;
}

LSTATUS Database::begin_read() { return status_from_sqlite(exec(batch_ ? "SAVEPOINT step" : "BEGIN")); }

LSTATUS Database::begin_write() {
    if (!writable_) return ERROR_ACCESS_DENIED;
    return status_from_sqlite(exec(batch_ ? "SAVEPOINT step" : "BEGIN IMMEDIATE"));
}

LSTATUS Database::commit() {
    int rc = exec(batch_ ? "RELEASE step" : "COMMIT");
    if (rc != SQLITE_OK) {
        LSTATUS status = status_from_sqlite(rc);
        rollback();
        return status;
    }
    return ERROR_SUCCESS;
}

void Database::rollback() {
    if (batch_) {
        // Only the step: what the batch did before it stays.
        sqlite3_exec(db_, "ROLLBACK TO step; RELEASE step", nullptr, nullptr, nullptr);
        return;
    }
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

LSTATUS Database::begin_batch() {
    if (batch_) return ERROR_BUSY;
    if (!writable_) return ERROR_ACCESS_DENIED;
    LSTATUS status = status_from_sqlite(exec("BEGIN IMMEDIATE"));
    if (status == ERROR_SUCCESS) batch_ = true;
    return status;
}

LSTATUS Database::end_batch(bool commit) {
    if (!batch_) return ERROR_INVALID_FUNCTION;
    batch_ = false;
    if (!commit) {
        rollback();
        return ERROR_SUCCESS;
    }
    return this->commit();
}

LSTATUS Database::last_status() const {
    int rc = last_rc_ ? last_rc_ : sqlite3_extended_errcode(db_);
    // A statement that fails to compile against a foreign schema is damage.
    if ((rc & 0xff) == SQLITE_ERROR) return ERROR_REGISTRY_CORRUPT;
    return status_from_sqlite(rc);
}

int64_t Database::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }

int Database::changes() const { return sqlite3_changes(db_); }

void Database::set_busy_timeout(int ms) { sqlite3_busy_timeout(db_, ms); }

LSTATUS Database::checkpoint() {
    if (!writable_) return ERROR_SUCCESS;
    int rc = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    // Readers still in the WAL keep some frames there; what was written is
    // synced in the WAL either way.
    if ((rc & 0xff) == SQLITE_BUSY) return ERROR_SUCCESS;
    return status_from_sqlite(rc);
}

}  // namespace w32rt::registry
