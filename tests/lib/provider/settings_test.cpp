// Registry access (CRegApi, CRegistryEx) and the database path setting
// against the registry of a fresh machine root: typed reads, values of the
// wrong shape, defaults and bounds. The other settings are read through
// their users (the alert switch, the event queue's capacity).
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"
#include "test_support.h"

namespace {

constexpr char kTestKey[] = "Software\\Vanta\\Wireless\\Test";

class SettingsTest : public testing_support::MachineTest {
protected:
    // Writes a value with the plain registry functions, creating the key.
    static void Put(const char* path, const char* name, DWORD type, const std::string& data) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static std::string Dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), 4); }
};

}  // namespace

TEST_F(SettingsTest, RegApiReadsTypedValuesAndRefusesValuesOfTheWrongShape) {
    CRegApi regApi;
    EXPECT_EQ(regApi.CloseKey(), ERROR_SUCCESS) << "closing nothing is harmless";
    EXPECT_NE(regApi.OpenKey(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ), ERROR_SUCCESS) << "missing key";
    DWORD disposition = 0;
    ASSERT_EQ(regApi.CreateKey(HKEY_LOCAL_MACHINE, kTestKey, 0, traceapi::kKeyReadWrite, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    EXPECT_EQ(regApi.SetValue("Number", DWORD(0xA5A5)), ERROR_SUCCESS);
    EXPECT_EQ(regApi.SetValue("Text", REG_SZ, "hello"), ERROR_SUCCESS);
    EXPECT_EQ(regApi.SetValue("Multi", REG_MULTI_SZ, "a\0bc\0"), ERROR_SUCCESS);
    Put(kTestKey, "Five", REG_BINARY, "12345");
    Put(kTestKey, "Unterminated", REG_SZ, "abcd");

    DWORD number = 0;
    EXPECT_EQ(regApi.QueryValue("Number", number), ERROR_SUCCESS);
    EXPECT_EQ(number, 0xA5A5u);
    for (const char* name : {"Text", "Five", "Missing"}) EXPECT_NE(regApi.QueryValue(name, number), ERROR_SUCCESS);
    EXPECT_EQ(number, 0xA5A5u) << "a failed read leaves the value alone";

    char text[8];
    DWORD size = sizeof text;
    EXPECT_EQ(regApi.QueryValue("Text", text, size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(size, 6u) << "the size counts the zero";
    size = sizeof text;
    EXPECT_NE(regApi.QueryValue("Number", text, size), ERROR_SUCCESS) << "a number is not a string";
    // A string stored without its zero still reads terminated, or is
    // reported too long when the zero does not fit.
    size = sizeof text;
    EXPECT_EQ(regApi.QueryValue("Unterminated", text, size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "abcd");
    EXPECT_EQ(size, 5u);
    char tight[4];
    size = sizeof tight;
    EXPECT_EQ(regApi.QueryValue("Unterminated", tight, size), ERROR_MORE_DATA);
    EXPECT_EQ(tight[3], '\0');

    BYTE bytes[8] = {};
    DWORD type = 0;
    size = sizeof bytes;
    EXPECT_EQ(regApi.QueryValue("Multi", type, bytes, size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), std::string("a\0bc\0", 6));
}

TEST_F(SettingsTest, RegistryExGivesTheDefaultWithoutAKeyOrANumber) {
    CRegistryEx flags;
    EXPECT_FALSE(flags.OpenOnly(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ));
    EXPECT_EQ(flags.GetDWord("Feature", 17), 17u);
    Put(kTestKey, "Feature", REG_DWORD, Dword(3));
    Put(kTestKey, "Named", REG_SZ, std::string("x", 2));
    ASSERT_TRUE(flags.OpenOnly(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ));
    EXPECT_EQ(flags.GetDWord("Feature", 17), 3u);
    EXPECT_EQ(flags.GetDWord("Named", 17), 17u);
}

TEST_F(SettingsTest, DatabasePathIsCutToTheCallersBuffer) {
    char buffer[16];
    {
        CTraceApiReg settings;
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(settings.GetDatabasePath(buffer, sizeof buffer), 0);
        EXPECT_STREQ(buffer, "") << "missing value";
        EXPECT_EQ(settings.GetDatabasePath(nullptr, 10), 0);
    }
    Put(traceapi::kApiKeyPath, "DatabasePath", REG_SZ, std::string("C:\\Program Files\\Vanta\\events.db") + '\0');
    CTraceApiReg settings;
    EXPECT_EQ(settings.GetDatabasePath(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "C:\\Program File");
    char whole[260];
    EXPECT_EQ(settings.GetDatabasePath(whole, sizeof whole), 1);
    EXPECT_STREQ(whole, "C:\\Program Files\\Vanta\\events.db");
    Put(traceapi::kApiKeyPath, "DatabasePath", REG_SZ, std::string(300, 'p') + '\0');
    EXPECT_EQ(settings.GetDatabasePath(whole, sizeof whole), 0) << "longer than 259 characters";
    EXPECT_STREQ(whole, "");
}
