// The event engine forwarding to a real collector (Debian's rsyslogd, run by
// the test): every record arrives once, in order, with its fields, over TCP
// and TLS; a collector away for ten seconds mid-stream loses and doubles
// nothing; past the queue's limit the drop count arrives in a message of
// its own; records that wait when the engine is killed are sent after it
// starts again.
#include <gtest/gtest.h>

#include <set>

#include "forward_fixture.h"

using namespace forward_test;
using testing_support::eventually;

namespace {

constexpr int kFacility = 1;
constexpr int kSyslogSeverity[4] = {5, 6, 3, 4};
const char* const kSeverityNames[4] = {"Success", "Information", "Error", "Warning"};
const char* const kDomainNames[16] = {"Connection", "Security", "Adapter", "Profile", "TCP/IP", "AppDriver",
                                      "General", "Registry", "AppSettings", "Location", "ThirdPartyApp",
                                      "ITPolicy", "EvTrace", "Unknown", "Driver", "Unknown"};

class ForwardToRsyslog : public ForwardTest {
protected:
    std::string Folder(const std::string& name) { return root() + "/" + name; }

    // Every line is the record of its number, with all its fields.
    void ExpectRecords(const std::vector<std::string>& lines, const std::vector<int>& numbers) {
        ASSERT_EQ(lines.size(), numbers.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            const int n = numbers[i];
            if (n < 0) continue;
            const Message m = Parse(lines[i]);
            ASSERT_TRUE(m.ok) << lines[i];
            const DWORD code = CodeOf(n);
            const int severity = int(((code >> 31) & 1) * 2 + ((code >> 11) & 1));
            EXPECT_EQ(m.pri, kFacility * 8 + kSyslogSeverity[severity]) << lines[i];
            EXPECT_EQ(m.version, "1");
            EXPECT_EQ(m.time.size(), 27u) << m.time;  // 2024-05-01T14:05:09.123456Z
            EXPECT_EQ(m.time.back(), 'Z');
            EXPECT_EQ(m.app, "evtrace");
            EXPECT_EQ(m.procId, "Fleet_Probe");
            EXPECT_EQ(m.msgId, "event");
            EXPECT_EQ(m.sdId, "evtrace@32473");
            char hex[16];
            snprintf(hex, sizeof hex, "0x%08x", unsigned(code));
            EXPECT_EQ(m.params.at("code"), hex);
            EXPECT_EQ(m.params.at("severity"), kSeverityNames[severity]);
            EXPECT_EQ(m.params.at("domain"), kDomainNames[(code >> 12) & 0xF]);
            EXPECT_EQ(m.params.at("type"), "51");
            EXPECT_EQ(m.params.at("provider"), "Probe of the fleet");
            EXPECT_EQ(m.params.at("source"), kSource);
            EXPECT_EQ(m.params.at("stringA"), "alpha");
            EXPECT_EQ(m.params.count("stringB"), 0u);
            EXPECT_EQ(m.text, TextOf(n));
        }
    }
};

TEST_F(ForwardToRsyslog, EveryRecordArrivesOnceInOrderWithItsFields) {
    Rsyslog collector(Folder("collector"));
    std::string why;
    ASSERT_TRUE(collector.Start(&why)) << why;
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    Emit(0, 3000);
    ASSERT_TRUE(collector.WaitForLines(3000, std::chrono::seconds(60))) << collector.Lines().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<std::string> lines = collector.Lines();
    EXPECT_EQ(Numbers(lines), Range(0, 3000));
    ExpectRecords(lines, Range(0, 3000));
    EXPECT_EQ(engine_.Kill(SIGTERM), 0) << engine_.Output();
    // Nothing waits; the host name is the machine's.
    EXPECT_EQ(Queue().waitingRecords, 0u);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(Parse(lines.front()).host, host);
}

TEST_F(ForwardToRsyslog, TextsAndFieldsArriveAsUtf8WithTheStructuredDataEscaped) {
    Rsyslog collector(Folder("collector"));
    std::string why;
    ASSERT_TRUE(collector.Start(&why)) << why;
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    // The ANSI code page is 1252: 0xE9 is e with an acute accent.
    ASSERT_EQ(EvTraceString(provider_, 51, 0x80000800, "caf\xE9 \"quoted\"", "a\"b]c\\d", "x", 0), S_OK);
    ASSERT_TRUE(collector.WaitForLines(1, std::chrono::seconds(30)));
    const Message m = Parse(collector.Lines().at(0));
    ASSERT_TRUE(m.ok) << collector.Lines().at(0);
    EXPECT_EQ(m.pri, 8 + 4);  // Warning
    EXPECT_EQ(m.params.at("stringA"), "a\"b]c\\d");
    EXPECT_EQ(m.params.at("stringB"), "x");
    EXPECT_EQ(m.text, "caf\xC3\xA9 \"quoted\"");
    EXPECT_NE(collector.Lines().at(0).find("stringA=\"a\\\"b\\]c\\\\d\""), std::string::npos);
}

TEST_F(ForwardToRsyslog, OverTlsWithACertificateTheTestMade) {
    const Certificates certificates = MakeCertificates(Folder("certs"), "fleet");
    Rsyslog collector(Folder("collector"), &certificates);
    std::string why;
    ASSERT_TRUE(collector.Start(&why)) << why;
    SetString("TlsCAFile", certificates.caFile);
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    Emit(0, 2000);
    ASSERT_TRUE(collector.WaitForLines(2000, std::chrono::seconds(60))) << collector.Lines().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<std::string> lines = collector.Lines();
    EXPECT_EQ(Numbers(lines), Range(0, 2000));
    ExpectRecords(lines, Range(0, 2000));
}

TEST_F(ForwardToRsyslog, ACollectorWhoseCertificateIsNotTrustedGetsNothingAndTheRecordsWait) {
    const Certificates collectorCertificates = MakeCertificates(Folder("certs"), "collector");
    const Certificates otherAuthority = MakeCertificates(Folder("certs"), "other");
    Rsyslog collector(Folder("collector"), &collectorCertificates);
    std::string why;
    ASSERT_TRUE(collector.Start(&why)) << why;
    SetString("TlsCAFile", otherAuthority.caFile);
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    Emit(0, 50);
    ASSERT_TRUE(eventually([&] { return Queue().waitingRecords == 50; }, std::chrono::seconds(20)));
    ASSERT_TRUE(eventually([&] { return engine_.Output().find("is not trusted for 127.0.0.1") != std::string::npos; },
                           std::chrono::seconds(20)))
        << engine_.Output();
    EXPECT_EQ(collector.Lines().size(), 0u);
    // The right authority: the records that waited go first.
    EXPECT_EQ(engine_.Kill(SIGTERM), 0);
    SetString("TlsCAFile", collectorCertificates.caFile);
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    Emit(50, 50);
    ASSERT_TRUE(collector.WaitForLines(100, std::chrono::seconds(30))) << engine_.Output();
    EXPECT_EQ(Numbers(collector.Lines()), Range(0, 100));
}

TEST_F(ForwardToRsyslog, ACollectorStoppedForTenSecondsMidStreamLosesAndDoublesNothing) {
    Rsyslog collector(Folder("collector"));
    std::string why;
    ASSERT_TRUE(collector.Start(&why)) << why;
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    // 20 s at 500 records a second; the collector is away from 5 s to 15 s.
    constexpr int kCount = 10000;
    std::thread emitter([&] { Emit(0, kCount, 500); });
    std::this_thread::sleep_for(std::chrono::seconds(5));
    collector.Stop();
    const size_t before = collector.Lines().size();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    EXPECT_GT(Queue().waitingRecords, 4000u) << "the records of the outage wait in the queue";
    ASSERT_TRUE(collector.Start(&why)) << why;
    emitter.join();
    ASSERT_TRUE(collector.WaitForLines(kCount, std::chrono::seconds(60))) << collector.Lines().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<std::string> lines = collector.Lines();
    EXPECT_GT(before, 2000u);
    EXPECT_LT(before, 3000u);
    EXPECT_EQ(Numbers(lines), Range(0, kCount));
    ExpectRecords(lines, Range(0, kCount));
    EXPECT_EQ(engine_.Kill(SIGTERM), 0) << engine_.Output();
    EXPECT_NE(engine_.Output().find("records wait in the queue, trying again"), std::string::npos);
}

TEST_F(ForwardToRsyslog, PastTheQueueLimitRecordsAreDroppedAndTheirCountArrives) {
    SetDword("MaxQueueMB", 1);
    Rsyslog collector(Folder("collector"));
    std::string why;
    ASSERT_TRUE(collector.Start(&why)) << why;
    collector.Stop();  // the port is known; nothing listens there yet
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    constexpr int kCount = 8000;
    Emit(0, kCount);
    ASSERT_TRUE(eventually([&] { return engine_.Output().find("at its limit") != std::string::npos; },
                           std::chrono::seconds(30)))
        << engine_.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t kept = Queue().waitingRecords;
    EXPECT_GT(kept, 2000u);
    EXPECT_LT(kept, uint64_t(kCount));
    ASSERT_TRUE(collector.Start(&why)) << why;
    ASSERT_TRUE(collector.WaitForLines(kept + 1, std::chrono::seconds(60))) << collector.Lines().size();
    // Records after the gap come after the report.
    Emit(kCount, 10);
    ASSERT_TRUE(collector.WaitForLines(kept + 11, std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<std::string> lines = collector.Lines();
    std::vector<int> expected = Range(0, int(kept));
    expected.push_back(-1);
    for (int n : Range(kCount, 10)) expected.push_back(n);
    EXPECT_EQ(Numbers(lines), expected);
    ExpectRecords(lines, expected);
    const Message report = Parse(lines.at(kept));
    ASSERT_TRUE(report.ok) << lines.at(kept);
    EXPECT_EQ(report.msgId, "lost");
    EXPECT_EQ(report.pri, 8 + 4);
    EXPECT_EQ(report.procId, "-");
    EXPECT_EQ(report.sdId, "evtrace-lost@32473");
    EXPECT_EQ(report.params.at("dropped"), std::to_string(kCount - kept));
    EXPECT_EQ(report.params.at("queueFull"), std::to_string(kCount - kept));
    EXPECT_EQ(report.params.at("handOff"), "0");
    EXPECT_EQ(report.text.rfind(std::to_string(kCount - kept) + " records of the event engine were not forwarded", 0),
              0u)
        << report.text;
}

TEST_F(ForwardToRsyslog, RecordsWaitingWhenTheEngineIsKilledAreSentAfterItStartsAgain) {
    Rsyslog collector(Folder("collector"));
    std::string why;
    ASSERT_TRUE(collector.Start(&why)) << why;
    ASSERT_TRUE(engine_.Start({"--forward", collector.target()})) << engine_.Output();
    Emit(0, 500);
    ASSERT_TRUE(collector.WaitForLines(500, std::chrono::seconds(30)));
    collector.Stop();
    Emit(500, 1500);
    ASSERT_TRUE(eventually([&] { return Queue().waitingRecords == 1500; }, std::chrono::seconds(30)))
        << Queue().waitingRecords;
    EXPECT_EQ(engine_.Kill(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(collector.Start(&why)) << why;
    // From the registry this time, as the service has it.
    SetString("Target", collector.target());
    ASSERT_TRUE(engine_.Start({})) << engine_.Output();
    EXPECT_NE(engine_.Output().find("1500 records wait from before"), std::string::npos) << engine_.Output();
    Emit(2000, 100);
    ASSERT_TRUE(collector.WaitForLines(2100, std::chrono::seconds(60))) << collector.Lines().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<std::string> lines = collector.Lines();
    EXPECT_EQ(Numbers(lines), Range(0, 2100));
    ExpectRecords(lines, Range(0, 2100));
}

TEST_F(ForwardToRsyslog, AnUnusableTargetStopsTheEngineAtOnceWithExitTwo) {
    for (const char* target : {"udp://127.0.0.1:514", "tcp://127.0.0.1", "tcp://127.0.0.1:0", "tcp://a b:1"}) {
        testing_support::SpawnOptions options;
        options.merge_stderr = true;
        testing_support::ChildProcess engine =
            testing_support::spawn_program(EVTRACE_BINARY, {"engine", "--forward", target}, options);
        const std::string line = engine.read_line();
        EXPECT_EQ(engine.wait(), 2) << target;
        EXPECT_NE(line.find("give tcp://HOST:PORT or tls://HOST:PORT"), std::string::npos) << line;
    }
    // TLS with an authority file that is not there.
    SetString("TlsCAFile", root() + "/missing.pem");
    testing_support::SpawnOptions options;
    options.merge_stderr = true;
    testing_support::ChildProcess engine =
        testing_support::spawn_program(EVTRACE_BINARY, {"engine", "--forward", "tls://127.0.0.1:6514"}, options);
    const std::string line = engine.read_line();
    EXPECT_EQ(engine.wait(), 2);
    EXPECT_NE(line.find("TlsCAFile"), std::string::npos) << line;
}

}  // namespace
