#include "host/LoadResourceDLL.h"

#include <winnls.h>
#include <winreg.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "frame/RegApi.h"

namespace {

struct LanguageCode {
    LANGID id;
    const char* code;
};

// Language identifiers (normalised: primary languages, and the Chinese and
// Portuguese variants that have files of their own) to codes.
constexpr LanguageCode kLanguages[] = {
    {0x01, "ARA"},   {0x05, "CSY"},   {0x06, "DAN"},   {0x07, "DEU"},   {0x08, "ELL"},   {0x09, "ENU"},
    {0x0A, "ESN"},   {0x0B, "FIN"},   {0x0C, "FRA"},   {0x0D, "HEB"},   {0x0E, "HUN"},   {0x10, "ITA"},
    {0x11, "JPN"},   {0x12, "KOR"},   {0x13, "NLD"},   {0x14, "NOR"},   {0x15, "PLK"},   {0x19, "RUS"},
    {0x1D, "SVE"},   {0x1E, "THA"},   {0x1F, "TRK"},   {0x0404, "CHT"}, {0x0C04, "CHT"}, {0x1404, "CHT"},
    {0x0804, "CHS"}, {0x1004, "CHS"}, {0x0416, "PTB"}, {0x0816, "PTG"},
};

constexpr char kEnglish[] = "ENU";
constexpr char kWirelessKey[] = "SOFTWARE\\Vanta\\Wireless";
constexpr char kLangDifferValue[] = "OSAppLangDiffer";

// The primary language, as the suite reads it: the low 8 bits.
WORD Primary(LANGID id) { return WORD(id & 0xFF); }

// Table A: by normalised identifier.
const char* CodeOf(LANGID id) {
    for (const LanguageCode& entry : kLanguages) {
        if (entry.id == id) return entry.code;
    }
    return nullptr;
}

// Table B: by exact identifier, without Chinese (Macao).
const char* FallbackCodeOf(LANGID id) { return id == 0x1404 ? nullptr : CodeOf(id); }

LANGID Normalise(LANGID id) {
    const WORD primary = Primary(id);
    if (primary == LANG_CHINESE || primary == LANG_PORTUGUESE) {
        switch (id) {
        case 0x0404:
        case 0x0C04:
        case 0x0804:
        case 0x1004:
        case 0x0416:
        case 0x0816:
        case 0x1404: return id;
        default: return primary == LANG_CHINESE ? LANGID(0x0804) : LANGID(0x0816);
        }
    }
    return primary;
}

// The default ANSI code page of a language's locale, -1 when unknown.
int AnsiCodePage(LANGID id) {
    char text[16] = {};
    if (GetLocaleInfoA(MAKELCID(id, SORT_DEFAULT), LOCALE_IDEFAULTANSICODEPAGE, text, sizeof text) <= 0) return -1;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text) return -1;
    return int(value);
}

// The thread's preferred UI languages with the user's and the system's
// fallbacks merged in; empty when they cannot be read.
std::vector<LANGID> PreferredUILanguages() {
    const DWORD flags = MUI_LANGUAGE_ID | MUI_MERGE_SYSTEM_FALLBACK | MUI_MERGE_USER_FALLBACK;
    ULONG count = 0;
    ULONG chars = 0;
    std::vector<LANGID> result;
    if (!GetThreadPreferredUILanguages(flags, &count, nullptr, &chars) || chars == 0) return result;
    std::vector<WCHAR> buffer(chars + 1, 0);
    if (!GetThreadPreferredUILanguages(flags, &count, buffer.data(), &chars)) return result;
    // "0407\0" "0409\0" "\0": hexadecimal identifiers, double-zero ended.
    size_t i = 0;
    while (i < buffer.size() && buffer[i] != 0) {
        unsigned value = 0;
        bool valid = true;
        size_t digits = 0;
        for (; i < buffer.size() && buffer[i] != 0; ++i, ++digits) {
            WCHAR c = buffer[i];
            unsigned d;
            if (c >= u'0' && c <= u'9') {
                d = unsigned(c - u'0');
            } else if (c >= u'a' && c <= u'f') {
                d = unsigned(c - u'a' + 10);
            } else if (c >= u'A' && c <= u'F') {
                d = unsigned(c - u'A' + 10);
            } else {
                valid = false;
                continue;
            }
            value = (value << 4) | d;
        }
        if (valid && digits > 0 && digits <= 4) result.push_back(LANGID(value));
        ++i;
    }
    return result;
}

// Stores "OSAppLangDiffer" when it is missing or holds another value.
// Failures are not the caller's concern.
void RecordLanguageDiffers(DWORD differ) {
    CRegApi reg;
    DWORD stored = 0;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, kWirelessKey, KEY_READ) == ERROR_SUCCESS &&
        reg.QueryValue(kLangDifferValue, stored) == ERROR_SUCCESS && stored == differ) {
        return;
    }
    reg.CloseKey();
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, kWirelessKey, KEY_WRITE) == ERROR_SUCCESS)
        reg.SetValue(kLangDifferValue, differ);
}

}  // namespace

CLoadResourceDLL::~CLoadResourceDLL() = default;

LONG CLoadResourceDLL::GetLanguageCode(char* pszCode, DWORD dwSize) {
    if (pszCode == nullptr) return S_OK;
    if (dwSize < 4) return E_FAIL;

    const LANGID user = GetUserDefaultUILanguage();
    const LANGID system = GetSystemDefaultLangID();
    LANGID language = Primary(user) == LANG_ENGLISH ? user : system;
    RecordLanguageDiffers(Primary(user) != Primary(system) && Primary(user) != LANG_ENGLISH ? 1 : 0);

    language = Normalise(language);
    const std::vector<LANGID> preferred = PreferredUILanguages();
    const char* code = CodeOf(language);
    if (code == nullptr) {
        const int systemCodePage = int(GetACP());
        for (LANGID candidate : preferred) {
            if (AnsiCodePage(candidate) != systemCodePage) continue;
            code = FallbackCodeOf(candidate);
            if (code != nullptr) {
                language = candidate;
                break;
            }
        }
        if (code == nullptr) {
            code = kEnglish;
            language = LANG_ENGLISH;
        }
    }

    // A language whose texts the user's preferred languages cannot display
    // falls back to English.
    const int codePage = AnsiCodePage(language);
    bool displayable = false;
    for (LANGID candidate : preferred) {
        if (AnsiCodePage(candidate) == codePage) {
            displayable = true;
            break;
        }
    }
    if (!displayable) code = kEnglish;

    memcpy(pszCode, code, 4);
    return S_OK;
}

LONG CLoadResourceDLL::GetDatabaseFileName(char* pszName, DWORD dwSize) {
    if (pszName == nullptr) return E_FAIL;
    char code[8] = {};
    if (GetLanguageCode(code, sizeof code) != S_OK || code[0] == '\0') return E_FAIL;
    if (dwSize < strlen(code) + 17) return E_FAIL;
    snprintf(pszName, dwSize, "Trace%s.mdb", code);
    return S_OK;
}
