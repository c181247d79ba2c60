// evtrace's conventions, shared by every command.
//
// Registration. Each command file defines a setup function that adds its
// sub-command (options and callback) to the application and a static
// CommandRegistrar that lists it; main.cpp holds no list of commands. Keys
// order the help ("30-emit").
//
// Exit codes (evtrace --help lists them; keep kExitCodesHelp in step):
//   0  ok                 everything asked for was done
//   1  failed             the system or the library refused or failed
//   2  usage              bad command line: unknown command or option, a
//                         value out of range, NaN or negative where it
//                         makes no sense
//   3  not found          no such machine root, session, key, value or file;
//                         the session is not running
//   4  incomplete         events were lost, refused or not sent, or fewer
//                         came than asked for
//   5  bad data           an input file is not what it should be (not an
//                         event log, cut short, a bad .reg line)
//   6  denied             not the root's owner, or the system denied access
//   70 internal error     a fault of evtrace itself (a bug: please report)
//
// Errors. A command ends with an error by throwing CommandError, best
// through Fail(): the object it is about, the reason in words and, where
// there is one, what to do. main.cpp prints "evtrace: OBJECT: REASON" and
// "hint: FIX" on standard error and exits with the code. Statuses become
// words through SystemText (Win32 statuses, the runtime's FormatMessageA)
// and ResultText (the library's results); FailStatus ends a command for a
// failed Win32 call with the words, the exit code and the usual fix (who
// owns the root when access was denied). Any other exception that reaches
// main is an internal error (70), never an abort.
//
// Numbers. Options that take counts, rates or durations check them with
// WholeNumber(min, max) or FiniteNumber(min): "-1", "nan" and "inf" are
// usage errors, never an endless loop.
//
// Files (output_file.h). A file written for people goes through OutputFile
// (checked before the work, written aside, renamed into place; devices in
// place; a failure leaves the old file as it was); an input read whole goes
// through ReadInputFile with a size limit. Event logs: logfile.h. Consumers
// report their slot's losses through session_state.h.
//
// Text. Everything that came from events, files or the registry is data:
// human output goes through Printable (control characters and bytes that
// are not UTF-8 escaped as \n, \t, \xNN), JSON strings through JsonText
// (valid UTF-8; stray bytes as the four characters \xNN) and JSON is
// printed with JsonLine / JsonPretty, which escape everything beyond ASCII.
// Handles are strings in JSON ("0x..."), times carry their zone.
//
// Machine root. Before any command but root and setup runs, main.cpp
// checks that the root exists and is marked as one (NeedMachineRoot): a
// mistyped EVTRACE_ROOT is reported (exit 3), never made into a new machine
// as a side effect. Commands that set a machine up call MayMakeMachineRoot().
#pragma once

#include <CLI/CLI.hpp>

#include <windows.h>

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace evtrace {

using CommandSetup = void (*)(CLI::App& app);

struct CommandRegistrar {
    // Commands appear in the help in the order of their keys.
    CommandRegistrar(const char* order_key, CommandSetup setup);
};

namespace exit_code {
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kNotFound = 3;
constexpr int kIncomplete = 4;
constexpr int kBadData = 5;
constexpr int kDenied = 6;
constexpr int kInternal = 70;
}  // namespace exit_code

extern const char kExitCodesHelp[];

// Thrown by a command to end evtrace with a message and an exit code. An
// empty message prints nothing (the command said it already).
struct CommandError {
    std::string message;
    int exit_code = exit_code::kFailed;
    std::string hint;
};

// Ends the command: "OBJECT: REASON", the fix as a hint.
[[noreturn]] void Fail(int code, const std::string& object, const std::string& reason, const std::string& fix = {});

// ---- Words for statuses ----------------------------------------------------

// A Win32 status in words, from the runtime's message table: "The system
// cannot find the file specified (error 2)".
std::string SystemText(DWORD status);
// A library result in words: "no infoset is open under that number
// (EVT_E_NOINFOSET, 0x8004C4CA)"; Win32 statuses in HRESULT form too.
std::string ResultText(LONG result);
// The exit code that fits a Win32 status (denied, not found, failed).
int ExitCodeFor(DWORD status);
// Ends the command for a failed Win32 call on object, with words and, for
// the statuses that have one, the fix (access denied: who owns the root).
[[noreturn]] void FailStatus(const std::string& object, DWORD status, const std::string& fix = {});

// ---- Text ------------------------------------------------------------------

// For people: valid UTF-8 with control characters and stray bytes escaped.
std::string Printable(std::string_view bytes);
// A fixed text field: up to its first zero, escaped.
std::string PrintableField(const char* field, size_t size);
// For JSON strings: valid UTF-8, stray bytes as "\xNN".
std::string JsonText(std::string_view bytes);
std::string JsonField(const char* field, size_t size);
// One line of JSON / indented JSON, ASCII only.
std::string JsonLine(const nlohmann::json& value);
std::string JsonPretty(const nlohmann::json& value);
// "0x0000000000001234": handles in JSON and in words.
std::string HandleText(unsigned long long handle);
// ISO 8601 with milliseconds and zone: "2024-05-01T14:05:09.123+02:00"
// (local) or "...Z" (UTC); "-" when the time cannot be shown.
std::string IsoTime(const FILETIME& time, bool local);

// ---- Numbers on the command line -----------------------------------------

// Whole decimal (or 0x hex) numbers in [min, max]: no sign, no NaN.
CLI::Validator WholeNumber(unsigned long long min, unsigned long long max);
// Finite real numbers >= min.
CLI::Validator FiniteNumber(double min);

// ---- The machine root ------------------------------------------------------

// The root this process would use (EVTRACE_ROOT, else the default), found
// without touching it.
std::string ConfiguredRoot();
// Ends the command (not found) when the root does not exist or is not a
// machine root.
void NeedMachineRoot();
// Notes on standard error when the command is about to make a new root.
void MayMakeMachineRoot();

}  // namespace evtrace
