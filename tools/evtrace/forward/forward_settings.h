// Where and how the event engine forwards its records: the collector's
// address ("tcp://HOST:PORT" or "tls://HOST:PORT") and the registry values
// under HKEY_LOCAL_MACHINE "SOFTWARE\Vanta\Wireless\EvTrace\Forward". The
// engine reads them once at start; `--forward` takes the place of "Target".
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace evtrace::forward {

inline constexpr char kKeyPath[] = "SOFTWARE\\Vanta\\Wireless\\EvTrace\\Forward";
inline constexpr char kKeyDisplay[] = "HKLM\\SOFTWARE\\Vanta\\Wireless\\EvTrace\\Forward";
inline constexpr DWORD kDefaultMaxQueueMB = 256;
inline constexpr DWORD kMaxMaxQueueMB = 65536;
// Facility 1: user-level messages.
inline constexpr DWORD kDefaultFacility = 1;

struct Target {
    bool tls = false;
    std::string host;  // a name or an address; IPv6 without its brackets
    uint16_t port = 0;
    // "tcp://host:port" again, with brackets around an IPv6 address.
    std::string Text() const;
};

// Reads "tcp://HOST:PORT" or "tls://HOST:PORT". Empty when usable, else
// what is wrong with it, in words.
std::string ParseTarget(const std::string& text, Target* target);

struct TlsOptions {
    std::string caFile;      // PEM authorities; empty: the system's
    std::string serverName;  // the name the certificate must carry; empty: the target's host
    std::string certFile;    // a client certificate, for collectors that ask
    std::string keyFile;
};

struct Settings {
    std::string target;  // as stored; empty: no forwarding
    DWORD maxQueueMB = kDefaultMaxQueueMB;
    DWORD facility = kDefaultFacility;
    TlsOptions tls;
    // Values present but unusable (each takes its default), in words.
    std::vector<std::string> problems;
};

// Reads the registry values; a missing key means every default.
Settings ReadSettings();

// The disk queue's folder below the machine root.
std::string QueueFolder();

}  // namespace evtrace::forward
