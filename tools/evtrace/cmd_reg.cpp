// evtrace reg query|add|delete|export|import: the machine root's registry,
// in the manner of the Windows "reg" tool, through the Win32 registry calls.
// The file format of export and import is in reg_file.cpp.
#include <stdio.h>
#include <ctype.h>
#include <string.h>
#include <strings.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <windows.h>

#include "command.h"
#include "reg_common.h"

namespace evtrace {
namespace {

using namespace reg;

bool iequals(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

const char kSlashHelp[] =
    "\nOptions may also be written as the reg tool takes them: /v NAME, /ve, /va, /s, /t TYPE, /d DATA, /f.";

// KEY with one value (-v NAME, or --ve for the default value), which the
// query, add and delete commands share.
struct KeyValueOptions {
    std::string key;
    std::string value;
    bool value_given = false;
    bool default_value = false;

    bool names_value() const { return value_given || default_value; }
    const char* value_name() const { return default_value ? "" : value.c_str(); }
};
// ---- Showing values --------------------------------------------------------

std::optional<DWORD> type_from_name(const std::string& name) {
    for (DWORD type : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_MULTI_SZ,
                       REG_QWORD})
        if (iequals(name, type_name(type).c_str())) return type;
    return std::nullopt;
}

std::string hex_bytes(const std::string& data) {
    std::string out;
    for (unsigned char c : data) out += fmt::format("{:02X}", c);
    return out;
}

std::string display_data(DWORD type, const std::string& data) {
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: return data.substr(0, data.find('\0'));
        case REG_MULTI_SZ: {
            std::string out;
            size_t start = 0;
            while (start < data.size() && data[start] != '\0') {
                size_t end = data.find('\0', start);
                if (end == std::string::npos) end = data.size();
                if (!out.empty()) out += "\\0";
                out += data.substr(start, end - start);
                start = end + 1;
            }
            return out;
        }
        case REG_DWORD:
            if (data.size() == 4) return fmt::format("0x{:x}", little_endian(data, 4));
            break;
        case REG_DWORD_BIG_ENDIAN:
            if (data.size() == 4) {
                uint32_t v = uint32_t(little_endian(data, 4));
                return fmt::format("0x{:x}", __builtin_bswap32(v));
            }
            break;
        case REG_QWORD:
            if (data.size() == 8) return fmt::format("0x{:x}", little_endian(data, 8));
            break;
        default: break;
    }
    return hex_bytes(data);
}

void print_value(const ValueItem& value) {
    printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : Printable(value.name).c_str(),
           type_name(value.type).c_str(), Printable(display_data(value.type, value.data)).c_str());
}

// ---- query -----------------------------------------------------------------

struct QueryOptions : KeyValueOptions {
    bool recurse = false;
};

// Prints a key and its values (the one asked for, or all); true when it
// showed something.
bool query_key(const KeyPath& path, const QueryOptions& options, bool top) {
    OpenKey key;
    LSTATUS status = open_path(path, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        if (top) fail(path.display(), status);
        return false;
    }
    std::vector<ValueItem> values = read_values(key.get(), path);
    bool one = options.names_value();
    std::vector<const ValueItem*> shown;
    for (const ValueItem& value : values)
        if (!one || strcasecmp(value.name.c_str(), options.value_name()) == 0)
            shown.push_back(&value);
    if (!one || !shown.empty()) {
        printf("\n%s\n", Printable(path.display()).c_str());
        for (const ValueItem* value : shown) print_value(*value);
    }
    bool found = !shown.empty();
    std::vector<std::string> subkeys = read_subkeys(key.get(), path);
    if (options.recurse) {
        for (const std::string& sub : subkeys) found |= query_key(path.child(sub), options, false);
    } else if (!one) {
        if (!subkeys.empty()) printf("\n");
        for (const std::string& sub : subkeys) printf("%s\n", Printable(path.child(sub).display()).c_str());
    }
    return found || !one;
}

void run_query(const QueryOptions& options) {
    KeyPath path = key_argument(options.key);
    if (!query_key(path, options, true))
        Fail(exit_code::kNotFound, path.display(), "has no value named \"" + options.value + "\"");
}
// ---- add -------------------------------------------------------------------

struct AddOptions : KeyValueOptions {
    std::string type = "REG_SZ";
    std::string data;
    bool force = false;
};

std::optional<uint64_t> parse_number(const std::string& text, uint64_t max) {
    if (text.empty()) return std::nullopt;
    size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (used != text.size() || value > max || text[0] == '-') return std::nullopt;
    return value;
}

std::optional<std::string> parse_hex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ',' || c == ' ') continue;
        if (!isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        digits += c;
    }
    if (digits.size() % 2) return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2) bytes += char(std::stoi(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

// The bytes stored for DATA given on the command line as TYPE.
std::string data_bytes(DWORD type, const std::string& text) {
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: return text + std::string(1, '\0');
        case REG_MULTI_SZ: {
            std::string out;
            size_t start = 0;
            while (start <= text.size() && !text.empty()) {
                size_t end = text.find("\\0", start);
                if (end == std::string::npos) end = text.size();
                out += text.substr(start, end - start);
                out += '\0';
                start = end + 2;
            }
            out += '\0';
            return out;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN: {
            auto v = parse_number(text.empty() ? "0" : text, 0xFFFFFFFFu);
            if (!v) Fail(exit_code::kUsage, "data \"" + text + "\"", "not a 32-bit number");
            uint32_t value = uint32_t(*v);
            if (type == REG_DWORD_BIG_ENDIAN) value = __builtin_bswap32(value);
            return little_endian_bytes(value, 4);
        }
        case REG_QWORD: {
            auto v = parse_number(text.empty() ? "0" : text, ~uint64_t(0));
            if (!v) Fail(exit_code::kUsage, "data \"" + text + "\"", "not a 64-bit number");
            return little_endian_bytes(*v, 8);
        }
        default: {
            auto bytes = parse_hex(text);
            if (!bytes) Fail(exit_code::kUsage, "data \"" + text + "\"", "not hex bytes", "two hex digits per byte");
            return *bytes;
        }
    }
}

void run_add(const AddOptions& options) {
    KeyPath path = key_argument(options.key);
    if (path.sub.empty() && !options.names_value())
        Fail(exit_code::kUsage, path.display(), "a root key cannot be added");
    // Type and data are checked before anything is made.
    std::optional<DWORD> type = type_from_name(options.type);
    if (!type) {
        Fail(exit_code::kUsage, "type " + options.type, "unknown",
             "give REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY or "
             "REG_NONE");
    }
    const std::string bytes = options.names_value() ? data_bytes(*type, options.data) : std::string();
    OpenKey key;
    create_path(path, &key);
    if (options.names_value()) {
        const char* name = options.value_name();
        if (!options.force && RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            Fail(exit_code::kFailed, path.display(),
                 fmt::format("has a value \"{}\" already", options.default_value ? "(Default)" : options.value),
                 "--force (/f) writes over it");
        LSTATUS status = RegSetValueExA(key.get(), name, 0, *type, reinterpret_cast<const BYTE*>(bytes.data()),
                                        DWORD(bytes.size()));
        if (status != ERROR_SUCCESS) fail(path.display(), status);
    }
    printf("The operation completed successfully.\n");
}

// ---- delete ----------------------------------------------------------------

struct DeleteOptions : KeyValueOptions {
    bool all_values = false;
    bool force = false;  // accepted for the reg tool's sake: nothing asks
};

void run_delete(const DeleteOptions& options) {
    KeyPath path = key_argument(options.key);
    LSTATUS status;
    if (options.names_value() || options.all_values) {
        OpenKey key;
        status = open_path(path, KEY_READ | KEY_SET_VALUE, &key);
        if (status != ERROR_SUCCESS) fail(path.display(), status);
        if (options.all_values) {
            for (const ValueItem& value : read_values(key.get(), path)) {
                status = RegDeleteValueA(key.get(), value.name.c_str());
                if (status != ERROR_SUCCESS) fail(path.display(), status);
            }
        } else {
            status = RegDeleteValueA(key.get(), options.value_name());
            if (status != ERROR_SUCCESS) fail(path.display() + " " + options.value, status);
        }
    } else {
        if (path.sub.empty()) Fail(exit_code::kUsage, path.display(), "a root key cannot be deleted");
        status = RegDeleteTreeA(path.root, path.sub.c_str());
        if (status != ERROR_SUCCESS) fail(path.display(), status);
    }
    printf("The operation completed successfully.\n");
}
// ---- Command line ----------------------------------------------------------

// A sub-command on KEY and one value, which also takes its options the reg
// tool's way: /v NAME, /ve, /s, /f...
template <class Options>
CLI::App* add_key_command(CLI::App* reg, const char* name, const char* description,
                          const std::shared_ptr<Options>& options, const char* value_help, const char* default_help,
                          void (*run)(const Options&)) {
    CLI::App* command = reg->add_subcommand(name, description);
    command->allow_windows_style_options();
    command->add_option("KEY", options->key, "The key")->required();
    command->add_option("-v,--value", options->value, value_help);
    command->add_flag("--ve", options->default_value, default_help);
    command->footer(std::string(kKeyHelp) + kSlashHelp);
    command->callback([options, command, run] {
        options->value_given = command->count("--value") > 0;
        run(*options);
    });
    return command;
}

void setup(CLI::App& app) {
    CLI::App* reg = app.add_subcommand("reg", "Query and change the machine root's registry (like the reg tool)");
    reg->require_subcommand(1);
    reg->footer(kKeyHelp);

    auto query_options = std::make_shared<QueryOptions>();
    CLI::App* query = add_key_command(reg, "query", "Show a key's values and sub-keys", query_options,
                                      "Show this value only", "Show the default value only", run_query);
    query->add_flag("-s,--recurse", query_options->recurse, "Show all keys below, with their values");

    auto add_options = std::make_shared<AddOptions>();
    CLI::App* add = add_key_command(reg, "add", "Add a key, or set a value (making its key)", add_options,
                                    "The value to set", "Set the default value", run_add);
    add->add_option("-t,--type", add_options->type,
                    "REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD, "
                    "REG_BINARY or REG_NONE");
    add->add_option("-d,--data", add_options->data,
                    "The data: text (REG_MULTI_SZ strings separated by \\0), a number (decimal or 0x hex) or hex "
                    "bytes");
    add->add_flag("-f,--force", add_options->force, "Overwrite an existing value");

    auto delete_options = std::make_shared<DeleteOptions>();
    CLI::App* del = add_key_command(reg, "delete", "Delete a key with all below it, or values of a key",
                                    delete_options, "Delete this value only", "Delete the default value only",
                                    run_delete);
    del->add_flag("--va", delete_options->all_values, "Delete all values of the key, keep the key");
    del->add_flag("-f,--force", delete_options->force, "Accepted; nothing is asked");

    auto export_args = std::make_shared<std::pair<std::string, std::string>>();
    CLI::App* exp = reg->add_subcommand("export", "Write a key with all below it to a file");
    exp->add_option("KEY", export_args->first, "The key")->required();
    exp->add_option("FILE", export_args->second, "The file (\"-\": standard output)")->required();
    exp->footer(kFileFormatHelp);
    exp->callback([export_args] { run_export(export_args->first, export_args->second); });

    auto import_file = std::make_shared<std::string>();
    CLI::App* imp = reg->add_subcommand("import", "Apply a file written by export (or by hand)");
    imp->add_option("FILE", *import_file, "The file (\"-\": standard input)")->required();
    imp->footer(kFileFormatHelp);
    imp->callback([import_file] { run_import(*import_file); });
}

const CommandRegistrar registrar("10-reg", &setup);

}  // namespace
}  // namespace evtrace
