// w32rc's integer expressions: ids, languages and #if conditions, over
// macro-expanded tokens and the built-in LANG_ and SUBLANG_ names.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "rc_lexer.h"

namespace w32rc::internal {

using Macros = std::map<std::string, std::vector<Token>, std::less<>>;

// The LANG_ and SUBLANG_ names a script may use without including a header.
const std::map<std::string, uint32_t, std::less<>>& builtin_names();

struct BinaryOp;

// Integer expressions over macro-expanded tokens and the built-in names;
// the macro table answers 'defined'.
class Evaluator {
public:
    Evaluator(const Macros& macros, bool in_condition) : macros_(macros), in_condition_(in_condition) {}

    // Evaluates from tokens[*pos], stopping at the first token that cannot
    // continue the expression.
    uint64_t evaluate(const std::vector<Token>& tokens, size_t* pos);

private:
    const Token& current() const;
    bool at_end() const { return *pos_ >= tokens_->size(); }
    bool is_op(const char* op) const {
        return !at_end() && current().kind == Kind::Punct && current().text == op;
    }

    // One level of binary operators: its operands are the next tighter
    // level, the tightest level's are unary expressions.
    uint64_t binary(int level);
    const BinaryOp* binary_op() const;
    uint64_t unary();
    uint64_t primary();
    uint64_t defined();

    const Macros& macros_;
    bool in_condition_;
    const std::vector<Token>* tokens_ = nullptr;
    size_t* pos_ = nullptr;
};

}  // namespace w32rc::internal
