// Settings that list several values in one environment variable, separated
// by commas ("0x0407, 0x040C").
#pragma once

#include <stdlib.h>

#include <string>
#include <string_view>
#include <vector>

namespace w32rt {

// The items of the variable with the blanks around each removed; none when
// it is not set. Empty items are kept: each caller judges its own values.
inline std::vector<std::string> env_list(const char* variable) {
    std::vector<std::string> items;
    const char* value = getenv(variable);
    if (!value) return items;
    std::string_view rest(value);
    for (;;) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        items.emplace_back(item);
        if (comma == std::string_view::npos) return items;
        rest.remove_prefix(comma + 1);
    }
}

}  // namespace w32rt
