#include "view/view_checks.h"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/random.h>

#include <stdexcept>

namespace evtrace::view {

std::string NewToken() {
    unsigned char bytes[32];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) throw std::runtime_error("the system's random source failed");
        got += size_t(n);
    }
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token.push_back(hex[b >> 4]);
        token.push_back(hex[b & 0xF]);
    }
    return token;
}

bool TokenMatches(const std::string& given, const std::string& token) {
    if (token.empty() || given.size() != token.size()) return false;
    volatile unsigned char difference = 0;
    for (size_t i = 0; i < token.size(); ++i) difference = difference | (given[i] ^ token[i]);
    return difference == 0;
}

bool HostAllowed(const std::string& host, int port) {
    std::string name, portText;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(1, close - 1);
        std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        if (!rest.empty()) portText = rest.substr(1);
        unsigned char address[16];
        if (inet_pton(AF_INET6, name.c_str(), address) != 1) return false;
    } else {
        size_t colon = host.rfind(':');
        name = host.substr(0, colon);
        if (colon != std::string::npos) portText = host.substr(colon + 1);
        unsigned char address[4];
        if (strcasecmp(name.c_str(), "localhost") != 0 && inet_pton(AF_INET, name.c_str(), address) != 1)
            return false;
    }
    if (portText.empty()) return port == 80;
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    return std::stoi(portText) == port;
}

bool RequestAllowed(const RequestHeaders& request, const std::string& token, int port, std::string* why) {
    if (!HostAllowed(request.host, port)) {
        *why = "this viewer answers only requests for its own address (Host header \"" + request.host + "\")";
        return false;
    }
    if (!request.origin.empty() && strcasecmp(request.origin.c_str(), ("http://" + request.host).c_str()) != 0) {
        *why = "requests from other origins are refused";
        return false;
    }
    if ((request.fetchSite == "cross-site" || request.fetchSite == "same-site") && request.fetchMode != "navigate") {
        *why = "requests made by other sites are refused";
        return false;
    }
    if (!TokenMatches(request.token, token)) {
        *why = request.token.empty() ? "this viewer needs its access token: open the address that evtrace view "
                                       "printed when it started (it ends in ?token=...)"
                                     : "the access token is wrong: open the address that evtrace view printed "
                                       "when it started";
        return false;
    }
    return true;
}

bool ParseIdRanges(const std::string& text, uint64_t maxIds, std::vector<std::pair<uint64_t, uint64_t>>* ranges) {
    uint64_t total = 0;
    size_t i = 0;
    auto number = [&](uint64_t* value) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        uint64_t v = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            if (v > (UINT64_MAX - 9) / 10) return false;
            v = v * 10 + uint64_t(text[i] - '0');
        }
        *value = v;
        return true;
    };
    while (i < text.size()) {
        uint64_t from = 0, to = 0;
        if (!number(&from)) return false;
        to = from;
        if (i < text.size() && text[i] == '-') {
            ++i;
            if (!number(&to) || to < from) return false;
        }
        if (to - from >= maxIds || (total += to - from + 1) > maxIds) return false;
        ranges->emplace_back(from, to);
        if (i < text.size() && text[i] != ',') return false;
        if (i < text.size()) ++i;
    }
    return true;
}

}  // namespace evtrace::view
