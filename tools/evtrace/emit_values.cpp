#include "emit_values.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <string_view>

#include <fmt/format.h>

#include "command.h"

namespace evtrace {

namespace {

enum class Want { Int32, Int64, Real, Char, Text };

struct Conversion {
    Want want;
    std::string spec;  // as written, for the messages ("%5.2f", "* of %*d")
};

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The conversions EvTraceFormat takes: a letter right after '%'.
std::vector<Conversion> ScanCompact(const std::string& format) {
    std::vector<Conversion> out;
    for (size_t i = 0; i + 1 < format.size(); ++i) {
        if (format[i] != '%') continue;
        const char letter = format[i + 1];
        if (letter == '%') {
            ++i;
            continue;
        }
        if (letter == 'd' || letter == 'x' || letter == 'l') {
            out.push_back({Want::Int32, format.substr(i, 2)});
        } else if (letter == 's' || letter == 'S') {
            out.push_back({Want::Text, format.substr(i, 2)});
        } else {
            continue;  // not a conversion of this form: no value
        }
        ++i;
    }
    return out;
}

// The conversions EvTraceFormatArgs takes, read as its argument block does:
// flags, width and precision ('*' takes an int), a size, the letter.
std::vector<Conversion> ScanPrintf(const std::string& format) {
    std::vector<Conversion> out;
    const size_t length = format.size();
    for (size_t start = 0; start < length; ++start) {
        if (format[start] != '%') continue;
        size_t i = start + 1;
        if (i < length && format[i] == '%') {
            start = i;
            continue;
        }
        std::vector<Conversion> stars;
        while (i < length) {
            const char c = format[i];
            if ((c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == ' ' || c == '#') {
                ++i;
            } else if (c == '*') {
                stars.push_back({Want::Int32, "*"});
                ++i;
            } else {
                break;
            }
        }
        bool wide = false, sized = false;
        if (i < length && format[i] == 'h') {
            i += (i + 1 < length && format[i + 1] == 'h') ? 2 : 1;
            sized = true;
        } else if (i < length && format[i] == 'l') {
            // "l" or "ll" is a size only when a letter follows; otherwise
            // the last 'l' is the conversion itself.
            if (i + 2 < length && format[i + 1] == 'l' && IsLetter(format[i + 2])) {
                wide = true;
                i += 2;
                sized = true;
            } else if (i + 1 < length && IsLetter(format[i + 1])) {
                i += 1;
                sized = true;
            }
        } else if (format.compare(i, 3, "I64") == 0) {
            wide = true;
            i += 3;
            sized = true;
        } else if (format.compare(i, 3, "I32") == 0) {
            i += 3;
            sized = true;
        } else if (i < length && (format[i] == 'z' || format[i] == 'j' || format[i] == 't' || format[i] == 'I')) {
            wide = true;
            i += 1;
            sized = true;
        }
        // A '*' takes its int even when no conversion follows, as the
        // argument block reads it.
        for (Conversion& star : stars) {
            star.spec = "the * of " + format.substr(start, std::min(i + 1, length) - start);
            out.push_back(star);
        }
        if (i >= length) break;
        const char letter = format[i];
        const std::string spec = format.substr(start, i + 1 - start);
        Want want;
        if (std::string_view("eEfgGaA").find(letter) != std::string_view::npos) {
            want = Want::Real;
        } else if (letter == 'c' || letter == 'C') {
            want = Want::Char;
        } else if (letter == 's' || letter == 'S') {
            want = Want::Text;
        } else if (letter == 'p' || letter == 'n') {
            want = Want::Int64;
        } else if (std::string_view("xXdliou").find(letter) != std::string_view::npos || (sized && IsLetter(letter))) {
            want = wide ? Want::Int64 : Want::Int32;
        } else {
            continue;  // not a conversion: no value
        }
        out.push_back({want, spec});
        start = i;
    }
    return out;
}

const char* WantWords(Want want) {
    switch (want) {
        case Want::Int32: return "a whole number (32 bits)";
        case Want::Int64: return "a whole number";
        case Want::Real: return "a number";
        case Want::Char: return "one character or its code";
        default: return "a text";
    }
}

bool ParseInteger(const std::string& text, long long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    if (text[0] == '-') {
        *value = strtoll(text.c_str(), &end, 0);
    } else {
        *value = static_cast<long long>(strtoull(text.c_str(), &end, 0));
    }
    return errno == 0 && end != nullptr && *end == '\0';
}

Value Take(const std::string& typed, const Conversion& conversion, size_t position) {
    char forced = 0;
    std::string body = typed;
    if (typed.size() >= 2 && typed[1] == ':' && (typed[0] == 's' || typed[0] == 'i' || typed[0] == 'f')) {
        forced = typed[0];
        body = typed.substr(2);
    }
    auto mismatch = [&](const std::string& why) {
        Fail(exit_code::kUsage, fmt::format("value {} (\"{}\")", position, typed),
             fmt::format("{} for {}, which takes {}", why, conversion.spec, WantWords(conversion.want)),
             "give one value per conversion, of the kind it takes; s:, i: and f: force a kind");
    };
    Value value;
    switch (conversion.want) {
        case Want::Text:
            if (forced == 'i' || forced == 'f') mismatch("a number was forced");
            value.kind = Value::String;
            value.text = body;
            return value;
        case Want::Real: {
            if (forced == 's') mismatch("a text was forced");
            if (forced == 'i') mismatch("a whole number was forced");
            char* end = nullptr;
            value.real = strtod(body.c_str(), &end);
            if (body.empty() || end == nullptr || *end != '\0') mismatch("not a number");
            value.kind = Value::Real;
            return value;
        }
        case Want::Char:
            if (forced == 'f') mismatch("a real number was forced");
            value.kind = Value::Integer;
            if (forced != 'i' && body.size() == 1) {
                value.integer = static_cast<unsigned char>(body[0]);
                return value;
            }
            if (forced == 's' || !ParseInteger(body, &value.integer) || value.integer < -128 || value.integer > 255)
                mismatch("not one character or a character code");
            return value;
        default:
            if (forced == 's') mismatch("a text was forced");
            if (forced == 'f') mismatch("a real number was forced");
            value.kind = Value::Integer;
            if (!ParseInteger(body, &value.integer)) mismatch("not a whole number");
            if (conversion.want == Want::Int32 &&
                (value.integer < -2147483648LL || (body[0] != '-' && static_cast<unsigned long long>(value.integer) >
                                                                          0xFFFFFFFFull)))
                mismatch("out of the 32-bit range");
            return value;
    }
}

}  // namespace

std::vector<Value> ValuesForFormat(const std::string& format, Dialect dialect, const std::vector<std::string>& typed) {
    const std::vector<Conversion> conversions = dialect == Dialect::kCompact ? ScanCompact(format) : ScanPrintf(format);
    const size_t most = dialect == Dialect::kCompact ? 4 : 6;
    const char* emitter = dialect == Dialect::kCompact ? "emit format" : "emit args";
    if (conversions.size() > most) {
        Fail(exit_code::kUsage, fmt::format("format \"{}\"", format),
             fmt::format("has {} conversions; {} takes at most {}", conversions.size(), emitter, most));
    }
    if (typed.size() != conversions.size()) {
        std::string list;
        for (const Conversion& c : conversions) list += (list.empty() ? "" : ", ") + c.spec;
        Fail(exit_code::kUsage, fmt::format("format \"{}\"", format),
             fmt::format("takes {} value{}{}, {} given", conversions.size(), conversions.size() == 1 ? "" : "s",
                         list.empty() ? "" : " (" + list + ")", typed.size()),
             "give one value per conversion; %% is a plain percent sign");
    }
    std::vector<Value> values;
    for (size_t i = 0; i < typed.size(); ++i) values.push_back(Take(typed[i], conversions[i], i + 1));
    return values;
}

}  // namespace evtrace
