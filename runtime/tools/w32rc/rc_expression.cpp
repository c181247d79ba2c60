#include "rc_expression.h"

namespace w32rc::internal {

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

uint64_t Evaluator::evaluate(const std::vector<Token>& tokens, size_t* pos) {
    tokens_ = &tokens;
    pos_ = pos;
    return binary(0);
}

const Token& Evaluator::current() const {
    static const Token end;
    if (*pos_ < tokens_->size()) return (*tokens_)[*pos_];
    return tokens_->empty() ? end : tokens_->back();
}

uint64_t Evaluator::binary(int level) {
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

const BinaryOp* Evaluator::binary_op() const {
    if (at_end() || current().kind != Kind::Punct) return nullptr;
    for (const BinaryOp& op : kBinaryOps)
        if (current().text == op.text) return &op;
    return nullptr;
}

uint64_t Evaluator::unary() {
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

uint64_t Evaluator::primary() {
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

uint64_t Evaluator::defined() {
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

}  // namespace w32rc::internal
