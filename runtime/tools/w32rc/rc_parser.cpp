#include "rc_parser.h"

namespace w32rc::internal {

namespace {

constexpr uint16_t kString = 6;
constexpr uint16_t kMessage = 11;

}  // namespace

std::vector<Entry> Parser::parse() {
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

uint64_t Parser::expression() {
    Evaluator evaluator(macros_, false);
    return evaluator.evaluate(tokens_, &pos_);
}

uint16_t Parser::parse_language(const Token& keyword) {
    if (at_end()) error_at(keyword, "LANGUAGE needs a language and a sub-language");
    uint64_t primary = expression();
    if (!is_punct(",")) error_at(current(), "expected ',' between language and sub-language");
    ++pos_;
    if (at_end()) error_at(keyword, "LANGUAGE needs a sub-language");
    uint64_t sub = expression();
    if (primary > 0x3FF || sub > 0x3F) error_at(keyword, "language out of range");
    return uint16_t((sub << 10) | primary);
}

void Parser::parse_table(uint16_t type, const Token& keyword) {
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

void Parser::add(uint16_t type, uint32_t id, uint16_t language, std::string text, const Token& at) {
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

}  // namespace w32rc::internal
