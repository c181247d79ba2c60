// w32rc's preprocessor: #include, #define and #undef of object-like macros,
// and the #if family, over a script and the files it includes.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rc_expression.h"
#include "rc_lexer.h"

namespace w32rc::internal {

struct Condition {
    bool parent_active;
    bool taken;  // a branch of this group was active
    bool active;
    bool seen_else;
};

// Runs the preprocessor over a file and its includes, collecting the tokens
// of the script itself.
class Preprocessor {
public:
    explicit Preprocessor(const std::vector<std::string>& include_dirs) : include_dirs_(include_dirs) {}

    void process(std::string_view text, const std::string& name, bool is_header, int depth);

    std::vector<Token> tokens;
    std::vector<std::string> dependencies;
    Macros macros;

private:
    bool active() const { return conditions_.empty() || conditions_.back().active; }

    // Appends a token, expanding macros where they are used (as C does: a
    // macro is not expanded again within its own expansion).
    void emit(const Token& t, int depth) { expand_into(tokens, t, depth); }

    void expand_into(std::vector<Token>& out, const Token& t, int depth);

    std::vector<Token> tokenize(const std::string& text, const std::string& file, int line);

    bool condition_value(const std::string& rest, const std::string& file, int line);

    std::string resolve_include(const std::string& name, bool angled, const std::string& from);

    void handle_directive(const std::string& directive, const std::string& file, int line, int depth);

    const std::vector<std::string>& include_dirs_;
    std::vector<std::unique_ptr<std::string>> files_;
    std::vector<Condition> conditions_;
    std::set<std::string> expanding_;

public:
    // Keeps the file names the tokens point to alive.
    std::vector<std::unique_ptr<std::string>> take_files() { return std::move(files_); }
};

}  // namespace w32rc::internal
