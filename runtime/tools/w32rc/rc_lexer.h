// w32rc's lexer: tokens of a resource script, the errors that name their
// file and line, and the directive lines handed to the preprocessor.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

#include "rc_compiler.h"

namespace w32rc::internal {

enum class Kind { Ident, Number, String, Punct, End };

struct Token {
    Kind kind = Kind::End;
    std::string text;  // identifier, punctuation, or the decoded string
    uint64_t number = 0;
    const std::string* file = nullptr;
    int line = 0;
};

[[noreturn]] void error_at(const std::string& file, int line, const std::string& message);
[[noreturn]] void error_at(const Token& t, const std::string& message);
// The token as a message names it.
std::string describe(const Token& t);

// ASCII letters without regard to case (keywords of the language).
bool iequals(std::string_view a, std::string_view b);

// Splits text into tokens. Directive lines (a '#' first on a line) are
// passed to on_directive with their text, continuation lines joined. With
// directives_only (headers), everything else is skipped unread.
class Lexer {
public:
    Lexer(std::string_view text, const std::string* file, bool directives_only = false)
        : text_(text), file_(file), directives_only_(directives_only) {}

    template <class TokenFn, class DirectiveFn>
    void run(TokenFn&& on_token, DirectiveFn&& on_directive) {
        bool line_start = true;
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
                line_start = true;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
                continue;
            }
            if (c == '/' && peek(1) == '/') {
                while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
                continue;
            }
            if (c == '/' && peek(1) == '*') {
                skip_block_comment();
                continue;
            }
            if (c == '#' && line_start) {
                int line = line_;
                std::string directive = directive_text();
                on_directive(directive, line);
                continue;
            }
            line_start = false;
            if (directives_only_) {
                skip_unread();
                continue;
            }
            on_token(next_token());
        }
    }

private:
    char peek(size_t ahead) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }

    // One character of C code, or a whole quoted literal, so that comment
    // markers inside literals are not taken for comments.
    void skip_unread();

    void skip_block_comment();

    // The rest of a directive line without the '#', comments removed.
    std::string directive_text();

    Token make(Kind kind);

    Token next_token();

    Token number_token();

    Token string_token();

    std::string_view text_;
    const std::string* file_;
    bool directives_only_;
    size_t pos_ = 0;
    int line_ = 1;
};

}  // namespace w32rc::internal
