// Read access to the event database: the language-specific text file of
// alert entries installed with the suite ("DatabasePath" + "Trace" + language
// code + ".bin"). An object is made for one query: the constructor loads the
// whole file, one lookup is made, the object goes. Nothing is cached.
#pragma once

#include <windows.h>

#include <string>

class CEvTraceDbAccess {
public:
    // Loads the database (OpenEvTraceSysDB); a database that cannot be
    // loaded stays empty and every lookup fails.
    CEvTraceDbAccess();
    CEvTraceDbAccess(const CEvTraceDbAccess&) = delete;
    CEvTraceDbAccess& operator=(const CEvTraceDbAccess&) = delete;
    virtual ~CEvTraceDbAccess();

    // 0 with the text loaded; 0 with an empty text when "DatabasePath" is not
    // set or the file name has no extension; E_FAIL when the file cannot be
    // opened or read, is empty, or is larger than kMaxDatabaseSize.
    LONG OpenEvTraceSysDB();
    // What the constructor's OpenEvTraceSysDB returned.
    LONG OpenResult() const { return m_lOpenResult; }
    // The entry of a code, from its code up to and including "|#|": 0 or
    // E_FAIL.
    LONG GetEntry(std::string& entry, DWORD dwCode) const;
    // The whole database text: 0.
    LONG GetText(std::string& text) const;

    // A database beyond this size is refused rather than read for every
    // query.
    static constexpr LONGLONG kMaxDatabaseSize = 64LL << 20;

private:
    std::string m_strDatabase;
    LONG m_lOpenResult = S_OK;
};
