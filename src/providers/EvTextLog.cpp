#include "providers/EvTextLog.h"

#include <winuser.h>

#include <stdio.h>
#include <string.h>

#include "frame/ModuleHandle.h"

namespace traceapi {

std::atomic<const char**> g_pLocalizedHeader{nullptr};

namespace {

constexpr UINT kFirstTitleId = 101;
constexpr int kTitleCount = 7;
constexpr size_t kMaxTitle = 127;
constexpr size_t kMaxText = 1023;
constexpr char kNotSpecified[] = "Not Specified";

bool LoadText(UINT id, std::string* text) {
    char buffer[256];
    int n = LoadStringA(traceapi::ModuleHandle(), id, buffer, sizeof buffer);
    if (n <= 0) return false;
    text->assign(buffer, size_t(n));
    return true;
}

bool WriteAll(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
}

void AppendField(std::string* line, const char* field, size_t size) {
    const size_t n = strnlen(field, size);
    if (n == 0) {
        line->append(kNotSpecified);
    } else {
        line->append(field, n);
    }
}

}  // namespace

UINT SeverityStringId(DWORD code) {
    static const UINT kIds[4] = {111, 109, 108, 110};  // Success, Information, Error, Warning
    return kIds[EVT_CODE_SEVERITY(code)];
}

UINT DomainStringId(DWORD code) {
    const DWORD domain = EVT_CODE_DOMAIN(code);
    if (domain <= 11) return 112 + domain;
    if (domain == 12) return 125;  // EvTrace
    if (domain == 14) return 127;  // Driver
    return 124;                    // Unknown
}

namespace {

bool FormatHeader(const char** titles, std::string* line) {
    line->clear();
    for (int i = 0; i < kTitleCount; ++i) {
        if (i > 0) line->push_back(',');
        if (titles != nullptr && titles[i] != nullptr) {
            line->append(titles[i], strnlen(titles[i], kMaxTitle));
            continue;
        }
        std::string title;
        if (!LoadText(kFirstTitleId + UINT(i), &title)) return false;
        *line += title;
    }
    *line += "\r\n";
    return true;
}

}  // namespace

bool WriteLogHeader(HANDLE file) {
    const char** titles = g_pLocalizedHeader.exchange(nullptr);
    std::string line;
    return FormatHeader(titles, &line) && WriteAll(file, line);
}

bool FormatBuiltInLogHeader(std::string* line) { return FormatHeader(nullptr, line); }

bool LogRowFormatter::Name(UINT id, std::string* out) {
    const UINT slot = id - kFirstNameId;
    if (slot >= kNameCount) return false;
    if (!m_loaded[slot]) {
        if (!LoadText(id, &m_names[slot])) return false;
        m_loaded[slot] = true;
    }
    *out += m_names[slot];
    return true;
}

// FileTimeToLocalFileTime applies the bias in effect now to whatever time
// it converts: one conversion gives the bias for every row of the
// formatter's short life. Times it refuses are still handed to it.
bool LogRowFormatter::LocalTime(const FILETIME& utc, SYSTEMTIME* local) {
    const LONGLONG time = LONGLONG((ULONGLONG(utc.dwHighDateTime) << 32) | utc.dwLowDateTime);
    FILETIME shifted;
    LONGLONG moved = 0;
    if (m_haveBias && time >= 0 && !__builtin_add_overflow(time, m_bias, &moved) && moved >= 0) {
        shifted.dwLowDateTime = DWORD(ULONGLONG(moved));
        shifted.dwHighDateTime = DWORD(ULONGLONG(moved) >> 32);
    } else {
        if (!FileTimeToLocalFileTime(&utc, &shifted)) return false;
        if (!m_haveBias && time >= 0) {
            m_bias = LONGLONG((ULONGLONG(shifted.dwHighDateTime) << 32) | shifted.dwLowDateTime) - time;
            m_haveBias = true;
        }
    }
    return FileTimeToSystemTime(&shifted, local) != FALSE;
}

bool LogRowFormatter::Append(DWORD row, const _VANTA_EVTRACE_DATA& record, std::string* line) {
    const size_t start = line->size();
    char number[16];
    snprintf(number, sizeof number, "%u", unsigned(row));
    line->append(number);
    line->push_back(',');
    AppendField(line, record.szSource, sizeof record.szSource);
    line->push_back(',');

    SYSTEMTIME time;
    bool ok = LocalTime(record.ftTimeStamp, &time);
    if (ok) {
        char stamp[64];
        snprintf(stamp, sizeof stamp, "%02d/%02d/%d %02d:%02d:%02d", time.wMonth, time.wDay, time.wYear, time.wHour,
                 time.wMinute, time.wSecond);
        line->append(stamp);
        line->push_back(',');
        ok = Name(SeverityStringId(record.dwEventCode), line);
    }
    if (ok) {
        line->push_back(',');
        ok = Name(DomainStringId(record.dwEventCode), line);
    }
    if (!ok) {
        line->resize(start);
        return false;
    }
    line->push_back(',');
    AppendField(line, record.szUserName, sizeof record.szUserName);
    line->push_back(',');

    // The text up to its first zero, within the data it carries; text that
    // reaches the column's 1,023 characters ends in "...".
    const size_t bound = record.dwDataLen < kMaxText ? record.dwDataLen : kMaxText;
    const char* text = reinterpret_cast<const char*>(record.Data);
    const size_t n = strnlen(text, bound);
    if (n >= kMaxText) {
        line->append(text, kMaxText - 3);
        line->append("...");
    } else {
        line->append(text, n);
    }
    line->append("\r\n");
    return true;
}

bool FormatLogRow(DWORD row, const _VANTA_EVTRACE_DATA& record, std::string* line) {
    line->clear();
    return LogRowFormatter().Append(row, record, line);
}

bool WriteLogRow(HANDLE file, DWORD row, const _VANTA_EVTRACE_DATA& record) {
    std::string line;
    return FormatLogRow(row, record, &line) && WriteAll(file, line);
}

}  // namespace traceapi
