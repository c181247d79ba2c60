// The per-process cache: repeated reads are served without the database,
// every published write empties it, and nothing is cached or served from it
// while a write is between its commit and its publication. The database is
// changed behind the registry's back (a connection of the test's own) to
// tell a cached answer from a fresh one.
#include <sqlite3.h>
#include <stdio.h>

#include <string>

#include <w32rt/machine.h>

#include "registry/journal.h"
#include "registry/registry.h"
#include "registry_test_util.h"

using namespace registry_test;

namespace {

class RegistryCache : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        registry().set_cache_max_age(int64_t(3600) * 1000000000);
        Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\Cached");
        ASSERT_EQ(set_dword(key.get(), "V", 1), ERROR_SUCCESS);
    }

    static w32rt::registry::Registry& registry() { return w32rt::registry::Registry::current(); }

    // Sets V (below 256) in the database without telling anyone.
    static void change_behind_the_back(DWORD value) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((w32rt::machine_root() + "/registry.db").c_str(), &db), SQLITE_OK);
        char sql[80];
        snprintf(sql, sizeof sql, "UPDATE vals SET data = x'%02x000000' WHERE folded = 'V'", unsigned(value));
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    // Opens the key afresh and reads V, as the library's hot path does.
    static std::optional<DWORD> read_v() {
        Key key;
        EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Cached", &key), ERROR_SUCCESS);
        return dword_of(key.get(), "V");
    }
};

TEST_F(RegistryCache, RepeatedReadsAreServedFromTheCacheUntilAWriteIsPublished) {
    EXPECT_EQ(read_v(), 1u);
    change_behind_the_back(2);
    EXPECT_EQ(read_v(), 1u) << "served from the cache";
    // Any published write, even of another key, empties the cache.
    make_key(HKEY_LOCAL_MACHINE, "Software\\Other");
    EXPECT_EQ(read_v(), 2u);
}

TEST_F(RegistryCache, NothingIsCachedWhileAWriteIsUnderWay) {
    EXPECT_EQ(read_v(), 1u);
    w32rt::registry::Journal* journal = registry().journal();
    ASSERT_NE(journal, nullptr);
    // A writer that has committed and not yet published.
    journal->begin_write();
    change_behind_the_back(2);
    EXPECT_EQ(read_v(), 2u) << "the committed value, not the cached one";
    change_behind_the_back(3);
    EXPECT_EQ(read_v(), 3u) << "what was read during the write was not cached";
    journal->end_write({});
    change_behind_the_back(4);
    EXPECT_EQ(read_v(), 4u);
    change_behind_the_back(5);
    EXPECT_EQ(read_v(), 4u) << "cached again once the write is done";
}

TEST_F(RegistryCache, EntriesExpireAfterTheirMaximumAge) {
    registry().set_cache_max_age(0);
    EXPECT_EQ(read_v(), 1u);
    change_behind_the_back(2);
    EXPECT_TRUE(testing_support::eventually([&] { return read_v() == 2u; }));
}

}  // namespace
