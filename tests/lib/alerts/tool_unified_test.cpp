// The unified log through the tool, as an administrator uses it: the
// switch and levels written to the registry and followed by the running
// engine, lines of any level from any component, and the log followed
// across a rotation.
#include "engine_fixture.h"
#include "unified_fixture.h"

using namespace alerts_test;
using testing_support::ChildProcess;
using testing_support::eventually;

namespace {

class ToolUnifiedTest : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        consumer_test::SetString("SOFTWARE\\Vanta\\Wireless", "InstallDir", "C:\\Suite\\");
    }
    bool Said(const std::string& text) const {
        for (const std::string& line : output_)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(ToolUnifiedTest, SwitchAndLevelsAreWrittenAndTheRunningEngineFollowsThem) {
    ASSERT_EQ(RunTool({"unified", "on"}), 0);
    ASSERT_EQ(RunTool({"unified", "level", "FleetDesk", "ERROR,info"}), 0);
    EXPECT_TRUE(Said("FleetDesk (subkey FleetDesk): 0x05 ERROR,INFO")) << testing::PrintToString(output_);
    ASSERT_EQ(RunTool({"unified", "level", "harborgate", "0x20"}), 0);  // a subkey, in any case
    EXPECT_TRUE(Said("(subkey HarborGATE): 0x20 DEBUG")) << testing::PrintToString(output_);
    EXPECT_EQ(RunTool({"unified", "level", "Bogus", "1"}), 2);
    EXPECT_TRUE(Said("unknown component \"Bogus\"")) << testing::PrintToString(output_);
    EXPECT_EQ(RunTool({"unified", "level", "FleetDesk", "LOUD"}), 2);
    EXPECT_TRUE(Said("unknown level \"LOUD\"")) << testing::PrintToString(output_);
    ASSERT_EQ(RunTool({"unified", "status", "--json"}), 0);
    EXPECT_TRUE(Said("\"enableFlag\":1")) << testing::PrintToString(output_);
    EXPECT_TRUE(Said("{\"component\":\"FleetDesk\",\"levels\":\"ERROR,INFO\",\"mask\":5,\"subkey\":\"FleetDesk\"}"))
        << testing::PrintToString(output_);

    StartEngine();
    ASSERT_EQ(RunTool({"emit", "ul", "ERROR", "an error", "--name", "FleetDesk"}), 0);
    ASSERT_EQ(RunTool({"emit", "ul", "WARN", "a warning", "--name", "FleetDesk"}), 0);
    ASSERT_EQ(RunTool({"emit", "ul", "INFO", "formatted info", "--name", "FleetDesk", "--formatted"}), 0);
    ASSERT_TRUE(eventually([] { return LogHas("formatted info"); }));
    ASSERT_EQ(RunTool({"unified", "level", "FleetDesk", "WARN"}), 0);
    ASSERT_TRUE(eventually([&] {
        EXPECT_EQ(RunTool({"emit", "ul", "WARN", "now a warning", "--name", "FleetDesk", "-q"}), 0);
        return LogHas("now a warning");
    }));
    ASSERT_EQ(RunTool({"unified", "tail", "-n", "10"}), 0);
    std::vector<std::string> shown;
    for (const std::string& line : output_) shown.push_back(Untimed(line));
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[0], "[FleetDesk]: [ERROR] an error");
    EXPECT_NE(shown[1].find("[FleetDesk]: [INFO] [p:0x"), std::string::npos) << shown[1];
    EXPECT_EQ(shown[2], "[FleetDesk]: [WARN] now a warning");
    EXPECT_EQ(RunTool({"emit", "ul", "LOUD", "x"}), 1);
    StopEngine(SIGTERM);
}

TEST_F(ToolUnifiedTest, TailFollowsTheLogAcrossARotation) {
    ASSERT_EQ(RunTool({"unified", "on"}), 0);
    ASSERT_EQ(RunTool({"unified", "level", "FleetDesk", "ERROR"}), 0);
    StartEngine();
    ASSERT_EQ(RunTool({"emit", "ul", "ERROR", "first", "--name", "FleetDesk"}), 0);
    ASSERT_TRUE(eventually([] { return LogHas("first"); }));
    ChildProcess tail = Tool({"unified", "tail", "-f", "-n", "1"});
    EXPECT_EQ(Untimed(tail.read_line()), "[FleetDesk]: [ERROR] first");
    // 5,100 lines of over 1,000 bytes pass 5 MiB: the log rotates.
    ASSERT_EQ(RunTool({"emit", "ul", "ERROR", std::string(1000, 'z'), "--name", "FleetDesk", "--count", "5100",
                       "--retry", "-q"}),
              0);
    ASSERT_TRUE(eventually([] { return consumer_test::FileExists(kBackupPath); }, std::chrono::seconds(30)));
    ASSERT_EQ(RunTool({"emit", "ul", "ERROR", "after the rotation", "--name", "FleetDesk"}), 0);
    int flood = 0;
    for (std::string line; (line = tail.read_line()).find("after the rotation") == std::string::npos;) {
        ASSERT_FALSE(line.empty()) << "tail stopped after " << flood << " lines";
        ++flood;
    }
    EXPECT_EQ(flood, 5100);
    tail.kill(SIGINT);
    EXPECT_EQ(tail.wait(), 0);
    StopEngine(SIGTERM);
}

}  // namespace
