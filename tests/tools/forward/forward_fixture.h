// The forwarding tests' machine: a root of their own, the event engine of
// the tool as a process (its lines drained on a thread of their own), a
// provider in this process that emits numbered records, and the registry
// values of forwarding.
#pragma once

#include <TraceApi.h>
#include <signal.h>
#include <winreg.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collector.h"
#include "forward/spool.h"
#include "test_support.h"

namespace forward_test {

inline constexpr char kServingLine[] = "evtrace engine: serving alerts and snapshots of \"Orkan System Trace\"";
inline constexpr char kForwardKey[] = "SOFTWARE\\Vanta\\Wireless\\EvTrace\\Forward";
inline constexpr char kSource[] = "Fleet Probe";  // PROCID "Fleet_Probe"

// The event engine as a process; every line it prints is kept.
class Engine {
public:
    ~Engine() { Kill(SIGKILL); }
    // Starts `evtrace engine` with these arguments and waits until it
    // serves.
    bool Start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"engine"};
        all.insert(all.end(), args.begin(), args.end());
        testing_support::SpawnOptions options;
        options.merge_stderr = true;
        process_ = testing_support::spawn_program(EVTRACE_BINARY, all, options);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.clear();
            serving_ = false;
        }
        reader_ = std::thread([this] {
            for (std::string line; !(line = process_.read_line(std::chrono::hours(1))).empty();) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (line == kServingLine) serving_ = true;
                lines_.push_back(line);
            }
        });
        return testing_support::eventually(
            [this] {
                std::lock_guard<std::mutex> lock(mutex_);
                return serving_;
            },
            std::chrono::seconds(30));
    }
    // Signals it and waits for its exit code.
    int Kill(int signal) {
        if (process_.pid() <= 0) return -1;
        process_.kill(signal);
        const int code = process_.wait(std::chrono::seconds(60));
        if (reader_.joinable()) reader_.join();
        process_ = testing_support::ChildProcess();
        return code;
    }
    std::string Output() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const std::string& line : lines_) all += line + "\n";
        return all;
    }

private:
    testing_support::ChildProcess process_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    bool serving_ = false;
};

class ForwardTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        EVT_PROVIDER_INFO info = {};
        strcpy(info.m_szInstanceName, kSource);
        strcpy(info.m_szProviderText, "Probe of the fleet");
        ASSERT_EQ(RegisterEvTrace(&provider_, &info), S_OK);
    }
    void TearDown() override {
        engine_.Kill(SIGKILL);
        UnRegisterEvTrace(provider_);
        MachineTest::TearDown();
    }

    void SetDword(const char* name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kForwardKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }
    void SetString(const char* name, const std::string& value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kForwardKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), DWORD(value.size() + 1));
        RegCloseKey(key);
    }

    // The code of record n: every severity and domain in turn.
    static DWORD CodeOf(int n) {
        const DWORD severity = DWORD(n % 4);
        return ((severity >> 1) << 31) | ((severity & 1) << 11) | (DWORD(n % 16) << 12) | DWORD(n % 2048);
    }
    static std::string TextOf(int n) {
        char text[32];
        snprintf(text, sizeof text, "record %06d", n);
        return text;
    }
    // Emits records first..first+count-1, trying a refused write again.
    void Emit(int first, int count, int perSecond = 0) {
        const auto start = std::chrono::steady_clock::now();
        for (int n = first; n < first + count; ++n) {
            if (perSecond > 0)
                std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t(n - first) * 1000000 / perSecond));
            const std::string text = TextOf(n);
            int tries = 0;
            while (EvTraceString(provider_, 51, CodeOf(n), text.c_str(), "alpha", nullptr, 0) != S_OK) {
                ASSERT_LT(++tries, 100000) << "the session refused record " << n;
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    }
    // The record numbers in the received lines, in order; other lines
    // (loss reports) as -1.
    static std::vector<int> Numbers(const std::vector<std::string>& lines) {
        std::vector<int> numbers;
        for (const std::string& line : lines) {
            const size_t at = line.rfind("] record ");
            numbers.push_back(at == std::string::npos ? -1 : std::stoi(line.substr(at + 9)));
        }
        return numbers;
    }
    static std::vector<int> Range(int first, int count) {
        std::vector<int> numbers;
        for (int n = first; n < first + count; ++n) numbers.push_back(n);
        return numbers;
    }
    evtrace::forward::SpoolStats Queue() {
        evtrace::forward::SpoolStats stats;
        evtrace::forward::LossCounts pending;
        std::string error;
        evtrace::forward::Spool::Inspect(root() + "/forward", &stats, &pending, &error);
        return stats;
    }

    ULONG provider_ = 0;
    Engine engine_;
};

}  // namespace forward_test
