// evtrace unified on|off|status|level|tail: the unified log's switch and
// component levels in the registry (a running engine follows them at once),
// and the log itself, followed across rotations as tail -F does.
//
// Exit codes: 0 done; 1 the registry or the log could not be read or
// written; 2 an unknown component or level.
#include <TraceApi.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <winreg.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <w32rt/machine.h>

#include "alerts/LoggingLevels.h"
#include "command.h"
#include "event_text.h"

namespace evtrace {
namespace {

using traceapi::kComponentRows;
using traceapi::kLevelBits;

constexpr int kExitFailed = 1;
constexpr int kExitUnknown = 2;
constexpr char kWirelessKey[] = "SOFTWARE\\Vanta\\Wireless";

std::string Key(const char* subkey = nullptr) {
    std::string key = traceapi::kUnifiedLoggingKey;
    if (subkey != nullptr) key += std::string("\\") + subkey;
    return key;
}

void WriteDword(const std::string& key, const char* name, DWORD value) {
    HKEY h = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(h);
    }
    if (status == ERROR_ACCESS_DENIED) {
        throw CommandError{fmt::format("cannot write HKLM\\{}: access denied; the machine root's administrator (its "
                                       "owner) or the superuser may",
                                       key),
                           kExitFailed};
    }
    if (status != ERROR_SUCCESS)
        throw CommandError{fmt::format("cannot write HKLM\\{} value {}: {}", key, name, SystemText(status)), kExitFailed};
}

// The value, or nothing when the key or value is missing.
bool ReadDword(const std::string& key, const char* name, DWORD* value) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return false;
    DWORD size = sizeof *value;
    const LONG status = RegQueryValueExA(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(h);
    return status == ERROR_SUCCESS && size == sizeof *value;
}

// "ERROR,WARN" for a mask; "none" for 0.
std::string LevelNames(DWORD mask) {
    std::string names;
    for (const auto& level : kLevelBits) {
        if ((mask & level.bit) == 0) continue;
        if (!names.empty()) names += ",";
        names += level.name;
    }
    if (mask & ~DWORD(0x3F)) names += fmt::format("{}0x{:x}", names.empty() ? "" : ",", mask & ~DWORD(0x3F));
    return names.empty() ? "none" : names;
}

// A mask from a number or from level names separated by commas.
DWORD ParseMask(const std::string& text) {
    char* end = nullptr;
    const unsigned long long number = strtoull(text.c_str(), &end, 0);
    if (!text.empty() && end != nullptr && *end == '\0') {
        if (number > 0xFFFFFFFFull) throw CommandError{"level mask out of range: " + text, kExitUnknown};
        return DWORD(number);
    }
    DWORD mask = 0;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t comma = text.find(',', begin);
        if (comma == std::string::npos) comma = text.size();
        const std::string name = text.substr(begin, comma - begin);
        bool known = false;
        for (const auto& level : kLevelBits) {
            if (strcasecmp(name.c_str(), level.name) == 0) {
                mask |= level.bit;
                known = true;
            }
        }
        if (strcasecmp(name.c_str(), "none") == 0) known = true;
        if (!known) {
            throw CommandError{fmt::format("unknown level \"{}\": give a mask (0x05) or names out of ERROR, WARN, "
                                           "INFO, NOTICE, VERBOSE, DEBUG, none",
                                           name),
                               kExitUnknown};
        }
        begin = comma + 1;
    }
    return mask;
}

// The subkey of a component given by its name or by its subkey.
const char* SubkeyOf(const std::string& component) {
    for (const auto& row : kComponentRows) {
        if (component == row.name || strcasecmp(component.c_str(), row.subkey) == 0) return row.subkey;
    }
    std::string known;
    for (const auto& row : kComponentRows) {
        if (known.find(std::string("\"") + row.name + "\"") != std::string::npos) continue;
        known += fmt::format("{}\"{}\"", known.empty() ? "" : ", ", row.name);
    }
    throw CommandError{fmt::format("unknown component \"{}\" (names are compared exactly); known: {}", component, known),
                       kExitUnknown};
}

std::string LogPath(bool windows) {
    char folder[MAX_PATH + 1] = {};
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWirelessKey, 0, KEY_QUERY_VALUE, &h) == ERROR_SUCCESS) {
        DWORD size = MAX_PATH;
        RegQueryValueExA(h, "InstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &size);
        RegCloseKey(h);
    }
    std::string path = folder;
    if (!path.empty() && path.back() != '\\') path += '\\';
    path += "UnifiedLogging\\OrkanLog.log";
    return windows ? path : w32rt::to_posix_path(path);
}

void Switch(DWORD value) {
    WriteDword(Key(), traceapi::kEnableFlagValue, value);
    printf("unified logging %s (EnableFlag 0x%lx)%s\n", value ? "on" : "off", static_cast<unsigned long>(value),
           (value & traceapi::kNumberedCopiesBit) ? ", numbered copies at each rotation" : "");
}

void Status(bool json) {
    DWORD flag = 0;
    const bool hasFlag = ReadDword(Key(), traceapi::kEnableFlagValue, &flag);
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, EVT_UL_ENABLED_EVENT);
    const char* emitters = event == nullptr ? "no switch event (no engine has run)"
                           : WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "on"
                                                                           : "off";
    if (event != nullptr) CloseHandle(event);
    struct stat st;
    const bool hasLog = ::stat(LogPath(false).c_str(), &st) == 0;
    nlohmann::json components = nlohmann::json::array();
    for (const auto& row : kComponentRows) {
        DWORD mask = 0;
        const bool has = ReadDword(Key(row.subkey), traceapi::kLogLevelValue, &mask);
        nlohmann::json c;
        c["component"] = row.name;
        c["subkey"] = row.subkey;
        c["mask"] = has ? mask : 0;
        c["levels"] = has ? LevelNames(mask) : "none (no LogLevel)";
        components.push_back(c);
    }
    if (json) {
        nlohmann::json out;
        out["enableFlag"] = flag;
        out["on"] = flag != 0;
        out["numberedCopies"] = (flag & traceapi::kNumberedCopiesBit) != 0;
        out["emitters"] = emitters;
        out["log"] = LogPath(true);
        out["logBytes"] = hasLog ? (unsigned long long)st.st_size : 0ULL;
        out["components"] = components;
        printf("%s\n", JsonLine(out).c_str());
        return;
    }
    printf("unified logging   %s (EnableFlag %s)\n", flag ? "on" : "off",
           hasFlag ? fmt::format("0x{:x}", flag).c_str() : "not set");
    printf("numbered copies   %s\n", (flag & traceapi::kNumberedCopiesBit) ? "yes" : "no");
    printf("emitters' switch  %s\n", emitters);
    printf("log               %s (%s)\n", LogPath(true).c_str(),
           hasLog ? fmt::format("{} bytes", (unsigned long long)st.st_size).c_str() : "not there");
    printf("components:\n");
    for (const auto& c : components) {
        printf("  %-20s %-16s %s\n", c["component"].get<std::string>().c_str(), c["subkey"].get<std::string>().c_str(),
               c["levels"].get<std::string>().c_str());
    }
}

void Level(const std::string& component, const std::string& mask) {
    const char* subkey = SubkeyOf(component);
    if (mask.empty()) {
        DWORD value = 0;
        const bool has = ReadDword(Key(subkey), traceapi::kLogLevelValue, &value);
        printf("%s (subkey %s): %s\n", component.c_str(), subkey,
               has ? fmt::format("0x{:02x} {}", value, LevelNames(value)).c_str() : "none (no LogLevel)");
        return;
    }
    const DWORD value = ParseMask(mask);
    WriteDword(Key(subkey), traceapi::kLogLevelValue, value);
    printf("%s (subkey %s): 0x%02lx %s; a running engine follows at once\n", component.c_str(), subkey,
           static_cast<unsigned long>(value), LevelNames(value).c_str());
}

std::atomic<bool> g_stop{false};

// Lines of a file read as they come: complete lines are printed (without
// their CR LF), a partial one waits for its end.
class Follower {
public:
    ~Follower() { Close(); }
    bool Open(const std::string& path) {
        Close();
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) return false;
        struct stat st;
        m_inode = ::fstat(m_fd, &st) == 0 ? st.st_ino : 0;
        m_partial.clear();
        return true;
    }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    bool IsOpen() const { return m_fd >= 0; }
    ino_t Inode() const { return m_inode; }
    off_t Offset() const { return m_fd >= 0 ? ::lseek(m_fd, 0, SEEK_CUR) : 0; }
    // Reads what there is; each complete line goes to `line`. False when
    // nothing came.
    template <typename Visit>
    bool Drain(Visit line) {
        bool any = false;
        char buffer[65536];
        for (ssize_t n; m_fd >= 0 && (n = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
            any = true;
            m_partial.append(buffer, size_t(n));
            size_t begin = 0;
            for (size_t eol; (eol = m_partial.find('\n', begin)) != std::string::npos; begin = eol + 1) {
                size_t end = eol;
                if (end > begin && m_partial[end - 1] == '\r') --end;
                line(m_partial.substr(begin, end - begin));
            }
            m_partial.erase(0, begin);
        }
        return any;
    }

private:
    int m_fd = -1;
    ino_t m_inode = 0;
    std::string m_partial;
};

// Prints the last `lines` lines, then (follow) what is appended. When the
// log is rotated away (the path names another file) or cut short, the rest
// of the old file is read first and the new one from its start, as tail -F
// does.
void Tail(unsigned long lines, bool follow) {
    const std::string path = LogPath(false);
    Follower log;
    if (!log.Open(path) && !follow) {
        throw CommandError{fmt::format("cannot read the unified log {}: is unified logging on and an engine running?",
                                       LogPath(true)),
                           kExitFailed};
    }
    std::deque<std::string> last;
    log.Drain([&](const std::string& line) {
        last.push_back(line);
        if (last.size() > lines) last.pop_front();
    });
    for (const std::string& l : last) printf("%s\n", l.c_str());
    fflush(stdout);
    if (!follow) return;
    signal(SIGINT, [](int) { g_stop = true; });
    signal(SIGTERM, [](int) { g_stop = true; });
    auto print = [](const std::string& line) { printf("%s\n", line.c_str()); };
    while (!g_stop) {
        bool any = log.Drain(print);
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 &&
            (!log.IsOpen() || st.st_ino != log.Inode() || st.st_size < log.Offset())) {
            any = log.Drain(print) || any;
            any = log.Open(path) || any;
        }
        fflush(stdout);
        if (!any) usleep(100 * 1000);
    }
}

void setup(CLI::App& app) {
    CLI::App* unified = app.add_subcommand("unified", "The unified log: its switch, component levels, and its lines");
    unified->require_subcommand(1);
    unified->footer("Exit codes: 0 done; 1 the registry or the log could not be read or written; 2 an unknown "
                    "component or level.");

    auto copies = std::make_shared<bool>(false);
    CLI::App* on = unified->add_subcommand("on", "Turn unified logging on (EnableFlag 1)");
    on->add_flag("--numbered-copies", *copies,
                 "Also keep a numbered copy of the log at each rotation (EnableFlag bit 31; the library's own "
                 "emitters then stay silent, as the switch event is set for exactly 1)");
    on->callback([copies] { Switch(*copies ? 0x80000001 : 1); });
    unified->add_subcommand("off", "Turn unified logging off (EnableFlag 0)")->callback([] { Switch(0); });

    auto json = std::make_shared<bool>(false);
    CLI::App* status = unified->add_subcommand("status", "The switch, the log and every component's levels");
    status->add_flag("--json", *json, "One JSON object");
    status->callback([json] { Status(*json); });

    auto component = std::make_shared<std::string>();
    auto mask = std::make_shared<std::string>();
    CLI::App* level =
        unified->add_subcommand("level", "Show or set a component's levels (a running engine follows at once)");
    level->add_option("component", *component, "The component's name (\"Harbor Gate\") or subkey (HarborGATE)")
        ->required();
    level->add_option("mask", *mask, "A mask (0x05) or level names: ERROR,WARN,INFO,NOTICE,VERBOSE,DEBUG or none");
    level->callback([component, mask] { Level(*component, *mask); });

    auto lines = std::make_shared<unsigned long>(10);
    auto follow = std::make_shared<bool>(false);
    CLI::App* tail = unified->add_subcommand("tail", "The log's last lines; -f follows it across rotations");
    tail->add_option("-n,--lines", *lines, "How many lines first")
        ->capture_default_str()
        ->check(WholeNumber(0, 1000000));
    tail->add_flag("-f,--follow", *follow, "Print lines as they are written, until Ctrl-C");
    tail->callback([lines, follow] { Tail(*lines, *follow); });
}

const CommandRegistrar registrar("45-unified", &setup);

}  // namespace
}  // namespace evtrace
