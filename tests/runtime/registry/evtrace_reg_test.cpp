// "evtrace reg" end to end: the tool run as a separate process on the test's
// root, its effects checked through the registry functions. The tool is
// looked up next to this test in the build tree; without it the tests skip.
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>

#include "registry_test_util.h"

using namespace registry_test;

namespace {

std::string evtrace_path() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string tool(exe, size_t(n > 0 ? n : 0));
    tool = tool.substr(0, tool.rfind('/')) + "/../tools/evtrace/evtrace";
    return access(tool.c_str(), X_OK) == 0 ? tool : std::string();
}

// Runs evtrace with arguments written for the shell (single-quoted here);
// its exit code, with what it printed in *output.
int evtrace(const std::string& args, std::string* output = nullptr) {
    FILE* pipe = popen((evtrace_path() + " " + args + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class EvtraceReg : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        if (evtrace_path().empty()) GTEST_SKIP() << "evtrace is not built next to this test";
    }
};

TEST_F(EvtraceReg, AddQueryAndDelete) {
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan' /v Level /t REG_DWORD /d 0x2a"), 0);
    ASSERT_EQ(evtrace("reg add 'HKEY_LOCAL_MACHINE\\Software\\Orkan' --value Path --data 'C:\\x'"), 0);
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan' /v Many /t REG_MULTI_SZ /d 'a\\0b'"), 0);
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan\\Sub'"), 0);
    Key key;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan", &key), ERROR_SUCCESS);
    EXPECT_EQ(raw_of(key.get(), "Many"), std::string("a\0b\0\0", 5));

    std::string output;
    EXPECT_EQ(evtrace("reg query 'HKLM\\Software\\Orkan'", &output), 0);
    EXPECT_EQ(output,
              "\nHKEY_LOCAL_MACHINE\\Software\\Orkan\n"
              "    Level    REG_DWORD    0x2a\n"
              "    Path    REG_SZ    C:\\x\n"
              "    Many    REG_MULTI_SZ    a\\0b\n"
              "\nHKEY_LOCAL_MACHINE\\Software\\Orkan\\Sub\n");
    EXPECT_EQ(evtrace("reg query 'HKLM\\Software\\Orkan' /v level", &output), 0);
    EXPECT_EQ(output, "\nHKEY_LOCAL_MACHINE\\Software\\Orkan\n    Level    REG_DWORD    0x2a\n");
    EXPECT_NE(evtrace("reg query 'HKLM\\Software\\Orkan' /v Missing"), 0);

    // An existing value is only replaced with --force; bad data and roots
    // are refused.
    EXPECT_NE(evtrace("reg add 'HKLM\\Software\\Orkan' /v Level /t REG_DWORD /d 1"), 0);
    EXPECT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan' /v Level /t REG_DWORD /d 1 /f"), 0);
    EXPECT_EQ(dword_of(key.get(), "Level"), 1u);
    EXPECT_NE(evtrace("reg add 'HKLM\\Software\\Orkan' /v Bad /t REG_DWORD /d 4294967296"), 0);
    EXPECT_NE(evtrace("reg add 'Nowhere\\Software' /v X /d 1"), 0);

    EXPECT_EQ(evtrace("reg delete 'HKLM\\Software\\Orkan' /v Path"), 0);
    EXPECT_EQ(value_names(key.get()), (Names{"Level", "Many"}));
    EXPECT_EQ(evtrace("reg delete 'HKLM\\Software\\Orkan'"), 0);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(evtrace("reg delete HKLM"), 0);
}

TEST_F(EvtraceReg, ExportImportRoundTripsEveryTypeAndAFaultyFileChangesNothing) {
    Key sub = make_key(HKEY_LOCAL_MACHINE, "Software\\Trip\\Sub");
    const uint64_t qword = 0x0102030405060708ull;
    const std::tuple<const char*, DWORD, std::string> items[] = {
        {"Text", REG_SZ, std::string("say \"hi\" \\ there\0", 17)},
        {"", REG_SZ, std::string("default\0", 8)},
        {"Raw", REG_SZ, std::string("no terminator")},
        {"Exp", REG_EXPAND_SZ, std::string("%X%\0", 4)},
        {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
        {"D", REG_DWORD, std::string("\x01\x02\x03\x04", 4)},
        {"Q", REG_QWORD, std::string(reinterpret_cast<const char*>(&qword), 8)},
        {"Bin", REG_BINARY, std::string(300, '\x7f')},
        {"Odd\"Name", 0x77, std::string("\x00\x01", 2)},
    };
    for (const auto& [name, type, bytes] : items) ASSERT_EQ(set_bytes(sub.get(), name, type, bytes), ERROR_SUCCESS);
    std::string file = root() + "/trip.txt";
    ASSERT_EQ(evtrace("reg export 'HKLM\\Software\\Trip' '" + file + "'"), 0);
    sub.reset();
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Trip"), ERROR_SUCCESS);

    ASSERT_EQ(evtrace("reg import '" + file + "'"), 0);
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Trip\\Sub", &sub), ERROR_SUCCESS);
    for (const auto& [name, type, bytes] : items) {
        SCOPED_TRACE(name);
        // Into a buffer of the stored size: without a terminator the query
        // would add.
        std::string data(bytes.size(), '\0');
        DWORD got = 0, size = DWORD(data.size());
        ASSERT_EQ(RegQueryValueExA(sub.get(), name, nullptr, &got, reinterpret_cast<BYTE*>(data.data()), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(got, type);
        EXPECT_EQ(data.substr(0, size), bytes);
    }

    // A file with a bad line is refused whole; without it, it applies,
    // continued line and deletion included.
    const std::string good = "[-HKLM\\Software\\Trip]\n[HKLM\\Software\\New]\n\"A\"=hex:01,02,\\\n  03\n";
    std::ofstream(file) << "; good lines first\n" << good << "\"C\"=hex:zz\n";
    std::string output;
    EXPECT_NE(evtrace("reg import '" + file + "'", &output), 0);
    EXPECT_NE(output.find("line 6"), std::string::npos) << output;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\New", &sub), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Trip\\Sub", &sub), ERROR_SUCCESS);
    std::ofstream(file) << good;
    ASSERT_EQ(evtrace("reg import '" + file + "'"), 0);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Trip", &sub), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\New", &sub), ERROR_SUCCESS);
    EXPECT_EQ(raw_of(sub.get(), "A"), std::string("\x01\x02\x03", 3));
}

}  // namespace
