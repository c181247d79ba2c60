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

#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <w32rt/machine.h>

namespace testing_support {

namespace {

std::map<std::string, HelperMain>& helpers() {
    static std::map<std::string, HelperMain> table;
    return table;
}

// Whether a user may reach a path: search every folder above it and read
// and run the file, going by the owner's and everyone's permission bits (a
// test's other user is in no group of the owner's).
bool reachable_by(uid_t uid, const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        struct stat st;
        if (::stat(partial.c_str(), &st) != 0) return false;
        const bool last = pos == std::string::npos;
        mode_t need = last ? (S_IROTH | S_IXOTH) : S_IXOTH;
        mode_t have = st.st_uid == uid ? (st.st_mode >> 6) & 7 : st.st_mode & 7;
        if ((have & need) != need) return false;
    }
    return true;
}

bool copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    return in.good() && out.good() && ::chmod(to.c_str(), 0755) == 0;
}

// A copy of the test program, and of the shared libraries of the build it
// loaded, in a folder every user can read: a child that runs as another
// user cannot start the program where it was built when that lies below a
// folder only its owner may enter (CI's checkout may be in /root). Made once
// per process, removed when it ends.
class ReachableCopy {
public:
    ~ReachableCopy() {
        if (dir_.empty() || getpid() != maker_) return;
        for (const std::string& f : files_) ::unlink(f.c_str());
        ::rmdir(dir_.c_str());
    }

    // The program a child of `uid` can run, and the library folder it needs
    // ("" when none). Empty program on failure.
    std::pair<std::string, std::string> for_user(uid_t uid, const std::string& exe) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reachable_by(uid, exe)) return {exe, ""};
        if (dir_.empty() && !make(uid, exe)) return {};
        return {program_, needs_libraries_ ? dir_ : ""};
    }

private:
    bool make(uid_t uid, const std::string& exe) {
        char tmpl[] = "/tmp/evtrace-helper-XXXXXX";
        if (!mkdtemp(tmpl) || ::chmod(tmpl, 0755) != 0) return false;
        dir_ = tmpl;
        maker_ = getpid();
        program_ = dir_ + "/" + exe.substr(exe.find_last_of('/') + 1);
        if (!copy_file(exe, program_)) return false;
        files_.push_back(program_);
        // Shared libraries mapped from where that user cannot reach them.
        std::ifstream maps("/proc/self/maps");
        std::set<std::string> libraries;
        for (std::string line; std::getline(maps, line);) {
            size_t slash = line.find('/');
            if (slash == std::string::npos) continue;
            std::string path = line.substr(slash);
            if (path.find(".so") == std::string::npos || reachable_by(uid, path)) continue;
            libraries.insert(path);
        }
        for (const std::string& library : libraries) {
            std::string copy = dir_ + "/" + library.substr(library.find_last_of('/') + 1);
            if (!copy_file(library, copy)) return false;
            files_.push_back(copy);
            needs_libraries_ = true;
        }
        return true;
    }

    std::mutex mutex_;
    std::string dir_;
    std::string program_;
    std::vector<std::string> files_;
    bool needs_libraries_ = false;
    pid_t maker_ = 0;
};

ReachableCopy& reachable_copy() {
    static ReachableCopy copy;
    return copy;
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
    if (!root_.empty() && !getenv("EVTRACE_KEEP_TEST_ROOT")) w32rt::destroy_machine_root(root_, true);
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
    std::string program = exe;
    std::vector<std::string> env = options.env;
    if (options.uid >= 0) {
        auto [copy, libraries] = reachable_copy().for_user(uid_t(options.uid), exe);
        if (copy.empty()) {
            ADD_FAILURE() << "cannot make a copy of " << exe << " that uid " << options.uid << " may run";
            return {};
        }
        program = copy;
        if (!libraries.empty()) {
            const char* old = getenv("LD_LIBRARY_PATH");
            env.push_back("LD_LIBRARY_PATH=" + libraries + (old && *old ? ":" + std::string(old) : ""));
        }
    }
    char cwd[4096];
    const bool cwd_reachable =
        options.uid < 0 || (getcwd(cwd, sizeof cwd) && reachable_by(uid_t(options.uid), cwd));
    std::vector<std::string> argv_strings = {program, "--w32rt-helper=" + helper};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(down[0], 0);
        dup2(up[1], 1);
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        if (options.uid >= 0) setgroups(0, nullptr);
        if (options.gid >= 0 && setgid(gid_t(options.gid)) < 0) _exit(126);
        if (options.uid >= 0 && setuid(uid_t(options.uid)) < 0) _exit(126);
        // A working folder the user cannot enter would fail its relative paths.
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
