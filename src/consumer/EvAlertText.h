// Parsing of the event database's alert entries. Each entry is the alert's
// event code in decimal, then four fields each preceded by "||", ending with
// "|#|" and a line feed. The text comes from a file and is not trusted.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace traceapi {

// The codes of the alert entries in the order of the text. Only terminated
// entries count: a trailing entry without "|#|\n" is ignored. A code is the
// decimal number at the start of its entry (white space skipped, 0 when the
// entry does not start with digits, 0xFFFFFFFF when it overflows).
std::vector<DWORD> ParseAlertCodes(std::string_view text);

// The fields of one entry as the lookup returns it ("code||f2||f3||f4||f5|#|").
// Field 1 runs to the first "||", fields 2 to 4 each to the next "||",
// field 5 to the next "|#|". Extraction stops at the first missing
// separator: `count` tells how many fields were found (0 to 5), the later
// ones stay empty.
struct AlertFields {
    int count = 0;
    DWORD code = 0;  // field 1 as a decimal number
    std::string_view field2, hints, field4, field5;
};
AlertFields ExtractAlertFields(std::string_view entry);

// The hints of a hint text: the pieces between ";;" separators, in order;
// a text without separators is one hint, an empty text one empty hint.
std::vector<std::string_view> SplitHints(std::string_view text);

}  // namespace traceapi
