// The tool tests run the built evtrace as a person would: as a process of its
// own, on a machine root of the test's own, reading what it prints and its
// exit code.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace tool_test {

// The exit codes evtrace documents.
enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNotFound = 3, kIncomplete = 4, kBadData = 5, kDenied = 6 };

struct Result {
    int code = -1;  // exit code; 128 + signal when killed; -1 on time-out
    std::string out;
    std::string err;
};

struct RunOptions {
    std::map<std::string, std::string> env;  // set for the child ("" unsets)
    std::string input;                       // standard input
    long long file_size_limit = -1;          // RLIMIT_FSIZE in bytes, -1: none
    std::chrono::seconds timeout{60};
};

// evtrace running in the background.
class Running {
public:
    Running() = default;
    Running(Running&& other) noexcept;
    Running& operator=(Running&& other) noexcept;
    ~Running();

    // Waits for a line on standard error that contains text; false on
    // time-out or end.
    bool wait_for_err(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for the end (kills on time-out) and gathers what is left.
    Result finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void signal(int number);
    // What it printed so far.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    // Stops reading standard output: a consumer that prints then blocks.
    void stall_output() { stall_ = true; }
    // Reads what is there, waiting at most ms for it.
    void read_some(int ms) { pump(ms); }

private:
    friend Running start(const std::vector<std::string>&, const RunOptions&);
    void pump(int timeout_ms);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool stall_ = false;
    std::string out_;
    std::string err_;
};

Running start(const std::vector<std::string>& args, const RunOptions& options = {});
Result run(const std::vector<std::string>& args, const RunOptions& options = {});

// A test on a machine root of its own (EVTRACE_ROOT names it for every
// evtrace started): stops what runs there and removes it at the end.
class ToolTest : public testing_support::MachineTest {
protected:
    void TearDown() override;
    // A file in the test's own scratch folder (next to the root).
    std::string scratch(const std::string& name);
    std::string read(const std::string& path);
    void write(const std::string& path, const std::string& bytes);
    // Starts the session and a raw consumer that prints JSON, waiting until
    // it listens; the consumer ends after `count` events.
    Running start_consumer(int count, const std::vector<std::string>& extra = {});
    void start_session();

private:
    std::string scratch_;
};

// A binary event log of the library's format with records (source, text).
std::string event_log(const std::vector<std::pair<std::string, std::string>>& records);

// True when the bytes hold no escape character and are valid UTF-8.
bool safe_for_terminal(const std::string& bytes);

}  // namespace tool_test
