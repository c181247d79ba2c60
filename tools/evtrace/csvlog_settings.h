// The event-viewer CSV logging settings in the registry: their layout, the
// reader that turns them into the record the data queue takes, and the
// watcher that hands them to it at start and after every change.
//
// Values under HKEY_LOCAL_MACHINE "SOFTWARE\Vanta\Wireless\LogViewer\AllUsers"
// (the key that also holds the logger's "WEVFileCount"); each missing or
// unusable value takes its default. "Enable" is the master switch: at 0
// logging is off whichever rule set "UseExtended" chooses.
#pragma once

#include <TraceApi.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace evtrace::csvlog {

inline constexpr char kKeyPath[] = "SOFTWARE\\Vanta\\Wireless\\LogViewer\\AllUsers";
inline constexpr char kKeyDisplay[] = "HKLM\\SOFTWARE\\Vanta\\Wireless\\LogViewer\\AllUsers";
inline constexpr char kFileCountValue[] = "WEVFileCount";

enum class Kind { Switch, Number, Folder, Name };

// One value of the layout and the record field it fills.
struct SettingInfo {
    const char* name;
    Kind kind;
    size_t offset;  // in _VANTA_WEV_LOGGING_SETTINGS
    DWORD min, max;  // numbers; for texts the longest text
    DWORD defaultNumber;
    const char* defaultText;  // null for numbers; "" for none
    const char* help;
};

const std::vector<SettingInfo>& Layout();
// The value of that name, without regard to case; null when none.
const SettingInfo* FindValue(const std::string& name);

// Checks a text for a value: empty when it is usable, else why not (in
// words). `canonical` receives the value as it is stored.
std::string CheckValue(const SettingInfo& info, const std::string& text, DWORD* number, std::string* canonical);

struct ReadResult {
    // What the data queue is given: `stored` with the master switch applied.
    _VANTA_WEV_LOGGING_SETTINGS settings;
    // The values as stored (defaults for the missing and unusable ones).
    _VANTA_WEV_LOGGING_SETTINGS stored;
    // Per value of the layout: stored (else the default is used).
    std::vector<bool> present;
    // Values that are present but unusable (and so take their default).
    std::vector<std::string> problems;
    // The registry's own answer when the key could not be opened
    // (ERROR_FILE_NOT_FOUND: nothing stored, every value its default).
    LONG keyStatus = ERROR_SUCCESS;
};

// Reads the settings; never fails (defaults stand in for what is missing).
ReadResult ReadSettings();

// Hands the settings to a sink at Start and again whenever the key changes
// (RegNotifyChangeKeyValue; the nearest existing parent key is watched
// while the key does not exist). Unchanged settings are not handed again.
class SettingsWatcher {
public:
    using Sink = std::function<void(const _VANTA_WEV_LOGGING_SETTINGS&)>;

    SettingsWatcher() = default;
    SettingsWatcher(const SettingsWatcher&) = delete;
    SettingsWatcher& operator=(const SettingsWatcher&) = delete;
    ~SettingsWatcher() { Stop(); }

    // Reads and hands the settings on the calling thread, then watches on a
    // thread of its own. False (with the reason) when no watch can be set up.
    bool Start(Sink sink, std::string* error);
    // Ends the watching; the sink is not called after it returns.
    void Stop();
    // How often settings were handed (for tests and status lines).
    unsigned handed() const { return handed_.load(); }

private:
    void Run();
    void HandIfChanged();

    Sink sink_;
    HANDLE stop_ = nullptr;
    std::thread thread_;
    _VANTA_WEV_LOGGING_SETTINGS last_ = {};
    std::atomic<unsigned> handed_{0};
};

}  // namespace evtrace::csvlog
