// Infosets opened from binary event logs, walked with the cursor, and the
// log files CreateLogFile writes in both formats.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <w32rt/testing.h>

#include <errno.h>

#include <string>
#include <vector>

#include "consumer_fixture.h"
#include "event_builder.h"

using namespace consumer_test;

namespace {

// A record as the consumer makes them: fixed part, text, 9 zero bytes.
struct Record {
    std::vector<uint8_t> bytes;
    explicit Record(const std::string& text, DWORD code = 0x1001, const std::string& source = "Source",
                    const std::string& user = "user", int64_t time = 0x01D9000000000000LL) {
        bytes.assign(1321 + text.size(), 0);
        PutU32(bytes, 0, uint32_t(text.size()));
        PutText(bytes, 4, source, 255);
        PutU64(bytes, 264, uint64_t(time));
        PutU32(bytes, 272, 51);
        PutU32(bytes, 276, code);
        PutText(bytes, 280, user, 255);
        memcpy(bytes.data() + 1312, text.data(), text.size());
    }
    _VANTA_EVTRACE_DATA* get() { return reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes.data()); }
};

class InfosetTest : public ConsumerTest {
protected:
    void SetUp() override {
        ConsumerTest::SetUp();
        setenv("TZ", "UTC", 1);
    }

    // Writes the records (null entries where the pointer is null).
    LONG Write(const std::string& path, std::vector<_VANTA_EVTRACE_DATA*> records, ULONG format = 0) {
        _EVT_RECORD_LIST list = {DWORD(records.size()), records.data()};
        return CreateLogFile(path.c_str(), &list, format);
    }

    ULONG Open(const std::string& path, ULONG type = 0, LONG expect = S_OK) {
        ULONG handle = 99;
        EXPECT_EQ(OpenInfosetHandle(&handle, path.c_str(), type), expect) << path;
        if (expect != S_OK) {
            EXPECT_EQ(handle, 0u);
        }
        return handle;
    }

    static std::string Text(_VANTA_EVTRACE_DATA* r) { return r ? RecordText(r) : "<null>"; }
};

TEST_F(InfosetTest, BinaryLogsHaveAHeaderACountAndSizedImages) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record a("alpha"), b("");
    ASSERT_EQ(Write("C:\\log.bin", {a.get(), nullptr, b.get()}), S_OK);
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile("C:\\log.bin", &bytes));
    ASSERT_EQ(bytes.size(), 12u + 4 + 1326 + 4 + 1321);
    uint32_t words[4];
    memcpy(words, bytes.data(), 16);
    EXPECT_EQ(words[0], 4u);
    EXPECT_EQ(words[1], 0x00010000u);
    EXPECT_EQ(words[2], 3u);  // null entries are announced too
    EXPECT_EQ(words[3], 1326u);
    EXPECT_EQ(memcmp(bytes.data() + 16, a.bytes.data(), 1326), 0);
}

TEST_F(InfosetTest, TheCursorWalksForwardAndBackward) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record r1("one"), r2("two"), r3("three");
    ASSERT_EQ(Write("C:\\walk.bin", {r1.get(), r2.get(), r3.get()}), S_OK);
    ULONG h = Open("C:\\walk.bin");
    ULONG count = 0;
    EXPECT_EQ(CountEvTrace(h, &count), S_OK);
    EXPECT_EQ(count, 3u);

    _VANTA_EVTRACE_DATA* r = nullptr;
    // Next and previous need a positioned cursor.
    EXPECT_EQ(GetNextEvTrace(h, &r), EVT_E_POINTER);
    EXPECT_EQ(GetPreviousEvTrace(h, &r), EVT_E_POINTER);
    ASSERT_EQ(GetFirstEvTrace(h, &r), S_OK);
    EXPECT_EQ(Text(r), "one");
    ASSERT_EQ(GetNextEvTrace(h, &r), S_OK);
    EXPECT_EQ(Text(r), "two");
    ASSERT_EQ(GetNextEvTrace(h, &r), S_OK);
    EXPECT_EQ(Text(r), "three");
    // At the end next fails and leaves the caller's pointer as it was.
    _VANTA_EVTRACE_DATA* last = r;
    EXPECT_EQ(GetNextEvTrace(h, &r), EVT_E_POINTER);
    EXPECT_EQ(r, last);
    ASSERT_EQ(GetPreviousEvTrace(h, &r), S_OK);
    EXPECT_EQ(Text(r), "two");
    ASSERT_EQ(GetLastEvTrace(h, &r), S_OK);
    EXPECT_EQ(Text(r), "three");
    ASSERT_EQ(GetFirstEvTrace(h, &r), S_OK);
    // At the start previous fails and clears the caller's pointer.
    EXPECT_EQ(GetPreviousEvTrace(h, &r), EVT_E_POINTER);
    EXPECT_EQ(r, nullptr);
    ASSERT_EQ(GetNextEvTrace(h, &r), S_OK);  // the cursor stayed on the first record
    EXPECT_EQ(Text(r), "two");
    // Records stay valid until the infoset is closed.
    _VANTA_EVTRACE_DATA* kept = r;
    ASSERT_EQ(GetLastEvTrace(h, &r), S_OK);
    EXPECT_EQ(Text(kept), "two");
    EXPECT_EQ(CloseInfosetHandle(h), S_OK);
    EXPECT_EQ(CloseInfosetHandle(h), EVT_E_NOINFOSET);
    EXPECT_EQ(GetFirstEvTrace(h, &r), EVT_E_NOINFOSET);
    EXPECT_EQ(CountEvTrace(h, &count), EVT_E_NOINFOSET);
    EXPECT_EQ(count, 0u);
}

TEST_F(InfosetTest, HandlesRunFromOneToTwentySix) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record r("x");
    ASSERT_EQ(Write("C:\\many.bin", {r.get()}), S_OK);
    for (ULONG expected = 1; expected <= 26; ++expected) EXPECT_EQ(Open("C:\\many.bin"), expected);
    Open("C:\\many.bin", 0, EVT_E_HANDLEINUSE);
    // A closed number is the next one chosen.
    ASSERT_EQ(CloseInfosetHandle(7), S_OK);
    EXPECT_EQ(Open("C:\\many.bin"), 7u);
    EXPECT_EQ(CloseInfosetHandle(0), EVT_E_NOINFOSET);
}

TEST_F(InfosetTest, ALiveSnapshotNeedsANumberBelowTwentyFive) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record r("x");
    ASSERT_EQ(Write("C:\\many.bin", {r.get()}), S_OK);
    // Without the engine's events there is no snapshot at all.
    ULONG h = 99;
    EXPECT_EQ(OpenInfosetHandle(&h, nullptr, 0), EVT_E_NOINFOSET);
    EXPECT_EQ(h, 0u);
    HANDLE start = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_START_EVENT");
    HANDLE end = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_END_EVENT");
    for (int i = 0; i < 24; ++i) Open("C:\\many.bin");
    EXPECT_EQ(OpenInfosetHandle(&h, nullptr, 0), EVT_E_TOOMANYINFOSETS);
    // Refused before the engine was asked.
    EXPECT_EQ(WaitForSingleObject(start, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(start);
    CloseHandle(end);
}

TEST_F(InfosetTest, FilesOfOtherFormatsOpenEmpty) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    std::string other(12, '\0');
    other[0] = 5;
    Record record("x");
    ASSERT_TRUE(WriteWholeFile("C:\\other.bin", other + std::string(record.bytes.begin(), record.bytes.end())));
    ULONG h = Open("C:\\other.bin");
    ULONG count = 9;
    EXPECT_EQ(CountEvTrace(h, &count), S_OK);
    EXPECT_EQ(count, 0u);
    _VANTA_EVTRACE_DATA* r = reinterpret_cast<_VANTA_EVTRACE_DATA*>(0x1);
    EXPECT_EQ(GetFirstEvTrace(h, &r), EVT_E_POINTER);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(GetNextEvTrace(h, &r), EVT_E_POINTER);
}

TEST_F(InfosetTest, UnreadableFilesAndBadArgumentsFail) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Open("C:\\missing.bin", 0, EVT_E_NOFILEACCESS);
    ASSERT_TRUE(WriteWholeFile("C:\\short.bin", std::string("\x04\x00\x00", 3)));
    Open("C:\\short.bin", 0, EVT_E_NOFILEACCESS);
    // A record cut short by the end of the file.
    Record r("complete");
    ASSERT_EQ(Write("C:\\cut.bin", {r.get(), r.get()}), S_OK);
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile("C:\\cut.bin", &bytes));
    ASSERT_TRUE(WriteWholeFile("C:\\cut.bin", bytes.substr(0, bytes.size() - 20)));
    Open("C:\\cut.bin", 0, EVT_E_NOFILEACCESS);

    Record ok("x");
    ASSERT_EQ(Write("C:\\ok.bin", {ok.get()}), S_OK);
    Open("C:\\ok.bin", 2, EVT_E_BADINFOSETTYPE);
    EXPECT_EQ(OpenInfosetHandle(nullptr, "C:\\ok.bin", 0), EVT_E_POINTER);
    // A failed open leaves no infoset: the next number is still 1.
    EXPECT_EQ(Open("C:\\ok.bin"), 1u);
}

TEST_F(InfosetTest, LogsWithNullEntriesOpenWithTheRecordsTheyHold) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record a("a"), b("b");
    ASSERT_EQ(Write("C:\\nulls.bin", {nullptr, a.get(), nullptr, b.get(), nullptr}), S_OK);
    ULONG h = Open("C:\\nulls.bin");
    ULONG count = 0;
    ASSERT_EQ(CountEvTrace(h, &count), S_OK);
    EXPECT_EQ(count, 2u);
}

TEST_F(InfosetTest, AlertInfosetsKeepOnlyAlertableCodes) {
    InstallDatabase("4097||alert|#|\n8193||another|#|\n");
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record a("a", 4097), b("b", 1), c("c", 8193), d("d", 0);
    ASSERT_EQ(Write("C:\\alerts.bin", {a.get(), b.get(), c.get(), d.get()}), S_OK);
    ULONG h = Open("C:\\alerts.bin", 1);
    ULONG count = 0;
    ASSERT_EQ(CountEvTrace(h, &count), S_OK);
    EXPECT_EQ(count, 2u);
    _VANTA_EVTRACE_DATA* r = nullptr;
    ASSERT_EQ(GetLastEvTrace(h, &r), S_OK);
    EXPECT_EQ(Text(r), "c");
}

TEST_F(InfosetTest, CreateLogFileRefusesBadArgumentsWithoutCreatingAFile) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record a("a");
    EXPECT_EQ(Write("C:\\fmt2.bin", {a.get()}, 2), EVT_E_BADLOGFORMAT);
    EXPECT_FALSE(FileExists("C:\\fmt2.bin"));
    _EVT_RECORD_LIST list = {1, nullptr};
    EXPECT_EQ(CreateLogFile("C:\\null.bin", &list, 0), EVT_E_POINTER);
    EXPECT_EQ(CreateLogFile("C:\\null.bin", nullptr, 0), EVT_E_POINTER);
    EXPECT_EQ(CreateLogFile(nullptr, &list, 0), EVT_E_POINTER);
    EXPECT_FALSE(FileExists("C:\\null.bin"));
    EXPECT_EQ(Write("C:\\NoSuchFolder\\x.bin", {a.get()}), EVT_E_NOINFOSET);
}

TEST_F(InfosetTest, AFailedWriteLeavesNoFileBehind) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    Record a("a");
    ASSERT_EQ(Write("C:\\full.bin", {a.get()}), S_OK);  // an older log of that name goes too
    w32rt_fail_syscall("write", 1, ENOSPC);
    EXPECT_EQ(Write("C:\\full.bin", {a.get()}), EVT_E_LOGWRITE);
    w32rt_clear_syscall_faults();
    EXPECT_FALSE(FileExists("C:\\full.bin"));
    w32rt_fail_syscall("write", 1, EIO);
    EXPECT_EQ(Write("C:\\full.txt", {a.get()}, 1), EVT_E_NOINFOSET);
    w32rt_clear_syscall_faults();
    EXPECT_FALSE(FileExists("C:\\full.txt"));
}

TEST_F(InfosetTest, TextLogsHaveAHeaderAndNumberedRows) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    // 2013-03-07 14:05:09 UTC.
    const int64_t time = 130071387090000000LL;
    Record a("first text", 0x80000001, "Svc", "alice", time);
    Record b("second", 0x0000C800, "", "", time);
    Record c(std::string(1100, 'z'), 0x80000800 | 0xE000, "Drv", "bob", time);
    ASSERT_EQ(Write("C:\\log.csv", {a.get(), nullptr, b.get(), c.get()}, 1), S_OK);
    std::string text;
    ASSERT_TRUE(ReadWholeFile("C:\\log.csv", &text));
    const std::string expected =
        "#Event,Source,Time,Error Severity,Domain,User,Description\r\n"
        "1,Svc,03/07/2013 14:05:09,Error,Connection,alice,first text\r\n"
        "2,Not Specified,03/07/2013 14:05:09,Information,EvTrace,Not Specified,second\r\n"
        "3,Drv,03/07/2013 14:05:09,Warning,Driver,bob," +
        std::string(1020, 'z') + "...\r\n";
    EXPECT_EQ(text, expected);
}

TEST_F(InfosetTest, ALocalizedHeaderServesOneHeaderOnly) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    const char* titles[7] = {"Nr", "Quelle", nullptr, "Schweregrad", "Bereich", "Benutzer", nullptr};
    std::string longTitle(200, 'T');
    titles[6] = longTitle.c_str();
    ASSERT_EQ(SetLocalizedHeader(titles), S_OK);
    std::vector<_VANTA_EVTRACE_DATA*> none;
    ASSERT_EQ(Write("C:\\first.csv", none, 1), S_OK);
    ASSERT_EQ(Write("C:\\second.csv", none, 1), S_OK);
    std::string first, second;
    ASSERT_TRUE(ReadWholeFile("C:\\first.csv", &first));
    ASSERT_TRUE(ReadWholeFile("C:\\second.csv", &second));
    EXPECT_EQ(first, "Nr,Quelle,Time,Schweregrad,Bereich,Benutzer," + std::string(127, 'T') + "\r\n");
    EXPECT_EQ(second, "#Event,Source,Time,Error Severity,Domain,User,Description\r\n");
}

TEST_F(InfosetTest, LogsRoundTripThroughAnInfoset) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    std::vector<Record> records;
    for (int i = 0; i < 50; ++i) records.emplace_back("record " + std::to_string(i), 0x1000 + i);
    std::vector<_VANTA_EVTRACE_DATA*> list;
    for (Record& r : records) list.push_back(r.get());
    ASSERT_EQ(Write("C:\\round.bin", list), S_OK);
    ULONG h = Open("C:\\round.bin");
    std::vector<_VANTA_EVTRACE_DATA*> walked;
    _VANTA_EVTRACE_DATA* r = nullptr;
    for (LONG res = GetFirstEvTrace(h, &r); res == S_OK; res = GetNextEvTrace(h, &r)) walked.push_back(r);
    ASSERT_EQ(walked.size(), 50u);
    // Written again from the infoset's records, the file is the same.
    _EVT_RECORD_LIST again = {DWORD(walked.size()), walked.data()};
    ASSERT_EQ(CreateLogFile("C:\\again.bin", &again, 0), S_OK);
    std::string one, two;
    ASSERT_TRUE(ReadWholeFile("C:\\round.bin", &one));
    ASSERT_TRUE(ReadWholeFile("C:\\again.bin", &two));
    EXPECT_EQ(one, two);
}

}  // namespace
