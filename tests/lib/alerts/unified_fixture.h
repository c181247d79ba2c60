// Unified-log tests: an engine process (a data queue and an alerter serving
// on a thread, as `evtrace engine` hosts them) driven through its stdin,
// component processes emitting under any component name, and the log read
// as other tools read it (without the runtime's share modes).
#pragma once

#include <errno.h>
#include <stdio.h>
#include <winreg.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <w32rt/testing.h>

#include "alerts_fixture.h"

namespace alerts_test {

inline constexpr char kUnifiedKey[] = "SOFTWARE\\Vanta\\Wireless\\UnifiedLogging";
inline constexpr char kLogPath[] = "C:\\Suite\\UnifiedLogging\\OrkanLog.log";
inline constexpr char kBackupPath[] = "C:\\Suite\\UnifiedLogging\\OrkanLog-Backup.log";
inline constexpr DWORD kLimit = 5242880;

inline void SetEnableFlag(DWORD value) { consumer_test::SetDword(kUnifiedKey, "EnableFlag", value); }
inline void SetLogLevel(const char* subkey, DWORD mask) {
    consumer_test::SetDword((std::string(kUnifiedKey) + "\\" + subkey).c_str(), "LogLevel", mask);
}

// A file's bytes read directly (the engine holds the log open for writing).
inline std::string ReadDirect(const std::string& windowsPath) {
    std::ifstream in(w32rt::to_posix_path(windowsPath), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(bytes.substr(begin, end - begin));
    EXPECT_EQ(begin, bytes.size()) << "the log ends within a line";
    return lines;
}

// "[source :TIME]: [LEVEL] text" without its time, for comparing.
inline std::string Untimed(const std::string& line) {
    const size_t colon = line.find(" :");
    const size_t close = line.find("]: ");
    if (colon == std::string::npos || close == std::string::npos) return line;
    return line.substr(0, colon) + line.substr(close);
}

inline std::vector<std::string> UntimedLines(const std::string& windowsPath) {
    std::vector<std::string> lines;
    for (const std::string& line : Lines(ReadDirect(windowsPath))) lines.push_back(Untimed(line));
    return lines;
}

inline bool LogHas(const std::string& text) { return ReadDirect(kLogPath).find(text) != std::string::npos; }

// The resident size of a process in kB.
inline long ResidentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

class UnifiedTest : public AlertTest {
protected:
    void SetUp() override {
        AlertTest::SetUp();
        consumer_test::SetString("SOFTWARE\\Vanta\\Wireless", "InstallDir", "C:\\Suite\\");
        CEvTraceController controller;
        ASSERT_EQ(controller.EnableRealTimeSession(), S_OK);
    }
    void TearDown() override {
        if (engine_.pid() > 0) {
            engine_.write_line("quit");
            EXPECT_EQ(engine_.wait(), 0);
        }
        if (components_.pid() > 0) {
            components_.write_line("quit");
            components_.wait();
        }
        AlertTest::TearDown();
    }
    // Starts the engine process and waits until it listens.
    void StartEngine(testing_support::SpawnOptions options = {}) {
        engine_ = testing_support::spawn_helper("ul_engine", {}, options);
        ASSERT_TRUE(engine_.expect_line("serving"));
    }
    // A command to the engine and its answer.
    std::string Engine(const std::string& command) {
        engine_.write_line(command);
        return engine_.read_line();
    }
    // A command to the component process ("emit NAME TYPE TEXT", "log NAME
    // TYPE TIME TEXT", "flood NAME TYPE COUNT CHARS"), answered when done.
    std::string Components(const std::string& command) {
        if (components_.pid() <= 0) components_ = testing_support::spawn_helper("ul_components");
        components_.write_line(command);
        return components_.read_line();
    }
    // Emits marker lines until one is in the log: every line a component
    // sent before is then written (one thread, in order).
    void Sync(const std::string& marker = "sync") {
        ASSERT_TRUE(testing_support::eventually(
            [&] {
                Components("emit Scaffold 55 " + marker);
                return LogHas("[ERROR] " + marker);
            },
            std::chrono::seconds(20)));
    }
    // The number of settings changes the engine has taken.
    int RegistryChanges() { return std::stoi(Engine("changes")); }
    // Waits until the engine took a change made after `before` were seen.
    void AwaitChange(int before) {
        ASSERT_TRUE(testing_support::eventually([&] { return RegistryChanges() > before; }));
    }

    testing_support::ChildProcess engine_;
    testing_support::ChildProcess components_;
};

}  // namespace alerts_test
