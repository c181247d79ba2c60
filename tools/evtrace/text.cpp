// Text for people and for JSON, times and handles, and the validators of
// numbers on the command line (see command.h).
#include <errno.h>
#include <stdlib.h>

#include <cmath>
#include <string>

#include <fmt/format.h>

#include "command.h"

namespace evtrace {

namespace {

// Length of the UTF-8 sequence at text[i] and its code point; 0 when the
// bytes there are not UTF-8 (overlong forms and surrogates included).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* code) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    char32_t value;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

// Characters that move the cursor, switch the terminal's modes or reorder
// what is shown.
bool IsControl(char32_t c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string FieldView(const char* field, size_t size) {
    size_t n = 0;
    while (n < size && field[n] != '\0') ++n;
    return std::string(field, n);
}

// Text as UTF-8: a byte that begins no valid character becomes the four
// characters \xNN; each character is handed to put(out, code point, its
// bytes).
template <typename Put>
std::string WalkUtf8(std::string_view bytes, Put put) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        const size_t length = DecodeUtf8(bytes, i, &c);
        if (length == 0) {
            out += fmt::format("\\x{:02x}", static_cast<unsigned char>(bytes[i]));
            ++i;
            continue;
        }
        put(out, c, bytes.substr(i, length));
        i += length;
    }
    return out;
}

}  // namespace

std::string Printable(std::string_view bytes) {
    return WalkUtf8(bytes, [](std::string& out, char32_t c, std::string_view text) {
        if (!IsControl(c)) {
            out.append(text);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x80) {
            out += fmt::format("\\x{:02x}", unsigned(c));
        } else {
            out += fmt::format("\\u{:04x}", unsigned(c));
        }
    });
}

std::string PrintableField(const char* field, size_t size) { return Printable(FieldView(field, size)); }

std::string JsonText(std::string_view bytes) {
    return WalkUtf8(bytes, [](std::string& out, char32_t, std::string_view text) { out.append(text); });
}

std::string JsonField(const char* field, size_t size) { return JsonText(FieldView(field, size)); }

std::string JsonLine(const nlohmann::json& value) {
    // ASCII only: control characters and everything beyond are \u escapes,
    // so nothing in a string can reach a terminal raw. Strings are made
    // valid by JsonText; replace guards against one that was not.
    return value.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::string JsonPretty(const nlohmann::json& value) {
    return value.dump(2, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::string HandleText(unsigned long long handle) { return fmt::format("0x{:016x}", handle); }

std::string IsoTime(const FILETIME& time, bool local) {
    FILETIME shown = time;
    long long offsetMinutes = 0;
    if (local) {
        if (!FileTimeToLocalFileTime(&time, &shown)) return "-";
        auto value = [](const FILETIME& t) {
            return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
        };
        offsetMinutes = (value(shown) - value(time)) / 600000000LL;
    }
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&shown, &st)) return "-";
    std::string zone = "Z";
    if (local) {
        long long magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
        zone = fmt::format("{}{:02}:{:02}", offsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    }
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}{}", st.wYear, st.wMonth, st.wDay, st.wHour,
                       st.wMinute, st.wSecond, st.wMilliseconds, zone);
}

CLI::Validator WholeNumber(unsigned long long min, unsigned long long max) {
    std::string description = fmt::format("whole number {}..{}", min, max);
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const std::string digits = hex ? text.substr(2) : text;
            const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
            if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos)
                return fmt::format("\"{}\" is not a whole number from {} to {}", Printable(text), min, max);
            errno = 0;
            unsigned long long value = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
            if (errno == ERANGE || value < min || value > max)
                return fmt::format("{} is out of range: a whole number from {} to {}", text, min, max);
            return {};
        },
        description);
}

CLI::Validator FiniteNumber(double min) {
    std::string description = fmt::format("number >= {}", min);
    return CLI::Validator(
        [min](std::string& text) -> std::string {
            char* end = nullptr;
            errno = 0;
            double value = strtod(text.c_str(), &end);
            if (text.empty() || end == nullptr || *end != '\0' || errno == ERANGE || !std::isfinite(value))
                return fmt::format("\"{}\" is not a finite number", Printable(text));
            if (value < min) return fmt::format("{} is below {}", text, min);
            return {};
        },
        description);
}

}  // namespace evtrace
