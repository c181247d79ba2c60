// Resolution of the suite's per-user data folder and its record in the
// machine-wide registry.
#include "host/FolderPaths.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <secext.h>
#include <shlobj.h>
#include <winreg.h>

#include <vector>

#include "frame/RegApi.h"
#include "frame/TraceApiReg.h"

namespace traceapi {

namespace {

constexpr DWORD kMaxRecordedPath = 1024;
constexpr DWORD kMaxCompareLength = 260;

std::string WithBackslash(std::string folder) {
    if (folder.empty() || folder.back() != '\\') folder += '\\';
    return folder;
}

// True when a file or folder exists at the path. A trailing backslash is
// not part of the name; a bare drive ("C:") always exists.
bool Exists(std::string path) {
    while (path.size() > 1 && path.back() == '\\') path.pop_back();
    if (path.size() == 2 && path[1] == ':') return true;
    return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ExistsOrCreated(const std::string& path) {
    if (Exists(path)) return true;
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    // Made by someone else meanwhile.
    return GetLastError() == ERROR_ALREADY_EXISTS && Exists(path);
}

// The calling user's account as DOMAIN\user; empty when it cannot be had.
std::string AccountName() {
    ULONG size = 0;
    GetUserNameExA(NameSamCompatible, nullptr, &size);
    if (size == 0) return std::string();
    std::vector<char> name(size + 1, '\0');
    if (!GetUserNameExA(NameSamCompatible, name.data(), &size)) return std::string();
    return std::string(name.data());
}

// Records the folder of the calling user unless it is recorded already.
// Failures are ignored: the record only helps services find the folder.
void RecordFolder(const std::string& folder) {
    const std::string account = AccountName();
    if (!account.empty()) {
        CRegApi existing;
        if (existing.OpenKey(HKEY_LOCAL_MACHINE, (std::string(kFoldersKeyPath) + account).c_str(), KEY_READ) ==
            ERROR_SUCCESS) {
            char recorded[kMaxCompareLength + 1] = {};
            DWORD size = kMaxCompareLength;
            if (existing.QueryValue("Path", recorded, size) == ERROR_SUCCESS && folder == recorded) return;
        }
    }
    CRegApi folders;
    if (folders.CreateKey(HKEY_LOCAL_MACHINE, kFoldersKeyPath, 0, KEY_ALL_ACCESS, nullptr) != ERROR_SUCCESS ||
        account.empty()) {
        return;
    }
    CRegApi user;
    if (user.CreateKey(HKEY_LOCAL_MACHINE, (std::string(kFoldersKeyPath) + account).c_str(), 0, KEY_ALL_ACCESS,
                       nullptr) == ERROR_SUCCESS) {
        user.SetValue("Path", REG_SZ, folder.c_str());
    }
}

// The roaming application-data folder of a token's user (null: the calling
// thread's); empty when the shell cannot give it.
std::string RoamingFolder(HANDLE token, bool create) {
    char path[MAX_PATH] = {};
    const int csidl = CSIDL_APPDATA | (create ? CSIDL_FLAG_CREATE : 0);
    if (FAILED(SHGetFolderPathA(nullptr, csidl, token, SHGFP_TYPE_CURRENT, path)) || path[0] == '\0') {
        return std::string();
    }
    return path;
}

}  // namespace

GUI_CONFIGURATION ReadGuiConfiguration() {
    GUI_CONFIGURATION configuration = {0, 0, 0};
    CRegistryEx key;
    if (key.OpenOnly(HKEY_LOCAL_MACHINE, kGuiConfigurationKeyPath, KEY_READ)) {
        configuration.dwFeatureSet1 = key.GetDWord("FeatureSet1", 0);
        configuration.dwFeatureSet2 = key.GetDWord("FeatureSet2", 0);
        configuration.dwNimbus7Mode = key.GetDWord("Nimbus7Mode", 0);
    }
    return configuration;
}

bool EnsureFolderExists(const std::string& path) {
    if (path.empty()) return false;
    if (ExistsOrCreated(path)) return true;
    std::string prefix;
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find('\\', begin);
        if (end == std::string::npos) end = path.size();
        if (end > begin) {
            if (!prefix.empty()) prefix += '\\';
            prefix.append(path, begin, end - begin);
            if (!ExistsOrCreated(prefix)) return false;
        }
        begin = end + 1;
    }
    return true;
}

}  // namespace traceapi

using namespace traceapi;

CFolderPaths::CFolderPaths(const std::string& userName, const std::string& domainName)
    : m_strUserName(userName), m_strDomainName(domainName) {}

bool CFolderPaths::ResolveCurrentUserFolder() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    const std::string roaming = RoamingFolder(token, true);
    CloseHandle(token);
    if (roaming.empty()) return false;

    m_strUserFolder = WithBackslash(roaming) + kSuiteSubFolder;
    if (!EnsureFolderExists(m_strUserFolder)) {
        char windows[MAX_PATH] = {};
        GetWindowsDirectoryA(windows, sizeof windows);
        m_strUserFolder = std::string(windows) + "\\System32";
        return true;
    }
    RecordFolder(m_strUserFolder);
    return true;
}

std::string CFolderPaths::GetUserFolder() {
    m_strUserFolder.clear();
    char binFolder[MAX_PATH + 1] = {};
    bool found = false;
    {
        CRegApi wireless;
        DWORD size = MAX_PATH;
        found = wireless.OpenKey(HKEY_LOCAL_MACHINE, kWirelessKeyPath, KEY_READ) == ERROR_SUCCESS &&
                wireless.QueryValue(kNimbusBinDirValue, binFolder, size) == ERROR_SUCCESS;
    }
    const GUI_CONFIGURATION configuration = ReadGuiConfiguration();
    if ((configuration.dwFeatureSet1 & kBinFolderModeBit) != 0 && found) {
        // The backslash is added whatever the value ends with.
        m_strUserFolder = std::string(binFolder) + "\\";
        return m_strUserFolder;
    }

    if (!m_strUserName.empty()) {
        if (!m_strDomainName.empty()) {
            CRegApi recorded;
            const std::string key = std::string(kFoldersKeyPath) + m_strDomainName + "\\" + m_strUserName;
            if (recorded.OpenKey(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) == ERROR_SUCCESS) {
                std::vector<char> path(kMaxRecordedPath + 1, '\0');
                DWORD size = kMaxRecordedPath;
                if (recorded.QueryValue("Path", path.data(), size) == ERROR_SUCCESS) m_strUserFolder = path.data();
            } else {
                found = false;
            }
        }
    } else if (!ResolveCurrentUserFolder()) {
        found = false;
    }

    // No registered bin folder, or a step above failed: the calling user's
    // own roaming folder.
    if (!found) {
        const std::string roaming = RoamingFolder(nullptr, false);
        if (!roaming.empty()) m_strUserFolder = WithBackslash(roaming) + kSuiteSubFolder;
    }
    return m_strUserFolder;
}
