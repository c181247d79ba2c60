#include "listener/EvTraceDbAccess.h"

#include <objbase.h>

#include <string.h>

#include <new>
#include <vector>

#include "frame/EvLocks.h"
#include "frame/TraceApiReg.h"
#include "host/LoadResourceDLL.h"
#include "listener/EvDbText.h"
#include "frame/ScopedFuncTrace.h"

CEvTraceDbAccess::CEvTraceDbAccess() {
    // The database is opened on threads of any apartment; the result is of
    // no consequence here.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_lOpenResult = OpenEvTraceSysDB();
}

CEvTraceDbAccess::~CEvTraceDbAccess() { m_strDatabase.clear(); }

LONG CEvTraceDbAccess::OpenEvTraceSysDB() {
    CScopedOrkanFuncTrace trace("CEvTraceDbAccess::OpenEvTraceSysDB", __FILE__, __LINE__, 60);
    try {
        m_strDatabase.clear();
        char folder[MAX_PATH] = {};
        CTraceApiReg settings;
        if (!settings.GetDatabasePath(folder, sizeof folder)) return S_OK;
        std::string path = folder;
        char name[MAX_PATH] = {};
        CLoadResourceDLL language;
        if (language.GetDatabaseFileName(name, sizeof name) != S_OK) return S_OK;
        path += name;
        const size_t dot = path.rfind('.');
        if (dot == std::string::npos) return S_OK;
        path.replace(dot, std::string::npos, ".bin");

        traceapi::HandleGuard file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) return E_FAIL;
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > kMaxDatabaseSize) {
            return E_FAIL;
        }
        std::vector<char> bytes(size_t(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file.get(), bytes.data(), DWORD(bytes.size()), &read, nullptr)) return E_FAIL;
        m_strDatabase = traceapi::DatabaseTextFromBytes(std::string_view(bytes.data(), read));
        return S_OK;
    } catch (...) {
        m_strDatabase.clear();
        return E_FAIL;
    }
}

LONG CEvTraceDbAccess::GetEntry(std::string& entry, DWORD dwCode) const {
    try {
        return traceapi::LookupDatabaseEntry(m_strDatabase, dwCode, &entry);
    } catch (...) {
        return E_FAIL;
    }
}

LONG CEvTraceDbAccess::GetText(std::string& text) const {
    try {
        text = m_strDatabase;
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}
