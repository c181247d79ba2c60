// evtrace alerts list|history|help|hints|wait: the alert queries of the
// consumer (the alert list, the user's alert history, context help and hints
// from the event database in the user's language) and a client that waits
// for the event engine's alerts as the suite's tray program does.
//
// Exit codes (command.h): 0 done; 1 the library or the query failed; 3 the
// code is not an alert of the event database (help, hints), or no event
// engine runs (wait); 4 (wait) fewer alerts came than asked for in time.
#include <TraceApi.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "command.h"
#include "engine_names.h"
#include "event_text.h"

namespace evtrace {
namespace {

constexpr int kExitQueryFailed = exit_code::kFailed;
constexpr int kExitTooFew = exit_code::kIncomplete;
constexpr int kExitNotFound = exit_code::kNotFound;

// The consumer for the length of one command.
struct Library {
    Library() {
        if (EvtInitialize(2) != S_OK) throw CommandError{"cannot initialise the library", kExitQueryFailed};
    }
    ~Library() { EvtUnInitialize(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

// The alert's title (the database's second field), or empty.
std::string Title(DWORD code) {
    _EVT_ALERT_CONTEXT_HELP_EX help = {};
    if (GetAlertContextHelpEx(code, &help) != S_OK) return std::string();
    std::string title = help.pszField2 != nullptr ? help.pszField2 : "";
    for (char* text : {help.pszHints, help.pszField2, help.pszField4, help.pszField5}) EvTraceDeleteArray(text);
    return title;
}

void List(bool json) {
    Library library;
    _EVT_ALERT_LIST* list = nullptr;
    const LONG result = GetAlertList(&list);
    if (result != S_OK || list == nullptr) {
        throw CommandError{fmt::format("cannot read the alert list from the event database ({}): check "
                                       "\"DatabasePath\" with `evtrace reg query` or run `evtrace setup`",
                                       ResultText(result)),
                           kExitQueryFailed};
    }
    for (DWORD i = 0; i < list->count; ++i) {
        const DWORD code = list->codes[i];
        if (json) {
            nlohmann::json out;
            out["code"] = code;
            out["severity"] = EVT_CODE_SEVERITY(code);
            out["severityName"] = SeverityName(code);
            out["domain"] = EVT_CODE_DOMAIN(code);
            out["domainName"] = DomainName(code);
            out["title"] = Title(code);
            printf("%s\n", JsonLine(out).c_str());
        } else {
            printf("0x%08lx  %-11s %-13s %s\n", static_cast<unsigned long>(code), SeverityName(code),
                   DomainName(code), Title(code).c_str());
        }
    }
    if (!json) fprintf(stderr, "%lu alert%s\n", static_cast<unsigned long>(list->count), list->count == 1 ? "" : "s");
}

// The user's history, newest first, as copies of the records.
std::vector<std::vector<BYTE>> ReadHistory(LONG* result) {
    _EVT_RECORD_LIST* list = nullptr;
    *result = GetAlertHistoryList(&list);
    std::vector<std::vector<BYTE>> records;
    if (*result != S_OK || list == nullptr) return records;
    for (DWORD i = 0; i < list->count; ++i) {
        const _VANTA_EVTRACE_DATA* r = list->records[i];
        if (r == nullptr) continue;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(r);
        records.emplace_back(bytes, bytes + EVT_RECORD_FIXED_SIZE + r->dwDataLen + EVT_RECORD_TAIL_SIZE);
        EvTraceDeleteMemory(list->records[i]);
    }
    EvTraceDeleteArray(list->records);
    EvTraceDeleteMemory(list);
    return records;
}

const _VANTA_EVTRACE_DATA& AsRecord(const std::vector<BYTE>& bytes) {
    return *reinterpret_cast<const _VANTA_EVTRACE_DATA*>(bytes.data());
}

nlohmann::json AlertJson(const _VANTA_EVTRACE_DATA& r) {
    nlohmann::json out;
    out["time"] = IsoTime(r.ftTimeStamp, true);
    out["code"] = r.dwEventCode;
    out["type"] = r.dwEventType;
    out["severityName"] = SeverityName(r.dwEventCode);
    out["domainName"] = DomainName(r.dwEventCode);
    out["title"] = Title(r.dwEventCode);
    out["stringA"] = JsonField(r.szStringA, sizeof r.szStringA);
    out["flag"] = r.bFlag;
    return out;
}

std::string AlertLine(const _VANTA_EVTRACE_DATA& r) {
    std::string line = fmt::format("{}  0x{:08x}  {:<11} {:<13} {}", LocalTime(r.ftTimeStamp), r.dwEventCode,
                                   SeverityName(r.dwEventCode), DomainName(r.dwEventCode), Title(r.dwEventCode));
    const std::string a = PrintableField(r.szStringA, sizeof r.szStringA);
    if (!a.empty()) line += "  (" + a + ")";
    return line;
}

void History(bool json) {
    Library library;
    LONG result = S_OK;
    const auto records = ReadHistory(&result);
    if (result == EVT_E_NOFILEACCESS) {
        if (json) printf("[]\n");
        fprintf(stderr, "no alert history yet: no alert has been saved for this user\n");
        return;
    }
    if (result != S_OK)
        throw CommandError{fmt::format("cannot read the alert history ({})", ResultText(result)), kExitQueryFailed};
    if (json) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& r : records) out.push_back(AlertJson(AsRecord(r)));
        printf("%s\n", JsonLine(out).c_str());
        return;
    }
    for (const auto& r : records) printf("%s\n", AlertLine(AsRecord(r)).c_str());
    fprintf(stderr, "%zu alert%s, newest first\n", records.size(), records.size() == 1 ? "" : "s");
}

[[noreturn]] void NotAnAlert(DWORD code);

// The database's lookup matches the code's digits anywhere in its text (12
// finds an entry of 2147483612): only codes of the alert list are asked.
void RequireAlert(DWORD code) {
    ULONG alertable = 0;
    if (IsAlertableError(code, &alertable) != S_OK || alertable == 0) NotAnAlert(code);
}

[[noreturn]] void NotAnAlert(DWORD code) {
    throw CommandError{fmt::format("0x{:08x} is not an alert of the event database in this user's language (see "
                                   "`evtrace alerts list` and `evtrace lang`)",
                                   code),
                       kExitNotFound};
}

void Help(const std::string& text) {
    const DWORD code = ParseCode(text);
    Library library;
    RequireAlert(code);
    _EVT_ALERT_CONTEXT_HELP_EX help = {};
    const LONG result = GetAlertContextHelpEx(code, &help);
    if (result != S_OK || help.dwAlertCode != code) {
        for (char* s : {help.pszHints, help.pszField2, help.pszField4, help.pszField5}) EvTraceDeleteArray(s);
        NotAnAlert(code);
    }
    auto show = [](const char* s) { return std::string(s != nullptr ? s : ""); };
    printf("Alert 0x%08lx (%lu): %s\n", static_cast<unsigned long>(help.dwAlertCode),
           static_cast<unsigned long>(help.dwAlertCode), show(help.pszField2).c_str());
    printf("  severity   %s, domain %s\n", SeverityName(code), DomainName(code));
    printf("  what       %s\n", show(help.pszField4).c_str());
    // The hints are separated by ";;" in the database.
    const std::string hints = show(help.pszHints);
    for (size_t begin = 0, n = 1; begin <= hints.size(); ++n) {
        size_t end = hints.find(";;", begin);
        if (end == std::string::npos) end = hints.size();
        printf("  %s %zu. %s\n", n == 1 ? "hints     " : "          ", n, hints.substr(begin, end - begin).c_str());
        begin = end + 2;
    }
    printf("  help topic %s\n", show(help.pszField5).c_str());
    for (char* s : {help.pszHints, help.pszField2, help.pszField4, help.pszField5}) EvTraceDeleteArray(s);
}

void Hints(const std::string& text) {
    const DWORD code = ParseCode(text);
    Library library;
    RequireAlert(code);
    _EVT_ALERT_HINT_LIST* list = nullptr;
    const LONG result = GetAlertHintList(code, &list);
    std::vector<std::string> hints;
    if (list != nullptr) {
        for (DWORD i = 0; i < list->count; ++i) {
            hints.emplace_back(list->hints[i] != nullptr ? list->hints[i] : "");
            EvTraceDeleteArray(list->hints[i]);
        }
        EvTraceDeleteMemory(list);
    }
    if (result != S_OK) NotAnAlert(code);
    for (size_t i = 0; i < hints.size(); ++i) printf("%zu. %s\n", i + 1, hints[i].c_str());
}

std::atomic<bool> g_interrupted{false};

struct WaitOptions {
    unsigned long count = 1;
    double timeout = 0;
    bool json = false;
};

// The records of `now` that came after `before` (both newest first): the
// longest run of `before`'s newest records found at the end of `now`'s
// older ones marks what was seen.
size_t NewRecords(const std::vector<std::vector<BYTE>>& before, const std::vector<std::vector<BYTE>>& now) {
    for (size_t fresh = 0; fresh <= now.size(); ++fresh) {
        const size_t overlap = now.size() - fresh;
        if (overlap > before.size()) continue;
        bool same = true;
        for (size_t i = 0; i < overlap && same; ++i) same = now[fresh + i] == before[i];
        if (same) return fresh;
    }
    return now.size();
}

void Wait(const WaitOptions& options) {
    if (options.timeout < 0 || options.timeout != options.timeout)
        throw CommandError{"--timeout is a number of seconds, 0 or more", exit_code::kUsage};
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, kEngineAlertEvent);
    if (event == nullptr) {
        throw CommandError{"no event engine runs on this machine root: start one with `evtrace engine`", kExitNotFound};
    }
    Library library;
    signal(SIGINT, [](int) { g_interrupted = true; });
    signal(SIGTERM, [](int) { g_interrupted = true; });
    LONG result = S_OK;
    std::vector<std::vector<BYTE>> seen = ReadHistory(&result);
    fprintf(stderr, "waiting for %lu alert%s%s\n", options.count, options.count == 1 ? "" : "s",
            options.timeout > 0 ? fmt::format(" (at most {} s)", options.timeout).c_str() : " (Ctrl-C to stop)");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeout);
    unsigned long shown = 0;
    bool missed = false;
    while (!g_interrupted && (options.count == 0 || shown < options.count)) {
        if (options.timeout > 0 && std::chrono::steady_clock::now() >= deadline) break;
        // A pulse wakes the wait; the history, read after every slice too,
        // shows what came while this client was not waiting.
        WaitForSingleObject(event, 250);
        std::vector<std::vector<BYTE>> now = ReadHistory(&result);
        const size_t fresh = NewRecords(seen, now);
        if (fresh == now.size() && !now.empty() && !seen.empty()) missed = true;
        for (size_t i = fresh; i-- > 0 && (options.count == 0 || shown < options.count);) {
            const _VANTA_EVTRACE_DATA& r = AsRecord(now[i]);
            printf("%s\n", options.json ? JsonLine(AlertJson(r)).c_str() : AlertLine(r).c_str());
            ++shown;
        }
        fflush(stdout);
        if (fresh > 0) seen = std::move(now);
    }
    CloseHandle(event);
    if (missed) fprintf(stderr, "evtrace: some alerts may have been missed: more came at once than the history keeps\n");
    if (options.count != 0 && shown < options.count && !g_interrupted) {
        throw CommandError{fmt::format("{} of {} alerts came within {} s", shown, options.count, options.timeout),
                           kExitTooFew};
    }
}

void setup(CLI::App& app) {
    CLI::App* alerts = app.get_subcommand("alerts");
    alerts->description("Alerts: the switch, the alert list, the user's history, help and hints, waiting for them");
    alerts->footer(
        "Exit codes: 0 done; 1 the library or the query failed; 3 not an alert of the event database (help, hints), "
        "or no event engine runs (wait); 4 (wait) fewer alerts came than asked for in time.");

    auto json = std::make_shared<bool>(false);
    CLI::App* list = alerts->add_subcommand("list", "The alert codes of the event database with domain and severity");
    list->add_flag("--json", *json, "One JSON object per line");
    list->callback([json] { List(*json); });

    auto historyJson = std::make_shared<bool>(false);
    CLI::App* history = alerts->add_subcommand("history", "The user's last six alerts, newest first");
    history->add_flag("--json", *historyJson, "One JSON array");
    history->callback([historyJson] { History(*historyJson); });

    auto code = std::make_shared<std::string>();
    CLI::App* help = alerts->add_subcommand("help", "Context help of an alert code from the event database");
    help->add_option("code", *code, "The alert code (decimal or 0x hex)")->required();
    help->callback([code] { Help(*code); });

    auto hintCode = std::make_shared<std::string>();
    CLI::App* hints = alerts->add_subcommand("hints", "The hints of an alert code, one per line");
    hints->add_option("code", *hintCode, "The alert code (decimal or 0x hex)")->required();
    hints->callback([hintCode] { Hints(*hintCode); });

    auto wait = std::make_shared<WaitOptions>();
    CLI::App* waiting =
        alerts->add_subcommand("wait", "Wait for the event engine's alerts and print each as it comes");
    waiting->add_option("--count", wait->count, "Stop after this many alerts (0: until Ctrl-C)")
        ->capture_default_str()
        ->check(WholeNumber(0, ~0ull));
    waiting->add_option("--timeout", wait->timeout, "Give up after this many seconds (0: never)")->check(FiniteNumber(0));
    waiting->add_flag("--json", wait->json, "One JSON object per alert");
    waiting->callback([wait] { Wait(*wait); });
}

const CommandRegistrar registrar("43-alerts-queries", &setup);

}  // namespace
}  // namespace evtrace
