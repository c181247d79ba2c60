// The emitters, seen by a real-time consumer of the session: results, types,
// payload forms and the unified-log switch.
#include <TraceApi.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "library_fixture.h"
#include "raw_consumer.h"
#include "wire_reader.h"

using wire_reader::Get16;
using wire_reader::Get32;
using wire_reader::Get64;
using wire_reader::Text;

namespace {

class EmissionTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        probe_ = Register("probe");
        ASSERT_NE(probe_, 0u);
        ASSERT_TRUE(consumer_.Start());
        ASSERT_TRUE(consumer_.Attach("probe", [&] { EvTraceString(probe_, 51, 0, "probe", nullptr, nullptr, 0); }));
        handle_ = Register("Emitter", "someone", "provider text");
        ASSERT_NE(handle_, 0u);
    }

    void TearDown() override {
        consumer_.Stop();
        LibraryTest::TearDown();
    }

    // The next events of the emitter, waiting for count of them.
    std::vector<RawEvent> Received(size_t count) {
        EXPECT_TRUE(consumer_.WaitFor("Emitter", count)) << "waiting for " << count << " events";
        return consumer_.EventsFrom("Emitter");
    }

    // Sends one text through the emitter and waits for that very event: what
    // was sent before has arrived by then.
    void Fence() {
        ULONG code = kFenceCode + ++fences_;
        ASSERT_EQ(EvTraceString(handle_, 51, code, "fence", nullptr, nullptr, 0), S_OK);
        ASSERT_TRUE(testing_support::eventually([&] {
            for (const RawEvent& event : consumer_.EventsFrom("Emitter"))
                if (event.Code() == code) return true;
            return false;
        }));
    }

    static void SetSwitch(bool on) {
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\UL_ENABLED_EVENT");
        ASSERT_NE(event, nullptr);
        if (on)
            SetEvent(event);
        else
            ResetEvent(event);
        CloseHandle(event);
    }

    LONG FormatArgs(ULONG handle, ULONG type, const char* format, ...) {
        va_list arguments;
        va_start(arguments, format);
        LONG result =
            EvTraceFormatArgs(handle, type, 0x42, "sa", "sb", 3, format, arguments, "file.cpp", 12, 0x1122, 0x33, 0x44);
        va_end(arguments);
        return result;
    }

    static constexpr ULONG kFenceCode = 0xFE00;
    RawConsumer consumer_;
    ULONG probe_ = 0;
    ULONG handle_ = 0;
    ULONG fences_ = 0;
};

}  // namespace

TEST_F(EmissionTest, TextEventsArriveWithEveryFieldInPlace) {
    ASSERT_EQ(EvTraceString(handle_, 1234, 0x8000C801, "hello world", "alpha", "beta", 0x7F), S_OK);
    std::vector<RawEvent> events = Received(1);
    ASSERT_EQ(events.size(), 1u);
    const RawEvent& event = events[0];
    EXPECT_EQ(event.header.Size, 1368 + 11);
    EXPECT_EQ(event.header.Class.Type, 51);
    EXPECT_EQ(event.header.Flags, ULONG(WNODE_FLAG_TRACED_GUID));
    const GUID eventClass = {0xF2EC902B, 0x8545, 0x458C, {0xBB, 0x9A, 0x76, 0x09, 0x3B, 0x0F, 0x47, 0xB2}};
    EXPECT_TRUE(IsEqualGUID(event.header.Guid, eventClass));
    EXPECT_EQ(event.header.ProcessId, GetCurrentProcessId()) << "the session stamps the process";
    EXPECT_NE(event.header.TimeStamp.QuadPart, 0);
    ASSERT_EQ(event.data.size(), 1320u + 11u) << "fixed block, text and 8 zero bytes";
    EXPECT_EQ(event.Get32(0), 0x55AA55AAu);
    EXPECT_EQ(event.Get32(4), 1312u + 11u);
    EXPECT_EQ(event.Code(), 0x8000C801u);
    EXPECT_EQ(event.Type(), 1234u);
    EXPECT_EQ(event.Source(), "Emitter");
    EXPECT_EQ(event.Field(280), "someone");
    EXPECT_EQ(event.Field(536), "provider text");
    EXPECT_EQ(event.StringA(), "alpha");
    EXPECT_EQ(event.StringB(), "beta");
    EXPECT_EQ(event.Flag(), 0x7F);
    std::vector<BYTE> payload = event.Payload();
    EXPECT_EQ(std::string(payload.begin(), payload.end()), "hello world");
    for (size_t at = event.data.size() - 8; at < event.data.size(); ++at) EXPECT_EQ(event.data[at], 0);
}

TEST_F(EmissionTest, TextsAreBoundedAndEmptyTextsHaveNoPayload) {
    std::string longText(5000, 'T');
    ASSERT_EQ(EvTraceString(handle_, 51, 1, "", nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(EvTraceString(handle_, 51, 2, longText.c_str(), std::string(300, 'a').c_str(), nullptr, 0), S_OK);
    std::vector<RawEvent> events = Received(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].header.Size, 1368);
    EXPECT_TRUE(events[0].Payload().empty());
    EXPECT_EQ(events[1].header.Size, 5464);
    EXPECT_EQ(events[1].Payload(), std::vector<BYTE>(4096, 'T'));
    EXPECT_EQ(events[1].StringA(), std::string(255, 'a'));
}

TEST_F(EmissionTest, TheHandleIsCheckedBeforeTheText) {
    EXPECT_EQ(EvTraceString(77, 51, 1, nullptr, nullptr, nullptr, 0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvTraceString(handle_, 51, 1, nullptr, nullptr, nullptr, 0), EVT_E_POINTER);
    EXPECT_EQ(EvTraceStart(77, 1, nullptr), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvTraceStart(handle_, 1, nullptr), EVT_E_POINTER);
    EXPECT_EQ(EvTraceFormat(77, 0, 1, nullptr, nullptr, 0, nullptr), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvTraceFormat(handle_, 0, 1, nullptr, nullptr, 0, nullptr), EVT_E_POINTER);
    EXPECT_EQ(EvTraceCustom(77, 1, 1, "x", 1, nullptr, nullptr, 0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvTraceCustomTimeStamp(77, 52, 1, "x", 1, nullptr, nullptr, 0), EVT_E_NOTINITIALIZED);
    SetSwitch(true);
    EXPECT_EQ(EvTraceCustomLog(77, 53, 1, "f", 1, "x", 1, nullptr, nullptr, 0, 0, 0, 0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvTraceCustomLog(handle_, 53, 1, "f", 1, nullptr, 1, nullptr, nullptr, 0, 0, 0, 0), EVT_E_POINTER);
    EXPECT_EQ(FormatArgs(77, 53, "x"), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(FormatArgs(handle_, 53, nullptr), EVT_E_POINTER);
    Fence();
    EXPECT_EQ(consumer_.EventsFrom("Emitter").size(), 1u) << "only the fence was sent";
}

TEST_F(EmissionTest, StartMarkersHaveType66AndNoStrings) {
    ASSERT_EQ(EvTraceStart(handle_, 0x1000, "starting"), S_OK);
    std::vector<RawEvent> events = Received(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Type(), 66u);
    EXPECT_EQ(events[0].Code(), 0x1000u);
    EXPECT_EQ(events[0].StringA(), "");
    EXPECT_EQ(events[0].StringB(), "");
    EXPECT_EQ(events[0].Flag(), 0);
    EXPECT_EQ(events[0].header.Class.Type, 51);
    std::vector<BYTE> payload = events[0].Payload();
    EXPECT_EQ(std::string(payload.begin(), payload.end()), "starting");
}

TEST_F(EmissionTest, CustomDataIsSentUnchangedAndNullDataAsZeros) {
    const BYTE bytes[] = {0, 1, 2, 0xFF, 0, 0x80};
    ASSERT_EQ(EvTraceCustom(handle_, 9, 2, bytes, sizeof bytes, "a", "b", 1), S_OK);
    ASSERT_EQ(EvTraceCustom(handle_, 9, 3, nullptr, 10, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(EvTraceCustom(handle_, 9, 4, nullptr, 0, nullptr, nullptr, 0), S_OK);
    std::vector<RawEvent> events = Received(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Payload(), std::vector<BYTE>(bytes, bytes + sizeof bytes));
    EXPECT_EQ(events[0].header.Class.Type, 51);
    EXPECT_EQ(events[1].Payload(), std::vector<BYTE>(10, 0));
    EXPECT_EQ(events[2].header.Size, 1368);
}

TEST_F(EmissionTest, TimeStampedEventsOfType52CarryHeaderType52) {
    const BYTE block[352] = {6};
    ASSERT_EQ(EvTraceCustomTimeStamp(handle_, 52, 5, block, sizeof block, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(EvTraceCustomTimeStamp(handle_, 51, 6, block, 4, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(EvTraceCustomTimeStamp(handle_, 52, 7, nullptr, 8, nullptr, nullptr, 0), EVT_E_POINTER);
    std::vector<RawEvent> events = Received(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].header.Class.Type, 52);
    EXPECT_EQ(events[0].Type(), 52u);
    EXPECT_EQ(events[0].Payload(), std::vector<BYTE>(block, block + sizeof block));
    EXPECT_EQ(events[1].header.Class.Type, 51);
    Fence();
    EXPECT_EQ(consumer_.EventsFrom("Emitter").size(), 3u) << "the refused call sent nothing";
}

TEST_F(EmissionTest, FormatEventsCarryTheFormatBlockAsType56) {
    ASSERT_EQ(EvTraceFormat(handle_, 99, 0x77, "A", "B", 2, "%d %s", 7, "ab"), S_OK);
    std::vector<RawEvent> events = Received(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Type(), 56u) << "the type argument is ignored";
    EXPECT_EQ(events[0].Code(), 0x77u);
    std::vector<BYTE> block = events[0].Payload();
    ASSERT_EQ(block.size(), 302u);
    EXPECT_EQ(Get32(block.data(), 0), 2u);
    EXPECT_EQ(Text(block.data() + 36, 256), "%d %s");
    const BYTE data[] = {7, 0, 0, 0, 'a', 'b', 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(block.data() + 292, data, sizeof data));
}

TEST_F(EmissionTest, ArgumentEventsAreMappedToFormattedKindsWhileTheSwitchIsOn) {
    SetSwitch(true);
    ASSERT_EQ(FormatArgs(handle_, 53, "%d-%s", 5, "five"), S_OK);
    ASSERT_EQ(FormatArgs(handle_, 70, "plain"), S_OK);
    std::vector<RawEvent> events = Received(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Type(), 56u);
    EXPECT_EQ(events[1].Type(), 70u);
    std::vector<BYTE> block = events[0].Payload();
    ASSERT_EQ(block.size(), 1312u);
    EXPECT_EQ(events[0].header.Size, 1368 + 1312);
    EXPECT_EQ(Get32(block.data(), 0), 1u);
    EXPECT_EQ(block[5], 3) << "format, number, string";
    EXPECT_EQ(Text(block.data() + 11, 1017), "%d-%s");
    EXPECT_EQ(Text(block.data() + 1028, 260), "file.cpp");
    EXPECT_EQ(Get32(block.data(), 1288), 12u);
    EXPECT_EQ(Get64(block.data(), 1296), 0x1122u);
    EXPECT_EQ(Get32(block.data(), 1304), 0x33u);
    EXPECT_EQ(Get32(block.data(), 1308), 0x44u);
    EXPECT_EQ(events[0].StringA(), "sa");
    EXPECT_EQ(events[0].StringB(), "sb");
    EXPECT_EQ(events[0].Flag(), 3);
}

TEST_F(EmissionTest, UnifiedLogEmittersAreSilentWhileTheSwitchIsOff) {
    SetSwitch(false);
    EXPECT_EQ(FormatArgs(handle_, 53, "quiet %d", 1), S_OK);
    EXPECT_EQ(EvTraceCustomLog(handle_, 53, 1, "f.cpp", 1, "quiet", 5, nullptr, nullptr, 0, 0, 0, 0), S_OK);
    EXPECT_EQ(FormatArgs(77, 53, "x"), S_OK) << "the switch is consulted first";
    Fence();
    EXPECT_EQ(consumer_.EventsFrom("Emitter").size(), 1u);

    SetSwitch(true);
    EXPECT_EQ(FormatArgs(handle_, 54, "loud %d", 1), S_OK);
    Fence();
    ASSERT_EQ(consumer_.EventsFrom("Emitter").size(), 3u);
    EXPECT_EQ(consumer_.EventsFrom("Emitter")[1].Type(), 57u);
}

TEST_F(EmissionTest, TheSwitchStillAppliesAfterAnotherProviderLeaves) {
    ULONG other = Register("Leaving");
    SetSwitch(false);
    ASSERT_EQ(UnRegisterEvTrace(other), S_OK);
    Forget(other);
    EXPECT_EQ(FormatArgs(handle_, 53, "still quiet"), S_OK);
    Fence();
    EXPECT_EQ(consumer_.EventsFrom("Emitter").size(), 1u) << "the remaining providers keep obeying the switch";
}

TEST_F(EmissionTest, LogEventsCarryTheLogBlockOrTheRawText) {
    SetSwitch(true);
    ASSERT_EQ(
        EvTraceCustomLog(handle_, 55, 9, "src\\log.cpp", 321, "a log line\r\n", 12, "x", "y", 1, 0xABCDEF, 0x10, 0x20),
        S_OK);
    ASSERT_EQ(EvTraceCustomLog(handle_, 55, 9, nullptr, 0, "raw", 3, nullptr, nullptr, 0, 0, 0, 0), S_OK);
    std::string big(600, 'b');
    ASSERT_EQ(EvTraceCustomLog(handle_, 53, 9, "f", 1, big.c_str(), 600, nullptr, nullptr, 0, 0, 0, 0), S_OK);
    std::vector<RawEvent> events = Received(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Type(), 55u) << "the type is the caller's";
    std::vector<BYTE> block = events[0].Payload();
    ASSERT_EQ(block.size(), 1312u);
    EXPECT_EQ(Get32(block.data(), 0), 0u);
    EXPECT_EQ(Text(block.data() + 4, 1024), "a log line\r\n");
    EXPECT_EQ(Text(block.data() + 1028, 260), "src\\log.cpp");
    EXPECT_EQ(Get32(block.data(), 1288), 321u);
    EXPECT_EQ(Get64(block.data(), 1296), 0xABCDEFu);
    EXPECT_EQ(Get32(block.data(), 1304), 0x10u);
    EXPECT_EQ(Get32(block.data(), 1308), 0x20u);
    std::vector<BYTE> raw = events[1].Payload();
    EXPECT_EQ(std::string(raw.begin(), raw.end()), "raw");
    EXPECT_EQ(Text(events[2].Payload().data() + 4, 1024), "") << "texts of 512 or more are not stored";
}

TEST_F(EmissionTest, PayloadsBeyondTheSixteenBitSizeAreRefused) {
    std::vector<BYTE> huge(EVT_MAX_PAYLOAD + 1, 0x5A);
    EXPECT_EQ(EvTraceCustom(handle_, 9, 1, huge.data(), static_cast<ULONG>(huge.size()), nullptr, nullptr, 0), E_FAIL);
    std::vector<BYTE> large(40000);
    for (size_t n = 0; n < large.size(); ++n) large[n] = static_cast<BYTE>(n * 7);
    EXPECT_EQ(EvTraceCustom(handle_, 9, 2, large.data(), static_cast<ULONG>(large.size()), nullptr, nullptr, 0), S_OK);
    std::vector<RawEvent> events = Received(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Code(), 2u) << "the refused event never arrived";
    EXPECT_EQ(events[0].Payload(), large);
}

TEST_F(EmissionTest, ProvidersOfOneProcessEmitWithTheirOwnDescriptions) {
    ULONG second = Register("Second", "bob", "second text");
    ASSERT_EQ(EvTraceString(second, 51, 1, "from second", nullptr, nullptr, 0), S_OK);
    ASSERT_TRUE(consumer_.WaitFor("Second", 1));
    RawEvent event = consumer_.EventsFrom("Second")[0];
    EXPECT_EQ(event.Field(280), "bob");
    EXPECT_EQ(event.Field(536), "second text");
}
