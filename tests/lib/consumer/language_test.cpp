// The language code of the suite's language-specific files, from the user's
// and the system's languages and the thread's preferred UI languages, and
// the event database's file name.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "consumer_fixture.h"
#include "host/LoadResourceDLL.h"

using namespace consumer_test;

namespace {

constexpr char kWirelessKey[] = "SOFTWARE\\Vanta\\Wireless";

class LanguageTest : public ConsumerTest {
protected:
    void SetUp() override {
        ConsumerTest::SetUp();
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, kWirelessKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
        RegCloseKey(key);
    }

    // The code for a user UI language, a system language and the thread's
    // preferred UI languages (comma-separated hex ids, or none).
    static std::string Code(const char* ui, const char* system, const char* preferred = nullptr) {
        setenv("EVTRACE_UI_LANGUAGE", ui, 1);
        setenv("EVTRACE_SYSTEM_LANGUAGE", system, 1);
        if (preferred != nullptr) {
            setenv("EVTRACE_PREFERRED_UI_LANGUAGES", preferred, 1);
        } else {
            unsetenv("EVTRACE_PREFERRED_UI_LANGUAGES");
        }
        char code[8] = "???";
        CLoadResourceDLL language;
        EXPECT_EQ(language.GetLanguageCode(code, sizeof code), S_OK);
        return code;
    }

    static DWORD Differ() {
        HKEY key = nullptr;
        DWORD value = 0xDEAD, size = sizeof value;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWirelessKey, 0, KEY_READ, &key) != 0) return 0xBAD;
        if (RegQueryValueExA(key, "OSAppLangDiffer", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != 0) {
            value = 0xBAD;
        }
        RegCloseKey(key);
        return value;
    }
};

TEST_F(LanguageTest, AnEnglishUserInterfaceWinsOverTheSystem) {
    EXPECT_EQ(Code("0x0409", "0x0407"), "ENU");
    EXPECT_EQ(Differ(), 0u);
}

TEST_F(LanguageTest, OtherwiseTheSystemLanguageIsChosen) {
    EXPECT_EQ(Code("0x0407", "0x0409"), "ENU");
    EXPECT_EQ(Differ(), 1u);
    EXPECT_EQ(Code("0x0407", "0x0407"), "DEU");
    EXPECT_EQ(Differ(), 0u);
    EXPECT_EQ(Code("0x040C", "0x040C"), "FRA");
    EXPECT_EQ(Code("0x0C07", "0x0807"), "DEU");  // regional variants count by their primary language
}

TEST_F(LanguageTest, ChineseAndPortugueseVariantsHaveCodesOfTheirOwn) {
    EXPECT_EQ(Code("0x1004", "0x1004"), "CHS");  // Singapore
    EXPECT_EQ(Code("0x0804", "0x0804"), "CHS");
    EXPECT_EQ(Code("0x1404", "0x1404"), "CHT");  // Macao
    EXPECT_EQ(Code("0x0C04", "0x0C04"), "CHT");
    EXPECT_EQ(Code("0x0404", "0x0404"), "CHT");
    EXPECT_EQ(Code("0x0416", "0x0416"), "PTB");
    EXPECT_EQ(Code("0x0816", "0x0816"), "PTG");
}

TEST_F(LanguageTest, LanguagesWithoutCodeLookAtThePreferredLanguages) {
    // Bulgarian has no files: the preferred languages offer Russian, whose
    // code page is the system's.
    EXPECT_EQ(Code("0x0402", "0x0402", "0x0419"), "RUS");
    // With nothing that qualifies, English.
    EXPECT_EQ(Code("0x0402", "0x0402"), "ENU");
    EXPECT_EQ(Code("0x0402", "0x0402", "0x0407"), "ENU");
}

TEST_F(LanguageTest, BuffersAndTheDatabaseName) {
    setenv("EVTRACE_UI_LANGUAGE", "0x0407", 1);
    setenv("EVTRACE_SYSTEM_LANGUAGE", "0x0407", 1);
    CLoadResourceDLL language;
    EXPECT_EQ(language.GetLanguageCode(nullptr, 0), S_OK);
    char small[4] = "xy";
    EXPECT_EQ(language.GetLanguageCode(small, 3), E_FAIL);
    EXPECT_STREQ(small, "xy");
    char name[32] = {};
    EXPECT_EQ(language.GetDatabaseFileName(name, 19), E_FAIL);
    EXPECT_EQ(language.GetDatabaseFileName(name, 20), S_OK);
    EXPECT_STREQ(name, "TraceDEU.mdb");
    EXPECT_EQ(language.GetDatabaseFileName(nullptr, 20), E_FAIL);
}

TEST_F(LanguageTest, TheFlagIsNotStoredWithoutTheSuitesKey) {
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, kWirelessKey), 0);
    EXPECT_EQ(Code("0x0407", "0x0409"), "ENU");
    EXPECT_EQ(Differ(), 0xBADu);
}

}  // namespace
