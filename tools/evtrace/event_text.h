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
// The record's text up to its first zero, escaped for people.
std::string RecordText(const _VANTA_EVTRACE_DATA& record);
// One line for people: every text in it escaped (command.h).
std::string RecordLine(const _VANTA_EVTRACE_DATA& record);
// Strings made valid for JSON, the time with its zone.
nlohmann::json RecordJson(const _VANTA_EVTRACE_DATA& record);

// Opens an infoset (file null: a live snapshot of the event engine), walks
// it with the cursor (forward, or backward from the last record) and hands
// each record to `visit` while the infoset is open. Ends the command with
// the result in words when it cannot be opened.
void WalkInfoset(const char* file, bool alertsOnly, bool reverse,
                 const std::function<void(const _VANTA_EVTRACE_DATA&)>& visit);

// Filter values: numbers or names; throw CommandError when unknown.
int ParseSeverity(const std::string& text);
int ParseDomain(const std::string& text);
DWORD ParseCode(const std::string& text);

}  // namespace evtrace
