// w32rc: the resource compiler for modules built on the runtime.
//
// It reads a subset of the Windows resource-script (.rc) language and writes
// a C++ source that, linked into a module, registers the module's string and
// message tables with the runtime when the module is loaded
// (w32rt/resources.h). In CMake: w32rt_add_resources(<target> <file.rc>).
//
// The language:
//
//   #include "resource.h"            // headers: only their directives count
//   #define IDS_TITLE 100            // object-like macros; #undef, #if,
//                                    // #ifdef, #ifndef, #elif, #else, #endif
//   LANGUAGE LANG_GERMAN, SUBLANG_GERMAN   // language of what follows
//                                          // (default: neutral, 0)
//   STRINGTABLE
//   BEGIN                            // or {
//       IDS_TITLE, "TraceAPI"        // id (0..65535), optional comma, text
//       101 "Line one\r\nLine ""two"""   // C escapes and "" for a quote;
//   END                              // adjacent literals are joined
//
//   MESSAGETABLE                     // numbered messages for FormatMessageA
//   BEGIN                            // (ids are 32-bit); the text is taken
//       1, "Application Event\r\n"   // as written: end it with \r\n as a
//       0xC0000002, "%1\r\n"         // message compiler would
//   END
//
// A table may begin with its own LANGUAGE (and CHARACTERISTICS or VERSION,
// which carry no meaning here). Ids are C integer expressions of numbers,
// macros and the LANG_ and SUBLANG_ names. Comments are // and /* */.
// <windows.h>, <winres.h> and the like are known without being read. Texts
// are kept as the bytes of the file (UTF-8). Any other statement, a
// duplicate id in one language or a malformed line is an error with its
// file and line.
#pragma once

#include <stdint.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace w32rc {

struct Entry {
    uint32_t id = 0;
    uint16_t language = 0;
    uint16_t type = 0;  // 6 string, 11 message table (as in w32rt/resources.h)
    std::string text;
    std::string file;
    int line = 0;
};

struct Compiled {
    std::vector<Entry> entries;  // sorted by type, id and language
    std::vector<std::string> dependencies;  // every file read, the script first
};

// "file:line: message"
class CompileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Compiles a script file; included files are looked up next to the file
// that includes them, then in include_dirs.
Compiled compile_file(const std::string& path, const std::vector<std::string>& include_dirs);

// Compiles script text; name is used in messages and for relative includes.
Compiled compile_text(std::string_view text, const std::string& name, const std::vector<std::string>& include_dirs);

// The C++ source that registers the tables; source_name appears in it.
std::string generate_source(const Compiled& compiled, const std::string& source_name);

// A make-style dependency file: "target: dep dep ...".
std::string generate_depfile(const Compiled& compiled, const std::string& target);

}  // namespace w32rc
