// What the registry functions do within one process: keys, values, data
// sizes, enumeration, deletion, handles and access rights.
#include <string.h>
#include <unistd.h>

#include <array>
#include <tuple>
#include <vector>

#include "registry_test_util.h"

using namespace registry_test;

namespace {

class RegistrySemantics : public testing_support::MachineTest {
protected:
    static Key make(const std::string& path) { return make_key(HKEY_LOCAL_MACHINE, "Software\\" + path); }
};

TEST_F(RegistrySemantics, KeyAndValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    Key key, opened;
    DWORD disposition = 0;
    for (const char* path : {"Software\\Orkan\\Wireless\\", "SOFTWARE\\orkan\\WIRELESS"}) {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, opened.out(),
                                  &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, DWORD(key.get() ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY));
        if (!key.get()) key = std::move(opened);
    }
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "software\\ORKAN", &opened), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(opened.get()), Names{"Wireless"});
    ASSERT_EQ(open_key(key.get(), nullptr, &opened, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "EnableAlerts", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(opened.get(), "ENABLEALERTS", 3), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), Names{"EnableAlerts"});
    EXPECT_EQ(dword_of(key.get(), "enablealerts"), 3u);
    // The default value is the null or the empty name.
    ASSERT_EQ(set_dword(key.get(), nullptr, 7), ERROR_SUCCESS);
    EXPECT_EQ(dword_of(key.get(), ""), 7u);
}

TEST_F(RegistrySemantics, QuerySizesMoreDataAndMissingTerminators) {
    Key key = make("Sizes");
    ASSERT_EQ(set_string(key.get(), "Path", "C:\\Orkan"), ERROR_SUCCESS);  // 9 bytes with the zero
    ASSERT_EQ(set_bytes(key.get(), "Bare", REG_SZ, "abc"), ERROR_SUCCESS);
    ASSERT_EQ(set_bytes(key.get(), "List", REG_MULTI_SZ, std::string("a\0b", 3)), ERROR_SUCCESS);
    ASSERT_EQ(set_bytes(key.get(), "None", REG_BINARY, ""), ERROR_SUCCESS);
    // Strings stored without their terminator(s) get them when there is
    // room, and the size asked for counts them; binary data never.
    // Name, capacity (-1: no buffer), status, size, and the first capacity + 1
    // bytes of the buffer (all 'x' before).
    const std::tuple<const char*, int, LSTATUS, DWORD, std::string> cases[] = {
        {"Path", -1, ERROR_SUCCESS, 9, ""},
        {"Path", 4, ERROR_MORE_DATA, 9, ""},
        {"Path", 9, ERROR_SUCCESS, 9, std::string("C:\\Orkan\0x", 10)},
        {"Bare", -1, ERROR_SUCCESS, 4, ""},
        {"Bare", 8, ERROR_SUCCESS, 4, std::string("abc\0xxxxx", 9)},
        {"Bare", 3, ERROR_SUCCESS, 3, "abcx"},  // exactly the stored bytes: as stored
        {"List", 8, ERROR_SUCCESS, 5, std::string("a\0b\0\0xxxx", 9)},
        {"None", 2, ERROR_SUCCESS, 0, "xxx"},
    };
    for (const auto& [name, capacity, status, expected_size, expected_buffer] : cases) {
        SCOPED_TRACE(std::string(name) + " into " + std::to_string(capacity));
        char buffer[16];
        memset(buffer, 'x', sizeof buffer);
        DWORD size = capacity < 0 ? 0 : DWORD(capacity);
        BYTE* data = capacity < 0 ? nullptr : reinterpret_cast<BYTE*>(buffer);
        EXPECT_EQ(RegQueryValueExA(key.get(), name, nullptr, nullptr, data, &size), status);
        EXPECT_EQ(size, expected_size);
        EXPECT_EQ(expected_buffer.empty() ? "" : std::string(buffer, size_t(capacity) + 1), expected_buffer);
    }
    DWORD size = 16, reserved = 0;
    BYTE buffer[16];
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistrySemantics, RefusedValuesAndPathsStoreNothing) {
    Key key = make("Fixed");
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::string long_name(16384, 'n');
    EXPECT_EQ(RegSetValueExA(key.get(), "D", 0, REG_DWORD, eight, 8), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key.get(), "Q", 0, REG_QWORD, eight, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key.get(), "B", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExA(key.get(), long_name.c_str(), 0, REG_BINARY, eight, 1), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(value_names(key.get()).empty());

    const std::string k255(255, 'k');
    const std::pair<std::string, LSTATUS> paths[] = {
        {"\\Software", ERROR_BAD_PATHNAME},
        {"Software\\\\X", ERROR_BAD_PATHNAME},
        {"Software\\" + k255 + "k", ERROR_INVALID_PARAMETER},
        {"Software\\" + k255, ERROR_SUCCESS},
    };
    for (const auto& [path, status] : paths) {
        Key made;
        EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, path.c_str(), &made, KEY_READ), status) << path.substr(0, 12);
    }
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Y", &key, KEY_READ, 0x8), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, nullptr, &key, KEY_READ), ERROR_INVALID_PARAMETER);
    Key software;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software", &software), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(software.get()), (Names{"Fixed", k255}));
}

TEST_F(RegistrySemantics, EnumerationOrderAndSizes) {
    Key key = make("Enum");
    for (const char* name : {"beta", "Alpha", "_under", "Gamma"}) make_key(key.get(), name);
    // Sorted by upper-case name, as Windows does ('_' sorts after letters).
    EXPECT_EQ(subkey_names(key.get()), (Names{"Alpha", "beta", "Gamma", "_under"}));
    char name[16];
    DWORD chars = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(chars, 5u);

    // Values enumerate in the order they were first set.
    ASSERT_EQ(set_dword(key.get(), "LongerName", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "D", 5), ERROR_SUCCESS);
    ASSERT_EQ(set_string(key.get(), "LongerName", "0123456789"), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), (Names{"LongerName", "D"}));
    BYTE data[16];
    DWORD type = 0, data_size = 4;
    chars = sizeof name;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, name, &chars, nullptr, &type, data, &data_size), ERROR_MORE_DATA);
    EXPECT_EQ(std::vector<DWORD>({type, data_size}), std::vector<DWORD>({REG_SZ, 11}));

    DWORD subkeys = 0, max_subkey = 0, max_class = 0, values = 0, max_value_name = 0, max_value = 0;
    FILETIME written = {};
    ASSERT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, &max_subkey, &max_class, &values,
                               &max_value_name, &max_value, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(std::vector<DWORD>({subkeys, max_subkey, max_class, values, max_value_name, max_value}),
              std::vector<DWORD>({4, 6, 0, 2, 10, 11}));
    EXPECT_NE(written.dwHighDateTime, 0u);
}

TEST_F(RegistrySemantics, DeletedKeysAndTheirHandles) {
    Key top = make("Top");
    for (const char* path : {"A\\B\\C", "A\\D", "E"})
        ASSERT_EQ(set_dword(make_key(top.get(), path).get(), "V", 1), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(top.get(), "Own", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(top.get(), "A"), ERROR_ACCESS_DENIED);  // it has sub-keys
    EXPECT_EQ(RegDeleteKeyA(top.get(), "Missing"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegDeleteKeyA(top.get(), "a\\b\\c"), ERROR_SUCCESS);
    // A key made again under the old name is a new, empty key.
    EXPECT_EQ(dword_of(make_key(top.get(), "A\\B\\C").get(), "V"), std::nullopt);

    // Handles of a deleted key and of keys below it only close.
    Key a = make_key(top.get(), "A"), d = make_key(top.get(), "A\\D"), sub;
    ASSERT_EQ(dword_of(d.get(), "V"), 1u);  // cached now
    EXPECT_EQ(RegDeleteTreeA(top.get(), "A"), ERROR_SUCCESS);
    char name[16];
    DWORD chars = sizeof name, v = 0;
    const LSTATUS got[] = {
        get_dword(d.get(), "V", &v),
        set_dword(d.get(), "V", 2),
        set_dword(a.get(), "V", 2),
        create_key(a.get(), "New", &sub),
        open_key(a.get(), "D", &sub),
        RegEnumKeyExA(a.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
    };
    for (size_t op = 0; op < std::size(got); ++op) EXPECT_EQ(got[op], ERROR_KEY_DELETED) << "operation " << op;
    EXPECT_EQ(RegCloseKey(a.release()), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(top.get()), Names{"E"});

    // Null: everything below goes, the key and its handle stay.
    EXPECT_EQ(RegDeleteTreeA(top.get(), nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(subkey_names(top.get()).empty());
    EXPECT_TRUE(value_names(top.get()).empty());
    EXPECT_EQ(set_dword(top.get(), "After", 1), ERROR_SUCCESS);
    // The hive roots are not deletable.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistrySemantics, AccessMasksAreEnforced) {
    Key writer = make("Access"), sub = make_key(writer.get(), "Sub");
    ASSERT_EQ(set_dword(writer.get(), "Keep", 1), ERROR_SUCCESS);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    constexpr LSTATUS OK = ERROR_SUCCESS, NO = ERROR_ACCESS_DENIED;
    // Query, set, delete a value, create a sub-key, enumerate, notify, and
    // delete the whole tree, through a handle opened with these rights.
    const std::pair<REGSAM, std::array<LSTATUS, 7>> cases[] = {
        {KEY_READ, {OK, NO, NO, NO, OK, OK, NO}},
        {GENERIC_READ, {OK, NO, NO, NO, OK, OK, NO}},
        {KEY_WRITE, {NO, OK, OK, OK, NO, NO, NO}},
        {KEY_QUERY_VALUE, {OK, NO, NO, NO, NO, NO, NO}},
        {KEY_READ | KEY_WRITE, {OK, OK, OK, OK, OK, OK, NO}},  // deleting a tree needs DELETE
    };
    for (const auto& [sam, expected] : cases) {
        SCOPED_TRACE(sam);
        RegDeleteValueA(writer.get(), "Probe");
        RegDeleteKeyA(writer.get(), "New");
        ASSERT_EQ(set_dword(writer.get(), "Gone", 1), ERROR_SUCCESS);
        Key key, made;
        ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Access", &key, sam), ERROR_SUCCESS);
        DWORD v = 0;
        char name[16];
        DWORD chars = sizeof name;
        const std::array<LSTATUS, 7> got = {
            get_dword(key.get(), "Keep", &v),
            set_dword(key.get(), "Probe", 1),
            RegDeleteValueA(key.get(), "Gone"),
            create_key(key.get(), "New", &made, KEY_READ),
            RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
            RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE),
            RegDeleteTreeA(key.get(), nullptr),
        };
        EXPECT_EQ(got, expected);
        // What was refused changed nothing.
        EXPECT_EQ(dword_of(writer.get(), "Probe").has_value(), expected[1] == OK);
        EXPECT_EQ(dword_of(writer.get(), "Gone").has_value(), expected[2] != OK);
        EXPECT_EQ(subkey_names(writer.get()).size(), expected[3] == OK ? 2u : 1u);
        // A sub-key made through a handle with every right has only its own.
        if (made.get()) {
            EXPECT_EQ(set_dword(made.get(), "V", 1), ERROR_ACCESS_DENIED);
        }
    }
    CloseHandle(event);
}

TEST_F(RegistrySemantics, BadHandlesPredefinedKeysAndTheLastErrorLeftAlone) {
    SetLastError(12345);
    DWORD v = 0;
    EXPECT_EQ(get_dword(reinterpret_cast<HKEY>(uintptr_t(0x1234)), "V", &v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    // A handle of another kind is not a key.
    EXPECT_EQ(get_dword(static_cast<HKEY>(GetCurrentProcess()), "V", &v), ERROR_INVALID_HANDLE);
    Key key = make("Handles"), again;
    EXPECT_EQ(dword_of(key.get(), "Missing"), std::nullopt);
    HKEY raw = key.release();
    ASSERT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_dword(raw, "V", 1), ERROR_INVALID_HANDLE);

    // Predefined keys need no closing; closing them is harmless.
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Handles", &again), ERROR_SUCCESS);
    EXPECT_EQ(open_key(HKEY_CLASSES_ROOT, "x", &again), ERROR_NOT_SUPPORTED);
    // The current user's hive is HKEY_USERS\<uid>, apart from the machine's.
    ASSERT_EQ(set_dword(make_key(HKEY_CURRENT_USER, "Software\\Orkan").get(), "Who", 1), ERROR_SUCCESS);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan", &again), ERROR_FILE_NOT_FOUND);
    std::string uid = std::to_string(geteuid());
    ASSERT_EQ(open_key(HKEY_USERS, (uid + "\\Software\\Orkan").c_str(), &again), ERROR_SUCCESS);
    EXPECT_EQ(dword_of(again.get(), "Who"), 1u);
    EXPECT_EQ(RegDeleteTreeA(HKEY_USERS, uid.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), 12345u);
}

}  // namespace
