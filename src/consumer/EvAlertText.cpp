#include "consumer/EvAlertText.h"

#include <string>

namespace traceapi {
namespace {

constexpr std::string_view kFieldSeparator = "||";
constexpr std::string_view kEntryEnd = "|#|\n";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

DWORD LeadingNumber(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    unsigned long long value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        value = value * 10 + unsigned(s[i] - '0');
        if (value > 0xFFFFFFFFull) return 0xFFFFFFFF;
    }
    return DWORD(value);
}

}  // namespace

std::vector<DWORD> ParseAlertCodes(std::string_view text) {
    size_t count = 0;
    for (size_t at = text.find(kEntryEnd); at != std::string_view::npos; at = text.find(kEntryEnd, at + 3)) ++count;

    std::vector<DWORD> codes;
    codes.reserve(count);
    size_t pos = 0;
    while (pos < text.size() && codes.size() < count) {
        const size_t bar = text.find(kFieldSeparator, pos);
        if (bar == std::string_view::npos) break;
        const size_t end = text.find(kEntryEnd, bar);
        if (end == std::string_view::npos) break;
        codes.push_back(LeadingNumber(text.substr(pos, bar - pos)));
        pos = end + 3;
    }
    return codes;
}

AlertFields ExtractAlertFields(std::string_view entry) {
    AlertFields fields;
    size_t bar = entry.find(kFieldSeparator);
    if (bar == std::string_view::npos) return fields;
    fields.code = LeadingNumber(entry.substr(0, bar));
    fields.count = 1;
    std::string_view* middle[3] = {&fields.field2, &fields.hints, &fields.field4};
    size_t start = bar + 2;
    for (std::string_view* field : middle) {
        bar = entry.find(kFieldSeparator, start);
        if (bar == std::string_view::npos) return fields;
        *field = entry.substr(start, bar - start);
        ++fields.count;
        start = bar + 2;
    }
    const size_t end = entry.find("|#|", start);
    if (end == std::string_view::npos) return fields;
    fields.field5 = entry.substr(start, end - start);
    ++fields.count;
    return fields;
}

std::vector<std::string_view> SplitHints(std::string_view text) {
    std::vector<std::string_view> hints;
    size_t start = 0;
    for (size_t sep = text.find(";;"); sep != std::string_view::npos; sep = text.find(";;", start)) {
        hints.push_back(text.substr(start, sep - start));
        start = sep + 2;
    }
    hints.push_back(text.substr(start));
    return hints;
}

}  // namespace traceapi
