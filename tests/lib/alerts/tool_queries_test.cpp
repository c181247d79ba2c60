// The alert queries of the tool as a user meets them: what each answers,
// and the words and exit codes of what it cannot answer.
#include "alerts_fixture.h"
#include "engine_fixture.h"

using namespace alerts_test;

namespace {

class ToolQueriesTest : public EngineFixture {
protected:
    bool Said(const std::string& text) const {
        for (const std::string& line : output_)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    std::string Output() const { return testing::PrintToString(output_); }
};

TEST_F(ToolQueriesTest, TheAlertListHelpAndHintsComeFromTheDatabase) {
    ASSERT_EQ(RunTool({"alerts", "list"}), 0);
    EXPECT_TRUE(Said("0x80000001  Error       Connection    Connection lost")) << Output();
    EXPECT_TRUE(Said("0x80000803  Warning     Connection    Weak signal")) << Output();
    EXPECT_TRUE(Said("0x80001001  Error       Security      Authentication failed")) << Output();
    EXPECT_TRUE(Said("4 alerts")) << Output();

    ASSERT_EQ(RunTool({"alerts", "help", "0x80000001"}), 0);
    EXPECT_TRUE(Said("Alert 0x80000001 (2147483649): Connection lost")) << Output();
    EXPECT_TRUE(Said("what       The link was lost.")) << Output();
    EXPECT_TRUE(Said("hints      1. Move closer")) << Output();
    EXPECT_TRUE(Said("3. Connect again")) << Output();
    EXPECT_TRUE(Said("help topic HLP_LOST")) << Output();

    ASSERT_EQ(RunTool({"alerts", "hints", "2147483649"}), 0);
    EXPECT_EQ(output_, (std::vector<std::string>{"1. Move closer", "2. Check the access point", "3. Connect again"}));

    // Digits found inside another entry do not make an alert.
    for (const char* code : {"12", "0x1001", "1"}) {
        EXPECT_EQ(RunTool({"alerts", "help", code}), 3) << code;
        EXPECT_TRUE(Said("is not an alert of the event database")) << Output();
        EXPECT_EQ(RunTool({"alerts", "hints", code}), 3) << code;
    }
    EXPECT_NE(RunTool({"alerts", "help", "nonsense"}), 0);
    EXPECT_TRUE(Said("event code \"nonsense\": not a 32-bit number")) << Output();
}

TEST_F(ToolQueriesTest, HistoryProvidersAndWaitingSayWhatIsMissing) {
    ASSERT_EQ(RunTool({"alerts", "history"}), 0);
    EXPECT_TRUE(Said("no alert history yet")) << Output();
    ASSERT_EQ(RunTool({"alerts", "history", "--json"}), 0);
    EXPECT_TRUE(Said("[]")) << Output();

    EXPECT_EQ(RunTool({"alerts", "wait", "--timeout", "1"}), 3);
    EXPECT_TRUE(Said("no event engine runs on this machine root")) << Output();
    EXPECT_NE(RunTool({"alerts", "wait", "--timeout", "-1"}), 0);

    StartEngine();
    EXPECT_EQ(RunTool({"alerts", "wait", "--count", "1", "--timeout", "0.5"}), 4);
    EXPECT_TRUE(Said("0 of 1 alerts came within 0.5 s")) << Output();

    Emit("Scaffold", kNotAnAlert, "registers a provider");
    ASSERT_EQ(RunTool({"providers", "--json"}), 0);
    EXPECT_TRUE(Said("\"Scaffold\"")) << Output();
}

}  // namespace
