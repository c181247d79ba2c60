// The language of the suite's language-specific files: which three-letter
// code ("ENU", "DEU", "CHS", ...) applies on this machine, and the name of
// the event database file of that language.
#pragma once

#include <windows.h>

class CLoadResourceDLL {
public:
    CLoadResourceDLL() = default;
    virtual ~CLoadResourceDLL();

    // Writes the language code (three letters and a zero) into a buffer of
    // at least 4 bytes: 0, E_FAIL for a smaller buffer, 0 without writing
    // for a null buffer. The user's UI language wins when it is English,
    // else the system language; a language whose ANSI code page none of the
    // thread's preferred UI languages shares falls back to English. Records
    // whether the user's UI language differs from the system's in
    // "OSAppLangDiffer".
    LONG GetLanguageCode(char* pszCode, DWORD dwSize);

    // Writes "Trace" + code + ".mdb": 0, or E_FAIL for a null buffer, a
    // failed code lookup or a buffer smaller than the code's length + 17.
    LONG GetDatabaseFileName(char* pszName, DWORD dwSize);
};
