// evtrace's frame: help, version and suggestions; nonsense numbers refused
// early; bad input that used to abort it; read-only commands on a root that
// is not there.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tool_test_util.h"

using namespace tool_test;

namespace {

class ToolFrame : public ToolTest {};

TEST_F(ToolFrame, UnknownCommandsGetSuggestionsAndHelpVersionAndExitCodesAreThere) {
    Result r = run({"sesion"});
    EXPECT_EQ(r.code, kUsage);
    EXPECT_NE(r.err.find("did you mean `evtrace session`"), std::string::npos) << r.err;
    r = run({"session", "strat"});
    EXPECT_EQ(r.code, kUsage);
    EXPECT_NE(r.err.find("`evtrace session start`"), std::string::npos) << r.err;
    r = run({});
    EXPECT_EQ(r.code, kUsage);
    EXPECT_NE(r.err.find("needs a command"), std::string::npos) << r.err;
    r = run({"watch", "--no-such-option"});
    EXPECT_EQ(r.code, kUsage);

    r = run({"--version"});
    EXPECT_EQ(r.code, kOk);
    EXPECT_EQ(r.out.rfind("evtrace ", 0), 0u) << r.out;
    r = run({"help", "session", "start"});
    EXPECT_EQ(r.code, kOk);
    EXPECT_NE(r.out.find("--buffers"), std::string::npos) << r.out;
    r = run({"--help"});
    EXPECT_EQ(r.code, kOk);
    for (const char* code : {"0 ", "2 ", "3 ", "4 ", "5 ", "6 "})
        EXPECT_NE(r.out.find(std::string("  ") + code), std::string::npos) << code;
}

TEST_F(ToolFrame, NonsenseNumbersAreRefusedBeforeAnythingRuns) {
    const std::vector<std::vector<std::string>> commands = {
        {"emit", "text", "--count", "-1", "x"},    {"emit", "text", "--count", "0", "x"},
        {"emit", "text", "--rate", "nan", "x"},    {"emit", "text", "--rate", "inf", "x"},
        {"emit", "text", "--rate", "-5", "x"},     {"watch", "--count", "-1"},
        {"watch", "--seconds", "-1"},              {"watch", "--seconds", "1e999"},
        {"trace", "--raw", "--count", "-1"},       {"trace", "--raw", "--timeout", "nan"},
        {"trace", "--raw", "--hex-bytes", "-1"},   {"session", "start", "--buffers", "0"},
        {"session", "start", "--buffer-kb", "-4"}, {"dbgview", "--count", "-1"},
        {"setup", "--max-events", "-1"},           {"unified", "tail", "-n", "-3"},
        {"alerts", "wait", "--count", "-1"},       {"alerts", "wait", "--timeout", "nan"},
        {"view", "--port", "70000"},
    };
    for (const auto& command : commands) {
        std::string line;
        for (const auto& word : command) line += word + " ";
        Result r = run(command, {.timeout = std::chrono::seconds(10)});
        EXPECT_EQ(r.code, kUsage) << line << r.err;
        EXPECT_NE(r.err.find("evtrace: "), std::string::npos) << line;
    }
}

TEST_F(ToolFrame, BadInputEndsWithAMessageAndACodeNeverAnAbort) {
    const std::string folder = scratch("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    start_session();
    const struct {
        std::vector<std::string> command;
        int code;
        const char* says;
    } cases[] = {
        {{"emit", "custom", "--data-file", folder}, kBadData, "is a folder"},
        {{"emit", "custom", "--data-file", "/dev/zero"}, kBadData, "more than"},
        {{"emit", "custom", "--data-file", folder + "/missing"}, kNotFound, "does not exist"},
        {{"setup", "--data-dir", "/nonexistent"}, kNotFound, "does not exist"},
        {{"log", "show", folder}, kBadData, "is a folder"},
        {{"reg", "import", "/dev/zero"}, kBadData, "more than"},
        {{"reg", "query", "NOWHERE\\x"}, kUsage, "not a registry key"},
    };
    for (const auto& c : cases) {
        Result r = run(c.command, {.timeout = std::chrono::seconds(20)});
        EXPECT_EQ(r.code, c.code) << c.command[0] << " " << c.command[1] << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST_F(ToolFrame, ReadOnlyCommandsReportAMissingRootAndNeverMakeIt) {
    const std::string missing = root() + "/mistyped";
    const std::vector<std::vector<std::string>> commands = {
        {"root", "show"}, {"session", "status"}, {"sessions"},      {"reg", "query", "HKLM"},
        {"lang"},         {"alerts", "state"},   {"snapshot"},      {"watch", "--seconds", "1"},
        {"dbgview"},      {"emit", "text", "x"}, {"log", "show", "x"}, {"root", "destroy", "--all"},
    };
    for (const auto& command : commands) {
        Result r = run(command, {.env = {{"EVTRACE_ROOT", missing}}});
        EXPECT_EQ(r.code, kNotFound) << command[0] << ": " << r.err;
        EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
        struct stat st;
        EXPECT_NE(stat(missing.c_str(), &st), 0) << command[0] << " made the root";
    }
    // A folder that exists but was never prepared is no machine.
    const std::string plain = scratch("plain");
    ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
    Result r = run({"sessions"}, {.env = {{"EVTRACE_ROOT", plain}}});
    EXPECT_EQ(r.code, kNotFound);
    EXPECT_NE(r.err.find("is not a machine root"), std::string::npos) << r.err;
    // Setting up makes it, and says so.
    r = run({"root", "prepare"}, {.env = {{"EVTRACE_ROOT", missing}}});
    EXPECT_EQ(r.code, kOk);
    EXPECT_EQ(run({"root", "show"}, {.env = {{"EVTRACE_ROOT", missing}}}).code, kOk);
}

}  // namespace
