#include "test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <thread>

#include <w32rt/machine.h>

namespace testing_support {

namespace {

std::map<std::string, HelperMain>& helpers() {
    static std::map<std::string, HelperMain> table;
    return table;
}

}  // namespace

HelperRegistrar::HelperRegistrar(const char* name, HelperMain main) { helpers()[name] = main; }

// Called by the test main: runs a helper when the binary was started as one.
int run_helper_if_requested(int argc, char** argv, bool* ran) {
    *ran = false;
    if (argc < 2 || strncmp(argv[1], "--w32rt-helper=", 15) != 0) return 0;
    *ran = true;
    const char* name = argv[1] + 15;
    auto it = helpers().find(name);
    if (it == helpers().end()) {
        fprintf(stderr, "no test helper named %s\n", name);
        return 127;
    }
    // Helper arguments follow the role: argv[0] is the helper name.
    std::vector<char*> args;
    args.push_back(const_cast<char*>(name));
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    return it->second(int(args.size() - 1), args.data());
}

void MachineTest::SetUp() {
    char tmpl[] = "/tmp/evtrace-test-XXXXXX";
    char* dir = mkdtemp(tmpl);
    ASSERT_NE(dir, nullptr) << strerror(errno);
    ::chmod(dir, 0755);
    root_ = dir;
    setenv("EVTRACE_ROOT", root_.c_str(), 1);
    w32rt::use_machine_root(root_);
}

void MachineTest::TearDown() {
    if (root_.empty() || getenv("EVTRACE_KEEP_TEST_ROOT")) return;
    w32rt::destroy_machine_root(root_, true);
    // The folder is the test's own: what tests left in it goes too.
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        std::swap(pid_, other.pid_);
        std::swap(to_child_, other.to_child_);
        std::swap(from_child_, other.from_child_);
        std::swap(status_, other.status_);
        std::swap(reaped_, other.reaped_);
        std::swap(eof_, other.eof_);
        std::swap(pending_, other.pending_);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (to_child_ >= 0) close(to_child_);
    if (from_child_ >= 0) close(from_child_);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ChildProcess::kill(int signal) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

std::string ChildProcess::read_line(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        if (eof_) return {};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        struct pollfd p = {from_child_, POLLIN, 0};
        int r = poll(&p, 1, int(left.count()));
        if (r <= 0) continue;
        char buf[4096];
        ssize_t n = read(from_child_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof_ = true;
            return {};
        }
        pending_.append(buf, size_t(n));
    }
}

bool ChildProcess::expect_line(const std::string& expected, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        std::string line = read_line(left);
        if (line == expected) return true;
        if (eof_ && pending_.find('\n') == std::string::npos) return false;
    }
}

void ChildProcess::write_line(const std::string& line) {
    std::string data = line + "\n";
    ssize_t ignored = write(to_child_, data.data(), data.size());
    (void)ignored;
}

ChildProcess spawn_helper(const std::string& helper, const std::vector<std::string>& args, const SpawnOptions& options) {
    int down[2], up[2];
    if (pipe2(down, O_CLOEXEC) < 0 || pipe2(up, O_CLOEXEC) < 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return {};
    }
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        ADD_FAILURE() << "readlink: " << strerror(errno);
        return {};
    }
    exe[n] = '\0';
    std::vector<std::string> argv_strings = {exe, "--w32rt-helper=" + helper};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(down[0], 0);
        dup2(up[1], 1);
        for (const std::string& e : options.env) putenv(strdup(e.c_str()));
        if (options.gid >= 0) {
            setgroups(0, nullptr);
            if (setgid(gid_t(options.gid)) < 0) _exit(126);
        }
        if (options.uid >= 0 && setuid(uid_t(options.uid)) < 0) _exit(126);
        std::vector<char*> argv;
        for (std::string& s : argv_strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(exe, argv.data());
        _exit(127);
    }
    close(down[0]);
    close(up[1]);
    ChildProcess child;
    child.pid_ = pid;
    child.to_child_ = down[1];
    child.from_child_ = up[0];
    return child;
}

void send_line(const std::string& line) {
    std::cout << line << std::endl;
}

std::string receive_line() {
    std::string line;
    if (!std::getline(std::cin, line)) return {};
    return line;
}

int64_t unprivileged_uid() {
    if (geteuid() != 0) return -1;
    struct passwd* pw = getpwnam("nobody");
    return pw ? int64_t(pw->pw_uid) : 65534;
}

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testing_support
