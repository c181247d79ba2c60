#include "forward/syslog_message.h"

#include <iconv.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace evtrace::forward {

namespace {

constexpr const char* kSeverityNames[4] = {"Success", "Information", "Error", "Warning"};
constexpr const char* kDomainNames[16] = {"Connection", "Security", "Adapter",     "Profile",  "TCP/IP",
                                          "AppDriver",  "General",  "Registry",    "AppSettings", "Location",
                                          "ThirdPartyApp", "ITPolicy", "EvTrace",  "Unknown",  "Driver", "Unknown"};
// The event's severity (bit 31 x 2 + bit 11) as a syslog severity.
constexpr int kSyslogSeverity[4] = {5, 6, 3, 4};
constexpr int kWarning = 4;
// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpoch = 116444736000000000ull;

bool IsPrintUsAscii(unsigned char c) { return c >= 33 && c <= 126; }

void AppendNumber(uint64_t value, std::string* out) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) out->push_back(digits[--n]);
}

void AppendPadded(unsigned value, int width, std::string* out) {
    char digits[8];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = char('0' + value % 10);
        value /= 10;
    }
    out->append(digits, size_t(width));
}

void AppendTime(uint64_t fileTime, std::string* out) {
    if (fileTime < kUnixEpoch) {
        // Before 1970 (never a real event time): the civil form below is
        // for days from 1970 on.
        out->push_back('-');
        return;
    }
    const uint64_t units = fileTime - kUnixEpoch;
    const uint64_t seconds = units / 10000000;
    const unsigned micros = unsigned((units % 10000000) / 10);
    // Days to a civil date (proleptic Gregorian), from 1970-01-01.
    int64_t z = int64_t(seconds / 86400) + 719468;
    const int64_t era = z / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = int64_t(yoe) + era * 400 + (month <= 2);
    if (year > 9999) {
        out->push_back('-');
        return;
    }
    const unsigned secondOfDay = unsigned(seconds % 86400);
    AppendPadded(unsigned(year), 4, out);
    out->push_back('-');
    AppendPadded(month, 2, out);
    out->push_back('-');
    AppendPadded(day, 2, out);
    out->push_back('T');
    AppendPadded(secondOfDay / 3600, 2, out);
    out->push_back(':');
    AppendPadded(secondOfDay / 60 % 60, 2, out);
    out->push_back(':');
    AppendPadded(secondOfDay % 60, 2, out);
    out->push_back('.');
    AppendPadded(micros, 6, out);
    out->push_back('Z');
}

size_t FieldLength(const char* field, size_t size) { return strnlen(field, size); }

}  // namespace

void LossCounts::Add(const LossCounts& other) {
    handOff += other.handOff;
    queueFull += other.queueFull;
    diskError += other.diskError;
    damaged += other.damaged;
    if (other.firstTime != 0 && (firstTime == 0 || other.firstTime < firstTime)) firstTime = other.firstTime;
    if (other.lastTime > lastTime) lastTime = other.lastTime;
}

void LossCounts::Note(uint64_t fileTime) {
    if (fileTime == 0) return;
    if (firstTime == 0 || fileTime < firstTime) firstTime = fileTime;
    if (fileTime > lastTime) lastTime = fileTime;
}

MessageFormatter::MessageFormatter(std::string hostName, int facility)
    : host_(std::move(hostName)), facility_(facility), converter_(nullptr) {
    if (host_.empty()) host_ = "-";
    const std::string codePage = "CP" + std::to_string(GetACP());
    iconv_t converter = iconv_open("UTF-8", codePage.c_str());
    if (converter != iconv_t(-1)) converter_ = converter;
}

MessageFormatter::~MessageFormatter() {
    if (converter_ != nullptr) iconv_close(iconv_t(converter_));
}

void MessageFormatter::AppendText(const char* text, size_t size, std::string* out) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t plain = 0;
    while (plain < size && bytes[plain] < 0x80) ++plain;
    out->append(text, plain);
    if (plain == size) return;
    // A byte the code page does not map (or no converter at all) becomes
    // U+FFFD, so what is sent is always UTF-8.
    const char* in = text + plain;
    size_t left = size - plain;
    const size_t start = out->size();
    out->resize(start + left * 4 + 8);
    char* dest = out->data() + start;
    size_t room = left * 4 + 8;
    while (left > 0) {
        if (converter_ != nullptr) {
            char* from = const_cast<char*>(in);
            if (iconv(iconv_t(converter_), &from, &left, &dest, &room) != size_t(-1)) break;
            in = from;
            if (left == 0) break;
        }
        // Unmapped byte: the replacement character, then go on.
        memcpy(dest, "\xEF\xBF\xBD", 3);
        dest += 3;
        room -= 3;
        ++in;
        --left;
        if (converter_ == nullptr) {
            while (left > 0 && static_cast<unsigned char>(*in) < 0x80 && room > 0) {
                *dest++ = *in++;
                --left;
                --room;
            }
        } else {
            iconv(iconv_t(converter_), nullptr, nullptr, nullptr, nullptr);
        }
    }
    out->resize(size_t(dest - out->data()));
}

void MessageFormatter::AppendHeader(int severity, uint64_t fileTime, const char* procId, size_t procIdSize,
                                    const char* msgId, std::string* out) {
    out->push_back('<');
    AppendNumber(uint64_t(facility_ * 8 + severity), out);
    out->append(">1 ");
    AppendTime(fileTime, out);
    out->push_back(' ');
    out->append(host_);
    out->push_back(' ');
    out->append(kAppName);
    out->push_back(' ');
    size_t n = std::min<size_t>(procIdSize, 128);
    if (n == 0) {
        out->push_back('-');
    } else {
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(procId[i]);
            out->push_back(IsPrintUsAscii(c) ? char(c) : '_');
        }
    }
    out->push_back(' ');
    out->append(msgId);
    out->push_back(' ');
}

void MessageFormatter::AppendParam(const char* name, const char* value, size_t size, std::string* out) {
    out->push_back(' ');
    out->append(name);
    out->append("=\"");
    // '"', '\' and ']' are escaped with a backslash inside a value.
    size_t from = 0;
    for (size_t i = 0; i < size; ++i) {
        const char c = value[i];
        if (c == '"' || c == '\\' || c == ']') {
            AppendText(value + from, i - from, out);
            out->push_back('\\');
            out->push_back(c);
            from = i + 1;
        }
    }
    AppendText(value + from, size - from, out);
    out->push_back('"');
}

RecordView ViewOf(const _VANTA_EVTRACE_DATA& record, DWORD size) {
    auto field = [](const char* text, size_t room) { return std::string_view(text, FieldLength(text, room)); };
    RecordView view;
    view.code = record.dwEventCode;
    view.type = record.dwEventType;
    view.time = (uint64_t(record.ftTimeStamp.dwHighDateTime) << 32) | record.ftTimeStamp.dwLowDateTime;
    view.source = field(record.szSource, sizeof record.szSource);
    view.user = field(record.szUserName, sizeof record.szUserName);
    view.provider = field(record.szProviderText, sizeof record.szProviderText);
    view.stringA = field(record.szStringA, sizeof record.szStringA);
    view.stringB = field(record.szStringB, sizeof record.szStringB);
    // The text: the record's data up to its first zero, within the record.
    const size_t room = size > EVT_RECORD_FIXED_SIZE ? size - EVT_RECORD_FIXED_SIZE : 0;
    view.text = field(reinterpret_cast<const char*>(record.Data), std::min<size_t>(record.dwDataLen, room));
    return view;
}

void MessageFormatter::AppendRecord(const RecordView& record, std::string* out) {
    const DWORD code = record.code;
    AppendHeader(kSyslogSeverity[EVT_CODE_SEVERITY(code)], record.time, record.source.data(), record.source.size(),
                 "event", out);

    out->append("[evtrace@");
    out->append(kEnterpriseNumber);
    char hex[11] = {'0', 'x'};
    for (int i = 0; i < 8; ++i) hex[2 + i] = "0123456789abcdef"[(code >> (28 - 4 * i)) & 0xF];
    AppendParam("code", hex, 10, out);
    const char* severity = kSeverityNames[EVT_CODE_SEVERITY(code)];
    AppendParam("severity", severity, strlen(severity), out);
    const char* domain = kDomainNames[EVT_CODE_DOMAIN(code)];
    AppendParam("domain", domain, strlen(domain), out);
    out->append(" type=\"");
    AppendNumber(record.type, out);
    out->push_back('"');
    AppendParam("provider", record.provider.data(), record.provider.size(), out);
    AppendParam("source", record.source.data(), record.source.size(), out);
    struct Optional {
        const char* name;
        std::string_view value;
    };
    for (const Optional& o : {Optional{"user", record.user}, Optional{"stringA", record.stringA},
                              Optional{"stringB", record.stringB}}) {
        if (!o.value.empty()) AppendParam(o.name, o.value.data(), o.value.size(), out);
    }
    out->push_back(']');
    if (!record.text.empty()) {
        out->push_back(' ');
        AppendText(record.text.data(), record.text.size(), out);
    }
}

void MessageFormatter::AppendLossReport(const LossCounts& losses, uint64_t now, std::string* out) {
    AppendHeader(kWarning, now, "", 0, "lost", out);
    out->append("[evtrace-lost@");
    out->append(kEnterpriseNumber);
    struct Count {
        const char* name;
        uint64_t value;
    };
    for (const Count& c : {Count{"dropped", losses.Total()}, Count{"handOff", losses.handOff},
                           Count{"queueFull", losses.queueFull}, Count{"diskError", losses.diskError},
                           Count{"damaged", losses.damaged}}) {
        out->push_back(' ');
        out->append(c.name);
        out->append("=\"");
        AppendNumber(c.value, out);
        out->push_back('"');
    }
    for (const Count& c : {Count{"first", losses.firstTime}, Count{"last", losses.lastTime}}) {
        if (c.value == 0) continue;
        out->push_back(' ');
        out->append(c.name);
        out->append("=\"");
        AppendTime(c.value, out);
        out->push_back('"');
    }
    out->append("] ");
    AppendNumber(losses.Total(), out);
    out->append(" records of the event engine were not forwarded (");
    bool first = true;
    for (const Count& c : {Count{"the engine's hand-off was full", losses.handOff},
                           Count{"the forward queue was at its limit", losses.queueFull},
                           Count{"the queue's disk refused a write", losses.diskError},
                           Count{"found damaged in the queue", losses.damaged}}) {
        if (c.value == 0) continue;
        if (!first) out->append("; ");
        first = false;
        AppendNumber(c.value, out);
        out->append(": ");
        out->append(c.name);
    }
    out->push_back(')');
}

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "-";
    std::string host;
    for (const char* p = name; *p != '\0'; ++p)
        host.push_back(IsPrintUsAscii(static_cast<unsigned char>(*p)) ? *p : '_');
    return host;
}

std::string SyslogTime(uint64_t fileTime) {
    std::string out;
    AppendTime(fileTime, &out);
    return out;
}

void AppendFrame(const std::string& message, std::string* out) {
    AppendNumber(message.size(), out);
    out->push_back(' ');
    out->append(message);
}

}  // namespace evtrace::forward
