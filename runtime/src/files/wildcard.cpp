#include "files/wildcard.h"

#include <string>
#include <vector>

#include "core/strings.h"

namespace w32rt::files {

namespace {

enum : char { kDosStar = '<', kDosQm = '>', kDosDot = '"' };

std::string rewrite(std::string_view pattern) {
    if (pattern == "*.*") return "*";
    std::string out(pattern);
    for (size_t i = 0; i < out.size(); ++i) {
        char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (pattern[i] == '?') {
            out[i] = kDosQm;
        } else if (pattern[i] == '.' && (next == '?' || next == '*' || next == '\0')) {
            out[i] = kDosDot;
        } else if (pattern[i] == '*' && next == '.') {
            out[i] = kDosStar;
        }
    }
    return out;
}

}  // namespace

bool has_wildcard(std::string_view pattern) { return pattern.find_first_of("*?") != std::string_view::npos; }

// Dynamic programming over (pattern position, name position): reach[j] is
// true when the pattern consumed so far can match the first j characters.
// Linear in both lengths, so hostile patterns cannot blow up.
bool wildcard_match(std::string_view raw_pattern, std::string_view name) {
    const std::string pattern = rewrite(raw_pattern);
    const size_t n = name.size();
    const size_t last_dot = name.rfind('.');
    std::vector<char> reach(n + 1, 0), next(n + 1, 0);
    reach[0] = 1;
    for (char p : pattern) {
        std::fill(next.begin(), next.end(), 0);
        for (size_t j = 0; j <= n; ++j) {
            if (!reach[j]) continue;
            switch (p) {
                case '*':
                    for (size_t k = j; k <= n; ++k) next[k] = 1;
                    j = n;  // everything beyond is reached already
                    break;
                case kDosStar: {
                    // Any run that does not swallow the last dot.
                    size_t limit = last_dot == std::string_view::npos ? n : last_dot;
                    next[j] = 1;
                    for (size_t k = j + 1; k <= limit; ++k) next[k] = 1;
                    break;
                }
                case kDosQm:
                    if (j == n || name[j] == '.')
                        next[j] = 1;
                    else
                        next[j + 1] = 1;
                    break;
                case kDosDot:
                    if (j == n)
                        next[j] = 1;
                    else if (name[j] == '.')
                        next[j + 1] = 1;
                    break;
                default:
                    if (j < n && ascii_lower(name[j]) == ascii_lower(p)) next[j + 1] = 1;
                    break;
            }
        }
        reach.swap(next);
    }
    return reach[n] != 0;
}

}  // namespace w32rt::files
