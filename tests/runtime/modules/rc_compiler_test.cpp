// The resource compiler: the script language, its errors and the source it
// generates. (Its output at work: modules_and_messages_test.cpp.)
#include <fstream>
#include <string>

#include "rc_compiler.h"
#include "test_support.h"

using w32rc::Compiled;

namespace {

Compiled compile(const std::string& text) { return w32rc::compile_text(text, "test.rc", {}); }

// The error message of a script that must not compile.
std::string error_of(const std::string& text) {
    try {
        compile(text);
    } catch (const w32rc::CompileError& e) {
        return e.what();
    }
    return "(compiled)";
}

const w32rc::Entry* find(const Compiled& c, uint16_t type, uint32_t id, uint16_t language = 0) {
    for (const auto& e : c.entries)
        if (e.type == type && e.id == id && e.language == language) return &e;
    return nullptr;
}

}  // namespace

TEST(ResourceCompiler, ReadsStringAndMessageTables) {
    Compiled c = compile(R"(
        // comment
        #define IDS_BASE 0x10
        /* block
           comment */
        STRINGTABLE
        BEGIN
            IDS_BASE, "sixteen"
            IDS_BASE + 1 "no comma"
            (IDS_BASE | 0x100) * 2, L"wide prefix" " and " "joined"
            3, "a\tb\r\nc\\d\"e""f\101\x42\0g\?"
        END
        MESSAGETABLE {
            0xC0000001, "Error %1\r\n"
        }
    )");
    ASSERT_EQ(c.entries.size(), 5u);
    EXPECT_EQ(find(c, 6, 16)->text, "sixteen");
    EXPECT_EQ(find(c, 6, 17)->text, "no comma");
    EXPECT_EQ(find(c, 6, 0x220)->text, "wide prefix and joined");
    EXPECT_EQ(find(c, 6, 3)->text, std::string("a\tb\r\nc\\d\"e\"fAB\0g?", 17));
    EXPECT_EQ(find(c, 11, 0xC0000001)->text, "Error %1\r\n");
    EXPECT_EQ(find(c, 6, 17)->line, 9);
    // Sorted by type, then id.
    EXPECT_EQ(c.entries.front().id, 3u);
    EXPECT_EQ(c.entries.back().type, 11u);
}

TEST(ResourceCompiler, EvaluatesIdsWithThePrecedenceOfC) {
    const struct {
        const char* expression;
        uint32_t id;
    } cases[] = {
        {"1 + 2 * 3", 7},          {"(1 + 2) * 3", 9},     {"10 - 4 - 3", 3},        {"100 / 7 % 5", 4},
        {"1 << 4 | 1", 17},        {"6 ^ 3 & 1", 7},       {"0x80000000 << 1", 0},   {"-1", 0xFFFFFFFF},
        {"~0x0F", 0xFFFFFFF0},     {"1 < 2 == 1", 1},      {"3 >= 4 || 2 != 2", 0},  {"!0 && 5 > 4", 1},
        {"0x20 >> 1 <= 16", 1},    {"2 + +3 - -1", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expression);
        Compiled compiled = compile(std::string("MESSAGETABLE { ") + c.expression + ", \"m\" }");
        ASSERT_EQ(compiled.entries.size(), 1u);
        EXPECT_EQ(compiled.entries[0].id, c.id);
    }
}

using ResourceCompilerFiles = testing_support::MachineTest;

TEST_F(ResourceCompilerFiles, PreprocessesConditionsAndHeaders) {
    std::ofstream(root() + "/ids.h") << "#pragma once\n#ifndef IDS_H\n#define IDS_H\nint ignored_declaration(void);\n"
                                        "#define IDS_ONE 1\n#define IDS_TWO (IDS_ONE + 1)\n#endif\n";
    const std::string script = root() + "/main.rc";
    std::ofstream(script) << "#include <windows.h>\n#include \"ids.h\"\n#include \"ids.h\"\n"
                             "#if defined(IDS_TWO) && IDS_TWO == 2\nSTRINGTABLE { IDS_TWO, \"two\" }\n"
                             "#elif 1\nSTRINGTABLE { 9, \"not taken\" }\n#else\n#error never\n#endif\n"
                             "#ifdef NOT_DEFINED\nthis is skipped\n#endif\n"
                             "#undef IDS_ONE\n#ifndef IDS_ONE\nSTRINGTABLE { 3, \"three\" }\n#endif\n";
    Compiled c = w32rc::compile_file(script, {});
    ASSERT_EQ(c.entries.size(), 2u);
    EXPECT_EQ(find(c, 6, 2)->text, "two");
    EXPECT_EQ(find(c, 6, 3)->text, "three");
    ASSERT_EQ(c.dependencies.size(), 3u);
    EXPECT_EQ(c.dependencies[0], script);

    std::string dep = w32rc::generate_depfile(c, "out dir/x.cpp");
    EXPECT_EQ(dep.rfind("out\\ dir/x.cpp:", 0), 0u) << dep;
    EXPECT_NE(dep.find(root() + "/ids.h"), std::string::npos);
}

TEST(ResourceCompiler, ReportsErrorsWithFileAndLine) {
    const struct {
        const char* script;
        const char* error;
    } cases[] = {
        {"STRINGTABLE { 1, \"a\"\n 1, \"b\" }", "test.rc:2: string id 1 appears twice (first at line 1)"},
        {"\n\nIDI_ICON ICON \"app.ico\"",
         "test.rc:3: unsupported statement 'IDI_ICON' (STRINGTABLE, MESSAGETABLE and LANGUAGE are understood)"},
        {"STRINGTABLE { 1, \"open\n }", "test.rc:1: unterminated string"},
        {"STRINGTABLE BEGIN 1, \"a\"", "test.rc:1: STRINGTABLE without END"},
        {"STRINGTABLE { IDS_MISSING, \"a\" }", "test.rc:1: unknown name 'IDS_MISSING'"},
        {"STRINGTABLE { 70000, \"a\" }", "test.rc:1: string id 70000 is above 65535"},
        {"STRINGTABLE { 1 }", "test.rc:1: expected a string for id 1"},
        {"#define F(x) x\n", "test.rc:1: macros with parameters are not supported ('F')"},
        {"#if 1\nSTRINGTABLE { 1, \"a\" }\n", "test.rc:0: #if without #endif"},
        {"#endif\n", "test.rc:1: #endif without #if"},
        {"STRINGTABLE { 1, \"\\q\" }", "test.rc:1: unknown escape \\q"},
        {"#include \"missing.h\"\n", "test.rc:1: cannot find include file 'missing.h'"},
        {"1 MESSAGETABLE \"msg.bin\"",
         "test.rc:1: MESSAGETABLE takes its messages between BEGIN and END here, not from a file"},
        {"STRINGTABLE { 1 / 0, \"a\" }", "test.rc:1: division by zero"},
        {"STRINGTABLE BEGIN 1, \"a\" }", "test.rc:1: table opened with BEGIN is closed with '}'"},
        // A macro is not expanded within itself, however indirectly.
        {"#define A B\n#define B A\nSTRINGTABLE { A, \"a\" }", "test.rc:3: unknown name 'A'"},
        {"LANGUAGE 0x400, 1", "test.rc:1: language out of range"},
        {"STRINGTABLE { 12abc, \"a\" }", "test.rc:1: malformed number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        EXPECT_EQ(error_of(c.script), c.error);
    }
}
