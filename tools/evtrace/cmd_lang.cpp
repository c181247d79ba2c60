// evtrace lang: the language code the library chooses on this machine and
// the event database file it reads for it.
#include <TraceApi.h>
#include <stdio.h>
#include <winnls.h>

#include <memory>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "command.h"
#include "host/LoadResourceDLL.h"

namespace evtrace {
namespace {

std::string ReadString(const char* key, const char* name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle) != ERROR_SUCCESS) return {};
    char buffer[MAX_PATH] = {};
    DWORD size = sizeof buffer - 1;
    LONG status = RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS ? std::string(buffer) : std::string();
}

void Run(bool json) {
    CLoadResourceDLL language;
    char code[8] = {};
    char mdb[MAX_PATH] = {};
    if (language.GetLanguageCode(code, sizeof code) != S_OK)
        Fail(exit_code::kFailed, "language", "no language code could be chosen");
    if (language.GetDatabaseFileName(mdb, sizeof mdb) != S_OK)
        Fail(exit_code::kFailed, "language " + std::string(code), "no event database name for it");
    std::string database = mdb;
    database.replace(database.rfind('.'), std::string::npos, ".bin");
    const std::string folder = ReadString("Software\\Vanta\\Wireless\\EvTrace\\API\\", "DatabasePath");
    const std::string path = folder.empty() ? std::string() : folder + database;
    const bool present = !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    const LANGID user = GetUserDefaultUILanguage();
    const LANGID system = GetSystemDefaultLangID();
    if (json) {
        nlohmann::json out = {{"code", JsonText(code)},
                              {"databaseName", JsonText(mdb)},
                              {"databaseFile", JsonText(database)},
                              {"databasePath", JsonText(path)},
                              {"present", present},
                              {"userUILanguage", fmt::format("0x{:04x}", user)},
                              {"systemLanguage", fmt::format("0x{:04x}", system)}};
        printf("%s\n", JsonLine(out).c_str());
        return;
    }
    printf("language:      %s (user UI 0x%04x, system 0x%04x)\n", code, user, system);
    printf("database name: %s\n", Printable(mdb).c_str());
    if (path.empty()) {
        printf("database file: %s (DatabasePath not set: run evtrace setup)\n", Printable(database).c_str());
    } else {
        printf("database file: %s%s\n", Printable(path).c_str(), present ? "" : " (missing)");
    }
}

void setup(CLI::App& app) {
    auto json = std::make_shared<bool>(false);
    CLI::App* cmd = app.add_subcommand("lang", "Show the language code and the event database it selects");
    cmd->add_flag("--json", *json, "One JSON object");
    cmd->callback([json] { Run(*json); });
}

const CommandRegistrar registrar("06-lang", &setup);

}  // namespace
}  // namespace evtrace
