// Many threads registering, emitting and unregistering at once: handles stay
// unique, every event the library reports as written arrives once, in each
// thread's order, and nothing else arrives.
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "provider_fixture.h"

using ConcurrencyTest = LibraryTest;

TEST_F(ConcurrencyTest, RegistrationAndEmissionFromManyThreads) {
    ASSERT_TRUE(Listen("probe"));
    constexpr int kThreads = 8, kRounds = 4, kEvents = 60;
    std::atomic<int> duplicateHandles{0}, failedCalls{0};
    std::mutex liveMutex;
    std::set<ULONG> live;
    std::vector<std::map<std::string, int>> sent(kThreads);
    auto name = [](int thread, int round) { return "T" + std::to_string(thread) + "R" + std::to_string(round); };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                EVT_PROVIDER_INFO info = Info(name(t, round), "u");
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
                    // E_FAIL is a full session buffer under this load; anything else is a fault.
                    if (result == S_OK)
                        ++sent[t][name(t, round)];
                    else if (result != E_FAIL)
                        ++failedCalls;
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

    // The probe is still registered, so the registry lives on. The buffers
    // may still be full from the burst: the fence waits for room.
    ULONG fence = Register("fence");
    ASSERT_TRUE(
        testing_support::eventually([&] { return EvTraceString(fence, 51, 0, "fence", nullptr, nullptr, 0) == S_OK; }));
    ASSERT_TRUE(consumer_.WaitFor("fence", 1));

    int total = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (int round = 0; round < kRounds; ++round) {
            std::vector<RawEvent> events = consumer_.EventsFrom(name(t, round));
            EXPECT_EQ(static_cast<int>(events.size()), sent[t][name(t, round)]) << name(t, round);
            for (size_t n = 1; n < events.size(); ++n)
                EXPECT_GT(events[n].Code(), events[n - 1].Code()) << name(t, round) << ": in order, no duplicates";
            total += static_cast<int>(events.size());
        }
    }
    EXPECT_GT(total, 0);
}
