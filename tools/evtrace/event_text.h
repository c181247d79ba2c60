// How evtrace shows event records: names of severities and domains, local
// times, one-line and JSON forms, and the parsing of filter values.
#pragma once

#include <TraceApi.h>

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace evtrace {

const char* SeverityName(DWORD code);
const char* DomainName(DWORD code);
// "2024-05-01 14:05:09.123" in local time; "-" when it cannot be converted.
std::string LocalTime(const FILETIME& time);
// The record's text up to its first zero, with control characters escaped.
std::string RecordText(const _VANTA_EVTRACE_DATA& record);
std::string RecordLine(const _VANTA_EVTRACE_DATA& record);
nlohmann::json RecordJson(const _VANTA_EVTRACE_DATA& record);
// One line of JSON; bytes that are not UTF-8 are replaced.
std::string JsonLine(const nlohmann::json& value);

// The name of a library result code ("EVT_E_NOFILEACCESS"), or its hex.
std::string ResultName(LONG result);

// Opens an infoset (file null: a live snapshot of the event engine), walks
// it with the cursor (forward, or backward from the last record) and hands
// each record to `visit` while the infoset is open. Throws CommandError with
// the result when it cannot be opened.
void WalkInfoset(const char* file, bool alertsOnly, bool reverse,
                 const std::function<void(const _VANTA_EVTRACE_DATA&)>& visit);

// Filter values: numbers or names; throw CommandError when unknown.
int ParseSeverity(const std::string& text);
int ParseDomain(const std::string& text);
DWORD ParseCode(const std::string& text);

}  // namespace evtrace
