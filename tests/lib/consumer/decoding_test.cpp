// Bytes from other processes and from files: argument blocks formatted
// conversion by conversion, session events converted into records, stored
// records read back, and the event database's text. None of it is trusted:
// what does not hold together is refused or cut, never read past its end.
#include <string.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "consumer/EvAlertText.h"
#include "providers/EvArgFormat.h"
#include "providers/EvRecordConvert.h"
#include "providers/EvRecordLayout.h"
#include "consumer/EvRecordReader.h"
#include "consumer_fixture.h"
#include "listener/EvDbText.h"

using namespace consumer_test;

namespace {

std::vector<uint8_t> I32(int32_t v) { return Num(2, v).value; }
std::vector<uint8_t> I64(int64_t v) { return Num(4, v).value; }
std::vector<uint8_t> F64(double v) { return Num(5, v).value; }
std::vector<uint8_t> S(const std::string& s) { return Str(s).value; }

TEST(ArgFormat, EachConversionTakesOnlyAValueOfItsKindAndSize) {
    // Piece, item kind, value and what is appended (null: refused, nothing).
    const std::tuple<const char*, int, std::vector<uint8_t>, const char*> cases[] = {
        {"%ld", 3, I32(7), "7"},  // l is 32-bit, as on the emitting side
        {"%hd", 2, I32(70000), "4464"},
        {"%I64u", 4, I64(5), "5"},
        {"%-6.1f", 5, F64(2.25), "2.2   "},
        {"%S", 0, S("wide"), "wide"},
        {"%10.2s", 0, Bytes("abc"), "        ab"},  // strings are read only within their size
        {"100%% %d", 2, I32(3), "100% 3"},        // percent signs that start no conversion are text
        {"[%s] %d", 2, I32(9), "[] 9"},           // a conversion that lost its item takes no value
        {"%-6.1f|", 5, F64(2.25), nullptr},       // the conversion must end the piece
        {"x=%s", 2, I32(1), nullptr},
        {"%d", 4, I64(1), nullptr},    // a 64-bit value needs ll
        {"%lld", 2, I32(1), nullptr},  // and a 32-bit one must not have it
        {"%Lf", 5, F64(1), nullptr},   // long double is not what was sent
        {"%d", 2, {1, 2}, nullptr},    // a short value
        {"%d", -1, I32(1), nullptr},   // an unknown kind
        // %n writes, %p and '*' read what is not there, huge widths and
        // precisions do not fit a message: never handed to the formatter.
        {"%n", 2, I32(0), nullptr},
        {"%p", 4, I64(0), nullptr},
        {"%*d", 2, I32(5), nullptr},
        {"%99999d", 2, I32(5), nullptr},
        {"%.2000f", 5, F64(1), nullptr},
        {"%-------------------d", 2, I32(5), nullptr},
    };
    for (const auto& [piece, kind, value, appended] : cases) {
        SCOPED_TRACE(std::string(piece) + " kind " + std::to_string(kind));
        char out[traceapi::kArgMessageSize] = "before:";
        size_t len = 7;
        EXPECT_EQ(traceapi::FormatPiece(piece, strlen(piece), kind, value.data(), value.size(), out, 1024, &len),
                  appended != nullptr ? traceapi::PieceResult::kDone : traceapi::PieceResult::kMismatch);
        EXPECT_EQ(std::string(out, len), std::string("before:") + (appended != nullptr ? appended : ""));
        EXPECT_EQ(out[len], '\0');
    }
    char out[16] = {};
    size_t len = 0;
    const std::vector<uint8_t> value = S("0123456789abcdefghij");
    EXPECT_EQ(traceapi::FormatPiece("%s", 2, 0, value.data(), value.size(), out, sizeof out, &len), traceapi::PieceResult::kCut);
    EXPECT_EQ(std::string(out), "0123456789abcde");
    EXPECT_EQ(len, 15u);
}

std::string Format(const std::vector<uint8_t>& block) {
    char message[traceapi::kArgMessageSize] = {};
    EXPECT_EQ(traceapi::FormatArgumentBlock(block.data(), message), S_OK);
    EXPECT_EQ(message[traceapi::kArgMessageSize - 1], '\0');
    return message;
}

TEST(ArgFormat, BlockItemsAreReadOnlyAtTheirPositionsAndWithinTheBlock) {
    EXPECT_EQ(Format(ArgBlock("%d tail", {Int(1, 1)})), "1");  // the text after the last item is not part of it
    // An item that does not fit its conversion ends the message before it;
    // so do positions that go backwards or beyond the format text, and a
    // count that promises more items than the block holds.
    EXPECT_EQ(Format(ArgBlock("%d, %s, %d", {Int(1, 1), Int(2, 5), Int(3, 9)})), "1");
    EXPECT_EQ(Format(ArgBlock("%d %d", {Int(1, 4), Int(2, 1)})), " 1");
    EXPECT_EQ(Format(ArgBlock("%d", {Int(1, 1), Int(2, 200)})), "1");
    EXPECT_EQ(Format(ArgBlock("%d %d", {Int(1, 1)}, 200)), "1");
    std::vector<uint8_t> block = ArgBlock("%s", {Str("x", 1)});
    Put<uint16_t>(block, 6 + 5 + 3 + 1, 60000);  // an item reaching past the items' area
    EXPECT_EQ(Format(block), "");
    block = ArgBlock("%d", {Int(1, 1)});
    Put<uint16_t>(block, 7, 5000);  // a format size beyond the area: the format ends there
    EXPECT_EQ(Format(block), "");
    block = ArgBlock("%d", {Int(4, 1)});
    block[6 + 5 + 2] = 'X';  // a format without its zero ends at its size
    EXPECT_EQ(Format(block), "4");
}

// What a conversion gave, copied out of the record.
struct Outcome {
    LONG result = 0;
    DWORD size = 0;
    DWORD dataLen = 0;
    std::string text, source, user;
    int64_t time = 0;
};

// Hands out heap records and notes the sizes asked for.
class NotingAllocator final : public traceapi::RecordAllocator {
public:
    _VANTA_EVTRACE_DATA* Allocate(size_t size) override {
        sizes.push_back(size);
        return traceapi::AllocRecord(size);
    }
    std::vector<size_t> sizes;
};

// Every record handed out is zero from the end of its data to its end. The
// same conversion from an allocator takes one record from it, of the size
// reported, with the same bytes.
Outcome Convert(Event&& event, DWORD mode = traceapi::kConvertForConsumer) {
    traceapi::RecordHolder record;
    Outcome o;
    o.result = traceapi::ConvertEventToRecord(event.get(), record.out(), &o.size, mode);
    const _VANTA_EVTRACE_DATA* r = record.get();
    EXPECT_EQ(r == nullptr, o.size == 0);
    NotingAllocator allocator;
    traceapi::RecordHolder fromAllocator;
    DWORD allocatedSize = 0;
    EXPECT_EQ(traceapi::ConvertEventToRecord(event.get(), fromAllocator.out(), &allocatedSize, mode, allocator),
              o.result);
    EXPECT_EQ(allocatedSize, o.size);
    EXPECT_EQ(allocator.sizes, r == nullptr ? std::vector<size_t>{} : std::vector<size_t>{o.size});
    if (r != nullptr && fromAllocator.get() != nullptr && allocatedSize == o.size) {
        EXPECT_EQ(memcmp(r, fromAllocator.get(), o.size), 0);
    }
    if (r == nullptr) return o;
    o.dataLen = r->dwDataLen;
    o.text = RecordText(r);
    o.source = r->szSource;
    o.user = r->szUserName;
    o.time = RecordTime(r);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(r);
    for (size_t i = 1312 + r->dwDataLen; i < o.size; ++i) EXPECT_EQ(bytes[i], 0) << "byte " << i;
    return o;
}

TEST(RecordConvert, EventsBecomeRecordsOfTheirSizeOrAreRefused) {
    auto sized = [](uint32_t size) {
        std::vector<uint8_t> d = ProviderData(51, Bytes("abc"));
        Put(d, 4, size);
        return d;
    };
    std::vector<uint8_t> truncated = sized(1312);
    truncated.resize(600);
    std::vector<uint8_t> noFormat = ArgBlock("%d", {Int(1, 1)});
    noFormat[6] = 2;
    // What, class type, data, the result, the size of the record handed out
    // (when refused, only to be freed) and its text.
    const std::tuple<const char*, uint8_t, std::vector<uint8_t>, LONG, DWORD, std::string> cases[] = {
        {"provider bytes as they are", 51, ProviderData(51, Bytes("twenty bytes of text")), S_OK, 1341,
         "twenty bytes of text"},
        {"no provider bytes", 51, ProviderData(51, {}), S_OK, 1321, ""},
        {"driver records carry four more zero bytes", 10, DriverData(0x80000A05, "Q"), S_OK, 1326, "Q"},
        {"driver codes index from 513", 10, DriverData(513 + 18, "shown"), S_OK, 1330, "shown"},
        {"driver code 23", 10, DriverData(513 + 23, "shown"), S_OK, 1330, "shown"},
        {"driver codes 19 to 22 are never shown", 10, DriverData(0x8000E000 | (513 + 22), "hidden"), E_FAIL, 0, ""},
        {"a driver event without text", 10, DriverData(0x205, ""), E_FAIL, 0, ""},
        {"data size beyond what was delivered", 51, sized(1312 + 5000), E_FAIL, 0, ""},
        {"data size below the fixed block", 51, sized(100), E_FAIL, 0, ""},
        {"fewer bytes delivered than the fixed block", 51, truncated, E_FAIL, 0, ""},
        {"less than the magic", 51, {0xAA, 0x55}, E_FAIL, 0, ""},
        {"another class type", 53, sized(1315), E_FAIL, 0, ""},
        {"no magic", 51, std::vector<uint8_t>(1400, 0x11), E_FAIL, 1320, ""},
        {"an argument block without items", 51, ProviderData(57, ArgBlock("%d", {Int(1, 1)}, 0)), E_FAIL, 2633, ""},
        {"an argument block whose first item is no format", 51, ProviderData(57, noFormat), E_FAIL, 2633, ""},
    };
    for (const auto& [what, classType, data, result, size, text] : cases) {
        SCOPED_TRACE(what);
        const Outcome o = Convert(Event(classType, data));
        EXPECT_EQ(o.result, result);
        EXPECT_EQ(o.size, size);
        EXPECT_EQ(o.text, text);
    }
    // Strings are cut to 255, also a user name that fills its field and has
    // no terminator on the wire; the record takes the event's time.
    const Outcome o = Convert(Event(51, ProviderData(51, {}, std::string(300, 's'), std::string(256, 'u')), 77));
    EXPECT_EQ(o.source, std::string(255, 's'));
    EXPECT_EQ(o.user, std::string(255, 'u'));
    EXPECT_EQ(o.time, 77);
    // Severity and domain bits do not count; other high bits do.
    for (auto [code, index] : std::vector<std::pair<DWORD, int>>{
             {0x201, 0}, {0x444, 579}, {0x80000A01, 0}, {0x200, -1}, {0x445, -1}, {0, -1}, {0x00100201, -1}}) {
        EXPECT_EQ(CEvDataQueue::GetDriverCodeIndex(code), index) << std::hex << code;
    }
}

// The line of a connection event whose block is cut to blockBytes; it takes
// 352 bytes of text whatever the block's length.
std::string ConnectionText(const std::vector<uint8_t>& block, size_t blockBytes = 348) {
    Outcome o = Convert(Event(52, ProviderData(52, std::vector<uint8_t>(block.begin(), block.begin() + blockBytes))));
    EXPECT_EQ(o.result, S_OK);
    EXPECT_EQ(o.dataLen, 352u);
    EXPECT_GE(o.size, 1312u + 352u + 9u);
    return o.text;
}

TEST(RecordConvert, ConnectionLinesAreReadOnlyWithinTheirFields) {
    const std::string mac = "00:1b:2c:3d:4e:5f";
    EXPECT_EQ(ConnectionText(ConnectionBlock(1, "HomeNet", 65535)), "ATC " + mac + " HomeNet 65535 RSSI=-60");
    EXPECT_EQ(ConnectionText(ConnectionBlock(3)), "RoamTrigger " + mac + " HomeNet 11 RSSI=-60 MisBcn=7 RSSITh=-75 detail");
    for (uint32_t id : {0u, 6u, 12u, 0xFFFFFFFFu}) EXPECT_EQ(ConnectionText(ConnectionBlock(id)), "") << id;
    // A name and a detail that fill their fields end at the fields' ends; a
    // longer line is cut to the record's 352 bytes.
    const std::string name(34, 'N'), detail(268, 'D');
    EXPECT_EQ(ConnectionText(ConnectionBlock(2, name, 11, detail)),
              "AssociationFailure " + mac + " " + name + " 11 " + detail);
    const std::string cut = ConnectionText(ConnectionBlock(3, name, 11, detail));
    EXPECT_EQ(cut.size(), 352u);
    EXPECT_EQ(cut.substr(0, 36), "RoamTrigger " + mac + " NNNNNN");
    // A block shorter than its layout reads as if padded with zeros.
    EXPECT_EQ(ConnectionText(ConnectionBlock(10), 10), "RxDeAut " + mac + " ");
    EXPECT_EQ(ConnectionText(ConnectionBlock(10), 0), "");
}

TEST(RecordConvert, BlocksBecomeLinesWithProcessThreadFileAndLineAndTheBlocksTime) {
    const std::string pt = "[p:0x1234][t:0xbeef]:", at = " @src/module.cpp(42)";
    const std::vector<uint8_t> args =
        ArgBlock("n=%d s=%s f=%5.2f ll=%lld c=%c end",
                 {Int(-7, 3), Str("ab", 8), Num(5, 3.14159, 16), Num(4, int64_t(1) << 40, 24), Num(1, 'Z', 29)});
    auto filled = [](int32_t line, uint32_t id) {
        std::vector<uint8_t> block = LogBlock("", line, id, id);
        memset(block.data() + 4, 'm', 1024);  // message and file without terminators
        memset(block.data() + 1028, 'f', 260);
        return block;
    };
    const std::string formatted = pt + "n=-7 s=ab f= 3.14 ll=1099511627776 c=Z" + at;
    const std::string unterminated = std::string(1023, 'm') + " @" + std::string(260, 'f');
    const std::tuple<uint32_t, std::vector<uint8_t>, std::string> cases[] = {
        {53, LogBlock("hello"), pt + "hello" + at},
        {66, LogBlock("x", -3), pt + "x @src/module.cpp(-3)"},
        // One line end is trimmed; "\r\n" alone is not longer than two
        // characters, so only its line feed goes.
        {53, LogBlock("line\r\n"), pt + "line" + at},
        {53, LogBlock("line\n\n"), pt + "line\n" + at},
        {53, LogBlock("\r\n"), pt + "\r" + at},
        // The formatted unified-log kinds format their arguments; 53 reads
        // the block as log text.
        {56, args, formatted},
        {63, args, formatted},
        {53, args, pt + at},
        {56, ArgBlock("no conversions here", {}), pt + at},
        {53, filled(42, 0x1234), "[p:0x1234][t:0x1234]:" + unterminated + "(42)"},
        {53, filled(-2147483647, 0xFFFFFFFF), ("[p:0xffffffff][t:0xffffffff]:" + unterminated).substr(0, 1312)},
    };
    for (const auto& [type, block, text] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        const Outcome o = Convert(Event(51, ProviderData(type, block)));
        EXPECT_EQ(o.result, S_OK);
        EXPECT_EQ(o.dataLen, 1312u);
        EXPECT_EQ(o.text, text);
        EXPECT_EQ(uint64_t(o.time), 0x01D9123456789ABCULL);
    }
}

// The bytes of a stored-records file.
struct FileBytes {
    std::vector<uint8_t> data;
    FileBytes& u32(uint32_t v) {
        data.resize(data.size() + 4);
        Put(data, data.size() - 4, v);
        return *this;
    }
    FileBytes& record(const std::vector<uint8_t>& image) {
        u32(uint32_t(image.size()));
        data.insert(data.end(), image.begin(), image.end());
        return *this;
    }
    FileBytes& log(uint32_t count) { return u32(4).u32(0x00010000).u32(count); }
};

using Texts = std::vector<std::string>;

// Reads stored records; the data of each record kept, which must be followed
// by its nine zero bytes.
LONG ReadStored(const std::vector<uint8_t>& bytes, bool snapshot, Texts* texts) {
    traceapi::MemorySource source(bytes.data(), bytes.size());
    traceapi::RecordList records;
    const LONG result = snapshot ? traceapi::ReadSnapshot(source, {}, &records) : traceapi::ReadBinaryLog(source, {}, &records);
    texts->clear();
    for (const _VANTA_EVTRACE_DATA* r : records) {
        texts->emplace_back(reinterpret_cast<const char*>(r->Data), r->dwDataLen);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(r->Data[r->dwDataLen + i], 0) << texts->back();
    }
    traceapi::FreeRecords(&records);
    return result;
}

TEST(RecordReader, StoredRecordsAreKeptAsFarAsTheyHoldTogether) {
    // A record whose text length claims more than it carries, without any
    // zero tail; one too short for the fixed part; one whose strings fill
    // their fields.
    std::vector<uint8_t> liar = RecordImage("abc");
    Put<uint32_t>(liar, 0, 0xFFFFFF00);
    liar.resize(1312 + 3);
    std::vector<uint8_t> full = RecordImage("t");
    memset(full.data() + 4, 'S', 256);
    std::vector<uint8_t> cut = FileBytes().log(2).record(RecordImage("whole")).record(RecordImage("cut")).data;
    cut.resize(cut.size() - 10);
    std::vector<uint8_t> cutLength = FileBytes().log(2).record(RecordImage("whole")).data;
    cutLength.push_back(0x10);
    // What, the bytes, whether they are a snapshot, the result and the records kept.
    const std::tuple<const char*, std::vector<uint8_t>, bool, LONG, Texts> cases[] = {
        {"file order", FileBytes().log(2).record(RecordImage("1")).record(RecordImage("")).data, 0, S_OK, {"1", ""}},
        {"another format", FileBytes().u32(5).u32(0x00010000).u32(1).record(RecordImage("x")).data, 0, S_OK, {}},
        {"no records", FileBytes().u32(0xFFFFFFFF).data, 0, S_OK, {}},
        {"no count", FileBytes().log(0xFFFFFFFF).record(RecordImage("x")).data, 0, S_OK, {}},
        {"zero and oversized lengths skip to the next four bytes",
         FileBytes().log(4).u32(0).u32(0x500000).record(RecordImage("kept")).u32(0xFFFFFFFF).data, 0, S_OK, {"kept"}},
        // A log written from a list with null entries announces more records.
        {"ends at a record's end", FileBytes().log(5).record(RecordImage("a")).record(RecordImage("b")).data, 0, S_OK,
         {"a", "b"}},
        {"a record cut short", cut, 0, EVT_E_NOFILEACCESS, {"whole"}},
        {"a length cut short", cutLength, 0, EVT_E_NOFILEACCESS, {"whole"}},
        {"records of any shape", FileBytes().log(3).record(liar).record(Bytes("short")).record(full).data, 0, S_OK,
         {"abc", "t"}},
        {"snapshot", FileBytes().u32(2).record(RecordImage("new")).record(RecordImage("old")).data, 1, S_OK,
         {"new", "old"}},
        {"empty snapshot", {}, 1, EVT_E_NOINFOSET, {}},
        {"snapshot of no records", FileBytes().u32(0xFFFFFFFF).data, 1, EVT_E_NOINFOSET, {}},
    };
    Texts texts;
    for (const auto& [what, bytes, snapshot, result, kept] : cases) {
        EXPECT_EQ(ReadStored(bytes, snapshot, &texts), result) << what;
        EXPECT_EQ(texts, kept) << what;
    }
    for (size_t cutAt : {0u, 2u, 4u, 6u, 8u, 10u}) {
        std::vector<uint8_t> header = FileBytes().log(1).data;
        header.resize(cutAt);
        EXPECT_EQ(ReadStored(header, false, &texts), EVT_E_NOFILEACCESS) << cutAt;
    }
}

TEST(AlertText, AlertCodesComeFromTerminatedEntriesInTheirOrder) {
    const std::pair<const char*, std::vector<DWORD>> cases[] = {
        {"  12||a|#|\n\t 34||b|#|\n", {12, 34}},  // white space before a code is skipped
        {"12||a|#|", {}},                    // no line end after the marker
        {"abc||x|#|\n-5||y|#|\n", {0, 0}},   // entries not starting with digits give zero
        {"99999999999||x|#|\n", {0xFFFFFFFF}},
        {"1||a|#|\n2||b|#|\n3||c", {1, 2}},  // a trailing entry without terminator is ignored
        {"1||a|#|\n|#|\n", {1}},             // a terminator that no "||" precedes ends the walk
    };
    for (const auto& [text, codes] : cases) EXPECT_EQ(traceapi::ParseAlertCodes(text), codes) << text;
    using Hints = std::vector<std::string_view>;
    EXPECT_EQ(traceapi::SplitHints("a;;"), (Hints{"a", ""}));
    EXPECT_EQ(traceapi::SplitHints("a;b;;;c"), (Hints{"a;b", ";c"}));
}

TEST(AlertText, TheDatabaseIsReadInTextModeAndLookedUpByTheCodeAsText) {
    EXPECT_EQ(traceapi::DatabaseTextFromBytes(std::string("a\r\nb\rc\r\r\nd\0e", 12)), "a\nb\rc\r\nd");
    std::string entry = "untouched";
    EXPECT_EQ(traceapi::LookupDatabaseEntry("5||a||b||c||d|#|", 5, &entry), E_FAIL);  // no line end: not an entry
    EXPECT_EQ(entry, "untouched");
    const std::string db = "1112||first|#|\n12||second|#|\n";
    ASSERT_EQ(traceapi::LookupDatabaseEntry(db, 12, &entry), S_OK);
    EXPECT_EQ(entry, "12||first|#|");  // found inside 1112 first
    EXPECT_EQ(traceapi::LookupDatabaseEntry(db, 3, &entry), E_FAIL);
}

}  // namespace
