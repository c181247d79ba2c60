// A real syslog collector for the forwarding tests: Debian's rsyslogd, run
// in the foreground by the test on 127.0.0.1 and a free port, with its own
// configuration, working folder and pid file, receiving over TCP (imtcp,
// octet counting) or TLS (the gtls driver with a certificate the test
// makes) and writing every message it receives, whole, one per line, to a
// file the test reads. And the parts of a received RFC 5424 line.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace forward_test {

inline constexpr char kRsyslogd[] = "/usr/sbin/rsyslogd";
inline constexpr char kCerttool[] = "/usr/bin/certtool";

// A port of 127.0.0.1 that was free a moment ago.
int FreePort();

// A certificate authority and a server certificate it signed, for
// "localhost" and 127.0.0.1, made with GnuTLS's certtool in `folder`.
struct Certificates {
    std::string caFile, certFile, keyFile;
};
Certificates MakeCertificates(const std::string& folder, const std::string& name);

class Rsyslog {
public:
    // Everything of the collector lives in `folder`; with certificates it
    // takes TLS only.
    explicit Rsyslog(std::string folder, const Certificates* tls = nullptr);
    ~Rsyslog();
    Rsyslog(const Rsyslog&) = delete;
    Rsyslog& operator=(const Rsyslog&) = delete;

    // Starts it on its port (chosen at the first start, kept across
    // restarts) and waits until it takes connections. False with the
    // collector's own words in `why`.
    bool Start(std::string* why);
    // SIGTERM, and waits until it has ended (it writes what it received).
    void Stop();
    bool running() const { return process_.pid() > 0; }
    int port() const { return port_; }
    std::string target() const;

    // The received messages, one per line, as they stand in the file.
    std::vector<std::string> Lines() const;
    // Waits until at least `count` lines are there.
    bool WaitForLines(size_t count, std::chrono::milliseconds timeout);

private:
    std::string folder_;
    bool tls_ = false;
    Certificates certificates_;
    int port_ = 0;
    testing_support::ChildProcess process_;
};

// A received message, split by RFC 5424's fields.
struct Message {
    int pri = -1;
    std::string version, time, host, app, procId, msgId, sdId;
    std::map<std::string, std::string> params;  // of the first element, unescaped
    std::string text;
    bool ok = false;
};
Message Parse(const std::string& line);

}  // namespace forward_test
