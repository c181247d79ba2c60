// The forward queue on disk: order, limits, commits, and what it finds after
// a crash: a torn tail cut off and counted, a damaged segment skipped and
// counted, a torn cursor slot, a loss report written before the crash, and
// appends killed at any moment by SIGKILL in another process.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "forward/spool.h"
#include "test_support.h"

using namespace evtrace::forward;
using testing_support::ChildProcess;

namespace {

class SpoolTest : public testing_support::MachineTest {
protected:
    std::string Folder() { return root() + "/queue"; }

    static std::string Payload(uint64_t n, size_t size = 100) {
        std::string text = "message " + std::to_string(n) + " ";
        text.resize(size, char('a' + n % 26));
        return text;
    }
    static void AppendRange(Spool& spool, uint64_t first, uint64_t count, size_t size = 100) {
        std::vector<std::string> texts;
        std::vector<Spool::Item> items;
        for (uint64_t n = first; n < first + count; ++n) texts.push_back(Payload(n, size));
        for (const std::string& t : texts) items.push_back({t, 0});
        bool diskError = false;
        std::string why;
        ASSERT_EQ(spool.Append(items.data(), items.size(), &diskError, &why), items.size()) << why;
    }
    // Everything readable from `from` on, as payloads.
    static std::vector<std::string> ReadAll(Spool& spool, SpoolPosition from, uint64_t* damaged = nullptr,
                                            SpoolPosition* end = nullptr) {
        std::vector<std::string> out;
        std::vector<SpoolRecord> records;
        std::string storage;
        uint64_t lost = 0;
        while (spool.Read(&from, 4096, &records, &storage, &lost))
            for (const SpoolRecord& r : records) out.emplace_back(r.payload);
        if (damaged) *damaged = lost;
        if (end) *end = from;
        return out;
    }
    static std::vector<std::string> Payloads(uint64_t first, uint64_t count, size_t size = 100) {
        std::vector<std::string> out;
        for (uint64_t n = first; n < first + count; ++n) out.push_back(Payload(n, size));
        return out;
    }
    std::vector<std::string> Segments() {
        std::vector<std::string> names;
        DIR* dir = opendir(Folder().c_str());
        while (dirent* e = dir ? readdir(dir) : nullptr)
            if (strstr(e->d_name, ".seg")) names.push_back(e->d_name);
        if (dir) closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }
    void Open(Spool& spool, uint64_t limit = 64 << 20, std::vector<std::string>* notes = nullptr) {
        std::string error;
        ASSERT_TRUE(spool.Open(Folder(), limit, &error, notes)) << error;
    }
};

TEST_F(SpoolTest, RecordsComeBackInOrderAcrossSegmentsAndAReopen) {
    {
        Spool spool;
        Open(spool, 512 << 10);  // segments of 64 KiB
        AppendRange(spool, 0, 2000);
        EXPECT_EQ(ReadAll(spool, spool.Committed()), Payloads(0, 2000));
        EXPECT_GT(Segments().size(), 3u);
        EXPECT_EQ(spool.Stats().waitingRecords, 2000u);
    }
    Spool spool;
    Open(spool, 512 << 10);
    AppendRange(spool, 2000, 10);
    EXPECT_EQ(ReadAll(spool, spool.Committed()), Payloads(0, 2010));
    EXPECT_EQ(spool.Stats().nextSeq, 2011u);
}

TEST_F(SpoolTest, ACommitDeletesFinishedSegmentsAndSurvivesAReopen) {
    SpoolPosition middle;
    {
        Spool spool;
        Open(spool, 512 << 10);
        AppendRange(spool, 0, 2000);
        SpoolPosition at = spool.Committed();
        std::vector<SpoolRecord> records;
        std::string storage;
        uint64_t damaged = 0;
        size_t read = 0;
        while (spool.Read(&at, 1, &records, &storage, &damaged)) {
            if (read < 1500 && read + records.size() >= 1500) middle = records[1499 - read].next;
            read += records.size();
        }
        ASSERT_EQ(read, 2000u);
        const size_t before = Segments().size();
        spool.Commit(middle, false);
        EXPECT_LT(Segments().size(), before);
        EXPECT_EQ(spool.Stats().waitingRecords, 500u);
    }
    Spool spool;
    Open(spool, 512 << 10);
    EXPECT_EQ(spool.Committed(), middle);
    EXPECT_EQ(ReadAll(spool, spool.Committed()), Payloads(1500, 500));
}

TEST_F(SpoolTest, TheLimitCountsWhatWaitsAndRoomComesBackWithCommits) {
    Spool spool;
    Open(spool, 1 << 20);
    std::vector<std::string> texts = Payloads(0, 20000, 200);
    std::vector<Spool::Item> items;
    for (const std::string& t : texts) items.push_back({t, 0});
    bool diskError = false;
    std::string why;
    const size_t taken = spool.Append(items.data(), items.size(), &diskError, &why);
    EXPECT_FALSE(diskError);
    EXPECT_EQ(taken, (1u << 20) / (200 + Spool::kFrameHeader));
    EXPECT_FALSE(spool.Fits(200));
    EXPECT_LE(spool.Stats().waitingBytes, 1u << 20);
    // Everything read and committed: room for as much again.
    SpoolPosition end;
    EXPECT_EQ(ReadAll(spool, spool.Committed(), nullptr, &end).size(), taken);
    spool.Commit(end, false);
    EXPECT_TRUE(spool.Fits(200));
    EXPECT_EQ(spool.Append(items.data() + taken, items.size() - taken, &diskError, &why), taken);
}

TEST_F(SpoolTest, ATornTailIsCutOffAndCountedAsDamaged) {
    {
        Spool spool;
        Open(spool);
        AppendRange(spool, 0, 100);
    }
    const std::string segment = Folder() + "/" + Segments().back();
    struct stat st;
    ASSERT_EQ(stat(segment.c_str(), &st), 0);
    // Half of a frame, as a write cut by the kill would leave it.
    ASSERT_EQ(truncate(segment.c_str(), st.st_size - 50), 0);
    std::vector<std::string> notes;
    Spool spool;
    Open(spool, 64 << 20, &notes);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("torn by a crash"), std::string::npos) << notes[0];
    EXPECT_EQ(spool.StoredLosses().damaged, 1u);
    EXPECT_EQ(ReadAll(spool, spool.Committed()), Payloads(0, 99));
    // Appends go on behind the last whole record, numbered on.
    AppendRange(spool, 100, 1);
    std::vector<std::string> expected = Payloads(0, 99);
    expected.push_back(Payload(100));
    EXPECT_EQ(ReadAll(spool, spool.Committed()), expected);
    EXPECT_EQ(spool.Stats().waitingRecords, 100u);
}

TEST_F(SpoolTest, ADamagedRecordInAnEarlierSegmentSkipsTheRestOfItCounted) {
    {
        Spool spool;
        Open(spool, 512 << 10);
        AppendRange(spool, 0, 2000);
    }
    const std::vector<std::string> segments = Segments();
    ASSERT_GT(segments.size(), 2u);
    // A byte of the tenth record of the first segment flipped.
    const int fd = open((Folder() + "/" + segments[0]).c_str(), O_RDWR);
    const off_t at = off_t(9 * (100 + Spool::kFrameHeader) + Spool::kFrameHeader + 5);
    char byte = 0;
    ASSERT_EQ(pread(fd, &byte, 1, at), 1);
    byte ^= 0x20;
    ASSERT_EQ(pwrite(fd, &byte, 1, at), 1);
    close(fd);
    Spool spool;
    Open(spool, 512 << 10);
    uint64_t damaged = 0;
    const std::vector<std::string> read = ReadAll(spool, spool.Committed(), &damaged);
    const uint64_t secondFirst = std::stoull(segments[1].substr(0, 20));
    EXPECT_EQ(damaged, secondFirst - 1 - 9);
    std::vector<std::string> expected = Payloads(0, 9);
    for (const std::string& p : Payloads(secondFirst - 1, 2000 - (secondFirst - 1))) expected.push_back(p);
    EXPECT_EQ(read, expected);
}

TEST_F(SpoolTest, ATornCursorSlotLeavesTheOtherAndAWrongCursorSendsTheSegmentAgain) {
    SpoolPosition first, second;
    {
        Spool spool;
        Open(spool);
        AppendRange(spool, 0, 10);
        SpoolPosition at = spool.Committed();
        std::vector<SpoolRecord> records;
        std::string storage;
        uint64_t damaged = 0;
        spool.Read(&at, 1, &records, &storage, &damaged);
        first = records[0].next;
        spool.Commit(first, true);
        spool.Read(&at, 1, &records, &storage, &damaged);
        second = records[0].next;
        spool.Commit(second, true);
    }
    // The newer slot torn: the older one holds.
    const int fd = open((Folder() + "/cursor").c_str(), O_RDWR);
    char junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // Generations 1 and 2 went to slots 1 and 0.
    ASSERT_EQ(pwrite(fd, junk, sizeof junk, 20), ssize_t(sizeof junk));
    close(fd);
    {
        Spool spool;
        Open(spool);
        EXPECT_EQ(spool.Committed(), first);
        EXPECT_EQ(ReadAll(spool, spool.Committed()), Payloads(1, 9));
        // A cursor that points between records: the segment again, in whole.
        SpoolPosition wrong = first;
        wrong.offset += 3;
        spool.Commit(wrong, true);
    }
    std::vector<std::string> notes;
    Spool spool;
    Open(spool, 64 << 20, &notes);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("sent again"), std::string::npos);
    EXPECT_EQ(ReadAll(spool, spool.Committed()), Payloads(0, 10));
}

TEST_F(SpoolTest, ALossReportThatReachedTheQueueBeforeACrashIsNotCountedAgain) {
    LossCounts losses;
    losses.queueFull = 7;
    {
        Spool spool;
        Open(spool);
        ASSERT_TRUE(spool.SaveLosses(losses, 5));
        // The report goes in; the crash comes before its counts are cleared.
        const std::string report = "lost 7";
        const Spool::Item item = {report, Spool::kLossReportFlag | 5};
        bool diskError = false;
        std::string why;
        ASSERT_EQ(spool.Append(&item, 1, &diskError, &why), 1u);
    }
    {
        Spool spool;
        Open(spool);
        EXPECT_EQ(spool.StoredLosses().Total(), 0u);
        EXPECT_EQ(spool.NextReportId(), 6u);
        // Losses of a later report (not in the queue) stay.
        losses.handOff = 1;
        ASSERT_TRUE(spool.SaveLosses(losses, 6));
    }
    Spool spool;
    Open(spool);
    EXPECT_EQ(spool.StoredLosses().Total(), 8u);
    EXPECT_EQ(spool.NextReportId(), 6u);
}

TEST_F(SpoolTest, InspectSeesWhatWaitsWithoutChangingIt) {
    Spool spool;
    Open(spool);
    AppendRange(spool, 0, 30);
    LossCounts losses;
    losses.damaged = 2;
    spool.SaveLosses(losses, 1);
    SpoolStats stats;
    LossCounts pending;
    std::string error;
    ASSERT_TRUE(Spool::Inspect(Folder(), &stats, &pending, &error)) << error;
    EXPECT_EQ(stats.waitingRecords, 30u);
    EXPECT_EQ(stats.waitingBytes, 30 * (100 + Spool::kFrameHeader));
    EXPECT_EQ(pending.damaged, 2u);
    EXPECT_FALSE(Spool::Inspect(root() + "/none", &stats, &pending, &error));
    EXPECT_NE(error.find("cannot read the folder"), std::string::npos);
}

// Appends batches until killed; each batch's first number on a line first.
TEST_HELPER(appender) {
    (void)argc;
    Spool spool;
    std::string error;
    if (!spool.Open(argv[1], 1ull << 32, &error, nullptr)) return 1;
    const uint64_t start = spool.Stats().nextSeq - 1;
    testing_support::send_line("ready");
    for (uint64_t n = start;; n += 50) {
        std::vector<std::string> texts;
        std::vector<Spool::Item> items;
        for (uint64_t i = n; i < n + 50; ++i) texts.push_back("message " + std::to_string(i) + std::string(i % 300, 'z'));
        for (const std::string& t : texts) items.push_back({t, 0});
        bool diskError = false;
        if (spool.Append(items.data(), items.size(), &diskError, &error) != items.size()) return 2;
    }
}

TEST_F(SpoolTest, AppendsKilledAtAnyMomentLeaveWholeRecordsNumberedWithoutGaps) {
    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        ChildProcess child = testing_support::spawn_helper("appender", {Folder()});
        ASSERT_TRUE(child.expect_line("ready"));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 80));
        child.kill(SIGKILL);
        EXPECT_EQ(child.wait(), 128 + SIGKILL);
        Spool spool;
        std::vector<std::string> notes;
        Open(spool, 1ull << 32, &notes);
        uint64_t damaged = 0;
        const std::vector<std::string> read = ReadAll(spool, spool.Committed(), &damaged);
        EXPECT_EQ(damaged, 0u);
        ASSERT_GT(read.size(), 0u);
        for (size_t i = 0; i < read.size(); ++i)
            ASSERT_EQ(read[i], "message " + std::to_string(i) + std::string(i % 300, 'z')) << "round " << round;
        EXPECT_EQ(spool.Stats().waitingRecords, read.size());
    }
}

}  // namespace
