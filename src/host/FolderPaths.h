// The suite's per-user data folder: "Vanta\Wireless\" below the user's
// roaming application-data folder, or the suite's bin folder when the
// installation says so. Resolving the current user's folder also records it
// under HKLM "Software\Vanta\Wireless\Folders\" + DOMAIN\user, so that a
// service running as "SYSTEM" can find the folders of the users.
//
// The current user is the calling thread's: a thread that impersonates the
// console user (UserImpersonation.h) resolves that user's folder.
#pragma once

#include <windows.h>

#include <string>

namespace traceapi {

inline constexpr char kFoldersKeyPath[] = "Software\\Vanta\\Wireless\\Folders\\";
inline constexpr char kGuiConfigurationKeyPath[] = "SOFTWARE\\VANTA\\Wireless\\GUIConfiguration";
inline constexpr char kSuiteSubFolder[] = "Vanta\\Wireless\\";
// Bit of "FeatureSet1" that keeps per-user data in the suite's bin folder.
inline constexpr DWORD kBinFolderModeBit = 0x8000;

// The feature words of HKLM "SOFTWARE\VANTA\Wireless\GUIConfiguration",
// each 0 when missing.
struct GUI_CONFIGURATION {
    DWORD dwFeatureSet1;
    DWORD dwFeatureSet2;
    DWORD dwNimbus7Mode;
};

GUI_CONFIGURATION ReadGuiConfiguration();

// True when something exists at the path or every missing folder of it
// could be made. Pieces are separated by backslashes; empty pieces are
// skipped.
bool EnsureFolderExists(const std::string& path);

}  // namespace traceapi

class CFolderPaths {
public:
    // Empty names select the current user's folder; a user and a domain name
    // select the folder recorded for that user.
    CFolderPaths(const std::string& userName = std::string(), const std::string& domainName = std::string());

    // Resolves the folder (ending with a backslash, except the system folder
    // of the last resort), keeps it in m_strUserFolder and returns it.
    std::string GetUserFolder();

    std::string m_strUserName;
    std::string m_strDomainName;
    std::string m_strUserFolder;
    // The machine-wide folder below the common application-data folder; not
    // filled by GetUserFolder.
    std::string m_strCommonFolder;

private:
    // The current user's folder below the thread's (or process's) token
    // user's roaming folder, made and recorded. False when no token or no
    // roaming folder could be had (the result is then untouched).
    bool ResolveCurrentUserFolder();
};
