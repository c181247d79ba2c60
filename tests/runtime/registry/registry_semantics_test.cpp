// What the registry functions do within one process: keys, values, data
// sizes, enumeration, deletion, handles and access rights.
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/handle_table.h"
#include "registry_test_util.h"

using namespace registry_test;

namespace {

using Names = std::vector<std::string>;

class RegistrySemantics : public testing_support::MachineTest {
protected:
    static Key make(const std::string& path) { return make_key(HKEY_LOCAL_MACHINE, "Software\\" + path); }
};

TEST_F(RegistrySemantics, CreateAndOpenFindKeysWithoutRegardToCase) {
    Key key, opened;
    DWORD disposition = 0;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Orkan\\Wireless\\", &key, KEY_ALL_ACCESS, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\orkan\\WIRELESS", &opened, KEY_ALL_ACCESS, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    // Every level was made; a missing one is not found.
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan\\Missing", &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(opened.get(), nullptr);
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "software\\ORKAN", &opened), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(opened.get()), Names{"Wireless"});
    // Relative to an open key; value names without case, keeping the first
    // spelling.
    ASSERT_EQ(open_key(key.get(), nullptr, &opened, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "EnableAlerts", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(opened.get(), "ENABLEALERTS", 3), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), Names{"EnableAlerts"});
    EXPECT_EQ(dword_of(key.get(), "enablealerts"), 3u);
}

TEST_F(RegistrySemantics, EveryValueTypeRoundTripsItsBytes) {
    Key key = make("Types");
    const uint64_t qword = 0x1122334455667788ull;
    const DWORD dword = 0xA1B2C3D4;
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
    } cases[] = {
        {"Sz", REG_SZ, std::string("text\0", 5)},
        {"Expand", REG_EXPAND_SZ, std::string("%TEMP%\\x\0", 9)},
        {"Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
        {"Dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4)},
        {"Qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&qword), 8)},
        {"Binary", REG_BINARY, std::string("\x00\x01\xfe\xff\x00", 5)},
        {"Empty", REG_BINARY, std::string()},
        {"Other", 0x4242, std::string("\x07\x08", 2)},
    };
    Names expected;
    for (const Case& c : cases) {
        ASSERT_EQ(set_bytes(key.get(), c.name, c.type, c.bytes), ERROR_SUCCESS) << c.name;
        expected.push_back(c.name);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string data;
        DWORD type = 0;
        ASSERT_EQ(get_raw(key.get(), c.name, &data, &type), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.bytes);
    }
    // Values enumerate in the order they were first set.
    ASSERT_EQ(set_dword(key.get(), "Sz", 1), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), expected);

    // The default value is the empty or the null name.
    ASSERT_EQ(set_string(key.get(), nullptr, "default"), ERROR_SUCCESS);
    std::string data;
    ASSERT_EQ(get_raw(key.get(), "", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("default\0", 8));
    ASSERT_EQ(RegDeleteValueA(key.get(), ""), ERROR_SUCCESS);
    EXPECT_EQ(get_raw(key.get(), nullptr, &data), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistrySemantics, QuerySizesMoreDataAndMissingTerminators) {
    Key key = make("Sizes");
    ASSERT_EQ(set_string(key.get(), "Path", "C:\\Orkan"), ERROR_SUCCESS);  // 9 bytes with the zero
    ASSERT_EQ(set_bytes(key.get(), "Bare", REG_SZ, "abc"), ERROR_SUCCESS);
    ASSERT_EQ(set_bytes(key.get(), "List", REG_MULTI_SZ, std::string("a\0b", 3)), ERROR_SUCCESS);
    ASSERT_EQ(set_bytes(key.get(), "Bin", REG_BINARY, "ab"), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "Small", 7), ERROR_SUCCESS);
    // Strings stored without their terminator(s) get them when there is
    // room, and the size asked for counts them; binary data never.
    struct Case {
        const char* name;
        int capacity;  // -1: no buffer
        LSTATUS status;
        DWORD type;
        DWORD size;
        std::string buffer;  // the first capacity + 1 bytes (all 'x' before)
    } cases[] = {
        {"Path", -1, ERROR_SUCCESS, REG_SZ, 9, ""},
        {"Path", 4, ERROR_MORE_DATA, REG_SZ, 9, ""},
        {"Path", 9, ERROR_SUCCESS, REG_SZ, 9, std::string("C:\\Orkan\0x", 10)},
        {"Bare", -1, ERROR_SUCCESS, REG_SZ, 4, ""},
        {"Bare", 8, ERROR_SUCCESS, REG_SZ, 4, std::string("abc\0xxxxx", 9)},
        {"Bare", 3, ERROR_SUCCESS, REG_SZ, 3, "abcx"},  // exactly the stored bytes: as stored
        {"List", 8, ERROR_SUCCESS, REG_MULTI_SZ, 5, std::string("a\0b\0\0xxxx", 9)},
        {"Bin", -1, ERROR_SUCCESS, REG_BINARY, 2, ""},
        {"Small", 4, ERROR_SUCCESS, REG_DWORD, 4, std::string("\x07\0\0\0x", 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " into " + std::to_string(c.capacity));
        char buffer[16];
        memset(buffer, 'x', sizeof buffer);
        DWORD type = 0, size = c.capacity < 0 ? 0 : DWORD(c.capacity);
        BYTE* data = c.capacity < 0 ? nullptr : reinterpret_cast<BYTE*>(buffer);
        EXPECT_EQ(RegQueryValueExA(key.get(), c.name, nullptr, &type, data, &size), c.status);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.size);
        if (!c.buffer.empty()) {
            EXPECT_EQ(std::string(buffer, size_t(c.capacity) + 1), c.buffer);
        }
    }
    // Existence check: neither buffer nor size.
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    DWORD size = 16, reserved = 0;
    BYTE buffer[16];
    EXPECT_EQ(RegQueryValueExA(key.get(), "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistrySemantics, RefusedValuesAndPathsStoreNothing) {
    Key key = make("Fixed");
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::string long_name(16384, 'n');
    struct Case {
        const char* name;
        DWORD type;
        const BYTE* data;
        DWORD size;
        LSTATUS status;
    } values[] = {
        {"D", REG_DWORD, eight, 8, ERROR_INVALID_PARAMETER},
        {"D", REG_DWORD, eight, 2, ERROR_INVALID_PARAMETER},
        {"D", REG_DWORD_BIG_ENDIAN, eight, 3, ERROR_INVALID_PARAMETER},
        {"Q", REG_QWORD, eight, 4, ERROR_INVALID_PARAMETER},
        {"B", REG_BINARY, nullptr, 4, ERROR_NOACCESS},
        {long_name.c_str(), REG_BINARY, eight, 1, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : values)
        EXPECT_EQ(RegSetValueExA(key.get(), c.name, 0, c.type, c.data, c.size), c.status) << c.name[0] << c.size;
    EXPECT_TRUE(value_names(key.get()).empty());
    EXPECT_EQ(RegSetValueExA(key.get(), "Q", 0, REG_QWORD, eight, 8), ERROR_SUCCESS);

    const std::string k255(255, 'k');
    struct PathCase {
        std::string path;
        DWORD options;
        LSTATUS status;
    } paths[] = {
        {"\\Software", 0, ERROR_BAD_PATHNAME},
        {"Software\\\\X", 0, ERROR_BAD_PATHNAME},
        {"Software\\" + k255 + "k", 0, ERROR_INVALID_PARAMETER},
        {"Software\\Y", 0x8, ERROR_INVALID_PARAMETER},
        {"Software\\" + k255, 0, ERROR_SUCCESS},
    };
    for (const PathCase& c : paths) {
        Key made;
        EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, c.path.c_str(), &made, KEY_READ, nullptr, c.options), c.status)
            << c.path.substr(0, 12);
    }
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_READ, nullptr, key.out(), nullptr),
              ERROR_INVALID_PARAMETER);
    Key software;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software", &software), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(software.get()), (Names{"Fixed", k255}));
}

TEST_F(RegistrySemantics, EnumerationOrderSizesClassesAndEnd) {
    Key key = make("Enum");
    for (const char* name : {"beta", "Alpha", "_under"}) make_key(key.get(), name);
    Key classy;
    char cls[] = "OrkanClass";
    ASSERT_EQ(RegCreateKeyExA(key.get(), "Gamma", 0, cls, 0, KEY_ALL_ACCESS, nullptr, classy.out(), nullptr),
              ERROR_SUCCESS);
    // Sorted by upper-case name, as Windows does ('_' sorts after letters).
    EXPECT_EQ(subkey_names(key.get()), (Names{"Alpha", "beta", "Gamma", "_under"}));
    char name[16], out[16];
    DWORD chars = 5, class_chars = sizeof out;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(chars, 5u);
    chars = 6;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(chars, 5u);
    EXPECT_STREQ(name, "Alpha");
    chars = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key.get(), 2, name, &chars, nullptr, out, &class_chars, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(out, "OrkanClass");
    EXPECT_EQ(RegEnumKeyA(key.get(), 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "beta");
    EXPECT_EQ(RegEnumKeyA(key.get(), 1, name, 4), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyA(key.get(), 4, name, sizeof name), ERROR_NO_MORE_ITEMS);

    ASSERT_EQ(set_string(key.get(), "LongerName", "0123456789"), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "D", 5), ERROR_SUCCESS);
    BYTE data[16];
    DWORD type = 0, data_size = sizeof data;
    chars = 4;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &chars, nullptr, &type, data, &data_size), ERROR_MORE_DATA);
    chars = sizeof name;
    data_size = 4;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &chars, nullptr, &type, data, &data_size), ERROR_MORE_DATA);
    EXPECT_EQ(data_size, 11u);
    chars = sizeof name;
    data_size = sizeof data;
    ASSERT_EQ(RegEnumValueA(key.get(), 1, name, &chars, nullptr, &type, data, &data_size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "D");
    EXPECT_EQ(std::vector<DWORD>({chars, type, data_size}), std::vector<DWORD>({1, REG_DWORD, 4}));
    EXPECT_EQ(RegEnumValueA(key.get(), 2, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    DWORD subkeys = 0, max_subkey = 0, max_class = 0, values = 0, max_value_name = 0, max_value = 0;
    FILETIME written = {};
    ASSERT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, &max_subkey, &max_class, &values,
                               &max_value_name, &max_value, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<DWORD>({subkeys, max_subkey, max_class, values, max_value_name, max_value}),
              std::vector<DWORD>({4, 6, 10, 2, 10, 11}));
    EXPECT_NE(written.dwHighDateTime, 0u);
    // A key's own class, and a buffer too small for it.
    class_chars = sizeof out;
    auto query_class = [&] {
        return RegQueryInfoKeyA(classy.get(), out, &class_chars, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr);
    };
    ASSERT_EQ(query_class(), ERROR_SUCCESS);
    EXPECT_STREQ(out, "OrkanClass");
    EXPECT_EQ(class_chars, 10u);
    class_chars = 4;
    EXPECT_EQ(query_class(), ERROR_MORE_DATA);
}

TEST_F(RegistrySemantics, DeleteKeyAndDeleteTree) {
    Key top = make("Top");
    for (const char* path : {"A\\B\\C", "A\\D", "E"})
        ASSERT_EQ(set_dword(make_key(top.get(), path).get(), "V", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(top.get(), "Own", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(top.get(), "A"), ERROR_ACCESS_DENIED);  // it has sub-keys
    EXPECT_EQ(RegDeleteKeyA(top.get(), "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(top.get(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegDeleteKeyA(top.get(), "a\\b\\c"), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(open_key(top.get(), "A\\B\\C", &gone), ERROR_FILE_NOT_FOUND);
    // A key made again under the old name is a new, empty key.
    EXPECT_EQ(dword_of(make_key(top.get(), "A\\B\\C").get(), "V"), std::nullopt);

    EXPECT_EQ(RegDeleteTreeA(top.get(), "A"), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(top.get()), Names{"E"});
    EXPECT_EQ(RegDeleteTreeA(top.get(), "A"), ERROR_FILE_NOT_FOUND);
    // Null: everything below goes, the key and its handle stay.
    EXPECT_EQ(RegDeleteTreeA(top.get(), nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(subkey_names(top.get()).empty());
    EXPECT_TRUE(value_names(top.get()).empty());
    EXPECT_EQ(set_dword(top.get(), "After", 1), ERROR_SUCCESS);
    // The hive roots are not deletable.
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistrySemantics, HandlesOfDeletedKeysReportKeyDeleted) {
    Key key = make("Doomed"), child = make_key(key.get(), "Child");
    ASSERT_EQ(set_dword(key.get(), "V", 1), ERROR_SUCCESS);
    ASSERT_EQ(dword_of(key.get(), "V"), 1u);  // cached now

    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Doomed"), ERROR_SUCCESS);
    Key sub;
    char name[16];
    DWORD chars = sizeof name, v = 0;
    const LSTATUS got[] = {
        get_dword(key.get(), "V", &v),
        set_dword(key.get(), "V", 2),
        set_dword(child.get(), "V", 2),
        RegDeleteValueA(key.get(), "V"),
        create_key(key.get(), "New", &sub),
        open_key(key.get(), "Child", &sub),
        RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
        RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr),
    };
    for (size_t op = 0; op < std::size(got); ++op) EXPECT_EQ(got[op], ERROR_KEY_DELETED) << "operation " << op;
    // The handles still close normally.
    EXPECT_EQ(RegCloseKey(child.release()), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key.release()), ERROR_SUCCESS);
}

TEST_F(RegistrySemantics, AccessMasksAreEnforced) {
    Key writer = make("Access"), sub = make_key(writer.get(), "Sub");
    ASSERT_EQ(set_dword(writer.get(), "Keep", 1), ERROR_SUCCESS);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    constexpr LSTATUS OK = ERROR_SUCCESS, NO = ERROR_ACCESS_DENIED;
    // Query, set, delete a value, create a sub-key, enumerate, notify, and
    // delete the whole tree, through a handle opened with these rights.
    struct Case {
        REGSAM sam;
        LSTATUS expected[7];
    } cases[] = {
        {KEY_READ, {OK, NO, NO, NO, OK, OK, NO}},
        {GENERIC_READ, {OK, NO, NO, NO, OK, OK, NO}},
        {KEY_WRITE, {NO, OK, OK, OK, NO, NO, NO}},
        {KEY_QUERY_VALUE, {OK, NO, NO, NO, NO, NO, NO}},
        {KEY_READ | KEY_WRITE, {OK, OK, OK, OK, OK, OK, NO}},  // deleting a tree needs DELETE
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sam);
        RegDeleteValueA(writer.get(), "Probe");
        RegDeleteKeyA(writer.get(), "New");
        ASSERT_EQ(set_dword(writer.get(), "Gone", 1), ERROR_SUCCESS);
        Key key, made;
        ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Access", &key, c.sam), ERROR_SUCCESS);
        DWORD v = 0;
        char name[16];
        DWORD chars = sizeof name;
        const LSTATUS got[] = {
            get_dword(key.get(), "Keep", &v),
            set_dword(key.get(), "Probe", 1),
            RegDeleteValueA(key.get(), "Gone"),
            create_key(key.get(), "New", &made, KEY_READ),
            RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE),
            RegDeleteTreeA(key.get(), nullptr),
        };
        for (int op = 0; op < 7; ++op) EXPECT_EQ(got[op], c.expected[op]) << "operation " << op;
        // What was refused changed nothing.
        EXPECT_EQ(dword_of(writer.get(), "Probe").has_value(), c.expected[1] == OK);
        EXPECT_EQ(dword_of(writer.get(), "Gone").has_value(), c.expected[2] != OK);
        EXPECT_EQ(subkey_names(writer.get()).size(), c.expected[3] == OK ? 2u : 1u);
        // A sub-key made through a handle with every right has only its own.
        if (made.get()) {
            EXPECT_EQ(set_dword(made.get(), "V", 1), ERROR_ACCESS_DENIED);
        }
    }
    CloseHandle(event);
}

TEST_F(RegistrySemantics, InvalidClosedAndPredefinedHandles) {
    size_t open_before = w32rt::HandleTable::instance().open_count();
    HKEY bogus = reinterpret_cast<HKEY>(uintptr_t(0x1234));
    DWORD v = 0;
    EXPECT_EQ(get_dword(bogus, "V", &v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);

    Key key = make("Handles");
    Key again;
    ASSERT_EQ(open_key(key.get(), nullptr, &again), ERROR_SUCCESS);
    EXPECT_EQ(w32rt::HandleTable::instance().open_count(), open_before + 2);
    HKEY raw = key.release();
    ASSERT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_dword(raw, "V", 1), ERROR_INVALID_HANDLE);
    again.reset();
    EXPECT_EQ(w32rt::HandleTable::instance().open_count(), open_before);

    // Predefined keys need no closing; closing them is harmless.
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Handles", &again), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    // A handle of another kind is not a key.
    EXPECT_EQ(get_dword(static_cast<HKEY>(GetCurrentProcess()), "V", &v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(open_key(HKEY_CLASSES_ROOT, "x", &again), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(open_key(reinterpret_cast<HKEY>(uintptr_t(HKEY_CLASSES_ROOT) + 5), "x", &again), ERROR_INVALID_HANDLE);
}

TEST_F(RegistrySemantics, RegistryCallsLeaveTheLastErrorAlone) {
    SetLastError(12345);
    Key key;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Nowhere", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t(0x5678))), ERROR_INVALID_HANDLE);
    key = make("Somewhere");
    EXPECT_EQ(dword_of(key.get(), "Missing"), std::nullopt);
    EXPECT_EQ(GetLastError(), 12345u);
}

TEST_F(RegistrySemantics, CurrentUserIsAHiveOfItsOwn) {
    Key user = make_key(HKEY_CURRENT_USER, "Software\\Orkan"), machine;
    ASSERT_EQ(set_dword(user.get(), "Who", 1), ERROR_SUCCESS);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan", &machine), ERROR_FILE_NOT_FOUND);

    // HKEY_USERS lists the hive under the user's uid.
    std::string uid = std::to_string(geteuid());
    Key through_users;
    ASSERT_EQ(open_key(HKEY_USERS, (uid + "\\Software\\Orkan").c_str(), &through_users), ERROR_SUCCESS);
    EXPECT_EQ(dword_of(through_users.get(), "Who"), 1u);
    EXPECT_EQ(RegDeleteTreeA(HKEY_USERS, uid.c_str()), ERROR_ACCESS_DENIED);
}

TEST_F(RegistrySemantics, VolatileKeysAndOldStyleCalls) {
    // An empty name gives back the key itself, no new handle.
    Key key = make("Old");
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyA(key.get(), "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, key.get());
    EXPECT_EQ(RegCreateKeyA(key.get(), nullptr, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, key.get());
    Key sub, opened;
    EXPECT_EQ(RegCreateKeyA(key.get(), "Sub", sub.out()), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(sub.get(), "V", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(key.get(), "sub", opened.out()), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(opened.get(), "V", 2), ERROR_SUCCESS);

    Key vol, child;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Volatile", &vol, KEY_ALL_ACCESS, nullptr, REG_OPTION_VOLATILE),
              ERROR_SUCCESS);
    EXPECT_EQ(create_key(vol.get(), "Stable", &child), ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(create_key(vol.get(), "Fleeting", &child, KEY_ALL_ACCESS, nullptr, REG_OPTION_VOLATILE), ERROR_SUCCESS);
}

TEST_F(RegistrySemantics, ConcurrentReadersNeverSeeAValueGoBack) {
    constexpr DWORD kWrites = 300;
    Key key = make("Counter");
    ASSERT_EQ(set_dword(key.get(), "V", 0), ERROR_SUCCESS);
    std::atomic<bool> failed{false};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            DWORD last = 0;
            while (last < kWrites && !failed) {
                HKEY k = nullptr;
                DWORD v = 0;
                if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Counter", 0, KEY_READ, &k) != ERROR_SUCCESS ||
                    get_dword(k, "V", &v) != ERROR_SUCCESS || v < last)
                    failed = true;
                RegCloseKey(k);
                last = v;
            }
        });
    }
    for (DWORD i = 1; i <= kWrites && !failed; ++i) {
        LSTATUS status = set_dword(key.get(), "V", i);
        EXPECT_EQ(status, ERROR_SUCCESS);
        if (status != ERROR_SUCCESS) failed = true;
    }
    for (std::thread& t : readers) t.join();
    EXPECT_FALSE(failed);
}

}  // namespace
