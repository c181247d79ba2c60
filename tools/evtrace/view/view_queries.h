// The viewer's answers that come from the library's queries: the page's
// fixed data, an alert's help and hints, the alert history, the session's
// statistics, and downloads written by the library's own log writers.
// Every answer is a JSON text (view_text.h rules) unless it is a file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "view/view_feed.h"
#include "view/view_source.h"

namespace evtrace::view {

// Severity and domain names, the session's name, the database language.
std::string MetaJson();
// {"code", "alertable", "found", "title", "description", "topic", "hints": [...]}
std::string AlertJson(Source& source, DWORD code);
// {"available": true, "total", "records": [...newest first]} or
// {"available": false, "reason"}.
std::string HistoryJson(Source& source);
// The session and the viewer: mode, counts, consumers, providers.
std::string StatusJson(Source& source, const Feed& feed);

struct Download {
    bool ok = false;
    std::string body;        // the file's bytes, or the reason it failed
    size_t records = 0;
    uint64_t missing = 0;    // ids asked for that the viewer no longer holds
};
// Writes the kept records of the ranges as a binary event log (binary) or
// a comma-separated log through CreateLogFile into a file in `folder`, and
// reads it back (the file is removed).
Download MakeDownload(Source& source, const Feed& feed, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                      bool binary, const std::string& folder);

}  // namespace evtrace::view
