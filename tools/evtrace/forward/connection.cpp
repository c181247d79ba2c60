#include "forward/connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <chrono>

namespace evtrace::forward {

namespace {

// How long unacknowledged data may wait before the kernel gives the
// connection up (a collector that vanished without a word).
constexpr unsigned kUserTimeoutMs = 30000;

// Waits for `events` on fd or for the stop; 1 ready, 0 time-out, -1 stop
// or failure.
int WaitFor(int fd, short events, int stopFd, int timeout_ms) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, stopFd >= 0 ? 2 : 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) return 0;
        if (stopFd >= 0 && (fds[1].revents & POLLIN)) return -1;
        return 1;
    }
}

int ConnectSocket(const Target& target, int stopFd, int timeout_ms, std::string* why) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(target.port);
    const int status = getaddrinfo(target.host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        *why = "cannot find the address of " + target.host + ": " + gai_strerror(status);
        return -1;
    }
    std::string last = "no address";
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            last = strerror(errno);
            continue;
        }
        int error = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                const int ready = WaitFor(fd, POLLOUT, stopFd, timeout_ms);
                socklen_t size = sizeof error;
                if (ready == 1) {
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                } else {
                    error = ready == 0 ? ETIMEDOUT : ECANCELED;
                }
            }
        }
        if (error != 0) {
            last = strerror(error);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *why = "cannot connect to " + target.Text() + ": " + last;
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    return fd;
}

std::string Errno(const char* what, int error) {
    if (error == EPIPE) return std::string(what) + ": the collector closed the connection";
    if (error == ECONNRESET) return std::string(what) + ": the collector reset the connection";
    return std::string(what) + ": " + strerror(error);
}

class TcpConnection final : public Connection {
public:
    TcpConnection(int fd, int stopFd) : Connection(fd), stopFd_(stopFd) {}
    ~TcpConnection() override { close(fd_); }

    bool Send(const char* data, size_t size, std::string* why) override {
        while (size > 0) {
            const ssize_t n = send(fd_, data, size, MSG_NOSIGNAL);
            if (n > 0) {
                written_ += uint64_t(n);
                data += n;
                size -= size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (WaitFor(fd_, POLLOUT, stopFd_, -1) < 0) {
                    *why = "stopped while sending";
                    return false;
                }
                continue;
            }
            *why = Errno("cannot send", errno);
            return false;
        }
        return true;
    }

    bool Healthy(std::string* why) override {
        char scratch[512];
        for (;;) {
            const ssize_t n = recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
            if (n > 0) continue;  // a collector says nothing on this road: ignored
            if (n == 0) {
                *why = "the collector closed the connection";
                return false;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            *why = Errno("the connection failed", errno);
            return false;
        }
    }

    bool IsTls() const override { return false; }

private:
    int stopFd_;
};

// ---- TLS ----------------------------------------------------------------------

std::string TlsError(const char* what, int code) { return std::string(what) + ": " + gnutls_strerror(code); }

struct Credentials {
    gnutls_certificate_credentials_t value = nullptr;
    ~Credentials() {
        if (value != nullptr) gnutls_certificate_free_credentials(value);
    }
};

std::string LoadCredentials(const TlsOptions& tls, Credentials* credentials) {
    int rc = gnutls_certificate_allocate_credentials(&credentials->value);
    if (rc < 0) return TlsError("cannot set up TLS", rc);
    if (tls.caFile.empty()) {
        rc = gnutls_certificate_set_x509_system_trust(credentials->value);
        if (rc <= 0)
            return "the system has no trusted certificate authorities (install ca-certificates, or set "
                   "\"TlsCAFile\")";
    } else {
        rc = gnutls_certificate_set_x509_trust_file(credentials->value, tls.caFile.c_str(), GNUTLS_X509_FMT_PEM);
        if (rc <= 0)
            return "\"TlsCAFile\" " + tls.caFile + " holds no usable PEM certificate" +
                   (rc < 0 ? std::string(" (") + gnutls_strerror(rc) + ")" : std::string());
    }
    if (!tls.certFile.empty()) {
        rc = gnutls_certificate_set_x509_key_file(credentials->value, tls.certFile.c_str(), tls.keyFile.c_str(),
                                                  GNUTLS_X509_FMT_PEM);
        if (rc < 0)
            return "\"TlsCertFile\" " + tls.certFile + " and \"TlsKeyFile\" " + tls.keyFile +
                   " are not a usable PEM certificate and key: " + gnutls_strerror(rc);
    }
    return {};
}

class TlsConnection final : public Connection {
public:
    TlsConnection(int fd, int stopFd) : Connection(fd), stopFd_(stopFd) {}
    ~TlsConnection() override {
        if (session_ != nullptr) gnutls_deinit(session_);
        close(fd_);
    }

    bool Start(const Target& target, const TlsOptions& tls, int timeout_ms, std::string* why) {
        const std::string problem = LoadCredentials(tls, &credentials_);
        if (!problem.empty()) {
            *why = problem;
            return false;
        }
        int rc = gnutls_init(&session_, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
        if (rc < 0) {
            *why = TlsError("cannot set up TLS", rc);
            return false;
        }
        gnutls_set_default_priority(session_);
        gnutls_credentials_set(session_, GNUTLS_CRD_CERTIFICATE, credentials_.value);
        const std::string name = tls.serverName.empty() ? target.host : tls.serverName;
        in6_addr address;
        const bool numeric =
            inet_pton(AF_INET, name.c_str(), &address) == 1 || inet_pton(AF_INET6, name.c_str(), &address) == 1;
        if (!numeric) gnutls_server_name_set(session_, GNUTLS_NAME_DNS, name.data(), name.size());
        // The certificate must chain to a trusted authority and name the
        // collector (a DNS name, or an IP address in its alternative names).
        gnutls_session_set_verify_cert(session_, name.c_str(), 0);
        gnutls_transport_set_ptr(session_, this);
        gnutls_transport_set_push_function(session_, &TlsConnection::Push);
        gnutls_transport_set_pull_function(session_, &TlsConnection::Pull);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            rc = gnutls_handshake(session_);
            if (rc == GNUTLS_E_SUCCESS) return true;
            if (rc != GNUTLS_E_AGAIN && rc != GNUTLS_E_INTERRUPTED) {
                if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
                    gnutls_datum_t text = {};
                    const unsigned status = gnutls_session_get_verify_cert_status(session_);
                    gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0);
                    *why = "the collector's certificate is not trusted for " + name + ": " +
                           (text.data ? reinterpret_cast<const char*>(text.data) : "unknown reason") +
                           " (check \"TlsCAFile\" and \"TlsServerName\")";
                    gnutls_free(text.data);
                } else {
                    *why = TlsError("the TLS handshake failed", rc);
                }
                return false;
            }
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count());
            if (left <= 0 ||
                WaitFor(fd_, gnutls_record_get_direction(session_) ? POLLOUT : POLLIN, stopFd_, left) != 1) {
                *why = left <= 0 ? "the TLS handshake took too long" : "stopped during the TLS handshake";
                return false;
            }
        }
    }

    bool Send(const char* data, size_t size, std::string* why) override {
        while (size > 0) {
            const ssize_t n = gnutls_record_send(session_, data, size);
            if (n > 0) {
                data += n;
                size -= size_t(n);
                continue;
            }
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
                // The same call again once there is room: GnuTLS keeps the
                // record it has begun.
                if (WaitFor(fd_, POLLOUT, stopFd_, -1) < 0) {
                    *why = "stopped while sending";
                    return false;
                }
                continue;
            }
            *why = lastErrno_ != 0 ? Errno("cannot send", lastErrno_) : TlsError("cannot send", int(n));
            return false;
        }
        return true;
    }

    bool Healthy(std::string* why) override {
        char scratch[512];
        for (;;) {
            const ssize_t n = gnutls_record_recv(session_, scratch, sizeof scratch);
            if (n > 0) continue;
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) return true;
            if (n == 0 || n == GNUTLS_E_PREMATURE_TERMINATION) {
                *why = "the collector closed the connection";
                return false;
            }
            if (n == GNUTLS_E_REHANDSHAKE || (n < 0 && !gnutls_error_is_fatal(int(n)))) continue;
            *why = lastErrno_ != 0 ? Errno("the connection failed", lastErrno_)
                                   : TlsError("the connection failed", int(n));
            return false;
        }
    }

    bool IsTls() const override { return true; }

private:
    static ssize_t Push(gnutls_transport_ptr_t self, const void* data, size_t size) {
        auto* c = static_cast<TlsConnection*>(self);
        for (;;) {
            const ssize_t n = send(c->fd_, data, size, MSG_NOSIGNAL);
            if (n > 0) c->written_ += uint64_t(n);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                if (error != EAGAIN && error != EWOULDBLOCK) c->lastErrno_ = error;
                gnutls_transport_set_errno(c->session_, error == EWOULDBLOCK ? EAGAIN : error);
            }
            return n;
        }
    }

    static ssize_t Pull(gnutls_transport_ptr_t self, void* data, size_t size) {
        auto* c = static_cast<TlsConnection*>(self);
        for (;;) {
            const ssize_t n = recv(c->fd_, data, size, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                if (error != EAGAIN && error != EWOULDBLOCK) c->lastErrno_ = error;
                gnutls_transport_set_errno(c->session_, error == EWOULDBLOCK ? EAGAIN : error);
            }
            return n;
        }
    }

    int stopFd_;
    int lastErrno_ = 0;
    Credentials credentials_;
    gnutls_session_t session_ = nullptr;
};

}  // namespace

uint64_t Connection::Acknowledged() const {
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
        size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return 0;
    // The count begins with the SYN, which carries no data.
    return info.tcpi_bytes_acked > 0 ? info.tcpi_bytes_acked - 1 : 0;
}

std::unique_ptr<Connection> Connect(const Target& target, const TlsOptions& tls, int stopFd, int timeout_ms,
                                    std::string* why) {
    const int fd = ConnectSocket(target, stopFd, timeout_ms, why);
    if (fd < 0) return nullptr;
    if (!target.tls) return std::make_unique<TcpConnection>(fd, stopFd);
    auto connection = std::make_unique<TlsConnection>(fd, stopFd);
    if (!connection->Start(target, tls, timeout_ms, why)) return nullptr;
    return connection;
}

std::string CheckTlsOptions(const TlsOptions& tls) {
    Credentials credentials;
    return LoadCredentials(tls, &credentials);
}

}  // namespace evtrace::forward
