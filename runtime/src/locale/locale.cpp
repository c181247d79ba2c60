// Language ids, locale data and the winnls.h queries.
#include "locale/locale.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <mutex>

#include <winnls.h>

#include "core/env_list.h"
#include "core/error.h"
#include "core/id_table.h"
#include "core/strings.h"
#include "core/sys.h"

namespace w32rt {

namespace {

// Sorted by id. The Windows data of each locale: name, English names, the
// three-letter abbreviation, ANSI and OEM code pages, dialling code.
constexpr LocaleData kLocales[] = {
    {0x007F, "", "Invariant Language", "Invariant Country", "IVL", 1252, 437, 1},
    {0x0401, "ar-SA", "Arabic", "Saudi Arabia", "ARA", 1256, 720, 966},
    {0x0402, "bg-BG", "Bulgarian", "Bulgaria", "BGR", 1251, 866, 359},
    {0x0403, "ca-ES", "Catalan", "Spain", "CAT", 1252, 850, 34},
    {0x0404, "zh-TW", "Chinese", "Taiwan", "CHT", 950, 950, 886},
    {0x0405, "cs-CZ", "Czech", "Czech Republic", "CSY", 1250, 852, 420},
    {0x0406, "da-DK", "Danish", "Denmark", "DAN", 1252, 850, 45},
    {0x0407, "de-DE", "German", "Germany", "DEU", 1252, 850, 49},
    {0x0408, "el-GR", "Greek", "Greece", "ELL", 1253, 737, 30},
    {0x0409, "en-US", "English", "United States", "ENU", 1252, 437, 1},
    {0x040B, "fi-FI", "Finnish", "Finland", "FIN", 1252, 850, 358},
    {0x040C, "fr-FR", "French", "France", "FRA", 1252, 850, 33},
    {0x040D, "he-IL", "Hebrew", "Israel", "HEB", 1255, 862, 972},
    {0x040E, "hu-HU", "Hungarian", "Hungary", "HUN", 1250, 852, 36},
    {0x0410, "it-IT", "Italian", "Italy", "ITA", 1252, 850, 39},
    {0x0411, "ja-JP", "Japanese", "Japan", "JPN", 932, 932, 81},
    {0x0412, "ko-KR", "Korean", "Korea", "KOR", 949, 949, 82},
    {0x0413, "nl-NL", "Dutch", "Netherlands", "NLD", 1252, 850, 31},
    {0x0414, "nb-NO", "Norwegian (Bokmal)", "Norway", "NOR", 1252, 850, 47},
    {0x0415, "pl-PL", "Polish", "Poland", "PLK", 1250, 852, 48},
    {0x0416, "pt-BR", "Portuguese", "Brazil", "PTB", 1252, 850, 55},
    {0x0418, "ro-RO", "Romanian", "Romania", "ROM", 1250, 852, 40},
    {0x0419, "ru-RU", "Russian", "Russia", "RUS", 1251, 866, 7},
    {0x041A, "hr-HR", "Croatian", "Croatia", "HRV", 1250, 852, 385},
    {0x041B, "sk-SK", "Slovak", "Slovakia", "SKY", 1250, 852, 421},
    {0x041D, "sv-SE", "Swedish", "Sweden", "SVE", 1252, 850, 46},
    {0x041E, "th-TH", "Thai", "Thailand", "THA", 874, 874, 66},
    {0x041F, "tr-TR", "Turkish", "Turkey", "TRK", 1254, 857, 90},
    {0x0422, "uk-UA", "Ukrainian", "Ukraine", "UKR", 1251, 866, 380},
    {0x0424, "sl-SI", "Slovenian", "Slovenia", "SLV", 1250, 852, 386},
    {0x0425, "et-EE", "Estonian", "Estonia", "ETI", 1257, 775, 372},
    {0x0426, "lv-LV", "Latvian", "Latvia", "LVI", 1257, 775, 371},
    {0x0427, "lt-LT", "Lithuanian", "Lithuania", "LTH", 1257, 775, 370},
    {0x0429, "fa-IR", "Persian", "Iran", "FAR", 1256, 720, 98},
    {0x042A, "vi-VN", "Vietnamese", "Vietnam", "VIT", 1258, 1258, 84},
    {0x0439, "hi-IN", "Hindi", "India", "HIN", 0, 1, 91},
    {0x0804, "zh-CN", "Chinese", "People's Republic of China", "CHS", 936, 936, 86},
    {0x0807, "de-CH", "German", "Switzerland", "DES", 1252, 850, 41},
    {0x0809, "en-GB", "English", "United Kingdom", "ENG", 1252, 850, 44},
    {0x080A, "es-MX", "Spanish", "Mexico", "ESM", 1252, 850, 52},
    {0x080C, "fr-BE", "French", "Belgium", "FRB", 1252, 850, 32},
    {0x0810, "it-CH", "Italian", "Switzerland", "ITS", 1252, 850, 41},
    {0x0813, "nl-BE", "Dutch", "Belgium", "NLB", 1252, 850, 32},
    {0x0814, "nn-NO", "Norwegian (Nynorsk)", "Norway", "NON", 1252, 850, 47},
    {0x0816, "pt-PT", "Portuguese", "Portugal", "PTG", 1252, 850, 351},
    {0x0C01, "ar-EG", "Arabic", "Egypt", "ARE", 1256, 720, 20},
    {0x0C04, "zh-HK", "Chinese", "Hong Kong S.A.R.", "ZHH", 950, 950, 852},
    {0x0C07, "de-AT", "German", "Austria", "DEA", 1252, 850, 43},
    {0x0C09, "en-AU", "English", "Australia", "ENA", 1252, 850, 61},
    {0x0C0A, "es-ES", "Spanish", "Spain", "ESN", 1252, 850, 34},
    {0x0C0C, "fr-CA", "French", "Canada", "FRC", 1252, 850, 2},
    {0x1004, "zh-SG", "Chinese", "Singapore", "ZHI", 936, 936, 65},
    {0x1009, "en-CA", "English", "Canada", "ENC", 1252, 850, 2},
    {0x100C, "fr-CH", "French", "Switzerland", "FRS", 1252, 850, 41},
    {0x1404, "zh-MO", "Chinese", "Macao S.A.R.", "ZHM", 950, 950, 853},
    {0x1409, "en-NZ", "English", "New Zealand", "ENZ", 1252, 850, 64},
    {0x1809, "en-IE", "English", "Ireland", "ENI", 1252, 850, 353},
    {0x2C0A, "es-AR", "Spanish", "Argentina", "ESS", 1252, 850, 54},
};

// The locale a language's neutral id stands for, and the neutral ids that
// are not simply the primary language.
struct NeutralLanguage {
    LANGID neutral;
    LANGID default_locale;
    const char* name;
};
constexpr NeutralLanguage kNeutrals[] = {
    {0x0001, 0x0401, "ar"}, {0x0002, 0x0402, "bg"}, {0x0003, 0x0403, "ca"},      {0x0004, 0x0804, "zh-Hans"},
    {0x0005, 0x0405, "cs"}, {0x0006, 0x0406, "da"}, {0x0007, 0x0407, "de"},      {0x0008, 0x0408, "el"},
    {0x0009, 0x0409, "en"}, {0x000A, 0x0C0A, "es"}, {0x000B, 0x040B, "fi"},      {0x000C, 0x040C, "fr"},
    {0x000D, 0x040D, "he"}, {0x000E, 0x040E, "hu"}, {0x0010, 0x0410, "it"},      {0x0011, 0x0411, "ja"},
    {0x0012, 0x0412, "ko"}, {0x0013, 0x0413, "nl"}, {0x0014, 0x0414, "no"},      {0x0015, 0x0415, "pl"},
    {0x0016, 0x0416, "pt"}, {0x0018, 0x0418, "ro"}, {0x0019, 0x0419, "ru"},      {0x001A, 0x041A, "hr"},
    {0x001B, 0x041B, "sk"}, {0x001D, 0x041D, "sv"}, {0x001E, 0x041E, "th"},      {0x001F, 0x041F, "tr"},
    {0x0022, 0x0422, "uk"}, {0x0024, 0x0424, "sl"}, {0x0025, 0x0425, "et"},      {0x0026, 0x0426, "lv"},
    {0x0027, 0x0427, "lt"}, {0x0029, 0x0429, "fa"}, {0x002A, 0x042A, "vi"},      {0x0039, 0x0439, "hi"},
    {0x7C04, 0x0404, "zh-Hant"},
};

static_assert(ids_ascending(kLocales), "the locale table is searched by halves");

const LocaleData* exact_locale(LANGID id) { return find_by_id(kLocales, id); }

const NeutralLanguage* find_neutral(LANGID neutral) {
    for (const NeutralLanguage& n : kNeutrals)
        if (n.neutral == neutral) return &n;
    return nullptr;
}

// POSIX language (and territory) -> Windows id, where the language's
// default is not what a territory-less name should give or the codes differ.
struct PosixAlias {
    const char* posix;
    LANGID id;
};
constexpr PosixAlias kPosixAliases[] = {
    {"zh", 0x0804}, {"pt", 0x0416}, {"es", 0x0C0A}, {"no", 0x0414}, {"nb", 0x0414}, {"nn", 0x0814},
    {"no_NO", 0x0414}, {"iw", 0x040D}, {"iw_IL", 0x040D}, {"C", 0x0409}, {"POSIX", 0x0409},
};

// Parses "0x0407", "0407" or "407"; 0 when malformed or out of range.
LANGID parse_langid(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 4) return 0;
    unsigned value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return 0;
        value = value * 16 + unsigned(digit);
    }
    return LANGID(value);
}

LANGID env_langid(const char* name) {
    const char* value = getenv(name);
    return value ? parse_langid(value) : 0;
}

// The process's POSIX locale for messages.
std::string process_locale_name() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(name);
        if (value && *value) return value;
    }
    return "C";
}

// LANG of the machine's locale configuration, read once.
const std::string& machine_locale_name() {
    static const std::string name = [] {
        for (const char* file : {"/etc/locale.conf", "/etc/default/locale"}) {
            std::string text;
            sys::read_file(file, &text);
            std::istringstream in(text);
            std::string line;
            while (std::getline(in, line)) {
                if (line.compare(0, 5, "LANG=") != 0) continue;
                std::string value = line.substr(5);
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                    value.back() == value.front())
                    value = value.substr(1, value.size() - 2);
                if (!value.empty()) return value;
            }
        }
        return std::string();
    }();
    return name;
}

LANGID known_or_english(LANGID id) { return id && find_locale(id) ? id : LANGID(0x0409); }

}  // namespace

const LocaleData* find_locale(LANGID id) {
    if (const LocaleData* exact = exact_locale(id)) return exact;
    if (const NeutralLanguage* n = find_neutral(id)) return exact_locale(n->default_locale);
    return nullptr;
}

LANGID langid_from_posix_locale(std::string_view posix) {
    // language[_territory][.codeset][@modifier]
    size_t cut = posix.find_first_of(".@");
    std::string_view base = posix.substr(0, cut);
    if (base.empty()) return 0;
    for (const PosixAlias& alias : kPosixAliases)
        if (base == alias.posix) return alias.id;
    std::string_view language = base.substr(0, base.find('_'));
    std::string_view territory = base.size() > language.size() ? base.substr(language.size() + 1) : std::string_view();
    if (language.size() < 2 || language.size() > 3) return 0;
    LANGID language_default = 0;
    for (const LocaleData& locale : kLocales) {
        std::string_view name(locale.name);
        size_t dash = name.find('-');
        if (dash == std::string_view::npos || name.substr(0, dash) != language) continue;
        if (!territory.empty() && iequals(name.substr(dash + 1), territory)) return locale.id;
        if (!language_default) {
            const NeutralLanguage* n = find_neutral(LANGID(PRIMARYLANGID(locale.id)));
            language_default = n ? n->default_locale : locale.id;
        }
    }
    return language_default;
}

std::string language_name(LANGID id) {
    if (const LocaleData* exact = exact_locale(id)) return exact->name;
    if (const NeutralLanguage* n = find_neutral(id)) return n->name;
    return {};
}

LANGID neutral_language(LANGID id) {
    if (PRIMARYLANGID(id) == LANG_CHINESE) {
        // Traditional script: Taiwan, Hong Kong, Macao.
        return (id == 0x0404 || id == 0x0C04 || id == 0x1404 || id == 0x7C04) ? LANGID(0x7C04) : LANGID(0x0004);
    }
    return LANGID(PRIMARYLANGID(id));
}

LANGID user_ui_language() {
    if (LANGID id = env_langid("EVTRACE_UI_LANGUAGE")) return id;
    return known_or_english(langid_from_posix_locale(process_locale_name()));
}

LANGID user_default_language() { return known_or_english(langid_from_posix_locale(process_locale_name())); }

LANGID system_language() {
    if (LANGID id = env_langid("EVTRACE_SYSTEM_LANGUAGE")) return id;
    const std::string& configured = machine_locale_name();
    if (!configured.empty()) return known_or_english(langid_from_posix_locale(configured));
    return known_or_english(langid_from_posix_locale(process_locale_name()));
}

std::vector<LANGID> thread_preferred_languages() {
    std::vector<LANGID> out;
    for (const std::string& item : env_list("EVTRACE_PREFERRED_UI_LANGUAGES")) {
        LANGID id = parse_langid(item);
        bool seen = false;
        for (LANGID o : out) seen = seen || o == id;
        if (id && !seen) out.push_back(id);
    }
    return out;
}

LANGID langid_of_lcid(LCID lcid) {
    LANGID id = LANGIDFROMLCID(lcid);
    switch (id) {
        case 0x0000:  // LOCALE_NEUTRAL
        case 0x0400:  // LOCALE_USER_DEFAULT
        case 0x0C00:  // LOCALE_CUSTOM_DEFAULT
            return user_default_language();
        case 0x0800:  // LOCALE_SYSTEM_DEFAULT
            return system_language();
        case 0x1400:  // LOCALE_CUSTOM_UI_DEFAULT
            return user_ui_language();
        default: return id;
    }
}

}  // namespace w32rt

namespace {

using w32rt::fail;

// Copies a locale string as GetLocaleInfoA does: the size with the zero, the
// needed size when cchData is 0.
int put_locale_string(const std::string& value, LPSTR out, int cch) {
    int needed = int(value.size()) + 1;
    if (cch == 0) return needed;
    if (cch < needed) return fail(ERROR_INSUFFICIENT_BUFFER, 0);
    memcpy(out, value.c_str(), size_t(needed));
    return needed;
}

std::string hex4(unsigned value) {
    char buf[8];
    snprintf(buf, sizeof buf, "%04X", value & 0xFFFF);
    return buf;
}

void append_language(std::u16string& out, LANGID id, bool as_name) {
    std::string text = as_name ? w32rt::language_name(id) : hex4(id);
    for (char c : text) out.push_back(char16_t(static_cast<unsigned char>(c)));
    out.push_back(u'\0');
}

}  // namespace

extern "C" {

W32RT_API LANGID WINAPI GetUserDefaultUILanguage(void) { return w32rt::user_ui_language(); }

W32RT_API LANGID WINAPI GetSystemDefaultUILanguage(void) { return w32rt::system_language(); }

W32RT_API LANGID WINAPI GetSystemDefaultLangID(void) { return w32rt::system_language(); }

W32RT_API LANGID WINAPI GetUserDefaultLangID(void) { return w32rt::user_default_language(); }

W32RT_API LCID WINAPI GetUserDefaultLCID(void) { return MAKELCID(w32rt::user_default_language(), SORT_DEFAULT); }

W32RT_API LCID WINAPI GetSystemDefaultLCID(void) { return MAKELCID(w32rt::system_language(), SORT_DEFAULT); }

W32RT_API UINT WINAPI GetACP(void) {
    const w32rt::LocaleData* locale = w32rt::find_locale(w32rt::system_language());
    // Unicode-only languages cannot be the system locale; Windows keeps 1252.
    return locale && locale->ansi_code_page ? locale->ansi_code_page : 1252;
}

W32RT_API UINT WINAPI GetOEMCP(void) {
    const w32rt::LocaleData* locale = w32rt::find_locale(w32rt::system_language());
    return locale && locale->oem_code_page > 1 ? locale->oem_code_page : 437;
}

W32RT_API BOOL WINAPI GetThreadPreferredUILanguages(DWORD dwFlags, PULONG pulNumLanguages,
                                                    PZZWSTR pwszLanguagesBuffer, PULONG pcchLanguagesBuffer) {
    const DWORD known = MUI_LANGUAGE_ID | MUI_LANGUAGE_NAME | MUI_MERGE_SYSTEM_FALLBACK | MUI_MERGE_USER_FALLBACK |
                        MUI_THREAD_LANGUAGES | MUI_CONSOLE_FILTER | MUI_COMPLEX_SCRIPT_FILTER | MUI_RESET_FILTERS;
    if (!pulNumLanguages || !pcchLanguagesBuffer || (dwFlags & ~known))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    if ((dwFlags & MUI_LANGUAGE_ID) && (dwFlags & MUI_LANGUAGE_NAME)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    const DWORD merge = dwFlags & (MUI_MERGE_SYSTEM_FALLBACK | MUI_MERGE_USER_FALLBACK);
    if ((dwFlags & MUI_THREAD_LANGUAGES) && merge) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (merge == MUI_MERGE_SYSTEM_FALLBACK) return fail(ERROR_INVALID_PARAMETER, FALSE);
    // Filtering for the console needs script data the runtime does not have.
    if (dwFlags & (MUI_CONSOLE_FILTER | MUI_COMPLEX_SCRIPT_FILTER)) return fail(ERROR_NOT_SUPPORTED, FALSE);
    if (!pwszLanguagesBuffer && *pcchLanguagesBuffer != 0) return fail(ERROR_INVALID_PARAMETER, FALSE);

    std::vector<LANGID> list = w32rt::thread_preferred_languages();
    auto add = [&list](LANGID id) {
        for (LANGID o : list)
            if (o == id) return;
        list.push_back(id);
    };
    if (!(dwFlags & MUI_THREAD_LANGUAGES)) {
        // The default filter merges the user's and then the system's UI
        // language after the thread's own.
        add(w32rt::user_ui_language());
        add(w32rt::system_language());
        if (dwFlags & MUI_MERGE_SYSTEM_FALLBACK) {
            // As the resource loader searches: each language followed by
            // its neutral parent.
            std::vector<LANGID> specific;
            specific.swap(list);
            for (LANGID id : specific) {
                add(id);
                add(w32rt::neutral_language(id));
            }
        }
    }

    const bool as_name = !(dwFlags & MUI_LANGUAGE_ID);
    std::u16string text;
    ULONG count = 0;
    for (LANGID id : list) {
        if (as_name && w32rt::language_name(id).empty()) continue;
        append_language(text, id, as_name);
        ++count;
    }
    if (text.empty()) text.push_back(u'\0');
    text.push_back(u'\0');

    ULONG needed = ULONG(text.size());
    if (!pwszLanguagesBuffer) {
        *pulNumLanguages = count;
        *pcchLanguagesBuffer = needed;
        return TRUE;
    }
    if (*pcchLanguagesBuffer < needed) {
        *pcchLanguagesBuffer = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    memcpy(pwszLanguagesBuffer, text.data(), needed * sizeof(char16_t));
    *pulNumLanguages = count;
    *pcchLanguagesBuffer = needed;
    return TRUE;
}

W32RT_API int WINAPI GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData) {
    if (cchData < 0 || (cchData > 0 && !lpLCData)) return fail(ERROR_INVALID_PARAMETER, 0);
    const w32rt::LocaleData* locale = w32rt::find_locale(w32rt::langid_of_lcid(Locale));
    if (!locale) return fail(ERROR_INVALID_PARAMETER, 0);
    const bool as_number = (LCType & LOCALE_RETURN_NUMBER) != 0;
    const LCTYPE type = LCType & ~(LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP | LOCALE_RETURN_NUMBER);

    DWORD number = 0;
    bool numeric = true;
    std::string text;
    switch (type) {
        case LOCALE_ILANGUAGE:
            number = locale->id;
            text = hex4(locale->id);
            break;
        case LOCALE_IDEFAULTLANGUAGE:
            number = locale->id;
            text = hex4(locale->id);
            break;
        case LOCALE_ICOUNTRY:
        case LOCALE_IDEFAULTCOUNTRY:
            number = locale->country_code;
            text = std::to_string(number);
            break;
        case LOCALE_IDEFAULTANSICODEPAGE:
            number = locale->ansi_code_page;
            text = std::to_string(number);
            break;
        case LOCALE_IDEFAULTCODEPAGE:
            number = locale->oem_code_page;
            text = std::to_string(number);
            break;
        default: numeric = false; break;
    }
    if (!numeric) {
        std::string_view name(locale->name);
        size_t dash = name.find('-');
        switch (type) {
            case LOCALE_SENGLANGUAGE: text = locale->english_language; break;
            case LOCALE_SENGCOUNTRY: text = locale->english_country; break;
            case LOCALE_SLANGUAGE:
                // The display name in the UI language; the runtime has the
                // English names only.
                text = std::string(locale->english_language) + " (" + locale->english_country + ")";
                break;
            case LOCALE_SABBREVLANGNAME: text = locale->abbreviation; break;
            case LOCALE_SISO639LANGNAME:
                text = dash == std::string_view::npos ? std::string("iv") : std::string(name.substr(0, dash));
                break;
            case LOCALE_SISO3166CTRYNAME:
                text = dash == std::string_view::npos ? std::string("IV") : std::string(name.substr(dash + 1));
                break;
            case LOCALE_SNAME: text = locale->name; break;
            default: return fail(ERROR_INVALID_FLAGS, 0);
        }
        if (as_number) return fail(ERROR_INVALID_FLAGS, 0);
    }
    if (as_number) {
        // The value as a DWORD in the buffer, sized in characters.
        const int needed = int(sizeof(DWORD));
        if (cchData == 0) return needed;
        if (cchData < needed) return fail(ERROR_INSUFFICIENT_BUFFER, 0);
        memcpy(lpLCData, &number, sizeof number);
        return needed;
    }
    return put_locale_string(text, lpLCData, cchData);
}

}  // extern "C"
