// Argument blocks come from other processes: their format text is checked
// conversion by conversion against the items, and nothing that does not fit
// reaches the C library's formatter.
#include <gtest/gtest.h>

#include <string>

#include "consumer/EvArgFormat.h"
#include "event_builder.h"

using namespace consumer_test;

namespace {

std::string Format(const std::vector<uint8_t>& block, LONG expect = S_OK) {
    char message[evt::kArgMessageSize] = {};
    EXPECT_EQ(evt::FormatArgumentBlock(block.data(), message), expect);
    EXPECT_EQ(message[evt::kArgMessageSize - 1], '\0');
    return message;
}

std::string Piece(const std::string& piece, int kind, const std::vector<uint8_t>& value,
                  evt::PieceResult expect = evt::PieceResult::kDone) {
    char out[evt::kArgMessageSize] = "before:";
    size_t len = 7;
    EXPECT_EQ(evt::FormatPiece(piece.data(), piece.size(), kind, value.data(), value.size(), out, sizeof out, &len),
              expect)
        << piece;
    EXPECT_EQ(out[len], '\0');
    return std::string(out, len);
}

std::vector<uint8_t> I32(int32_t v) { return IntItem(v, 0).value; }
std::vector<uint8_t> I64(int64_t v) { return Int64Item(v, 0).value; }
std::vector<uint8_t> F64(double v) { return DoubleItem(v, 0).value; }
std::vector<uint8_t> Str(const std::string& s) { return StringItem(s, 0).value; }

TEST(ArgFormat, ConversionsMatchTheirKinds) {
    EXPECT_EQ(Piece("a=%d", 2, I32(-5)), "before:a=-5");
    EXPECT_EQ(Piece("%u", 2, I32(-1)), "before:4294967295");
    EXPECT_EQ(Piece("%08x", 3, I32(0xBEEF)), "before:0000beef");
    EXPECT_EQ(Piece("%ld", 3, I32(7)), "before:7");  // l is 32-bit, as on the emitting side
    EXPECT_EQ(Piece("%hd", 2, I32(70000)), "before:4464");
    EXPECT_EQ(Piece("%lld", 4, I64(-1234567890123LL)), "before:-1234567890123");
    EXPECT_EQ(Piece("%I64u", 4, I64(5)), "before:5");
    // The conversion must end the piece.
    EXPECT_EQ(Piece("%-6.1f|", 5, F64(2.25), evt::PieceResult::kMismatch), "before:");
    EXPECT_EQ(Piece("%-6.1f", 5, F64(2.25)), "before:2.2   ");
    EXPECT_EQ(Piece("%e", 5, F64(1e10)), "before:1.000000e+10");
    EXPECT_EQ(Piece("%c", 1, {'Q'}), "before:Q");
    EXPECT_EQ(Piece("%5s", 0, Str("ab")), "before:   ab");
    EXPECT_EQ(Piece("%.1s", 0, Str("ab")), "before:a");
    EXPECT_EQ(Piece("%S", 0, Str("wide")), "before:wide");
}

TEST(ArgFormat, MismatchedKindsSizesAndLengthsWriteNothing) {
    using R = evt::PieceResult;
    EXPECT_EQ(Piece("x=%s", 2, I32(1), R::kMismatch), "before:");  // a number is no string
    EXPECT_EQ(Piece("x=%d", 0, Str("1"), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%d", 4, I64(1), R::kMismatch), "before:");    // 64-bit value needs ll
    EXPECT_EQ(Piece("%lld", 2, I32(1), R::kMismatch), "before:");  // and a 32-bit one must not have it
    EXPECT_EQ(Piece("%f", 2, I32(1), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%Lf", 5, F64(1), R::kMismatch), "before:");  // long double is not what was sent
    EXPECT_EQ(Piece("%d", 2, {1, 2}, R::kMismatch), "before:");   // short value
    EXPECT_EQ(Piece("%d", 7, I32(1), R::kMismatch), "before:");   // unknown kind
    EXPECT_EQ(Piece("%d", -1, I32(1), R::kMismatch), "before:");
}

TEST(ArgFormat, DangerousConversionsAreRefused) {
    using R = evt::PieceResult;
    // Never handed to the formatter: %n writes, %p and '*' read what is not
    // there, huge widths and precisions are not what a message can hold.
    EXPECT_EQ(Piece("%n", 2, I32(0), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%p", 4, I64(0), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%*d", 2, I32(5), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%.*s", 0, Str("abc"), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%99999d", 2, I32(5), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%.2000f", 5, F64(1), R::kMismatch), "before:");
    EXPECT_EQ(Piece("%-------------------d", 2, I32(5), R::kMismatch), "before:");
}

TEST(ArgFormat, PercentSignsThatStartNoConversionAreText) {
    EXPECT_EQ(Piece("100%% %d", 2, I32(3)), "before:100% 3");
    EXPECT_EQ(Piece("50%! %d", 2, I32(3)), "before:50%! 3");
    // A conversion that lost its item (an empty string) takes no value.
    EXPECT_EQ(Piece("[%s] %d", 2, I32(9)), "before:[] 9");
}

TEST(ArgFormat, StringValuesAreReadOnlyWithinTheirSize) {
    std::vector<uint8_t> unterminated = Bytes("abcdef");
    EXPECT_EQ(Piece("%s", 0, unterminated), "before:abcdef");
    unterminated.resize(3);
    EXPECT_EQ(Piece("%s", 0, unterminated), "before:abc");
    EXPECT_EQ(Piece("%10.2s", 0, unterminated), "before:        ab");
}

TEST(ArgFormat, OutputIsCutAtTheMessageSize) {
    char out[16] = {};
    size_t len = 0;
    std::vector<uint8_t> value = Str("0123456789abcdefghij");
    EXPECT_EQ(evt::FormatPiece("%s", 2, 0, value.data(), value.size(), out, sizeof out, &len), evt::PieceResult::kCut);
    EXPECT_EQ(len, 15u);
    EXPECT_STREQ(out, "0123456789abcde");
}

TEST(ArgFormat, BlockItemsFollowTheirPositions) {
    EXPECT_EQ(Format(ArgBlock("%d and %d", {IntItem(1, 1), IntItem(2, 8)})), "1 and 2");
    // The text after the last item's position is not part of the message.
    EXPECT_EQ(Format(ArgBlock("%d tail", {IntItem(1, 1)})), "1");
    // An item that does not fit its conversion ends the message before it.
    EXPECT_EQ(Format(ArgBlock("%d, %s, %d", {IntItem(1, 1), IntItem(2, 5), IntItem(3, 9)})), "1");
    // Positions that go backwards, or beyond the format text, end it too.
    EXPECT_EQ(Format(ArgBlock("%d %d", {IntItem(1, 4), IntItem(2, 1)})), " 1");
    EXPECT_EQ(Format(ArgBlock("%d", {IntItem(1, 1), IntItem(2, 200)})), "1");
}

TEST(ArgFormat, ItemsPastTheBlockAreNotRead) {
    // A count that promises more items than the block holds.
    std::vector<uint8_t> block = ArgBlock("%d %d", {IntItem(1, 1)}, {}, 200);
    EXPECT_EQ(Format(block), "1");
    // An item whose size reaches past the items' area.
    block = ArgBlock("%s", {StringItem("x", 1)});
    PutU16(block, 6 + 5 + 3 + 1, 60000);
    EXPECT_EQ(Format(block), "");
    // A format size beyond the area: the format text ends at the area.
    block = ArgBlock("%d", {IntItem(1, 1)});
    PutU16(block, 7, 5000);
    EXPECT_EQ(Format(block), "");
}

TEST(ArgFormat, AFormatWithoutTerminatorEndsAtItsSize) {
    std::vector<uint8_t> block = ArgBlock("%d", {IntItem(4, 1)});
    // Overwrite the format's zero: size 3 now covers "%d" and one more byte.
    block[6 + 5 + 2] = 'X';
    EXPECT_EQ(Format(block), "4");
}

TEST(ArgFormat, BlocksWithoutAFormatItemFail) {
    EXPECT_EQ(Format(ArgBlock("%d", {IntItem(1, 1)}, {}, 0), E_FAIL), "");
    std::vector<uint8_t> block = ArgBlock("%d", {IntItem(1, 1)});
    block[6] = 5;
    EXPECT_EQ(Format(block, E_FAIL), "");
}

}  // namespace
