#include "rc_lexer.h"

#include <ctype.h>
#include <string.h>

namespace w32rc::internal {

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

[[noreturn]] void error_at(const std::string& file, int line, const std::string& message) {
    throw CompileError(file + ":" + std::to_string(line) + ": " + message);
}

[[noreturn]] void error_at(const Token& t, const std::string& message) {
    error_at(t.file ? *t.file : std::string("?"), t.line, message);
}

std::string describe(const Token& t) {
    switch (t.kind) {
        case Kind::Ident: return "'" + t.text + "'";
        case Kind::Number: return "number " + std::to_string(t.number);
        case Kind::String: return "a string";
        case Kind::Punct: return "'" + t.text + "'";
        case Kind::End: return "the end of the file";
    }
    return "?";
}

void Lexer::skip_unread() {
    char quote = text_[pos_++];
    if (quote != '"' && quote != '\'') return;
    while (pos_ < text_.size() && text_[pos_] != quote && text_[pos_] != '\n') {
        if (text_[pos_] == '\\' && pos_ + 1 < text_.size() && text_[pos_ + 1] != '\n') ++pos_;
        ++pos_;
    }
    if (pos_ < text_.size() && text_[pos_] == quote) ++pos_;
}

void Lexer::skip_block_comment() {
    int start = line_;
    pos_ += 2;
    while (pos_ < text_.size() && !(text_[pos_] == '*' && peek(1) == '/')) {
        if (text_[pos_] == '\n') ++line_;
        ++pos_;
    }
    if (pos_ >= text_.size()) error_at(*file_, start, "unterminated comment");
    pos_ += 2;
}

std::string Lexer::directive_text() {
    ++pos_;
    std::string out;
    while (pos_ < text_.size() && text_[pos_] != '\n') {
        char c = text_[pos_];
        if (c == '\\' && (peek(1) == '\n' || (peek(1) == '\r' && peek(2) == '\n'))) {
            pos_ += peek(1) == '\n' ? 2 : 3;
            ++line_;
            out += ' ';
            continue;
        }
        if (c == '/' && peek(1) == '/') {
            while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
            break;
        }
        if (c == '/' && peek(1) == '*') {
            skip_block_comment();
            out += ' ';
            continue;
        }
        if (c == '"') {
            // Keep strings (include names) intact, comment-like text too.
            size_t end = pos_ + 1;
            while (end < text_.size() && text_[end] != '"' && text_[end] != '\n') ++end;
            out.append(text_.substr(pos_, end - pos_ + 1));
            pos_ = end + 1;
            continue;
        }
        out += c;
        ++pos_;
    }
    return out;
}

Token Lexer::make(Kind kind) {
    Token t;
    t.kind = kind;
    t.file = file_;
    t.line = line_;
    return t;
}

Token Lexer::next_token() {
    char c = text_[pos_];
    if ((c == 'L' || c == 'l') && peek(1) == '"') {
        ++pos_;
        return string_token();
    }
    if (c == '"') return string_token();
    if (isalpha(static_cast<unsigned char>(c)) || c == '_') {
        Token t = make(Kind::Ident);
        while (pos_ < text_.size() && (isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
            t.text += text_[pos_++];
        return t;
    }
    if (isdigit(static_cast<unsigned char>(c))) return number_token();
    Token t = make(Kind::Punct);
    static const char* two_char[] = {"<<", ">>", "<=", ">=", "==", "!=", "&&", "||"};
    for (const char* op : two_char) {
        if (c == op[0] && peek(1) == op[1]) {
            t.text = op;
            pos_ += 2;
            return t;
        }
    }
    if (!strchr(",{}()+-*/%|&^~!<>", c)) error_at(*file_, line_, std::string("unexpected character '") + c + "'");
    t.text = std::string(1, c);
    ++pos_;
    return t;
}

Token Lexer::number_token() {
    Token t = make(Kind::Number);
    uint64_t value = 0;
    bool hex = text_[pos_] == '0' && (peek(1) == 'x' || peek(1) == 'X');
    if (hex) pos_ += 2;
    size_t digits = 0;
    while (pos_ < text_.size()) {
        char c = text_[pos_];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        value = value * (hex ? 16 : 10) + uint64_t(d);
        if (value > 0xFFFFFFFFull) error_at(*file_, line_, "number out of range");
        ++digits;
        ++pos_;
    }
    if (hex && digits == 0) error_at(*file_, line_, "malformed hexadecimal number");
    while (pos_ < text_.size() && strchr("uUlL", text_[pos_])) ++pos_;
    if (pos_ < text_.size() && (isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
        error_at(*file_, line_, "malformed number");
    t.number = value;
    return t;
}

Token Lexer::string_token() {
    Token t = make(Kind::String);
    ++pos_;  // opening quote
    for (;;) {
        if (pos_ >= text_.size() || text_[pos_] == '\n') error_at(*file_, t.line, "unterminated string");
        char c = text_[pos_++];
        if (c == '"') {
            if (pos_ < text_.size() && text_[pos_] == '"') {  // "" is a quote
                t.text += '"';
                ++pos_;
                continue;
            }
            return t;
        }
        if (c != '\\') {
            t.text += c;
            continue;
        }
        if (pos_ >= text_.size()) error_at(*file_, t.line, "unterminated string");
        char e = text_[pos_++];
        switch (e) {
            case 'n': t.text += '\n'; break;
            case 'r': t.text += '\r'; break;
            case 't': t.text += '\t'; break;
            case 'a': t.text += '\a'; break;
            case 'b': t.text += '\b'; break;
            case 'f': t.text += '\f'; break;
            case 'v': t.text += '\v'; break;
            case '\\': t.text += '\\'; break;
            case '"': t.text += '"'; break;
            case '\'': t.text += '\''; break;
            case '?': t.text += '?'; break;
            case 'x':
            case 'X': {
                int value = 0, n = 0;
                while (n < 2 && pos_ < text_.size() && isxdigit(static_cast<unsigned char>(text_[pos_]))) {
                    char h = text_[pos_++];
                    value = value * 16 + (isdigit(static_cast<unsigned char>(h)) ? h - '0' : (tolower(h) - 'a' + 10));
                    ++n;
                }
                if (n == 0) error_at(*file_, line_, "\\x without hexadecimal digits");
                t.text += char(value);
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    int value = e - '0', n = 1;
                    while (n < 3 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7') {
                        value = value * 8 + (text_[pos_++] - '0');
                        ++n;
                    }
                    if (value > 0xFF) error_at(*file_, line_, "octal escape out of range");
                    t.text += char(value);
                    break;
                }
                if (e == '\n') error_at(*file_, t.line, "unterminated string");
                error_at(*file_, line_, std::string("unknown escape \\") + e);
        }
    }
}

}  // namespace w32rc::internal
