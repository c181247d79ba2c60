// The event database's text: entries, the alert list drawn from it, and the
// fields of one entry. The text comes from an installed file: entries may be
// cut, codes may appear inside other entries.
#include <gtest/gtest.h>

#include <string>

#include "consumer/EvAlertText.h"
#include "listener/EvDbText.h"

namespace {

using Codes = std::vector<DWORD>;

TEST(AlertList, CodesInTheOrderOfTheEntries) {
    EXPECT_EQ(evt::ParseAlertCodes("4097||a||b||c||d|#|\n8193||e||f||g||h|#|\n"), (Codes{4097, 8193}));
    // The line feed left by the previous entry, and other white space, is
    // skipped.
    EXPECT_EQ(evt::ParseAlertCodes("  12||a|#|\n\t 34||b|#|\n"), (Codes{12, 34}));
}

TEST(AlertList, EmptyOrEntrylessTextsGiveNoCodes) {
    EXPECT_TRUE(evt::ParseAlertCodes("").empty());
    EXPECT_TRUE(evt::ParseAlertCodes("just some text\nwithout entries\n").empty());
    EXPECT_TRUE(evt::ParseAlertCodes("12||a|#|").empty());  // no line end after the marker
}

TEST(AlertList, EntriesNotStartingWithDigitsGiveZero) {
    EXPECT_EQ(evt::ParseAlertCodes("abc||x|#|\n7||y|#|\n"), (Codes{0, 7}));
    EXPECT_EQ(evt::ParseAlertCodes("99999999999||x|#|\n"), (Codes{0xFFFFFFFF}));
    EXPECT_EQ(evt::ParseAlertCodes("-5||x|#|\n"), (Codes{0}));
}

TEST(AlertList, ATrailingEntryWithoutTerminatorIsIgnored) {
    EXPECT_EQ(evt::ParseAlertCodes("1||a|#|\n2||b|#|\n3||c"), (Codes{1, 2}));
    // A terminator that no "||" precedes ends the walk there.
    EXPECT_EQ(evt::ParseAlertCodes("1||a|#|\n|#|\n"), (Codes{1}));
}

TEST(DatabaseText, TextModeJoinsLineEndsAndEndsAtAZero) {
    EXPECT_EQ(evt::DatabaseTextFromBytes("a\r\nb\rc\r\n"), "a\nb\rc\n");
    EXPECT_EQ(evt::DatabaseTextFromBytes(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(evt::DatabaseTextFromBytes("\r\r\n"), "\r\n");
}

TEST(DatabaseText, LookupMatchesTheCodeAsText) {
    const std::string db = "1112||first|#|\n12||second|#|\n";
    std::string entry;
    // 12 is found inside 1112 first.
    ASSERT_EQ(evt::LookupDatabaseEntry(db, 12, &entry), S_OK);
    EXPECT_EQ(entry, "12||first|#|");
    ASSERT_EQ(evt::LookupDatabaseEntry(db, 1112, &entry), S_OK);
    EXPECT_EQ(entry, "1112||first|#|");
    EXPECT_EQ(evt::LookupDatabaseEntry(db, 3, &entry), E_FAIL);
    ASSERT_EQ(evt::LookupDatabaseEntry(db, 0xFFFFFFFF, &entry), E_FAIL);
}

TEST(DatabaseText, AnEntryEndingTheFileWithoutALineEndIsNotFound) {
    std::string entry = "untouched";
    EXPECT_EQ(evt::LookupDatabaseEntry("5||a||b||c||d|#|", 5, &entry), E_FAIL);
    EXPECT_EQ(entry, "untouched");
}

TEST(AlertFields, FieldsStopAtTheFirstMissingSeparator) {
    evt::AlertFields five = evt::ExtractAlertFields("4097||Title||hint1;;hint2||Action||Help|#|");
    EXPECT_EQ(five.count, 5);
    EXPECT_EQ(five.code, 4097u);
    EXPECT_EQ(five.field2, "Title");
    EXPECT_EQ(five.hints, "hint1;;hint2");
    EXPECT_EQ(five.field4, "Action");
    EXPECT_EQ(five.field5, "Help");

    evt::AlertFields four = evt::ExtractAlertFields("7||Title||Hints||Action|#|");
    EXPECT_EQ(four.count, 3);
    EXPECT_EQ(four.hints, "Hints");
    EXPECT_EQ(four.field4, "");

    evt::AlertFields three = evt::ExtractAlertFields("7||Title||Hints|#|");
    EXPECT_EQ(three.count, 2);
    EXPECT_EQ(three.field2, "Title");
    EXPECT_EQ(three.hints, "");

    EXPECT_EQ(evt::ExtractAlertFields("7 without separators|#|").count, 0);
}

TEST(AlertFields, HintsSplitAtDoubleSemicolons) {
    using Hints = std::vector<std::string_view>;
    EXPECT_EQ(evt::SplitHints("one;;two;;three"), (Hints{"one", "two", "three"}));
    EXPECT_EQ(evt::SplitHints("single"), (Hints{"single"}));
    EXPECT_EQ(evt::SplitHints(""), (Hints{""}));
    EXPECT_EQ(evt::SplitHints("a;;"), (Hints{"a", ""}));
    EXPECT_EQ(evt::SplitHints("a;b;;;c"), (Hints{"a;b", ";c"}));
}

}  // namespace
