// The conversion of session events into records, for every kind of event,
// and its refusal of events whose sizes do not hold together.
#include <gtest/gtest.h>

#include "consumer/EvRecordConvert.h"
#include "consumer/EvRecordLayout.h"
#include "event_builder.h"

using namespace consumer_test;

namespace {

struct Converted {
    LONG result = 0;
    evt::RecordHolder record;
    DWORD size = 0;
    const _VANTA_EVTRACE_DATA* operator->() const { return record.get(); }
};

void Convert(Event& event, Converted& out, DWORD mode = evt::kConvertForConsumer) {
    out.result = evt::ConvertEventToRecord(event.get(), out.record.out(), &out.size, mode);
}

TEST(RecordConvert, ProviderTextKeepsItsBytesAndSwapsTheOptionalStrings) {
    Fixed f;
    f.code = 0x80002801;
    f.type = 51;
    f.stringA = "first";
    f.stringB = "second";
    f.flag = 0x5A;
    Event event = TextEvent("twenty bytes of text", f, 0x0123456789ABCDEFLL);
    Converted c;
    Convert(event, c);
    ASSERT_EQ(c.result, S_OK);
    ASSERT_NE(c.record.get(), nullptr);
    EXPECT_EQ(c.size, 20u + 1321u);
    EXPECT_EQ(c->dwDataLen, 20u);
    EXPECT_EQ(RecordText(c.record.get()), "twenty bytes of text");
    EXPECT_STREQ(c->szSource, "TestSource");
    EXPECT_STREQ(c->szUserName, "tester");
    EXPECT_STREQ(c->szProviderText, "provider text");
    EXPECT_STREQ(c->szStringA, "first");
    EXPECT_STREQ(c->szStringB, "second");
    EXPECT_EQ(c->bFlag, 0x5A);
    EXPECT_EQ(c->dwEventCode, 0x80002801u);
    EXPECT_EQ(c->dwEventType, 51u);
    EXPECT_EQ(RecordTime(c.record.get()), 0x0123456789ABCDEFLL);
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(c->Data[20 + i], 0) << i;
}

TEST(RecordConvert, EmptyTextGivesTheSmallestRecord) {
    Event event = TextEvent("");
    Converted c;
    Convert(event, c);
    ASSERT_EQ(c.result, S_OK);
    EXPECT_EQ(c.size, 1321u);
    EXPECT_EQ(c->dwDataLen, 0u);
    EXPECT_EQ(c->Data[0], 0);
}

TEST(RecordConvert, OverlongAndUnterminatedStringsAreCutTo255) {
    Fixed f;
    f.source = std::string(300, 's');
    f.user = std::string(256, 'u');  // fills its field: no terminator on the wire
    Event event = TextEvent("x", f);
    Converted c;
    Convert(event, c);
    ASSERT_EQ(c.result, S_OK);
    EXPECT_EQ(std::string(c->szSource), std::string(255, 's'));
    EXPECT_EQ(std::string(c->szUserName), std::string(255, 'u'));
}

TEST(RecordConvert, WithoutMagicARecordIsHandedOutOnlyToBeFreed) {
    std::vector<uint8_t> data(1400, 0x11);
    Event event(51, data);
    Converted c;
    Convert(event, c);
    EXPECT_EQ(c.result, E_FAIL);
    ASSERT_NE(c.record.get(), nullptr);
    EXPECT_EQ(c.size, 1320u);
}

TEST(RecordConvert, SizesThatDoNotHoldTogetherAreRefusedWithoutARecord) {
    // Data size beyond what was delivered.
    std::vector<uint8_t> data = ProviderData({}, Bytes("abc"));
    PutU32(data, 4, 1312 + 5000);
    Event beyond(51, data);
    // Data size below the fixed block.
    PutU32(data, 4, 100);
    Event below(51, data);
    // Fewer bytes delivered than the fixed block.
    std::vector<uint8_t> shortData(600, 0);
    PutU32(shortData, 0, 0x55AA55AA);
    PutU32(shortData, 4, 1312);
    Event truncated(51, shortData);
    // Less than the magic itself.
    Event tiny(51, std::vector<uint8_t>{0xAA, 0x55});
    for (Event* e : {&beyond, &below, &truncated, &tiny}) {
        Converted c;
        Convert(*e, c);
        EXPECT_EQ(c.result, E_FAIL);
        EXPECT_EQ(c.record.get(), nullptr);
        EXPECT_EQ(c.size, 0u);
    }
}

TEST(RecordConvert, OtherClassTypesAreNotConverted) {
    Event event = TextEvent("hello");
    event.trace.Header.Class.Type = 53;
    Converted c;
    Convert(event, c);
    EXPECT_EQ(c.result, E_FAIL);
    EXPECT_EQ(c.record.get(), nullptr);
    EXPECT_EQ(evt::ConvertEventToRecord(nullptr, c.record.out(), &c.size, 2), E_FAIL);
}

// ---- Connection events (class type 52) --------------------------------------

std::string ConnectionText(const Connection& conn, size_t blockBytes = 348) {
    std::vector<uint8_t> block = ConnectionBlock(conn);
    block.resize(blockBytes);
    Fixed f;
    f.type = 52;
    Event event(52, ProviderData(f, block));
    Converted c;
    Convert(event, c);
    EXPECT_EQ(c.result, S_OK);
    if (c.record.get() == nullptr) return "<no record>";
    EXPECT_EQ(c->dwDataLen, 352u);
    EXPECT_GE(c.size, 1312u + 352u + 9u);
    return RecordText(c.record.get());
}

TEST(RecordConvert, ConnectionLinesNameTheEventAndTheStation) {
    Connection conn;
    conn.eventId = 10;
    conn.detail = "x";
    EXPECT_EQ(ConnectionText(conn), "RxDeAut 00:1b:2c:3d:4e:5f x");

    conn.eventId = 1;
    conn.rssi = int32_t(0xFFFFFFC4);
    conn.value = 65535;
    EXPECT_EQ(ConnectionText(conn), "ATC 00:1b:2c:3d:4e:5f HomeNet 65535 RSSI=-60");

    conn = Connection();
    conn.eventId = 3;
    EXPECT_EQ(ConnectionText(conn), "RoamTrigger 00:1b:2c:3d:4e:5f HomeNet 11 RSSI=-60 MisBcn=7 RSSITh=-75 detail");
    conn.eventId = 4;
    EXPECT_EQ(ConnectionText(conn),
              "RoamCand 00:1b:2c:3d:4e:5f TpTPriority=1 RSSIPriority=2 ConnectionAttemptPriority=3 "
              "DirectRoamPriority=4");
    conn.eventId = 5;
    EXPECT_EQ(ConnectionText(conn), "Roam To 00:1b:2c:3d:4e:5f HomeNet 11 RoamingPriority=5");
    conn.eventId = 2;
    EXPECT_EQ(ConnectionText(conn), "AssociationFailure 00:1b:2c:3d:4e:5f HomeNet 11 detail");
    conn.eventId = 7;
    EXPECT_EQ(ConnectionText(conn), "RxAuthSuccess 00:1b:2c:3d:4e:5f 11");
    conn.eventId = 8;
    EXPECT_EQ(ConnectionText(conn), "RxAssocResp 00:1b:2c:3d:4e:5f 11 -60");
    conn.eventId = 9;
    EXPECT_EQ(ConnectionText(conn), "RxDisAssoc 00:1b:2c:3d:4e:5f detail");
    conn.eventId = 11;
    EXPECT_EQ(ConnectionText(conn), "AddToExclude 00:1b:2c:3d:4e:5f HomeNet 11 detail");
}

TEST(RecordConvert, ConnectionEventsWithoutALineHaveAnEmptyText) {
    for (uint32_t id : {0u, 6u, 12u, 0xFFFFFFFFu}) {
        Connection conn;
        conn.eventId = id;
        EXPECT_EQ(ConnectionText(conn), "") << id;
    }
}

TEST(RecordConvert, ConnectionBlocksAreReadOnlyWithinTheirFields) {
    // A name and a detail that fill their fields without a terminator end
    // at their fields' ends.
    Connection conn;
    conn.eventId = 2;
    conn.name = std::string(34, 'N');
    conn.detail = std::string(268, 'D');
    EXPECT_EQ(ConnectionText(conn),
              "AssociationFailure 00:1b:2c:3d:4e:5f " + std::string(34, 'N') + " 11 " + std::string(268, 'D'));
    // A longer line is cut to the record's 352 bytes.
    conn.eventId = 3;
    std::string text = ConnectionText(conn);
    EXPECT_EQ(text.size(), 352u);
    EXPECT_EQ(text.substr(0, 36), "RoamTrigger 00:1b:2c:3d:4e:5f " + std::string(6, 'N'));

    // A block shorter than its layout reads as if padded with zeros, and the
    // record still has room for the 352-byte text.
    conn = Connection();
    conn.eventId = 10;
    EXPECT_EQ(ConnectionText(conn, 10), "RxDeAut 00:1b:2c:3d:4e:5f ");
    EXPECT_EQ(ConnectionText(conn, 0), "");
}

// ---- Log blocks and argument blocks ------------------------------------------

std::string BlockText(uint32_t type, const std::vector<uint8_t>& block, LONG expect = S_OK, int64_t* time = nullptr) {
    Fixed f;
    f.type = type;
    Event event(51, ProviderData(f, block));
    Converted c;
    Convert(event, c);
    EXPECT_EQ(c.result, expect);
    if (c.record.get() == nullptr) return "<no record>";
    EXPECT_EQ(c->dwDataLen, 1312u);
    if (time != nullptr) *time = RecordTime(c.record.get());
    return RecordText(c.record.get());
}

TEST(RecordConvert, LogBlocksAreDecoratedWithProcessThreadFileAndLine) {
    int64_t time = 0;
    EXPECT_EQ(BlockText(53, LogBlock("hello")), "[p:0x1234][t:0xbeef]:hello @src/module.cpp(42)");
    EXPECT_EQ(BlockText(53, LogBlock("hello"), S_OK, &time), "[p:0x1234][t:0xbeef]:hello @src/module.cpp(42)");
    EXPECT_EQ(uint64_t(time), 0x01D9123456789ABCULL);  // the block's time replaces the session's
    BlockTrailer t;
    t.line = -3;
    EXPECT_EQ(BlockText(66, LogBlock("x", t)), "[p:0x1234][t:0xbeef]:x @src/module.cpp(-3)");
}

TEST(RecordConvert, LineEndsAreTrimmedOnce) {
    EXPECT_EQ(BlockText(53, LogBlock("line\r\n")), "[p:0x1234][t:0xbeef]:line @src/module.cpp(42)");
    EXPECT_EQ(BlockText(53, LogBlock("line\n")), "[p:0x1234][t:0xbeef]:line @src/module.cpp(42)");
    EXPECT_EQ(BlockText(53, LogBlock("line\n\n")), "[p:0x1234][t:0xbeef]:line\n @src/module.cpp(42)");
    // "\r\n" alone is not longer than two characters: only its line feed goes.
    EXPECT_EQ(BlockText(53, LogBlock("\r\n")), "[p:0x1234][t:0xbeef]:\r @src/module.cpp(42)");
}

TEST(RecordConvert, UnterminatedLogTextAndFileStayInTheirFields) {
    std::vector<uint8_t> block = LogBlock("");
    memset(block.data() + 4, 'm', 1024);
    memset(block.data() + 1028, 'f', 260);
    EXPECT_EQ(BlockText(53, block),
              "[p:0x1234][t:0xbeef]:" + std::string(1023, 'm') + " @" + std::string(260, 'f') + "(42)");
    // A longer line is cut to the record's 1,312 bytes.
    BlockTrailer t;
    t.processId = 0xFFFFFFFF;
    t.threadId = 0xFFFFFFFF;
    t.line = -2147483647;
    block = LogBlock("", t);
    memset(block.data() + 4, 'm', 1024);
    memset(block.data() + 1028, 'f', 260);
    std::string text = BlockText(53, block);
    EXPECT_EQ(text.size(), 1312u);
    EXPECT_EQ(text.substr(0, 33), "[p:0xffffffff][t:0xffffffff]:mmmm");
}

TEST(RecordConvert, ArgumentBlocksAreFormatted) {
    std::vector<uint8_t> block = ArgBlock(
        "n=%d s=%s f=%5.2f ll=%lld c=%c end",
        {IntItem(-7, 3), StringItem("ab", 8), DoubleItem(3.14159, 16), Int64Item(1LL << 40, 24), CharItem('Z', 29)});
    EXPECT_EQ(BlockText(56, block), "[p:0x1234][t:0xbeef]:n=-7 s=ab f= 3.14 ll=1099511627776 c=Z @src/module.cpp(42)");
    // Every formatted unified-log kind formats alike; 53 reads a log block.
    EXPECT_EQ(BlockText(63, block), BlockText(56, block));
    EXPECT_EQ(BlockText(62, block), BlockText(56, block));
    EXPECT_EQ(BlockText(53, block), "[p:0x1234][t:0xbeef]: @src/module.cpp(42)");
}

TEST(RecordConvert, FormatOnlyBlocksGiveAnEmptyMessage) {
    EXPECT_EQ(BlockText(56, ArgBlock("no conversions here", {})), "[p:0x1234][t:0xbeef]: @src/module.cpp(42)");
}

TEST(RecordConvert, BlocksWithoutTheirFormatItemFail) {
    EXPECT_EQ(BlockText(56, ArgBlock("%d", {IntItem(1, 1)}, {}, 0), E_FAIL), "");
    std::vector<uint8_t> block = ArgBlock("%d", {IntItem(1, 1)});
    block[6] = 2;  // item 0 is not a string
    EXPECT_EQ(BlockText(57, block, E_FAIL), "");
}

// ---- Driver events (class type 10) -------------------------------------------

TEST(RecordConvert, DriverEventsNeedMoreThanFortyBytes) {
    Event forty(10, DriverData(0x205, ""));
    Converted none;
    Convert(forty, none);
    EXPECT_EQ(none.result, E_FAIL);
    EXPECT_EQ(none.record.get(), nullptr);

    Event one(10, DriverData(0x80000A05, "Q", 0x0102030405060708ULL));
    Converted c;
    Convert(one, c);
    ASSERT_EQ(c.result, S_OK);
    EXPECT_EQ(c.size, 1326u);
    EXPECT_EQ(c->dwDataLen, 1u);
    EXPECT_STREQ(c->szSource, "Mesquite_Driver");
    EXPECT_EQ(c->dwEventType, 0x1040u);
    EXPECT_EQ(c->dwEventCode, 0x80000A05u);
    EXPECT_EQ(uint64_t(RecordTime(c.record.get())), 0x0102030405060708ULL);
    EXPECT_EQ(RecordText(c.record.get()), "Q");
    EXPECT_STREQ(c->szUserName, "");
}

TEST(RecordConvert, TheQueueTakesNoDriverEventsAndTheConsumerNotCodes19To22) {
    Event event(10, DriverData(0x201, "driver says hi"));
    Converted queued;
    Convert(event, queued, evt::kConvertForQueue);
    EXPECT_EQ(queued.result, E_FAIL);
    EXPECT_EQ(queued.record.get(), nullptr);

    for (DWORD number : {513u + 19u, 513u + 22u}) {
        Event hidden(10, DriverData(number, "hidden"));
        Converted c;
        Convert(hidden, c);
        EXPECT_EQ(c.result, E_FAIL) << number;
        EXPECT_EQ(c.record.get(), nullptr);
    }
    for (DWORD number : {513u + 18u, 513u + 23u}) {
        Event shown(10, DriverData(number, "shown"));
        Converted c;
        Convert(shown, c);
        EXPECT_EQ(c.result, S_OK) << number;
    }
}

TEST(RecordConvert, DriverCodeIndex) {
    EXPECT_EQ(evt::DriverCodeIndex(0x201), 0);
    EXPECT_EQ(evt::DriverCodeIndex(0x444), 579);
    EXPECT_EQ(evt::DriverCodeIndex(0x80000A01), 0);  // severity and domain bits do not count
    EXPECT_EQ(evt::DriverCodeIndex(0x200), -1);
    EXPECT_EQ(evt::DriverCodeIndex(0x445), -1);
    EXPECT_EQ(evt::DriverCodeIndex(0), -1);
    EXPECT_EQ(evt::DriverCodeIndex(0x00100201), -1);
    EXPECT_EQ(CEvDataQueue::GetDriverCodeIndex(0x444), 579);
}

}  // namespace
