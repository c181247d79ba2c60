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

class RegistrySemantics : public testing_support::MachineTest {};

TEST_F(RegistrySemantics, CreateReportsDispositionAndOpenFindsTheKey) {
    Key key;
    DWORD disposition = 0;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Orkan\\Wireless\\", &key, KEY_ALL_ACCESS, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    Key again;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Orkan\\Wireless", &again, KEY_ALL_ACCESS, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));

    // Every level was made; a missing one is not found.
    Key opened;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan", &opened), ERROR_SUCCESS);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan\\Missing", &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(opened.get(), nullptr);
    // Relative to an open key.
    Key relative;
    ASSERT_EQ(open_key(key.get(), nullptr, &relative), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "Level", 3), ERROR_SUCCESS);
    DWORD level = 0;
    EXPECT_EQ(get_dword(relative.get(), "Level", &level), ERROR_SUCCESS);
    EXPECT_EQ(level, 3u);
}

TEST_F(RegistrySemantics, NamesCompareWithoutCaseAndKeepTheirSpelling) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\MixedCase", &key), ERROR_SUCCESS);
    Key upper;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\MIXEDCASE", &upper, KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "EnableAlerts", 1), ERROR_SUCCESS);
    DWORD value = 0;
    EXPECT_EQ(get_dword(upper.get(), "enablealerts", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);

    // Setting through another spelling replaces the value, keeps its name.
    ASSERT_EQ(set_dword(upper.get(), "ENABLEALERTS", 0), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), std::vector<std::string>{"EnableAlerts"});
    EXPECT_EQ(get_dword(key.get(), "EnableAlerts", &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 0u);

    Key software;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "software", &software), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(software.get()), std::vector<std::string>{"MixedCase"});
    DWORD disposition = 0;
    Key same;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "software\\mixedcase", &same, KEY_ALL_ACCESS, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
}

TEST_F(RegistrySemantics, EveryValueTypeRoundTripsItsBytes) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Types", &key), ERROR_SUCCESS);
    const std::string multi("one\0two\0\0", 9);
    const std::string binary("\x00\x01\xfe\xff\x00", 5);
    const uint64_t qword = 0x1122334455667788ull;
    const DWORD dword = 0xA1B2C3D4;
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
    } cases[] = {
        {"Sz", REG_SZ, std::string("text\0", 5)},
        {"Expand", REG_EXPAND_SZ, std::string("%TEMP%\\x\0", 9)},
        {"Multi", REG_MULTI_SZ, multi},
        {"Dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4)},
        {"Qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&qword), 8)},
        {"Binary", REG_BINARY, binary},
        {"Empty", REG_BINARY, std::string()},
        {"Other", 0x4242, std::string("\x07\x08", 2)},
    };
    for (const Case& c : cases)
        ASSERT_EQ(RegSetValueExA(key.get(), c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.bytes.data()),
                                 DWORD(c.bytes.size())),
                  ERROR_SUCCESS)
            << c.name;
    for (const Case& c : cases) {
        std::string data;
        DWORD type = 0;
        ASSERT_EQ(get_raw(key.get(), c.name, &data, &type), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.bytes) << c.name;
    }
    // Values enumerate in the order they were first set.
    std::vector<std::string> expected;
    for (const Case& c : cases) expected.push_back(c.name);
    ASSERT_EQ(set_dword(key.get(), "Sz", 1), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key.get()), expected);
}

TEST_F(RegistrySemantics, DefaultValueIsTheEmptyOrNullName) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Default", &key), ERROR_SUCCESS);
    ASSERT_EQ(set_string(key.get(), nullptr, "default"), ERROR_SUCCESS);
    std::string data;
    ASSERT_EQ(get_raw(key.get(), "", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("default\0", 8));
    ASSERT_EQ(RegDeleteValueA(key.get(), ""), ERROR_SUCCESS);
    EXPECT_EQ(get_raw(key.get(), nullptr, &data), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistrySemantics, QuerySizesAndMoreData) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Sizes", &key), ERROR_SUCCESS);
    ASSERT_EQ(set_string(key.get(), "Path", "C:\\Orkan"), ERROR_SUCCESS);  // 9 bytes with the zero

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, 9u);
    // Existence check: neither buffer nor size.
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(type, DWORD(REG_SZ));

    char exact[9];
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(exact, "C:\\Orkan");

    // A DWORD read into 4 bytes; a larger value into 4 bytes is too much.
    ASSERT_EQ(set_dword(key.get(), "Small", 7), ERROR_SUCCESS);
    DWORD out = 0;
    EXPECT_EQ(get_dword(key.get(), "Small", &out), ERROR_SUCCESS);
    EXPECT_EQ(out, 7u);
    size = sizeof out;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(&out), &size),
              ERROR_MORE_DATA);

    EXPECT_EQ(RegQueryValueExA(key.get(), "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistrySemantics, UnterminatedStringsComeBackTerminatedWhenThereIsRoom) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Strings", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.get(), "List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0b"), 3),
              ERROR_SUCCESS);

    // The size asked for counts the missing terminator(s).
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExA(key.get(), "Bare", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    char buffer[8];
    memset(buffer, 'x', sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key.get(), "Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(buffer, "abc");

    // Exactly the stored bytes fit: they come back as stored.
    memset(buffer, 'x', sizeof buffer);
    size = 3;
    ASSERT_EQ(RegQueryValueExA(key.get(), "Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(buffer, 4), "abcx");

    // A multi-string gets its list terminator.
    memset(buffer, 'x', sizeof buffer);
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExA(key.get(), "List", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(std::string(buffer, 5), std::string("a\0b\0\0", 5));

    // Binary data is never padded.
    ASSERT_EQ(RegSetValueExA(key.get(), "Bin", 0, REG_BINARY, reinterpret_cast<const BYTE*>("ab"), 2), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExA(key.get(), "Bin", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
}

TEST_F(RegistrySemantics, SetValueChecksSizesOfFixedTypes) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Fixed", &key), ERROR_SUCCESS);
    const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(RegSetValueExA(key.get(), "D", 0, REG_DWORD, eight, 8), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key.get(), "D", 0, REG_DWORD, eight, 2), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key.get(), "D", 0, REG_DWORD_BIG_ENDIAN, eight, 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key.get(), "Q", 0, REG_QWORD, eight, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key.get(), "B", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExA(key.get(), std::string(16384, 'n').c_str(), 0, REG_BINARY, eight, 1),
              ERROR_INVALID_PARAMETER);
    // Nothing of the refused calls was stored.
    EXPECT_TRUE(value_names(key.get()).empty());
    EXPECT_EQ(RegSetValueExA(key.get(), "Q", 0, REG_QWORD, eight, 8), ERROR_SUCCESS);
}

TEST_F(RegistrySemantics, PathsAreCheckedBeforeUse) {
    Key key;
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "\\Software", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\\\X", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, ("Software\\" + std::string(256, 'k')).c_str(), &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(create_key(HKEY_LOCAL_MACHINE, ("Software\\" + std::string(255, 'k')).c_str(), &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, KEY_READ, nullptr, key.out(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, nullptr, 0x8, KEY_READ, nullptr, key.out(), nullptr),
              ERROR_INVALID_PARAMETER);
    // None of the refused paths left a key behind.
    Key software;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software", &software), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(software.get()), std::vector<std::string>{std::string(255, 'k')});
}

TEST_F(RegistrySemantics, EnumerationOrderSizesAndEnd) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Enum", &key), ERROR_SUCCESS);
    for (const char* name : {"beta", "Alpha", "_under", "Gamma"}) {
        Key sub;
        ASSERT_EQ(create_key(key.get(), name, &sub), ERROR_SUCCESS);
    }
    // Sorted by upper-case name, as Windows does ('_' sorts after letters).
    EXPECT_EQ(subkey_names(key.get()), (std::vector<std::string>{"Alpha", "beta", "Gamma", "_under"}));

    char name[8];
    DWORD chars = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    chars = 6;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(chars, 5u);
    EXPECT_STREQ(name, "Alpha");
    chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 4, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key.get(), 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "beta");
    EXPECT_EQ(RegEnumKeyA(key.get(), 1, name, 4), ERROR_MORE_DATA);

    ASSERT_EQ(set_string(key.get(), "LongerName", "0123456789"), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "D", 5), ERROR_SUCCESS);
    char value_name[16];
    DWORD name_chars = 4;
    BYTE data[16];
    DWORD data_size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, value_name, &name_chars, nullptr, &type, data, &data_size),
              ERROR_MORE_DATA);
    name_chars = sizeof value_name;
    data_size = 4;
    EXPECT_EQ(RegEnumValueA(key.get(), 0, value_name, &name_chars, nullptr, &type, data, &data_size),
              ERROR_MORE_DATA);
    EXPECT_EQ(data_size, 11u);
    name_chars = sizeof value_name;
    data_size = sizeof data;
    ASSERT_EQ(RegEnumValueA(key.get(), 1, value_name, &name_chars, nullptr, &type, data, &data_size), ERROR_SUCCESS);
    EXPECT_STREQ(value_name, "D");
    EXPECT_EQ(name_chars, 1u);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(data_size, 4u);
    name_chars = sizeof value_name;
    EXPECT_EQ(RegEnumValueA(key.get(), 2, value_name, &name_chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    DWORD subkeys = 0, max_subkey = 0, values = 0, max_value_name = 0, max_value = 0;
    FILETIME written = {};
    ASSERT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr, &values,
                               &max_value_name, &max_value, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 4u);
    EXPECT_EQ(max_subkey, 6u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(max_value_name, 10u);
    EXPECT_EQ(max_value, 11u);
    EXPECT_NE(written.dwHighDateTime, 0u);
}

TEST_F(RegistrySemantics, ClassIsKeptAndReported) {
    Key key;
    char cls[] = "OrkanClass";
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classy", 0, cls, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                              nullptr),
              ERROR_SUCCESS);
    char out[32];
    DWORD chars = sizeof out;
    ASSERT_EQ(RegQueryInfoKeyA(key.get(), out, &chars, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_STREQ(out, "OrkanClass");
    EXPECT_EQ(chars, 10u);
    chars = 4;
    EXPECT_EQ(RegQueryInfoKeyA(key.get(), out, &chars, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_MORE_DATA);
    Key software;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software", &software), ERROR_SUCCESS);
    char name[32];
    DWORD name_chars = sizeof name;
    chars = sizeof out;
    ASSERT_EQ(RegEnumKeyExA(software.get(), 0, name, &name_chars, nullptr, out, &chars, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(out, "OrkanClass");
}

TEST_F(RegistrySemantics, DeleteKeyRefusesKeysWithSubKeys) {
    Key leaf;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Tree\\Leaf", &leaf), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(leaf.get(), "V", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tree"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tree\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\tree\\leaf"), ERROR_SUCCESS);
    Key gone;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Tree\\Leaf", &gone), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tree"), ERROR_SUCCESS);

    // A key made again under the old name is a new, empty key.
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Tree\\Leaf", &gone), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(get_dword(gone.get(), "V", &v), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistrySemantics, HandlesOfDeletedKeysReportKeyDeleted) {
    Key key, child;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Doomed", &key), ERROR_SUCCESS);
    ASSERT_EQ(create_key(key.get(), "Child", &child), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "V", 1), ERROR_SUCCESS);
    DWORD v = 0;
    ASSERT_EQ(get_dword(key.get(), "V", &v), ERROR_SUCCESS);  // cached now

    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Doomed"), ERROR_SUCCESS);
    EXPECT_EQ(get_dword(key.get(), "V", &v), ERROR_KEY_DELETED);
    EXPECT_EQ(set_dword(key.get(), "V", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(set_dword(child.get(), "V", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(key.get(), "V"), ERROR_KEY_DELETED);
    Key sub;
    EXPECT_EQ(create_key(key.get(), "New", &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(open_key(key.get(), "Child", &sub), ERROR_KEY_DELETED);
    char name[16];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    // The handles still close normally.
    EXPECT_EQ(RegCloseKey(child.release()), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key.release()), ERROR_SUCCESS);
}

TEST_F(RegistrySemantics, DeleteTreeWithAndWithoutSubKeyName) {
    Key top;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Top", &top), ERROR_SUCCESS);
    for (const char* path : {"A\\B\\C", "A\\D", "E"}) {
        Key k;
        ASSERT_EQ(create_key(top.get(), path, &k), ERROR_SUCCESS);
        ASSERT_EQ(set_dword(k.get(), "V", 1), ERROR_SUCCESS);
    }
    ASSERT_EQ(set_dword(top.get(), "Own", 1), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteTreeA(top.get(), "A"), ERROR_SUCCESS);
    EXPECT_EQ(subkey_names(top.get()), std::vector<std::string>{"E"});
    EXPECT_EQ(RegDeleteTreeA(top.get(), "A"), ERROR_FILE_NOT_FOUND);

    // Null: everything below goes, the key and its handle stay.
    EXPECT_EQ(RegDeleteTreeA(top.get(), nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(subkey_names(top.get()).empty());
    EXPECT_TRUE(value_names(top.get()).empty());
    EXPECT_EQ(set_dword(top.get(), "After", 1), ERROR_SUCCESS);

    // The hive roots are not deletable.
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistrySemantics, AccessMasksAreEnforced) {
    Key writer;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Access", &writer), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(writer.get(), "V", 1), ERROR_SUCCESS);

    Key reader;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Access", &reader, KEY_READ), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(get_dword(reader.get(), "V", &v), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(reader.get(), "V", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader.get(), "V"), ERROR_ACCESS_DENIED);
    Key sub;
    EXPECT_EQ(create_key(reader.get(), "Sub", &sub), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(reader.get(), nullptr), ERROR_ACCESS_DENIED);

    Key write_only;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Access", &write_only, KEY_WRITE), ERROR_SUCCESS);
    EXPECT_EQ(get_dword(write_only.get(), "V", &v), ERROR_ACCESS_DENIED);
    char name[16];
    DWORD chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(write_only.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(set_dword(write_only.get(), "V", 3), ERROR_SUCCESS);
    ASSERT_EQ(create_key(write_only.get(), "Sub", &sub, KEY_READ), ERROR_SUCCESS);

    // A sub-key opened through a key with every right has only its own.
    EXPECT_EQ(set_dword(sub.get(), "V", 1), ERROR_ACCESS_DENIED);
    Key query_only;
    ASSERT_EQ(open_key(writer.get(), "Sub", &query_only, KEY_QUERY_VALUE), ERROR_SUCCESS);
    chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(query_only.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    HANDLE event = nullptr;
    EXPECT_EQ(RegNotifyChangeKeyValue(query_only.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, FALSE),
              ERROR_ACCESS_DENIED);

    // Generic rights map to key rights.
    Key generic;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Access", &generic, GENERIC_READ), ERROR_SUCCESS);
    EXPECT_EQ(get_dword(generic.get(), "V", &v), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(generic.get(), "V", 4), ERROR_ACCESS_DENIED);
    // Only what the write-only handle stored is there.
    EXPECT_EQ(v, 3u);

    // Deleting the tree of a key needs DELETE on its handle.
    Key read_write;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Access", &read_write, KEY_READ | KEY_WRITE), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(read_write.get(), nullptr), ERROR_ACCESS_DENIED);
}

TEST_F(RegistrySemantics, InvalidAndClosedHandles) {
    HKEY bogus = reinterpret_cast<HKEY>(uintptr_t(0x1234));
    DWORD v = 0;
    EXPECT_EQ(get_dword(bogus, "V", &v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);

    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Handles", &key), ERROR_SUCCESS);
    HKEY raw = key.release();
    ASSERT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_dword(raw, "V", 1), ERROR_INVALID_HANDLE);

    // Predefined keys need no closing; closing them is harmless.
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    Key again;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Handles", &again), ERROR_SUCCESS);
    // A handle of another kind is not a key.
    HANDLE process_like = GetCurrentProcess();
    EXPECT_EQ(get_dword(static_cast<HKEY>(process_like), "V", &v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(open_key(HKEY_CLASSES_ROOT, "x", &again), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(open_key(reinterpret_cast<HKEY>(uintptr_t(HKEY_CLASSES_ROOT) + 5), "x", &again), ERROR_INVALID_HANDLE);
}

TEST_F(RegistrySemantics, RegistryCallsLeaveTheLastErrorAlone) {
    SetLastError(12345);
    Key key;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Nowhere", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(uintptr_t(0x5678))), ERROR_INVALID_HANDLE);
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Somewhere", &key), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(get_dword(key.get(), "Missing", &v), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 12345u);
}

TEST_F(RegistrySemantics, CurrentUserIsAHiveOfItsOwn) {
    Key user, machine;
    ASSERT_EQ(create_key(HKEY_CURRENT_USER, "Software\\Orkan", &user), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(user.get(), "Who", 1), ERROR_SUCCESS);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan", &machine), ERROR_FILE_NOT_FOUND);

    // HKEY_USERS lists the hive under the user's uid.
    std::string uid = std::to_string(geteuid());
    Key through_users;
    ASSERT_EQ(open_key(HKEY_USERS, (uid + "\\Software\\Orkan").c_str(), &through_users), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(get_dword(through_users.get(), "Who", &v), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(HKEY_USERS, uid.c_str()), ERROR_ACCESS_DENIED);
}

TEST_F(RegistrySemantics, VolatileKeysOnlyHaveVolatileChildren) {
    Key vol;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Volatile", &vol, KEY_ALL_ACCESS, nullptr,
                         REG_OPTION_VOLATILE),
              ERROR_SUCCESS);
    Key child;
    EXPECT_EQ(create_key(vol.get(), "Stable", &child), ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(create_key(vol.get(), "Fleeting", &child, KEY_ALL_ACCESS, nullptr, REG_OPTION_VOLATILE),
              ERROR_SUCCESS);
}

TEST_F(RegistrySemantics, OldStyleOpenAndCreateReturnTheSameKeyForEmptyNames) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Old", &key), ERROR_SUCCESS);
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyA(key.get(), "", &same), ERROR_SUCCESS);
    EXPECT_EQ(same, key.get());
    EXPECT_EQ(RegCreateKeyA(key.get(), nullptr, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, key.get());
    Key sub;
    EXPECT_EQ(RegCreateKeyA(key.get(), "Sub", sub.out()), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(sub.get(), "V", 1), ERROR_SUCCESS);
    Key opened;
    EXPECT_EQ(RegOpenKeyA(key.get(), "sub", opened.out()), ERROR_SUCCESS);
    EXPECT_EQ(set_dword(opened.get(), "V", 2), ERROR_SUCCESS);
}

TEST_F(RegistrySemantics, ClosingEveryKeyLeavesNoHandle) {
    size_t before = w32rt::HandleTable::instance().open_count();
    {
        Key a, b;
        ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Count\\A", &a), ERROR_SUCCESS);
        ASSERT_EQ(open_key(a.get(), nullptr, &b), ERROR_SUCCESS);
        EXPECT_EQ(w32rt::HandleTable::instance().open_count(), before + 2);
    }
    EXPECT_EQ(w32rt::HandleTable::instance().open_count(), before);
}

TEST_F(RegistrySemantics, FlushSucceedsAndKeepsData) {
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Flush", &key), ERROR_SUCCESS);
    ASSERT_EQ(set_dword(key.get(), "V", 9), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(key.get()), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(get_dword(key.get(), "V", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 9u);
}

TEST_F(RegistrySemantics, ConcurrentReadersNeverSeeAValueGoBack) {
    constexpr DWORD kWrites = 300;
    Key key;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Counter", &key), ERROR_SUCCESS);
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
