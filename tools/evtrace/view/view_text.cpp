#include "view/view_text.h"

#include <string.h>

#include <iterator>

#include <fmt/format.h>

namespace evtrace::view {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Length of the valid UTF-8 sequence at p (n bytes left), or 0 when the
// byte there does not start one: overlong forms, surrogates and code points
// beyond U+10FFFF are not valid.
size_t Utf8Sequence(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    auto cont = [&](size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && p[1] < 0xA0) return 0;   // overlong
        if (c == 0xED && p[1] >= 0xA0) return 0;  // surrogates
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && p[1] < 0x90) return 0;   // overlong
        if (c == 0xF4 && p[1] >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

bool ValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        size_t len = Utf8Sequence(p + i, bytes.size() - i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

// Code page 1252 from 0x80 to 0x9F; 0 where it defines no character.
constexpr uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

void AppendJsonString(std::string& out, std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    out.push_back('"');
    size_t i = 0;
    while (i < n) {
        // Runs of plain characters are copied at once.
        size_t start = i;
        while (i < n && p[i] >= 0x20 && p[i] < 0x7F && p[i] != '"' && p[i] != '\\' && p[i] != '<' && p[i] != '>' &&
               p[i] != '&') {
            ++i;
        }
        out.append(bytes.data() + start, i - start);
        if (i == n) break;
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(char(c));
            ++i;
        } else if (c == '<' || c == '>' || c == '&') {
            char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escape, sizeof escape);
            ++i;
        } else if (c < 0x80) {
            // Control characters and DEL are shown, as the tool's other
            // outputs show them: \n, \r, \t, else \xNN (backslash escaped).
            const char named = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : 0;
            if (named) {
                char escape[3] = {'\\', '\\', named};
                out.append(escape, sizeof escape);
            } else {
                char escape[5] = {'\\', '\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
                out.append(escape, sizeof escape);
            }
            ++i;
        } else if (size_t len = Utf8Sequence(p + i, n - i)) {
            out.append(bytes.data() + i, len);
            i += len;
        } else {
            // A stray byte: the text \xNN, its backslash escaped for JSON.
            char escape[5] = {'\\', '\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escape, sizeof escape);
            ++i;
        }
    }
    out.push_back('"');
}

void AppendJsonField(std::string& out, const char* field, size_t size) {
    AppendJsonString(out, std::string_view(field, strnlen(field, size)));
}

std::string DatabaseText(std::string_view bytes) {
    if (ValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c >= 0xA0) {
            AppendUtf8(out, c);  // 1252 agrees with Latin-1 here
        } else if (uint16_t cp = kCp1252High[c - 0x80]) {
            AppendUtf8(out, cp);
        } else {
            out += fmt::format("\\x{:02x}", c);
        }
    }
    return out;
}

double EpochMilliseconds(const FILETIME& time) {
    const uint64_t ticks = (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr uint64_t kEpoch = 116444736000000000ull;  // 1970-01-01 in FILETIME ticks
    return ticks < kEpoch ? 0.0 : double(ticks - kEpoch) / 10000.0;
}

void AppendEventJson(std::string& out, uint64_t id, const _VANTA_EVTRACE_DATA& record, bool alert) {
    const char* data = reinterpret_cast<const char*>(record.Data);
    size_t textLength = strnlen(data, record.dwDataLen);
    size_t shown = textLength;
    if (shown > kMaxTextBytes) {
        shown = kMaxTextBytes;
        // Cut before a continuation byte, never inside a character.
        for (int back = 0; back < 3 && shown > 0 && (static_cast<unsigned char>(data[shown]) & 0xC0) == 0x80; ++back)
            --shown;
    }
    const DWORD code = record.dwEventCode;
    fmt::format_to(std::back_inserter(out), "{{\"i\":{},\"t\":{:.3f},\"v\":{},\"m\":{},\"c\":{},\"y\":{}", id,
                       EpochMilliseconds(record.ftTimeStamp), EVT_CODE_SEVERITY(code), EVT_CODE_DOMAIN(code), code,
                       record.dwEventType);
    if (alert) out += ",\"al\":1";
    if (shown != textLength) fmt::format_to(std::back_inserter(out), ",\"n\":{}", textLength);
    out += ",\"s\":";
    AppendJsonField(out, record.szSource, sizeof record.szSource);
    out += ",\"u\":";
    AppendJsonField(out, record.szUserName, sizeof record.szUserName);
    if (record.szStringA[0] != '\0') {
        out += ",\"a\":";
        AppendJsonField(out, record.szStringA, sizeof record.szStringA);
    }
    if (record.szStringB[0] != '\0') {
        out += ",\"b\":";
        AppendJsonField(out, record.szStringB, sizeof record.szStringB);
    }
    out += ",\"x\":";
    AppendJsonString(out, std::string_view(data, shown));
    out.push_back('}');
}

}  // namespace evtrace::view
