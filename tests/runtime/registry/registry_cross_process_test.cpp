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

// Arms a notification on Software\Shared and reports when it fires.
TEST_HELPER(registry_watcher) {
    Key key;
    if (open_key(HKEY_LOCAL_MACHINE, "Software\\Shared", &key, KEY_NOTIFY) != ERROR_SUCCESS) return 2;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (RegNotifyChangeKeyValue(key.get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE) != ERROR_SUCCESS) return 3;
    send_line("armed");
    send_line(WaitForSingleObject(event, 30000) == WAIT_OBJECT_0 ? "fired" : "timeout");
    return 0;
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

TEST_F(RegistryCrossProcess, CachedReadsSeeAnotherProcessWriteAtOnce) {
    auto setter = spawn_helper("registry_setter");
    ASSERT_TRUE(setter.expect_line("ready"));
    for (int round = 1; round <= 20; ++round) {
        // Read (and cache) the value, open and close included, as the hot
        // path does; then let the other process change it.
        DWORD before = 0;
        Key key;
        ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Shared", &key), ERROR_SUCCESS);
        LSTATUS status = get_dword(key.get(), "V", &before);
        ASSERT_TRUE(status == ERROR_SUCCESS || (round == 1 && status == ERROR_FILE_NOT_FOUND));
        key.reset();
        setter.write_line(std::to_string(round));
        ASSERT_TRUE(setter.expect_line(status_line(ERROR_SUCCESS)));
        DWORD after = 0;
        ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Shared", &key), ERROR_SUCCESS);
        ASSERT_EQ(get_dword(key.get(), "V", &after), ERROR_SUCCESS);
        ASSERT_EQ(after, DWORD(round)) << "round " << round;
    }
    setter.write_line("quit");
    EXPECT_EQ(setter.wait(), 0);
}

TEST_F(RegistryCrossProcess, ChangeInOneProcessFiresNotificationArmedInAnother) {
    Key key = make_key(HKEY_LOCAL_MACHINE, "Software\\Shared\\Deep");

    // Armed here, changed there.
    Key shared;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Shared", &shared, KEY_NOTIFY), ERROR_SUCCESS);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(shared.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_SUCCESS);
    auto setter = spawn_helper("registry_setter");
    ASSERT_TRUE(setter.expect_line("ready"));
    setter.write_line("7");
    ASSERT_TRUE(setter.expect_line(status_line(ERROR_SUCCESS)));
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    setter.write_line("quit");
    EXPECT_EQ(setter.wait(), 0);
    CloseHandle(event);

    // Armed there, changed here, below the watched key.
    auto watcher = spawn_helper("registry_watcher");
    ASSERT_TRUE(watcher.expect_line("armed"));
    ASSERT_EQ(set_dword(key.get(), "X", 1), ERROR_SUCCESS);
    EXPECT_TRUE(watcher.expect_line("fired"));
    EXPECT_EQ(watcher.wait(), 0);
}

// Runs as another user: reports what it may do, one line per step.
TEST_HELPER(registry_other_user) {
    std::string phase = argv[1];
    Key key;
    if (phase == "empty") {
        // No registry yet, and this user may not make one.
        send_line(status_line(open_key(HKEY_LOCAL_MACHINE, "Software", &key)));
        send_line(status_line(create_key(HKEY_LOCAL_MACHINE, "Software\\Mine", &key)));
        char name[64];
        DWORD chars = sizeof name;
        send_line(status_line(RegEnumKeyExA(HKEY_LOCAL_MACHINE, 0, name, &chars, nullptr, nullptr, nullptr, nullptr)));
        // No hive of its own either, and no way to make one.
        send_line(status_line(open_key(HKEY_CURRENT_USER, "Software", &key)));
        send_line(status_line(create_key(HKEY_CURRENT_USER, "Software", &key)));
        return 0;
    }
    send_line(status_line(open_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &key, KEY_READ)));
    DWORD value = 0;
    send_line(status_line(get_dword(key.get(), "V", &value)));
    send_line("value " + std::to_string(value));
    send_line(status_line(set_dword(key.get(), "V", 2)));
    Key writable;
    send_line(status_line(open_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &writable, KEY_WRITE)));
    send_line(status_line(create_key(HKEY_LOCAL_MACHINE, "Software\\Owned\\New", &writable, KEY_READ)));
    send_line(status_line(set_dword(HKEY_LOCAL_MACHINE, "Direct", 1)));
    send_line(status_line(RegDeleteValueA(HKEY_LOCAL_MACHINE, "Direct")));
    send_line(status_line(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Owned")));
    // An existing key may be "created" for reading.
    send_line(status_line(create_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &writable, KEY_READ)));
    // MAXIMUM_ALLOWED is reading here.
    Key maximum;
    send_line(status_line(open_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &maximum, MAXIMUM_ALLOWED)));
    send_line(status_line(set_dword(maximum.get(), "V", 3)));

    // Notifications and fresh reads work for a reader too.
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Key notify;
    open_key(HKEY_LOCAL_MACHINE, "Software\\Owned", &notify, KEY_NOTIFY);
    send_line(status_line(RegNotifyChangeKeyValue(notify.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE)));
    if (receive_line() != "changed") return 2;
    send_line(WaitForSingleObject(event, 30000) == WAIT_OBJECT_0 ? "fired" : "timeout");
    send_line(status_line(get_dword(key.get(), "V", &value)));
    send_line("value " + std::to_string(value));
    return 0;
}

TEST_F(RegistryCrossProcess, AnotherUserReadsButCannotWrite) {
    int64_t uid = testing_support::unprivileged_uid();
    if (uid < 0) GTEST_SKIP() << "needs the superuser to run a process as another user";
    testing_support::SpawnOptions as_other;
    as_other.uid = uid;
    as_other.gid = uid;

    auto empty = spawn_helper("registry_other_user", {"empty"}, as_other);
    for (LSTATUS status : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NO_MORE_ITEMS, ERROR_FILE_NOT_FOUND,
                           ERROR_ACCESS_DENIED})
        EXPECT_EQ(empty.read_line(), status_line(status));
    EXPECT_EQ(empty.wait(), 0);

    Key owned = make_key(HKEY_LOCAL_MACHINE, "Software\\Owned");
    ASSERT_EQ(set_dword(owned.get(), "V", 1), ERROR_SUCCESS);
    auto child = spawn_helper("registry_other_user", {"full"}, as_other);
    const char* expected[] = {
        "status 0",  "status 0",  "value 1",  "status 5", "status 5", "status 5",
        "status 5",  "status 5",  "status 5", "status 0", "status 0", "status 5",
        "status 0",
    };
    for (const char* line : expected) ASSERT_EQ(child.read_line(), line);
    ASSERT_EQ(set_dword(owned.get(), "V", 42), ERROR_SUCCESS);
    child.write_line("changed");
    EXPECT_EQ(child.read_line(), "fired");
    EXPECT_EQ(child.read_line(), "status 0");
    EXPECT_EQ(child.read_line(), "value 42");
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
