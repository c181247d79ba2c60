// Folder searches: patterns, order, entries, and deleting by age while a
// search runs.
#include <string>
#include <vector>

#include "files/wildcard.h"
#include "files_test_util.h"

using namespace files_test;

namespace {

class FindTest : public FilesTest {
protected:
    void SetUp() override {
        FilesTest::SetUp();
        ASSERT_TRUE(CreateDirectoryA("C:\\logs", nullptr));
        ASSERT_TRUE(CreateDirectoryA("C:\\logs\\Sub", nullptr));
        for (const char* name : {"b.csv", "A.CSV", "c.txt", "noext", "day.csv.bak"})
            ASSERT_TRUE(put_file(std::string("C:\\logs\\") + name, name));
    }
};

// Names a search returns, in order; "error N" when the search fails.
std::vector<std::string> find_names(const std::string& pattern) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return {"error " + std::to_string(GetLastError())};
    std::vector<std::string> names;
    do names.emplace_back(data.cFileName);
    while (FindNextFileA(h, &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) names.push_back("end " + std::to_string(GetLastError()));
    FindClose(h);
    return names;
}

using Names = std::vector<std::string>;

}  // namespace

TEST(Wildcard, MatchesAsTheWin32LayerRewritesPatterns) {
    using w32rt::files::wildcard_match;
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*.csv", "A.CSV", true},      {"*.csv", "x.y.csv", true},      {"*.csv", "a.csv.bak", false},
        {"*.csv", "a.csvx", false},    {"*.csv", "", false},            {"*", ".", true},
        {"*.*", "noext", true},        {"*.*", "..", true},             {"*.", "noext", true},
        {"*.", "a.b", false},          {"log?.txt", "log.txt", true},   {"log?.txt", "log12.txt", false},
        {"??", "a", true},             {"?", "ab", false},              {"a*b*c", "aXXbYY", false},
        {"a.*", "a", true},            {"a.*", "a.b.c", true},          {"*.c*", "x.csv", true},
        {"exact.txt", "exact.txt2", false}, {"DAY_2024-0?-??.csv", "day_2024-03-07.csv", true},
    };
    for (const Case& c : cases) EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match) << c.pattern << " vs " << c.name;

    // Hostile patterns cost linear time, not exponential.
    std::string name(250, 'a');
    EXPECT_FALSE(wildcard_match("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
}

TEST_F(FindTest, PatternsOrderAndDotEntries) {
    EXPECT_EQ(find_names("C:\\logs\\*.csv"), (Names{"A.CSV", "b.csv"}));
    EXPECT_EQ(find_names("C:\\logs\\*"), (Names{".", "..", "A.CSV", "b.csv", "c.txt", "day.csv.bak", "noext", "Sub"}));
    EXPECT_EQ(find_names("c:/LOGS/*."), (Names{".", "..", "noext", "Sub"}));
    EXPECT_EQ(find_names("C:\\logs\\c.TXT"), (Names{"c.txt"}));
    EXPECT_EQ(find_names("C:\\logs"), (Names{"logs"}));  // the folder itself
    // A drive's root has no "." and "..".
    EXPECT_EQ(find_names("C:\\*"), (Names{"logs"}));
}

TEST_F(FindTest, FailuresAndTheEnd) {
    EXPECT_EQ(find_names("C:\\logs\\*.xml"), (Names{"error " + std::to_string(ERROR_FILE_NOT_FOUND)}));
    EXPECT_EQ(find_names("C:\\nofolder\\*"), (Names{"error " + std::to_string(ERROR_PATH_NOT_FOUND)}));
    EXPECT_EQ(find_names("C:\\logs\\"), (Names{"error " + std::to_string(ERROR_FILE_NOT_FOUND)}));
    WIN32_FIND_DATAA data;
    EXPECT_FAILS(FindFirstFileA(nullptr, &data), INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(FindFirstFileA("C:\\logs\\*", nullptr), INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);

    HANDLE h = FindFirstFileA("C:\\logs\\c.txt", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FAILS(FindNextFileA(h, &data), FALSE, ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    EXPECT_FAILS(FindClose(h), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(FindNextFileA(h, &data), FALSE, ERROR_INVALID_HANDLE);
}

TEST_F(FindTest, EntriesDescribeTheFiles) {
    ASSERT_TRUE(put_file("C:\\logs\\b.csv", std::string(1234, 'x')));
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("C:\\logs\\*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string seen;
    do {
        bool folder = data.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY && data.nFileSizeLow == 0;
        bool file = data.dwFileAttributes == FILE_ATTRIBUTE_ARCHIVE && data.cAlternateFileName[0] == '\0';
        if (folder || (file && data.nFileSizeLow == 1234)) seen += std::string(data.cFileName) + " ";
    } while (FindNextFileA(h, &data));
    FindClose(h);
    EXPECT_EQ(seen, ". .. b.csv Sub ");
}

TEST_F(FindTest, RetentionDeletesByCreationTimeWhileTheSearchRuns) {
    // The way log retention works: search "*.csv" and delete what is at
    // least 7 whole days old by its entry's creation time, here given by the
    // test clock. A file deleted ahead of the search is skipped.
    w32rt_set_clock_offset(-8 * kDay);
    ASSERT_TRUE(put_file("C:\\logs\\day8.csv", "x"));
    w32rt_set_clock_offset(-6 * kDay);
    ASSERT_TRUE(put_file("C:\\logs\\day6.csv", "x"));
    w32rt_set_clock_offset(0);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);

    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA("C:\\logs\\*.csv", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DeleteFileA("C:\\logs\\b.csv"));
    Names seen;
    do {
        seen.emplace_back(data.cFileName);
        if ((int64_t(ticks(now)) - int64_t(ticks(data.ftCreationTime))) / kDay >= 7) {
            EXPECT_TRUE(DeleteFileA((std::string("C:\\logs\\") + data.cFileName).c_str())) << data.cFileName;
        }
    } while (FindNextFileA(search, &data));
    FindClose(search);
    EXPECT_EQ(seen, (Names{"A.CSV", "day6.csv", "day8.csv"}));
    EXPECT_EQ(find_names("C:\\logs\\*.csv"), (Names{"A.CSV", "day6.csv"}));
}
