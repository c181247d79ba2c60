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
#include "listening_queue.h"

using namespace consumer_test;
using testing_support::eventually;

namespace {

constexpr char kSnapshotPath[] = "C:\\EvtSnapShot.bin";


std::mutex g_sendLock;
void Send(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_sendLock);
    testing_support::send_line(line);
}

// The engine writes a snapshot on every request until told to decline, then
// answers with the end event. Commands on stdin: "list" (the queue's texts,
// newest first), "clear", "decline", "quit"; each is answered with the list.
TEST_HELPER(engine) {
    std::atomic<bool> decline{false};
    HANDLE start = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_START_EVENT");
    HANDLE end = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_END_EVENT");
    if (start == nullptr || end == nullptr) return 2;
    CEvDataQueue queue;
    consumer_test::ListeningQueue listening(&queue);
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
        if (command == "decline") decline = true;
        std::string texts;
        EnterCriticalSection(&queue.m_csQueue);
        const size_t count = queue.m_Events.size();
        for (const CEvDataQueueInfo* entry : queue.m_Events) texts += "|" + RecordText(entry->m_pData);
        LeaveCriticalSection(&queue.m_csQueue);
        Send("list " + std::to_string(count) + texts);
    }
    quit = true;
    server.join();
    return 0;
}

class EngineTest : public SessionTest {
protected:
    void TearDown() override {
        if (engine_.pid() > 0) {
            engine_.write_line("quit");
            EXPECT_EQ(engine_.wait(), 0);
        }
        SessionTest::TearDown();
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

    testing_support::ChildProcess engine_;
};

TEST_F(EngineTest, TheQueueFedFromTheSessionKeepsTheNewestRecordsAndSnapshotsAreServedBySilenceOrDeclined) {
    SetDword(kEngKey, "MaxEvents", 3);
    SetString(kEngKey, "SnapShotFile", kSnapshotPath);
    StartSession(3, "EngineTest");
    engine_ = testing_support::spawn_helper("engine");
    ASSERT_TRUE(engine_.expect_line("ready"));
    // Once the engine's listener receives events its queue is emptied.
    // Events of one thread arrive in order: once one last marker, emitted
    // after every probe, is queued, every probe is, and none lands after the
    // clear. (Emitting the marker until it shows could leave a second one on
    // its way.)
    ASSERT_TRUE(EmitUntil("probe", [&] { return List() != "list 0"; }));
    Emit("synced");
    ASSERT_TRUE(eventually([&] { return List().find("|synced") != std::string::npos; }, std::chrono::seconds(20)));
    ASSERT_EQ(List("clear"), "list 0");
    for (const char* text : {"e1", "e2", "e3", "e4"}) Emit(text);
    Emit("unified log", 53);
    ASSERT_EQ(EvTraceStart(provider_, 0x1002, "start"), S_OK);
    ASSERT_TRUE(eventually([&] { return List().rfind("list 3|start", 0) == 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(List(), "list 3|start|e4|e3");
    // The engine answers by silence: the consumer reads the file after its 10 s.
    ULONG handle = 0;
    ASSERT_EQ(OpenInfosetHandle(&handle, nullptr, 0), S_OK);
    EXPECT_EQ(handle, 1u);
    EXPECT_TRUE(engine_.expect_line("served"));
    EXPECT_EQ(InfosetTexts(handle), (std::vector<std::string>{"start", "e4", "e3"}));
    EXPECT_FALSE(FileExists(kSnapshotPath));  // the consumer deletes the file it read
    // An engine that declines fails the snapshot at once.
    EXPECT_EQ(List("decline"), "list 3|start|e4|e3");
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenInfosetHandle(&handle, nullptr, 0), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(9));
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(engine_.expect_line("declined"));
    EXPECT_FALSE(FileExists(kSnapshotPath));
}

}  // namespace
