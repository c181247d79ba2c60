#include "rc_preprocessor.h"

#include <ctype.h>

#include <fstream>
#include <sstream>

namespace w32rc::internal {

namespace {

bool known_system_header(std::string_view name) {
    static const std::set<std::string, std::less<>> headers = {
        "windows.h", "winres.h", "winresrc.h", "winnt.h", "winuser.h", "winver.h", "afxres.h", "commctrl.h", "ntverp.h",
    };
    std::string lower(name);
    for (char& c : lower) c = char(tolower(static_cast<unsigned char>(c)));
    return headers.count(lower) > 0;
}

}  // namespace

void Preprocessor::process(std::string_view text, const std::string& name, bool is_header, int depth) {
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

void Preprocessor::expand_into(std::vector<Token>& out, const Token& t, int depth) {
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

std::vector<Token> Preprocessor::tokenize(const std::string& text, const std::string& file, int line) {
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

bool Preprocessor::condition_value(const std::string& rest, const std::string& file, int line) {
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

std::string Preprocessor::resolve_include(const std::string& name, bool angled, const std::string& from) {
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

void Preprocessor::handle_directive(const std::string& directive, const std::string& file, int line, int depth) {
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

}  // namespace w32rc::internal
