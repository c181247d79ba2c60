// The unified log on a full disk, through the runtime's system-call seam in
// the engine's process: writes that fail and a rotation whose rename fails.
// The engine keeps serving, frees every record (its memory stays flat),
// reports once, keeps the log whole, and logs again when space returns.
#include "unified_fixture.h"

using namespace alerts_test;
using consumer_test::FileExists;
using testing_support::eventually;

namespace {

class UnifiedFaultsTest : public UnifiedTest {
protected:
    void SetUp() override {
        UnifiedTest::SetUp();
        SetEnableFlag(1);
        SetLogLevel("Scaffold", 0x3F);
        SetLogLevel("FleetDesk", 0x01);
        StartEngine();
    }
    long Rss() { return std::stol(Engine("rss")); }
    // Until the engine has taken every message it was posted.
    void Drained() {
        ASSERT_TRUE(eventually([&] { return Engine("registry") == "0"; }, std::chrono::seconds(30)));
    }
};

TEST_F(UnifiedFaultsTest, WritesOnAFullDiskDropLinesFreeTheirRecordsAndLoggingResumes) {
    Sync();
    ASSERT_EQ(Engine("full on"), "ok");
    // The first stretch sets the engine's working set (records in flight
    // while its thread is behind); the second must not add to it: 20,000
    // records of 2.3 KB kept would be 46 MB.
    ASSERT_EQ(Components("flood FleetDesk 55 20000 1000"), "ok");
    Drained();
    [[maybe_unused]] const long before = Rss();
    ASSERT_EQ(Components("flood FleetDesk 55 20000 1000"), "ok");
    ASSERT_EQ(Components("emit FleetDesk 55 the last of the full disk"), "ok");
    Drained();
    EXPECT_EQ(Engine("debug writing"), "1") << "reported once";
#if !defined(__SANITIZE_ADDRESS__)
    // (The address sanitizer keeps freed memory in quarantine; its leak
    // check stands for this one there.)
    EXPECT_LT(Rss() - before, 12 * 1024) << "kB grown while the disk was full";
#endif

    ASSERT_EQ(Engine("full off"), "ok");
    Sync("space is back");
    EXPECT_EQ(Engine("debug is written again"), "1");
    // Whole lines only, and those of the full disk dropped.
    const std::vector<std::string> lines = Lines(ReadDirect(kLogPath));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(Untimed(lines.back()), "[Scaffold]: [ERROR] space is back");
    size_t flooded = 0;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind("[", 0), 0u) << line;
        flooded += line.find("FleetDesk-") != std::string::npos;
    }
    EXPECT_LT(flooded, 40000u);
}

TEST_F(UnifiedFaultsTest, ARotationWhoseRenameFailsKeepsTheLogAndRotatesLater) {
    constexpr size_t kLine = 1046;  // see the rotation test
    constexpr size_t kPassing = kLimit / kLine + 1;
    ASSERT_EQ(Engine("fail rename 1"), "armed");
    ASSERT_EQ(Components("flood FleetDesk 55 " + std::to_string(kPassing) + " 1000"), "ok");
    Sync();
    EXPECT_EQ(Engine("debug rotating"), "1");
    EXPECT_FALSE(FileExists(kBackupPath));
    const size_t grown = Lines(ReadDirect(kLogPath)).size();
    EXPECT_GT(grown, kPassing);
    // A second later the next line rotates it: no line was lost.
    Sleep(1100);
    ASSERT_EQ(Components("emit FleetDesk 55 rotates now"), "ok");
    Sync("after");
    const std::vector<std::string> backup = Lines(ReadDirect(kBackupPath));
    EXPECT_EQ(backup.size(), grown + 1);
    EXPECT_EQ(Untimed(backup.back()), "[FleetDesk]: [ERROR] rotates now");
    for (const std::string& line : UntimedLines(kLogPath)) EXPECT_EQ(line, "[Scaffold]: [ERROR] after");
}

}  // namespace
