// evtrace csvlog status|enable|disable|set KEY VALUE: the settings of the
// event-viewer CSV logs in the registry (layout in csvlog_settings.h). The
// event engine hands them to its data queue at start and after each change.
//
// Exit codes: 0 done; 1 the registry refused the change (or could not be
// read); 2 an unknown KEY or an unusable VALUE (nothing is changed).
#include <TraceApi.h>
#include <stdio.h>
#include <string.h>
#include <winreg.h>

#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "command.h"
#include "csvlog_settings.h"

namespace evtrace {
namespace {

using namespace csvlog;

constexpr int kExitRegistry = 1;
constexpr int kExitBadArgument = 2;

std::string StatusText(LONG status) {
    switch (status) {
        case ERROR_ACCESS_DENIED: return "access denied";
        case ERROR_BUSY: return "the registry is busy";
        case ERROR_FILE_NOT_FOUND: return "not found";
        default: return SystemText(DWORD(status));
    }
}

std::string RegistryFix(LONG status) {
    return status == ERROR_ACCESS_DENIED
               ? "run evtrace as the owner of the machine root (EVTRACE_ROOT) or as the superuser"
               : "try again; `evtrace reg query HKLM\\SOFTWARE\\Vanta\\Wireless\\LogViewer\\AllUsers` shows the key";
}

void Store(const SettingInfo& info, const std::string& canonical, DWORD number) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        if (info.kind == Kind::Switch || info.kind == Kind::Number) {
            status =
                RegSetValueExA(key, info.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
        } else {
            status = RegSetValueExA(key, info.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(canonical.c_str()),
                                    DWORD(canonical.size() + 1));
        }
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        throw CommandError{fmt::format("cannot store \"{}\" under {}: {}; {}", info.name, kKeyDisplay,
                                       StatusText(status), RegistryFix(status)),
                           kExitRegistry};
}

void Set(const std::string& name, const std::string& value) {
    const SettingInfo* info = FindValue(name);
    if (info == nullptr) {
        std::string names;
        for (const SettingInfo& s : Layout()) names += std::string(names.empty() ? "" : ", ") + s.name;
        throw CommandError{fmt::format("\"{}\" is not a CSV logging setting; the settings are: {}", name, names),
                           kExitBadArgument};
    }
    DWORD number = 0;
    std::string canonical;
    const std::string why = CheckValue(*info, value, &number, &canonical);
    if (!why.empty())
        throw CommandError{fmt::format("{} \"{}\" {}; nothing was changed", info->name, value, why), kExitBadArgument};
    Store(*info, canonical, number);
    printf("%s = %s\n", info->name, canonical.c_str());
}

void Switch(DWORD on) {
    Store(*FindValue("Enable"), {}, on);
    printf("CSV logging %s\n", on ? "enabled" : "disabled");
}

std::string FieldText(const _VANTA_WEV_LOGGING_SETTINGS& s, const SettingInfo& info) {
    const char* field = reinterpret_cast<const char*>(&s) + info.offset;
    if (info.kind == Kind::Switch || info.kind == Kind::Number) {
        DWORD value = 0;
        memcpy(&value, field, sizeof value);
        return std::to_string(value);
    }
    return std::string(field, strnlen(field, MAX_PATH));
}

bool FileCount(DWORD* count) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof *count;
    const LONG status = RegQueryValueExA(key, kFileCountValue, nullptr, &type, reinterpret_cast<BYTE*>(count), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof *count;
}

void Status(bool json) {
    const ReadResult read = ReadSettings();
    if (read.keyStatus != ERROR_SUCCESS && read.keyStatus != ERROR_FILE_NOT_FOUND)
        throw CommandError{fmt::format("cannot read {}: {}; {}", kKeyDisplay, StatusText(read.keyStatus),
                                       RegistryFix(read.keyStatus)),
                           kExitRegistry};
    const _VANTA_WEV_LOGGING_SETTINGS& s = read.stored;
    const bool on = s.dwEnable != 0;
    const char* rules = s.dwUseExtended == 1 ? "extended" : "basic";
    DWORD count = 0;
    const bool hasCount = FileCount(&count);
    if (json) {
        nlohmann::json out;
        out["key"] = kKeyDisplay;
        out["logging"] = on;
        out["rules"] = rules;
        for (size_t i = 0; i < Layout().size(); ++i) {
            const SettingInfo& info = Layout()[i];
            const std::string text = FieldText(s, info);
            nlohmann::json value;
            if (info.kind == Kind::Switch || info.kind == Kind::Number) {
                value["value"] = std::stoul(text);
            } else {
                value["value"] = JsonText(text);
            }
            value["default"] = !read.present[i];
            out["values"][info.name] = value;
        }
        if (hasCount) out[kFileCountValue] = count;
        out["problems"] = read.problems;
        printf("%s\n", JsonPretty(out).c_str());
        return;
    }
    printf("CSV logging: %s%s\n", on ? "on, " : "off", on ? rules : "");
    printf("settings: %s%s\n", kKeyDisplay, read.keyStatus == ERROR_FILE_NOT_FOUND ? " (not there: all defaults)" : "");
    for (size_t i = 0; i < Layout().size(); ++i) {
        const SettingInfo& info = Layout()[i];
        const std::string text = FieldText(s, info);
        printf("  %-17s %s%s\n", info.name, text.empty() ? "(empty)" : text.c_str(),
               read.present[i] ? "" : "  (default)");
    }
    printf("  %-17s %s\n", kFileCountValue, hasCount ? std::to_string(count).c_str() : "(not stored yet)");
    for (const std::string& problem : read.problems) printf("problem: %s\n", problem.c_str());
}

void setup(CLI::App& app) {
    CLI::App* csvlog = app.add_subcommand("csvlog", "Settings of the event-viewer CSV logs (the engine applies them)");
    csvlog->require_subcommand(1);
    csvlog->footer(
        "Settings live under HKLM\\SOFTWARE\\Vanta\\Wireless\\LogViewer\\AllUsers; the event engine applies a change "
        "at once.\nExit codes: 0 done, 1 the registry refused, 2 an unknown setting or an unusable value.");
    static bool json = false;
    CLI::App* status = csvlog->add_subcommand("status", "Show the settings, their defaults and the roll-over counter");
    status->add_flag("--json", json, "Machine-readable output");
    status->callback([] { Status(json); });
    csvlog->add_subcommand("enable", "Write the CSV logs (Enable = 1)")->callback([] { Switch(1); });
    csvlog->add_subcommand("disable", "Write no CSV logs (Enable = 0)")->callback([] { Switch(0); });
    static std::string key, value;
    std::string keys;
    for (const SettingInfo& info : Layout()) keys += fmt::format("\n  {:<17} {}", info.name, info.help);
    CLI::App* set = csvlog->add_subcommand("set", "Change one setting");
    set->add_option("KEY", key, "The setting (case does not matter)")->required();
    set->add_option("VALUE", value, "Its new value: a number, a folder (C:\\...) or a name")->required();
    set->footer("Settings:" + keys + "\n");
    set->callback([] { Set(key, value); });
}

const CommandRegistrar registrar("47-csvlog", &setup);

}  // namespace
}  // namespace evtrace
