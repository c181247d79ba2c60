// The event engine (`evtrace engine`) run as a user runs it: a process
// started, signalled and judged by its exit code, with providers in other
// processes (`evtrace emit`) and clients waiting on the engine's alertable
// event (this process, and `evtrace alerts wait`).
#include <signal.h>

#include <atomic>
#include <thread>

#include <w32rt/trace_sessions.h>

#include "alerts_fixture.h"
#include "engine_fixture.h"

using namespace alerts_test;
using consumer_test::FileExists;
using consumer_test::ReadWholeFile;
using consumer_test::SetDword;
using consumer_test::SetString;
using testing_support::ChildProcess;
using testing_support::eventually;

namespace {

class EngineTest : public EngineFixture {};

TEST_F(EngineTest, AlertsWakeTheClientsAndAreKeptNewestFirstWhileOtherEventsOnlyReachTheQueue) {
    SetString(consumer_test::kEngKey, "SnapShotFile", "C:\\Data\\Snapshot.bin");
    StartEngine();
    PulseCounter alerts(kAlertEvent), starts(kStartTraceEvent);
    ChildProcess client = Tool({"alerts", "wait", "--count", "3", "--json", "--timeout", "60"});
    ASSERT_TRUE(client.expect_line("waiting for 3 alerts (at most 60 s)"));

    // Not alerts: a code that is not in the database, and code 0 (which is).
    Emit("Heronsvc", kNotAnAlert, "plain");
    Emit("Heronsvc", 0, "zero");
    Emit("Heronsvc", kLinkLost, "first alert", "a1");
    ASSERT_TRUE(eventually([&] { return alerts.count() == 1; }));
    EXPECT_EQ(ReadWholeFile(OwnHistoryPath()).size(), 1337u);
    Emit("Quillwatch", kAuthFailed, "second alert", "a2");
    ASSERT_TRUE(eventually([&] { return alerts.count() == 2; }));
    EXPECT_EQ(starts.count(), 0);
    ASSERT_EQ(RunTool({"emit", "start", "--name", "Heronsvc", "--code", "0x1002", "started"}), 0);
    ASSERT_TRUE(eventually([&] { return starts.count() == 1; }));
    Emit("Heronsvc", kWeakSignal, "third alert", "a3");
    ASSERT_TRUE(eventually([&] { return alerts.count() == 3; }));

    // The client printed each alert as it came, in order, and ended.
    for (const char* a : {"a1", "a2", "a3"}) {
        const std::string line = client.read_line();
        EXPECT_NE(line.find(std::string("\"stringA\":\"") + a + "\""), std::string::npos) << line;
    }
    EXPECT_EQ(client.wait(), 0);
    EXPECT_EQ(HistoryTexts(ReadWholeFile(OwnHistoryPath())), (std::vector<std::string>{"a1", "a2", "a3"}));
    EXPECT_EQ(HistoryList(), (std::vector<std::string>{"a3", "a2", "a1"}));
    EXPECT_EQ(alerts.count(), 3);

    // Alerts off: no pulse and no history, but the queue still keeps them.
    SetDword(consumer_test::kApiKey, "EnableAlerts", 0);
    Emit("Heronsvc", kLinkLost, "quiet alert", "a4");
    Sleep(300);
    EXPECT_EQ(alerts.count(), 3);
    EXPECT_EQ(HistoryTexts(ReadWholeFile(OwnHistoryPath())), (std::vector<std::string>{"a1", "a2", "a3"}));

    // `evtrace snapshot` against the engine: the queue, newest first.
    ChildProcess snapshot = Tool({"snapshot", "--json"});
    std::vector<std::string> texts;
    for (std::string line; !(line = snapshot.read_line(std::chrono::seconds(30))).empty();) {
        const size_t at = line.find("\"text\":\"");
        if (at != std::string::npos) texts.push_back(line.substr(at + 8, line.find('"', at + 8) - at - 8));
    }
    EXPECT_EQ(snapshot.wait(), 0);
    EXPECT_EQ(texts, (std::vector<std::string>{"quiet alert", "third alert", "started", "second alert", "first alert",
                                               "zero", "plain"}));
    StopEngine(SIGTERM);
}

TEST_F(EngineTest, ASecondEngineIsRefusedAndAStoppedEngineLeavesNothingBehind) {
    SetString(consumer_test::kEngKey, "SnapShotFile", "C:\\Data\\Snapshot.bin");
    StartEngine();
    ChildProcess second = Tool({"engine"});
    const std::string message = second.read_line();
    EXPECT_NE(message.find("another event engine is already running"), std::string::npos) << message;
    EXPECT_EQ(second.wait(), 3);
    const pid_t pid = engine_.pid();
    StopEngine(SIGINT);

    // No engine object is left, no consumer of the session, no stray file.
    for (const char* name : {kAlertEvent, kSnapshotStart, kSnapshotEnd}) {
        EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name), nullptr) << name;
    }
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "Global\\VANTA_EVTRACE_ENGINE_INSTANCE"), nullptr);
    std::vector<w32rt::TraceSessionInfo> sessions;
    ASSERT_TRUE(w32rt::list_trace_sessions(&sessions));
    for (const auto& session : sessions)
        for (const auto& consumer : session.consumers) EXPECT_NE(consumer.pid, pid);
    EXPECT_EQ(FilesIn("C:\\Data"), (std::vector<std::string>{"TraceENU.bin"}));
    // A new engine starts again.
    StartEngine();
    StopEngine(SIGTERM);
}

TEST_F(EngineTest, ASnapshotTheEngineCannotWriteIsDeclinedAtOnce) {
    StartEngine();  // no "SnapShotFile"
    ULONG handle = 7;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenInfosetHandle(&handle, nullptr, 0), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(handle, 0u);
    // A folder where the file should be: declined too, nothing replaced.
    CreateDirectoryA("C:\\Data\\Snap", nullptr);
    SetString(consumer_test::kEngKey, "SnapShotFile", "C:\\Data\\Snap");
    EXPECT_EQ(OpenInfosetHandle(&handle, nullptr, 0), E_FAIL);
    EXPECT_TRUE(FileExists("C:\\Data\\Snap"));
    StopEngine(SIGTERM);
}

TEST_F(EngineTest, AnEngineWhoseSessionIsStoppedEndsWithItsOwnExitCode) {
    StartEngine();
    ASSERT_EQ(RunTool({"session", "stop"}), 0);
    EXPECT_EQ(engine_.wait(), 4);
    engine_ = ChildProcess();
}

}  // namespace
