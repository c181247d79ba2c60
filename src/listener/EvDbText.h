// The event database's text: how a file's bytes become the text, and how an
// entry is found in it. The file is installed with the suite but read as
// untrusted: entries may lack terminators and codes may appear anywhere.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace traceapi {

// Entry terminator: "|#|" at the end of a line.
constexpr std::string_view kDbEntryEnd = "|#|\n";

// The database text of a file's content read in text mode: CR LF pairs
// become LF, and the text ends at the first zero byte.
std::string DatabaseTextFromBytes(std::string_view bytes);

// Finds the entry of a code: from the first occurrence of the code's decimal
// digits anywhere in the text (the key is matched as text, so 12 is found
// inside 112) up to and including the next "|#|" that ends a line. Returns
// S_OK and the entry, or E_FAIL when the key or the terminator is missing.
LONG LookupDatabaseEntry(std::string_view text, DWORD code, std::string* entry);

}  // namespace traceapi
