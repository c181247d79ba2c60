// The event-viewer CSV logger's settings: the host's record applied to the
// logger, the size estimate behind roll-over, and the roll-over counter in
// the registry ("WEVFileCount").
#include "listener/EvWEVLog.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "frame/Diagnostics.h"
#include "frame/ModuleHandle.h"
#include "frame/RegApi.h"
#include "host/UserImpersonation.h"

namespace {

constexpr UINT kDefaultNameStringId = 126;  // "ComputerName_UserDomain"
// Room a base name leaves for "_yyyy_mm_dd@<counter>.csv" in a path.
constexpr size_t kMaxBase = MAX_PATH - 1 - 26;

// A fixed text field of the settings, which may lack its zero.
std::string Field(const char (&text)[MAX_PATH]) { return std::string(text, strnlen(text, MAX_PATH - 1)); }

std::string WithoutTrailingBackslash(std::string folder) {
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return folder;
}

std::string Trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

void CopyText(char (&to)[MAX_PATH], const std::string& from) {
    const size_t n = from.size() < MAX_PATH - 1 ? from.size() : MAX_PATH - 1;
    memcpy(to, from.data(), n);
    to[n] = '\0';
}

DWORD Megabytes(DWORD mb) {
    const ULONGLONG bytes = ULONGLONG(mb) << 20;
    return bytes > 0xFFFFFFFFull ? 0xFFFFFFFFu : DWORD(bytes);
}

std::string DefaultNameText() {
    char text[256];
    const int n = LoadStringA(traceapi::ModuleHandle(), kDefaultNameStringId, text, sizeof text);
    return n > 0 ? std::string(text, size_t(n)) : std::string("ComputerName_UserDomain");
}

}  // namespace

using traceapi::DebugOut;
using traceapi::wevlog::LogLock;
using traceapi::CritSecGuard;
namespace wevlog = traceapi::wevlog;

// ---- Settings ----------------------------------------------------------------

void CEvWEVLogQueue::RetrieveINISettings(const _VANTA_WEV_LOGGING_SETTINGS& settings) {
    LogLock lock(m_csLog);
    try {
        State::Apply(*this, settings);
    } catch (...) {
        m_bEnabled = 0;
    }
    CritSecGuard handoff(m_pState->handoff);
    m_pState->pushEnabled = m_bEnabled != 0;
}

void CEvWEVLogQueue::State::Apply(CEvWEVLogQueue& q, const _VANTA_WEV_LOGGING_SETTINGS& s) {
    q.m_bEnabled = 0;
    q.m_szLogFolder[0] = q.m_szLogName[0] = q.m_szCopyFolder[0] = '\0';
    q.m_dwMaxFileSize = q.m_dwFolderSizeLimit = wevlog::kDefaultLimit;
    q.m_dwCopyDays = 0;
    q.m_bCopy = q.m_bCopyEveryBatch = q.m_bDeleteRules = q.m_bDeleteByDate = q.m_bDeleteBySize = q.m_bMove = 0;
    q.m_dwUseExtended = s.dwUseExtended;
    const bool extended = s.dwUseExtended == 1;
    if (!extended && s.dwEnable == 0) return;

    const std::string folder = WithoutTrailingBackslash(Field(extended ? s.szExtLogFolder : s.szLogFolder));
    const std::string nameSetting = Field(extended ? s.szExtLogName : s.szLogName);
    std::string name;
    if (!extended && !nameSetting.empty() && nameSetting != DefaultNameText()) {
        name = nameSetting;
    } else {
        char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
        DWORD size = sizeof computer;
        if (!GetComputerNameA(computer, &size)) computer[0] = '\0';
        // The user at the console names the file, also when a service
        // running as "SYSTEM" writes it.
        char user[256] = "";
        size = sizeof user;
        {
            traceapi::ConsoleUserScope consoleUser;
            if (!GetUserNameA(user, &size)) user[0] = '\0';
        }
        CopyText(q.m_szLogComputerName, computer);
        CopyText(q.m_szLogUserName, user);
        name = std::string(computer) + "_" + user;
    }
    name = Trimmed(name);
    const std::string base = folder + "\\" + name;
    if (folder.size() >= MAX_PATH || base.size() > kMaxBase) {
        DebugOut("CEvWEVLogQueue::RetrieveINISettings - the log folder and name are too long for file names "
                 "(%u characters, at most %u); logging stays off\n",
                 unsigned(base.size()), unsigned(kMaxBase));
        return;
    }
    CopyText(q.m_szLogFolder, folder);
    CopyText(q.m_szLogName, nameSetting);
    CopyText(q.m_szLogBase, base);
    q.m_bEnabled = 1;

    if (extended) {
        q.m_dwMaxFileSize = Megabytes(s.dwExtMaxFileSizeMB);
        if (s.dwExtCopyFlags != 0) {
            q.m_bCopy = 1;
            CopyText(q.m_szCopyFolder, WithoutTrailingBackslash(Field(s.szExtCopyFolder)));
            if (s.dwExtCopyFlags & 1) {
                q.m_bCopyEveryBatch = 1;
            } else {
                q.m_dwCopyDays = s.dwExtCopyDays;
            }
        }
        if (s.dwExtDeleteFlags != 0) {
            q.m_bDeleteRules = 1;
            if (s.dwExtDeleteFlags & 1) {
                q.m_bDeleteByDate = 1;
                q.m_dwDeleteDays = s.dwExtDeleteDays;
            }
            if (s.dwExtDeleteFlags & 2) {
                q.m_bDeleteBySize = 1;
                q.m_dwFolderSizeLimit = Megabytes(s.dwExtFolderSizeMB);
            }
            if (s.dwExtDeleteFlags & 4) q.m_bMove = 1;
        }
        return;
    }
    q.m_dwMaxFileSize = Megabytes(s.dwMaxFileSizeMB);
    if (s.dwDeleteFlags != 0) {
        q.m_bDeleteRules = 1;
        if (s.dwDeleteFlags & 1) {
            q.m_bDeleteByDate = 1;
            q.m_dwDeleteDays = s.dwDeleteDays;
        }
        if (s.dwDeleteFlags & 2) {
            q.m_bDeleteBySize = 1;
            q.m_dwFolderSizeLimit = Megabytes(s.dwFolderSizeMB);
        }
    }
}

// ---- Size estimate -------------------------------------------------------------

DWORD CEvWEVLogQueue::GetElementSize(const RecordList* pList, int index) {
    if (pList == nullptr || index < 0 || size_t(index) >= pList->size()) return 0;
    const _VANTA_EVTRACE_DATA* r = (*pList)[size_t(index)];
    if (r == nullptr) return 0;
    const size_t dataBound = r->dwDataLen < EVT_MAX_TEXT ? r->dwDataLen : EVT_MAX_TEXT;
    return DWORD(strnlen(r->szSource, 256) + strnlen(r->szUserName, 256) + strnlen(r->szProviderText, 256) +
                 strnlen(r->szStringA, 256) + strnlen(r->szStringB, 256) +
                 strnlen(reinterpret_cast<const char*>(r->Data), dataBound) + 21);
}

DWORD CEvWEVLogQueue::GetQueueSize(const RecordList* pList, int from, int to) {
    DWORD total = 0;
    for (int i = from; i < to; ++i) total += GetElementSize(pList, i);
    return total;
}

// ---- "WEVFileCount" ------------------------------------------------------------

void CEvWEVLogQueue::GetRegFileCount() {
    CRegApi key;
    DWORD value = 0;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, wevlog::kLogViewerKey, KEY_READ) == ERROR_SUCCESS &&
        key.QueryValue(wevlog::kFileCountValue, value) == ERROR_SUCCESS && value >= 1 && value <= 0x7FFFFFFF) {
        m_iCount = int(value);
    }
    if (m_pState != nullptr) m_pState->storedCount = m_iCount;
}

// Stored only when this process changed it: a process that never rolled a
// file over (a user-interface process, say) must not put back the value it
// read at its start over a newer one.
void CEvWEVLogQueue::SetRegFileCount() {
    if (m_pState != nullptr && m_pState->storedCount == m_iCount) return;
    CRegApi key;
    if (key.CreateKey(HKEY_LOCAL_MACHINE, wevlog::kLogViewerKey, 0, KEY_ALL_ACCESS, nullptr) != ERROR_SUCCESS) return;
    if (key.SetValue(wevlog::kFileCountValue, DWORD(m_iCount)) == ERROR_SUCCESS && m_pState != nullptr)
        m_pState->storedCount = m_iCount;
}

void CEvWEVLogQueue::RetrieveRegistrySettings() { GetRegFileCount(); }

void CEvWEVLogQueue::SetRegistrySettings() { SetRegFileCount(); }
