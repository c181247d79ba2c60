// What evtrace does to files: destroying a root removes only the runtime's
// own, outputs are whole or untouched, a file that is not an event log is
// named as such, and registry files of the registry editor are taken.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tool_test_util.h"

using namespace tool_test;

namespace {

class ToolFiles : public ToolTest {};

TEST_F(ToolFiles, DestroyRemovesOnlyWhatTheRuntimeMadeAndRefusesAFolderThatIsNoRoot) {
    // A user's folder named by mistake: refused whole.
    const std::string folder = scratch("sb");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    write(folder + "/notes.txt", "mine");
    for (const std::string& as_given : {folder, std::string(".")}) {
        Result r = run({"root", "destroy", "--all"}, {.env = {{"EVTRACE_ROOT", as_given}}});
        EXPECT_EQ(r.code, kNotFound) << r.err;
        EXPECT_NE(r.err.find("not a machine root"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read(folder + "/notes.txt"), "mine");

    // A real root holding a file of its user: the runtime's files go, the
    // user's stays, and so does the folder.
    const RunOptions in_folder = {.env = {{"EVTRACE_ROOT", folder}}};
    ASSERT_EQ(run({"root", "prepare"}, in_folder).code, kOk);
    ASSERT_EQ(run({"reg", "add", "HKLM\\Software\\X", "/v", "V", "/d", "1"}, in_folder).code, kOk);
    ASSERT_TRUE(std::filesystem::exists(folder + "/registry.db"));
    Result r = run({"root", "destroy", "--all"}, in_folder);
    EXPECT_EQ(r.code, kOk) << r.err;
    EXPECT_NE(r.out.find("the folder stays"), std::string::npos) << r.out;
    EXPECT_EQ(read(folder + "/notes.txt"), "mine");
    for (const char* made : {"registry.db", "registry.db.init", "drives", "w32rt.root"})
        EXPECT_FALSE(std::filesystem::exists(folder + "/" + made)) << made;

    // Nothing but the runtime's own: the folder goes too.
    std::filesystem::remove(folder + "/notes.txt");
    ASSERT_EQ(run({"root", "prepare"}, in_folder).code, kOk);
    EXPECT_EQ(run({"root", "destroy", "--all"}, in_folder).code, kOk);
    EXPECT_FALSE(std::filesystem::exists(folder));
}

TEST_F(ToolFiles, ARegistryWhoseDatabaseVanishedIsReportedNeverReplacedByAnEmptyOne) {
    ASSERT_EQ(run({"reg", "add", "HKLM\\Software\\Kept", "/v", "V", "/d", "1"}).code, kOk);
    // The main file alone holds the write (a copy or backup of it is whole).
    const std::string copy = scratch("registry.db");
    std::filesystem::copy_file(root() + "/registry.db", copy);
    for (const char* side : {"/registry.db", "/registry.db-wal", "/registry.db-shm"})
        std::filesystem::remove(root() + side);
    Result r = run({"reg", "query", "HKLM\\Software\\Kept"});
    EXPECT_EQ(r.code, kFailed);
    EXPECT_NE(r.err.find("registry.db is missing"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("restore registry.db"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(root() + "/registry.db"));
    // Restored from the copy, it is all there.
    std::filesystem::copy_file(copy, root() + "/registry.db");
    r = run({"reg", "query", "HKLM\\Software\\Kept", "/v", "V"});
    EXPECT_EQ(r.code, kOk) << r.err;
}

TEST_F(ToolFiles, AFailedOutputLeavesAnOlderFileByteForByteAndADeviceInPlace) {
    const std::string log = scratch("events.bin");
    write(log, event_log({{"svc", std::string(4000, 'a')}, {"svc", "second"}}));
    const std::string csv = scratch("events.csv");
    const std::string before = "an older file\nthat must survive\n";

    // Not an event log as input; a write cut by the file size limit; each
    // over an existing file, as export and as registry export.
    write(scratch("random.bin"), std::string("\x13\x37\xca\xfe random bytes", 18));
    const struct {
        std::vector<std::string> command;
        long long limit;
        const char* says;
    } failures[] = {
        {{"log", "export", scratch("random.bin"), csv, "--format", "csv"}, -1, "not an event log"},
        {{"log", "export", log, csv}, 1000, "cannot be written"},
        {{"log", "export", log, csv, "--format", "csv"}, 100, "cannot be written"},
        {{"reg", "export", "HKLM", csv}, 64 * 1024, "cannot be written"},
    };
    // Larger than the limit given to its export below (the registry's own
    // files are read, never written, by an export).
    ASSERT_EQ(run({"reg", "add", "HKLM\\Software\\Big", "/v", "V", "/d", std::string(100000, 'v')}).code, kOk);
    // Once without a limit, so the root's shared objects exist before one
    // applies (it would refuse making them too).
    ASSERT_EQ(run({"log", "export", log, scratch("first.bin")}).code, kOk);
    for (const auto& f : failures) {
        write(csv, before);
        Result r = run(f.command, {.file_size_limit = f.limit});
        EXPECT_NE(r.code, kOk) << f.command[1];
        EXPECT_NE(r.err.find(f.says), std::string::npos) << r.err;
        EXPECT_EQ(read(csv), before) << f.command[1] << " " << r.err;
    }
    // Nothing of ours is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(scratch("")))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();

    // A device that refuses the write is written in place and stays a device.
    Result r = run({"log", "export", log, "/dev/full"});
    EXPECT_EQ(r.code, kFailed);
    EXPECT_NE(r.err.find("space"), std::string::npos) << r.err;
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    // Success replaces the file whole, keeping its permissions.
    write(csv, before);
    ASSERT_EQ(chmod(csv.c_str(), 0600), 0);
    ASSERT_EQ(run({"log", "export", log, csv, "--format", "csv"}).code, kOk);
    EXPECT_NE(read(csv).find("second"), std::string::npos);
    ASSERT_EQ(stat(csv.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ToolFiles, AFileThatIsNoLogIsNamedAndACutLogShowsItsWholeRecords) {
    write(scratch("table.csv"), "#Event,Source,Time\r\n1,svc,now\r\n");
    write(scratch("empty.bin"), "");
    const std::string whole = event_log({{"one", "first"}, {"two", "second"}, {"three", "third"}});
    write(scratch("cut.bin"), whole.substr(0, whole.size() - 700));
    for (const char* file : {"table.csv", "empty.bin"}) {
        Result r = run({"log", "show", scratch(file)});
        EXPECT_EQ(r.code, kBadData) << file;
        EXPECT_NE(r.err.find("not an event log"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    Result r = run({"log", "show", scratch("cut.bin")});
    EXPECT_EQ(r.code, kBadData);
    EXPECT_NE(r.out.find("first"), std::string::npos);
    EXPECT_NE(r.out.find("second"), std::string::npos);
    EXPECT_EQ(r.out.find("third"), std::string::npos);
    EXPECT_NE(r.err.find("cut short after record 2 of 3"), std::string::npos) << r.err;
}

TEST_F(ToolFiles, RegistryEditorFilesAreTakenAndAFileIsAppliedWholeOrNotAtAll) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Std]\r\n"
        u"\"Name\"=\"Gr\u00fc\u00dfe\"\r\n\"Exp\"=hex(2):25,00,58,00,25,00,00,00\r\n\"D\"=dword:0000002A\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : text) utf16 += std::string{char(c & 0xFF), char(c >> 8)};
    write(scratch("std5.reg"), utf16);
    write(scratch("std4.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Four]\r\n\"A\"=\"x\"\r\n");
    write(scratch("bom.reg"), "\xEF\xBB\xBF[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bom]\n\"A\"=\"y\"\n");
    for (const char* file : {"std5.reg", "std4.reg", "bom.reg"}) {
        Result r = run({"reg", "import", scratch(file)});
        EXPECT_EQ(r.code, kOk) << file << ": " << r.err;
    }
    Result r = run({"reg", "query", "HKLM\\SOFTWARE\\Std"});
    EXPECT_NE(r.out.find("Name    REG_SZ    Gr\u00fc\u00dfe"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Exp    REG_EXPAND_SZ    %X%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("D    REG_DWORD    0x2a"), std::string::npos) << r.out;
    EXPECT_EQ(run({"reg", "query", "HKLM\\SOFTWARE\\Four", "/v", "A"}).code, kOk);
    EXPECT_EQ(run({"reg", "query", "HKLM\\SOFTWARE\\Bom", "/v", "A"}).code, kOk);

    // Refusals that only show while applying (a key too deep for the
    // registry), or at a line: nothing of the file is applied.
    std::string deep = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Deep";
    for (int i = 0; i < 600; ++i) deep += "\\k";
    const std::string first = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\First]\n\"A\"=\"1\"\n";
    const std::string long_name = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Long]\n\"" + std::string(16384, 'n') + "\"=\"x\"\n";
    for (const std::string& second : {deep + "]\n", std::string("[HKEY_CLASSES_ROOT\\.txt]\n"), long_name}) {
        write(scratch("bad.reg"), first + second);
        r = run({"reg", "import", scratch("bad.reg")});
        EXPECT_NE(r.code, kOk);
        EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r.err;
        EXPECT_EQ(run({"reg", "query", "HKLM\\SOFTWARE\\First"}).code, kNotFound);
    }
}

}  // namespace
