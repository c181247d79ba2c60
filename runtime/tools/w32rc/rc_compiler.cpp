#include "rc_compiler.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

namespace w32rc {

namespace {

constexpr uint16_t kString = 6;
constexpr uint16_t kMessage = 11;

// The LANG_ and SUBLANG_ names a script may use without including a header.
const std::map<std::string, uint32_t, std::less<>>& builtin_names() {
    static const std::map<std::string, uint32_t, std::less<>> names = {
        {"LANG_NEUTRAL", 0x00},    {"LANG_INVARIANT", 0x7f},   {"LANG_ARABIC", 0x01},     {"LANG_BULGARIAN", 0x02},
        {"LANG_CATALAN", 0x03},    {"LANG_CHINESE", 0x04},     {"LANG_CZECH", 0x05},      {"LANG_DANISH", 0x06},
        {"LANG_GERMAN", 0x07},     {"LANG_GREEK", 0x08},       {"LANG_ENGLISH", 0x09},    {"LANG_SPANISH", 0x0a},
        {"LANG_FINNISH", 0x0b},    {"LANG_FRENCH", 0x0c},      {"LANG_HEBREW", 0x0d},     {"LANG_HUNGARIAN", 0x0e},
        {"LANG_ICELANDIC", 0x0f},  {"LANG_ITALIAN", 0x10},     {"LANG_JAPANESE", 0x11},   {"LANG_KOREAN", 0x12},
        {"LANG_DUTCH", 0x13},      {"LANG_NORWEGIAN", 0x14},   {"LANG_POLISH", 0x15},     {"LANG_PORTUGUESE", 0x16},
        {"LANG_ROMANIAN", 0x18},   {"LANG_RUSSIAN", 0x19},     {"LANG_CROATIAN", 0x1a},   {"LANG_SLOVAK", 0x1b},
        {"LANG_SWEDISH", 0x1d},    {"LANG_THAI", 0x1e},        {"LANG_TURKISH", 0x1f},    {"LANG_UKRAINIAN", 0x22},
        {"LANG_SLOVENIAN", 0x24},  {"LANG_ESTONIAN", 0x25},    {"LANG_LATVIAN", 0x26},    {"LANG_LITHUANIAN", 0x27},
        {"LANG_PERSIAN", 0x29},    {"LANG_VIETNAMESE", 0x2a},  {"LANG_HINDI", 0x39},
        {"SUBLANG_NEUTRAL", 0x00}, {"SUBLANG_DEFAULT", 0x01},  {"SUBLANG_SYS_DEFAULT", 0x02},
        {"SUBLANG_ENGLISH_US", 0x01},          {"SUBLANG_ENGLISH_UK", 0x02},
        {"SUBLANG_ENGLISH_AUS", 0x03},         {"SUBLANG_ENGLISH_CAN", 0x04},
        {"SUBLANG_GERMAN", 0x01},              {"SUBLANG_GERMAN_SWISS", 0x02},
        {"SUBLANG_GERMAN_AUSTRIAN", 0x03},     {"SUBLANG_FRENCH", 0x01},
        {"SUBLANG_FRENCH_BELGIAN", 0x02},      {"SUBLANG_FRENCH_CANADIAN", 0x03},
        {"SUBLANG_FRENCH_SWISS", 0x04},        {"SUBLANG_SPANISH", 0x01},
        {"SUBLANG_SPANISH_MEXICAN", 0x02},     {"SUBLANG_SPANISH_MODERN", 0x03},
        {"SUBLANG_ITALIAN", 0x01},             {"SUBLANG_DUTCH", 0x01},
        {"SUBLANG_CHINESE_TRADITIONAL", 0x01}, {"SUBLANG_CHINESE_SIMPLIFIED", 0x02},
        {"SUBLANG_CHINESE_HONGKONG", 0x03},    {"SUBLANG_CHINESE_SINGAPORE", 0x04},
        {"SUBLANG_CHINESE_MACAU", 0x05},       {"SUBLANG_PORTUGUESE_BRAZILIAN", 0x01},
        {"SUBLANG_PORTUGUESE", 0x02},          {"SUBLANG_NORWEGIAN_BOKMAL", 0x01},
        {"SUBLANG_NORWEGIAN_NYNORSK", 0x02},   {"SUBLANG_SWEDISH", 0x01},
    };
    return names;
}

bool known_system_header(std::string_view name) {
    static const std::set<std::string, std::less<>> headers = {
        "windows.h", "winres.h", "winresrc.h", "winnt.h", "winuser.h", "winver.h", "afxres.h", "commctrl.h", "ntverp.h",
    };
    std::string lower(name);
    for (char& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
    return headers.count(lower) > 0;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

enum class Kind { Ident, Number, String, Punct, End };

struct Token {
    Kind kind = Kind::End;
    std::string text;  // identifier, punctuation, or the decoded string
    uint64_t number = 0;
    const std::string* file = nullptr;
    int line = 0;
};

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
    void skip_unread() {
        char quote = text_[pos_++];
        if (quote != '"' && quote != '\'') return;
        while (pos_ < text_.size() && text_[pos_] != quote && text_[pos_] != '\n') {
            if (text_[pos_] == '\\' && pos_ + 1 < text_.size() && text_[pos_ + 1] != '\n') ++pos_;
            ++pos_;
        }
        if (pos_ < text_.size() && text_[pos_] == quote) ++pos_;
    }

    void skip_block_comment() {
        int start = line_;
        pos_ += 2;
        while (pos_ < text_.size() && !(text_[pos_] == '*' && peek(1) == '/')) {
            if (text_[pos_] == '\n') ++line_;
            ++pos_;
        }
        if (pos_ >= text_.size()) error_at(*file_, start, "unterminated comment");
        pos_ += 2;
    }

    // The rest of a directive line without the '#', comments removed.
    std::string directive_text() {
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

    Token make(Kind kind) {
        Token t;
        t.kind = kind;
        t.file = file_;
        t.line = line_;
        return t;
    }

    Token next_token() {
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

    Token number_token() {
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

    Token string_token() {
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

    std::string_view text_;
    const std::string* file_;
    bool directives_only_;
    size_t pos_ = 0;
    int line_ = 1;
};

using Macros = std::map<std::string, std::vector<Token>, std::less<>>;

// Integer expressions over macro-expanded tokens and the built-in names;
// the macro table answers 'defined'.
// The binary operators of C, from the loosest level (||) to the tightest
// (* / %). Both sides are always evaluated; results are cut to 32 bits where
// they could grow past them.
struct BinaryOp {
    const char* text;
    int level;
    bool divides;
    uint64_t (*apply)(uint64_t, uint64_t);
};
constexpr uint64_t k32 = 0xFFFFFFFF;
constexpr BinaryOp kBinaryOps[] = {
    {"||", 0, false, [](uint64_t a, uint64_t b) -> uint64_t { return a || b; }},
    {"&&", 1, false, [](uint64_t a, uint64_t b) -> uint64_t { return a && b; }},
    {"|", 2, false, [](uint64_t a, uint64_t b) { return a | b; }},
    {"^", 3, false, [](uint64_t a, uint64_t b) { return a ^ b; }},
    {"&", 4, false, [](uint64_t a, uint64_t b) { return a & b; }},
    {"==", 5, false, [](uint64_t a, uint64_t b) -> uint64_t { return a == b; }},
    {"!=", 5, false, [](uint64_t a, uint64_t b) -> uint64_t { return a != b; }},
    {"<", 6, false, [](uint64_t a, uint64_t b) -> uint64_t { return a < b; }},
    {">", 6, false, [](uint64_t a, uint64_t b) -> uint64_t { return a > b; }},
    {"<=", 6, false, [](uint64_t a, uint64_t b) -> uint64_t { return a <= b; }},
    {">=", 6, false, [](uint64_t a, uint64_t b) -> uint64_t { return a >= b; }},
    {"<<", 7, false, [](uint64_t a, uint64_t b) { return (a << (b & 31)) & k32; }},
    {">>", 7, false, [](uint64_t a, uint64_t b) { return a >> (b & 31); }},
    {"+", 8, false, [](uint64_t a, uint64_t b) { return (a + b) & k32; }},
    {"-", 8, false, [](uint64_t a, uint64_t b) { return (a - b) & k32; }},
    {"*", 9, false, [](uint64_t a, uint64_t b) { return (a * b) & k32; }},
    {"/", 9, true, [](uint64_t a, uint64_t b) { return a / b; }},
    {"%", 9, true, [](uint64_t a, uint64_t b) { return a % b; }},
};
constexpr int kTightestLevel = 9;

class Evaluator {
public:
    Evaluator(const Macros& macros, bool in_condition) : macros_(macros), in_condition_(in_condition) {}

    // Evaluates from tokens[*pos], stopping at the first token that cannot
    // continue the expression.
    uint64_t evaluate(const std::vector<Token>& tokens, size_t* pos) {
        tokens_ = &tokens;
        pos_ = pos;
        return binary(0);
    }

private:
    const Token& current() const {
        static const Token end;
        if (*pos_ < tokens_->size()) return (*tokens_)[*pos_];
        return tokens_->empty() ? end : tokens_->back();
    }
    bool at_end() const { return *pos_ >= tokens_->size(); }
    bool is_op(const char* op) const {
        return !at_end() && current().kind == Kind::Punct && current().text == op;
    }

    // One level of binary operators: its operands are the next tighter
    // level, the tightest level's are unary expressions.
    uint64_t binary(int level) {
        if (level > kTightestLevel) return unary();
        uint64_t v = binary(level + 1);
        for (;;) {
            const BinaryOp* op = binary_op();
            if (!op || op->level != level) return v;
            Token at = current();
            ++*pos_;
            uint64_t r = binary(level + 1);
            if (op->divides && r == 0) error_at(at, "division by zero");
            v = op->apply(v, r);
        }
    }
    const BinaryOp* binary_op() const {
        if (at_end() || current().kind != Kind::Punct) return nullptr;
        for (const BinaryOp& op : kBinaryOps)
            if (current().text == op.text) return &op;
        return nullptr;
    }
    uint64_t unary() {
        if (is_op("-")) {
            ++*pos_;
            return (0 - unary()) & k32;
        }
        if (is_op("+")) {
            ++*pos_;
            return unary();
        }
        if (is_op("~")) {
            ++*pos_;
            return ~unary() & k32;
        }
        if (is_op("!")) {
            ++*pos_;
            return unary() ? 0 : 1;
        }
        return primary();
    }
    uint64_t primary() {
        if (at_end()) error_at(current(), "expected a number, found the end of the line");
        const Token& t = current();
        if (t.kind == Kind::Number) {
            ++*pos_;
            return t.number;
        }
        if (is_op("(")) {
            ++*pos_;
            uint64_t v = binary(0);
            if (!is_op(")")) error_at(current(), "expected ')'");
            ++*pos_;
            return v;
        }
        if (t.kind == Kind::Ident) {
            if (in_condition_ && t.text == "defined") return defined();
            ++*pos_;
            auto builtin = builtin_names().find(t.text);
            if (builtin != builtin_names().end()) return builtin->second;
            if (in_condition_) return 0;  // as the C preprocessor does
            error_at(t, "unknown name '" + t.text + "'");
        }
        error_at(t, "expected a number, found " + describe(t));
    }
    uint64_t defined() {
        ++*pos_;
        bool paren = is_op("(");
        if (paren) ++*pos_;
        if (at_end() || current().kind != Kind::Ident) error_at(current(), "expected a name after 'defined'");
        bool known = macros_.count(current().text) > 0 || builtin_names().count(current().text) > 0;
        ++*pos_;
        if (paren) {
            if (!is_op(")")) error_at(current(), "expected ')'");
            ++*pos_;
        }
        return known ? 1 : 0;
    }

    const Macros& macros_;
    bool in_condition_;
    const std::vector<Token>* tokens_ = nullptr;
    size_t* pos_ = nullptr;
};

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

    void process(std::string_view text, const std::string& name, bool is_header, int depth) {
        if (depth > 16) throw CompileError(name + ": includes nest too deeply");
        files_.push_back(std::make_unique<std::string>(name));
        const std::string* file = files_.back().get();
        dependencies.push_back(name);
        size_t conditions_before = conditions_.size();
        // Headers count for their directives only, as with rc.
        Lexer lexer(text, file, is_header);
        lexer.run(
            [&](Token t) {
                if (active()) emit(t, 0);
            },
            [&](const std::string& directive, int line) { handle_directive(directive, *file, line, depth); });
        if (conditions_.size() != conditions_before) error_at(*file, 0, "#if without #endif");
    }

    std::vector<Token> tokens;
    std::vector<std::string> dependencies;
    Macros macros;

private:
    bool active() const { return conditions_.empty() || conditions_.back().active; }

    // Appends a token, expanding macros where they are used (as C does: a
    // macro is not expanded again within its own expansion).
    void emit(const Token& t, int depth) { expand_into(tokens, t, depth); }

    void expand_into(std::vector<Token>& out, const Token& t, int depth) {
        if (t.kind == Kind::Ident && !expanding_.count(t.text)) {
            auto macro = macros.find(t.text);
            if (macro != macros.end()) {
                if (depth > 32) error_at(t, "macros nest too deeply");
                expanding_.insert(t.text);
                for (Token inner : macro->second) {
                    inner.file = t.file;
                    inner.line = t.line;
                    expand_into(out, inner, depth + 1);
                }
                expanding_.erase(t.text);
                return;
            }
        }
        out.push_back(t);
    }

    std::vector<Token> tokenize(const std::string& text, const std::string& file, int line) {
        std::vector<Token> out;
        Lexer lexer(text, &file);
        lexer.run(
            [&](Token t) {
                t.line = line;
                out.push_back(std::move(t));
            },
            [&](const std::string&, int) { error_at(file, line, "unexpected '#'"); });
        return out;
    }

    bool condition_value(const std::string& rest, const std::string& file, int line) {
        std::vector<Token> raw = tokenize(rest, file, line);
        if (raw.empty()) error_at(file, line, "#if without a condition");
        // Expand macros, except the names 'defined' asks about.
        std::vector<Token> tokens_of;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i].kind == Kind::Ident && raw[i].text == "defined") {
                tokens_of.push_back(raw[i]);
                if (i + 1 < raw.size() && raw[i + 1].kind == Kind::Punct && raw[i + 1].text == "(") {
                    for (size_t k = 0; k < 3 && i + 1 < raw.size(); ++k) tokens_of.push_back(raw[++i]);
                } else if (i + 1 < raw.size()) {
                    tokens_of.push_back(raw[++i]);
                }
                continue;
            }
            expand_into(tokens_of, raw[i], 0);
        }
        Evaluator evaluator(macros, true);
        size_t pos = 0;
        uint64_t v = evaluator.evaluate(tokens_of, &pos);
        if (pos != tokens_of.size()) error_at(tokens_of[pos], "unexpected " + describe(tokens_of[pos]));
        return v != 0;
    }

    std::string resolve_include(const std::string& name, bool angled, const std::string& from) {
        std::vector<std::string> candidates;
        if (!angled) {
            size_t slash = from.find_last_of('/');
            candidates.push_back(slash == std::string::npos ? name : from.substr(0, slash + 1) + name);
        }
        for (const std::string& dir : include_dirs_) candidates.push_back(dir + "/" + name);
        for (const std::string& c : candidates) {
            std::ifstream probe(c);
            if (probe) return c;
        }
        return {};
    }

    void handle_directive(const std::string& directive, const std::string& file, int line, int depth) {
        size_t start = directive.find_first_not_of(" \t");
        if (start == std::string::npos) return;  // a lone '#'
        size_t end = directive.find_first_of(" \t(\"<", start);
        std::string keyword = directive.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string rest = end == std::string::npos ? std::string() : directive.substr(end);

        if (keyword == "if" || keyword == "ifdef" || keyword == "ifndef") {
            bool parent = active();
            bool value = false;
            if (parent) {
                if (keyword == "if") {
                    value = condition_value(rest, file, line);
                } else {
                    std::vector<Token> t = tokenize(rest, file, line);
                    if (t.size() != 1 || t[0].kind != Kind::Ident) error_at(file, line, "#" + keyword + " needs a name");
                    value = (macros.count(t[0].text) > 0) == (keyword == "ifdef");
                }
            }
            conditions_.push_back({parent, value, parent && value, false});
            return;
        }
        if (keyword == "elif" || keyword == "else") {
            if (conditions_.empty()) error_at(file, line, "#" + keyword + " without #if");
            Condition& c = conditions_.back();
            if (c.seen_else) error_at(file, line, "#" + keyword + " after #else");
            bool value = false;
            if (c.parent_active && !c.taken) value = keyword == "else" || condition_value(rest, file, line);
            c.active = c.parent_active && !c.taken && value;
            c.taken = c.taken || c.active;
            c.seen_else = keyword == "else";
            return;
        }
        if (keyword == "endif") {
            if (conditions_.empty()) error_at(file, line, "#endif without #if");
            conditions_.pop_back();
            return;
        }
        if (!active()) return;

        if (keyword == "define") {
            size_t name_start = rest.find_first_not_of(" \t");
            if (name_start == std::string::npos) error_at(file, line, "#define without a name");
            size_t name_end = name_start;
            while (name_end < rest.size() && (isalnum(static_cast<unsigned char>(rest[name_end])) || rest[name_end] == '_'))
                ++name_end;
            std::string name = rest.substr(name_start, name_end - name_start);
            if (name.empty() || isdigit(static_cast<unsigned char>(name[0])))
                error_at(file, line, "#define needs a name");
            if (name_end < rest.size() && rest[name_end] == '(')
                error_at(file, line, "macros with parameters are not supported ('" + name + "')");
            macros[name] = tokenize(rest.substr(name_end), file, line);
            return;
        }
        if (keyword == "undef") {
            std::vector<Token> t = tokenize(rest, file, line);
            if (t.size() != 1 || t[0].kind != Kind::Ident) error_at(file, line, "#undef needs a name");
            macros.erase(t[0].text);
            return;
        }
        if (keyword == "include") {
            size_t q = rest.find_first_not_of(" \t");
            if (q == std::string::npos || (rest[q] != '"' && rest[q] != '<'))
                error_at(file, line, "#include needs \"file\" or <file>");
            char close = rest[q] == '"' ? '"' : '>';
            size_t e = rest.find(close, q + 1);
            if (e == std::string::npos) error_at(file, line, "unterminated #include name");
            std::string name = rest.substr(q + 1, e - q - 1);
            bool angled = close == '>';
            std::string path = resolve_include(name, angled, file);
            if (path.empty()) {
                if (angled && known_system_header(name)) return;
                error_at(file, line, "cannot find include file '" + name + "'");
            }
            std::ifstream in(path, std::ios::binary);
            std::stringstream content;
            content << in.rdbuf();
            std::string ext = path.substr(path.find_last_of('.') == std::string::npos ? path.size() : path.find_last_of('.'));
            for (char& c : ext) c = char(tolower(static_cast<unsigned char>(c)));
            bool header = ext == ".h" || ext == ".hpp" || ext == ".hh" || ext == ".c" || ext == ".cpp";
            process(content.str(), path, header, depth + 1);
            return;
        }
        if (keyword == "pragma" || keyword == "line") return;
        if (keyword == "error") error_at(file, line, "#error" + rest);
        error_at(file, line, "unknown directive #" + keyword);
    }

    const std::vector<std::string>& include_dirs_;
    std::vector<std::unique_ptr<std::string>> files_;
    std::vector<Condition> conditions_;
    std::set<std::string> expanding_;

public:
    // Keeps the file names the tokens point to alive.
    std::vector<std::unique_ptr<std::string>> take_files() { return std::move(files_); }
};

class Parser {
public:
    Parser(const std::vector<Token>& tokens, const Macros& macros) : tokens_(tokens), macros_(macros) {}

    std::vector<Entry> parse() {
        while (!at_end()) {
            const Token& t = current();
            if (t.kind == Kind::Ident && iequals(t.text, "LANGUAGE")) {
                ++pos_;
                language_ = parse_language(t);
            } else if (t.kind == Kind::Ident && (iequals(t.text, "STRINGTABLE") || iequals(t.text, "MESSAGETABLE"))) {
                ++pos_;
                parse_table(iequals(t.text, "STRINGTABLE") ? kString : kMessage, t);
            } else if ((t.kind == Kind::Ident || t.kind == Kind::Number) && pos_ + 1 < tokens_.size() &&
                       tokens_[pos_ + 1].kind == Kind::Ident && iequals(tokens_[pos_ + 1].text, "MESSAGETABLE")) {
                error_at(t, "MESSAGETABLE takes its messages between BEGIN and END here, not from a file");
            } else {
                error_at(t, "unsupported statement " + describe(t) +
                                " (STRINGTABLE, MESSAGETABLE and LANGUAGE are understood)");
            }
        }
        return std::move(entries_);
    }

private:
    bool at_end() const { return pos_ >= tokens_.size(); }
    const Token& current() const { return at_end() ? tokens_.back() : tokens_[pos_]; }
    bool is_punct(const char* p) const {
        return !at_end() && current().kind == Kind::Punct && current().text == p;
    }
    bool is_word(const char* w) const {
        return !at_end() && current().kind == Kind::Ident && iequals(current().text, w);
    }

    uint64_t expression() {
        Evaluator evaluator(macros_, false);
        return evaluator.evaluate(tokens_, &pos_);
    }

    uint16_t parse_language(const Token& keyword) {
        if (at_end()) error_at(keyword, "LANGUAGE needs a language and a sub-language");
        uint64_t primary = expression();
        if (!is_punct(",")) error_at(current(), "expected ',' between language and sub-language");
        ++pos_;
        if (at_end()) error_at(keyword, "LANGUAGE needs a sub-language");
        uint64_t sub = expression();
        if (primary > 0x3FF || sub > 0x3F) error_at(keyword, "language out of range");
        return uint16_t((sub << 10) | primary);
    }

    void parse_table(uint16_t type, const Token& keyword) {
        uint16_t language = language_;
        // Optional statements before the body.
        for (;;) {
            if (is_word("LANGUAGE")) {
                Token t = current();
                ++pos_;
                language = parse_language(t);
            } else if (is_word("CHARACTERISTICS") || is_word("VERSION")) {
                ++pos_;
                expression();
            } else {
                break;
            }
        }
        bool brace = is_punct("{");
        if (!brace && !is_word("BEGIN"))
            error_at(at_end() ? keyword : current(), "expected BEGIN or '{' after " + keyword.text);
        ++pos_;
        for (;;) {
            if (at_end()) error_at(keyword, keyword.text + " without " + (brace ? "'}'" : "END"));
            if (brace ? is_punct("}") : is_word("END")) {
                ++pos_;
                return;
            }
            if (is_word("END") || is_punct("}")) error_at(current(), "table opened with " + std::string(brace ? "'{'" : "BEGIN") +
                                                                         " is closed with " + describe(current()));
            const Token first = current();
            uint64_t id = expression();
            if (type == kString && id > 0xFFFF) error_at(first, "string id " + std::to_string(id) + " is above 65535");
            if (is_punct(",")) ++pos_;
            if (at_end() || current().kind != Kind::String)
                error_at(at_end() ? first : current(), "expected a string for id " + std::to_string(id));
            std::string text;
            while (!at_end() && current().kind == Kind::String) text += tokens_[pos_++].text;
            add(type, uint32_t(id), language, std::move(text), first);
        }
    }

    void add(uint16_t type, uint32_t id, uint16_t language, std::string text, const Token& at) {
        auto key = std::make_tuple(type, id, language);
        auto it = seen_.find(key);
        if (it != seen_.end())
            error_at(at, std::string(type == kString ? "string" : "message") + " id " + std::to_string(id) +
                             " appears twice (first at line " + std::to_string(it->second) + ")");
        seen_[key] = at.line;
        Entry e;
        e.id = id;
        e.language = language;
        e.type = type;
        e.text = std::move(text);
        e.file = at.file ? *at.file : std::string();
        e.line = at.line;
        entries_.push_back(std::move(e));
    }

    const std::vector<Token>& tokens_;
    const Macros& macros_;
    size_t pos_ = 0;
    uint16_t language_ = 0;
    std::vector<Entry> entries_;
    std::map<std::tuple<uint16_t, uint32_t, uint16_t>, int> seen_;
};

bool is_header_name(const std::string& name) {
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot);
    for (char& c : ext) c = char(tolower(static_cast<unsigned char>(c)));
    return ext == ".h" || ext == ".hpp";
}

// A C++ string literal for arbitrary bytes: octal escapes (never more than
// three digits, so no digit that follows is swallowed), split every 72
// characters.
std::string cpp_literal(const std::string& text) {
    std::string out = "\"";
    size_t column = 0;
    for (unsigned char c : text) {
        if (column >= 72) {
            out += "\"\n        \"";
            column = 0;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
            column += 2;
        } else if (c == '\n') {
            out += "\\n";
            column += 2;
        } else if (c == '\r') {
            out += "\\r";
            column += 2;
        } else if (c == '\t') {
            out += "\\t";
            column += 2;
        } else if (c < 0x20 || c >= 0x7F || c == '?') {
            char buf[8];
            snprintf(buf, sizeof buf, "\\%03o", c);
            out += buf;
            column += 4;
        } else {
            out += char(c);
            ++column;
        }
    }
    out += '"';
    return out;
}

std::string make_escape(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == ' ' || c == '#' || c == '\\') out += '\\';
        if (c == '$') out += '$';
        out += c;
    }
    return out;
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

std::string generate_source(const Compiled& compiled, const std::string& source_name) {
    std::string out;
    out += "// Generated by w32rc from " + source_name + ". Do not edit.\n";
    out += "#include <w32rt/resources.h>\n\nnamespace {\n\n";
    if (!compiled.entries.empty()) {
        out += "const w32rt_resource_entry kEntries[] = {\n";
        for (const Entry& e : compiled.entries) {
            char head[96];
            snprintf(head, sizeof head, "    {%uu, 0x%04X, %u, %zuu,\n        ", e.id, e.language, e.type, e.text.size());
            out += head;
            out += cpp_literal(e.text);
            out += "},\n";
        }
        out += "};\n\n";
    }
    out += "const w32rt_resource_table kTable = {sizeof(w32rt_resource_table), " +
           std::to_string(compiled.entries.size()) + "u, " + (compiled.entries.empty() ? "nullptr" : "kEntries") +
           ", " + cpp_literal(source_name) + "};\n\n";
    out +=
        "// Registers the tables while the module that holds them is loaded.\n"
        "struct Registration {\n"
        "    Registration() { w32rt_register_resources(&kTable); }\n"
        "    ~Registration() { w32rt_unregister_resources(&kTable); }\n"
        "    Registration(const Registration&) = delete;\n"
        "    Registration& operator=(const Registration&) = delete;\n"
        "};\n"
        "const Registration kRegistration;\n\n"
        "}  // namespace\n";
    return out;
}

std::string generate_depfile(const Compiled& compiled, const std::string& target) {
    std::string out = make_escape(target) + ":";
    for (const std::string& d : compiled.dependencies) out += " \\\n  " + make_escape(d);
    out += "\n";
    return out;
}

}  // namespace w32rc
