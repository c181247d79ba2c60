// FormatMessageA: message texts from a string, a module's message table or
// the system's, with inserts, escapes and line-width control.
//
// Inserts are %1..%99 with an optional printf-style format between
// exclamation marks (default !s!). Arguments are pointer-sized slots, from a
// DWORD_PTR array (FORMAT_MESSAGE_ARGUMENT_ARRAY) or a va_list, as on x64
// Windows. Width and precision given by '*' are taken from the array
// (%n!*.*s! uses slots n, n+1 and n+2); with a va_list their numbering is
// ambiguous and they are refused. Floating-point conversions are refused, as
// Windows documents.
#include <stdio.h>
#include <string.h>

#include <string>

#include <windows.h>

#include "core/error.h"
#include "modules/modules.h"
#include "modules/resources.h"

#include <w32rt/resources.h>

namespace w32rt {

namespace {

constexpr size_t kMaxOutput = 128 * 1024;

class InsertArguments {
public:
    InsertArguments(va_list* list, bool array) : list_(list), array_(array) {}
    bool present() const { return list_ != nullptr; }
    bool is_array() const { return array_; }

    // Slot n (1-based).
    DWORD_PTR slot(unsigned n) const {
        if (array_) return reinterpret_cast<const DWORD_PTR*>(list_)[n - 1];
        va_list copy;
        va_copy(copy, *list_);
        DWORD_PTR value = 0;
        for (unsigned i = 0; i < n; ++i) value = va_arg(copy, DWORD_PTR);
        va_end(copy);
        return value;
    }

private:
    va_list* list_;
    bool array_;
};

void append_utf16(std::string& out, const char16_t* s, int limit) {
    for (int i = 0; s[i] && (limit < 0 || i < limit); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
}

// One insert's format: flags, width, precision, size prefix, conversion.
struct InsertFormat {
    std::string flags;
    int width = -1;  // -2: from an argument
    int precision = -1;
    bool wide = false;     // l, w or upper-case S / C
    bool narrow = false;   // h
    bool is64 = false;     // I64, ll, I, z: a whole slot
    char conversion = 's';
};

bool parse_format(std::string_view spec, InsertFormat* f) {
    size_t i = 0;
    while (i < spec.size() && strchr("-+ #0", spec[i])) f->flags += spec[i++];
    if (i < spec.size() && spec[i] == '*') {
        f->width = -2;
        ++i;
    } else if (i < spec.size() && spec[i] >= '0' && spec[i] <= '9') {
        f->width = 0;
        while (i < spec.size() && spec[i] >= '0' && spec[i] <= '9' && f->width < 10000)
            f->width = f->width * 10 + (spec[i++] - '0');
    }
    if (i < spec.size() && spec[i] == '.') {
        ++i;
        if (i < spec.size() && spec[i] == '*') {
            f->precision = -2;
            ++i;
        } else {
            f->precision = 0;
            while (i < spec.size() && spec[i] >= '0' && spec[i] <= '9' && f->precision < 10000)
                f->precision = f->precision * 10 + (spec[i++] - '0');
        }
    }
    std::string_view rest = spec.substr(i);
    if (rest.substr(0, 3) == "I64" || rest.substr(0, 2) == "ll") {
        f->is64 = true;
        rest.remove_prefix(rest[0] == 'I' ? 3 : 2);
    } else if (rest.substr(0, 3) == "I32") {
        rest.remove_prefix(3);
    } else if (!rest.empty() && (rest[0] == 'I' || rest[0] == 'z')) {
        f->is64 = true;
        rest.remove_prefix(1);
    } else if (!rest.empty() && (rest[0] == 'l' || rest[0] == 'w')) {
        f->wide = true;
        rest.remove_prefix(1);
    } else if (!rest.empty() && rest[0] == 'h') {
        f->narrow = true;
        rest.remove_prefix(1);
    }
    if (rest.size() != 1) return false;
    f->conversion = rest[0];
    switch (f->conversion) {
        case 'S': f->wide = !f->narrow; f->conversion = 's'; return true;
        case 'C': f->wide = !f->narrow; f->conversion = 'c'; return true;
        case 's':
        case 'c':
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'p': return true;
        default: return false;  // floating point and the unknown
    }
}

std::string format_number(const InsertFormat& f, DWORD_PTR value) {
    std::string spec = "%" + f.flags;
    if (f.width >= 0) spec += std::to_string(f.width);
    if (f.precision >= 0) spec += "." + std::to_string(f.precision);
    char buf[160];
    if (f.conversion == 'p') {
        spec += "llX";
        snprintf(buf, sizeof buf, spec.c_str(), static_cast<unsigned long long>(value));
        return buf;
    }
    spec += "ll";
    spec += f.conversion;
    const bool is_signed = f.conversion == 'd' || f.conversion == 'i';
    if (f.is64) {
        if (is_signed) snprintf(buf, sizeof buf, spec.c_str(), static_cast<long long>(value));
        else snprintf(buf, sizeof buf, spec.c_str(), static_cast<unsigned long long>(value));
    } else if (f.narrow) {
        if (is_signed) snprintf(buf, sizeof buf, spec.c_str(), static_cast<long long>(int16_t(value)));
        else snprintf(buf, sizeof buf, spec.c_str(), static_cast<unsigned long long>(uint16_t(value)));
    } else {
        if (is_signed) snprintf(buf, sizeof buf, spec.c_str(), static_cast<long long>(int32_t(value)));
        else snprintf(buf, sizeof buf, spec.c_str(), static_cast<unsigned long long>(uint32_t(value)));
    }
    return buf;
}

void pad(std::string& out, const std::string& text, const InsertFormat& f, int width) {
    bool left = f.flags.find('-') != std::string::npos;
    size_t fill = width > int(text.size()) ? size_t(width) - text.size() : 0;
    if (!left) out.append(fill, ' ');
    out += text;
    if (left) out.append(fill, ' ');
}

// Appends insert n. Returns false with the error set.
bool append_insert(std::string& out, unsigned n, const InsertFormat& f, const InsertArguments& args) {
    if (!args.present()) return fail(ERROR_INVALID_PARAMETER, false);
    unsigned next = n;
    int width = f.width;
    int precision = f.precision;
    if (f.width == -2 || f.precision == -2) {
        if (!args.is_array()) return fail(ERROR_INVALID_PARAMETER, false);
        if (f.width == -2) width = int(int32_t(args.slot(next++)));
        if (f.precision == -2) precision = int(int32_t(args.slot(next++)));
    }
    if (next > 99 + 2) return fail(ERROR_INVALID_PARAMETER, false);
    DWORD_PTR value = args.slot(next);
    InsertFormat resolved = f;
    resolved.width = width < 0 ? -1 : width;
    resolved.precision = precision < 0 ? -1 : precision;
    if (f.conversion == 's') {
        std::string text;
        if (!value) {
            text = "(null)";
        } else if (f.wide) {
            append_utf16(text, reinterpret_cast<const char16_t*>(value), resolved.precision);
        } else {
            const char* s = reinterpret_cast<const char*>(value);
            text = resolved.precision >= 0 ? std::string(s, strnlen(s, size_t(resolved.precision))) : std::string(s);
        }
        pad(out, text, resolved, resolved.width);
    } else if (f.conversion == 'c') {
        std::string text;
        if (f.wide) {
            char16_t c[2] = {char16_t(value), 0};
            append_utf16(text, c, -1);
        } else {
            text = char(value);
        }
        pad(out, text, resolved, resolved.width);
    } else {
        out += format_number(resolved, value);
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Expands escapes and inserts. Regular line breaks of the text are kept when
// width is 0 and become spaces otherwise; %n is a hard break (\r\n).
bool expand(std::string_view text, bool ignore_inserts, unsigned width, const InsertArguments& args, std::string* out) {
    size_t i = 0;
    while (i < text.size()) {
        if (out->size() > kMaxOutput) return fail(ERROR_MORE_DATA, false);
        char c = text[i];
        if (c == '\r' || c == '\n') {
            size_t len = (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            if (width == 0) out->append(text.substr(i, len));
            else *out += ' ';
            i += len;
            continue;
        }
        if (c != '%') {
            *out += c;
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            ++i;  // a lone trailing percent sign
            continue;
        }
        char e = text[i + 1];
        if (e == '0') return true;  // end of message, no trailing line break
        if (is_digit(e)) {
            size_t start = i;
            unsigned n = unsigned(e - '0');
            i += 2;
            if (i < text.size() && is_digit(text[i])) n = n * 10 + unsigned(text[i++] - '0');
            std::string_view spec = "s";
            if (i < text.size() && text[i] == '!') {
                size_t close = text.find('!', i + 1);
                if (close == std::string_view::npos) return fail(ERROR_INVALID_PARAMETER, false);
                spec = text.substr(i + 1, close - i - 1);
                i = close + 1;
            }
            if (ignore_inserts) {
                out->append(text.substr(start, i - start));
                continue;
            }
            InsertFormat f;
            if (!parse_format(spec, &f)) return fail(ERROR_INVALID_PARAMETER, false);
            if (!append_insert(*out, n, f, args)) return false;
            continue;
        }
        i += 2;
        switch (e) {
            case 'n': *out += "\r\n"; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            default: *out += e; break;  // %%, %., %!, %space and any other
        }
    }
    return true;
}

// Breaks lines longer than width at the last blank before the limit (or at
// the limit when there is none), with \r\n.
std::string wrap(const std::string& text, unsigned width) {
    std::string out;
    size_t line_start = 0;
    while (line_start < text.size()) {
        size_t eol = text.find("\r\n", line_start);
        size_t line_end = eol == std::string::npos ? text.size() : eol;
        std::string_view line(text.data() + line_start, line_end - line_start);
        while (line.size() > width) {
            size_t cut = line.rfind(' ', width);
            if (cut == std::string_view::npos || cut == 0) {
                out.append(line.substr(0, width));
                line.remove_prefix(width);
            } else {
                out.append(line.substr(0, cut));
                line.remove_prefix(cut + 1);
            }
            out += "\r\n";
        }
        out.append(line);
        if (eol == std::string::npos) break;
        out += "\r\n";
        line_start = eol + 2;
    }
    return out;
}

DWORD lookup_message(DWORD flags, LPCVOID source, DWORD id, DWORD language, std::string* text) {
    DWORD error = ERROR_MR_MID_NOT_FOUND;
    if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
        HMODULE module = source ? static_cast<HMODULE>(const_cast<void*>(source)) : main_module();
        // kernel32.dll holds the system's message table.
        if (GetModuleHandleA("kernel32.dll") == module) {
            flags |= FORMAT_MESSAGE_FROM_SYSTEM;
        } else {
            error = find_resource_text(module, W32RT_RESOURCE_MESSAGETABLE, id, LANGID(language),
                                       LanguageSearch::MessageDefault, text);
            if (error == ERROR_SUCCESS) return error;
            if (error == ERROR_RESOURCE_NAME_NOT_FOUND) error = ERROR_MR_MID_NOT_FOUND;
        }
    }
    if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        const char* system = system_message_text(id);
        if (!system) return ERROR_MR_MID_NOT_FOUND;
        // The system's texts are US English.
        LANGID lang = LANGID(language);
        if (lang == LANG_USER_DEFAULT) lang = GetUserDefaultLangID();
        else if (lang == LANG_SYSTEM_DEFAULT) lang = GetSystemDefaultLangID();
        if (lang != 0 && lang != 0x0409 && lang != LANG_ENGLISH) return ERROR_RESOURCE_LANG_NOT_FOUND;
        *text = system;
        return ERROR_SUCCESS;
    }
    return error;
}

}  // namespace

}  // namespace w32rt

extern "C" W32RT_API DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                                 DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                                 va_list* Arguments) {
    using w32rt::fail;
    const DWORD sources = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD known = sources | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                        FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if ((dwFlags & ~known) || !(dwFlags & sources) || !lpBuffer) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    if ((dwFlags & FORMAT_MESSAGE_FROM_STRING) && (dwFlags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM)))
        return fail(ERROR_INVALID_PARAMETER, DWORD(0));
    if (!(dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && nSize == 0) return fail(ERROR_INSUFFICIENT_BUFFER, DWORD(0));

    std::string message;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        if (!lpSource) return fail(ERROR_INVALID_PARAMETER, DWORD(0));
        message = static_cast<const char*>(lpSource);
    } else {
        DWORD error = w32rt::lookup_message(dwFlags, lpSource, dwMessageId, dwLanguageId, &message);
        if (error != ERROR_SUCCESS) return fail(error, DWORD(0));
    }

    const unsigned width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    w32rt::InsertArguments args(Arguments, (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0);
    std::string out;
    if (!w32rt::expand(message, (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0, width, args, &out))
        return DWORD(0);
    // Every width but "no limit" (the whole mask) wraps.
    if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) out = w32rt::wrap(out, width);
    if (out.size() > w32rt::kMaxOutput) return fail(ERROR_MORE_DATA, DWORD(0));

    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t size = out.size() + 1 > nSize ? out.size() + 1 : nSize;
        char* buffer = static_cast<char*>(LocalAlloc(LMEM_FIXED, size));
        if (!buffer) return DWORD(0);
        memcpy(buffer, out.c_str(), out.size() + 1);
        *reinterpret_cast<LPSTR*>(lpBuffer) = buffer;
        return DWORD(out.size());
    }
    if (out.size() + 1 > nSize) return fail(ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    memcpy(lpBuffer, out.c_str(), out.size() + 1);
    return DWORD(out.size());
}
