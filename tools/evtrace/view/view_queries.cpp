#include "view/view_queries.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include <fmt/format.h>

#include "command.h"
#include "event_text.h"
#include "host/LoadResourceDLL.h"
#include "view/view_text.h"

namespace evtrace::view {
namespace {

void Key(std::string& out, const char* name) {
    if (out.back() != '{' && out.back() != '[') out.push_back(',');
    out.push_back('"');
    out += name;
    out += "\":";
}
void Str(std::string& out, const char* name, std::string_view value) {
    Key(out, name);
    AppendJsonString(out, value);
}
template <typename T>
void Num(std::string& out, const char* name, T value) {
    Key(out, name);
    fmt::format_to(std::back_inserter(out), "{}", value);
}
void Bool(std::string& out, const char* name, bool value) {
    Key(out, name);
    out += value ? "true" : "false";
}

struct AlertTexts {
    bool found = false;
    std::string title, description, topic;
};

// Fields 2, 4 and 5 of the alert's database entry (title, description,
// help topic), in the language the library chose.
AlertTexts LookUp(DWORD code) {
    AlertTexts texts;
    _EVT_ALERT_CONTEXT_HELP_EX help = {};
    if (GetAlertContextHelpEx(code, &help) == S_OK) {
        texts.found = true;
        if (help.pszField2) texts.title = DatabaseText(help.pszField2);
        if (help.pszField4) texts.description = DatabaseText(help.pszField4);
        if (help.pszField5) texts.topic = DatabaseText(help.pszField5);
    }
    for (char* text : {help.pszHints, help.pszField2, help.pszField4, help.pszField5}) EvTraceDeleteArray(text);
    return texts;
}

// The registered providers' names change rarely; asked for at most every
// few seconds (GetProviderList reads the registry).
std::vector<std::string> ProviderNames(Source& source) {
    static std::mutex lock;
    static std::vector<std::string> names;
    static std::chrono::steady_clock::time_point asked;
    std::lock_guard<std::mutex> guard(lock);
    auto now = std::chrono::steady_clock::now();
    if (asked.time_since_epoch().count() != 0 && now - asked < std::chrono::seconds(3)) return names;
    asked = now;
    names.clear();
    std::lock_guard<std::mutex> library(source.libraryLock());
    _EVT_PROVIDER_LIST* list = nullptr;
    if (GetProviderList(&list) == S_OK && list != nullptr) {
        for (DWORD i = 0; i < list->count; ++i) {
            const char* name = list->entries[i].m_szInstanceName;
            names.emplace_back(name, strnlen(name, sizeof list->entries[i].m_szInstanceName));
        }
    }
    return names;
}

}  // namespace

std::string MetaJson() {
    char code[8] = {};
    CLoadResourceDLL language;
    if (language.GetLanguageCode(code, sizeof code) != S_OK) code[0] = '\0';
    std::string out = "{";
    Str(out, "session", EVT_SESSION_NAME);
    Str(out, "language", code);
    Key(out, "severities");
    out += "[";
    for (DWORD s = 0; s < 4; ++s) {
        if (s) out += ",";
        AppendJsonString(out, SeverityName((s >> 1) << 31 | (s & 1) << 11));
    }
    out += "]";
    Key(out, "domains");
    out += "[";
    for (DWORD d = 0; d < 16; ++d) {
        if (d) out += ",";
        AppendJsonString(out, DomainName(d << 12));
    }
    out += "]";
    Num(out, "maxText", kMaxTextBytes);
    out += "}";
    return out;
}

std::string AlertJson(Source& source, DWORD code) {
    std::lock_guard<std::mutex> library(source.libraryLock());
    AlertTexts texts = LookUp(code);
    std::vector<std::string> hints;
    _EVT_ALERT_HINT_LIST* list = nullptr;
    if (GetAlertHintList(code, &list) == S_OK && list != nullptr) {
        for (DWORD i = 0; i < list->count && i < 10; ++i) {
            if (list->hints[i] != nullptr && list->hints[i][0] != '\0') hints.push_back(DatabaseText(list->hints[i]));
        }
    }
    if (list != nullptr) {
        for (DWORD i = 0; i < list->count && i < 10; ++i) EvTraceDeleteArray(list->hints[i]);
        EvTraceDeleteMemory(list);
    }
    std::string out = "{";
    Num(out, "code", code);
    Bool(out, "alertable", source.IsAlert(code));
    Bool(out, "found", texts.found);
    Str(out, "title", texts.title);
    Str(out, "description", texts.description);
    Str(out, "topic", texts.topic);
    Key(out, "hints");
    out += "[";
    for (size_t i = 0; i < hints.size(); ++i) {
        if (i) out += ",";
        AppendJsonString(out, hints[i]);
    }
    out += "]}";
    return out;
}

std::string HistoryJson(Source& source) {
    constexpr size_t kShown = 500;
    std::lock_guard<std::mutex> library(source.libraryLock());
    _EVT_RECORD_LIST* list = nullptr;
    LONG result = GetAlertHistoryList(&list);
    std::string out = "{";
    if (result != S_OK || list == nullptr) {
        Bool(out, "available", false);
        std::string reason = result == EVT_E_NOFILEACCESS
                                 ? "No alert has been saved yet (there is no alert history file)."
                                 : fmt::format("The library has no alert history to give ({}).", ResultText(result));
        Str(out, "reason", reason);
        out += "}";
        return out;
    }
    Bool(out, "available", true);
    Num(out, "total", list->count);
    Key(out, "records");
    out += "[";
    std::map<DWORD, std::string> titles;
    size_t shown = 0;
    for (DWORD i = 0; i < list->count && list->records != nullptr; ++i) {
        const _VANTA_EVTRACE_DATA* r = list->records[i];
        if (r == nullptr || shown == kShown) continue;
        auto title = titles.find(r->dwEventCode);
        if (title == titles.end()) title = titles.emplace(r->dwEventCode, LookUp(r->dwEventCode).title).first;
        if (shown++) out += ",";
        out += "{";
        Num(out, "t", fmt::format("{:.3f}", EpochMilliseconds(r->ftTimeStamp)));
        Num(out, "c", r->dwEventCode);
        Num(out, "v", EVT_CODE_SEVERITY(r->dwEventCode));
        Num(out, "m", EVT_CODE_DOMAIN(r->dwEventCode));
        Key(out, "s");
        AppendJsonField(out, r->szSource, sizeof r->szSource);
        Key(out, "u");
        AppendJsonField(out, r->szUserName, sizeof r->szUserName);
        Str(out, "title", title->second);
        out += "}";
    }
    out += "]}";
    if (list->records != nullptr) {
        for (DWORD i = 0; i < list->count; ++i) EvTraceDeleteMemory(list->records[i]);
        EvTraceDeleteArray(list->records);
    }
    EvTraceDeleteMemory(list);
    return out;
}

std::string StatusJson(Source& source, const Feed& feed) {
    const SessionStats s = source.stats();
    const Feed::Counts counts = feed.counts();
    std::string out = "{";
    Str(out, "mode", SourceModeName(source.mode()));
    Num(out, "snapshots", source.snapshots());
    Str(out, "snapshotError", source.snapshotError());
    Num(out, "sampledAt", fmt::format("{:.3f}", s.sampledAt));
    Num(out, "received", counts.received);
    Num(out, "lastId", counts.lastId);
    Num(out, "kept", counts.kept);
    Num(out, "pages", counts.pages);
    Num(out, "pageDrops", counts.pageDrops);
    Num(out, "viewerLost", s.viewerLost);
    Bool(out, "attached", s.attached);
    Bool(out, "queried", s.queried);
    Str(out, "queryError", s.queryError);
    Key(out, "session");
    if (!s.running) {
        out += "null";
    } else {
        const auto& i = s.info;
        out += "{";
        Str(out, "name", i.name);
        Num(out, "written", i.events_written);
        Num(out, "lost", i.events_lost);
        Num(out, "realtimeLost", i.realtime_lost);
        Num(out, "bufferKB", i.buffer_size_kb);
        Num(out, "buffers", i.maximum_buffers);
        Num(out, "providersEnabled", i.providers.size());
        Key(out, "consumers");
        out += "[";
        const int32_t self = int32_t(getpid());
        for (size_t n = 0; n < i.consumers.size(); ++n) {
            const auto& c = i.consumers[n];
            if (n) out += ",";
            out += "{";
            Num(out, "pid", c.pid);
            Bool(out, "alive", c.alive);
            Bool(out, "viewer", c.pid == self);
            Num(out, "delivered", c.delivered);
            Num(out, "lost", c.lost);
            Num(out, "backlog", c.backlog_bytes);
            out += "}";
        }
        out += "]}";
    }
    Key(out, "providers");
    out += "[";
    std::vector<std::string> names = ProviderNames(source);
    for (size_t n = 0; n < names.size(); ++n) {
        if (n) out += ",";
        AppendJsonString(out, names[n]);
    }
    out += "]}";
    return out;
}

Download MakeDownload(Source& source, const Feed& feed, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                      bool binary, const std::string& folder) {
    static std::atomic<unsigned> serial{0};
    Download d;
    std::vector<std::vector<BYTE>> records = feed.Records(ranges, feed.limits().keepEvents, &d.missing);
    std::vector<_VANTA_EVTRACE_DATA*> pointers;
    pointers.reserve(records.size());
    for (auto& r : records) pointers.push_back(reinterpret_cast<_VANTA_EVTRACE_DATA*>(r.data()));
    _EVT_RECORD_LIST list = {DWORD(pointers.size()), pointers.data()};
    const std::string path = fmt::format("{}/download-{}.{}", folder, ++serial, binary ? "bin" : "csv");
    LONG result;
    {
        std::lock_guard<std::mutex> library(source.libraryLock());
        result = CreateLogFile(path.c_str(), &list, binary ? EVT_LOGFORMAT_BINARY : EVT_LOGFORMAT_TEXT);
    }
    d.records = pointers.size();
    if (result != S_OK) {
        d.body = fmt::format("The log could not be written ({}).", ResultText(result));
        unlink(path.c_str());
        return d;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    if (in.is_open()) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const bool read = in.is_open() && !in.bad();
    in.close();
    unlink(path.c_str());
    if (!read) {
        d.body = "The log was written but could not be read back.";
        return d;
    }
    d.body = std::move(bytes);
    d.ok = true;
    return d;
}

}  // namespace evtrace::view
