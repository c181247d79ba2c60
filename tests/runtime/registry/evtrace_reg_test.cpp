// "evtrace reg" end to end: the tool run as a separate process on the test's
// root, its effects checked through the registry functions. The tool is
// looked up next to this test in the build tree; without it the tests skip.
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "registry_test_util.h"

using namespace registry_test;

namespace {

std::string evtrace_path() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {};
    std::string dir(exe, size_t(n));
    dir = dir.substr(0, dir.rfind('/'));
    std::string tool = dir + "/../tools/evtrace/evtrace";
    return access(tool.c_str(), X_OK) == 0 ? tool : std::string();
}

struct ToolRun {
    int exit_code = -1;
    std::string output;
};

// Runs evtrace with arguments written for the shell (single-quoted here).
ToolRun evtrace(const std::string& args) {
    ToolRun run;
    std::string command = evtrace_path() + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    int status = pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class EvtraceReg : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        if (evtrace_path().empty()) GTEST_SKIP() << "evtrace is not built next to this test";
    }
};

TEST_F(EvtraceReg, AddInBothSpellingsThenQuery) {
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan' /v Level /t REG_DWORD /d 0x2a").exit_code, 0);
    ASSERT_EQ(evtrace("reg add 'HKEY_LOCAL_MACHINE\\Software\\Orkan' --value Path --data 'C:\\x'").exit_code, 0);
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan' /v Many /t REG_MULTI_SZ /d 'a\\0b'").exit_code, 0);
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan\\Sub'").exit_code, 0);

    Key key;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Orkan", &key), ERROR_SUCCESS);
    std::string data;
    ASSERT_EQ(get_raw(key.get(), "Many", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("a\0b\0\0", 5));

    ToolRun query = evtrace("reg query 'HKLM\\Software\\Orkan'");
    EXPECT_EQ(query.exit_code, 0);
    EXPECT_EQ(query.output,
              "\nHKEY_LOCAL_MACHINE\\Software\\Orkan\n"
              "    Level    REG_DWORD    0x2a\n"
              "    Path    REG_SZ    C:\\x\n"
              "    Many    REG_MULTI_SZ    a\\0b\n"
              "\nHKEY_LOCAL_MACHINE\\Software\\Orkan\\Sub\n");
    ToolRun one = evtrace("reg query 'HKLM\\Software\\Orkan' /v level");
    EXPECT_EQ(one.output, "\nHKEY_LOCAL_MACHINE\\Software\\Orkan\n    Level    REG_DWORD    0x2a\n");
    EXPECT_NE(evtrace("reg query 'HKLM\\Software\\Orkan' /v Missing").exit_code, 0);
    EXPECT_NE(evtrace("reg query 'HKLM\\Software\\Nowhere'").exit_code, 0);

    // An existing value is only replaced with --force.
    EXPECT_NE(evtrace("reg add 'HKLM\\Software\\Orkan' /v Level /t REG_DWORD /d 1").exit_code, 0);
    EXPECT_EQ(evtrace("reg add 'HKLM\\Software\\Orkan' /v Level /t REG_DWORD /d 1 /f").exit_code, 0);
    DWORD level = 0;
    EXPECT_EQ(get_dword(key.get(), "Level", &level), ERROR_SUCCESS);
    EXPECT_EQ(level, 1u);
    EXPECT_NE(evtrace("reg add 'HKLM\\Software\\Orkan' /v Bad /t REG_DWORD /d 4294967296").exit_code, 0);
    EXPECT_NE(evtrace("reg add 'Nowhere\\Software' /v X /d 1").exit_code, 0);
}

TEST_F(EvtraceReg, DeleteValuesAndTrees) {
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Gone\\Deep' /v A /d 1").exit_code, 0);
    ASSERT_EQ(evtrace("reg add 'HKLM\\Software\\Gone' /v B /d 1").exit_code, 0);
    EXPECT_EQ(evtrace("reg delete 'HKLM\\Software\\Gone' /v B").exit_code, 0);
    Key key;
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Gone", &key), ERROR_SUCCESS);
    EXPECT_TRUE(value_names(key.get()).empty());
    EXPECT_EQ(evtrace("reg delete 'HKLM\\Software\\Gone'").exit_code, 0);
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Gone", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(evtrace("reg delete HKLM").exit_code, 0);
}

TEST_F(EvtraceReg, ExportImportRoundTripsEveryType) {
    Key key, sub;
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Trip", &key), ERROR_SUCCESS);
    ASSERT_EQ(create_key(key.get(), "Sub", &sub), ERROR_SUCCESS);
    const std::string binary(300, '\x7f');
    const uint64_t qword = 0x0102030405060708ull;
    struct Item {
        const char* name;
        DWORD type;
        std::string bytes;
    } items[] = {
        {"Text", REG_SZ, std::string("say \"hi\" \\ there\0", 17)},
        {"", REG_SZ, std::string("default\0", 8)},
        {"Raw", REG_SZ, std::string("no terminator")},
        {"Exp", REG_EXPAND_SZ, std::string("%X%\0", 4)},
        {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
        {"D", REG_DWORD, std::string("\x01\x02\x03\x04", 4)},
        {"Q", REG_QWORD, std::string(reinterpret_cast<const char*>(&qword), 8)},
        {"Bin", REG_BINARY, binary},
        {"Odd\"Name", 0x77, std::string("\x00\x01", 2)},
    };
    for (const Item& item : items)
        ASSERT_EQ(RegSetValueExA(sub.get(), item.name, 0, item.type, reinterpret_cast<const BYTE*>(item.bytes.data()),
                                 DWORD(item.bytes.size())),
                  ERROR_SUCCESS);
    std::string file = root() + "/trip.txt";
    ASSERT_EQ(evtrace("reg export 'HKLM\\Software\\Trip' '" + file + "'").exit_code, 0);
    sub.reset();
    key.reset();
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Trip"), ERROR_SUCCESS);

    ASSERT_EQ(evtrace("reg import '" + file + "'").exit_code, 0);
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Trip\\Sub", &sub), ERROR_SUCCESS);
    for (const Item& item : items) {
        DWORD size = 0, type = 0;
        ASSERT_EQ(RegQueryValueExA(sub.get(), item.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS) << item.name;
        // Raw bytes, without the terminator the query would add.
        std::string data(size, '\0');
        size = DWORD(item.bytes.size());
        ASSERT_EQ(RegQueryValueExA(sub.get(), item.name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size),
                  ERROR_SUCCESS)
            << item.name;
        data.resize(size);
        EXPECT_EQ(type, item.type) << item.name;
        EXPECT_EQ(data, item.bytes) << item.name;
    }
}

TEST_F(EvtraceReg, ImportOfAFaultyFileChangesNothing) {
    std::string file = root() + "/faulty.txt";
    {
        std::ofstream out(file);
        out << "; good lines first\n"
               "[HKLM\\Software\\Imported]\n"
               "\"A\"=dword:00000001\n"
               "\"B\"=hex:01,02,\\\n"
               "  03\n"
               "[-HKLM\\Software\\Other]\n"
               "[HKLM\\Software\\Imported]\n"
               "\"C\"=hex:zz\n";
    }
    ToolRun run = evtrace("reg import '" + file + "'");
    EXPECT_NE(run.exit_code, 0);
    EXPECT_NE(run.output.find("line 8"), std::string::npos) << run.output;
    Key key;
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Imported", &key), ERROR_FILE_NOT_FOUND);

    // Without the bad line it applies, continued line and deletion included.
    ASSERT_EQ(create_key(HKEY_LOCAL_MACHINE, "Software\\Other", &key), ERROR_SUCCESS);
    key.reset();
    {
        std::ofstream out(file);
        out << "[HKLM\\Software\\Imported]\n\"A\"=dword:00000001\n\"B\"=hex:01,02,\\\n  03\n[-HKLM\\Software\\Other]\n";
    }
    ASSERT_EQ(evtrace("reg import '" + file + "'").exit_code, 0);
    ASSERT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Imported", &key), ERROR_SUCCESS);
    std::string data;
    ASSERT_EQ(get_raw(key.get(), "B", &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("\x01\x02\x03", 3));
    EXPECT_EQ(open_key(HKEY_LOCAL_MACHINE, "Software\\Other", &key), ERROR_FILE_NOT_FOUND);
}

}  // namespace
