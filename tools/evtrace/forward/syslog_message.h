// Records as syslog messages (RFC 5424), and the octet-counting frame that
// carries one over TCP (RFC 6587):
//
//   <PRI>1 TIMESTAMP HOSTNAME evtrace PROCID event [evtrace@32473 ...] TEXT
//
// PRI is the facility times 8 plus the severity the event code carries
// (Success: 5 notice, Information: 6 informational, Error: 3 error,
// Warning: 4 warning). TIMESTAMP is the record's time in UTC to the
// microsecond. PROCID is the event's source (the provider's instance name)
// with every character outside printable US-ASCII turned into '_'; the exact
// source is also a parameter. The structured-data element "evtrace@32473"
// carries code (hex), severity and domain (names), type, provider (the
// provider text), source, and user, stringA and stringB when they are not
// empty. 32473 is the private enterprise number that RFC 5612 reserves for
// documentation: a site that forwards into a shared collector puts its own
// number here (kEnterpriseNumber). Texts are bytes of the ANSI code page and
// are sent as UTF-8 (no byte-order mark).
//
// Records that could not be forwarded are reported by a message of their
// own, MSGID "lost", severity warning, with the element "evtrace-lost@32473"
// (dropped, handOff, queueFull, diskError, damaged, first, last).
#pragma once

#include <TraceApi.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace evtrace::forward {

inline constexpr char kEnterpriseNumber[] = "32473";
inline constexpr char kAppName[] = "evtrace";

// Counts of records that were taken from the session but will not reach the
// collector, by reason, and the times of the first and last of them.
struct LossCounts {
    uint64_t handOff = 0;    // the engine's hand-off to the queue was full
    uint64_t queueFull = 0;  // the disk queue was at its limit ("MaxQueueMB")
    uint64_t diskError = 0;  // the queue's disk refused a write
    uint64_t damaged = 0;    // found unreadable in the queue (a torn or damaged file)
    uint64_t firstTime = 0;  // FILETIME of the first and last dropped record, 0 when unknown
    uint64_t lastTime = 0;

    uint64_t Total() const { return handOff + queueFull + diskError + damaged; }
    void Add(const LossCounts& other);
    void Note(uint64_t fileTime);
};

// What a message is made of: the fields of a record, texts without their
// zeros. Views into a record, or into the forwarder's compact copy of one.
struct RecordView {
    DWORD code = 0;
    DWORD type = 0;
    uint64_t time = 0;  // FILETIME, UTC
    std::string_view source, user, provider, stringA, stringB, text;
};

// The view of a record the data queue hands on (its size as given): each
// text up to its zero; the data's text up to its zero within the record.
RecordView ViewOf(const _VANTA_EVTRACE_DATA& record, DWORD size);

// Turns records into messages on one thread: holds the host name, the
// facility and a converter from the ANSI code page.
class MessageFormatter {
public:
    MessageFormatter(std::string hostName, int facility);
    ~MessageFormatter();
    MessageFormatter(const MessageFormatter&) = delete;
    MessageFormatter& operator=(const MessageFormatter&) = delete;

    // Appends the message for one record.
    void AppendRecord(const RecordView& record, std::string* out);
    // Appends the loss report; `now` is a FILETIME.
    void AppendLossReport(const LossCounts& losses, uint64_t now, std::string* out);

    // Appends text as UTF-8, converting from the ANSI code page.
    void AppendText(const char* text, size_t size, std::string* out);

private:
    void AppendHeader(int severity, uint64_t fileTime, const char* procId, size_t procIdSize, const char* msgId,
                      std::string* out);
    void AppendParam(const char* name, const char* value, size_t size, std::string* out);

    std::string host_;
    int facility_;
    void* converter_;  // iconv_t; null when the code page has no converter
};

// The machine's host name for HOSTNAME: printable US-ASCII, at most 255.
std::string LocalHostName();

// "2024-05-01T14:05:09.123456Z"; "-" when the time has no such form.
std::string SyslogTime(uint64_t fileTime);

// Appends "LENGTH SP MESSAGE".
void AppendFrame(const std::string& message, std::string* out);

}  // namespace evtrace::forward
