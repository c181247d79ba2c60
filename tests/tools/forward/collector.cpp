#include "collector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace forward_test {

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

int Run(const std::vector<std::string>& args) {
    testing_support::SpawnOptions options;
    options.merge_stderr = true;
    testing_support::ChildProcess child = testing_support::spawn_program(args[0], {args.begin() + 1, args.end()},
                                                                         options);
    while (!child.read_line(std::chrono::seconds(20)).empty()) {
    }
    return child.wait();
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

Certificates MakeCertificates(const std::string& folder, const std::string& name) {
    mkdir(folder.c_str(), 0755);
    const std::string base = folder + "/" + name;
    WriteFile(base + "-ca.tmpl", "cn = \"" + name + " test authority\"\nca\ncert_signing_key\nexpiration_days = 2\n");
    WriteFile(base + "-server.tmpl",
              "cn = \"localhost\"\ndns_name = \"localhost\"\nip_address = \"127.0.0.1\"\ntls_www_server\n"
              "encryption_key\nsigning_key\nexpiration_days = 2\n");
    Certificates c{base + "-ca.pem", base + "-server.pem", base + "-server.key"};
    EXPECT_EQ(Run({kCerttool, "--generate-privkey", "--key-type=ecdsa", "--outfile", base + "-ca.key"}), 0);
    EXPECT_EQ(Run({kCerttool, "--generate-self-signed", "--load-privkey", base + "-ca.key", "--template",
                   base + "-ca.tmpl", "--outfile", c.caFile}),
              0);
    EXPECT_EQ(Run({kCerttool, "--generate-privkey", "--key-type=ecdsa", "--outfile", c.keyFile}), 0);
    EXPECT_EQ(Run({kCerttool, "--generate-certificate", "--load-privkey", c.keyFile, "--load-ca-certificate",
                   c.caFile, "--load-ca-privkey", base + "-ca.key", "--template", base + "-server.tmpl",
                   "--outfile", c.certFile}),
              0);
    return c;
}

Rsyslog::Rsyslog(std::string folder, const Certificates* tls) : folder_(std::move(folder)) {
    if (tls != nullptr) {
        tls_ = true;
        certificates_ = *tls;
    }
    mkdir(folder_.c_str(), 0755);
    mkdir((folder_ + "/work").c_str(), 0755);
}

Rsyslog::~Rsyslog() { Stop(); }

std::string Rsyslog::target() const {
    return std::string(tls_ ? "tls" : "tcp") + "://127.0.0.1:" + std::to_string(port_);
}

bool Rsyslog::Start(std::string* why) {
    if (access(kRsyslogd, X_OK) != 0) {
        *why = std::string(kRsyslogd) + " is missing: install rsyslog and rsyslog-gnutls (scripts/setup-debian.sh)";
        return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (port_ == 0 || attempt > 0) port_ = FreePort();
        std::ostringstream conf;
        conf << "global(workDirectory=\"" << folder_ << "/work\"";
        if (tls_) {
            conf << " defaultNetstreamDriverCAFile=\"" << certificates_.caFile << "\" defaultNetstreamDriverCertFile=\""
                 << certificates_.certFile << "\" defaultNetstreamDriverKeyFile=\"" << certificates_.keyFile << "\"";
        }
        conf << ")\n";
        if (tls_) {
            conf << "module(load=\"imtcp\" streamDriver.name=\"gtls\" streamDriver.mode=\"1\" "
                    "streamDriver.authMode=\"anon\")\n";
        } else {
            conf << "module(load=\"imtcp\")\n";
        }
        // The message as received (without its frame), one per line.
        conf << "template(name=\"whole\" type=\"string\" string=\"%rawmsg%\\n\")\n"
             << "ruleset(name=\"forwarded\") { action(type=\"omfile\" file=\"" << folder_
             << "/received.log\" template=\"whole\") }\n"
             << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << port_ << "\" ruleset=\"forwarded\")\n";
        WriteFile(folder_ + "/rsyslog.conf", conf.str());
        testing_support::SpawnOptions options;
        options.merge_stderr = true;
        process_ = testing_support::spawn_program(
            kRsyslogd, {"-n", "-f", folder_ + "/rsyslog.conf", "-i", folder_ + "/rsyslogd.pid"}, options);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Accepts(port_)) return true;
            if (process_.wait(std::chrono::milliseconds(20)) >= 0) break;  // it ended: the port was taken?
        }
        std::string output;
        for (std::string line; !(line = process_.read_line(std::chrono::milliseconds(200))).empty();)
            output += line + "\n";
        *why = "rsyslogd did not take connections on port " + std::to_string(port_) + ":\n" + output;
        process_ = testing_support::ChildProcess();
    }
    return false;
}

void Rsyslog::Stop() {
    if (process_.pid() <= 0) return;
    process_.kill(SIGTERM);
    process_.wait(std::chrono::seconds(30));
    process_ = testing_support::ChildProcess();
}

std::vector<std::string> Rsyslog::Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(folder_ + "/received.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Rsyslog::WaitForLines(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Lines().size() >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

namespace {

bool Token(const std::string& line, size_t* at, std::string* out) {
    const size_t space = line.find(' ', *at);
    if (space == std::string::npos) return false;
    *out = line.substr(*at, space - *at);
    *at = space + 1;
    return true;
}

}  // namespace

Message Parse(const std::string& line) {
    Message m;
    if (line.size() < 4 || line[0] != '<') return m;
    const size_t close = line.find('>');
    if (close == std::string::npos) return m;
    m.pri = std::stoi(line.substr(1, close - 1));
    size_t at = close + 1;
    if (!Token(line, &at, &m.version) || !Token(line, &at, &m.time) || !Token(line, &at, &m.host) ||
        !Token(line, &at, &m.app) || !Token(line, &at, &m.procId) || !Token(line, &at, &m.msgId))
        return m;
    if (at >= line.size() || line[at] != '[') return m;
    ++at;
    const size_t idEnd = line.find_first_of(" ]", at);
    m.sdId = line.substr(at, idEnd - at);
    at = idEnd;
    while (at < line.size() && line[at] == ' ') {
        const size_t eq = line.find('=', at);
        const std::string name = line.substr(at + 1, eq - at - 1);
        at = eq + 2;  // past ="
        std::string value;
        while (at < line.size() && line[at] != '"') {
            if (line[at] == '\\' && at + 1 < line.size()) ++at;
            value.push_back(line[at++]);
        }
        m.params[name] = value;
        ++at;  // past the closing quote
    }
    if (at >= line.size() || line[at] != ']') return m;
    ++at;
    if (at < line.size() && line[at] == ' ') m.text = line.substr(at + 1);
    m.ok = true;
    return m;
}

}  // namespace forward_test
