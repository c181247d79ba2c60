// The alerter's life in one process: which alerter handles the session's
// events, that a destroyed one is never touched again (neither by the event
// callback nor by its unified-log thread), and the service's start and stop
// in the orders hosts use.
#include <atomic>
#include <thread>

#include "alerts/MsgQueue.h"
#include "alerts_fixture.h"
#include "unified_fixture.h"

using namespace alerts_test;
using consumer_test::RecordText;
using testing_support::eventually;

namespace {

std::vector<std::string> QueueTexts(CEvDataQueue& queue) {
    std::vector<std::string> texts;
    EnterCriticalSection(&queue.m_csQueue);
    for (const CEvDataQueueInfo* entry : queue.m_Events) texts.push_back(RecordText(entry->m_pData));
    LeaveCriticalSection(&queue.m_csQueue);
    return texts;
}

bool Holds(CEvDataQueue& queue, const std::string& text) {
    for (const std::string& t : QueueTexts(queue))
        if (t == text) return true;
    return false;
}

// ServiceAlerts on a thread of its own, stopped and joined at the end.
class Service {
public:
    explicit Service(CEvTraceAlerter& alerter, HANDLE alertable = nullptr) : alerter_(alerter) {
        done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, alertable] { result_ = alerter_.ServiceAlerts(0, alertable, done_); });
    }
    ~Service() { Stop(); }
    void Stop() {
        if (!thread_.joinable()) return;
        while (WaitForSingleObject(done_, 0) != WAIT_OBJECT_0) {
            alerter_.StopAlerts();
            WaitForSingleObject(done_, 50);
        }
        thread_.join();
        CloseHandle(done_);
    }
    LONG result() const { return result_; }

private:
    CEvTraceAlerter& alerter_;
    HANDLE done_ = nullptr;
    std::thread thread_;
    std::atomic<LONG> result_{-1};
};

class AlerterTest : public consumer_test::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        setenv("EVTRACE_CONSOLE_USER", "none", 1);
        consumer_test::InstallDatabase(kDatabase);
    }
};

TEST_F(AlerterTest, TheOldestLivingAlerterHandlesTheEventsAndADestroyedOneIsLeftAlone) {
    StartSession(1, "AlerterTest");
    CEvDataQueue firstQueue, secondQueue;
    auto first = std::make_unique<CEvTraceAlerter>(&firstQueue);
    CEvTraceAlerter second(&secondQueue);
    Service service(second);
    // The second serves, the first (bound) handles.
    ASSERT_TRUE(EmitUntil("to the first", [&] { return Holds(firstQueue, "to the first"); }));
    EXPECT_FALSE(Holds(secondQueue, "to the first"));
    first.reset();
    ASSERT_TRUE(EmitUntil("to the second", [&] { return Holds(secondQueue, "to the second"); }));
    service.Stop();
    EXPECT_EQ(service.result(), S_OK);
}

TEST_F(AlerterTest, AnAlerterMadeAfterTheFirstIsDestroyedBindsItself) {
    StartSession(1, "AlerterTest");
    CEvDataQueue firstQueue, secondQueue;
    {
        CEvTraceAlerter first(&firstQueue);
        Service service(first);
        ASSERT_TRUE(EmitUntil("first", [&] { return Holds(firstQueue, "first"); }));
    }
    CEvTraceAlerter second(&secondQueue);
    Service service(second);
    ASSERT_TRUE(EmitUntil("second", [&] { return Holds(secondQueue, "second"); }));
}

TEST_F(AlerterTest, TheDestructorEndsTheUnifiedLogThreadAndStrangersMessagesAreIgnored) {
    for (int round = 0; round < 20; ++round) {
        DWORD thread = 0;
        {
            CEvDataQueue queue;
            CEvTraceAlerter alerter(&queue);
            thread = alerter.GetULThreadId();
            ASSERT_NE(thread, 0u);
            EXPECT_NE(alerter.GetULMessageId(), 0u);
            EXPECT_EQ(alerter.GetULMessageId(), RegisterWindowMessageA("EvtEngCbMessage"));
            // The right id from someone else: never acted on, its lParam
            // (no record at all) never touched.
            for (int i = 0; i < 50; ++i) {
                ASSERT_TRUE(PostThreadMessageA(thread, alerter.GetULMessageId(), 1321, LPARAM(0xDEAD0000 + i)));
            }
        }
        // The thread ended with the alerter: its queue is gone.
        EXPECT_FALSE(PostThreadMessageA(thread, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
    }
}

TEST_F(AlerterTest, StopsBeforeTheStartAndServiceWithoutASessionEndAtOnce) {
    CEvDataQueue queue;
    CEvTraceAlerter alerter(&queue);
    EXPECT_EQ(alerter.StopAlerts(), S_OK);
    // No session: the listening fails, the done event is set, the call ends.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(alerter.ServiceAlerts(0, nullptr, done), S_OK);
    EXPECT_EQ(WaitForSingleObject(done, 0), WAIT_OBJECT_0);
    CloseHandle(done);
}

TEST_F(AlerterTest, AServiceStoppedWithADoneEventDoesNotStartAgain) {
    StartSession(1, "AlerterTest");
    CEvDataQueue queue;
    CEvTraceAlerter alerter(&queue);
    HANDLE alertable = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    {
        Service service(alerter, alertable);
        ASSERT_TRUE(EmitUntil("served", [&] { return Holds(queue, "served"); }));
    }
    HANDLE handle = nullptr;
    alerter.GetAlertableEvent(handle);
    EXPECT_EQ(handle, alertable);
    EXPECT_EQ(alerter.GetEvDataQueue(), &queue);
    const auto before = std::chrono::steady_clock::now();
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(alerter.ServiceAlerts(0, alertable, done), S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    Emit("not served");
    Sleep(200);
    EXPECT_FALSE(Holds(queue, "not served"));
    CloseHandle(done);
    CloseHandle(alertable);
}

TEST_F(AlerterTest, ADefaultAlerterHasNothingAndHandlesNothing) {
    CEvTraceAlerter empty;
    EXPECT_EQ(empty.GetULThreadId(), 0u);
    EXPECT_EQ(empty.GetULMessageId(), 0u);
    EXPECT_EQ(empty.GetEvDataQueue(), nullptr);
    EXPECT_EQ(empty.m_hULEnabledEvent, nullptr);
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    empty.GetAlertableEvent(handle);
    EXPECT_EQ(handle, nullptr);
    CEvDataQueue queue;
    CEvTraceAlerter working(&queue);
    CEvTraceAlerter copy(working);  // shares the queue, owns no thread
    EXPECT_EQ(copy.GetEvDataQueue(), &queue);
    EXPECT_EQ(copy.GetULThreadId(), 0u);
}

// ---- The unified-log thread's messages -----------------------------------------

class AlerterLogTest : public AlerterTest {
protected:
    void SetUp() override {
        AlerterTest::SetUp();
        consumer_test::SetString("SOFTWARE\\Vanta\\Wireless", "InstallDir", "C:\\Suite\\");
        SetEnableFlag(1);
        SetLogLevel("FleetDesk", 0x3F);
    }
};

TEST_F(AlerterLogTest, ARecordPostedByAStrangerIsNeitherLoggedNorFreed) {
    StartSession(1, "FleetDesk");
    std::vector<uint8_t> image = consumer_test::RecordImage("from a stranger", 0, "FleetDesk");
    consumer_test::Put<uint32_t>(image, 272, 55);
    const std::vector<uint8_t> untouched = image;
    {
        CEvDataQueue queue;
        CEvTraceAlerter alerter(&queue);
        Service service(alerter);
        ASSERT_TRUE(PostThreadMessageA(alerter.GetULThreadId(), alerter.GetULMessageId(), WPARAM(image.size()),
                                       reinterpret_cast<LPARAM>(image.data())));
        // A line of the alerter's own, after the stranger's message.
        ASSERT_TRUE(eventually([&] { return Emit("own line", 55), LogHas("own line"); }, std::chrono::seconds(20)));
    }
    EXPECT_FALSE(LogHas("from a stranger"));
    EXPECT_EQ(image, untouched);
}

TEST_F(AlerterLogTest, ARecordThatCannotBePostedLeavesNoRegistryEntry) {
    StartSession(1, "FleetDesk");
    CEvDataQueue queue;
    CEvTraceAlerter alerter(&queue);
    Service service(alerter);
    ASSERT_TRUE(eventually([&] { return Emit("before", 55), LogHas("before"); }, std::chrono::seconds(20)));
    // The stop message is taken from anyone: the thread ends, and every
    // later post fails.
    ASSERT_TRUE(PostThreadMessageA(alerter.GetULThreadId(), EVT_UL_STOP_MESSAGE, 0, 0));
    ASSERT_TRUE(eventually([&] { return !PostThreadMessageA(alerter.GetULThreadId(), WM_USER, 0, 0); }));
    // Records posted before the thread ended stay entered (the destructor
    // frees them); those whose post fails leave no entry behind.
    ASSERT_TRUE(EmitUntil("settled", [&] { return Holds(queue, "settled"); }));
    const size_t entered = alerter.m_pMsgQueue->Count();
    for (int i = 0; i < 50; ++i) Emit("not posted", 55);
    ASSERT_TRUE(EmitUntil("drained", [&] { return Holds(queue, "drained"); }));
    EXPECT_EQ(alerter.m_pMsgQueue->Count(), entered);
    EXPECT_FALSE(LogHas("not posted"));
}

}  // namespace
