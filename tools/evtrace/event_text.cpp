#include "event_text.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "command.h"

namespace evtrace {
namespace {

// The texts of the library's string table (ids 108 to 127).
const char* const kSeverities[4] = {"Success", "Information", "Error", "Warning"};
const char* const kDomains[16] = {"Connection", "Security", "Adapter",     "Profile",  "TCP/IP",        "AppDriver",
                                  "General",    "Registry", "AppSettings", "Location", "ThirdPartyApp", "ITPolicy",
                                  "EvTrace",    "Unknown",  "Driver",      "Unknown"};

bool ParseNumber(const std::string& text, unsigned long long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = strtoull(text.c_str(), &end, 0);
    return end != nullptr && *end == '\0';
}

}  // namespace

const char* SeverityName(DWORD code) { return kSeverities[EVT_CODE_SEVERITY(code)]; }
const char* DomainName(DWORD code) { return kDomains[EVT_CODE_DOMAIN(code)]; }

std::string LocalTime(const FILETIME& time) {
    FILETIME local;
    SYSTEMTIME st;
    if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &st)) return "-";
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                       st.wSecond, st.wMilliseconds);
}

std::string RecordText(const _VANTA_EVTRACE_DATA& record) {
    const char* text = reinterpret_cast<const char*>(record.Data);
    size_t n = strnlen(text, record.dwDataLen);
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            out += fmt::format("\\x{:02x}", c);
        } else {
            out.push_back(char(c));
        }
    }
    return out;
}

std::string RecordLine(const _VANTA_EVTRACE_DATA& record) {
    return fmt::format("{}  {:<16} {:<11} {:<13} 0x{:08x} {:>3}  {}", LocalTime(record.ftTimeStamp),
                       std::string(record.szSource, strnlen(record.szSource, sizeof record.szSource)),
                       SeverityName(record.dwEventCode), DomainName(record.dwEventCode), record.dwEventCode,
                       record.dwEventType, RecordText(record));
}

nlohmann::json RecordJson(const _VANTA_EVTRACE_DATA& record) {
    auto field = [](const char* s, size_t size) { return std::string(s, strnlen(s, size)); };
    const char* data = reinterpret_cast<const char*>(record.Data);
    nlohmann::json out;
    out["time"] = LocalTime(record.ftTimeStamp);
    out["source"] = field(record.szSource, sizeof record.szSource);
    out["user"] = field(record.szUserName, sizeof record.szUserName);
    out["severity"] = EVT_CODE_SEVERITY(record.dwEventCode);
    out["severityName"] = SeverityName(record.dwEventCode);
    out["domain"] = EVT_CODE_DOMAIN(record.dwEventCode);
    out["domainName"] = DomainName(record.dwEventCode);
    out["code"] = record.dwEventCode;
    out["type"] = record.dwEventType;
    out["stringA"] = field(record.szStringA, sizeof record.szStringA);
    out["stringB"] = field(record.szStringB, sizeof record.szStringB);
    out["flag"] = record.bFlag;
    out["text"] = std::string(data, strnlen(data, record.dwDataLen));
    out["dataLen"] = record.dwDataLen;
    return out;
}

std::string JsonLine(const nlohmann::json& value) {
    // Texts are bytes of the ANSI code page: what is not UTF-8 is replaced.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ResultName(LONG result) {
    switch (result) {
    case S_OK: return "S_OK";
    case E_FAIL: return "E_FAIL";
    case EVT_E_INVALIDARG: return "EVT_E_INVALIDARG";
    case EVT_E_OUTOFMEMORY: return "EVT_E_OUTOFMEMORY";
    case EVT_E_NOINFOSET: return "EVT_E_NOINFOSET";
    case EVT_E_HANDLEINUSE: return "EVT_E_HANDLEINUSE";
    case EVT_E_NOTINITIALIZED: return "EVT_E_NOTINITIALIZED";
    case EVT_E_TOOMANYINFOSETS: return "EVT_E_TOOMANYINFOSETS";
    case EVT_E_POINTER: return "EVT_E_POINTER";
    case EVT_E_BADINFOSETTYPE: return "EVT_E_BADINFOSETTYPE";
    case EVT_E_NOFILEACCESS: return "EVT_E_NOFILEACCESS";
    case EVT_E_BADLOGFORMAT: return "EVT_E_BADLOGFORMAT";
    case EVT_E_LOGWRITE: return "EVT_E_LOGWRITE";
    default: return fmt::format("0x{:08x}", static_cast<ULONG>(result));
    }
}

void WalkInfoset(const char* file, bool alertsOnly, bool reverse,
                 const std::function<void(const _VANTA_EVTRACE_DATA&)>& visit) {
    ULONG infoset = 0;
    LONG result = OpenInfosetHandle(&infoset, file, alertsOnly ? EVT_INFOSET_ALERTS : EVT_INFOSET_ALL);
    if (result != S_OK) {
        throw CommandError{fmt::format("cannot open {}: {}", file ? file : "a live snapshot", ResultName(result))};
    }
    _VANTA_EVTRACE_DATA* record = nullptr;
    try {
        for (LONG r = reverse ? GetLastEvTrace(infoset, &record) : GetFirstEvTrace(infoset, &record);
             r == S_OK && record != nullptr;
             r = reverse ? GetPreviousEvTrace(infoset, &record) : GetNextEvTrace(infoset, &record)) {
            visit(*record);
        }
    } catch (...) {
        CloseInfosetHandle(infoset);
        throw;
    }
    CloseInfosetHandle(infoset);
}

int ParseSeverity(const std::string& text) {
    unsigned long long n;
    if (ParseNumber(text, &n) && n < 4) return int(n);
    for (int i = 0; i < 4; ++i) {
        if (strcasecmp(text.c_str(), kSeverities[i]) == 0) return i;
    }
    throw CommandError{"unknown severity " + text};
}

int ParseDomain(const std::string& text) {
    unsigned long long n;
    if (ParseNumber(text, &n) && n < 16) return int(n);
    for (int i = 0; i < 16; ++i) {
        if (i != 13 && i != 15 && strcasecmp(text.c_str(), kDomains[i]) == 0) return i;
    }
    throw CommandError{"unknown domain " + text};
}

DWORD ParseCode(const std::string& text) {
    unsigned long long n;
    if (!ParseNumber(text, &n) || n > 0xFFFFFFFFull) throw CommandError{"bad event code " + text};
    return DWORD(n);
}

}  // namespace evtrace
