// How evtrace view turns records and database texts into JSON for the page.
//
// Everything that came from an event is data: strings are written as JSON
// strings that are valid UTF-8 whatever the bytes were (a byte that is not
// part of a valid UTF-8 sequence becomes the four characters \xNN, and so
// does a control character, except \n, \r and \t, which become those two
// characters), and the characters < > & are \u escapes, so the JSON can
// never close a tag or a script block even if it were ever embedded in
// markup. The page shows every string with textContent.
#pragma once

#include <TraceApi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace evtrace::view {

// The longest event text sent to the page; longer texts are cut there (at a
// character boundary) and carry their full length. Downloads hold them whole.
constexpr size_t kMaxTextBytes = 4096;

// Appends bytes as a quoted JSON string.
void AppendJsonString(std::string& out, std::string_view bytes);
// A fixed text field of a record: up to its first zero.
void AppendJsonField(std::string& out, const char* field, size_t size);

// A text of the event database (help, hints): valid UTF-8 stays as it is;
// otherwise it is read as the ANSI code page (1252, the suite's code page
// for the languages it ships) and made UTF-8. Bytes that code page leaves
// undefined become \xNN.
std::string DatabaseText(std::string_view bytes);

// Milliseconds since 1970 (UTC) of a FILETIME; 0 before 1970.
double EpochMilliseconds(const FILETIME& time);

// One event as the page receives it, a JSON object:
//   i  the viewer's sequence number      t  time, ms since 1970 UTC
//   s  source    u  user    a, b  the optional strings
//   v  severity (0-3)   m  domain (0-15)   c  event code   y  event type
//   x  text (up to kMaxTextBytes)   n  the text's full length when cut
//   al 1 for an alert code
void AppendEventJson(std::string& out, uint64_t id, const _VANTA_EVTRACE_DATA& record, bool alert);

}  // namespace evtrace::view
