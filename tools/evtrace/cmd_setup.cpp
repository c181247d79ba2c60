// evtrace setup: installs the event databases into the machine root and
// writes the registry values that point the library at them, as the suite's
// installer does. Running it again leaves the same state.
#include <TraceApi.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "command.h"

namespace evtrace {
namespace {

constexpr char kApiKey[] = "Software\\Vanta\\Wireless\\EvTrace\\API\\";
constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";
constexpr char kWirelessKey[] = "SOFTWARE\\Vanta\\Wireless";

struct Options {
    std::string dataDir;
    std::string installDir = "C:\\Program Files\\Vanta\\Wireless";
    unsigned maxEvents = 200;
    bool quiet = false;
};

// Where the databases come from: the option, EVTRACE_DATA_DIR, the installed
// share folder next to the program, or the source tree it was built from.
std::string FindDataDir(const std::string& given) {
    std::error_code ec;
    if (!given.empty()) {
        if (!std::filesystem::is_directory(given, ec))
            Fail(exit_code::kNotFound, "--data-dir " + given,
                 std::filesystem::exists(given, ec) ? "is not a folder" : "does not exist",
                 "give the folder that holds the event databases (TraceENU.bin, ...)");
        return given;
    }
    std::vector<std::string> candidates;
    if (const char* env = getenv("EVTRACE_DATA_DIR")) candidates.push_back(env);
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) candidates.push_back((exe.parent_path() / "../share/TraceApi/data").lexically_normal().string());
#ifdef TRACEAPI_SOURCE_DATA_DIR
    candidates.push_back(TRACEAPI_SOURCE_DATA_DIR);
#endif
    for (const std::string& dir : candidates) {
        if (std::filesystem::exists(std::filesystem::path(dir) / "TraceENU.bin", ec)) return dir;
    }
    Fail(exit_code::kNotFound, "event databases", "not found next to evtrace nor in EVTRACE_DATA_DIR",
         "give --data-dir or set EVTRACE_DATA_DIR to the folder that holds TraceENU.bin");
}

// Creates a Windows folder and its parents inside the machine root.
void EnsureFolder(const std::string& path) {
    std::string prefix;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        prefix = path.substr(0, end);
        if (!prefix.empty() && prefix.back() != ':' && GetFileAttributesA(prefix.c_str()) == INVALID_FILE_ATTRIBUTES &&
            !CreateDirectoryA(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            FailStatus("folder " + prefix, GetLastError());
        }
        start = end + 1;
    }
}

class Key {
public:
    explicit Key(const char* path) {
        LONG status =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
        if (status != ERROR_SUCCESS) FailStatus(std::string("HKLM\\") + path, DWORD(status));
    }
    ~Key() { RegCloseKey(m_key); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    void SetString(const char* name, const std::string& value) {
        Check(name, RegSetValueExA(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   DWORD(value.size() + 1)));
    }
    void SetDword(const char* name, DWORD value) {
        Check(name, RegSetValueExA(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
    }
    bool Has(const char* name) {
        return RegQueryValueExA(m_key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

private:
    static void Check(const char* name, LONG status) {
        if (status != ERROR_SUCCESS) FailStatus(std::string("registry value ") + name, DWORD(status));
    }
    HKEY m_key = nullptr;
};

void Run(const Options& options) {
    const std::string dataDir = FindDataDir(options.dataDir);
    MayMakeMachineRoot();
    std::string install = options.installDir;
    while (!install.empty() && install.back() == '\\') install.pop_back();
    const std::string databases = install + "\\Data\\";
    const std::string bin = install + "\\Bin\\";
    EnsureFolder(databases);
    EnsureFolder(bin);

    int copied = 0;
    std::error_code ec;
    std::filesystem::directory_iterator entries(dataDir, ec);
    if (ec) Fail(exit_code::kFailed, dataDir, "cannot be read: " + ec.message());
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (name.size() != 12 || name.rfind("Trace", 0) != 0 || entry.path().extension() != ".bin") continue;
        const std::string target = databases + name;
        if (!CopyFileA(entry.path().c_str(), target.c_str(), FALSE))
            FailStatus(fmt::format("copy of {} to {}", entry.path().string(), target), GetLastError());
        if (!options.quiet) printf("installed %s\n", target.c_str());
        ++copied;
    }
    if (copied == 0)
        Fail(exit_code::kNotFound, dataDir, "holds no event databases (Trace<LANG>.bin)", "give the data folder");

    {
        Key api(kApiKey);
        api.SetString("DatabasePath", databases);
        // The alert switch is the user's once it exists.
        if (!api.Has("EnableAlerts")) api.SetDword("EnableAlerts", 1);
        Key providers((std::string(kApiKey) + "Providers").c_str());
    }
    {
        Key eng(kEngKey);
        eng.SetDword("MaxEvents", options.maxEvents);
        eng.SetString("SnapShotFile", databases + "EvtSnapShot.bin");
    }
    {
        Key wireless(kWirelessKey);
        wireless.SetString("InstallDir", install + "\\");
        wireless.SetString("NimbusBinDir", bin);
    }
    if (!options.quiet) {
        printf("HKLM\\%s DatabasePath = %s\n", kApiKey, databases.c_str());
        printf("HKLM\\%s MaxEvents = %u, SnapShotFile = %sEvtSnapShot.bin\n", kEngKey, options.maxEvents,
               databases.c_str());
        printf("HKLM\\%s NimbusBinDir = %s\n", kWirelessKey, bin.c_str());
    }
}

void setup(CLI::App& app) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("setup", "Install the event databases and the registry values that find them");
    cmd->add_option("--data-dir", options->dataDir, "Folder holding Trace<LANG>.bin (default: found automatically)");
    cmd->add_option("--install-dir", options->installDir, "The suite's installation folder (a Windows path)")
        ->capture_default_str();
    cmd->add_option("--max-events", options->maxEvents, "Capacity of the event engine's queue (MaxEvents)")
        ->capture_default_str()
        ->check(WholeNumber(1, 1000000));
    cmd->add_flag("--quiet,-q", options->quiet, "Print nothing on success");
    cmd->callback([options] { Run(*options); });
}

const CommandRegistrar registrar("05-setup", &setup);

}  // namespace
}  // namespace evtrace
