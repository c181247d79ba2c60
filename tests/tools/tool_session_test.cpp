// evtrace on a live session: hostile text in every output form, values
// checked against formats, a session stopped under a watch, and consumers
// that say how many events they lost.
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tool_test_util.h"

using namespace tool_test;

namespace {

class ToolSession : public ToolTest {};

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool parses(const std::string& text) { return nlohmann::json::accept(text); }

// Every line parses as JSON (what a machine reading it needs).
void expect_json_lines(const std::string& out) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.empty() || parses(line)) << line;
    }
}

TEST_F(ToolSession, HostileTextIsEscapedInEveryOutputFormAndNeverStopsAConsumer) {
    const std::string name = "evil\x1b[31m\xc2\x9b";
    const std::string text = "title\x1b]0;owned\x07 bad \xff\xfe\xc0\x80 end";
    start_session();
    std::vector<Running> consumers;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"trace", "--raw", "--count", "2", "--timeout", "30"},
             {"trace", "--raw", "--json", "--count", "2", "--timeout", "30"},
             {"watch", "--count", "2", "--seconds", "30", "--save", scratch("saved.bin")},
             {"watch", "--json", "--count", "2", "--seconds", "30"}}) {
        consumers.push_back(start(args));
        EXPECT_TRUE(consumers.back().wait_for_err(args[0] == "trace" ? "listening" : "attached"))
            << consumers.back().err();
    }
    Result sent = run({"emit", "text", "--name", name, "--string-a", text, text});
    EXPECT_EQ(sent.code, kOk) << sent.err;
    EXPECT_EQ(run({"emit", "text", "plain after"}).code, kOk);
    for (size_t i = 0; i < consumers.size(); ++i) {
        SCOPED_TRACE(i);
        Result r = consumers[i].finish();
        EXPECT_EQ(r.code, kOk) << r.err;
        EXPECT_TRUE(safe_for_terminal(r.out)) << r.out;
        EXPECT_NE(r.out.find("plain after"), std::string::npos) << "the consumer went on";
        EXPECT_NE(r.out.find("\\xff"), std::string::npos) << "stray bytes are shown as such";
        if (i % 2 == 1) expect_json_lines(r.out);
    }
    for (const std::vector<std::string>& shown :
         {std::vector<std::string>{"log", "show", scratch("saved.bin")},
          {"log", "show", "--json", scratch("saved.bin")},
          {"sessions"},
          {"sessions", "--json"},
          {"session", "status", "--json"}}) {
        Result r = run(shown);
        EXPECT_EQ(r.code, kOk) << shown[0] << r.err;
        EXPECT_TRUE(safe_for_terminal(r.out)) << r.out;
        if (shown.back() == "--json") {
            EXPECT_TRUE(parses(r.out)) << r.out;
        }
        if (shown.size() == 4 && shown[1] == "show" && shown[2] == "--json") expect_json_lines(r.out);
    }
    // Handles are strings in JSON.
    auto status = nlohmann::json::parse(run({"session", "status", "--json"}).out);
    EXPECT_TRUE(status["handle"].is_string()) << status;
}

TEST_F(ToolSession, ValuesAreCheckedAgainstTheFormatBeforeTheEmitterSeesThem) {
    const struct {
        std::vector<std::string> command;
        int code;
    } cases[] = {
        {{"emit", "format", "%s", "5"}, kOk},
        {{"emit", "format", "%d and %x", "7", "0x10"}, kOk},
        {{"emit", "args", "%*d %s %f", "4", "7", "x", "1.5", "--ul-on"}, kOk},
        {{"emit", "format", "%d", "abc"}, kUsage},
        {{"emit", "format", "%s %s", "one"}, kUsage},
        {{"emit", "format", "%s"}, kUsage},
        {{"emit", "format", "none", "extra"}, kUsage},
        {{"emit", "format", "%s", "i:5"}, kUsage},
        {{"emit", "format", "%d %d %d %d %d", "1", "2", "3", "4", "5"}, kUsage},
        {{"emit", "args", "%f", "x", "--ul-on"}, kUsage},
        {{"emit", "args", "%*d", "1", "--ul-on"}, kUsage},
        {{"emit", "args", "%d", "99999999999", "--ul-on"}, kUsage},
        {{"emit", "args", "%lld %c", "99999999999", "q", "--ul-on"}, kOk},
    };
    int sent = 0;
    for (const auto& c : cases) sent += c.code == kOk;
    Running consumer = start_consumer(sent, {"--json"});
    for (const auto& c : cases) {
        Result r = run(c.command);
        EXPECT_EQ(r.code, c.code) << c.command[2] << ": " << r.err;
        if (c.code == kUsage) {
            EXPECT_NE(r.err.find("evtrace: "), std::string::npos) << r.err;
        }
    }
    Result r = consumer.finish();
    EXPECT_EQ(r.code, kOk) << r.err;
    EXPECT_NE(r.out.find("\"arguments\":[\"5\"]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"arguments\":[7,16]"), std::string::npos) << r.out;
}

TEST_F(ToolSession, AWatchSaysWhatItWaitsForFollowsAStopAndComesBack) {
    // Started before any session: it says what it waits for.
    Running watch = start({"watch", "--no-enable", "--count", "1", "--seconds", "60"});
    EXPECT_TRUE(watch.wait_for_err("waiting for the session")) << watch.err();
    start_session();
    EXPECT_TRUE(watch.wait_for_err("attached")) << watch.err();
    ASSERT_EQ(run({"session", "stop"}).code, kOk);
    EXPECT_TRUE(watch.wait_for_err("stopped; waiting for it to start again")) << watch.err();
    start_session();
    ASSERT_TRUE(testing_support::eventually([&] {
        watch.read_some(50);
        return count_of(watch.err(), "attached") == 2;
    })) << watch.err();
    EXPECT_EQ(run({"emit", "text", "after the restart"}).code, kOk);
    Result r = watch.finish();
    EXPECT_EQ(r.code, kOk) << r.err;
    EXPECT_NE(r.out.find("after the restart"), std::string::npos);

    // With --exit-on-stop the stop ends it, and its code says so.
    Running ending = start({"watch", "--exit-on-stop", "--seconds", "60"});
    EXPECT_TRUE(ending.wait_for_err("attached")) << ending.err();
    ASSERT_EQ(run({"session", "stop"}).code, kOk);
    r = ending.finish();
    EXPECT_EQ(r.code, kNotFound) << r.err;
    EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
}

TEST_F(ToolSession, ConsumersThatFellBehindSayHowManyEventsTheyLostAndExitNonZero) {
    ASSERT_EQ(run({"session", "start", "--buffer-kb", "4", "--buffers", "2"}).code, kOk);
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"watch", "--no-enable", "--seconds", "8"}, {"trace", "--raw", "--timeout", "8"}}) {
        SCOPED_TRACE(args[0]);
        // Its output is not read for a while: it blocks printing, its ring
        // fills, and the session drops what does not fit.
        Running consumer = start(args);
        ASSERT_TRUE(consumer.wait_for_err(args[0] == "watch" ? "attached" : "listening")) << consumer.err();
        consumer.stall_output();
        Result flood = run({"emit", "text", "--count", "20000", std::string(200, 'f')});
        EXPECT_EQ(flood.code, kIncomplete) << flood.out << flood.err;
        EXPECT_NE(flood.err.find("refused"), std::string::npos) << flood.err;
        Result r = consumer.finish(std::chrono::seconds(30));
        EXPECT_EQ(r.code, kIncomplete) << r.err;
        EXPECT_NE(r.err.find("events lost"), std::string::npos) << r.err;
    }
}

}  // namespace

// Shared memory that another user made before the root's owner could is
// refused by the runtime; the tool names the file and how to remove it,
// where the debugger output alone would have said it to nobody.
TEST_F(ToolSession, SharedMemoryAnotherUserMadeFirstIsNamedWithTheWayToRemoveIt) {
    const int64_t other = testing_support::unprivileged_uid();
    if (other < 0) GTEST_SKIP() << "needs the superuser to hand a file to another user";
    // The root's table of objects open to everyone: made by an object with
    // a null DACL, found among this process's mappings.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES open_to_all = {sizeof open_to_all, &descriptor, FALSE};
    HANDLE event = CreateEventA(&open_to_all, TRUE, FALSE, "Global\\ToolTestOpenToAll");
    ASSERT_NE(event, nullptr);
    CloseHandle(event);
    std::string table;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const size_t at = line.find("/dev/shm/evtrace.");
        if (at != std::string::npos && line.size() > 8 && line.compare(line.size() - 8, 8, ".objects") == 0)
            table = line.substr(at);
    }
    ASSERT_FALSE(table.empty()) << "no table of objects open to everyone is mapped";
    ::unlink(table.c_str());
    const int fd = ::open(table.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0) << table;
    ASSERT_EQ(::fchown(fd, uid_t(other), gid_t(other)), 0);
    ::close(fd);
    const Result engine = run({"engine"}, {{}, "", -1, std::chrono::seconds(30)});
    EXPECT_NE(engine.code, 0);
    EXPECT_NE(engine.err.find("refused shared memory " + table), std::string::npos) << engine.err;
    EXPECT_NE(engine.err.find("rm " + table), std::string::npos) << engine.err;
    ::unlink(table.c_str());
}
