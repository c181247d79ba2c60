// Many threads registering, emitting and unregistering at once: handles stay
// unique, every event the library reports as written arrives once, in each
// thread's order, and nothing else arrives.
#include <TraceApi.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "library_fixture.h"
#include "raw_consumer.h"

namespace {

class ConcurrencyTest : public LibraryTest {
protected:
    void TearDown() override {
        consumer_.Stop();
        LibraryTest::TearDown();
    }
    RawConsumer consumer_;
};

}  // namespace

TEST_F(ConcurrencyTest, RegistrationAndEmissionFromManyThreads) {
    ULONG probe = Register("probe");
    ASSERT_TRUE(consumer_.Start());
    ASSERT_TRUE(consumer_.Attach("probe", [&] { EvTraceString(probe, 51, 0, "probe", nullptr, nullptr, 0); }));

    constexpr int kThreads = 8;
    constexpr int kRounds = 4;
    constexpr int kEvents = 60;
    std::atomic<int> duplicateHandles{0};
    std::atomic<int> failedCalls{0};
    std::mutex liveMutex;
    std::set<ULONG> live;
    std::vector<std::map<std::string, int>> sent(kThreads);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                std::string name = "T" + std::to_string(t) + "R" + std::to_string(round);
                EVT_PROVIDER_INFO info = Info(name, "u");
                ULONG handle = 0;
                if (RegisterEvTrace(&handle, &info) != S_OK) {
                    ++failedCalls;
                    continue;
                }
                {
                    std::lock_guard<std::mutex> lock(liveMutex);
                    if (!live.insert(handle).second) ++duplicateHandles;
                }
                for (int n = 0; n < kEvents; ++n) {
                    std::string text = std::to_string(n);
                    LONG result = EvTraceString(handle, 51, static_cast<ULONG>(n), text.c_str(), nullptr, nullptr, 0);
                    if (result == S_OK) {
                        ++sent[t][name];
                    } else if (result != E_FAIL) {
                        // E_FAIL is a full session buffer under this load;
                        // anything else is a fault.
                        ++failedCalls;
                    }
                    if (n % 16 == 0) std::this_thread::yield();
                }
                {
                    std::lock_guard<std::mutex> lock(liveMutex);
                    live.erase(handle);
                }
                if (UnRegisterEvTrace(handle) != S_OK) ++failedCalls;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(duplicateHandles.load(), 0);
    EXPECT_EQ(failedCalls.load(), 0);

    // The probe is still registered, so the registry lives on.
    ULONG fence = Register("fence");
    // The buffers may still be full from the burst: the fence waits for room.
    ASSERT_TRUE(
        testing_support::eventually([&] { return EvTraceString(fence, 51, 0, "fence", nullptr, nullptr, 0) == S_OK; }));
    ASSERT_TRUE(consumer_.WaitFor("fence", 1));

    int total = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (int round = 0; round < kRounds; ++round) {
            std::string name = "T" + std::to_string(t) + "R" + std::to_string(round);
            std::vector<RawEvent> events = consumer_.EventsFrom(name);
            EXPECT_EQ(static_cast<int>(events.size()), sent[t][name]) << name;
            ULONG last = 0;
            bool first = true;
            for (const RawEvent& event : events) {
                if (!first) {
                    EXPECT_GT(event.Code(), last) << name << ": in order, no duplicates";
                }
                last = event.Code();
                first = false;
            }
            total += static_cast<int>(events.size());
        }
    }
    EXPECT_GT(total, 0);
}
