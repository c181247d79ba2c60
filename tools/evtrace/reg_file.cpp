// evtrace reg export and import: the registry as text, one item per line,
// in the manner of the Windows registry editor's files.
#include <stdio.h>
#include <ctype.h>
#include <string.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <windows.h>
#include <w32rt/registry_batch.h>

#include "command.h"
#include "output_file.h"
#include "reg_common.h"

namespace evtrace::reg {

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
A hex list may go on over lines that end in '\'. Files of the registry editor
are taken too: a "Windows Registry Editor Version 5.00" or "REGEDIT4" header,
a byte-order mark, UTF-16 text (and UTF-16 string data in hex(1), hex(2) and
hex(7) after the 5.00 header). Import applies a file as one
transaction: all of it, or nothing when any line or edit is refused. FILE "-"
is standard input or output.)";

namespace {

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

}  // namespace

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
namespace {

// ---- import ----------------------------------------------------------------

struct ImportValue {
    size_t line = 0;
    std::string name;
    bool remove = false;
    DWORD type = REG_NONE;
    std::string data;
};

struct ImportSection {
    size_t line = 0;
    KeyPath path;
    bool remove = false;
    std::vector<ImportValue> values;
};

// The file being read, for the messages.
std::string g_source;
// The file has the registry editor's "Version 5.00" header: string data
// given as hex(1), hex(2) and hex(7) is UTF-16LE there.
bool g_utf16_strings = false;

constexpr char kEditorHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kEditorHeader4[] = "REGEDIT4";

constexpr char kNothingImported[] = "nothing was imported: a file is applied whole or not at all";

// UTF-16 (little- or big-endian) to UTF-8; false when the units are not
// UTF-16 (a lone surrogate).
bool Utf16ToUtf8(std::string_view bytes, bool big_endian, std::string* out) {
    auto unit = [&](size_t i) {
        const unsigned char a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
        return big_endian ? char32_t((a << 8) | b) : char32_t((b << 8) | a);
    };
    out->clear();
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 3 >= bytes.size()) return false;
            const char32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            *out += char(c);
        } else if (c < 0x800) {
            *out += char(0xC0 | (c >> 6));
            *out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out += char(0xE0 | (c >> 12));
            *out += char(0x80 | ((c >> 6) & 0x3F));
            *out += char(0x80 | (c & 0x3F));
        } else {
            *out += char(0xF0 | (c >> 18));
            *out += char(0x80 | ((c >> 12) & 0x3F));
            *out += char(0x80 | ((c >> 6) & 0x3F));
            *out += char(0x80 | (c & 0x3F));
        }
    }
    return bytes.size() % 2 == 0;
}

// A registry file as text: a UTF-8 byte-order mark dropped, UTF-16 (with its
// mark, as the registry editor writes it, or without) made UTF-8.
std::string FileText(const std::string& raw) {
    if (raw.rfind("\xEF\xBB\xBF", 0) == 0) return raw.substr(3);
    bool big_endian = raw.rfind("\xFE\xFF", 0) == 0;
    bool marked = big_endian || raw.rfind("\xFF\xFE", 0) == 0;
    // Without a mark: text whose every other byte is zero.
    bool unmarked = !marked && raw.size() >= 4 && raw[0] != '\0' && raw[1] == '\0' && raw[3] == '\0';
    if (!marked && !unmarked) return raw;
    std::string text;
    if (!Utf16ToUtf8(std::string_view(raw).substr(marked ? 2 : 0), big_endian, &text))
        Fail(exit_code::kBadData, g_source, "is UTF-16 with an odd byte count or a lone surrogate",
             kNothingImported);
    return text;
}

[[noreturn]] void bad_line(size_t line, const std::string& why) {
    Fail(exit_code::kBadData, fmt::format("{}: line {}", g_source, line), why, kNothingImported);
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
    value.line = line_number;
    size_t pos = 0;
    if (text[0] == '@') {
        pos = 1;
    } else {
        auto name = read_quoted(text, &pos);
        if (!name) bad_line(line_number, "a value name in quotes or @ expected");
        if (name->size() > 16383) bad_line(line_number, "a value name has at most 16,383 characters");
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
    if (g_utf16_strings && (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)) {
        std::string utf8;
        if (value.data.size() % 2 != 0 || !Utf16ToUtf8(value.data, false, &utf8))
            bad_line(line_number, "string data of a Version 5.00 file is UTF-16, and this is not");
        value.data = utf8;
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
        // The registry editor's header, before the first key.
        if (sections.empty() && (line == kEditorHeader5 || line == kEditorHeader4)) {
            g_utf16_strings = line == kEditorHeader5;
            continue;
        }
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
            if (path->root == HKEY_CLASSES_ROOT)
                bad_line(first_line, "HKEY_CLASSES_ROOT is not kept by this registry; its keys live under "
                                     "HKEY_LOCAL_MACHINE\\Software\\Classes");
            if (path->sub.empty() && section.remove) bad_line(first_line, "a root key cannot be deleted");
            for (size_t start = 0; start <= path->sub.size();) {
                size_t end = path->sub.find('\\', start);
                if (end == std::string::npos) end = path->sub.size();
                if (end - start > 255) bad_line(first_line, "a key name has at most 255 characters");
                start = end + 1;
            }
            section.line = first_line;
            section.path = *path;
            sections.push_back(std::move(section));
            continue;
        }
        if (sections.empty() || sections.back().remove) bad_line(first_line, "a value outside of a key");
        sections.back().values.push_back(parse_value_line(line, first_line));
    }
    return sections;
}

}  // namespace

namespace {

// Applies every section; ends the command at the first refusal.
void apply(const std::vector<ImportSection>& sections) {
    for (const ImportSection& section : sections) {
        const KeyPath& path = section.path;
        const std::string where = fmt::format("{}: line {}: {}", g_source, section.line, path.display());
        if (section.remove) {
            LSTATUS status = RegDeleteTreeA(path.root, path.sub.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) fail(where, status);
            continue;
        }
        OpenKey key;
        LSTATUS status = RegCreateKeyExA(path.root, path.sub.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                         key.out(), nullptr);
        if (status != ERROR_SUCCESS) fail(where, status);
        for (const ImportValue& value : section.values) {
            if (value.remove) {
                status = RegDeleteValueA(key.get(), value.name.c_str());
                if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
            } else {
                status = RegSetValueExA(key.get(), value.name.c_str(), 0, value.type,
                                        reinterpret_cast<const BYTE*>(value.data.data()), DWORD(value.data.size()));
            }
            if (status != ERROR_SUCCESS) {
                fail(fmt::format("{}: line {}: {} value \"{}\"", g_source, value.line, path.display(),
                                 value.name.empty() ? "(Default)" : value.name),
                     status);
            }
        }
    }
}

}  // namespace

void run_import(const std::string& file) {
    MayMakeMachineRoot();
    g_source = file == "-" ? "standard input" : file;
    // A registry file is text: a few megabytes at most.
    g_utf16_strings = false;
    std::istringstream in(FileText(ReadInputFile(file, 64u << 20)));
    std::vector<ImportSection> sections = parse_import(in);
    // All or nothing: every edit joins one transaction, committed at the end.
    LSTATUS status = w32rt::begin_registry_batch();
    const std::string registry = "registry of the machine root " + ConfiguredRoot();
    if (status != ERROR_SUCCESS) FailStatus(registry, status, kNothingImported);
    try {
        apply(sections);
    } catch (CommandError& e) {
        w32rt::end_registry_batch(false);
        if (e.hint.empty()) e.hint = kNothingImported;
        throw;
    } catch (...) {
        w32rt::end_registry_batch(false);
        throw;
    }
    status = w32rt::end_registry_batch(true);
    if (status != ERROR_SUCCESS) FailStatus(registry, status, kNothingImported);
    printf("The operation completed successfully.\n");
}

}  // namespace evtrace::reg
