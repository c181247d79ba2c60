// File-name patterns as FindFirstFileA reads them.
//
// The pattern is first rewritten the way the Win32 layer does before the
// file system sees it: "*.*" becomes "*", a '?' becomes DOS_QM (one
// character, or none at a dot or at the end of the name), a '.' followed by
// '?', '*' or the end becomes DOS_DOT (a dot, or nothing at the end), and a
// '*' followed by '.' becomes DOS_STAR (any characters up to the name's last
// dot). Hence "*." finds names without an extension and "log?.txt" finds
// "log.txt". Letters compare without regard to ASCII case. Names have no
// short 8.3 aliases here, so "*.csv" never finds "a.csvx".
#pragma once

#include <string_view>

namespace w32rt::files {

bool wildcard_match(std::string_view pattern, std::string_view name);

// True when the pattern has a wildcard.
bool has_wildcard(std::string_view pattern);

}  // namespace w32rt::files
