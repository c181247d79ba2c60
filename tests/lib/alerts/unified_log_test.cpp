// The unified log with the engine in a process of its own and components
// emitting from another: which lines the level table lets through, the
// switch and its event, levels changed while the engine runs, the exact
// line, rotation with the backup and numbered copies, and a second engine
// kept from the log by the share mode.
#include "unified_fixture.h"

using namespace alerts_test;
using consumer_test::FileExists;
using testing_support::eventually;

namespace {

// The plain and formatted types of each level, in the table's order.
const struct {
    const char* level;
    DWORD plain, formatted;
} kTypes[] = {{"ERROR", 55, 58}, {"WARN", 54, 57},    {"INFO", 53, 56},
              {"NOTICE", 61, 62}, {"VERBOSE", 59, 63}, {"DEBUG", 60, 64}};

class UnifiedLogTest : public UnifiedTest {
protected:
    void SetUp() override {
        UnifiedTest::SetUp();
        SetLogLevel("Scaffold", 0x3F);  // the component that marks synchronisation points
    }
    // Every level's plain and formatted type from a component, texts
    // "<tag> <type>".
    void EmitAllTypes(const std::string& component, const std::string& tag) {
        for (const auto& t : kTypes) {
            for (DWORD type : {t.plain, t.formatted})
                ASSERT_EQ(Components("emit " + component + " " + std::to_string(type) + " " + tag + " " +
                                     std::to_string(type)),
                          "ok");
        }
    }
    // The lines of a component with a tag, without times.
    std::vector<std::string> LinesOf(const std::string& source, const std::string& tag) {
        std::vector<std::string> found;
        for (const std::string& line : UntimedLines(kLogPath)) {
            if (line.rfind("[" + source + "]", 0) == 0 && line.find("] " + tag + " ") != std::string::npos)
                found.push_back(line);
        }
        return found;
    }
    static std::string Line(const std::string& source, const char* level, const std::string& text) {
        return "[" + source + "]: [" + level + "] " + text;
    }
};

TEST_F(UnifiedLogTest, TheLevelTableDecidesWhichLinesAreWritten) {
    SetEnableFlag(1);
    SetLogLevel("FleetDesk", 0x05);   // ERROR and INFO only
    SetLogLevel("QuillWatch", 0x02);  // rows 2, 9 and 10
    SetLogLevel("HarborGATE", 0x20);  // "Harbor Gate" and "HarborGate"
    SetLogLevel("DROP", 0x3F);        // "DROP INBOUND" and "DROP OUTBOUND"
    // "Heronsvc" has no subkey: nothing of it is logged.
    StartEngine();
    for (const char* component : {"FleetDesk", "Quillwatch", "Harbor_Gate", "HarborGate", "DROP_OUTBOUND",
                                  "Heronsvc", "Nobody", "fleetdesk"}) {
        EmitAllTypes(component, "t");
    }
    ASSERT_EQ(Components("emit FleetDesk 52 t 52"), "ok");  // not a unified-log type
    ASSERT_EQ(Components("emit FleetDesk 66 t 66"), "ok");
    Sync();

    EXPECT_EQ(LinesOf("FleetDesk", "t"), (std::vector<std::string>{Line("FleetDesk", "ERROR", "t 55"),
                                                                    Line("FleetDesk", "ERROR", "t 58"),
                                                                    Line("FleetDesk", "INFO", "t 53"),
                                                                    Line("FleetDesk", "INFO", "t 56")}));
    EXPECT_EQ(LinesOf("Quillwatch", "t"),
              (std::vector<std::string>{Line("Quillwatch", "WARN", "t 54"), Line("Quillwatch", "WARN", "t 57")}));
    EXPECT_EQ(LinesOf("Harbor Gate", "t"),
              (std::vector<std::string>{Line("Harbor Gate", "DEBUG", "t 60"), Line("Harbor Gate", "DEBUG", "t 64")}));
    EXPECT_EQ(LinesOf("HarborGate", "t"),
              (std::vector<std::string>{Line("HarborGate", "DEBUG", "t 60"), Line("HarborGate", "DEBUG", "t 64")}));
    EXPECT_EQ(LinesOf("DROP OUTBOUND", "t").size(), 12u);
    for (const char* never : {"Heronsvc", "Nobody", "fleetdesk"}) EXPECT_TRUE(LinesOf(never, "t").empty()) << never;

    // A level changed by another process is followed at once.
    const int before = RegistryChanges();
    SetLogLevel("QuillWatch", 0x08);
    AwaitChange(before);
    EmitAllTypes("Quillwatch", "u");
    Sync("sync2");
    EXPECT_EQ(LinesOf("Quillwatch", "u"),
              (std::vector<std::string>{Line("Quillwatch", "NOTICE", "u 61"), Line("Quillwatch", "NOTICE", "u 62")}));
    // Each line went to the debugger output too.
    EXPECT_EQ(Engine("debug [FleetDesk :"), "4");
}

TEST_F(UnifiedLogTest, TheSwitchAndItsEventFollowEnableFlag) {
    SetEnableFlag(0);
    SetLogLevel("FleetDesk", 0x3F);
    StartEngine();
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, "Global\\UL_ENABLED_EVENT");
    ASSERT_NE(event, nullptr);
    auto eventSet = [&] { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; };
    const struct {
        DWORD flag;
        bool logs;
        bool set;
    } cases[] = {{0, false, false}, {1, true, true}, {2, true, false}, {0x80000001, true, false}, {1, true, true},
                 {0, false, false}};
    int step = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag);
        const int before = RegistryChanges();
        SetEnableFlag(c.flag);
        AwaitChange(before);
        // The change is told before it is read: the event follows.
        EXPECT_TRUE(eventually([&] { return eventSet() == c.set; }));
        const std::string tag = "s" + std::to_string(step++);
        ASSERT_EQ(Components("emit FleetDesk 55 " + tag), "ok");
        if (c.logs) {
            Sync("sync" + tag);
            EXPECT_TRUE(LogHas("[ERROR] " + tag));
        } else {
            // Off: nothing is posted, the marker included.
            ASSERT_EQ(Components("emit Scaffold 55 marker" + tag), "ok");
            Sleep(300);
            EXPECT_FALSE(LogHas(tag));
            EXPECT_EQ(Engine("registry"), "0");
        }
    }
    // Deleting the whole key resets the event and leaves the status.
    SetEnableFlag(1);
    ASSERT_TRUE(eventually(eventSet));
    const int before = RegistryChanges();
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, kUnifiedKey), ERROR_SUCCESS);
    AwaitChange(before);
    EXPECT_TRUE(eventually([&] { return !eventSet(); }));
    CloseHandle(event);
}

TEST_F(UnifiedLogTest, ALineIsDatedInLocalTimeExactly) {
    // An installation folder written without its closing backslash still
    // holds the log.
    consumer_test::SetString("SOFTWARE\\Vanta\\Wireless", "InstallDir", "C:\\Suite");
    SetEnableFlag(1);
    SetLogLevel("Heron", 0x02);
    testing_support::SpawnOptions berlin;
    berlin.env = {"TZ=CET-1CEST,M3.5.0,M10.5.0/3"};
    StartEngine(berlin);
    // 5 April 2013, 07:05:07.042 UTC: 09:05:07.042 summer time in Berlin.
    SYSTEMTIME utc = {2013, 4, 5, 5, 7, 5, 7, 42};
    FILETIME time;
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
    const ULONG64 stamp = (ULONG64(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    ASSERT_EQ(Components("log Heronsvc 54 " + std::to_string(stamp) + " abc"), "ok");
    ASSERT_EQ(Components("emit Heronsvc 54 abc"), "ok");
    // A line longer than 1,499 characters is cut there, and still ends
    // with CR LF: the next line is a line of its own.
    ASSERT_EQ(Components("emit Heronsvc 54 " + std::string(3000, 'y')), "ok");
    Sync();
    const std::string log = ReadDirect(kLogPath);
    EXPECT_NE(log.find("[Heronsvc :20130405 09:05:07.042]: [WARN] [p:0x1234][t:0xbeef]:abc @f.cpp(42)\r\n"),
              std::string::npos)
        << log;
    // A plain line carries the session's time stamp.
    const std::vector<std::string> lines = Lines(log);
    ASSERT_GE(lines.size(), 2u);
    const std::string& plain = lines[1];
    EXPECT_EQ(plain.substr(0, 12), "[Heronsvc :2");
    EXPECT_EQ(plain.substr(plain.size() - 13), "]: [WARN] abc") << plain;
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2].size(), 1497u);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 3), "yyy");
    EXPECT_EQ(Untimed(lines[3]), "[Scaffold]: [ERROR] sync");
}

TEST_F(UnifiedLogTest, TheLogRotatesAfterTheWriteThatPassesFiveMebibytes) {
    SetEnableFlag(1);
    SetLogLevel("FleetDesk", 0x01);
    StartEngine();
    // Texts of 1,000 characters make lines of 1,046 bytes
    // ("[FleetDesk :YYYYMMDD HH:MM:SS.mmm]: [ERROR] " and CR LF): the
    // 5,013th passes the limit.
    constexpr size_t kLine = 1046;
    constexpr size_t kPassing = kLimit / kLine + 1;
    const std::string flood = "flood FleetDesk 55 " + std::to_string(kPassing) + " 1000";
    ASSERT_EQ(Components(flood), "ok");
    Sync();
    const std::string backup = ReadDirect(kBackupPath);
    const std::vector<std::string> rotated = Lines(backup);
    ASSERT_EQ(rotated.size(), kPassing);
    EXPECT_EQ(backup.size(), kPassing * kLine);
    EXPECT_NE(rotated.back().find("FleetDesk-" + std::to_string(kPassing - 1) + " x"), std::string::npos);
    // The new log starts after it.
    for (const std::string& line : UntimedLines(kLogPath)) EXPECT_EQ(line, "[Scaffold]: [ERROR] sync");
    EXPECT_FALSE(FileExists(std::string(kLogPath) + "0.log"));

    // With numbered copies: each rotation also keeps a copy, and the backup
    // is replaced.
    const int before = RegistryChanges();
    SetEnableFlag(0x80000001);
    AwaitChange(before);
    ASSERT_EQ(Components(flood), "ok");
    Sync("sync2");
    const std::string second = ReadDirect(kBackupPath);
    EXPECT_NE(second, backup);
    EXPECT_GT(second.size(), kLimit);
    EXPECT_LE(second.size(), kLimit + kLine);
    EXPECT_EQ(Lines(second).back().find("[FleetDesk :"), 0u);
    EXPECT_EQ(ReadDirect(std::string(kLogPath) + "0.log"), second);
    EXPECT_FALSE(FileExists(std::string(kLogPath) + "1.log"));
    // The synchronisation lines before the flood moved the rotation a line
    // or so earlier; no flood line is lost.
    size_t flooded = 0;
    for (const std::string& line : Lines(second)) flooded += line.find("FleetDesk-") != std::string::npos;
    for (const std::string& line : Lines(ReadDirect(kLogPath))) flooded += line.find("FleetDesk-") != std::string::npos;
    EXPECT_EQ(flooded, kPassing);
}

TEST_F(UnifiedLogTest, ASecondEngineCannotWriteTheLog) {
    SetEnableFlag(1);
    SetLogLevel("FleetDesk", 0x01);
    StartEngine();
    testing_support::ChildProcess second = testing_support::spawn_helper("ul_engine");
    ASSERT_TRUE(second.expect_line("serving"));
    // Its log thread opens the log after the alerter listens.
    auto saidOnce = [&](const std::string& text) {
        return testing_support::eventually([&] {
            second.write_line("debug " + text);
            return second.read_line() == "1";
        });
    };
    EXPECT_TRUE(saidOnce("Server already running by another process"));
    EXPECT_TRUE(saidOnce("Invalid handle"));
    ASSERT_EQ(Components("emit FleetDesk 55 once"), "ok");
    Sync();
    second.write_line("quit");
    EXPECT_EQ(second.wait(), 0);
    // Both engines handled the line; only the first wrote it.
    int count = 0;
    for (const std::string& line : UntimedLines(kLogPath)) count += line == "[FleetDesk]: [ERROR] once";
    EXPECT_EQ(count, 1);
}

}  // namespace
