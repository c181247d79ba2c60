// The checks every request of the viewer passes, and the parsing of what a
// page sends; pure functions, tested on their own.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace evtrace::view {

// 64 hexadecimal digits of the system's random source.
std::string NewToken();

// Compares in time that depends on the lengths only.
bool TokenMatches(const std::string& given, const std::string& token);

// A Host header the viewer answers: "localhost" or an IPv4 or bracketed
// IPv6 literal, with the viewer's port (80 when none is given).
bool HostAllowed(const std::string& host, int port);

struct RequestHeaders {
    std::string host;
    std::string origin;     // empty when absent
    std::string fetchSite;  // Sec-Fetch-Site, empty when absent
    std::string fetchMode;  // Sec-Fetch-Mode
    std::string token;      // from the query or X-Evtrace-Token
};
// Whether a request may be served; `why` says in words why not.
bool RequestAllowed(const RequestHeaders& request, const std::string& token, int port, std::string* why);

// "1-20,25,30-31" into [first, last] pairs; false when it is not that form
// or asks for more than `maxIds` ids in all.
bool ParseIdRanges(const std::string& text, uint64_t maxIds, std::vector<std::pair<uint64_t, uint64_t>>* ranges);

}  // namespace evtrace::view
