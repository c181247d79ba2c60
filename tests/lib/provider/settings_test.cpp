// Registry access (CRegApi, CRegistryEx) and the library's settings
// (CTraceApiReg), against the runtime's registry of a fresh machine root.
#include <windows.h>

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"
#include "test_support.h"

using testing_support::MachineTest;

namespace {

constexpr char kTestKey[] = "Software\\Vanta\\Wireless\\Test";

class SettingsTest : public MachineTest {
protected:
    // Writes a value with the plain registry functions, creating the key.
    void Put(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void PutDword(const char* path, const char* name, DWORD value) { Put(path, name, REG_DWORD, &value, 4); }
    void PutString(const char* path, const char* name, const std::string& text) {
        Put(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
};

}  // namespace

TEST_F(SettingsTest, RegApiCreatesOpensAndReadsTypedValues) {
    CRegApi regApi;
    EXPECT_EQ(regApi.CloseKey(), ERROR_SUCCESS) << "closing nothing is harmless";
    EXPECT_NE(regApi.OpenKey(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ), ERROR_SUCCESS) << "missing key";
    EXPECT_FALSE(regApi.IsOpen());

    DWORD disposition = 0;
    ASSERT_EQ(regApi.CreateKey(HKEY_LOCAL_MACHINE, kTestKey, 0, traceapi::kKeyReadWrite, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    EXPECT_EQ(regApi.SetValue("Number", DWORD(0xA5A5)), ERROR_SUCCESS);
    EXPECT_EQ(regApi.SetValue("Text", REG_SZ, "hello"), ERROR_SUCCESS);
    const BYTE raw[] = {1, 2, 3, 0, 5};
    EXPECT_EQ(regApi.SetValue("Raw", raw, sizeof raw), ERROR_SUCCESS);
    EXPECT_EQ(regApi.SetValue("Multi", REG_MULTI_SZ, "a\0bc\0"), ERROR_SUCCESS);
    regApi.CloseKey();

    ASSERT_EQ(regApi.OpenKey(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ), ERROR_SUCCESS);
    DWORD number = 0;
    EXPECT_EQ(regApi.QueryValue("Number", number), ERROR_SUCCESS);
    EXPECT_EQ(number, 0xA5A5u);

    char text[16];
    DWORD size = sizeof text;
    EXPECT_EQ(regApi.QueryValue("Text", text, size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(size, 6u) << "the size counts the zero";

    BYTE bytes[8] = {};
    size = sizeof bytes;
    EXPECT_EQ(regApi.QueryValue("Raw", bytes, size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof raw);
    EXPECT_EQ(0, memcmp(bytes, raw, sizeof raw));

    DWORD type = 0;
    size = sizeof bytes;
    EXPECT_EQ(regApi.QueryValue("Multi", type, bytes, size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(0, memcmp(bytes, "a\0bc\0", 6));

    EXPECT_NE(regApi.QueryValue("Missing", number), ERROR_SUCCESS);
    EXPECT_EQ(number, 0xA5A5u) << "a failed read leaves the value alone";
}

TEST_F(SettingsTest, RegApiRefusesValuesOfTheWrongShape) {
    PutString(kTestKey, "Text", "12");
    const BYTE five[] = {1, 2, 3, 4, 5};
    Put(kTestKey, "Five", REG_BINARY, five, sizeof five);
    PutDword(kTestKey, "Number", 7);
    Put(kTestKey, "Unterminated", REG_SZ, "abcd", 4);

    CRegApi regApi;
    ASSERT_EQ(regApi.OpenKey(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ), ERROR_SUCCESS);
    DWORD number = 99;
    EXPECT_NE(regApi.QueryValue("Text", number), ERROR_SUCCESS) << "a string is not a number";
    EXPECT_NE(regApi.QueryValue("Five", number), ERROR_SUCCESS);
    EXPECT_EQ(number, 99u);

    char text[8];
    DWORD size = sizeof text;
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
}

TEST_F(SettingsTest, RegApiEnumeratesSubKeys) {
    CRegApi regApi;
    ASSERT_EQ(regApi.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Vanta\\Wireless\\Test\\One", 0, KEY_ALL_ACCESS, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(regApi.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Vanta\\Wireless\\Test\\Two", 0, KEY_ALL_ACCESS, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(regApi.OpenKey(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ), ERROR_SUCCESS);
    std::set<std::string> names;
    char name[64];
    DWORD index = 0;
    for (;; ++index) {
        DWORD size = sizeof name;
        LONG status = regApi.EnumKey(index, name, size);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        EXPECT_EQ(size, strlen(name));
        names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"One", "Two"}));
}

TEST_F(SettingsTest, RegistryExGivesDefaultsForWhatIsMissing) {
    CRegistryEx flags;
    EXPECT_FALSE(flags.OpenOnly(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ));
    EXPECT_EQ(flags.GetDWord("Feature", 17), 17u);

    PutDword(kTestKey, "Feature", 3);
    PutString(kTestKey, "Named", "x");
    ASSERT_TRUE(flags.OpenOnly(HKEY_LOCAL_MACHINE, kTestKey, KEY_READ));
    EXPECT_EQ(flags.GetDWord("Feature", 17), 3u);
    EXPECT_EQ(flags.GetDWord("Absent", 17), 17u);
    EXPECT_EQ(flags.GetDWord("Named", 17), 17u);
    flags.Close();
    EXPECT_EQ(flags.GetDWord("Feature", 17), 17u) << "closed";
}

TEST_F(SettingsTest, MaxEventsIsBoundedAndDefaulted) {
    ULONG value = 0;
    CTraceApiReg::GetMaxEvents(&value);
    EXPECT_EQ(value, 200u) << "no key";

    PutDword(traceapi::kEngKeyPath, "MaxEvents", 1000);
    EXPECT_EQ(CTraceApiReg::GetMaxEvents(&value), ERROR_SUCCESS);
    EXPECT_EQ(value, 500u);
    PutDword(traceapi::kEngKeyPath, "MaxEvents", 0);
    CTraceApiReg::GetMaxEvents(&value);
    EXPECT_EQ(value, 0u);
    PutDword(traceapi::kEngKeyPath, "MaxEvents", 321);
    CTraceApiReg::GetMaxEvents(&value);
    EXPECT_EQ(value, 321u);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, traceapi::kEngKeyPath, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegDeleteValueA(key, "MaxEvents");
    RegCloseKey(key);
    CTraceApiReg::GetMaxEvents(&value);
    EXPECT_EQ(value, 200u) << "value missing";
}

TEST_F(SettingsTest, EnableAlertsReadsOnlyNumbers) {
    ULONG value = 0;
    EXPECT_NE(CTraceApiReg::GetEnableAlerts(&value), ERROR_SUCCESS) << "the key is missing";
    EXPECT_EQ(value, 1u);
    PutString(traceapi::kApiKeyPath, "EnableAlerts", "0");
    CTraceApiReg::GetEnableAlerts(&value);
    EXPECT_EQ(value, 1u) << "a string reads as the default";
    PutString(traceapi::kApiKeyPath, "EnableAlerts", "enabled");
    CTraceApiReg::GetEnableAlerts(&value);
    EXPECT_EQ(value, 1u);
    PutDword(traceapi::kApiKeyPath, "EnableAlerts", 0);
    EXPECT_EQ(CTraceApiReg::GetEnableAlerts(&value), ERROR_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(CTraceApiReg::ReadSettingDword(traceapi::kApiKeyPath, "EnableAlerts", nullptr, 1),
              ERROR_INVALID_PARAMETER);
}

TEST_F(SettingsTest, SettingsTakeEffectAtTheNextRead) {
    ULONG value = 0;
    PutDword(traceapi::kEngKeyPath, "MaxEvents", 10);
    CTraceApiReg::GetMaxEvents(&value);
    EXPECT_EQ(value, 10u);
    PutDword(traceapi::kEngKeyPath, "MaxEvents", 11);
    CTraceApiReg::GetMaxEvents(&value);
    EXPECT_EQ(value, 11u);
}

TEST_F(SettingsTest, DatabasePathIsCutToTheCallersBuffer) {
    char buffer[16];
    {
        CTraceApiReg settings;  // creates the API key
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(settings.GetDatabasePath(buffer, sizeof buffer), 0);
        EXPECT_STREQ(buffer, "") << "missing value";
        EXPECT_EQ(settings.GetDatabasePath(nullptr, 10), 0);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vanta\\Wireless\\EvTrace\\API", 0, KEY_READ, &key),
              ERROR_SUCCESS)
        << "the constructor created the key";
    if (key) RegCloseKey(key);

    PutString(traceapi::kApiKeyPath, "DatabasePath", "C:\\Program Files\\Vanta\\events.db");
    CTraceApiReg settings;
    EXPECT_EQ(settings.GetDatabasePath(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "C:\\Program File");
    char whole[260];
    EXPECT_EQ(settings.GetDatabasePath(whole, sizeof whole), 1);
    EXPECT_STREQ(whole, "C:\\Program Files\\Vanta\\events.db");

    PutString(traceapi::kApiKeyPath, "DatabasePath", std::string(300, 'p'));
    EXPECT_EQ(settings.GetDatabasePath(whole, sizeof whole), 0) << "longer than 259 characters";
    EXPECT_STREQ(whole, "");
}
