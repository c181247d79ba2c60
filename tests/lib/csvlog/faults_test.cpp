// Failures while writing: a full disk before or in the middle of a batch, a
// day file that cannot be opened, a write that cannot be cut back, a full
// disk or a refused rename during roll-over, a log folder that cannot be
// made, and failures that last longer than the logger keeps records. Rows
// are whole or absent, and what could not be written goes out with the
// next batch once the fault is gone.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

#include "csvlog_fixture.h"

using namespace csvlog_test;

namespace {

// Lets the process write no file beyond `limit` bytes (a real short write:
// the kernel writes up to the limit, then refuses), until destroyed.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
};

size_t FileSize(const std::string& path) { return ReadWholeFile(path).size(); }

TEST_F(CsvLogTest, ABatchThatFailsIsWrittenWithTheNextOneAndNoRowIsLeftTorn) {
    std::unique_ptr<FileSizeLimit> limit;
    HANDLE holder = INVALID_HANDLE_VALUE;
    const struct {
        const char* what;
        std::function<void()> arm;
        bool tornUntilNextBatch;
    } cases[] = {
        {"disk full before the write", [] { w32rt_fail_syscall("write", 1, ENOSPC); }, false},
        {"disk full in the middle of the write",
         [&] { limit = std::make_unique<FileSizeLimit>(FileSize(DayFile()) + 100); }, false},
        {"the day file is held open without sharing",
         [&] {
             holder = CreateFileA(DayFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
             ASSERT_NE(holder, INVALID_HANDLE_VALUE);
         },
         false},
        {"a torn write that cannot be cut back at once",
         [&] {
             limit = std::make_unique<FileSizeLimit>(FileSize(DayFile()) + 100);
             w32rt_fail_syscall("ftruncate", 1, EIO);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA(DayFile().c_str());
        DebugCapture debug;
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(Basic());
        Records first("r", 1, 200), second("r", 201, 200), third("r", 401, 200);
        Push(logger, first);
        ASSERT_TRUE(WaitForRows(DayFile(), 200));
        const std::string before = ReadWholeFile(DayFile());
        c.arm();
        Push(logger, second);
        ASSERT_TRUE(debug.WaitFor(kKeptText)) << debug.All();
        EXPECT_NE(debug.All().find("200 records are kept"), std::string::npos) << debug.All();
        limit.reset();
        w32rt_clear_syscall_faults();
        if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
        holder = INVALID_HANDLE_VALUE;
        const std::string after = ReadWholeFile(DayFile());
        if (c.tornUntilNextBatch) {
            EXPECT_EQ(after.size(), before.size() + 100);
        } else {
            EXPECT_EQ(after, before);
        }
        Push(logger, third);
        ASSERT_TRUE(WaitForRows(DayFile(), 600));
        const LogLines log(DayFile());
        EXPECT_TRUE(log.whole);
        EXPECT_EQ(log.headers(), 1u);
        EXPECT_EQ(log.rows(), Rows(1, "r", 1, 600));
        EXPECT_EQ(debug.Count(kDroppedText), 0u);
    }
}


std::string Rolled(int n) { return DefaultBase() + "_" + kDate + "@" + std::to_string(n) + ".csv"; }

// The record texts of rows, in order, across files.
std::vector<std::string> Texts(const std::vector<std::string>& files) {
    std::vector<std::string> texts;
    for (const std::string& file : files) {
        for (const std::string& row : LogLines(file).rows()) {
            const std::string text = row.substr(row.find(':') + 1);
            if (text.find('.') != std::string::npos) texts.push_back(text.substr(0, text.find('.')));
        }
    }
    return texts;
}

std::vector<std::string> Names(const char* prefix, int first, int count) {
    std::vector<std::string> names;
    for (int i = first; i < first + count; ++i) names.push_back(prefix + std::to_string(i));
    return names;
}

TEST_F(CsvLogTest, ARollOverThatFailsLosesNoRecordAndLeavesNoPartialFile) {
    const struct {
        const char* what;
        const char* call;
        unsigned nth;
        int error;
        bool dayFileLeft;  // the full day file is still there after the fault
    } cases[] = {
        // The rows that fit are appended (write 1), the day file is renamed,
        // and the new day file's header (write 2) finds the disk full.
        {"disk full for the new day file", "write", 2, ENOSPC, false},
        {"the rename is refused", "rename", 1, EACCES, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(system(("rm -rf '" + root() + "/drives/c/Logs'").c_str()), 0);
        OldDayFile(DayFile(), 0x100000 - 2000);
        DebugCapture debug;
        CEvWEVLogQueue logger;
        logger.RetrieveINISettings(Basic());
        // Records estimated at 528 bytes each: three fit.
        Records first("x", 1, 10, 500), second("y", 1, 5, 500);
        w32rt_fail_syscall(c.call, c.nth, c.error);
        logger.CopyLogsToFile(&first.list);
        w32rt_clear_syscall_faults();
        EXPECT_EQ(debug.Count("7 records are kept"), 1u) << debug.All();
        EXPECT_EQ(FileExists(DayFile()), c.dayFileLeft);
        const std::string full = c.dayFileLeft ? DayFile() : Rolled(1);
        EXPECT_EQ(Texts({full}), Names("x", 1, 3));
        EXPECT_TRUE(LogLines(full).whole);
        logger.CopyLogsToFile(&second.list);
        EXPECT_EQ(Texts({Rolled(1), DayFile()}), Names("x", 1, 10) + Names("y", 1, 5));
        const LogLines day(DayFile());
        EXPECT_EQ(day.lines.front(), kHeader);
        EXPECT_EQ(day.rows().front().substr(0, 5), "1:x4.");
        // Nothing but the logs in the folder: no temporary file is left.
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA("C:\\Logs\\*.tmp", &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE);
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
    }
}

TEST_F(CsvLogTest, ALogFolderThatCannotBeMadeDelaysTheRecordsUntilItCan) {
    DebugCapture debug;
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(Basic("C:\\Logs\\Sub"));
    Records first("r", 1, 200), second("r", 201, 200);
    w32rt_fail_syscall("mkdir", 1, EACCES);
    Push(logger, first);
    ASSERT_TRUE(debug.WaitFor(kKeptText));
    EXPECT_NE(debug.All().find("cannot create the log folder C:\\Logs\\Sub"), std::string::npos) << debug.All();
    w32rt_clear_syscall_faults();
    Push(logger, second);
    const std::string day = DayFile(DefaultBase("C:\\Logs\\Sub"));
    ASSERT_TRUE(WaitForRows(day, 400));
    EXPECT_EQ(LogLines(day).rows(), Rows(1, "r", 1, 400));
}

TEST_F(CsvLogTest, RecordsBeyondTenFailedBatchesAreDroppedOldestFirstAndCountedOnce) {
    // A regular file where the log folder's parent should be: no folder can
    // be made until it goes.
    WriteWholeFile("C:\\Blocker", "a file");
    const std::string folder = "C:\\Blocker\\Logs";
    DebugCapture debug;
    CEvWEVLogQueue logger;
    logger.RetrieveINISettings(Basic(folder));
    std::vector<std::unique_ptr<Records>> batches;
    for (int b = 0; b < 12; ++b) {
        batches.push_back(std::make_unique<Records>("r", b * 200 + 1, 200));
        Push(logger, *batches.back());
    }
    ASSERT_TRUE(debug.WaitFor(kKeptText, 12)) << debug.All();
    EXPECT_NE(debug.All().find("2000 records are kept"), std::string::npos);
    EXPECT_EQ(debug.Count(kDroppedText), 0u);  // reported when the episode ends
    ASSERT_TRUE(DeleteFileA("C:\\Blocker"));
    Records last("r", 2401, 200);
    Push(logger, last);
    const std::string day = DayFile(DefaultBase(folder));
    ASSERT_TRUE(WaitForRows(day, 2200));
    ASSERT_TRUE(debug.WaitFor(kDroppedText));
    std::vector<std::string> expected;
    for (int i = 0; i < 2200; ++i) expected.push_back(std::to_string(i + 1) + ":r" + std::to_string(401 + i));
    EXPECT_EQ(LogLines(day).rows(), expected);
    EXPECT_EQ(debug.Count(kDroppedText), 1u);
    EXPECT_NE(debug.All().find("400 records could not be written"), std::string::npos) << debug.All();
}

}  // namespace
