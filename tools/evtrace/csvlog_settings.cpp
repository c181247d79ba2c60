#include "csvlog_settings.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <winreg.h>

namespace evtrace::csvlog {

namespace {

constexpr char kDefaultFolder[] = "C:\\ProgramData\\Vanta\\Wireless\\EventViewer";
// A folder leaves room in a 260-character path for a name and the date.
constexpr DWORD kMaxFolder = 200;
constexpr DWORD kMaxName = 32;
constexpr DWORD kMaxMegabytes = 4095;  // the byte limits are 32-bit
constexpr DWORD kMaxDays = 36500;

#define FIELD(f) offsetof(_VANTA_WEV_LOGGING_SETTINGS, f)

const std::vector<SettingInfo> kLayout = {
    {"Enable", Kind::Switch, FIELD(dwEnable), 0, 1, 0, nullptr, "1 writes the logs (either rule set), 0 writes none"},
    {"LogFolder", Kind::Folder, FIELD(szLogFolder), 0, kMaxFolder, 0, kDefaultFolder, "folder of the log files"},
    {"LogName", Kind::Name, FIELD(szLogName), 0, kMaxName, 0, "",
     "base name of the files; empty or \"ComputerName_UserDomain\": computer_user"},
    {"MaxFileSizeMB", Kind::Number, FIELD(dwMaxFileSizeMB), 1, kMaxMegabytes, 1, nullptr,
     "a day file rolls over to a numbered name at this size (MiB)"},
    {"DeleteFlags", Kind::Number, FIELD(dwDeleteFlags), 0, 3, 0, nullptr,
     "1 deletes log files older than DeleteDays; 2 deletes every log file but today's when the folder passes "
     "FolderSizeMB"},
    {"DeleteDays", Kind::Number, FIELD(dwDeleteDays), 0, kMaxDays, 30, nullptr, "age in days for deletion"},
    {"FolderSizeMB", Kind::Number, FIELD(dwFolderSizeMB), 1, kMaxMegabytes, 100, nullptr,
     "folder size limit (MiB) for deletion by size"},
    {"UseExtended", Kind::Switch, FIELD(dwUseExtended), 0, 1, 0, nullptr,
     "1 uses the Ext* rules below instead of the basic ones"},
    {"ExtLogFolder", Kind::Folder, FIELD(szExtLogFolder), 0, kMaxFolder, 0, kDefaultFolder,
     "extended: folder of the log files"},
    {"ExtLogName", Kind::Name, FIELD(szExtLogName), 0, kMaxName, 0, "",
     "extended: kept, not used (files are named computer_user)"},
    {"ExtMaxFileSizeMB", Kind::Number, FIELD(dwExtMaxFileSizeMB), 1, kMaxMegabytes, 1, nullptr,
     "extended: roll-over size (MiB)"},
    {"ExtCopyFlags", Kind::Number, FIELD(dwExtCopyFlags), 0, 3, 0, nullptr,
     "extended: 0 no copies; 1 copies after every batch; 2 copies files older than ExtCopyDays"},
    {"ExtCopyFolder", Kind::Folder, FIELD(szExtCopyFolder), 0, kMaxFolder, 0, "",
     "extended: copy (and move) destination"},
    {"ExtCopyDays", Kind::Number, FIELD(dwExtCopyDays), 0, kMaxDays, 7, nullptr, "extended: age in days for copying"},
    {"ExtDeleteFlags", Kind::Number, FIELD(dwExtDeleteFlags), 0, 7, 0, nullptr,
     "extended: 1 deletes by age, 2 by folder size, 4 moves the log files to ExtCopyFolder (with ExtCopyFlags set)"},
    {"ExtDeleteDays", Kind::Number, FIELD(dwExtDeleteDays), 0, kMaxDays, 30, nullptr,
     "extended: age in days for deletion"},
    {"ExtFolderSizeMB", Kind::Number, FIELD(dwExtFolderSizeMB), 1, kMaxMegabytes, 100, nullptr,
     "extended: folder size limit (MiB)"},
};

#undef FIELD

void PutNumber(_VANTA_WEV_LOGGING_SETTINGS& s, const SettingInfo& info, DWORD value) {
    memcpy(reinterpret_cast<char*>(&s) + info.offset, &value, sizeof value);
}

void PutText(_VANTA_WEV_LOGGING_SETTINGS& s, const SettingInfo& info, const std::string& text) {
    char* field = reinterpret_cast<char*>(&s) + info.offset;
    memset(field, 0, MAX_PATH);
    memcpy(field, text.data(), text.size() < MAX_PATH - 1 ? text.size() : MAX_PATH - 1);
}

bool IsNumber(Kind kind) { return kind == Kind::Switch || kind == Kind::Number; }

}  // namespace

const std::vector<SettingInfo>& Layout() { return kLayout; }

const SettingInfo* FindValue(const std::string& name) {
    for (const SettingInfo& info : kLayout)
        if (strcasecmp(info.name, name.c_str()) == 0) return &info;
    return nullptr;
}

std::string CheckValue(const SettingInfo& info, const std::string& text, DWORD* number, std::string* canonical) {
    char buffer[64];
    if (IsNumber(info.kind)) {
        const char* p = text.c_str();
        if (*p == '\0' || strspn(p, "0123456789") != text.size() || text.size() > 10) {
            snprintf(buffer, sizeof buffer, "a whole number from %u to %u", unsigned(info.min), unsigned(info.max));
            return std::string("is not ") + buffer;
        }
        const unsigned long long value = strtoull(p, nullptr, 10);
        if (value < info.min || value > info.max) {
            snprintf(buffer, sizeof buffer, "lies outside %u to %u", unsigned(info.min), unsigned(info.max));
            return buffer;
        }
        *number = DWORD(value);
        *canonical = std::to_string(value);
        return {};
    }
    std::string value = text;
    if (info.kind == Kind::Folder) {
        while (value.size() > 3 && (value.back() == '\\' || value.back() == '/')) value.pop_back();
        if (value.empty() && info.defaultText[0] == '\0') {
            *canonical = value;
            return {};
        }
        const bool absolute = value.size() >= 3 && ((value[0] >= 'A' && value[0] <= 'Z') ||
                                                    (value[0] >= 'a' && value[0] <= 'z')) &&
                              value[1] == ':' && value[2] == '\\';
        if (!absolute) return "is not a folder with its drive (like C:\\Logs\\EventViewer)";
        if (value.find_first_of("*?\"<>|/", 0) != std::string::npos || value.find(':', 2) != std::string::npos)
            return "holds a character that folder names cannot hold (* ? \" < > | / :)";
    } else if (value.find_first_of("\\/:*?\"<>|") != std::string::npos) {
        return "holds a character that file names cannot hold (\\ / : * ? \" < > |)";
    }
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20) return "holds a control character";
    if (value.size() > info.max) {
        snprintf(buffer, sizeof buffer, "is longer than %u characters", unsigned(info.max));
        return buffer;
    }
    *canonical = value;
    return {};
}

ReadResult ReadSettings() {
    ReadResult result;
    memset(&result.settings, 0, sizeof result.settings);
    result.present.assign(kLayout.size(), false);
    for (const SettingInfo& info : kLayout) {
        if (IsNumber(info.kind)) {
            PutNumber(result.settings, info, info.defaultNumber);
        } else {
            PutText(result.settings, info, info.defaultText);
        }
    }
    HKEY key = nullptr;
    result.keyStatus = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key);
    result.stored = result.settings;
    if (result.keyStatus != ERROR_SUCCESS) return result;
    for (size_t i = 0; i < kLayout.size(); ++i) {
        const SettingInfo& info = kLayout[i];
        BYTE data[MAX_PATH + 8] = {};
        DWORD type = 0, size = sizeof data - 1;
        const LONG status = RegQueryValueExA(key, info.name, nullptr, &type, data, &size);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        std::string text, canonical, why;
        DWORD number = 0;
        if (status != ERROR_SUCCESS) {
            why = status == ERROR_MORE_DATA ? "is too long" : "cannot be read";
        } else if (IsNumber(info.kind)) {
            if (type != REG_DWORD || size != sizeof(DWORD)) {
                why = "is not a REG_DWORD";
            } else {
                memcpy(&number, data, sizeof number);
                why = CheckValue(info, std::to_string(number), &number, &canonical);
            }
        } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
            why = "is not a REG_SZ";
        } else {
            text.assign(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
            why = CheckValue(info, text, &number, &canonical);
        }
        if (!why.empty()) {
            result.problems.push_back(std::string("\"") + info.name + "\" " + why + "; its default is used");
            continue;
        }
        result.present[i] = true;
        if (IsNumber(info.kind)) {
            PutNumber(result.settings, info, number);
        } else {
            PutText(result.settings, info, canonical);
        }
    }
    RegCloseKey(key);
    result.stored = result.settings;
    // The master switch: off means off, whichever rule set is chosen.
    if (result.settings.dwEnable == 0) result.settings.dwUseExtended = 0;
    return result;
}

// ---- Watching ----------------------------------------------------------------

bool SettingsWatcher::Start(Sink sink, std::string* error) {
    Stop();
    sink_ = std::move(sink);
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop_ == nullptr) {
        if (error) *error = "cannot create an event to stop the settings watcher (error " +
                            std::to_string(GetLastError()) + ")";
        return false;
    }
    memset(&last_, 0, sizeof last_);
    const _VANTA_WEV_LOGGING_SETTINGS first = ReadSettings().settings;
    last_ = first;
    sink_(first);
    ++handed_;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::exception& e) {
        CloseHandle(stop_);
        stop_ = nullptr;
        if (error) *error = std::string("cannot start the settings watcher: ") + e.what();
        return false;
    }
    return true;
}

void SettingsWatcher::Stop() {
    if (stop_ == nullptr) return;
    SetEvent(stop_);
    if (thread_.joinable()) thread_.join();
    CloseHandle(stop_);
    stop_ = nullptr;
}

void SettingsWatcher::HandIfChanged() {
    const _VANTA_WEV_LOGGING_SETTINGS now = ReadSettings().settings;
    if (memcmp(&now, &last_, sizeof now) == 0) return;
    last_ = now;
    sink_(now);
    ++handed_;
}

// Each round arms a watch before reading, so a change made while the
// settings are read or handed still wakes the next round. The key is opened
// afresh every round: it may have been created or deleted meanwhile.
void SettingsWatcher::Run() {
    HANDLE changed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (;;) {
        HKEY key = nullptr;
        bool subtree = false;
        std::string path = kKeyPath;
        while (changed != nullptr) {
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_NOTIFY, &key) == ERROR_SUCCESS) break;
            key = nullptr;
            if (path.empty()) break;
            const size_t slash = path.rfind('\\');
            path = slash == std::string::npos ? std::string() : path.substr(0, slash);
            subtree = true;
        }
        if (changed != nullptr) ResetEvent(changed);  // closing the last key signalled it
        const bool armed =
            key != nullptr && RegNotifyChangeKeyValue(key, subtree, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                                      changed, TRUE) == ERROR_SUCCESS;
        HandIfChanged();
        HANDLE handles[2] = {stop_, changed};
        // Without a watch the key is looked at once a second.
        const DWORD wait = WaitForMultipleObjects(armed ? 2 : 1, handles, FALSE, armed ? INFINITE : 1000);
        if (key != nullptr) RegCloseKey(key);
        if (wait == WAIT_OBJECT_0) break;
    }
    if (changed != nullptr) CloseHandle(changed);
}

}  // namespace evtrace::csvlog
