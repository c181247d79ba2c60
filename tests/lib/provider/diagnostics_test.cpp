// The debugger output of registration and of finding the session: fixed
// texts, in order, that an attached viewer shows.
#include <TraceApi.h>

#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <w32rt/testing.h>

#include "library_fixture.h"

namespace {

class DiagnosticsTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        w32rt_set_debug_sink(&DiagnosticsTest::Capture, this);
    }
    void TearDown() override {
        w32rt_set_debug_sink(nullptr, nullptr);
        LibraryTest::TearDown();
    }

    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(lines_, {});
    }

    // Whether expected appear in this order (other lines may come between).
    static ::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                              const std::vector<std::string>& expected) {
        size_t at = 0;
        for (const std::string& line : lines)
            if (at < expected.size() && line == expected[at]) ++at;
        if (at == expected.size()) return ::testing::AssertionSuccess();
        std::string all;
        for (const std::string& line : lines) all += "  " + line;
        return ::testing::AssertionFailure() << "missing \"" << expected[at] << "\" in:\n" << all;
    }

private:
    static void Capture(const char* text, void* context) {
        auto* self = static_cast<DiagnosticsTest*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(text);
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace

TEST_F(DiagnosticsTest, RegistrationFindsNoSessionStartsItAndAddsTheProvider) {
    Register("Told");
    std::vector<std::string> lines = Take();
    EXPECT_TRUE(InOrder(lines, {
                                   "CEvtProviderInfoMap::RegisterEvTrace - called for Told\n",
                                   "AddProviderInfo - enter\n",
                                   "Provider not found - adding new provider\n",
                                   "GetSessionHandle1 - ControlTrace failed\n",
                                   "GetSessionHandle1 - ControlTrace failed - session not started\n",
                                   "GetSessionHandle1 - StartTrace succeeded\n",
                                   "AddProviderInfo - exiting, instance name - Told\n",
                                   "CEvtProviderInfoMap::RegisterEvTrace - AddProviderInfo succeeded\n",
                               }));
    bool tried = false;
    for (const std::string& line : lines)
        tried |= line.rfind(
                     "AddProviderInfo - Trying to add provider info instance name - Told, No of providers - 0, CS - 0x",
                     0) == 0;
    EXPECT_TRUE(tried);

    Register("Second");
    lines = Take();
    EXPECT_TRUE(InOrder(lines, {"GetSessionHandle1 - Already have valid session handle\n"}));
    for (const std::string& line : lines) EXPECT_EQ(line.find("ControlTrace"), std::string::npos) << line;
}

TEST_F(DiagnosticsTest, AnEmptyNameIsReported) {
    EVT_PROVIDER_INFO info = Info("");
    ULONG handle = 0;
    EXPECT_EQ(RegisterEvTrace(&handle, &info), EVT_E_INVALIDARG);
    EXPECT_TRUE(InOrder(Take(), {"CEvtProviderInfoMap::RegisterEvTrace - ProviderInfo.m_szInstanceName is empty\n"}));
}

TEST_F(DiagnosticsTest, ARunningSessionIsFoundByItsQuery) {
    CEvTraceController controller;
    ASSERT_EQ(controller.EnableLogging(1), S_OK);
    CEvTrace::s_hRTSession = 0;
    Take();
    CEvTrace trace;
    ULONG64 handle = 0;
    trace.GetSessionHandle1(handle);
    std::vector<std::string> lines = Take();
    EXPECT_TRUE(InOrder(lines, {"GetSessionHandle1 - ControlTrace succeeded\n"}));
    for (const std::string& line : lines) EXPECT_EQ(line.find("StartTrace"), std::string::npos) << line;
}
