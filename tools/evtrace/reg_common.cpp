#include "reg_common.h"

#include <strings.h>

#include <fmt/format.h>

#include "command.h"

namespace evtrace::reg {

const char kKeyHelp[] =
    "KEY is ROOT\\Path with ROOT one of HKLM, HKCU, HKU (or HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS).";
namespace {

struct RootName {
    const char* abbreviation;
    const char* name;
    HKEY key;
};

const RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
};

bool iequals(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

std::optional<KeyPath> parse_key_path(std::string text) {
    while (!text.empty() && text.back() == '\\') text.pop_back();
    size_t slash = text.find('\\');
    std::string head = text.substr(0, slash);
    for (const RootName& root : kRoots) {
        if (iequals(head, root.abbreviation) || iequals(head, root.name))
            return KeyPath{root.key, root.name, slash == std::string::npos ? "" : text.substr(slash + 1)};
    }
    return std::nullopt;
}

KeyPath key_argument(const std::string& text) {
    std::optional<KeyPath> path = parse_key_path(text);
    if (!path) Fail(exit_code::kUsage, "\"" + text + "\"", "not a registry key", kKeyHelp);
    return *path;
}

[[noreturn]] void fail(const std::string& what, LSTATUS status) {
    if (status == ERROR_FILE_NOT_FOUND) Fail(exit_code::kNotFound, what, "no such key or value");
    if (status == ERROR_NOT_SUPPORTED)
        Fail(exit_code::kFailed, what, "not supported by this registry: " + SystemText(status));
    FailStatus(what, DWORD(status));
}

LSTATUS open_path(const KeyPath& path, REGSAM access, OpenKey* out) {
    return RegOpenKeyExA(path.root, path.sub.empty() ? nullptr : path.sub.c_str(), 0, access, out->out());
}

void create_path(const KeyPath& path, OpenKey* out) {
    LSTATUS status = RegCreateKeyExA(path.root, path.sub.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                     out->out(), nullptr);
    if (status != ERROR_SUCCESS) fail(path.display(), status);
}

std::vector<ValueItem> read_values(HKEY key, const KeyPath& path) {
    DWORD max_name = 0, max_data = 0;
    LSTATUS status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &max_name,
                                      &max_data, nullptr, nullptr);
    if (status != ERROR_SUCCESS) fail(path.display(), status);
    std::vector<ValueItem> values;
    std::vector<char> name(max_name + 1);
    std::vector<BYTE> data(max_data + 1);
    for (DWORD i = 0;; ++i) {
        DWORD name_chars = DWORD(name.size());
        DWORD data_size = DWORD(data.size());
        ValueItem item;
        status = RegEnumValueA(key, i, name.data(), &name_chars, nullptr, &item.type, data.data(), &data_size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_MORE_DATA) {
            // Changed while we read: start again with room for it.
            return read_values(key, path);
        }
        if (status != ERROR_SUCCESS) fail(path.display(), status);
        item.name.assign(name.data(), name_chars);
        // Strings stored without their terminator come back with it when
        // there is room; a buffer one byte smaller that still takes the
        // whole value finds the stored bytes, which export keeps exact.
        if (item.type == REG_SZ || item.type == REG_EXPAND_SZ || item.type == REG_MULTI_SZ) {
            for (int cut = 0; cut < 2 && data_size > 0 && data[data_size - 1] == 0; ++cut) {
                DWORD chars = DWORD(name.size());
                DWORD smaller = data_size - 1;
                LSTATUS again = RegEnumValueA(key, i, name.data(), &chars, nullptr, nullptr, data.data(), &smaller);
                if (again != ERROR_SUCCESS || smaller != data_size - 1) break;
                data_size = smaller;
            }
        }
        item.data.assign(reinterpret_cast<const char*>(data.data()), data_size);
        values.push_back(std::move(item));
    }
    return values;
}

std::vector<std::string> read_subkeys(HKEY key, const KeyPath& path) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD chars = sizeof name;
        LSTATUS status = RegEnumKeyExA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) fail(path.display(), status);
        names.emplace_back(name, chars);
    }
    return names;
}
std::string type_name(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK: return "REG_LINK";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return fmt::format("0x{:X}", type);
    }
}

uint64_t little_endian(const std::string& data, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes && i < data.size(); ++i)
        value |= uint64_t(static_cast<unsigned char>(data[i])) << (8 * i);
    return value;
}

std::string little_endian_bytes(uint64_t value, size_t bytes) {
    std::string out;
    for (size_t i = 0; i < bytes; ++i) out += char((value >> (8 * i)) & 0xFF);
    return out;
}

}  // namespace evtrace::reg
