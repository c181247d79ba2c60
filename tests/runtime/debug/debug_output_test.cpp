// OutputDebugStringA and the debug viewer of the machine root, in this and in
// other processes.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <windows.h>
#include <w32rt/debug_viewer.h>

#include "status_expect.h"
#include "test_support.h"

using testing_support::ChildProcess;
using testing_support::MachineTest;
using testing_support::spawn_helper;
using w32rt::DebugMessage;
using w32rt::DebugViewer;

namespace {

// Receives until `count` texts arrived or 10 s passed.
std::vector<DebugMessage> receive_count(DebugViewer& viewer, size_t count) {
    std::vector<DebugMessage> all;
    for (int round = 0; round < 100 && all.size() < count; ++round) {
        std::vector<DebugMessage> some = viewer.receive(100);
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

}  // namespace

class DebugOutputTest : public MachineTest {};

TEST_F(DebugOutputTest, ViewerReceivesTextsSentWhileAttachedOnlyAndWhole) {
    // Sending keeps the caller's last error and errno, with a viewer or without.
    SetLastError(ERROR_SHARING_VIOLATION);
    OutputDebugStringA("before any viewer\n");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(IsDebuggerPresent());
    {
        std::unique_ptr<DebugViewer> viewer = DebugViewer::attach();
        ASSERT_NE(viewer, nullptr) << GetLastError();
        EXPECT_TRUE(IsDebuggerPresent());
        std::string text;
        for (int i = 0; text.size() < 5000; ++i) text += "line " + std::to_string(i) + "\n";
        SetLastError(ERROR_SHARING_VIOLATION);
        errno = EAGAIN;
        OutputDebugStringA("one\n");
        OutputDebugStringA(nullptr);
        OutputDebugStringA(text.c_str());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(errno, EAGAIN);
        std::vector<DebugMessage> got = receive_count(*viewer, 2);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].text, "one\n");
        EXPECT_EQ(got[1].text, text);
        EXPECT_EQ(got[0].process_id, DWORD(getpid()));
        EXPECT_EQ(got[0].thread_id, GetCurrentThreadId());
        EXPECT_TRUE(viewer->receive(0).empty());
    }
    EXPECT_FALSE(IsDebuggerPresent());
    EXPECT_NE(DebugViewer::attach(), nullptr);
}

TEST_F(DebugOutputTest, AFullRingDropsAndCountsInsteadOfWaiting) {
    std::unique_ptr<DebugViewer> viewer = DebugViewer::attach();
    ASSERT_NE(viewer, nullptr);
    uint64_t lost_before = viewer->lost();
    const int sent = 1000;
    for (int i = 0; i < sent; ++i) OutputDebugStringA(("text " + std::to_string(i) + "\n").c_str());
    std::vector<DebugMessage> got;
    for (;;) {
        std::vector<DebugMessage> some = viewer->receive(200);
        if (some.empty()) break;
        got.insert(got.end(), some.begin(), some.end());
    }
    ASSERT_FALSE(got.empty());
    EXPECT_LT(got.size(), size_t(sent));
    EXPECT_EQ(viewer->lost() - lost_before, uint64_t(sent) - got.size());
    // What arrived is the oldest, in order.
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].text, "text " + std::to_string(i) + "\n");
    // And the ring works again once read.
    OutputDebugStringA("again\n");
    std::vector<DebugMessage> again = receive_count(*viewer, 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].text, "again\n");
}

TEST_HELPER(debug_sender) {
    testing_support::send_line("sending");
    for (int i = 0; i < 20; ++i) OutputDebugStringA(("from child " + std::to_string(i) + "\n").c_str());
    return 0;
}

TEST_HELPER(debug_viewer) {
    // Attaches, reports, then prints every text it receives as a line.
    std::unique_ptr<DebugViewer> viewer = DebugViewer::attach();
    if (!viewer) {
        testing_support::send_line("attach failed " + std::to_string(GetLastError()));
        return 1;
    }
    testing_support::send_line("attached");
    for (;;) {
        for (const DebugMessage& m : viewer->receive(1000)) {
            std::string text = m.text;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            testing_support::send_line(std::to_string(m.process_id) + " " + text);
        }
    }
}

// A viewer in another process claims the root while it lives and gets the
// texts of this and of a third process sending at once, each sender's whole,
// in its order and marked with its process. Killed while stopped with a full
// ring, it is noticed by senders, and the next viewer reads what it left and
// what follows.
TEST_F(DebugOutputTest, ViewerInAnotherProcessReceivesOurTextsUntilItDies) {
    ChildProcess viewer = spawn_helper("debug_viewer");
    ASSERT_TRUE(viewer.expect_line("attached"));
    EXPECT_TRUE(IsDebuggerPresent());
    EXPECT_FAILS(DebugViewer::attach(), nullptr, ERROR_BUSY);
    ChildProcess sender = spawn_helper("debug_sender");
    ASSERT_TRUE(sender.expect_line("sending"));
    for (int i = 0; i < 20; ++i) OutputDebugStringA(("from parent " + std::to_string(i) + "\n").c_str());
    EXPECT_EQ(sender.wait(), 0);
    const std::string from_child = std::to_string(sender.pid()) + " from child ";
    const std::string from_parent = std::to_string(getpid()) + " from parent ";
    int next_child = 0, next_parent = 0;
    for (int i = 0; i < 40; ++i) {
        const std::string line = viewer.read_line();
        if (line.rfind(from_child, 0) == 0) EXPECT_EQ(line, from_child + std::to_string(next_child++));
        else EXPECT_EQ(line, from_parent + std::to_string(next_parent++));
    }
    EXPECT_EQ(next_child, 20);
    EXPECT_EQ(next_parent, 20);

    viewer.kill(SIGSTOP);  // it reads no more
    for (int i = 0; i < 300; ++i) OutputDebugStringA("into a stopped viewer\n");
    EXPECT_TRUE(IsDebuggerPresent());  // alive, only stopped
    viewer.kill(SIGKILL);
    viewer.wait();
    // Senders look for the viewer now and then when the ring is full.
    EXPECT_TRUE(testing_support::eventually([] {
        OutputDebugStringA("finds the ring full and the viewer gone\n");
        return !IsDebuggerPresent();
    }));
    std::unique_ptr<DebugViewer> next = DebugViewer::attach();
    ASSERT_NE(next, nullptr);
    while (!next->receive(200).empty()) continue;  // what the dead viewer left in the ring
    OutputDebugStringA("to the next viewer\n");
    std::vector<DebugMessage> got = receive_count(*next, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].text, "to the next viewer\n");
}
