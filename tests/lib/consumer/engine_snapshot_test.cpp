// A small event engine in another process: a data queue fed from the
// session by a listener, and live snapshots served to (or declined for) a
// consumer in this process through the two named events and the snapshot
// file.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "consumer_fixture.h"

using namespace consumer_test;
using testing_support::eventually;

namespace {

constexpr char kSnapshotPath[] = "C:\\EvtSnapShot.bin";

CEvDataQueue* g_engineQueue = nullptr;
void WINAPI EngineSink(PEVENT_TRACE event) { g_engineQueue->AddEvent(event); }

std::mutex g_sendLock;
void Send(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_sendLock);
    testing_support::send_line(line);
}

// The engine: argv[1] "serve" writes a snapshot on every request, "decline"
// answers with the end event. Commands on stdin: "list" (the queue's texts,
// newest first), "clear", "quit".
TEST_HELPER(engine) {
    const bool decline = argc > 1 && strcmp(argv[1], "decline") == 0;
    HANDLE start = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_START_EVENT");
    HANDLE end = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_END_EVENT");
    if (start == nullptr || end == nullptr) return 2;
    CEvDataQueue queue;
    g_engineQueue = &queue;
    CEvTraceListener listener;
    _EVT_LISTENER_CONFIG config;
    memset(&config, 0, sizeof config);
    config.dwMode = EVT_LISTENER_MODE_LISTEN;
    config.pfnEventCallback = &EngineSink;
    std::thread pump([&] { listener.ConfigureListener(config, 0); });
    std::atomic<bool> quit{false};
    std::thread server([&] {
        while (!quit) {
            if (WaitForSingleObject(start, 50) != WAIT_OBJECT_0) continue;
            if (decline) {
                SetEvent(end);
                Send("declined");
                continue;
            }
            HANDLE file = CreateFileA(kSnapshotPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            queue.WriteEventsToFile(file);
            CloseHandle(file);
            Send(file == INVALID_HANDLE_VALUE ? "cannot write the snapshot" : "served");
        }
    });
    Send("ready");
    for (std::string command; (command = testing_support::receive_line()) != "quit" && !command.empty();) {
        if (command == "clear") queue.DeleteAllEvents();
        std::string texts;
        EnterCriticalSection(&queue.m_csQueue);
        for (const CEvDataQueueInfo* entry : queue.m_Events) texts += "|" + RecordText(entry->m_pData);
        LeaveCriticalSection(&queue.m_csQueue);
        Send("list " + std::to_string(queue.m_Events.size()) + texts);
    }
    quit = true;
    server.join();
    _EVT_LISTENER_CONFIG stop = config;
    stop.dwMode = EVT_LISTENER_MODE_STOP;
    listener.ConfigureListener(stop, 0);
    pump.join();
    return 0;
}

class EngineTest : public ConsumerTest {
protected:
    void SetUp() override {
        ConsumerTest::SetUp();
        SetString(kEngKey, "SnapShotFile", kSnapshotPath);
        ASSERT_EQ(EvtInitialize(3), S_OK);
        ASSERT_EQ(EnableLogging(1), S_OK);
        EVT_PROVIDER_INFO info = {};
        strcpy(info.m_szInstanceName, "EngineTest");
        ASSERT_EQ(RegisterEvTrace(&provider_, &info), S_OK);
    }
    void TearDown() override {
        if (engine_.pid() > 0) {
            engine_.write_line("quit");
            EXPECT_EQ(engine_.wait(), 0);
        }
        UnRegisterEvTrace(provider_);
        ConsumerTest::TearDown();
    }

    void Emit(const char* text, ULONG type = 51) {
        ASSERT_EQ(EvTraceString(provider_, type, 0x1001, text, nullptr, nullptr, 0), S_OK);
    }

    // Sends a command ("list" or "clear"); the queue's texts after it.
    std::string List(const char* command = "list") {
        engine_.write_line(command);
        std::string line;
        do {
            line = engine_.read_line();
        } while (!line.empty() && line.rfind("list ", 0) != 0);
        return line;
    }

    // Starts the engine and waits until its listener receives events, then
    // empties its queue. Events of one thread arrive in order: once a last
    // marker is queued every probe is, and none lands after the clear.
    void StartEngine(const char* mode) {
        engine_ = testing_support::spawn_helper("engine", {mode});
        ASSERT_TRUE(engine_.expect_line("ready"));
        ASSERT_TRUE(eventually(
            [&] {
                Emit("probe");
                return List() != "list 0";
            },
            std::chrono::seconds(20)));
        Emit("synced");
        ASSERT_TRUE(eventually([&] { return List().find("|synced") != std::string::npos; }, std::chrono::seconds(20)));
        ASSERT_EQ(List("clear"), "list 0");
    }

    ULONG provider_ = 0;
    testing_support::ChildProcess engine_;
};

TEST_F(EngineTest, TheQueueFedFromTheSessionKeepsTheNewestRecordsNewestFirst) {
    SetDword(kEngKey, "MaxEvents", 5);
    StartEngine("serve");
    for (int i = 1; i <= 8; ++i) Emit(("e" + std::to_string(i)).c_str());
    Emit("unified log", 53);
    ASSERT_EQ(EvTraceStart(provider_, 0x1002, "start"), S_OK);
    ASSERT_TRUE(eventually([&] { return List().rfind("list 5|start", 0) == 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(List(), "list 5|start|e8|e7|e6|e5");
}

TEST_F(EngineTest, AnEngineThatDeclinesFailsTheSnapshotAtOnce) {
    StartEngine("decline");
    Emit("kept by the engine");
    ULONG handle = 99;
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenInfosetHandle(&handle, nullptr, 0), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(9));
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(engine_.expect_line("declined"));
    EXPECT_FALSE(FileExists(kSnapshotPath));
}

// The engine answers by silence: the consumer reads the file after its 10 s.
TEST_F(EngineTest, ASilentEngineServesTheSnapshotFile) {
    StartEngine("serve");
    for (const char* text : {"first", "second", "third"}) Emit(text);
    ASSERT_TRUE(eventually([&] { return List() == "list 3|third|second|first"; }, std::chrono::seconds(20)));
    ULONG handle = 0;
    ASSERT_EQ(OpenInfosetHandle(&handle, nullptr, 0), S_OK);
    EXPECT_EQ(handle, 1u);
    EXPECT_TRUE(engine_.expect_line("served"));
    EXPECT_EQ(InfosetTexts(handle), (std::vector<std::string>{"third", "second", "first"}));
    _VANTA_EVTRACE_DATA* record = nullptr;
    ASSERT_EQ(GetFirstEvTrace(handle, &record), S_OK);
    EXPECT_STREQ(record->szSource, "EngineTest");
    EXPECT_FALSE(FileExists(kSnapshotPath));  // the consumer deletes the file it read
    EXPECT_EQ(CloseInfosetHandle(handle), S_OK);
}

}  // namespace
