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
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <w32rt/machine.h>

namespace testing_support {

namespace {

std::map<std::string, HelperMain>& helpers() {
    static std::map<std::string, HelperMain> table;
    return table;
}

// Programs copied where other users can run them, removed at exit.
//
// Tests run as the superuser from a checkout that other users may not
// enter; a child that switches to another user could not execute the
// program there, nor load the tree's libraries. The program and the
// libraries this process has loaded from outside the system's folders are
// then copied into a folder of /tmp open to everyone, and the child finds
// them through LD_LIBRARY_PATH.
class StagedPrograms {
public:
    ~StagedPrograms() {
        std::error_code ec;
        for (const std::string& dir : dirs_) std::filesystem::remove_all(dir, ec);
    }
    // The copy of the program (and the folder of its libraries).
    std::pair<std::string, std::string> stage(const std::string& program) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = staged_.find(program);
        if (found != staged_.end()) return found->second;
        char tmpl[] = "/tmp/evtrace-exe-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return {program, std::string()};
        const std::string dir = tmpl;
        dirs_.push_back(dir);
        ::chmod(dir.c_str(), 0755);
        namespace fs = std::filesystem;
        std::error_code ec;
        const std::string copy = dir + "/" + fs::path(program).filename().string();
        fs::copy_file(program, copy, ec);
        ::chmod(copy.c_str(), 0755);
        std::ifstream maps("/proc/self/maps");
        std::set<std::string> libraries;
        for (std::string line; std::getline(maps, line);) {
            const size_t slash = line.find('/');
            if (slash == std::string::npos) continue;
            const std::string path = line.substr(slash);
            if (path.find(".so") == std::string::npos || path.rfind("/usr/", 0) == 0 || path.rfind("/lib", 0) == 0)
                continue;
            libraries.insert(path);
        }
        // Under every name its folder gives it: the loader asks for the
        // name the program was linked with (libX.so.1, not libX.so.1.0.0).
        for (const std::string& library : libraries) {
            for (const auto& entry : fs::directory_iterator(fs::path(library).parent_path(), ec)) {
                if (!fs::equivalent(entry.path(), library, ec)) continue;
                const std::string target = dir + "/" + entry.path().filename().string();
                fs::copy_file(library, target, ec);
                ::chmod(target.c_str(), 0755);
            }
        }
        return staged_[program] = {copy, dir};
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::pair<std::string, std::string>> staged_;
    std::vector<std::string> dirs_;
};

StagedPrograms& staged_programs() {
    static StagedPrograms programs;
    return programs;
}

// True when the user may execute the program where it is.
bool reachable_by(const std::string& program, const SpawnOptions& options) {
    pid_t pid = fork();
    if (pid == 0) {
        if (options.gid >= 0) {
            setgroups(0, nullptr);
            if (setgid(gid_t(options.gid)) < 0) _exit(2);
        }
        if (setuid(uid_t(options.uid)) < 0) _exit(2);
        _exit(access(program.c_str(), X_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        ADD_FAILURE() << "readlink: " << strerror(errno);
        return {};
    }
    exe[n] = '\0';
    std::vector<std::string> helper_args = {"--w32rt-helper=" + helper};
    helper_args.insert(helper_args.end(), args.begin(), args.end());
    return spawn_program(exe, helper_args, options);
}

ChildProcess spawn_program(const std::string& path, const std::vector<std::string>& args, const SpawnOptions& options) {
    int down[2], up[2];
    if (pipe2(down, O_CLOEXEC) < 0 || pipe2(up, O_CLOEXEC) < 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return {};
    }
    std::string program = path;
    std::string library_dir;
    if (options.uid >= 0 && options.uid != int64_t(geteuid()) && !reachable_by(path, options))
        std::tie(program, library_dir) = staged_programs().stage(path);
    // A working folder the user cannot enter would fail its relative paths.
    char cwd[4096];
    const bool cwd_reachable = options.uid < 0 || options.uid == int64_t(geteuid()) ||
                               (getcwd(cwd, sizeof cwd) != nullptr && reachable_by(cwd, options));
    std::vector<std::string> argv_strings = {program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(down[0], 0);
        dup2(up[1], 1);
        if (options.merge_stderr) dup2(up[1], 2);
        for (const std::string& e : options.env) {
            if (e.find('=') == std::string::npos) {
                unsetenv(e.c_str());
            } else {
                putenv(strdup(e.c_str()));
            }
        }
        if (options.gid >= 0) {
            setgroups(0, nullptr);
            if (setgid(gid_t(options.gid)) < 0) _exit(126);
        }
        if (options.uid >= 0 && setuid(uid_t(options.uid)) < 0) _exit(126);
        if (!library_dir.empty()) setenv("LD_LIBRARY_PATH", library_dir.c_str(), 1);
        if (!cwd_reachable && chdir("/") < 0) _exit(126);
        std::vector<char*> argv;
        for (std::string& s : argv_strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
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
