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
    return Printable(std::string_view(text, strnlen(text, record.dwDataLen)));
}

std::string RecordLine(const _VANTA_EVTRACE_DATA& record) {
    return fmt::format("{}  {:<16} {:<11} {:<13} 0x{:08x} {:>3}  {}", LocalTime(record.ftTimeStamp),
                       PrintableField(record.szSource, sizeof record.szSource), SeverityName(record.dwEventCode),
                       DomainName(record.dwEventCode), record.dwEventCode, record.dwEventType, RecordText(record));
}

nlohmann::json RecordJson(const _VANTA_EVTRACE_DATA& record) {
    const char* data = reinterpret_cast<const char*>(record.Data);
    nlohmann::json out;
    out["time"] = IsoTime(record.ftTimeStamp, true);
    out["source"] = JsonField(record.szSource, sizeof record.szSource);
    out["user"] = JsonField(record.szUserName, sizeof record.szUserName);
    out["severity"] = EVT_CODE_SEVERITY(record.dwEventCode);
    out["severityName"] = SeverityName(record.dwEventCode);
    out["domain"] = EVT_CODE_DOMAIN(record.dwEventCode);
    out["domainName"] = DomainName(record.dwEventCode);
    out["code"] = record.dwEventCode;
    out["type"] = record.dwEventType;
    out["stringA"] = JsonField(record.szStringA, sizeof record.szStringA);
    out["stringB"] = JsonField(record.szStringB, sizeof record.szStringB);
    out["flag"] = record.bFlag;
    out["text"] = JsonText(std::string_view(data, strnlen(data, record.dwDataLen)));
    out["dataLen"] = record.dwDataLen;
    return out;
}

void WalkInfoset(const char* file, bool alertsOnly, bool reverse,
                 const std::function<void(const _VANTA_EVTRACE_DATA&)>& visit) {
    ULONG infoset = 0;
    LONG result = OpenInfosetHandle(&infoset, file, alertsOnly ? EVT_INFOSET_ALERTS : EVT_INFOSET_ALL);
    if (result != S_OK) {
        if (file == nullptr && result == EVT_E_NOINFOSET)
            Fail(exit_code::kNotFound, "live snapshot", "no event engine answers on this machine root",
                 "start the event engine on this machine root first");
        Fail(result == EVT_E_NOFILEACCESS ? exit_code::kNotFound : exit_code::kFailed, file ? file : "live snapshot",
             "cannot be opened: " + ResultText(result));
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
    Fail(exit_code::kUsage, "severity \"" + text + "\"", "unknown",
         "give 0-3 or Success, Information, Error, Warning");
}

int ParseDomain(const std::string& text) {
    unsigned long long n;
    if (ParseNumber(text, &n) && n < 16) return int(n);
    for (int i = 0; i < 16; ++i) {
        if (i != 13 && i != 15 && strcasecmp(text.c_str(), kDomains[i]) == 0) return i;
    }
    Fail(exit_code::kUsage, "domain \"" + text + "\"", "unknown",
         "give 0-15 or a name: Connection, Security, Adapter, Profile, TCP/IP, AppDriver, General, Registry, "
         "AppSettings, Location, ThirdPartyApp, ITPolicy, EvTrace, Driver");
}

DWORD ParseCode(const std::string& text) {
    unsigned long long n;
    if (!ParseNumber(text, &n) || n > 0xFFFFFFFFull || text[0] == '-')
        Fail(exit_code::kUsage, "event code \"" + text + "\"", "not a 32-bit number",
             "give it in decimal or as 0x followed by hex digits");
    return DWORD(n);
}

}  // namespace evtrace
