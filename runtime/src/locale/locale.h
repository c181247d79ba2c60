// Languages and locales: the table of the Windows locales the runtime knows,
// and the languages of the user, the system and the calling thread.
//
// The user's languages come from the POSIX locale of the process (LC_ALL,
// then LC_MESSAGES, then LANG); the system's from EVTRACE_SYSTEM_LANGUAGE,
// else the machine's locale configuration (/etc/locale.conf,
// /etc/default/locale), else the process locale. EVTRACE_UI_LANGUAGE and
// EVTRACE_PREFERRED_UI_LANGUAGES override the user's UI language and the
// thread's preferred UI languages. Settings are read on every call, so a
// process that changes its environment sees the change at once.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace w32rt {

struct LocaleData {
    LANGID id;
    const char* name;              // "de-DE"
    const char* english_language;  // "German"
    const char* english_country;   // "Germany"
    const char* abbreviation;      // "DEU"
    uint16_t ansi_code_page;       // 0 for Unicode-only locales
    uint16_t oem_code_page;        // 1 for Unicode-only locales
    uint16_t country_code;         // international dialling code
};

// The locale of a language id. A neutral id (sub-language 0) finds the
// language's default locale. Null when the runtime does not know it.
const LocaleData* find_locale(LANGID id);

// The language id of a POSIX locale name ("de_DE.UTF-8@euro" -> 0x0407,
// "C" and "POSIX" -> 0x0409); 0 when the language is unknown.
LANGID langid_from_posix_locale(std::string_view posix);

// The name of a language in MUI form: "de-DE", or "de" for a neutral id.
// Empty when unknown.
std::string language_name(LANGID id);

// The neutral id of a language ("de-DE" -> "de", the Chinese scripts ->
// zh-Hans or zh-Hant).
LANGID neutral_language(LANGID id);

LANGID user_ui_language();
LANGID user_default_language();
LANGID system_language();

// The thread's own preferred UI languages (possibly none).
std::vector<LANGID> thread_preferred_languages();

// Resolves the pseudo locales (LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT,
// LOCALE_NEUTRAL, ...) to a language id; other LCIDs give their language.
LANGID langid_of_lcid(LCID lcid);

}  // namespace w32rt
