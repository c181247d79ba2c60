// Processes of the end-to-end benchmarks: the benchmark program re-run in a
// role (--engine, --provider ...), with its stdout read through a pipe. The
// engine role hosts a data queue and an alerter serving on a thread, as
// `evtrace engine` does, and pulses the engine's alertable event for alerts.
#pragma once

#include <TraceApi.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <w32rt/testing.h>
#include <w32rt/trace_sessions.h>

namespace bench_engine {

inline constexpr char kAlertEvent[] = "Global\\VANTA_EVTRACE_ALERT_EVENT";

inline std::string& Self() {
    static std::string self;
    if (self.empty()) {
        char path[4096];
        const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        self.assign(path, n > 0 ? size_t(n) : 0);
    }
    return self;
}

struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
};

inline Child Start(const std::vector<std::string>& args) {
    int up[2];
    if (pipe(up) != 0) return {};
    fflush(nullptr);
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(up[1], 1);
        close(up[0]);
        close(up[1]);
        std::string self = Self();
        std::vector<std::string> copy = args;
        std::vector<char*> argv = {self.data()};
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(self.c_str(), argv.data());
        _exit(127);
    }
    close(up[1]);
    child.out = fdopen(up[0], "r");
    return child;
}

inline int Finish(Child& child) {
    int status = 0;
    if (child.out != nullptr) fclose(child.out);
    if (child.pid > 0) waitpid(child.pid, &status, 0);
    child = Child();
    return status;
}

inline bool Attached() {
    std::vector<w32rt::TraceSessionInfo> sessions;
    if (!w32rt::list_trace_sessions(&sessions)) return false;
    for (const auto& s : sessions)
        for (const auto& c : s.consumers)
            if (c.pid == getpid() && c.alive) return true;
    return false;
}

// The engine role: serves until SIGTERM; prints "ready" once it listens,
// and at its end the number of debugger texts that reported lost lines.
inline int RunEngine() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    static std::atomic<int> dropReports{0};
    // Every line of the unified log passes here too: the reports are found
    // by their opening before the text is searched.
    w32rt_set_debug_sink(
        [](const char* text, void*) {
            if (text[0] == 'U' && strncmp(text, "UnifiedLog - ", 13) == 0 && strstr(text, "dropped") != nullptr)
                ++dropReports;
        },
        nullptr);
    CEvTraceController controller;
    controller.EnableRealTimeSession();
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    HANDLE alertable = CreateEventA(&attributes, TRUE, FALSE, kAlertEvent);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        CEvDataQueue queue;
        CEvTraceAlerter alerter(&queue);
        std::thread serving([&] { alerter.ServiceAlerts(0, alertable, done); });
        while (!Attached()) usleep(10000);
        printf("ready\n");
        fflush(stdout);
        int signal = 0;
        sigwait(&stops, &signal);
        while (WaitForSingleObject(done, 0) != WAIT_OBJECT_0) {
            alerter.StopAlerts();
            WaitForSingleObject(done, 100);
        }
        serving.join();
    }
    printf("%d\n", dropReports.load());
    CloseHandle(alertable);
    CloseHandle(done);
    return 0;
}

// The engine of one run, stopped at its end.
class Engine {
public:
    Engine() {
        child_ = Start({"--engine"});
        char line[64] = {};
        ok_ = child_.out != nullptr && fgets(line, sizeof line, child_.out) != nullptr &&
              strncmp(line, "ready", 5) == 0;
    }
    ~Engine() { Stop(); }
    bool ok() const { return ok_; }
    // Stops the engine; the number of its reports of lost lines.
    int Stop() {
        if (child_.pid <= 0) return 0;
        kill(child_.pid, SIGTERM);
        int reports = 0;
        if (child_.out != nullptr && fscanf(child_.out, "%d", &reports) != 1) reports = -1;
        Finish(child_);
        return reports;
    }

private:
    Child child_;
    bool ok_ = false;
};

}  // namespace bench_engine
