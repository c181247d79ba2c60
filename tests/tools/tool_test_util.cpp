#include "tool_test_util.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tool_test {

Running::Running(Running&& other) noexcept { *this = std::move(other); }

Running& Running::operator=(Running&& other) noexcept {
    std::swap(pid_, other.pid_);
    std::swap(out_fd_, other.out_fd_);
    std::swap(err_fd_, other.err_fd_);
    std::swap(stall_, other.stall_);
    std::swap(out_, other.out_);
    std::swap(err_, other.err_);
    return *this;
}

Running::~Running() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
}

void Running::pump(int timeout_ms) {
    struct pollfd fds[2] = {{stall_ ? -1 : out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) return;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
            close(fds[i].fd);
            (i == 0 ? out_fd_ : err_fd_) = -1;
            continue;
        }
        (i == 0 ? out_ : err_).append(buffer, size_t(n));
    }
}

bool Running::wait_for_err(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (err_.find(text) == std::string::npos) {
        if (err_fd_ < 0 || std::chrono::steady_clock::now() >= deadline) return false;
        pump(50);
    }
    return true;
}

Result Running::finish(std::chrono::milliseconds timeout) {
    stall_ = false;
    Result result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        pump(20);
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        if (pid_ < 0 && out_fd_ < 0 && err_fd_ < 0) break;
        if (pid_ < 0) continue;  // gather what is left in the pipes
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            result.code = -1;
            break;
        }
    }
    result.out = out_;
    result.err = err_;
    return result;
}

void Running::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

Running start(const std::vector<std::string>& args, const RunOptions& options) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return {};
    }
    std::vector<std::string> argv_strings = {EVTRACE_PATH};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const auto& [name, value] : options.env) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        if (options.file_size_limit >= 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv;
        for (std::string& s : argv_strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!options.input.empty()) {
        ssize_t ignored = write(in[1], options.input.data(), options.input.size());
        (void)ignored;
    }
    close(in[1]);
    Running running;
    running.pid_ = pid;
    running.out_fd_ = out[0];
    running.err_fd_ = err[0];
    return running;
}

Result run(const std::vector<std::string>& args, const RunOptions& options) {
    return start(args, options).finish(options.timeout);
}

void ToolTest::TearDown() {
    // Sessions live in shared memory: the root's destruction ends them.
    run({"root", "destroy"});
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_);
    MachineTest::TearDown();
}

std::string ToolTest::scratch(const std::string& name) {
    if (scratch_.empty()) {
        scratch_ = root() + ".files";
        std::filesystem::create_directories(scratch_);
    }
    return scratch_ + "/" + name;
}

std::string ToolTest::read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void ToolTest::write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void ToolTest::start_session() { ASSERT_EQ(run({"session", "start"}).code, kOk); }

Running ToolTest::start_consumer(int count, const std::vector<std::string>& extra) {
    start_session();
    std::vector<std::string> args = {"trace", "--raw", "--count", std::to_string(count), "--timeout", "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    Running consumer = start(args);
    EXPECT_TRUE(consumer.wait_for_err("listening")) << consumer.err();
    return consumer;
}

std::string event_log(const std::vector<std::pair<std::string, std::string>>& records) {
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    std::string log = u32(4) + u32(0x10000) + u32(uint32_t(records.size()));
    for (const auto& [source, text] : records) {
        std::string fixed(1312, '\0');
        uint32_t length = uint32_t(text.size());
        memcpy(&fixed[0], &length, 4);
        memcpy(&fixed[4], source.data(), std::min<size_t>(source.size(), 255));
        uint64_t stamp = 133000000000000000ull;
        memcpy(&fixed[264], &stamp, 8);
        uint32_t type = 51, code = 0x1001;
        memcpy(&fixed[272], &type, 4);
        memcpy(&fixed[276], &code, 4);
        std::string image = fixed + text + std::string(9, '\0');
        log += u32(uint32_t(image.size())) + image;
    }
    return log;
}

bool safe_for_terminal(const std::string& bytes) {
    if (bytes.find('\x1b') != std::string::npos || bytes.find('\x07') != std::string::npos) return false;
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > bytes.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        // C1 controls (U+0080..U+009F) reach terminals as controls too.
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0) return false;
        i += n;
    }
    return true;
}

}  // namespace tool_test
