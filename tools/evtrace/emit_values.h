// The values typed after a format for evtrace emit format|args, checked
// against the format's conversions before anything is passed to the
// library's variadic emitters (a string where a conversion wants one, a
// number where it wants one, as many as it has): a mismatch is refused with
// a message instead of reaching printf-style code that would read past the
// arguments given.
#pragma once

#include <string>
#include <vector>

namespace evtrace {

// One argument as passed: integers as 64-bit values (a 32-bit conversion
// reads the low half of the slot), reals as doubles, texts as strings.
struct Value {
    enum Kind { Integer, Real, String } kind = String;
    long long integer = 0;
    double real = 0;
    std::string text;
};

enum class Dialect {
    kCompact,  // EvTraceFormat: %d %x %l (numbers), %s %S (texts), at most 4
    kPrintf,   // EvTraceFormatArgs: printf conversions, '*' widths, at most 6
};

// The values for the format, each taken as its conversion wants (a number
// typed for %s is its text; "s:", "i:" and "f:" force a kind, which must
// fit). Ends the command (usage) on a mismatch in count or kind.
std::vector<Value> ValuesForFormat(const std::string& format, Dialect dialect, const std::vector<std::string>& typed);

}  // namespace evtrace
