// Records as RFC 5424 messages and their octet-counting frames, the loss
// report, and the forward target's form.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "forward/forward_settings.h"
#include "forward/syslog_message.h"

using namespace evtrace::forward;

namespace {

// 2024-05-01T14:05:09.123456Z as a FILETIME.
constexpr uint64_t kTime = 133590459091234560ull;

std::vector<char> Record(DWORD code, const std::string& source, const std::string& text,
                         const std::string& stringA = "", const std::string& user = "", DWORD type = 51) {
    std::vector<char> bytes(EVT_RECORD_FIXED_SIZE + text.size() + EVT_RECORD_TAIL_SIZE, 0);
    auto* r = reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes.data());
    r->dwDataLen = DWORD(text.size());
    memcpy(r->szSource, source.data(), std::min<size_t>(source.size(), 255));
    r->ftTimeStamp.dwLowDateTime = DWORD(kTime);
    r->ftTimeStamp.dwHighDateTime = DWORD(kTime >> 32);
    r->dwEventType = type;
    r->dwEventCode = code;
    memcpy(r->szUserName, user.data(), user.size());
    strcpy(r->szProviderText, "Probe");
    memcpy(r->szStringA, stringA.data(), stringA.size());
    memcpy(r->Data, text.data(), text.size());
    return bytes;
}

std::string Format(const std::vector<char>& bytes, int facility = 1) {
    MessageFormatter formatter("probe-host", facility);
    std::string out;
    formatter.AppendRecord(ViewOf(*reinterpret_cast<const _VANTA_EVTRACE_DATA*>(bytes.data()), DWORD(bytes.size())),
                           &out);
    return out;
}

TEST(SyslogMessage, ARecordBecomesOneRfc5424Message) {
    EXPECT_EQ(Format(Record(0x80001800, "Heron", "link lost", "wlan0", "alice")),
              "<12>1 2024-05-01T14:05:09.123456Z probe-host evtrace Heron event [evtrace@32473 code=\"0x80001800\" "
              "severity=\"Warning\" domain=\"Security\" type=\"51\" provider=\"Probe\" source=\"Heron\" "
              "user=\"alice\" stringA=\"wlan0\"] link lost");
}

TEST(SyslogMessage, TheSeverityOfTheCodeGivesThePriority) {
    struct Case {
        DWORD code;
        int facility;
        const char* pri;
        const char* severity;
        const char* domain;
    };
    const Case cases[] = {
        {0x00000000, 1, "<13>", "Success", "Connection"},        // notice
        {0x00000800, 1, "<14>", "Information", "Connection"},    // informational
        {0x80000000, 1, "<11>", "Error", "Connection"},          // error
        {0x80000800, 1, "<12>", "Warning", "Connection"},        // warning
        {0x0000C000, 16, "<133>", "Success", "EvTrace"},         // local0
        {0x8000E7FF, 23, "<187>", "Error", "Driver"},
        {0x0000F000, 0, "<5>", "Success", "Unknown"},
    };
    for (const Case& c : cases) {
        const std::string message = Format(Record(c.code, "S", "t"), c.facility);
        EXPECT_EQ(message.substr(0, strlen(c.pri)), c.pri) << std::hex << c.code;
        EXPECT_NE(message.find(std::string("severity=\"") + c.severity + "\" domain=\"" + c.domain + "\""),
                  std::string::npos)
            << message;
    }
}

TEST(SyslogMessage, FieldsAreEscapedAndMadeUtf8AndTheProcessIdIsPrintable) {
    struct Case {
        std::string source, text, stringA;
        const char* procId;
        const char* expectedA;
        const char* expectedText;
    };
    const Case cases[] = {
        {"Heron svc", "plain", "a\"b]c\\d", "Heron_svc", "a\\\"b\\]c\\\\d", "plain"},
        // 1252: 0xE9 is U+00E9, 0x80 is the euro sign; 0x81 maps to nothing.
        {"Caf\xE9", "\x80 5 \x81", "\xE9", "Caf_", "\xC3\xA9", "\xE2\x82\xAC 5 \xEF\xBF\xBD"},
        // Control characters stay in the text (octet counting carries them).
        {"tab\there", "two\nlines", "", "tab_here", nullptr, "two\nlines"},
        {"", "", "", "-", nullptr, nullptr},
        {std::string(200, 'x'), "t", "", nullptr, nullptr, "t"},
    };
    for (const Case& c : cases) {
        const std::string message = Format(Record(0, c.source, c.text, c.stringA));
        const size_t app = message.find(" evtrace ") + 9;
        const std::string procId = message.substr(app, message.find(' ', app) - app);
        if (c.procId != nullptr) EXPECT_EQ(procId, c.procId) << message;
        else EXPECT_EQ(procId, std::string(128, 'x')) << "cut at 128";
        if (c.expectedA != nullptr)
            EXPECT_NE(message.find(std::string("stringA=\"") + c.expectedA + "\""), std::string::npos) << message;
        else
            EXPECT_EQ(message.find("stringA="), std::string::npos) << message;
        if (c.expectedText != nullptr) {
            EXPECT_EQ(message.substr(message.size() - strlen(c.expectedText)), c.expectedText) << message;
            EXPECT_EQ(message[message.size() - strlen(c.expectedText) - 2], ']') << message;
        } else {
            EXPECT_EQ(message.back(), ']') << "no text, no space: " << message;
        }
    }
}

TEST(SyslogMessage, TheTextEndsAtItsZeroAndNeverReadsPastTheRecord) {
    std::vector<char> bytes = Record(0, "S", std::string("abc\0def", 7));
    EXPECT_EQ(Format(bytes).substr(Format(bytes).size() - 4), " abc");
    // A record that claims more data than it has: only what it holds.
    bytes = Record(0, "S", "abcdef");
    reinterpret_cast<_VANTA_EVTRACE_DATA*>(bytes.data())->dwDataLen = 100000;
    MessageFormatter formatter("h", 1);
    std::string out;
    formatter.AppendRecord(ViewOf(*reinterpret_cast<const _VANTA_EVTRACE_DATA*>(bytes.data()), EVT_RECORD_FIXED_SIZE + 3),
                           &out);
    EXPECT_EQ(out.substr(out.size() - 4), " abc");
}

TEST(SyslogMessage, TimesAreUtcToTheMicrosecond) {
    EXPECT_EQ(SyslogTime(kTime), "2024-05-01T14:05:09.123456Z");
    EXPECT_EQ(SyslogTime(116444736000000000ull), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(SyslogTime(125911584000000000ull), "2000-01-01T00:00:00.000000Z");
    EXPECT_EQ(SyslogTime(131012639990000000ull), "2016-02-29T23:59:59.000000Z");
    EXPECT_EQ(SyslogTime(0), "-");
    EXPECT_EQ(SyslogTime(~0ull), "-");
}

TEST(SyslogMessage, TheLossReportCountsEveryReason) {
    LossCounts losses;
    losses.queueFull = 40;
    losses.handOff = 2;
    losses.Note(kTime);
    losses.Note(kTime + 10);
    MessageFormatter formatter("probe-host", 1);
    std::string out;
    formatter.AppendLossReport(losses, kTime, &out);
    EXPECT_EQ(out,
              "<12>1 2024-05-01T14:05:09.123456Z probe-host evtrace - lost [evtrace-lost@32473 dropped=\"42\" "
              "handOff=\"2\" queueFull=\"40\" diskError=\"0\" damaged=\"0\" first=\"2024-05-01T14:05:09.123456Z\" "
              "last=\"2024-05-01T14:05:09.123457Z\"] 42 records of the event engine were not forwarded (2: the "
              "engine's hand-off was full; 40: the forward queue was at its limit)");
    std::string frame;
    AppendFrame("abc", &frame);
    AppendFrame(std::string(1000, 'x'), &frame);
    EXPECT_EQ(frame.substr(0, 11), "3 abc1000 x");
}

TEST(ForwardTarget, TheFormIsSchemeHostAndPort) {
    struct Case {
        const char* text;
        bool ok, tls;
        const char* host;
        int port;
        const char* why;
    };
    const Case cases[] = {
        {"tcp://127.0.0.1:514", true, false, "127.0.0.1", 514, ""},
        {"tls://logs.example.org:6514", true, true, "logs.example.org", 6514, ""},
        {"tcp://[::1]:1514", true, false, "::1", 1514, ""},
        {"tcp://collector:65535", true, false, "collector", 65535, ""},
        {"udp://127.0.0.1:514", false, false, "", 0, "does not begin with tcp:// or tls://"},
        {"tcp://127.0.0.1", false, false, "", 0, "has no :PORT after the host"},
        {"tcp://:514", false, false, "", 0, "has no host"},
        {"tcp://host:0", false, false, "", 0, "port that is not a number from 1 to 65535"},
        {"tcp://host:65536", false, false, "", 0, "port that is not a number from 1 to 65535"},
        {"tcp://host:5x", false, false, "", 0, "port that is not a number"},
        {"tcp://bad host:1", false, false, "", 0, "character other than"},
        {"tcp://[::1:1", false, false, "", 0, "without its closing bracket"},
        {"tcp://[zz]:1", false, false, "", 0, "IPv6 address that holds"},
        {"", false, false, "", 0, "does not begin"},
    };
    for (const Case& c : cases) {
        Target target;
        const std::string why = ParseTarget(c.text, &target);
        EXPECT_EQ(why.empty(), c.ok) << c.text << ": " << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
        if (!c.ok) continue;
        EXPECT_EQ(target.tls, c.tls);
        EXPECT_EQ(target.host, c.host);
        EXPECT_EQ(target.port, c.port);
        EXPECT_EQ(target.Text(), c.text);
    }
}

}  // namespace
