// Stored records (binary event logs, live snapshots) read from bytes that
// may be short, lie about their lengths or hold records of any shape.
#include <gtest/gtest.h>

#include <string.h>

#include "consumer/EvRecordLayout.h"
#include "consumer/EvRecordReader.h"
#include "event_builder.h"

using namespace consumer_test;

namespace {

// A record image with a text of n bytes (as CreateLogFile stores it).
std::vector<uint8_t> RecordImage(const std::string& text, DWORD code = 0x1001) {
    std::vector<uint8_t> r(1321 + text.size(), 0);
    PutU32(r, 0, uint32_t(text.size()));
    PutText(r, 4, "Source", 255);
    PutU32(r, 276, code);
    memcpy(r.data() + 1312, text.data(), text.size());
    return r;
}

class FileBytes {
public:
    FileBytes& u32(uint32_t v) {
        size_t at = data.size();
        data.resize(at + 4);
        PutU32(data, at, v);
        return *this;
    }
    FileBytes& record(const std::vector<uint8_t>& image) {
        u32(uint32_t(image.size()));
        data.insert(data.end(), image.begin(), image.end());
        return *this;
    }
    FileBytes& raw(const std::vector<uint8_t>& bytes) {
        data.insert(data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    FileBytes& logHeader(uint32_t count) { return u32(4).u32(0x00010000).u32(count); }
    std::vector<uint8_t> data;
};

struct Read {
    LONG result;
    evt::RecordList records;
    ~Read() { evt::FreeRecords(&records); }
    std::string text(size_t i) const { return RecordText(records.at(i)); }
};

void ReadLog(const std::vector<uint8_t>& bytes, Read& out, const evt::RecordFilter& filter = {}) {
    evt::MemorySource source(bytes.data(), bytes.size());
    out.result = evt::ReadBinaryLog(source, filter, &out.records);
}

TEST(RecordReader, BinaryLogRecordsComeInFileOrder) {
    Read r;
    ReadLog(FileBytes().logHeader(3).record(RecordImage("one")).record(RecordImage("two")).record(RecordImage("")).data,
            r);
    EXPECT_EQ(r.result, S_OK);
    ASSERT_EQ(r.records.size(), 3u);
    EXPECT_EQ(r.text(0), "one");
    EXPECT_EQ(r.text(1), "two");
    EXPECT_EQ(r.text(2), "");
    EXPECT_STREQ(r.records[0]->szSource, "Source");
}

TEST(RecordReader, HeaderWordsDecideWhetherThereAreRecords) {
    Read other;
    ReadLog(FileBytes().u32(5).u32(0x00010000).u32(1).record(RecordImage("x")).data, other);
    EXPECT_EQ(other.result, S_OK);  // not our format: an empty infoset
    EXPECT_TRUE(other.records.empty());

    Read none;
    ReadLog(FileBytes().u32(0xFFFFFFFF).data, none);
    EXPECT_EQ(none.result, S_OK);
    EXPECT_TRUE(none.records.empty());

    Read noCount;
    ReadLog(FileBytes().logHeader(0xFFFFFFFF).record(RecordImage("x")).data, noCount);
    EXPECT_EQ(noCount.result, S_OK);
    EXPECT_TRUE(noCount.records.empty());

    for (size_t cut : {0u, 2u, 4u, 6u, 8u, 10u}) {
        std::vector<uint8_t> bytes = FileBytes().logHeader(1).data;
        bytes.resize(cut);
        Read shortHeader;
        ReadLog(bytes, shortHeader);
        EXPECT_EQ(shortHeader.result, EVT_E_NOFILEACCESS) << cut;
    }
}

TEST(RecordReader, ZeroAndOversizedLengthsSkipToTheNextFourBytes) {
    Read r;
    ReadLog(FileBytes().logHeader(4).u32(0).u32(0x500000).record(RecordImage("kept")).u32(0xFFFFFFFF).data, r);
    EXPECT_EQ(r.result, S_OK);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.text(0), "kept");
}

TEST(RecordReader, AFileEndingAtARecordBoundaryKeepsWhatItHolds) {
    // A log written from a list with null entries announces more records.
    Read r;
    ReadLog(FileBytes().logHeader(5).record(RecordImage("a")).record(RecordImage("b")).data, r);
    EXPECT_EQ(r.result, S_OK);
    EXPECT_EQ(r.records.size(), 2u);
}

TEST(RecordReader, ARecordCutShortIsDroppedAndFailsTheRead) {
    std::vector<uint8_t> bytes = FileBytes().logHeader(2).record(RecordImage("whole")).record(RecordImage("cut")).data;
    bytes.resize(bytes.size() - 10);
    Read r;
    ReadLog(bytes, r);
    EXPECT_EQ(r.result, EVT_E_NOFILEACCESS);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.text(0), "whole");

    // A length cut in its middle.
    bytes = FileBytes().logHeader(2).record(RecordImage("whole")).data;
    bytes.push_back(0x10);
    Read half;
    ReadLog(bytes, half);
    EXPECT_EQ(half.result, EVT_E_NOFILEACCESS);
    EXPECT_EQ(half.records.size(), 1u);
}

TEST(RecordReader, RecordsAreSoundWhateverTheyClaim) {
    // A record whose text length claims more than it carries is cut to what
    // it carries, and the text ends within it.
    std::vector<uint8_t> liar = RecordImage("abc");
    PutU32(liar, 0, 0xFFFFFF00);
    liar.resize(1312 + 3);  // no zero tail at all
    // A record too short for the fixed part is dropped.
    std::vector<uint8_t> stub(100, 'z');
    // A record whose strings fill their fields.
    std::vector<uint8_t> full = RecordImage("t");
    memset(full.data() + 4, 'S', 256);
    Read r;
    ReadLog(FileBytes().logHeader(3).record(liar).record(stub).record(full).data, r);
    EXPECT_EQ(r.result, S_OK);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.records[0]->dwDataLen, 3u);
    EXPECT_EQ(r.text(0), "abc");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(r.records[0]->Data[3 + i], 0);
    EXPECT_EQ(r.records[1]->dwDataLen, 1u);
}

TEST(RecordReader, TheFilterKeepsOnlyWhatItAccepts) {
    Read r;
    ReadLog(FileBytes()
                .logHeader(3)
                .record(RecordImage("a", 1))
                .record(RecordImage("b", 2))
                .record(RecordImage("c", 1))
                .data,
            r, [](const _VANTA_EVTRACE_DATA& record) { return record.dwEventCode == 1; });
    EXPECT_EQ(r.result, S_OK);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.text(0), "a");
    EXPECT_EQ(r.text(1), "c");
}

TEST(RecordReader, SnapshotsHaveACountAndNoHeader) {
    Read r;
    evt::MemorySource source(nullptr, 0);
    std::vector<uint8_t> bytes = FileBytes().u32(2).record(RecordImage("new")).record(RecordImage("old")).data;
    evt::MemorySource snapshot(bytes.data(), bytes.size());
    EXPECT_EQ(evt::ReadSnapshot(snapshot, {}, &r.records), S_OK);
    ASSERT_EQ(r.records.size(), 2u);
    EXPECT_EQ(r.text(0), "new");

    Read empty;
    EXPECT_EQ(evt::ReadSnapshot(source, {}, &empty.records), EVT_E_NOINFOSET);
    std::vector<uint8_t> none = FileBytes().u32(0xFFFFFFFF).data;
    evt::MemorySource noneSource(none.data(), none.size());
    EXPECT_EQ(evt::ReadSnapshot(noneSource, {}, &empty.records), EVT_E_NOINFOSET);
}

}  // namespace
