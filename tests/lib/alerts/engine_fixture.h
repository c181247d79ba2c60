// The event engine of the tool as a process, the tool's other commands as
// providers and clients, and counters of the pulses of a named event.
#pragma once

#include <signal.h>

#include <atomic>
#include <thread>

#include "alerts_fixture.h"

namespace alerts_test {

inline constexpr char kAlertEvent[] = "Global\\VANTA_EVTRACE_ALERT_EVENT";
inline constexpr char kStartTraceEvent[] = "Global\\VANTA_EVTRACE_STARTTRACE_EVENT";
inline constexpr char kSnapshotStart[] = "Global\\VANTA_EVT_SNAPSHOT_START_EVENT";
inline constexpr char kSnapshotEnd[] = "Global\\VANTA_EVT_SNAPSHOT_END_EVENT";
inline constexpr char kServingLine[] = "evtrace engine: serving alerts and snapshots of \"Orkan System Trace\"";

// Counts the pulses of a named event while alive. The waiting thread is
// in its wait at all times but for the moment after each wake (a pulse
// releases only the threads waiting then): tests pulse one at a time.
class PulseCounter {
public:
    explicit PulseCounter(const char* name) {
        event_ = OpenEventA(SYNCHRONIZE, FALSE, name);
        EXPECT_NE(event_, nullptr) << name;
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] {
            const HANDLE waits[2] = {stop_, event_};
            while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) ++count_;
        });
    }
    ~PulseCounter() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
        if (event_ != nullptr) CloseHandle(event_);
    }
    int count() const { return count_; }

private:
    HANDLE event_ = nullptr;
    HANDLE stop_ = nullptr;
    std::atomic<int> count_{0};
    std::thread thread_;
};

inline std::string Hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

inline std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) names.push_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

class EngineFixture : public AlertTest {
protected:
    void SetUp() override {
        AlertTest::SetUp();
        ASSERT_EQ(EvtInitialize(2), S_OK);
    }
    void TearDown() override {
        if (engine_.pid() > 0) {
            engine_.kill(SIGTERM);
            engine_.wait();
        }
        AlertTest::TearDown();
    }

    // A tool command with its stderr in its stdout.
    testing_support::ChildProcess Tool(const std::vector<std::string>& args,
                                       testing_support::SpawnOptions options = {}) {
        options.merge_stderr = true;
        return testing_support::spawn_program(EVTRACE_TOOL, args, options);
    }
    int RunTool(const std::vector<std::string>& args, testing_support::SpawnOptions options = {}) {
        testing_support::ChildProcess child = Tool(args, options);
        output_.clear();
        for (std::string line; !(line = child.read_line()).empty();) output_.push_back(line);
        return child.wait();
    }
    void Emit(const std::string& source, DWORD code, const std::string& text, const std::string& stringA = "") {
        std::vector<std::string> args = {"emit", "text", "--name", source, "--code", Hex(code)};
        if (!stringA.empty()) args.insert(args.end(), {"--string-a", stringA});
        args.push_back(text);
        ASSERT_EQ(RunTool(args), 0) << text;
    }

    // Starts the engine and waits until it serves (it is then a consumer
    // of the session).
    void StartEngine(testing_support::SpawnOptions options = {}) {
        engine_ = Tool({"engine"}, options);
        for (std::string line; (line = engine_.read_line()) != kServingLine;) {
            ASSERT_FALSE(line.empty()) << "the engine did not start (exit " << engine_.wait() << ")";
        }
    }
    void StopEngine(int signal) {
        engine_.kill(signal);
        EXPECT_EQ(engine_.wait(), 0);
        EXPECT_EQ(engine_.read_line(), std::string("evtrace engine: stopping (") +
                                           (signal == SIGINT ? "SIGINT" : "SIGTERM") + ")");
        EXPECT_EQ(engine_.read_line(), "evtrace engine: stopped");
        engine_ = testing_support::ChildProcess();
    }

    testing_support::ChildProcess engine_;
    std::vector<std::string> output_;
};

}  // namespace alerts_test
