// Languages from the POSIX locale and their overrides, locale data and the
// thread's preferred UI languages.
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>
#include <winnls.h>

#include "host_test_util.h"

using host_test::ScopedEnv;

namespace {

// A clean slate: no locale variables, no overrides.
class LocaleTest : public ::testing::Test {
protected:
    ScopedEnv all_{"LC_ALL", nullptr};
    ScopedEnv messages_{"LC_MESSAGES", nullptr};
    ScopedEnv lang_{"LANG", nullptr};
    ScopedEnv ui_{"EVTRACE_UI_LANGUAGE", nullptr};
    ScopedEnv system_{"EVTRACE_SYSTEM_LANGUAGE", "0x0409"};
    ScopedEnv preferred_{"EVTRACE_PREFERRED_UI_LANGUAGES", nullptr};
};

std::string locale_info(LCID lcid, LCTYPE type) {
    char buf[128];
    int n = GetLocaleInfoA(lcid, type, buf, sizeof buf);
    if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
    EXPECT_EQ(size_t(n), strlen(buf) + 1);
    return buf;
}

// The list as "a|b|c"; the count and the closing zeros are checked.
std::string preferred(DWORD flags) {
    ULONG count = 0, filled = 0, size = 0;
    std::vector<char16_t> buf;
    for (ULONG* n : {&count, &filled}) {
        buf.resize(size);
        if (!GetThreadPreferredUILanguages(flags, n, size ? reinterpret_cast<PZZWSTR>(buf.data()) : nullptr, &size))
            return "<error " + std::to_string(GetLastError()) + ">";
    }
    EXPECT_EQ(filled, count);
    if (size != buf.size() || size < 2 || buf[size - 1] != 0 || buf[size - 2] != 0) return "<not closed by two zeros>";
    std::string out(buf.begin(), buf.end() - 2);
    EXPECT_EQ(size_t(std::count(out.begin(), out.end(), '\0') + !out.empty()), count);
    std::replace(out.begin(), out.end(), '\0', '|');
    return out;
}

}  // namespace

TEST_F(LocaleTest, MapsPosixLocalesToWindowsLanguagesInTheirOrder) {
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x0409);  // no locale at all
    const struct {
        const char* posix;
        LANGID id;
    } cases[] = {
        {"de_DE.UTF-8", 0x0407}, {"de_AT.UTF-8", 0x0C07}, {"de", 0x0407},         {"en_GB@euro", 0x0809},
        {"zh_TW.UTF-8", 0x0404}, {"zh", 0x0804},          {"pt_PT.UTF-8", 0x0816}, {"es_MX", 0x080A},
        {"ja_JP.eucJP", 0x0411}, {"nn_NO", 0x0814},       {"C.UTF-8", 0x0409},     {"sv_FI", 0x041D},
        {"eo.UTF-8", 0x0409},  // unknown to Windows
    };
    for (const auto& c : cases) {
        ScopedEnv lang("LANG", c.posix);
        EXPECT_EQ(GetUserDefaultUILanguage(), c.id) << c.posix;
    }

    // LC_ALL before LC_MESSAGES before LANG.
    ScopedEnv lang("LANG", "fr_FR.UTF-8");
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x040C);
    ScopedEnv messages("LC_MESSAGES", "de_DE.UTF-8");
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x0407);
    ScopedEnv all("LC_ALL", "ja_JP.UTF-8");
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x0411);
    // The UI language can be overridden alone; the user's formats stay.
    ScopedEnv ui("EVTRACE_UI_LANGUAGE", "0x0416");
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x0416);
    EXPECT_EQ(GetUserDefaultLCID(), LCID(0x0411));
    // A malformed override is ignored.
    ScopedEnv bad("EVTRACE_UI_LANGUAGE", "German");
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x0411);
}

TEST_F(LocaleTest, SystemLanguageAndItsCodePages) {
    const struct {
        const char* id;
        LANGID langid;
        UINT acp, oemcp;
    } cases[] = {
        {"0x0407", 0x0407, 1252, 850}, {"0405", 0x0405, 1250, 852}, {"0x0411", 0x0411, 932, 932},
        {"0x0409", 0x0409, 1252, 437},
    };
    for (const auto& c : cases) {
        ScopedEnv system("EVTRACE_SYSTEM_LANGUAGE", c.id);
        EXPECT_EQ(GetSystemDefaultLangID(), c.langid) << c.id;
        EXPECT_EQ(GetACP(), c.acp) << c.id;
        EXPECT_EQ(GetOEMCP(), c.oemcp) << c.id;
        EXPECT_EQ(locale_info(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE), std::to_string(c.acp)) << c.id;
    }
}

TEST_F(LocaleTest, LocaleInfoOfALanguageAsTextOrNumber) {
    const LCID german = MAKELCID(0x0407, SORT_DEFAULT);
    const std::pair<LCTYPE, const char*> german_data[] = {
        {LOCALE_ILANGUAGE, "0407"}, {LOCALE_SISO639LANGNAME | LOCALE_NOUSEROVERRIDE, "de"},
        {LOCALE_SISO3166CTRYNAME, "DE"}, {LOCALE_SENGLANGUAGE, "German"}, {LOCALE_SNAME, "de-DE"},
    };
    for (const auto& [type, value] : german_data) EXPECT_EQ(locale_info(german, type), value) << type;
    // A neutral language stands for its default locale; the user's default
    // follows the POSIX locale.
    EXPECT_EQ(locale_info(MAKELCID(0x0016, SORT_DEFAULT), LOCALE_SISO3166CTRYNAME), "BR");
    ScopedEnv lang("LANG", "pt_PT.UTF-8");
    EXPECT_EQ(locale_info(LOCALE_USER_DEFAULT, LOCALE_SISO3166CTRYNAME), "PT");
    const LCID japanese = MAKELCID(0x0411, SORT_DEFAULT);
    EXPECT_EQ(GetLocaleInfoA(japanese, LOCALE_SENGLANGUAGE, nullptr, 0), 9);  // "Japanese" and the zero
    char small[4];
    EXPECT_FAILS(GetLocaleInfoA(japanese, LOCALE_SENGLANGUAGE, small, sizeof small), 0, ERROR_INSUFFICIENT_BUFFER);

    DWORD number = 0;  // numbers only for numeric types
    EXPECT_EQ(GetLocaleInfoA(japanese, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER, LPSTR(&number), 4), 4);
    EXPECT_EQ(number, 932u);
    EXPECT_EQ(locale_info(japanese, LOCALE_SENGLANGUAGE | LOCALE_RETURN_NUMBER), "<error 1004>");

    EXPECT_EQ(locale_info(MAKELCID(0x0437, SORT_DEFAULT), LOCALE_ILANGUAGE), "<error 87>");  // unknown here
    EXPECT_EQ(locale_info(japanese, LOCALE_SNATIVELANGNAME), "<error 1004>");
    EXPECT_FAILS(GetLocaleInfoA(japanese, LOCALE_SENGLANGUAGE, nullptr, 10), 0, ERROR_INVALID_PARAMETER);
}

TEST_F(LocaleTest, PreferredLanguagesMergeTheUsersAndTheSystems) {
    ScopedEnv ui("EVTRACE_UI_LANGUAGE", "0x0409");
    ScopedEnv system("EVTRACE_SYSTEM_LANGUAGE", "0x0411");
    ScopedEnv thread("EVTRACE_PREFERRED_UI_LANGUAGES", "0x0407, 0x040C,bogus,0x0407");
    EXPECT_EQ(preferred(MUI_LANGUAGE_ID), "0407|040C|0409|0411");
    EXPECT_EQ(preferred(MUI_LANGUAGE_ID | MUI_MERGE_USER_FALLBACK), "0407|040C|0409|0411");
    EXPECT_EQ(preferred(MUI_LANGUAGE_ID | MUI_THREAD_LANGUAGES), "0407|040C");
    EXPECT_EQ(preferred(MUI_LANGUAGE_ID | MUI_MERGE_SYSTEM_FALLBACK | MUI_MERGE_USER_FALLBACK),
              "0407|0007|040C|000C|0409|0009|0411|0011");
    EXPECT_EQ(preferred(0), "de-DE|fr-FR|en-US|ja-JP");  // names are the default
    {
        // Chinese falls back by script, not by language.
        ScopedEnv chinese("EVTRACE_PREFERRED_UI_LANGUAGES", "0x0C04,0x1004");
        EXPECT_EQ(preferred(MUI_LANGUAGE_NAME | MUI_UI_FALLBACK), "zh-HK|zh-Hant|zh-SG|zh-Hans|en-US|en|ja-JP|ja");
    }
    // The user and the system sharing a language appear once.
    ScopedEnv same("EVTRACE_SYSTEM_LANGUAGE", "0x0409");
    ScopedEnv no_thread("EVTRACE_PREFERRED_UI_LANGUAGES", nullptr);
    EXPECT_EQ(preferred(MUI_LANGUAGE_ID), "0409");
    EXPECT_EQ(preferred(MUI_LANGUAGE_ID | MUI_THREAD_LANGUAGES), "");
}

TEST_F(LocaleTest, PreferredLanguagesRefuseBadArguments) {
    ScopedEnv thread("EVTRACE_PREFERRED_UI_LANGUAGES", "0x0407");
    ULONG count = 0, size = 0;
    auto fails = [&](DWORD flags, ULONG* count_out, ULONG given_size) {
        size = given_size;  // without a buffer
        return GetThreadPreferredUILanguages(flags, count_out, nullptr, &size);
    };
    EXPECT_FAILS(fails(MUI_LANGUAGE_ID | MUI_LANGUAGE_NAME, &count, 0), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(fails(MUI_LANGUAGE_ID | MUI_MERGE_SYSTEM_FALLBACK, &count, 0), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(fails(MUI_THREAD_LANGUAGES | MUI_MERGE_USER_FALLBACK, &count, 0), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(fails(0x80000, &count, 0), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(fails(MUI_LANGUAGE_ID, nullptr, 0), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(fails(MUI_LANGUAGE_ID, &count, 5), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(fails(MUI_CONSOLE_FILTER, &count, 0), FALSE, ERROR_NOT_SUPPORTED);

    // "0407\0" + "0409\0" + "\0" = 11; one short is refused.
    char16_t buf[16];
    size = 10;
    EXPECT_FAILS(GetThreadPreferredUILanguages(MUI_LANGUAGE_ID, &count, reinterpret_cast<PZZWSTR>(buf), &size), FALSE,
                 ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 11u);
    EXPECT_TRUE(GetThreadPreferredUILanguages(MUI_LANGUAGE_ID, &count, reinterpret_cast<PZZWSTR>(buf), &size));
    EXPECT_EQ(count, 2u);
}
