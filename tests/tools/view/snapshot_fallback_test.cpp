// evtrace view when the session has no consumer slot free: it shows the
// event engine's live snapshots instead (each record once), and becomes a
// live consumer again as soon as a slot frees. The engine, the process that
// holds the other slots and the viewer each run in a process of their own.
#include <TraceApi.h>
#include <evntrace.h>
#include <w32rt/trace_sessions.h>
#include <winreg.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

// After the SDK's headers: a system header of the HTTP library defines
// DELETE too, and only a redefinition inside a system header is quiet.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "../../lib/consumer/listening_queue.h"
#include "test_support.h"

namespace {

constexpr char kEngKey[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";
constexpr char kSnapshotPath[] = "C:\\EvtSnapShot.bin";


// An event engine: its data queue fed from the session by its listener,
// served as a snapshot file on every request (it answers by silence).
// "count" on stdin answers the queue's size; "quit" ends it.
TEST_HELPER(engine) {
    HANDLE start = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_START_EVENT");
    HANDLE end = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_END_EVENT");
    if (start == nullptr || end == nullptr) return 2;
    CEvDataQueue queue;
    consumer_test::ListeningQueue listening(&queue);
    std::atomic<bool> quit{false};
    std::thread server([&] {
        while (!quit) {
            if (WaitForSingleObject(start, 50) != WAIT_OBJECT_0) continue;
            HANDLE file = CreateFileA(kSnapshotPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            queue.WriteEventsToFile(file);
            CloseHandle(file);
        }
    });
    testing_support::send_line("ready");
    for (std::string command; (command = testing_support::receive_line()) != "quit" && !command.empty();) {
        EnterCriticalSection(&queue.m_csQueue);
        size_t n = queue.m_Events.size();
        LeaveCriticalSection(&queue.m_csQueue);
        testing_support::send_line("count " + std::to_string(n));
    }
    quit = true;
    server.join();
    return 0;
}

// Takes every consumer slot left until told to quit: an OpenTraceA of a
// running session attaches at once (and quietly does not when no slot is
// free, as on Windows), so it opens until the session counts them all.
TEST_HELPER(occupier) {
    std::vector<TRACEHANDLE> held;
    auto consumers = [] {
        std::vector<w32rt::TraceSessionInfo> sessions;
        w32rt::list_trace_sessions(&sessions);
        for (const auto& s : sessions)
            if (s.name == EVT_SESSION_NAME) return s.consumers.size();
        return size_t(0);
    };
    while (consumers() < 32) {
        EVENT_TRACE_LOGFILEA log = {};
        log.LoggerName = const_cast<char*>(EVT_SESSION_NAME);
        log.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME;
        TRACEHANDLE h = OpenTraceA(&log);
        if (h == INVALID_PROCESSTRACE_HANDLE || held.size() == 32) return 2;
        held.push_back(h);
    }
    testing_support::send_line("held " + std::to_string(held.size()));
    testing_support::receive_line();
    for (TRACEHANDLE h : held) CloseTrace(h);
    return 0;
}

TEST_HELPER(viewer) {
    const char* args[] = {EVTRACE_BINARY, "view", "--port", "0", "--no-enable", nullptr};
    execv(EVTRACE_BINARY, const_cast<char**>(args));
    return 127;
}

class SnapshotFallbackTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        CEvTrace::s_hRTSession = 0;
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEngKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        ASSERT_EQ(RegSetValueExA(key, "SnapShotFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(kSnapshotPath),
                                 sizeof kSnapshotPath),
                  0);
        RegCloseKey(key);
        ASSERT_EQ(EvtInitialize(1), S_OK);
        ASSERT_EQ(EnableLogging(1), S_OK);
        EVT_PROVIDER_INFO info = {};
        strcpy(info.m_szInstanceName, "Fallback");
        ASSERT_EQ(RegisterEvTrace(&provider_, &info), S_OK);
    }
    void TearDown() override {
        if (viewer_.pid() > 0) {
            viewer_.kill(SIGTERM);
            EXPECT_EQ(viewer_.wait(), 0) << "evtrace view ends cleanly on SIGTERM";
        }
        if (occupier_.pid() > 0) {
            occupier_.write_line("quit");
            occupier_.wait();
        }
        if (engine_.pid() > 0) {
            engine_.write_line("quit");
            EXPECT_EQ(engine_.wait(), 0);
        }
        if (provider_ != 0) UnRegisterEvTrace(provider_);
        EvtUnInitialize();
        CEvTrace::s_hRTSession = 0;
        MachineTest::TearDown();
    }

    void Emit(const std::string& text) {
        ASSERT_EQ(EvTraceString(provider_, 51, 0x1001, text.c_str(), nullptr, nullptr, 0), S_OK);
    }
    size_t EngineCount() {
        engine_.write_line("count");
        std::string line = engine_.read_line();
        return line.rfind("count ", 0) == 0 ? std::stoul(line.substr(6)) : 0;
    }
    nlohmann::json Status() {
        auto res = client_->Get(("/api/status?token=" + token_).c_str());
        if (!res || res->status != 200) return nlohmann::json::object();
        return nlohmann::json::parse(res->body);
    }
    // The texts of every kept event, in the order the viewer received them
    // (a comma-separated log of ids 1 to 1000 written by the library).
    std::vector<std::string> Texts() {
        auto res = client_->Post(("/api/download?format=csv&token=" + token_).c_str(), "1-1000", "text/plain");
        std::vector<std::string> texts;
        if (!res || res->status != 200) return texts;
        size_t at = res->body.find("\r\n");
        while (at != std::string::npos && at + 2 < res->body.size()) {
            size_t next = res->body.find("\r\n", at + 2);
            std::string row = res->body.substr(at + 2, next - at - 2);
            texts.push_back(row.substr(row.rfind(',') + 1));
            at = next;
        }
        return texts;
    }

    ULONG provider_ = 0;
    testing_support::ChildProcess engine_, occupier_, viewer_;
    std::unique_ptr<httplib::Client> client_;
    std::string token_;
};

TEST_F(SnapshotFallbackTest, WithNoSlotFreeTheViewerShowsEachSnapshotRecordOnceThenGoesLiveWhenASlotFrees) {
    using testing_support::eventually;
    engine_ = testing_support::spawn_helper("engine");
    ASSERT_TRUE(engine_.expect_line("ready"));
    ASSERT_TRUE(eventually([&] { return Emit("probe"), EngineCount() > 0; }, std::chrono::seconds(20)));
    occupier_ = testing_support::spawn_helper("occupier");
    std::string held = occupier_.read_line();
    ASSERT_EQ(held.rfind("held ", 0), 0u) << held;
    ASSERT_GT(std::stoi(held.substr(5)), 0);

    viewer_ = testing_support::spawn_helper("viewer");
    std::string url;
    for (int i = 0; i < 5 && url.rfind("http://", 0) != 0; ++i) url = viewer_.read_line(std::chrono::seconds(60));
    ASSERT_EQ(url.rfind("http://", 0), 0u) << "evtrace view printed no address: " << url;
    const size_t hostEnd = url.find('/', 7);
    const std::string host = url.substr(7, hostEnd - 7);
    token_ = url.substr(url.find("token=") + 6);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", std::stoi(host.substr(host.find(':') + 1)));
    client_->set_read_timeout(std::chrono::seconds(30));

    for (const char* text : {"snap 1", "snap 2", "snap 3"}) Emit(text);
    ASSERT_TRUE(eventually([&] { return Status().value("mode", "") == "snapshot"; }, std::chrono::seconds(30)))
        << Status().dump();
    // A snapshot takes the engine's 10 s of silence.
    auto has = [&](const std::vector<std::string>& texts, const std::string& t) {
        return std::count(texts.begin(), texts.end(), t);
    };
    ASSERT_TRUE(eventually([&] { return has(Texts(), "snap 3") > 0; }, std::chrono::seconds(40))) << Status().dump();
    Emit("snap 4");
    ASSERT_TRUE(eventually([&] { return has(Texts(), "snap 4") > 0; }, std::chrono::seconds(40))) << Status().dump();
    std::vector<std::string> texts = Texts();
    for (const char* text : {"snap 1", "snap 2", "snap 3", "snap 4"}) EXPECT_EQ(has(texts, text), 1) << text;
    EXPECT_GE(Status().value("snapshots", 0), 2);
    EXPECT_FALSE(Status().value("attached", true));

    // A slot frees: the viewer attaches and events arrive live again.
    occupier_.write_line("quit");
    EXPECT_EQ(occupier_.wait(), 0);
    occupier_ = testing_support::ChildProcess();
    ASSERT_TRUE(eventually([&] { return Status().value("mode", "") == "live"; }, std::chrono::seconds(30)))
        << Status().dump();
    ASSERT_TRUE(eventually([&] { return Emit("live 1"), has(Texts(), "live 1") > 0; }, std::chrono::seconds(15)));
}

}  // namespace
