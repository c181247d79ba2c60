// The event wire format, byte for byte: header, fixed block, and the format,
// argument and log blocks, with their limits.
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "providers/EventWire.h"
#include "wire_reader.h"

using namespace traceapi::wire;
using wire_reader::Get16;
using wire_reader::Get32;
using wire_reader::Get64;
using wire_reader::Text;

namespace {

EVT_PROVIDER_INFO Description(const std::string& name, const std::string& user, const std::string& text) {
    EVT_PROVIDER_INFO info = {};
    strncpy(info.m_szInstanceName, name.c_str(), sizeof info.m_szInstanceName - 1);
    strncpy(info.m_szUserName, user.c_str(), sizeof info.m_szUserName - 1);
    strncpy(info.m_szProviderText, text.c_str(), sizeof info.m_szProviderText - 1);
    return info;
}

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

Block ArgumentBlock(const char* format, ...) {
    Block block;
    memset(block.bytes, 0xCC, sizeof block.bytes);
    va_list arguments;
    va_start(arguments, format);
    BuildArgumentBlock(block.bytes, format, arguments, kTrailer);
    va_end(arguments);
    return block;
}

struct Item {
    BYTE kind;
    USHORT size;
    USHORT position;
    std::vector<BYTE> data;
};

// Walks the items of an argument block, checking that each lies within the
// 1,024-byte item area.
std::vector<Item> Items(const Block& block) {
    std::vector<Item> items;
    const BYTE* area = block.bytes + kItemsOffset;
    size_t offset = 2;
    for (int n = 0; n < area[1]; ++n) {
        EXPECT_LE(offset + kItemHeader, kItemsArea) << "item " << n;
        if (offset + kItemHeader > kItemsArea) break;
        Item item;
        item.kind = area[offset];
        item.size = Get16(area, offset + 1);
        item.position = Get16(area, offset + 3);
        EXPECT_LE(offset + kItemHeader + item.size, kItemsArea) << "item " << n;
        if (offset + kItemHeader + item.size > kItemsArea) break;
        item.data.assign(area + offset + kItemHeader, area + offset + kItemHeader + item.size);
        items.push_back(item);
        offset += kItemHeader + item.size;
    }
    return items;
}

template <typename T>
T As(const Item& item) {
    T value{};
    EXPECT_EQ(item.data.size(), sizeof value);
    memcpy(&value, item.data.data(), std::min(sizeof value, item.data.size()));
    return value;
}

std::string AsString(const Item& item) {
    EXPECT_FALSE(item.data.empty());
    EXPECT_EQ(item.data.back(), 0) << "string items carry their zero";
    return std::string(item.data.begin(), item.data.end() - 1);
}

}  // namespace

TEST(WireEvent, HeaderAndFixedBlockAreLaidOutAsTheWireExpects) {
    const std::string payload = "hello";
    std::vector<BYTE> buffer(EventBufferSize(payload.size()), 0);
    EVT_PROVIDER_INFO description = Description("Source", "alice", "text of the provider");
    FillEvent(buffer.data(), payload.size(), 51, 0x8000C801, 77, description, "string a", "string b", 0x5A);

    const BYTE* h = buffer.data();
    EXPECT_EQ(Get16(h, 0), 1368u + payload.size());
    EXPECT_EQ(h[4], 51) << "Class.Type";
    EXPECT_EQ(Get32(h, 44), ULONG(WNODE_FLAG_TRACED_GUID));
    GUID guid;
    memcpy(&guid, h + 24, sizeof guid);
    EXPECT_TRUE(IsEqualGUID(guid, kEventClassGuid));
    for (size_t at : {2, 3, 5, 6, 7}) EXPECT_EQ(h[at], 0) << at;
    for (size_t at = 8; at < 24; ++at) EXPECT_EQ(h[at], 0) << "thread, process and time are the session's: " << at;
    for (size_t at = 40; at < 44; ++at) EXPECT_EQ(h[at], 0) << at;

    const BYTE* d = h + kHeaderSize;
    EXPECT_EQ(Get32(d, 0), 0x55AA55AAu);
    EXPECT_EQ(Get32(d, 4), 1312u + payload.size());
    EXPECT_EQ(Get32(d, 8), 0x8000C801u);
    EXPECT_EQ(Get32(d, 12), 77u);
    EXPECT_EQ(Get64(d, 16), 0u);
    EXPECT_EQ(Text(d + 24, 256), "Source");
    EXPECT_EQ(Text(d + 280, 256), "alice");
    EXPECT_EQ(Text(d + 536, 256), "text of the provider");
    EXPECT_EQ(Text(d + 792, 256), "string b") << "string B comes first on the wire";
    EXPECT_EQ(Text(d + 1048, 256), "string a");
    EXPECT_EQ(d[1304], 0x5A);
    for (size_t at = 1305; at < 1312; ++at) EXPECT_EQ(d[at], 0) << at;
    // FillEvent leaves the payload and the zero tail to the caller.
    for (size_t at = 1312; at < buffer.size() - kHeaderSize; ++at) EXPECT_EQ(d[at], 0) << at;
}

TEST(WireEvent, LongTextsAreCutTo255CharactersAndFieldsPaddedWithZeros) {
    std::vector<BYTE> buffer(EventBufferSize(0), 0);
    EVT_PROVIDER_INFO description = {};
    // A name running over its field into the next one, and garbage after a
    // terminated user name.
    memset(description.m_szInstanceName, 'n', sizeof description.m_szInstanceName);
    memset(description.m_szUserName, 'u', 44);
    strcpy(description.m_szProviderText, "p");
    memset(description.m_szProviderText + 2, 'x', 100);
    NormaliseDescription(description);
    const std::string longA(300, 'a');
    FillEvent(buffer.data(), 0, 51, 1, 2, description, longA.c_str(), nullptr, 0);

    const BYTE* d = buffer.data() + kHeaderSize;
    EXPECT_EQ(Text(d + 24, 256), std::string(255, 'n'));
    EXPECT_EQ(d[24 + 255], 0);
    EXPECT_EQ(Text(d + 280, 256), std::string(44, 'u'));
    EXPECT_EQ(Text(d + 536, 256), "p");
    for (size_t at = 536 + 1; at < 792; ++at) EXPECT_EQ(d[at], 0) << "bytes after a text are zero: " << at;
    EXPECT_EQ(Text(d + 1048, 256), std::string(255, 'a'));
    EXPECT_EQ(Text(d + 792, 256), "") << "a missing string is empty";
    EXPECT_EQ(Get16(buffer.data(), 0), 1368u);
}

TEST(WireEvent, LimitsFollowFromTheSixteenBitSize) {
    EXPECT_EQ(kMaxPayload, 64167u);
    EXPECT_EQ(kHeaderSize + kFixedSize + kMaxPayload + kWireTail, 0xFFFFu);
    EXPECT_EQ(EventBufferSize(10), 48u + 1312u + 10u + 9u);
}

TEST(FormatBlock, NumbersAndStringsAreStoredWithTheirSizesAndKinds) {
    std::vector<BYTE> block = FormatBlock("%d %s", 7, "ab");
    ASSERT_EQ(block.size(), 296u + 6u);
    const BYTE* b = block.data();
    EXPECT_EQ(Get32(b, 0), 2u);
    EXPECT_EQ(Get32(b, 4), 4u);
    EXPECT_EQ(Get32(b, 8), 2u);
    EXPECT_EQ(Get32(b, 12), 0u);
    EXPECT_EQ(Get32(b, 20), 0u);
    EXPECT_EQ(Get32(b, 24), 2u);
    EXPECT_EQ(Text(b + 36, 256), "%d %s");
    const BYTE expected[] = {0x07, 0x00, 0x00, 0x00, 0x61, 0x62, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(b + 292, expected, sizeof expected));

    block = FormatBlock("%x %d", 1, 2);
    ASSERT_EQ(block.size(), 304u);
    const BYTE numbers[] = {1, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(0, memcmp(block.data() + 292, numbers, sizeof numbers));
    EXPECT_EQ(Get32(block.data(), 20), 1u) << "kind of %x";
    EXPECT_EQ(Get32(block.data(), 24), 0u) << "kind of %d";
    block = FormatBlock("%x", 1);
    EXPECT_EQ(Get32(block.data(), 20), 1u) << "kind of %x";
    block = FormatBlock("%l", 0x11223344);
    EXPECT_EQ(Get32(block.data(), 20), 4u) << "kind of %l";
    EXPECT_EQ(Get32(block.data(), 292), 0x11223344u);
    block = FormatBlock("%S", "xyz");
    EXPECT_EQ(Get32(block.data(), 20), 2u) << "kind of %S";
    EXPECT_EQ(Get32(block.data(), 4), 3u);
}

TEST(FormatBlock, NeverMoreThanFourArgumentsAndOnlyRealConversionsTakeOne) {
    // A fifth conversion would overflow the four slots: it takes no argument.
    std::vector<BYTE> block = FormatBlock("%d%d%d%d%d", 1, 2, 3, 4, 5);
    ASSERT_EQ(block.size(), 296u + 16u);
    EXPECT_EQ(Get32(block.data(), 0), 4u);
    for (ULONG n = 0; n < 4; ++n) EXPECT_EQ(Get32(block.data(), 292 + 4 * n), n + 1);

    // "%%" and conversions of other letters take nothing, so the arguments
    // stay with the conversions they belong to.
    block = FormatBlock("100%% %u %5d %d %s", 9, "z");
    EXPECT_EQ(Get32(block.data(), 0), 2u);
    EXPECT_EQ(Get32(block.data(), 292), 9u);
    EXPECT_EQ(block[296], 'z');
    EXPECT_EQ(block.size(), 296u + 5u);

    block = FormatBlock("trailing %");
    EXPECT_EQ(Get32(block.data(), 0), 0u);
    EXPECT_EQ(block.size(), 296u);
}

TEST(FormatBlock, StringArgumentsAreBoundedAndNullIsEmpty) {
    std::string huge(5000, 'h');
    std::vector<BYTE> block = FormatBlock("%s|%s", huge.c_str(), static_cast<const char*>(nullptr));
    ASSERT_EQ(block.size(), 296u + 4096u);
    EXPECT_EQ(Get32(block.data(), 4), 4096u);
    EXPECT_EQ(Get32(block.data(), 8), 0u);
    EXPECT_EQ(Get32(block.data(), 24), 0u) << "an empty argument has no kind";
    EXPECT_EQ(block[292 + 4095], 'h');
    EXPECT_EQ(Get32(block.data(), 292 + 4096), 0u) << "the block ends in four zeros";

    std::string longFormat(400, 'f');
    block = FormatBlock(longFormat.c_str());
    EXPECT_EQ(Text(block.data() + 36, 256), std::string(255, 'f'));
}

TEST(ArgumentBlock, ItemsCarryKindSizeAndTheirLettersPosition) {
    Block block = ArgumentBlock("%5.2f and %lld", 3.25, 1234567890123LL);
    EXPECT_EQ(Get32(block.bytes, 0), 1u);
    EXPECT_EQ(block.bytes[4], 0);
    EXPECT_EQ(block.bytes[5], 3);
    std::vector<Item> items = Items(block);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].kind, 0);
    EXPECT_EQ(items[0].position, 0);
    EXPECT_EQ(AsString(items[0]), "%5.2f and %lld");
    EXPECT_EQ(items[1].kind, kItemDouble);
    EXPECT_EQ(items[1].position, 4);
    EXPECT_EQ(As<double>(items[1]), 3.25);
    EXPECT_EQ(items[2].kind, kItemLongLong);
    EXPECT_EQ(items[2].position, 13);
    EXPECT_EQ(As<long long>(items[2]), 1234567890123LL);

    // The trailer and the untouched bytes.
    EXPECT_EQ(Text(block.bytes + 1028, 260), "main.cpp");
    EXPECT_EQ(Get32(block.bytes, 1288), 42u);
    EXPECT_EQ(Get32(block.bytes, 1292), 0u);
    EXPECT_EQ(Get64(block.bytes, 1296), 0x0102030405060708ULL);
    EXPECT_EQ(Get32(block.bytes, 1304), 0x1234u);
    EXPECT_EQ(Get32(block.bytes, 1308), 0x5678u);
    size_t end = kItemsOffset + 2 + 5 + 15 + 13 + 13;
    for (size_t at = end; at < 1028; ++at) ASSERT_EQ(block.bytes[at], 0) << at;
}

TEST(ArgumentBlock, EveryConversionTakesItsArgumentOfTheRightType) {
    Block block = ArgumentBlock("%%|%c|%d|%ld|%hd|%u|%x|%I64d|%s|%e|%-5d|%*d|%p|%q|%i", 'Q', -7, 70000L, 5, 8u, 0xABu,
                                1LL << 40, "str", 1.5e10, 12, 3, 44, reinterpret_cast<void*>(0x1234), 9);
    std::vector<Item> items = Items(block);
    ASSERT_EQ(items.size(), 14u);
    EXPECT_EQ(items[1].kind, kItemChar);
    EXPECT_EQ(items[1].data[0], 'Q');
    EXPECT_EQ(items[1].position, 4);
    EXPECT_EQ(items[2].kind, kItemInt);
    EXPECT_EQ(As<LONG>(items[2]), -7);
    EXPECT_EQ(items[3].kind, kItemLong);
    EXPECT_EQ(As<LONG>(items[3]), 70000);
    EXPECT_EQ(items[4].kind, kItemInt);
    EXPECT_EQ(As<LONG>(items[4]), 5);
    EXPECT_EQ(As<ULONG>(items[5]), 8u);
    EXPECT_EQ(As<ULONG>(items[6]), 0xABu);
    EXPECT_EQ(items[7].kind, kItemLongLong);
    EXPECT_EQ(As<long long>(items[7]), 1LL << 40);
    EXPECT_EQ(items[8].kind, kItemString);
    EXPECT_EQ(AsString(items[8]), "str");
    EXPECT_EQ(items[9].kind, kItemDouble);
    EXPECT_EQ(As<double>(items[9]), 1.5e10);
    EXPECT_EQ(As<LONG>(items[10]), 12) << "flags are skipped";
    EXPECT_EQ(As<LONG>(items[11]), 44) << "a '*' width takes its own argument first";
    EXPECT_EQ(items[12].kind, kItemLongLong);
    EXPECT_EQ(As<ULONG64>(items[12]), 0x1234u);
    // %q is no conversion and takes nothing: 9 belongs to %i.
    EXPECT_EQ(As<LONG>(items[13]), 9);
    std::string format = AsString(items[0]);
    for (size_t n = 1; n < items.size(); ++n) {
        char letter = format[items[n].position];
        EXPECT_TRUE(strchr("cdsuxiepf", letter) != nullptr) << "item " << n << " points at '" << letter << "'";
    }
}

TEST(ArgumentBlock, ALoneLOrLlIsItselfTheConversion) {
    Block block = ArgumentBlock("%l %ll", 1, 2);
    std::vector<Item> items = Items(block);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1].kind, kItemInt);
    EXPECT_EQ(items[1].position, 1);
    EXPECT_EQ(items[2].kind, kItemLong);
    EXPECT_EQ(items[2].position, 5);
}

TEST(ArgumentBlock, EmptyAndNullStringsAddNoItemButTakeTheirArgument) {
    Block block = ArgumentBlock("%s%s%d", "", static_cast<const char*>(nullptr), 31);
    std::vector<Item> items = Items(block);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(As<LONG>(items[1]), 31);
    EXPECT_EQ(items[1].position, 5);
}

TEST(ArgumentBlock, ItemsEndWithinTheAreaAndStringsAreCutToFit) {
    // 7 + 5 bytes of format leave 1,012 bytes: a long string is cut so that
    // its item ends exactly at the end of the area.
    std::string text(2000, 's');
    Block block = ArgumentBlock("%s%d%c", text.c_str(), 5, 'z');
    std::vector<Item> items = Items(block);
    ASSERT_EQ(items.size(), 2u) << "nothing fits after the cut string";
    EXPECT_EQ(items[1].size, 1024u - 7u - 7u - 5u);
    EXPECT_EQ(AsString(items[1]), std::string(1024 - 7 - 7 - 5 - 1, 's'));

    // The format item of "%s%d%c" ends at offset 14; a string of L
    // characters ends at 20 + L. An integer needs 9 bytes, a character 6:
    // whatever does not fit is left out, whatever still fits is added.
    for (size_t left : {3, 5, 6, 8, 9, 14, 15, 16}) {
        std::string filler(1024 - 20 - left, 'f');
        block = ArgumentBlock("%s%d%c", filler.c_str(), 77, 'k');
        items = Items(block);
        std::vector<BYTE> kinds;
        for (size_t n = 1; n < items.size(); ++n) kinds.push_back(items[n].kind);
        std::vector<BYTE> expected = {kItemString};
        if (left >= 9) expected.push_back(kItemInt);
        if (left >= 9 ? left - 9 >= 6 : left >= 6) expected.push_back(kItemChar);
        EXPECT_EQ(kinds, expected) << "room left " << left;
        if (kinds.back() == kItemChar) {
            EXPECT_EQ(items.back().data[0], 'k') << "the character is still its own";
        }
    }
}

TEST(ArgumentBlock, LongFormatsAreStoredCutAndGetNoArguments) {
    std::string format(1015, 'x');
    format.replace(0, 2, "%d");
    Block block = ArgumentBlock(format.c_str(), 5);
    std::vector<Item> items = Items(block);
    ASSERT_EQ(items.size(), 1u) << "1,015 + 1 + 7 leaves one byte: no number fits";
    EXPECT_EQ(items[0].size, 1016u);

    format.assign(3000, 'y');
    format.replace(0, 2, "%d");
    block = ArgumentBlock(format.c_str(), 5);
    items = Items(block);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].size, 1017u) << "the size says what is stored";
    EXPECT_EQ(AsString(items[0]), format.substr(0, 1016));
    EXPECT_EQ(Text(block.bytes + 1028, 260), "main.cpp") << "the trailer is still there";
}

TEST(ArgumentBlock, PositionsAreTakenModulo256AndTheFileNameIsCut) {
    std::string format(300, '.');
    format += "%d";
    std::string file(400, 'F');
    Block block;
    BlockTrailer trailer = kTrailer;
    trailer.file = file.c_str();
    auto build = [&](const char* f, ...) {
        va_list arguments;
        va_start(arguments, f);
        BuildArgumentBlock(block.bytes, f, arguments, trailer);
        va_end(arguments);
    };
    build(format.c_str(), 3);
    std::vector<Item> items = Items(block);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].position, 301 % 256);
    EXPECT_EQ(Text(block.bytes + 1028, 260), std::string(259, 'F'));

    trailer.file = nullptr;
    build("%d", 1);
    EXPECT_EQ(Text(block.bytes + 1028, 260), "");
}

TEST(LogBlock, TextIsStoredOnlyBelow512AndCutToItsLength) {
    Block block;
    memset(block.bytes, 0xCC, sizeof block.bytes);
    BuildLogBlock(block.bytes, "log line here", 8, kTrailer);
    EXPECT_EQ(Get32(block.bytes, 0), 0u);
    EXPECT_EQ(Text(block.bytes + 4, 1024), "log line");
    for (size_t at = 4 + 8; at < 1028; ++at) ASSERT_EQ(block.bytes[at], 0) << at;
    EXPECT_EQ(Text(block.bytes + 1028, 260), "main.cpp");
    EXPECT_EQ(Get32(block.bytes, 1288), 42u);
    EXPECT_EQ(Get64(block.bytes, 1296), 0x0102030405060708ULL);

    std::string text(600, 't');
    BuildLogBlock(block.bytes, text.c_str(), 511, kTrailer);
    EXPECT_EQ(Text(block.bytes + 4, 1024), std::string(511, 't'));
    BuildLogBlock(block.bytes, text.c_str(), 512, kTrailer);
    EXPECT_EQ(Text(block.bytes + 4, 1024), "");
    BuildLogBlock(block.bytes, "short", 400, kTrailer);
    EXPECT_EQ(Text(block.bytes + 4, 1024), "short") << "the text ends at its zero";
}

TEST(EventTypes, UnifiedLogKindsBecomeTheirFormattedKinds) {
    const std::pair<ULONG, ULONG> mapping[] = {{53, 56}, {54, 57}, {55, 58}, {59, 63}, {60, 64},
                                               {61, 62}, {56, 56}, {70, 70}, {51, 51}, {0, 0}};
    for (auto [from, to] : mapping) EXPECT_EQ(FormattedType(from), to) << from;
}

TEST(EventCode, DomainAndSeverityComeFromTheirBits) {
    EXPECT_EQ(EVT_CODE_SEVERITY(0x80000800u), 3u);
    EXPECT_EQ(EVT_CODE_SEVERITY(0x80000000u), 2u);
    EXPECT_EQ(EVT_CODE_SEVERITY(0x00000800u), 1u);
    EXPECT_EQ(EVT_CODE_DOMAIN(0x0000C000u), 12u);
    EXPECT_EQ(EVT_CODE_NUMBER(0x0000C7FFu), 0x7FFu);
}
