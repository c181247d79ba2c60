// Infosets opened from binary event logs, walked with the cursor, and the
// log files CreateLogFile writes in both formats.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <w32rt/testing.h>

#include <errno.h>

#include <string>
#include <tuple>
#include <vector>

#include "consumer_fixture.h"

using namespace consumer_test;

namespace {

using Texts = std::vector<std::string>;
using Images = std::vector<std::vector<uint8_t>>;

class InfosetTest : public ConsumerTest {
protected:
    void SetUp() override {
        ConsumerTest::SetUp();
        setenv("TZ", "UTC", 1);
        InstallDatabase("4097||alert|#|\n8193||another|#|\n");
        ASSERT_EQ(EvtInitialize(2), S_OK);
    }

    // Writes the records; an empty image stands for a null entry.
    static LONG Write(const std::string& path, Images images, ULONG format = 0) {
        std::vector<_VANTA_EVTRACE_DATA*> records;
        for (auto& image : images) records.push_back(image.empty() ? nullptr : AsRecord(image));
        _EVT_RECORD_LIST list = {DWORD(records.size()), records.data()};
        return CreateLogFile(path.c_str(), &list, format);
    }

    // A failed open leaves the handle 0, and only a failed one.
    static ULONG Open(const std::string& path, ULONG type = 0, LONG expect = S_OK) {
        ULONG handle = 99;
        EXPECT_EQ(OpenInfosetHandle(&handle, path.c_str(), type), expect) << path;
        EXPECT_EQ(handle == 0, expect != S_OK) << path;
        return handle;
    }
};

TEST_F(InfosetTest, BinaryLogsAnnounceEveryEntryHoldSizedImagesAndRoundTripThroughAnInfoset) {
    Images images = {{}, RecordImage("alpha"), {}, RecordImage("")};
    for (int i = 0; i < 50; ++i) images.push_back(RecordImage("record " + std::to_string(i)));  // past 64 KiB
    ASSERT_EQ(Write("C:\\log.bin", images), S_OK);
    const std::string bytes = ReadWholeFile("C:\\log.bin");
    uint32_t words[5];
    memcpy(words, bytes.data(), sizeof words);
    EXPECT_EQ(std::vector<uint32_t>(words, words + 4), (std::vector<uint32_t>{4, 0x00010000, 54, 1326}));
    EXPECT_EQ(memcmp(bytes.data() + 16, images[1].data(), 1326), 0);
    // Written again from the infoset's records, the file is the same but
    // for the count, which announced the null entries too.
    std::vector<_VANTA_EVTRACE_DATA*> walked;
    _VANTA_EVTRACE_DATA* r = nullptr;
    const ULONG h = Open("C:\\log.bin");
    for (LONG res = GetFirstEvTrace(h, &r); res == S_OK; res = GetNextEvTrace(h, &r)) walked.push_back(r);
    ASSERT_EQ(walked.size(), 52u);
    EXPECT_EQ(RecordText(walked[0]), "alpha");
    _EVT_RECORD_LIST again = {DWORD(walked.size()), walked.data()};
    ASSERT_EQ(CreateLogFile("C:\\again.bin", &again, 0), S_OK);
    EXPECT_EQ(ReadWholeFile("C:\\again.bin"), bytes.substr(0, 8) + std::string("\x34\0\0\0", 4) + bytes.substr(12));
}

TEST_F(InfosetTest, TheCursorWalksForwardAndBackward) {
    ASSERT_EQ(Write("C:\\walk.bin", {RecordImage("one"), RecordImage("two"), RecordImage("three")}), S_OK);
    ULONG h = Open("C:\\walk.bin");
    ULONG count = 0;
    EXPECT_EQ(CountEvTrace(h, &count), S_OK);
    EXPECT_EQ(count, 3u);
    // Next and previous need a positioned cursor. At the end next fails and
    // leaves the caller's pointer as it was; at the start previous fails and
    // clears it. A failed move leaves the cursor where it was.
    using Move = LONG (*)(ULONG, _VANTA_EVTRACE_DATA**);
    const std::tuple<Move, LONG, const char*> moves[] = {
        {GetNextEvTrace, EVT_E_POINTER, "as it was"}, {GetPreviousEvTrace, EVT_E_POINTER, "null"},
        {GetLastEvTrace, S_OK, "three"},              {GetNextEvTrace, EVT_E_POINTER, "three"},
        {GetPreviousEvTrace, S_OK, "two"},            {GetFirstEvTrace, S_OK, "one"},
        {GetPreviousEvTrace, EVT_E_POINTER, "null"},  {GetNextEvTrace, S_OK, "two"},
    };
    std::vector<uint8_t> before = RecordImage("as it was");
    _VANTA_EVTRACE_DATA* r = AsRecord(before);
    for (const auto& [move, result, text] : moves) {
        EXPECT_EQ(move(h, &r), result) << text;
        EXPECT_EQ(r == nullptr ? "null" : RecordText(r), text);
    }
    // Records stay valid until the infoset is closed.
    _VANTA_EVTRACE_DATA* kept = r;
    ASSERT_EQ(GetLastEvTrace(h, &r), S_OK);
    EXPECT_EQ(RecordText(kept), "two");
    EXPECT_EQ(CloseInfosetHandle(h), S_OK);
    EXPECT_EQ(CloseInfosetHandle(h), EVT_E_NOINFOSET);
    EXPECT_EQ(GetFirstEvTrace(h, &r), EVT_E_NOINFOSET);
    // An empty infoset has no record in any direction.
    ASSERT_EQ(Write("C:\\empty.bin", {}), S_OK);
    h = Open("C:\\empty.bin");
    EXPECT_EQ(CountEvTrace(h, &count), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastEvTrace(h, &r), EVT_E_POINTER);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(GetNextEvTrace(h, &r), EVT_E_POINTER);
}

TEST_F(InfosetTest, FailedOpensLeaveNoInfosetAndHandlesRunFromOneToTwentySix) {
    Open("C:\\missing.bin", 0, EVT_E_NOFILEACCESS);
    ASSERT_EQ(Write("C:\\cut.bin", {RecordImage("complete"), RecordImage("complete")}), S_OK);
    const std::string bytes = ReadWholeFile("C:\\cut.bin");
    WriteWholeFile("C:\\cut.bin", bytes.substr(0, bytes.size() - 20));
    Open("C:\\cut.bin", 0, EVT_E_NOFILEACCESS);
    ASSERT_EQ(Write("C:\\alerts.bin", {RecordImage("a", 4097), RecordImage("b", 1), RecordImage("c", 8193)}), S_OK);
    Open("C:\\alerts.bin", 2, EVT_E_BADINFOSETTYPE);
    EXPECT_EQ(OpenInfosetHandle(nullptr, "C:\\alerts.bin", 0), EVT_E_POINTER);
    // Without the engine's events there is no live snapshot at all.
    ULONG h = 99;
    EXPECT_EQ(OpenInfosetHandle(&h, nullptr, 0), EVT_E_NOINFOSET);
    EXPECT_EQ(h, 0u);
    // None of these left an infoset: the numbers start at 1.
    EXPECT_EQ(Open("C:\\alerts.bin", 1), 1u);
    EXPECT_EQ(InfosetTexts(1), (Texts{"a", "c"}));  // an alert infoset holds only the alerts
    HANDLE start = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_START_EVENT");
    HANDLE end = CreateEventA(nullptr, FALSE, FALSE, "Global\\VANTA_EVT_SNAPSHOT_END_EVENT");
    for (ULONG expected = 2; expected <= 24; ++expected) EXPECT_EQ(Open("C:\\alerts.bin"), expected);
    // A live snapshot is refused before the engine is asked.
    EXPECT_EQ(OpenInfosetHandle(&h, nullptr, 0), EVT_E_TOOMANYINFOSETS);
    EXPECT_EQ(WaitForSingleObject(start, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(Open("C:\\alerts.bin"), 25u);
    EXPECT_EQ(Open("C:\\alerts.bin"), 26u);
    Open("C:\\alerts.bin", 0, EVT_E_HANDLEINUSE);
    ASSERT_EQ(CloseInfosetHandle(7), S_OK);
    EXPECT_EQ(Open("C:\\alerts.bin"), 7u);  // a closed number is the next one chosen
    EXPECT_EQ(CloseInfosetHandle(0), EVT_E_NOINFOSET);
    CloseHandle(start);
    CloseHandle(end);
}

TEST_F(InfosetTest, AFailedLogLeavesWhatStoodAtThePathAsItWas) {
    EXPECT_EQ(Write("C:\\fmt2.bin", {RecordImage("a")}, 2), EVT_E_BADLOGFORMAT);
    _EVT_RECORD_LIST list = {1, nullptr};
    EXPECT_EQ(CreateLogFile("C:\\null.bin", &list, 0), EVT_E_POINTER);
    EXPECT_EQ(CreateLogFile("C:\\null.bin", nullptr, 0), EVT_E_POINTER);
    EXPECT_EQ(CreateLogFile(nullptr, &list, 0), EVT_E_POINTER);
    EXPECT_EQ(Write("C:\\NoSuchFolder\\x.bin", {RecordImage("a")}), EVT_E_NOINFOSET);
    for (const char* path : {"C:\\fmt2.bin", "C:\\null.bin"}) EXPECT_FALSE(FileExists(path)) << path;

    // A write, the flush or the rename failing: an older log of that name
    // survives byte for byte, a new one is not made, no temporary file stays.
    ASSERT_EQ(Write("C:\\full.bin", {RecordImage("older")}), S_OK);
    const std::string older = ReadWholeFile("C:\\full.bin");
    struct Fault {
        const char* call;
        int error;
        const char* path;
        ULONG format;
        LONG expected;
    };
    for (const Fault& fault : {Fault{"write", ENOSPC, "C:\\full.bin", 0, EVT_E_LOGWRITE},
                               Fault{"fsync", EIO, "C:\\full.bin", 0, EVT_E_NOINFOSET},
                               Fault{"rename", EACCES, "C:\\full.bin", 1, EVT_E_NOINFOSET},
                               Fault{"write", EIO, "C:\\new.txt", 1, EVT_E_NOINFOSET}}) {
        w32rt_fail_syscall(fault.call, 1, fault.error);
        EXPECT_EQ(Write(fault.path, {RecordImage("newer")}, fault.format), fault.expected) << fault.call;
        w32rt_clear_syscall_faults();
    }
    EXPECT_EQ(ReadWholeFile("C:\\full.bin"), older);
    EXPECT_FALSE(FileExists("C:\\new.txt"));
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("C:\\*.tmp", &found);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << found.cFileName;
    if (find != INVALID_HANDLE_VALUE) FindClose(find);

    // A folder is refused and kept; a device is written in place, not replaced.
    ASSERT_TRUE(CreateDirectoryA("C:\\folder.bin", nullptr));
    EXPECT_EQ(Write("C:\\folder.bin", {RecordImage("a")}), EVT_E_NOINFOSET);
    EXPECT_EQ(GetFileAttributesA("C:\\folder.bin") & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(Write("/dev/null", {RecordImage("a")}), S_OK);
    EXPECT_NE(GetFileAttributesA("/dev/null") & FILE_ATTRIBUTE_DEVICE, 0u);
}

TEST_F(InfosetTest, TextLogsHaveAHeaderLocalizedOnceAndRowsNumberedOverTheRecords) {
    const int64_t time = 130071387090000000LL;  // 2013-03-07 14:05:09 UTC
    const std::string longTitle(200, 'T');
    const char* titles[7] = {"Nr", "Quelle", nullptr, "Schweregrad", "Bereich", "Benutzer", longTitle.c_str()};
    ASSERT_EQ(SetLocalizedHeader(titles), S_OK);
    ASSERT_EQ(Write("C:\\log.csv",
                    {RecordImage("first text", 0x80000001, "Svc", "alice", time), {},
                     RecordImage("second", 0x0000C800, "", "", time),
                     RecordImage(std::string(1100, 'z'), 0x80000800 | 0xE000, "Drv", "bob", time)},
                    1),
              S_OK);
    EXPECT_EQ(ReadWholeFile("C:\\log.csv"),
              "Nr,Quelle,Time,Schweregrad,Bereich,Benutzer," + std::string(127, 'T') +
                  "\r\n"
                  "1,Svc,03/07/2013 14:05:09,Error,Connection,alice,first text\r\n"
                  "2,Not Specified,03/07/2013 14:05:09,Information,EvTrace,Not Specified,second\r\n"
                  "3,Drv,03/07/2013 14:05:09,Warning,Driver,bob," +
                  std::string(1020, 'z') + "...\r\n");
    ASSERT_EQ(Write("C:\\second.csv", {}, 1), S_OK);
    EXPECT_EQ(ReadWholeFile("C:\\second.csv"), "#Event,Source,Time,Error Severity,Domain,User,Description\r\n");
}

}  // namespace
