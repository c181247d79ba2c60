// Forwarding to a syslog collector: Debian's rsyslogd, started here on
// 127.0.0.1 with its TCP input (and TLS, with a certificate made by
// certtool), writing what it receives to a file.
//
// - BM_ForwarderToRsyslog/0 (TCP), /1 (TLS): the forwarder alone, in this
//   process, fed prepared records as fast as it queues them; the rate is
//   records over the time from the first record to the last line in the
//   collector's file, the CPU is this process's per record (hand-off,
//   messages, disk queue, sending), the collector's CPU apart.
// - BM_EngineToRsyslog/MODE/RATE: the event engine (`evtrace engine`) as a
//   process, without forwarding (MODE 0), over TCP (1) or TLS (2); records
//   emitted here into the session at RATE per second (0: as fast as it takes
//   them; a refused write is tried again). The rate at which they reach the
//   collector's file, how many did (the rest were dropped past the engine's
//   hand-off, counted and reported), and the engine process's CPU per
//   record from /proc (its listening, queue and forwarding).
#include <benchmark/benchmark.h>

#include <TraceApi.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <w32rt/machine.h>

#include "forward/forwarder.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string MakeFolder() {
    const char* base = getenv("EVTRACE_BENCH_DIR");
    std::string tmpl = std::string(base ? base : "/tmp") + "/forward-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return {};
    chmod(tmpl.c_str(), 0755);
    return tmpl;
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& output = "/dev/null") {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// utime + stime of a process, in nanoseconds.
double CpuNs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks * 1e9 / double(sysconf(_SC_CLK_TCK));
}

double SelfCpuNs() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e9 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e3;
}

class Collector {
public:
    Collector(const std::string& folder, bool tls) : folder_(folder), tls_(tls) {
        mkdir((folder + "/work").c_str(), 0755);
        if (tls) {
            const std::string b = folder + "/";
            std::ofstream(b + "ca.tmpl") << "cn = \"bench\"\nca\ncert_signing_key\nexpiration_days = 2\n";
            std::ofstream(b + "server.tmpl") << "cn = \"localhost\"\nip_address = \"127.0.0.1\"\ntls_www_server\n"
                                                "encryption_key\nsigning_key\nexpiration_days = 2\n";
            const std::string tool = "/usr/bin/certtool";
            Wait(Spawn({tool, "--generate-privkey", "--key-type=ecdsa", "--outfile", b + "ca.key"}));
            Wait(Spawn({tool, "--generate-self-signed", "--load-privkey", b + "ca.key", "--template", b + "ca.tmpl",
                        "--outfile", b + "ca.pem"}));
            Wait(Spawn({tool, "--generate-privkey", "--key-type=ecdsa", "--outfile", b + "server.key"}));
            Wait(Spawn({tool, "--generate-certificate", "--load-privkey", b + "server.key", "--load-ca-certificate",
                        b + "ca.pem", "--load-ca-privkey", b + "ca.key", "--template", b + "server.tmpl",
                        "--outfile", b + "server.pem"}));
        }
        port_ = FreePort();
        std::ofstream conf(folder + "/rsyslog.conf");
        conf << "global(workDirectory=\"" << folder << "/work\"";
        if (tls)
            conf << " defaultNetstreamDriverCAFile=\"" << folder << "/ca.pem\" defaultNetstreamDriverCertFile=\""
                 << folder << "/server.pem\" defaultNetstreamDriverKeyFile=\"" << folder << "/server.key\"";
        conf << ")\n"
             << (tls ? "module(load=\"imtcp\" streamDriver.name=\"gtls\" streamDriver.mode=\"1\" "
                       "streamDriver.authMode=\"anon\")\n"
                     : "module(load=\"imtcp\")\n")
             << "template(name=\"whole\" type=\"string\" string=\"%rawmsg%\\n\")\n"
             << "ruleset(name=\"forwarded\") { action(type=\"omfile\" file=\"" << folder
             << "/received.log\" template=\"whole\") }\n"
             << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << port_ << "\" ruleset=\"forwarded\")\n";
        conf.close();
        pid_ = Spawn({"/usr/sbin/rsyslogd", "-n", "-f", folder + "/rsyslog.conf", "-i", folder + "/rsyslogd.pid"},
                     folder + "/rsyslogd.out");
        for (int i = 0; i < 500 && !Accepts(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Collector() {
        kill(pid_, SIGTERM);
        Wait(pid_);
    }
    std::string Target() const { return std::string(tls_ ? "tls" : "tcp") + "://127.0.0.1:" + std::to_string(port_); }
    std::string CaFile() const { return folder_ + "/ca.pem"; }
    pid_t pid() const { return pid_; }
    // Lines received so far (counted on from where the last call ended).
    size_t Lines() {
        if (fd_ < 0) fd_ = open((folder_ + "/received.log").c_str(), O_RDONLY);
        if (fd_ < 0) return 0;
        char buffer[1 << 16];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
            for (ssize_t i = 0; i < n; ++i) lines_ += buffer[i] == '\n';
        return lines_;
    }
    bool WaitForLines(size_t count, std::chrono::seconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Lines() < count) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    std::string folder_;
    bool tls_;
    int port_ = 0;
    pid_t pid_ = -1;
    int fd_ = -1;
    size_t lines_ = 0;
};

// A record as the data queue hands it on: a 100-character text.
std::vector<char> Record(int n) {
    std::string text = "record " + std::to_string(n) + " ";
    text.resize(100, 'x');
    std::vector<char> bytes(EVT_RECORD_FIXED_SIZE + text.size() + EVT_RECORD_TAIL_SIZE, 0);
    auto* r = reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes.data());
    r->dwDataLen = DWORD(text.size());
    strcpy(r->szSource, "FleetDesk");
    strcpy(r->szUserName, "SYSTEM");
    strcpy(r->szProviderText, "Bench provider");
    r->ftTimeStamp = {0x12345678, 0x01DA0000};
    r->dwEventType = 51;
    r->dwEventCode = 0x80001001 + DWORD(n % 7);
    memcpy(r->Data, text.data(), text.size());
    return bytes;
}

void BM_ForwarderToRsyslog(benchmark::State& state) {
    const bool tls = state.range(0) == 1;
    constexpr int kRecords = 400000;
    const std::string folder = MakeFolder();
    Collector collector(folder, tls);
    evtrace::forward::ForwarderConfig config;
    evtrace::forward::ParseTarget(collector.Target(), &config.target);
    config.tls.caFile = tls ? collector.CaFile() : "";
    config.queueFolder = folder + "/queue";
    config.maxQueueBytes = 1ull << 30;
    evtrace::forward::Forwarder forwarder;
    std::string error;
    if (!forwarder.Start(config, nullptr, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<std::vector<char>> records;
    for (int i = 0; i < 64; ++i) records.push_back(Record(i));
    for (auto _ : state) {
        const double cpuBefore = SelfCpuNs(), collectorBefore = CpuNs(collector.pid());
        const auto start = Clock::now();
        for (int n = 0; n < kRecords; ++n) {
            // Paced by the queue: at most 20,000 records in the hand-off.
            if (n % 1000 == 0)
                while (forwarder.Counters().received - forwarder.Counters().queued -
                           forwarder.Counters().dropped.Total() > 20000)
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
            const auto& r = records[size_t(n) % records.size()];
            forwarder.Push(reinterpret_cast<const _VANTA_EVTRACE_DATA*>(r.data()), DWORD(r.size()));
        }
        const bool all = collector.WaitForLines(kRecords, std::chrono::seconds(120));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const evtrace::forward::ForwardCounters c = forwarder.Counters();
        state.counters["records_per_second"] = all ? kRecords / seconds : 0;
        state.counters["cpu_ns_per_record"] = (SelfCpuNs() - cpuBefore) / kRecords;
        state.counters["collector_cpu_ns_per_record"] = (CpuNs(collector.pid()) - collectorBefore) / kRecords;
        state.counters["dropped"] = double(c.dropped.Total());
        state.counters["resent"] = double(c.resent);
        state.SetIterationTime(seconds);
    }
    forwarder.Stop(std::chrono::milliseconds(500));
    state.SetLabel(tls ? "tls" : "tcp");
}
BENCHMARK(BM_ForwarderToRsyslog)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The numbers in the engine's status file ("key": value), after it ended.
double StatusNumber(const std::string& file, const std::string& key) {
    std::ifstream in(file);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = text.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::stod(text.substr(at + key.size() + 3));
}

void BM_EngineToRsyslog(benchmark::State& state) {
    const int mode = int(state.range(0));  // 0 no forwarding, 1 TCP, 2 TLS
    const int rate = int(state.range(1));  // records per second; 0: as fast as the session takes them
    constexpr int kRecords = 300000;
    const std::string folder = MakeFolder();
    const std::string root = folder + "/root";
    setenv("EVTRACE_ROOT", root.c_str(), 1);
    w32rt::prepare_machine_root(root);
    w32rt::use_machine_root(root);
    Collector collector(folder, mode == 2);
    if (mode == 2) {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vanta\\Wireless\\EvTrace\\Forward", 0, nullptr, 0,
                        KEY_WRITE, nullptr, &key, nullptr);
        const std::string ca = collector.CaFile();
        RegSetValueExA(key, "TlsCAFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(ca.c_str()), DWORD(ca.size() + 1));
        RegCloseKey(key);
    }
    std::vector<std::string> args = {EVTRACE_BINARY, "engine"};
    if (mode != 0) args.insert(args.end(), {"--forward", collector.Target()});
    const pid_t engine = Spawn(args, folder + "/engine.out");
    for (int i = 0; i < 3000; ++i) {
        std::ifstream out(folder + "/engine.out");
        std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
        if (text.find("serving alerts") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EVT_PROVIDER_INFO info = {};
    strcpy(info.m_szInstanceName, "FleetDesk");
    ULONG provider = 0;
    RegisterEvTrace(&provider, &info);
    const std::string text(100, 'x');
    uint64_t refused = 0;
    for (auto _ : state) {
        const double engineBefore = CpuNs(engine);
        const auto start = Clock::now();
        for (int n = 0; n < kRecords; ++n) {
            // Paced in steps of 100 records.
            if (rate > 0 && n % 100 == 0)
                std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(n) * 1000000 / rate));
            while (EvTraceString(provider, 51, 0x80001001, text.c_str(), nullptr, nullptr, 0) != S_OK) {
                ++refused;
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        }
        const double emitted = std::chrono::duration<double>(Clock::now() - start).count();
        // Until the collector's file (or, without forwarding, the engine's
        // CPU time) stops growing for half a second.
        auto lastGrowth = Clock::now();
        size_t lines = 0;
        double cpu = CpuNs(engine);
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const size_t nowLines = collector.Lines();
            const double nowCpu = CpuNs(engine);
            if (nowLines != lines || (mode == 0 && nowCpu != cpu)) lastGrowth = Clock::now();
            lines = nowLines;
            cpu = nowCpu;
            if ((mode != 0 && lines >= size_t(kRecords)) || Clock::now() - lastGrowth > std::chrono::milliseconds(500))
                break;
        }
        const double seconds = std::chrono::duration<double>(lastGrowth - start).count();
        state.counters["emitted_per_second"] = kRecords / emitted;
        state.counters["records_per_second"] = (mode == 0 ? kRecords : double(lines)) / (mode == 0 ? emitted : seconds);
        state.counters["received_by_collector"] = double(lines);
        state.counters["engine_cpu_ns_per_record"] = (cpu - engineBefore) / kRecords;
        state.counters["refused_writes"] = double(refused);
        state.SetIterationTime(seconds);
    }
    UnRegisterEvTrace(provider);
    kill(engine, SIGTERM);
    Wait(engine);
    if (mode != 0) state.counters["dropped"] = StatusNumber(root + "/forward/status.json", "total");
    w32rt::destroy_machine_root(root, false);
    state.SetLabel(mode == 0 ? "engine, no forwarding" : mode == 1 ? "tcp" : "tls");
}
BENCHMARK(BM_EngineToRsyslog)
    ->Args({0, 0})
    ->Args({1, 100000})
    ->Args({1, 0})
    ->Args({2, 100000})
    ->Args({2, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
