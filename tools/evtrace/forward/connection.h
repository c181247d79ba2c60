// A connection to the collector: plain TCP or TLS (GnuTLS) over TCP, with a
// non-blocking socket whose waits also wake on the forwarder's stop.
//
// Delivery is judged by the TCP layer's own count: Acknowledged() is how many
// bytes of this connection the collector's TCP has acknowledged
// (TCP_INFO's bytes_acked, less the SYN), Written() how many this side has
// handed to the socket; both count the TLS handshake and record overhead
// too, so a caller that notes Written() after each Send knows which of its
// messages the collector has taken. For TLS, each Send of at most
// kTlsRecordBytes becomes one TLS record, which the collector can decrypt
// only whole.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "forward/forward_settings.h"

namespace evtrace::forward {

inline constexpr size_t kTlsRecordBytes = 16384;

class Connection {
public:
    virtual ~Connection() = default;
    // Sends every byte, waiting for room as long as it takes; false (with
    // the reason) when the connection failed or the stop was signalled.
    virtual bool Send(const char* data, size_t size, std::string* why) = 0;
    // A zero-time look at the connection: false (with the reason) when the
    // collector has closed or reset it.
    virtual bool Healthy(std::string* why) = 0;
    virtual bool IsTls() const = 0;
    uint64_t Written() const { return written_; }
    uint64_t Acknowledged() const;

protected:
    explicit Connection(int fd) : fd_(fd) {}
    int fd_;
    uint64_t written_ = 0;
};

// Connects (and for TLS shakes hands and checks the collector's certificate
// against tls.serverName, else the target's host) within `timeout_ms`.
// `stopFd` (readable: stop) ends every wait. Null with the reason in words.
std::unique_ptr<Connection> Connect(const Target& target, const TlsOptions& tls, int stopFd, int timeout_ms,
                                    std::string* why);

// Checks the TLS options (readable files, a usable certificate and key)
// before the engine starts; empty when usable.
std::string CheckTlsOptions(const TlsOptions& tls);

}  // namespace evtrace::forward
