// The registry shared by processes of one root: concurrent writers, the
// cache of one process against the writes of another, notifications across
// processes, and a process of another user that may only read.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <w32rt/machine.h>

#include "registry_test_util.h"

using namespace registry_test;
using testing_support::receive_line;
using testing_support::send_line;
using testing_support::spawn_helper;

namespace {

constexpr int kValuesPerWriter = 150;

std::string status_line(LSTATUS status) { return "status " + std::to_string(status); }

// Waits for "go", then writes its own values and a shared one, each in its
// own transaction.
TEST_HELPER(registry_writer) {
    int id = atoi(argv[1]);
    Key key;
    if (create_key(HKEY_LOCAL_MACHINE, "Software\\Race", &key) != ERROR_SUCCESS) return 2;
    send_line("ready");
    if (receive_line() != "go") return 3;
    for (int i = 0; i < kValuesPerWriter; ++i) {
        std::string name = "w" + std::to_string(id) + "_" + std::to_string(i);
        if (set_dword(key.get(), name.c_str(), DWORD(id * 100000 + i)) != ERROR_SUCCESS) return 4;
        Key sub;
        if (create_key(key.get(), ("Sub" + std::to_string(i)).c_str(), &sub) != ERROR_SUCCESS) return 5;
        if (set_dword(sub.get(), name.c_str(), 1) != ERROR_SUCCESS) return 6;
    }
    return 0;
}

// Sets "V" to the number it is sent, until it is sent "quit".
TEST_HELPER(registry_setter) {
    Key key;
    if (create_key(HKEY_LOCAL_MACHINE, "Software\\Shared", &key) != ERROR_SUCCESS) return 2;
    send_line("ready");
    for (;;) {
        std::string line = receive_line();
        if (line.empty() || line == "quit") return 0;
        send_line(status_line(set_dword(key.get(), "V", DWORD(atoi(line.c_str())))));
    }
}

class RegistryCrossProcess : public testing_support::MachineTest {};

TEST_F(RegistryCrossProcess, TwoWritersAtOnceLoseNothing) {
    auto a = spawn_helper("registry_writer", {"1"});
    auto b = spawn_helper("registry_writer", {"2"});
    ASSERT_TRUE(a.expect_line("ready"));
    ASSERT_TRUE(b.expect_line("ready"));
    a.write_line("go");
    b.write_line("go");
    ASSERT_EQ(a.wait(), 0);
    ASSERT_EQ(b.wait(), 0);

    Key key;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Race", &key), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()).size(), size_t(2 * kValuesPerWriter));
    EXPECT_EQ(subkey_names(key.get()).size(), size_t(kValuesPerWriter));
    for (int id = 1; id <= 2; ++id) {
        for (int i = 0; i < kValuesPerWriter; ++i) {
            std::string name = "w" + std::to_string(id) + "_" + std::to_string(i);
            EXPECT_EQ(dword_of(key.get(), name.c_str()), DWORD(id * 100000 + i));
            EXPECT_EQ(dword_of(make_key(key.get(), "Sub" + std::to_string(i)).get(), name.c_str()), 1u) << name;
        }
    }
}

TEST_F(RegistryCrossProcess, AnotherProcessWriteIsSeenByCachedReadsAtOnceAndFiresWatches) {
    Key shared = make_key(HKEY_LOCAL_MACHINE, "Software\\Shared");
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(shared.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
    auto setter = spawn_helper("registry_setter");
    ASSERT_TRUE(setter.expect_line("ready"));
    // Opened, read (and cached) and closed, as the hot path does.
    auto read = [] {
        Key key;
        EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Shared", &key), ERROR_SUCCESS);
        return dword_of(key.get(), "V");
    };
    for (DWORD round = 1; round <= 20; ++round) {
        ASSERT_EQ(read(), round == 1 ? std::nullopt : std::optional<DWORD>(round - 1));
        setter.write_line(std::to_string(round));
        ASSERT_TRUE(setter.expect_line(status_line(ERROR_SUCCESS)));
        ASSERT_EQ(read(), round);
    }
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    setter.write_line("quit");
    EXPECT_EQ(setter.wait(), 0);
    CloseHandle(event);
}

// Runs as another user: the statuses of what it tries, in one line.
TEST_HELPER(registry_other_user) {
    Key key, other;
    std::string got;
    auto note = [&](LSTATUS status) { got += std::to_string(status) + " "; };
    if (std::string(argv[1]) == "empty") {
        // No registry yet, and this user may not make one, nor a hive of its
        // own.
        char name[64];
        DWORD chars = sizeof name;
        note(open_key(HKEY_LOCAL_MACHINE, "Software", &key));
        note(create_key(HKEY_LOCAL_MACHINE, "Software\\Mine", &key));
        note(RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &chars, nullptr, nullptr, nullptr, nullptr));
        note(open_key(HKEY_CURRENT_USER, "Software", &key));
        note(create_key(HKEY_CURRENT_USER, "Software", &key));
        send_line(got);
        return 0;
    }
    DWORD value = 0;
    note(open_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &key, KEY_READ));
    note(get_dword(key.get(), "V", &value));
    note(open_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &other, KEY_WRITE));
    note(create_key(HKEY_LOCAL_MACHINE, "Software\\Owned\\New", &other, KEY_READ));
    note(set_dword(HKEY_LOCAL_MACHINE, "Direct", 1));
    note(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Owned"));
    // An existing key may be "created" for reading; MAXIMUM_ALLOWED is
    // reading here.
    note(create_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &other, KEY_READ));
    note(open_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &other, MAXIMUM_ALLOWED));
    note(set_dword(other.get(), "V", 3));
    // Notifications and fresh reads work for a reader too.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    note(RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE));
    send_line(got + "value " + std::to_string(value));
    if (receive_line() != "changed") return 2;
    send_line(WaitForSingleObject(event, 30000) == WAIT_OBJECT_0 ? "fired" : "timeout");
    LSTATUS status = get_dword(key.get(), "V", &value);
    send_line(status_line(status) + " value " + std::to_string(value));
    return 0;
}

TEST_F(RegistryCrossProcess, AnotherUserReadsButCannotWrite) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to run a process as another user";
    testing_support::SpawnOptions as_other;
    as_other.uid = uid;
    as_other.gid = uid;

    auto empty = spawn_helper("registry_other_user", {"empty"}, as_other);
    EXPECT_EQ(empty.read_line(), "2 5 259 2 5 ");  // not found, denied, no more items
    EXPECT_EQ(empty.wait(), 0);

    Key owned = make_key(HKEY_LOCAL_MACHINE, "Software\\Owned");
    ASSERT_EQ(set_dword(owned.get(), "V", 1), ERROR_SUCCESS);
    auto child = spawn_helper("registry_other_user", {"full"}, as_other);
    ASSERT_EQ(child.read_line(), "0 0 5 5 5 5 0 0 5 0 value 1");  // 5: access denied
    ASSERT_EQ(set_dword(owned.get(), "V", 42), ERROR_SUCCESS);
    child.write_line("changed");
    EXPECT_EQ(child.read_line(), "fired");
    EXPECT_EQ(child.read_line(), "status 0 value 42");
    EXPECT_EQ(child.wait(), 0);

    // Nothing the other user tried reached the registry.
    EXPECT_EQ(dword_of(owned.get(), "V"), 42u);
    EXPECT_TRUE(subkey_names(owned.get()).empty());
    EXPECT_EQ(dword_of(HKEY_LOCAL_MACHINE, "Direct"), std::nullopt);
}

// Writes in a root that its owner (this helper's user) administers.
TEST_HELPER(registry_root_owner) {
    Key key;
    send_line(status_line(create_key(HKEY_LOCAL_MACHINE, "Software\\ByRoot", &key)));
    send_line(status_line(set_dword(key.get(), "Owner", 1)));
    DWORD v = 0;
    send_line(status_line(get_dword(key.get(), "Superuser", &v)));
    return 0;
}

TEST_F(RegistryCrossProcess, SuperuserWritingAUsersRootLeavesItWritableForTheUser) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to run a process as another user";
    ASSERT_EQ(chown(root().c_str(), uid_t(uid), gid_t(uid)), 0);
    w32rt::use_machine_root(root());  // sees the new owner

    Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\ByRoot");
    ASSERT_EQ(set_dword(key.get(), "Superuser", 1), ERROR_SUCCESS);

    testing_support::SpawnOptions as_owner;
    as_owner.uid = uid;
    as_owner.gid = uid;
    auto child = spawn_helper("registry_root_owner", {}, as_owner);
    for (int step = 0; step < 3; ++step) EXPECT_EQ(child.read_line(), "status 0") << step;
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(dword_of(key.get(), "Owner"), 1u);
}

}  // namespace
