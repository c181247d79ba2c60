// The payload builders of the event wire format on inputs at and beyond their
// limits: more conversions than slots, every conversion of an argument block,
// items that no longer fit, texts too long for their field. What a consumer
// receives of each kind is checked byte for byte in cross_process_test.cpp.
#include <cstdarg>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "providers/EventWire.h"
#include "provider_fixture.h"

using namespace traceapi::wire;

namespace {

std::vector<BYTE> FormatBlock(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vector<BYTE> block = BuildFormatBlock(format, arguments);
    va_end(arguments);
    return block;
}

struct Block {
    BYTE bytes[kBlockSize];
};

const BlockTrailer kTrailer = {"main.cpp", 42, 0x0102030405060708ULL, 0x1234, 0x5678};

Block ArgumentBlock(const BlockTrailer& trailer, const char* format, ...) {
    Block block;
    memset(block.bytes, 0xCC, sizeof block.bytes);
    va_list arguments;
    va_start(arguments, format);
    BuildArgumentBlock(block.bytes, format, arguments, trailer);
    va_end(arguments);
    return block;
}

struct Item {
    BYTE kind;
    USHORT position;
    std::vector<BYTE> data;
    bool operator==(const Item&) const = default;
};

template <typename T>
Item Make(BYTE kind, USHORT position, T value) {
    std::vector<BYTE> data(sizeof value);
    memcpy(data.data(), &value, sizeof value);
    return {kind, position, data};
}

std::ostream& operator<<(std::ostream& out, const Item& item) {
    out << "{kind " << int(item.kind) << " at " << item.position << ":";
    for (BYTE b : item.data) out << " " << int(b);
    return out << "}";
}

// The items after the format item, each checked to lie within the 1,024-byte
// item area.
std::vector<Item> Items(const Block& block) {
    std::vector<Item> items;
    const BYTE* area = block.bytes + kItemsOffset;
    for (size_t n = 0, offset = 2; n < area[1]; ++n) {
        USHORT size = Get<USHORT>(area, offset + 1);
        EXPECT_LE(offset + kItemHeader + size, kItemsArea) << "item " << n;
        if (offset + kItemHeader + size > kItemsArea) break;
        std::vector<BYTE> data(area + offset + kItemHeader, area + offset + kItemHeader + size);
        if (n > 0) items.push_back({area[offset], Get<USHORT>(area, offset + 3), data});
        offset += kItemHeader + size;
    }
    return items;
}

Item String(USHORT position, const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    return {kItemString, position, data};
}

}  // namespace

TEST(FormatBlock, FourSlotsAndOnlyRealConversionsTakeAnArgument) {
    // The count at 0, four sizes from 4, four kinds from 20, the format at 36
    // and the arguments' data from 292, then four zeros.
    const std::string huge(5000, 'h');
    const std::tuple<const char*, std::vector<BYTE>, Image> rows[] = {
        {"x and d", FormatBlock("%x %d", 1, 2),
         Image(304).Put(0, 2u).Put(4, 4u).Put(8, 4u).Put(20, 1u).Put(36, "%x %d").Put(292, 1u).Put(296, 2u)},
        {"l", FormatBlock("%l", 0x11223344),
         Image(300).Put(0, 1u).Put(4, 4u).Put(20, 4u).Put(36, "%l").Put(292, 0x11223344u)},
        {"S", FormatBlock("%S", "xyz"), Image(299).Put(0, 1u).Put(4, 3u).Put(20, 2u).Put(36, "%S").Put(292, "xyz")},
        // A fifth conversion would overflow the four slots: it takes nothing.
        {"five", FormatBlock("%d%d%d%d%d", 1, 2, 3, 4, 5),
         Image(312).Put(0, 4u).Put(4, 4u).Put(8, 4u).Put(12, 4u).Put(16, 4u).Put(36, "%d%d%d%d%d")
             .Put(292, 1u).Put(296, 2u).Put(300, 3u).Put(304, 4u)},
        // "%%" and other letters take nothing, so arguments stay with their
        // conversions.
        {"others", FormatBlock("100%% %u %5d %d %s", 9, "z"),
         Image(301).Put(0, 2u).Put(4, 4u).Put(8, 1u).Put(24, 2u).Put(36, "100%% %u %5d %d %s")
             .Put(292, 9u).Put(296, "z")},
        {"trailing", FormatBlock("trailing %"), Image(296).Put(36, "trailing %")},
        // Strings are bounded; a null one is empty and has no kind.
        {"bounded", FormatBlock("%s|%s", huge.c_str(), static_cast<const char*>(nullptr)),
         Image(296 + 4096).Put(0, 2u).Put(4, 4096u).Put(20, 2u).Put(36, "%s|%s").Put(292, huge.substr(0, 4096))},
        {"long format", FormatBlock(std::string(400, 'f').c_str()), Image(296).Put(36, std::string(255, 'f'))},
    };
    for (const auto& [what, block, expected] : rows) EXPECT_TRUE(SameBytes(block, expected.bytes)) << what;
}

TEST(ArgumentBlock, EachConversionTakesItsArgumentOfTheRightType) {
    struct Row {
        const char* what;
        Block block;
        std::vector<Item> items;
    };
    const Row rows[] = {
        {"every conversion",
         ArgumentBlock(kTrailer, "%%|%c|%d|%ld|%hd|%u|%x|%I64d|%s|%e|%-5d|%*d|%p|%q|%i", 'Q', -7, 70000L, 5, 8u, 0xABu,
                       1LL << 40, "str", 1.5e10, 12, 3, 44, reinterpret_cast<void*>(0x1234), 9),
         // Flags are skipped, a '*' width takes its own argument first, and
         // %q is no conversion: 9 belongs to %i.
         {Make<char>(kItemChar, 4, 'Q'), Make<LONG>(kItemInt, 7, -7), Make<LONG>(kItemLong, 11, 70000),
          Make<LONG>(kItemInt, 15, 5), Make<ULONG>(kItemInt, 18, 8), Make<ULONG>(kItemInt, 21, 0xAB),
          Make<LONG64>(kItemLongLong, 27, 1LL << 40), String(30, "str"), Make<double>(kItemDouble, 33, 1.5e10),
          Make<LONG>(kItemInt, 38, 12), Make<LONG>(kItemInt, 42, 44), Make<ULONG64>(kItemLongLong, 45, 0x1234),
          Make<LONG>(kItemInt, 51, 9)}},
        {"a lone l or ll is itself the conversion", ArgumentBlock(kTrailer, "%l %ll", 1, 2),
         {Make<LONG>(kItemInt, 1, 1), Make<LONG>(kItemLong, 5, 2)}},
        {"empty and null strings add no item",
         ArgumentBlock(kTrailer, "%s%s%d", "", static_cast<const char*>(nullptr), 31),
         {Make<LONG>(kItemInt, 5, 31)}},
        {"positions modulo 256", ArgumentBlock(kTrailer, (std::string(300, '.') + "%d").c_str(), 3),
         {Make<LONG>(kItemInt, 301 % 256, 3)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Items(row.block), row.items);
    }
}

TEST(ArgumentBlock, ItemsEndWithinTheAreaAndStringsAreCutToFit) {
    // 7 + 5 bytes of format leave 1,012 bytes: a long string is cut so that
    // its item ends exactly at the end of the area.
    std::vector<Item> items = Items(ArgumentBlock(kTrailer, "%s%d%c", std::string(2000, 's').c_str(), 5, 'z'));
    EXPECT_EQ(items, std::vector<Item>{String(1, std::string(1024 - 7 - 7 - 5 - 1, 's'))});

    // A string of L characters ends at 20 + L. An integer needs 9 bytes, a
    // character 6: whatever does not fit is left out, whatever still fits is
    // added, and the character is still its own.
    for (size_t left : {3, 5, 6, 8, 9, 14, 15, 16}) {
        std::string filler(1024 - 20 - left, 'f');
        std::vector<Item> expected = {String(1, filler)};
        if (left >= 9) expected.push_back(Make<LONG>(kItemInt, 3, 77));
        if (left >= 9 ? left - 9 >= 6 : left >= 6) expected.push_back(Make<char>(kItemChar, 5, 'k'));
        EXPECT_EQ(Items(ArgumentBlock(kTrailer, "%s%d%c", filler.c_str(), 77, 'k')), expected) << "room left " << left;
    }
}

TEST(ArgumentBlock, LongFormatsAreStoredCutAndGetNoArguments) {
    for (size_t length : {1015, 3000}) {
        SCOPED_TRACE(length);
        std::string format = "%d" + std::string(length - 2, 'x');
        Block block = ArgumentBlock(kTrailer, format.c_str(), 5);
        EXPECT_EQ(block.bytes[5], 1) << "1,015 + 1 + 7 leaves one byte: no number fits";
        EXPECT_EQ(Get<USHORT>(block.bytes, 7), std::min<size_t>(length, 1016) + 1) << "the size says what is stored";
        EXPECT_EQ(Text(block.bytes + 11, 1017), format.substr(0, 1016));
        EXPECT_EQ(Text(block.bytes + 1028, 260), "main.cpp");
    }
}

TEST(LogAndArgumentBlocks, TextsAreStoredOnlyBelow512AndTheFileNameIsCut) {
    const std::string text(600, 't'), file(400, 'F');
    auto trailer = [](const std::string& file) {
        return Image(kBlockSize).Put(1028, file).Put(1288, 42u).Put(1296, 0x0102030405060708ULL).Put(1304, 0x1234u)
            .Put(1308, 0x5678u);
    };
    // The text ends at its zero or its length, whichever comes first.
    const std::tuple<const char*, ULONG, std::string> rows[] = {
        {text.c_str(), 511, text.substr(0, 511)}, {text.c_str(), 512, ""}, {"short", 400, "short"}};
    Block block;
    for (const auto& [input, length, stored] : rows) {
        memset(block.bytes, 0xCC, sizeof block.bytes);
        BuildLogBlock(block.bytes, input, length, kTrailer);
        EXPECT_TRUE(SameBytes(std::vector<BYTE>(block.bytes, block.bytes + kBlockSize),
                              trailer("main.cpp").Put(4, stored).bytes))
            << length;
    }
    BlockTrailer cut = kTrailer;
    for (const char* name : {file.c_str(), static_cast<const char*>(nullptr)}) {
        cut.file = name;
        block = ArgumentBlock(cut, "");
        Image expected = trailer(name ? file.substr(0, 259) : "").Put(0, 1u).Put(5, BYTE(1)).Put(7, USHORT(1));
        EXPECT_TRUE(SameBytes(std::vector<BYTE>(block.bytes, block.bytes + kBlockSize), expected.bytes));
    }
}

TEST(EventTypes, UnifiedLogKindsBecomeTheirFormattedKinds) {
    const std::pair<ULONG, ULONG> mapping[] = {{53, 56}, {54, 57}, {55, 58}, {59, 63}, {60, 64},
                                               {61, 62}, {56, 56}, {70, 70}, {51, 51}, {0, 0}};
    for (auto [from, to] : mapping) EXPECT_EQ(FormattedType(from), to) << from;
}
