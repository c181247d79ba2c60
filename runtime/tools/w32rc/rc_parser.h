// w32rc's parser: the statements of a preprocessed script (LANGUAGE,
// STRINGTABLE, MESSAGETABLE) into entries, each id once per language.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "rc_compiler.h"
#include "rc_expression.h"
#include "rc_lexer.h"

namespace w32rc::internal {

class Parser {
public:
    Parser(const std::vector<Token>& tokens, const Macros& macros) : tokens_(tokens), macros_(macros) {}

    std::vector<Entry> parse();

private:
    bool at_end() const { return pos_ >= tokens_.size(); }
    const Token& current() const { return at_end() ? tokens_.back() : tokens_[pos_]; }
    bool is_punct(const char* p) const {
        return !at_end() && current().kind == Kind::Punct && current().text == p;
    }
    bool is_word(const char* w) const {
        return !at_end() && current().kind == Kind::Ident && iequals(current().text, w);
    }

    uint64_t expression();

    uint16_t parse_language(const Token& keyword);

    void parse_table(uint16_t type, const Token& keyword);

    void add(uint16_t type, uint32_t id, uint16_t language, std::string text, const Token& at);

    const std::vector<Token>& tokens_;
    const Macros& macros_;
    size_t pos_ = 0;
    uint16_t language_ = 0;
    std::vector<Entry> entries_;
    std::map<std::tuple<uint16_t, uint32_t, uint16_t>, int> seen_;
};

}  // namespace w32rc::internal
