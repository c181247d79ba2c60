#include "test_support.h"

#include <errno.h>
#include <link.h>
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
#include <mutex>
#include <vector>
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

namespace {

// ---- Children run as another user ------------------------------------------
//
// A child that becomes another user must reach the test program and the
// project's libraries it loads. Below a folder other users cannot enter (a
// checkout in /root, a private temporary folder) it cannot: it then runs a
// copy of them, made once per process in a world-readable temporary folder
// and removed at exit.

struct ProgramForOthers {
    bool made = false;
    std::string exe;     // empty: the program itself
    std::string libdir;  // for LD_LIBRARY_PATH; empty: none needed
    std::string why;     // why no program could be had; empty when one is
};

std::mutex g_program_mutex;
std::map<int64_t, ProgramForOthers> g_programs;
std::string g_copy_dir;

std::string self_exe() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    return n > 0 ? std::string(exe, size_t(n)) : std::string();
}

// The shared libraries of the project this program loaded, by the names the
// loader found them under (their sonames); system libraries are left out.
std::vector<std::string> project_libraries() {
    std::vector<std::string> out;
    dl_iterate_phdr(
        [](struct dl_phdr_info* info, size_t, void* data) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (!name.empty() && name[0] == '/' && name.rfind("/usr/", 0) != 0 && name.rfind("/lib", 0) != 0)
                static_cast<std::vector<std::string>*>(data)->push_back(name);
            return 0;
        },
        &out);
    return out;
}

// Whether the user can execute exe and read every file, tried by a child
// that becomes the user.
bool user_can_run(int64_t uid, int64_t gid, const std::string& exe, const std::vector<std::string>& files) {
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        setgroups(0, nullptr);
        if (gid >= 0 && setgid(gid_t(gid)) < 0) _exit(2);
        if (setuid(uid_t(uid)) < 0) _exit(2);
        if (access(exe.c_str(), X_OK) != 0) _exit(1);
        for (const std::string& f : files)
            if (access(f.c_str(), R_OK) != 0) _exit(1);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool copy_file(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    return !ec && ::chmod(to.c_str(), 0755) == 0;
}

void remove_copies() {
    std::error_code ignored;
    if (!g_copy_dir.empty()) std::filesystem::remove_all(g_copy_dir, ignored);
}

const ProgramForOthers& program_for(int64_t uid, int64_t gid) {
    std::lock_guard<std::mutex> lock(g_program_mutex);
    ProgramForOthers& p = g_programs[uid];
    if (p.made) return p;
    p.made = true;
    const std::string exe = self_exe();
    const std::vector<std::string> libraries = project_libraries();
    if (user_can_run(uid, gid, exe, libraries)) return p;
    if (g_copy_dir.empty()) {
        char tmpl[] = "/tmp/evtrace-test-program-XXXXXX";
        if (mkdtemp(tmpl) == nullptr || ::chmod(tmpl, 0755) != 0) {
            p.why = std::string("cannot make a folder for a copy of the test program: ") + strerror(errno);
            return p;
        }
        g_copy_dir = tmpl;
        atexit(&remove_copies);
        bool copied = copy_file(exe, g_copy_dir + "/" + exe.substr(exe.rfind('/') + 1));
        for (const std::string& lib : libraries)
            copied = copied && copy_file(lib, g_copy_dir + "/" + lib.substr(lib.rfind('/') + 1));
        if (!copied) {
            p.why = "cannot copy the test program and its libraries to " + g_copy_dir;
            return p;
        }
    }
    const std::string copy = g_copy_dir + "/" + exe.substr(exe.rfind('/') + 1);
    std::vector<std::string> copies;
    for (const std::string& lib : libraries) copies.push_back(g_copy_dir + "/" + lib.substr(lib.rfind('/') + 1));
    if (!user_can_run(uid, gid, copy, copies)) {
        p.why = "user " + std::to_string(uid) + " cannot run the test program, nor a copy of it in " + g_copy_dir;
        return p;
    }
    p.exe = copy;
    p.libdir = g_copy_dir;
    return p;
}

std::string g_no_other_user = "needs the superuser to run a child as another user";

}  // namespace

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
    if (options.uid >= 0 && uid_t(options.uid) != geteuid()) {
        const ProgramForOthers& other = program_for(options.uid, options.gid);
        if (!other.why.empty()) {
            ADD_FAILURE() << other.why;
            for (int fd : {down[0], down[1], up[0], up[1]}) close(fd);
            return {};
        }
        if (!other.exe.empty()) program = other.exe;
        if (!other.libdir.empty()) {
            std::string path = "LD_LIBRARY_PATH=" + other.libdir;
            if (const char* old = getenv("LD_LIBRARY_PATH"); old && *old) path.append(":").append(old);
            env.push_back(path);
        }
    }
    std::vector<std::string> argv_strings = {program, "--w32rt-helper=" + helper};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(down[0], 0);
        dup2(up[1], 1);
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        if (options.gid >= 0) {
            setgroups(0, nullptr);
            if (setgid(gid_t(options.gid)) < 0) _exit(126);
        }
        if (options.uid >= 0 && setuid(uid_t(options.uid)) < 0) _exit(126);
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
    const int64_t uid = pw ? int64_t(pw->pw_uid) : 65534;
    const ProgramForOthers& program = program_for(uid, pw ? int64_t(pw->pw_gid) : uid);
    if (!program.why.empty()) {
        g_no_other_user = program.why;
        return -1;
    }
    return uid;
}

const std::string& no_other_user_reason() { return g_no_other_user; }

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testing_support
