// evtrace reg query|add|delete|export|import: the machine root's registry,
// in the manner of the Windows "reg" tool, through the Win32 registry calls.
#include <stdio.h>
#include <ctype.h>
#include <string.h>
#include <strings.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <windows.h>

#include "command.h"
#include "output_file.h"

namespace evtrace {
namespace {

const char kFileFormatHelp[] = R"(
Export files are text, one item per line:
  ; a comment                          (also lines starting with '#')
  [HKEY_LOCAL_MACHINE\Software\X]      a key, made when missing (HKLM\... too)
  [-HKEY_LOCAL_MACHINE\Software\X]     deletes the key and all below it
  "Name"="text"                        REG_SZ; \\ and \" escape; @ is the
                                       default value: @="text"
  "Name"=dword:0000002a                REG_DWORD
  "Name"=hex:01,ff,...                 REG_BINARY
  "Name"=hex(N):01,ff,...              type N in hex with its stored bytes:
                                       0 REG_NONE, 1 REG_SZ, 2 REG_EXPAND_SZ,
                                       5 REG_DWORD_BIG_ENDIAN, 7 REG_MULTI_SZ,
                                       b REG_QWORD, any other type likewise
  "Name"=-                             deletes the value
A hex list may go on over lines that end in '\'. Import reads and checks the
whole file before changing anything; FILE "-" is standard input or output.)";

const char kKeyHelp[] =
    "KEY is ROOT\\Path with ROOT one of HKLM, HKCU, HKU (or HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS).";
const char kSlashHelp[] =
    "\nOptions may also be written as the reg tool takes them: /v NAME, /ve, /va, /s, /t TYPE, /d DATA, /f.";

// ---- Keys and statuses -----------------------------------------------------

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

struct KeyPath {
    HKEY root = nullptr;
    std::string root_name;  // spelled out
    std::string sub;        // without leading or trailing backslashes

    std::string display() const { return sub.empty() ? root_name : root_name + "\\" + sub; }
    KeyPath child(const std::string& name) const {
        return KeyPath{root, root_name, sub.empty() ? name : sub + "\\" + name};
    }
};

bool iequals(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

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
    if (!path) throw CommandError{fmt::format("not a registry key: {} ({})", text, kKeyHelp)};
    return *path;
}

std::string status_text(LSTATUS status) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(status), 0,
                             text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
    std::string message = n > 0 ? std::string(text, n) : "unknown status";
    return fmt::format("{} (status {})", message, status);
}

[[noreturn]] void fail(const std::string& what, LSTATUS status) {
    throw CommandError{fmt::format("{}: {}", what, status_text(status))};
}

class OpenKey {
public:
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }
    HKEY* out() { return &key_; }

private:
    HKEY key_ = nullptr;
};

LSTATUS open_path(const KeyPath& path, REGSAM access, OpenKey* out) {
    return RegOpenKeyExA(path.root, path.sub.empty() ? nullptr : path.sub.c_str(), 0, access, out->out());
}

// Created with every missing parent, open for reading and writing.
void create_path(const KeyPath& path, OpenKey* out) {
    LSTATUS status = RegCreateKeyExA(path.root, path.sub.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                     out->out(), nullptr);
    if (status != ERROR_SUCCESS) fail(path.display(), status);
}

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

// ---- Reading a key ---------------------------------------------------------

struct ValueItem {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

// Reads all values of a key, in their order.
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

// ---- Showing values --------------------------------------------------------

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

uint64_t little_endian(const std::string& data, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes && i < data.size(); ++i)
        value |= uint64_t(static_cast<unsigned char>(data[i])) << (8 * i);
    return value;
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
    printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(), type_name(value.type).c_str(),
           display_data(value.type, value.data).c_str());
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
        printf("\n%s\n", path.display().c_str());
        for (const ValueItem* value : shown) print_value(*value);
    }
    bool found = !shown.empty();
    std::vector<std::string> subkeys = read_subkeys(key.get(), path);
    if (options.recurse) {
        for (const std::string& sub : subkeys) found |= query_key(path.child(sub), options, false);
    } else if (!one) {
        if (!subkeys.empty()) printf("\n");
        for (const std::string& sub : subkeys) printf("%s\n", path.child(sub).display().c_str());
    }
    return found || !one;
}

void run_query(const QueryOptions& options) {
    KeyPath path = key_argument(options.key);
    if (!query_key(path, options, true))
        throw CommandError{"the value was not found in " + path.display(), 1};
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

std::string little_endian_bytes(uint64_t value, size_t bytes) {
    std::string out;
    for (size_t i = 0; i < bytes; ++i) out += char((value >> (8 * i)) & 0xFF);
    return out;
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
            if (!v) throw CommandError{"not a 32-bit number: " + text};
            uint32_t value = uint32_t(*v);
            if (type == REG_DWORD_BIG_ENDIAN) value = __builtin_bswap32(value);
            return little_endian_bytes(value, 4);
        }
        case REG_QWORD: {
            auto v = parse_number(text.empty() ? "0" : text, ~uint64_t(0));
            if (!v) throw CommandError{"not a 64-bit number: " + text};
            return little_endian_bytes(*v, 8);
        }
        default: {
            auto bytes = parse_hex(text);
            if (!bytes) throw CommandError{"not hex bytes: " + text};
            return *bytes;
        }
    }
}

void run_add(const AddOptions& options) {
    KeyPath path = key_argument(options.key);
    if (path.sub.empty() && !options.names_value()) throw CommandError{"a root key cannot be added"};
    OpenKey key;
    create_path(path, &key);
    if (options.names_value()) {
        std::optional<DWORD> type = type_from_name(options.type);
        if (!type) throw CommandError{"unknown type " + options.type};
        const char* name = options.value_name();
        std::string bytes = data_bytes(*type, options.data);
        if (!options.force && RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            throw CommandError{fmt::format("value {} exists in {}; --force overwrites it",
                                           options.default_value ? "(Default)" : options.value, path.display())};
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
        if (path.sub.empty()) throw CommandError{"a root key cannot be deleted"};
        status = RegDeleteTreeA(path.root, path.sub.c_str());
        if (status != ERROR_SUCCESS) fail(path.display(), status);
    }
    printf("The operation completed successfully.\n");
}

// ---- export ----------------------------------------------------------------

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that reads back the same when written as "text".
bool plain_text(const std::string& data) {
    if (data.empty() || data.back() != '\0') return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (static_cast<unsigned char>(data[i]) < 0x20) return false;
    return true;
}

std::string export_value(const ValueItem& value) {
    std::string line = value.name.empty() ? "@" : quoted(value.name);
    line += '=';
    if (value.type == REG_SZ && plain_text(value.data))
        return line + quoted(value.data.substr(0, value.data.size() - 1));
    if (value.type == REG_DWORD && value.data.size() == 4)
        return line + fmt::format("dword:{:08x}", little_endian(value.data, 4));
    line += value.type == REG_BINARY ? std::string("hex:") : fmt::format("hex({:x}):", value.type);
    size_t width = line.size();
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::string byte = fmt::format("{:02x}", static_cast<unsigned char>(value.data[i]));
        if (i + 1 < value.data.size()) byte += ',';
        if (width + byte.size() > 77) {
            line += "\\\n  ";
            width = 2;
        }
        line += byte;
        width += byte.size();
    }
    return line;
}

void export_key(const KeyPath& path, std::ostream& out) {
    OpenKey key;
    LSTATUS status = open_path(path, KEY_READ, &key);
    if (status != ERROR_SUCCESS) fail(path.display(), status);
    out << '[' << path.display() << "]\n";
    for (const ValueItem& value : read_values(key.get(), path)) out << export_value(value) << '\n';
    out << '\n';
    for (const std::string& sub : read_subkeys(key.get(), path)) export_key(path.child(sub), out);
}

void run_export(const std::string& key_text, const std::string& file) {
    KeyPath path = key_argument(key_text);
    // Written aside and renamed into place: a failure leaves an older
    // export as it was. The output is checked before the registry is read.
    std::unique_ptr<OutputFile> out;
    if (file != "-") out = std::make_unique<OutputFile>(file);
    std::ostringstream text;
    text << "; evtrace registry export\n\n";
    export_key(path, text);
    if (!out) {
        std::cout << text.str() << std::flush;
        return;
    }
    out->Write(text.str());
    out->Commit();
}

// ---- import ----------------------------------------------------------------

struct ImportValue {
    std::string name;
    bool remove = false;
    DWORD type = REG_NONE;
    std::string data;
};

struct ImportSection {
    KeyPath path;
    bool remove = false;
    std::vector<ImportValue> values;
};

[[noreturn]] void bad_line(size_t line, const std::string& why) {
    throw CommandError{fmt::format("line {}: {}", line, why)};
}

// Reads a quoted string at text[*pos] with \\ and \" escapes.
std::optional<std::string> read_quoted(const std::string& text, size_t* pos) {
    if (*pos >= text.size() || text[*pos] != '"') return std::nullopt;
    std::string out;
    for (size_t i = *pos + 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[++i];
        } else if (text[i] == '"') {
            *pos = i + 1;
            return out;
        } else {
            out += text[i];
        }
    }
    return std::nullopt;
}

bool all_hex(const std::string& s) { return s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos; }

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

ImportValue parse_value_line(const std::string& text, size_t line_number) {
    ImportValue value;
    size_t pos = 0;
    if (text[0] == '@') {
        pos = 1;
    } else {
        auto name = read_quoted(text, &pos);
        if (!name) bad_line(line_number, "a value name in quotes or @ expected");
        value.name = *name;
    }
    if (pos >= text.size() || text[pos] != '=') bad_line(line_number, "'=' expected after the value name");
    std::string data = text.substr(pos + 1);
    if (data == "-") {
        value.remove = true;
        return value;
    }
    if (!data.empty() && data[0] == '"') {
        size_t at = 0;
        auto str = read_quoted(data, &at);
        if (!str || at != data.size()) bad_line(line_number, "a string in quotes expected");
        value.type = REG_SZ;
        value.data = *str + std::string(1, '\0');
        return value;
    }
    if (data.rfind("dword:", 0) == 0) {
        std::string digits = data.substr(6);
        if (digits.empty() || digits.size() > 8 || !all_hex(digits))
            bad_line(line_number, "dword: needs up to 8 hex digits");
        value.type = REG_DWORD;
        value.data = little_endian_bytes(std::stoul(digits, nullptr, 16), 4);
        return value;
    }
    std::string bytes;
    if (data.rfind("hex:", 0) == 0) {
        value.type = REG_BINARY;
        bytes = data.substr(4);
    } else if (data.rfind("hex(", 0) == 0) {
        size_t close = data.find("):");
        std::string number = close == std::string::npos ? "" : data.substr(4, close - 4);
        if (number.empty() || number.size() > 8 || !all_hex(number))
            bad_line(line_number, "hex(N): needs the type N in hex");
        value.type = DWORD(std::stoul(number, nullptr, 16));
        bytes = data.substr(close + 2);
    } else {
        bad_line(line_number, "data must be \"text\", dword:, hex: or hex(N):");
    }
    for (size_t i = 0; i < bytes.size();) {
        while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t')) ++i;
        if (i >= bytes.size()) break;
        if (i + 1 >= bytes.size() || !isxdigit(static_cast<unsigned char>(bytes[i])) ||
            !isxdigit(static_cast<unsigned char>(bytes[i + 1])))
            bad_line(line_number, "hex bytes are two digits each, separated by commas");
        value.data += char(std::stoi(bytes.substr(i, 2), nullptr, 16));
        i += 2;
        while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t')) ++i;
        if (i < bytes.size()) {
            if (bytes[i] != ',') bad_line(line_number, "hex bytes are separated by commas");
            ++i;
        }
    }
    if ((value.type == REG_DWORD || value.type == REG_DWORD_BIG_ENDIAN) && value.data.size() != 4)
        bad_line(line_number, "a REG_DWORD has 4 bytes");
    if (value.type == REG_QWORD && value.data.size() != 8) bad_line(line_number, "a REG_QWORD has 8 bytes");
    return value;
}

std::vector<ImportSection> parse_import(std::istream& in) {
    std::vector<ImportSection> sections;
    std::string raw;
    size_t line_number = 0;
    while (std::getline(in, raw)) {
        ++line_number;
        size_t first_line = line_number;
        std::string line = trim(raw);
        // Hex lists continue over lines that end in a backslash.
        while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
            line.pop_back();
            if (!std::getline(in, raw)) bad_line(line_number, "the file ends inside a continued line");
            ++line_number;
            line += trim(raw);
        }
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') bad_line(first_line, "a key line ends with ']'");
            std::string name = line.substr(1, line.size() - 2);
            ImportSection section;
            if (!name.empty() && name[0] == '-') {
                section.remove = true;
                name.erase(0, 1);
            }
            std::optional<KeyPath> path = parse_key_path(name);
            if (!path) bad_line(first_line, "not a registry key: " + name);
            if (path->sub.empty() && section.remove) bad_line(first_line, "a root key cannot be deleted");
            section.path = *path;
            sections.push_back(std::move(section));
            continue;
        }
        if (sections.empty() || sections.back().remove) bad_line(first_line, "a value outside of a key");
        sections.back().values.push_back(parse_value_line(line, first_line));
    }
    return sections;
}

void run_import(const std::string& file) {
    std::vector<ImportSection> sections;
    if (file == "-") {
        sections = parse_import(std::cin);
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw CommandError{"cannot read " + file};
        sections = parse_import(in);
    }
    for (const ImportSection& section : sections) {
        const KeyPath& path = section.path;
        if (section.remove) {
            LSTATUS status = RegDeleteTreeA(path.root, path.sub.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) fail(path.display(), status);
            continue;
        }
        OpenKey key;
        create_path(path, &key);
        for (const ImportValue& value : section.values) {
            LSTATUS status;
            if (value.remove) {
                status = RegDeleteValueA(key.get(), value.name.c_str());
                if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
            } else {
                status = RegSetValueExA(key.get(), value.name.c_str(), 0, value.type,
                                        reinterpret_cast<const BYTE*>(value.data.data()), DWORD(value.data.size()));
            }
            if (status != ERROR_SUCCESS) fail(path.display() + " " + value.name, status);
        }
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
