// The comma-separated text log format shared by CreateLogFile's text logs
// and the event-viewer CSV files: a header line of seven column titles and
// one row per record. No quoting: fields are joined with "," and every line
// ends with "\r\n". Titles and the severity and domain names come from the
// library's string table.
#pragma once

#include <TraceApi.h>

#include <atomic>
#include <string>

namespace traceapi {

// The caller's seven column titles for the next header only (set by
// SetLocalizedHeader; read, not copied, and cleared by the next header).
extern std::atomic<const char**> g_pLocalizedHeader;

// Writes the header line; false when a title cannot be loaded or the write
// fails. Clears g_pLocalizedHeader in every case.
bool WriteLogHeader(HANDLE file);

// The header line with the library's own titles; g_pLocalizedHeader is
// neither read nor cleared (the event-viewer logs are written on threads of
// their own, which must not take a header a host set for its next log).
bool FormatBuiltInLogHeader(std::string* line);

// Writes one record as row `row`; false when the time stamp cannot be
// converted, a name cannot be loaded, or the write fails.
bool WriteLogRow(HANDLE file, DWORD row, const _VANTA_EVTRACE_DATA& record);

// The row without writing it; false as for WriteLogRow.
bool FormatLogRow(DWORD row, const _VANTA_EVTRACE_DATA& record, std::string* line);

// Formats rows for a run of records, loading each severity and domain name
// once and converting times with one bias (see LocalTime); the rows are
// those of FormatLogRow. Meant to live for one batch: names and bias are
// not refreshed.
class LogRowFormatter {
public:
    // Appends the row to *line; false (and *line as it was) as for
    // FormatLogRow.
    bool Append(DWORD row, const _VANTA_EVTRACE_DATA& record, std::string* line);

private:
    static constexpr UINT kFirstNameId = 108;  // severities 108-111, domains 112-127
    static constexpr UINT kNameCount = 20;
    bool Name(UINT id, std::string* out);
    bool LocalTime(const FILETIME& utc, SYSTEMTIME* local);

    std::string m_names[kNameCount];
    bool m_loaded[kNameCount] = {};
    bool m_haveBias = false;
    LONGLONG m_bias = 0;
};

// String-table texts of an event code's severity and domain.
UINT SeverityStringId(DWORD code);
UINT DomainStringId(DWORD code);

}  // namespace traceapi
