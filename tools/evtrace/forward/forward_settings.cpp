#include "forward/forward_settings.h"

#include <string.h>
#include <winreg.h>

#include <cstdlib>

#include <w32rt/machine.h>

namespace evtrace::forward {

namespace {

bool IsHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

// Reads a REG_SZ or REG_DWORD value: ERROR_FILE_NOT_FOUND when it is not
// there, ERROR_SUCCESS with the text or the number, or the reason in words.
LONG QueryText(HKEY key, const char* name, std::string* text, std::string* why) {
    char data[1024] = {};
    DWORD type = 0, size = sizeof data - 1;
    const LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    if (status == ERROR_FILE_NOT_FOUND) return status;
    if (status != ERROR_SUCCESS) {
        *why = status == ERROR_MORE_DATA ? "is longer than 1,023 characters" : "cannot be read";
        return status;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        *why = "is not a REG_SZ";
        return ERROR_INVALID_DATA;
    }
    text->assign(data, strnlen(data, size));
    return ERROR_SUCCESS;
}

LONG QueryNumber(HKEY key, const char* name, DWORD* number, std::string* why) {
    DWORD value = 0, type = 0, size = sizeof value;
    const LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_FILE_NOT_FOUND) return status;
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) {
        *why = "is not a REG_DWORD";
        return ERROR_INVALID_DATA;
    }
    *number = value;
    return ERROR_SUCCESS;
}

}  // namespace

std::string Target::Text() const {
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(tls ? "tls://" : "tcp://") + shown + ":" + std::to_string(port);
}

std::string ParseTarget(const std::string& text, Target* target) {
    Target t;
    std::string rest;
    if (text.rfind("tcp://", 0) == 0) {
        rest = text.substr(6);
    } else if (text.rfind("tls://", 0) == 0) {
        t.tls = true;
        rest = text.substr(6);
    } else {
        return "does not begin with tcp:// or tls://";
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return "has an IPv6 address without its closing bracket";
        t.host = rest.substr(1, close - 1);
        if (close + 1 >= rest.size() || rest[close + 1] != ':') return "has no :PORT after the host";
        port = rest.substr(close + 2);
        if (t.host.empty() || t.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
            return "has an IPv6 address that holds other characters than hexadecimal digits, : and .";
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos) return "has no :PORT after the host";
        t.host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (t.host.empty()) return "has no host";
        for (char c : t.host)
            if (!IsHostCharacter(c)) return "has a host name with a character other than letters, digits, - . _";
        if (t.host.size() > 253) return "has a host name longer than 253 characters";
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return "has a port that is not a number from 1 to 65535";
    const unsigned long number = strtoul(port.c_str(), nullptr, 10);
    if (number < 1 || number > 65535) return "has a port that is not a number from 1 to 65535";
    t.port = static_cast<uint16_t>(number);
    *target = t;
    return {};
}

Settings ReadSettings() {
    Settings settings;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return settings;
    auto problem = [&](const char* name, const std::string& why) {
        settings.problems.push_back(std::string("\"") + name + "\" " + why + "; its default is used");
    };
    std::string why, text;
    if (QueryText(key, "Target", &text, &why) == ERROR_SUCCESS) {
        Target parsed;
        const std::string bad = text.empty() ? std::string() : ParseTarget(text, &parsed);
        if (bad.empty())
            settings.target = text;
        else
            problem("Target", "(" + text + ") " + bad);
    } else if (!why.empty()) {
        problem("Target", why);
    }
    struct NumberValue {
        const char* name;
        DWORD* field;
        DWORD min, max;
    };
    for (const NumberValue& v : {NumberValue{"MaxQueueMB", &settings.maxQueueMB, 1, kMaxMaxQueueMB},
                                 NumberValue{"Facility", &settings.facility, 0, 23}}) {
        DWORD number = 0;
        why.clear();
        const LONG status = QueryNumber(key, v.name, &number, &why);
        if (status == ERROR_SUCCESS && number >= v.min && number <= v.max) {
            *v.field = number;
        } else if (status == ERROR_SUCCESS) {
            problem(v.name, "(" + std::to_string(number) + ") lies outside " + std::to_string(v.min) + " to " +
                                std::to_string(v.max));
        } else if (!why.empty()) {
            problem(v.name, why);
        }
    }
    struct TextValue {
        const char* name;
        std::string* field;
        bool path;
    };
    for (const TextValue& v : {TextValue{"TlsCAFile", &settings.tls.caFile, true},
                               TextValue{"TlsServerName", &settings.tls.serverName, false},
                               TextValue{"TlsCertFile", &settings.tls.certFile, true},
                               TextValue{"TlsKeyFile", &settings.tls.keyFile, true}}) {
        text.clear();
        why.clear();
        if (QueryText(key, v.name, &text, &why) == ERROR_SUCCESS) {
            // Paths may be given as POSIX paths or as drive paths of the root.
            *v.field = v.path && !text.empty() ? w32rt::to_posix_path(text) : text;
        } else if (!why.empty()) {
            problem(v.name, why);
        }
    }
    if (settings.tls.certFile.empty() != settings.tls.keyFile.empty()) {
        problem("TlsCertFile", "and \"TlsKeyFile\" go together: one without the other is not used");
        settings.tls.certFile.clear();
        settings.tls.keyFile.clear();
    }
    RegCloseKey(key);
    return settings;
}

std::string QueueFolder() { return w32rt::machine_root() + "/forward"; }

}  // namespace evtrace::forward
