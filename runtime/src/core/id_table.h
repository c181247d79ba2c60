// Constant tables of entries keyed by a numeric `id`, kept in ascending order
// so that a lookup halves them. The order is checked where the table is
// defined:
//     static_assert(ids_ascending(kTable), "...");
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace w32rt {

// Strictly ascending: sorted, and no id twice.
template <typename Entry, std::size_t N>
constexpr bool ids_ascending(const Entry (&table)[N]) {
    return std::adjacent_find(std::begin(table), std::end(table),
                              [](const Entry& a, const Entry& b) { return !(a.id < b.id); }) == std::end(table);
}

// The entry with that id, or null.
template <typename Entry, std::size_t N, typename Id>
const Entry* find_by_id(const Entry (&table)[N], Id id) {
    const Entry* found = std::lower_bound(std::begin(table), std::end(table), id,
                                          [](const Entry& entry, Id wanted) { return entry.id < wanted; });
    return found != std::end(table) && found->id == id ? found : nullptr;
}

}  // namespace w32rt
