// The alert history shared by processes: savers in several processes at
// once lose no record, and a saver killed at any instruction leaves a
// history that is whole (the previous one or the new one) and a mutex the
// next saver takes at once.
#include <signal.h>

#include <random>

#include "alerts_fixture.h"

using namespace alerts_test;
using consumer_test::ReadWholeFile;
using testing_support::ChildProcess;
using testing_support::spawn_helper;

namespace {

int64_t Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return int64_t((uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// Commands: "save TAG N" saves N alerts with string A "TAG-i" and answers
// "saved"; "loop TAG" saves until killed, saying "looping" after the first.
TEST_HELPER(saver) {
    EvtInitialize(2);
    CEvTraceAlerter alerter;
    for (std::string line; !(line = testing_support::receive_line()).empty();) {
        char tag[64] = {};
        int count = 0;
        if (sscanf(line.c_str(), "save %63s %d", tag, &count) == 2) {
            for (int i = 0; i < count; ++i) {
                auto event = AlertEvent(kLinkLost, std::string(tag) + "-" + std::to_string(i), Now());
                alerter.SaveHistory(event.get());
            }
            testing_support::send_line("saved");
        } else if (sscanf(line.c_str(), "loop %63s", tag) == 1) {
            for (int i = 0;; ++i) {
                auto event = AlertEvent(kLinkLost, std::string(tag) + "-" + std::to_string(i), Now());
                alerter.SaveHistory(event.get());
                if (i == 0) testing_support::send_line("looping");
            }
        }
    }
    EvtUnInitialize();
    return 0;
}

class HistoryProcessesTest : public AlertTest {};

TEST_F(HistoryProcessesTest, TwoProcessesSavingAtOnceLoseNoRecord) {
    ChildProcess a = spawn_helper("saver"), b = spawn_helper("saver");
    const std::string path = OwnHistoryPath();
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        DeleteFileA(path.c_str());
        const std::string ta = "a" + std::to_string(round), tb = "b" + std::to_string(round);
        a.write_line("save " + ta + " 3");
        b.write_line("save " + tb + " 3");
        ASSERT_TRUE(a.expect_line("saved"));
        ASSERT_TRUE(b.expect_line("saved"));
        std::vector<std::string> texts = HistoryTexts(ReadWholeFile(path));
        ASSERT_EQ(texts.size(), 6u);
        // Every record is there, each process's own in its order.
        std::vector<std::string> ofA, ofB;
        for (const std::string& t : texts) (t[0] == 'a' ? ofA : ofB).push_back(t);
        EXPECT_EQ(ofA, (std::vector<std::string>{ta + "-0", ta + "-1", ta + "-2"}));
        EXPECT_EQ(ofB, (std::vector<std::string>{tb + "-0", tb + "-1", tb + "-2"}));
    }
    a.write_line("");
    b.write_line("");
}

TEST_F(HistoryProcessesTest, ASaverKilledAtAnyMomentLeavesAWholeHistoryAndAFreeMutex) {
    const std::string path = OwnHistoryPath();
    std::mt19937 random(12345);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        ChildProcess saver = spawn_helper("saver");
        saver.write_line("loop k" + std::to_string(round));
        ASSERT_TRUE(saver.expect_line("looping"));
        Sleep(DWORD(random() % 40));
        saver.kill(SIGKILL);
        EXPECT_EQ(saver.wait(), 128 + SIGKILL);
        const std::vector<std::string> texts = HistoryTexts(ReadWholeFile(path));
        EXPECT_GE(texts.size(), 1u);
        EXPECT_LE(texts.size(), 6u);
    }
    // The mutex a killed saver held is taken at once (abandoned), not after
    // the 30-second wait.
    const auto before = std::chrono::steady_clock::now();
    ChildProcess last = spawn_helper("saver");
    last.write_line("save final 1");
    ASSERT_TRUE(last.expect_line("saved"));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    EXPECT_EQ(HistoryTexts(ReadWholeFile(path)).back(), "final-0");
    last.write_line("");
    EXPECT_EQ(last.wait(), 0);
}

}  // namespace
