// w32rc's driver: a script through the preprocessor and the parser.
#include "rc_compiler.h"

#include <ctype.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <tuple>

#include "rc_parser.h"
#include "rc_preprocessor.h"

namespace w32rc {

using namespace internal;

namespace {

bool is_header_name(const std::string& name) {
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot);
    for (char& c : ext) c = char(tolower(static_cast<unsigned char>(c)));
    return ext == ".h" || ext == ".hpp";
}

}  // namespace

Compiled compile_text(std::string_view text, const std::string& name, const std::vector<std::string>& include_dirs) {
    Preprocessor pre(include_dirs);
    pre.process(text, name, is_header_name(name), 0);
    auto files = pre.take_files();
    // Macros are expanded already; ids see the built-in names only.
    Macros none;
    Parser parser(pre.tokens, none);
    Compiled out;
    out.entries = parser.parse();
    std::sort(out.entries.begin(), out.entries.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.type, a.id, a.language) < std::tie(b.type, b.id, b.language);
    });
    out.dependencies = std::move(pre.dependencies);
    return out;
}

Compiled compile_file(const std::string& path, const std::vector<std::string>& include_dirs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CompileError(path + ": cannot open");
    std::stringstream content;
    content << in.rdbuf();
    return compile_text(content.str(), path, include_dirs);
}

}  // namespace w32rc
