// The database behind the registry functions, reached around them: the
// per-process cache against changes made behind its back, and a registry
// that cannot be used as it should (locked by another process, damaged,
// foreign, refused by the disk, or with unusable shared memory).
//
// The cache serves repeated reads without the database; every published
// write empties it, and nothing is cached or served from it while a write
// is between its commit and its publication. Every failure ends in a clear
// status, in bounded time, with nothing lost.
#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <w32rt/machine.h>
#include <w32rt/testing.h>

#include "core/machine.h"
#include "core/shm.h"
#include "registry/journal.h"
#include "registry/registry.h"
#include "registry_test_util.h"

using namespace registry_test;
using testing_support::receive_line;
using testing_support::send_line;

namespace {

std::string registry_file() { return w32rt::machine_root() + "/registry.db"; }

off_t file_size() {
    struct stat st;
    return stat(registry_file().c_str(), &st) == 0 ? st.st_size : -1;
}

std::string file_contents() {
    std::ifstream in(registry_file(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void overwrite(off_t offset, size_t size, char fill) {
    int fd = open(registry_file().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string garbage(size, fill);
    ASSERT_EQ(pwrite(fd, garbage.data(), garbage.size(), offset), ssize_t(size));
    close(fd);
}

// Sets V (below 256) in the database without telling anyone.
void change_behind_the_back(DWORD value) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(registry_file().c_str(), &db), SQLITE_OK);
    char sql[80];
    snprintf(sql, sizeof sql, "UPDATE vals SET data = x'%02x000000' WHERE folded = 'V'", unsigned(value));
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

// Holds the registry's write lock from a connection of another process,
// until told to let go.
TEST_HELPER(registry_locker) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(registry_file().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 2;
    if (sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) return 3;
    send_line("locked");
    receive_line();
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}

class RegistryStorage : public testing_support::MachineTest {
protected:
    void TearDown() override {
        w32rt_clear_syscall_faults();
        MachineTest::TearDown();
    }

    w32rt::registry::Registry& registry() { return w32rt::registry::Registry::current(); }
};

TEST_F(RegistryStorage, LockedDatabaseRefusesWritesWithBusyInBoundedTime) {
    Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\Locked");
    ASSERT_EQ(set_dword(key.get(), "V", 1), ERROR_SUCCESS);
    registry().set_busy_timeout(200);

    auto locker = testing_support::spawn_helper("registry_locker");
    ASSERT_TRUE(locker.expect_line("locked"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(set_dword(key.get(), "V", 2), ERROR_BUSY);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Locked"), ERROR_BUSY);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // Readers are not held up by a writer; read past the cache.
    registry().close_database();
    EXPECT_EQ(dword_of(key.get(), "V"), 1u);

    locker.write_line("release");
    EXPECT_EQ(locker.wait(), 0);
    EXPECT_EQ(set_dword(key.get(), "V", 3), ERROR_SUCCESS);
    EXPECT_EQ(dword_of(key.get(), "V"), 3u);
}

TEST_F(RegistryStorage, DamagedFileIsReportedAsCorruptUntilRepaired) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"garbage over the header", [] { overwrite(0, 4096, '\xA5'); }},
        {"garbage in the tables", [] { overwrite(4096, size_t(file_size() - 4096), '\x5A'); }},
        {"truncated", [] { ASSERT_EQ(truncate(registry_file().c_str(), file_size() / 2), 0); }},
    };
    for (const auto& [what, damage] : cases) {
        SCOPED_TRACE(what);
        // Some content, the connection closed so that the file holds
        // everything (the WAL is checkpointed and emptied).
        Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\Orkan\\Settings");
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(set_string(key.get(), ("Value" + std::to_string(i)).c_str(), std::string(100, 'v')),
                      ERROR_SUCCESS);
        key.reset();
        registry().close_database();
        ASSERT_GT(file_size(), 8192);
        damage();

        // Every read and write that reaches the damage says so.
        LSTATUS status = open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan\\Settings", &key);
        if (status == ERROR_SUCCESS)
            status = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
        EXPECT_EQ(status, ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(set_dword(HKEY_LOCAL_MACHINE, "V", 1), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\New", &key), ERROR_REGISTRY_CORRUPT);
        // A repaired (here: removed, with the lock file that tells a
        // registry was made) file is picked up without a restart.
        for (const char* suffix : {"", "-wal", "-shm", ".init"}) unlink((registry_file() + suffix).c_str());
        ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Fresh", &key), ERROR_SUCCESS);
        EXPECT_EQ(set_dword(key.get(), "V", 1), ERROR_SUCCESS);
    }
}

// Sets Software\Copied "V" to its argument and ends.
TEST_HELPER(registry_write_and_exit) {
    Key key;
    if (create_key(HKEY_LOCAL_MACHINE, "Software\\Copied", &key) != ERROR_SUCCESS) return 2;
    return set_dword(key.get(), "V", DWORD(atoi(argv[1]))) == ERROR_SUCCESS ? 0 : 3;
}

TEST_F(RegistryStorage, TheMainFileAloneHoldsEveryWriteAndALostOneIsNeverReplacedByAnEmptyRegistry) {
    // A copy of registry.db alone, in a root of its own: the value of
    // Software\Copied "V" it holds, if any.
    const std::string copy_root = root() + "/copy";
    ASSERT_TRUE(w32rt::prepare_machine_root(copy_root));
    auto copied_value = [&]() -> std::optional<DWORD> {
        std::ofstream(copy_root + "/registry.db", std::ios::binary | std::ios::trunc) << file_contents();
        w32rt::use_machine_root(copy_root);
        Key copied;
        std::optional<DWORD> value;
        if (open_key(HKEY_LOCAL_MACHINE, "Software\\Copied", &copied) == ERROR_SUCCESS)
            value = dword_of(copied.get(), "V");
        copied.reset();
        w32rt::use_machine_root(root());
        return value;
    };
    // A process that wrote and ended; one that goes on (the copy is taken
    // while its connection is open).
    auto child = testing_support::spawn_helper("registry_write_and_exit", {"41"});
    ASSERT_EQ(child.wait(), 0);
    EXPECT_EQ(copied_value(), 41u);
    Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\Copied");
    ASSERT_EQ(set_dword(key.get(), "V", 42), ERROR_SUCCESS);
    EXPECT_TRUE(testing_support::eventually([&] { return copied_value() == 42u; }));
    w32rt::destroy_machine_root(copy_root, true);

    // The database gone, its lock file left: refused, and nothing made.
    key.reset();
    registry().checkpoint_now();
    registry().close_database();
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((registry_file() + suffix).c_str());
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\New", &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software", &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(file_size(), -1);
}

TEST_F(RegistryStorage, ForeignDatabaseIsNeitherUsedNorChanged) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(registry_file().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(text); INSERT INTO notes VALUES('keep me')", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string before = file_contents();
    Key key;
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software", &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software", &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(file_contents(), before) << "not even its journal mode was changed";
}

TEST_F(RegistryStorage, DiskRefusingTheNewFileGivesAClearStatusAndNoHalfRegistry) {
    w32rt_fail_syscall("open", 1, EIO);
    Key key;
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\X", &key), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(file_size(), -1);
    w32rt_fail_syscall("open", 1, ENOSPC);
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\X", &key), ERROR_DISK_FULL);
    // The next attempt makes the registry.
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\X", &key), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(key.get(), "V", 1), ERROR_SUCCESS);
}

TEST_F(RegistryStorage, UnusableSharedMemoryLeavesTheRegistryUsableWithoutNotification) {
    // A region of the journal's name that is not a journal.
    auto foreign = w32rt::SharedRegion::open_or_create(
        w32rt::Machine::current(), w32rt::admin_segment("registry", w32rt::SegmentAccess::Administrators), 4096,
        0x12345678, 9, [](void*) {});
    ASSERT_NE(foreign, nullptr);

    Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\NoJournal");
    for (DWORD v : {1u, 2u}) {
        ASSERT_EQ(set_dword(key.get(), "V", v), ERROR_SUCCESS);
        EXPECT_EQ(dword_of(key.get(), "V"), v);
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE),
              ERROR_NO_SYSTEM_RESOURCES);
    CloseHandle(event);
    // The region of the other program is left as it was.
    EXPECT_EQ(foreign->header()->magic, 0x12345678u);
}

// The database is changed behind the registry's back to tell a cached
// answer from a fresh one.
TEST_F(RegistryStorage, CacheServesReadsUntilAWriteIsPublishedAndNothingWhileOneIsUnderWay) {
    registry().set_cache_max_age(int64_t(3600) * 1000000000);
    ASSERT_EQ(set_dword(make_key(HKEY_LOCAL_MACHINE, "Software\\Cached").get(), "V", 1), ERROR_SUCCESS);
    // Opens the key afresh and reads V, as the library's hot path does.
    auto read_v = [] {
        Key key;
        EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Cached", &key), ERROR_SUCCESS);
        return dword_of(key.get(), "V");
    };
    EXPECT_EQ(read_v(), 1u);
    change_behind_the_back(2);
    EXPECT_EQ(read_v(), 1u) << "served from the cache";
    // Any published write, even of another key, empties the cache.
    make_key(HKEY_LOCAL_MACHINE, "Software\\Other");
    EXPECT_EQ(read_v(), 2u);

    // A writer that has committed and not yet published.
    w32rt::registry::Journal* journal = registry().journal();
    ASSERT_NE(journal, nullptr);
    journal->begin_write();
    change_behind_the_back(3);
    EXPECT_EQ(read_v(), 3u) << "the committed value, not the cached one";
    change_behind_the_back(4);
    EXPECT_EQ(read_v(), 4u) << "what was read during the write was not cached";
    journal->end_write({});
    change_behind_the_back(5);
    EXPECT_EQ(read_v(), 5u);
    change_behind_the_back(6);
    EXPECT_EQ(read_v(), 5u) << "cached again once the write is done";
}

}  // namespace

TEST_F(RegistryStorage, SQLitesOwnFileCallsFailThroughTheSeamWithAClearStatusAndTheOldValue) {
    Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\Seam");
    ASSERT_EQ(set_dword(key.get(), "V", 1), ERROR_SUCCESS);
    struct Case {
        w32rt_call kind;
        int error;
        LSTATUS expected;
    };
    DWORD next = 2;
    for (const Case& c : {Case{W32RT_CALL_WRITE, ENOSPC, ERROR_DISK_FULL},
                          Case{W32RT_CALL_WRITE, EIO, ERROR_REGISTRY_IO_FAILED},
                          Case{W32RT_CALL_WRITE, EACCES, ERROR_REGISTRY_IO_FAILED}}) {
        SCOPED_TRACE(w32rt_call_name(c.kind));
        unsigned long long fired = w32rt_injected_faults();
        w32rt_fail_call(c.kind, 1, c.error);
        EXPECT_EQ(set_dword(key.get(), "V", next), c.expected);
        EXPECT_EQ(w32rt_injected_faults(), fired + 1);
        w32rt_clear_syscall_faults();
        EXPECT_EQ(dword_of(key.get(), "V"), DWORD(next - 1)) << "the refused value is not there";
        ASSERT_EQ(set_dword(key.get(), "V", next), ERROR_SUCCESS) << "the next write goes through";
        EXPECT_EQ(dword_of(key.get(), "V"), next);
        ++next;
    }
    // Copying the log into the database syncs both: a refused sync fails
    // the flush, and nothing written is lost.
    w32rt_fail_call(W32RT_CALL_FSYNC, 1, EIO);
    EXPECT_EQ(RegFlushKey(key.get()), ERROR_REGISTRY_IO_FAILED);
    w32rt_clear_syscall_faults();
    EXPECT_EQ(RegFlushKey(key.get()), ERROR_SUCCESS);
    // The checkpoint that follows a write, on a thread of its own, never
    // takes a fault armed for the caller's next call.
    ASSERT_EQ(set_dword(key.get(), "V", next), ERROR_SUCCESS);
    w32rt_fail_call(W32RT_CALL_WRITE, 1, ENOSPC);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(set_dword(key.get(), "V", next + 1), ERROR_DISK_FULL);
    w32rt_clear_syscall_faults();
    registry().close_database();
    EXPECT_EQ(dword_of(key.get(), "V"), next);
}
