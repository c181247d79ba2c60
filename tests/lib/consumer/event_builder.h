// Builds session events byte by byte as providers and the wireless driver
// lay them out, for feeding the consumer side without a session.
#pragma once

#include <TraceApi.h>
#include <evntrace.h>
#include <string.h>

#include <cstdint>
#include <string>
#include <vector>

namespace consumer_test {

inline void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) { memcpy(b.data() + at, &v, 4); }
inline void PutU16(std::vector<uint8_t>& b, size_t at, uint16_t v) { memcpy(b.data() + at, &v, 2); }
inline void PutU64(std::vector<uint8_t>& b, size_t at, uint64_t v) { memcpy(b.data() + at, &v, 8); }
inline void PutText(std::vector<uint8_t>& b, size_t at, const std::string& s, size_t field) {
    memcpy(b.data() + at, s.data(), s.size() < field ? s.size() : field);
}

// The fields of a provider event's fixed block.
struct Fixed {
    uint32_t code = 0x1001;
    uint32_t type = 51;
    std::string source = "TestSource";
    std::string user = "tester";
    std::string providerText = "provider text";
    std::string stringA;
    std::string stringB;
    uint8_t flag = 0;
};

// Event data: the 1,312-byte fixed block, the payload and 8 zero bytes.
inline std::vector<uint8_t> ProviderData(const Fixed& f, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> d(1312 + payload.size() + 8, 0);
    PutU32(d, 0, 0x55AA55AA);
    PutU32(d, 4, uint32_t(1312 + payload.size()));
    PutU32(d, 8, f.code);
    PutU32(d, 12, f.type);
    PutText(d, 24, f.source, 256);
    PutText(d, 280, f.user, 256);
    PutText(d, 536, f.providerText, 256);
    PutText(d, 792, f.stringB, 256);
    PutText(d, 1048, f.stringA, 256);
    d[1304] = f.flag;
    if (!payload.empty()) memcpy(d.data() + 1312, payload.data(), payload.size());
    return d;
}

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// An event as the session delivers it, owning its data.
struct Event {
    EVENT_TRACE trace{};
    std::vector<uint8_t> data;

    Event(uint8_t classType, std::vector<uint8_t> bytes, int64_t time = 0x01D9000000000000LL) : data(std::move(bytes)) {
        trace.Header.Class.Type = classType;
        trace.Header.Size = uint16_t(48 + data.size() < 0xFFFF ? 48 + data.size() : 0xFFFF);
        trace.Header.TimeStamp.QuadPart = time;
        trace.MofData = data.empty() ? nullptr : data.data();
        trace.MofLength = uint32_t(data.size());
    }
    Event(const Event& other)
        : Event(other.trace.Header.Class.Type, other.data, other.trace.Header.TimeStamp.QuadPart) {}
    Event& operator=(const Event&) = delete;
    EVENT_TRACE* get() { return &trace; }
};

inline Event TextEvent(const std::string& text, Fixed f = {}, int64_t time = 0x01D9000000000000LL) {
    return Event(51, ProviderData(f, Bytes(text)), time);
}

// A 1,312-byte block of the argument or log form with its trailer.
struct BlockTrailer {
    std::string file = "src/module.cpp";
    int32_t line = 42;
    uint64_t time = 0x01D9123456789ABCULL;
    uint32_t processId = 0x1234;
    uint32_t threadId = 0xBEEF;
};

inline void PutTrailer(std::vector<uint8_t>& b, const BlockTrailer& t) {
    PutText(b, 1028, t.file, 259);
    PutU32(b, 1288, uint32_t(t.line));
    PutU64(b, 1296, t.time);
    PutU32(b, 1304, t.processId);
    PutU32(b, 1308, t.threadId);
}

inline std::vector<uint8_t> LogBlock(const std::string& message, const BlockTrailer& t = {}) {
    std::vector<uint8_t> b(1312, 0);
    PutText(b, 4, message, 1023);
    PutTrailer(b, t);
    return b;
}

// One item of an argument block.
struct Item {
    int8_t kind;
    std::vector<uint8_t> value;
    uint16_t position;
};

inline Item IntItem(int32_t v, uint16_t position) {
    Item it{2, std::vector<uint8_t>(4), position};
    memcpy(it.value.data(), &v, 4);
    return it;
}
inline Item Int64Item(int64_t v, uint16_t position) {
    Item it{4, std::vector<uint8_t>(8), position};
    memcpy(it.value.data(), &v, 8);
    return it;
}
inline Item DoubleItem(double v, uint16_t position) {
    Item it{5, std::vector<uint8_t>(8), position};
    memcpy(it.value.data(), &v, 8);
    return it;
}
inline Item StringItem(const std::string& s, uint16_t position, bool terminated = true) {
    Item it{0, Bytes(s), position};
    if (terminated) it.value.push_back(0);
    return it;
}
inline Item CharItem(char c, uint16_t position) { return Item{1, {uint8_t(c)}, position}; }

// An argument block: item 0 is the format (with its zero), then the items.
// count overrides the item count byte when not negative.
inline std::vector<uint8_t> ArgBlock(const std::string& format, const std::vector<Item>& items,
                                     const BlockTrailer& t = {}, int count = -1) {
    std::vector<uint8_t> b(1312, 0);
    PutU32(b, 0, 1);
    b[5] = uint8_t(count >= 0 ? count : int(items.size()) + 1);
    size_t o = 6;
    b[o] = 0;
    PutU16(b, o + 1, uint16_t(format.size() + 1));
    PutU16(b, o + 3, 0);
    memcpy(b.data() + o + 5, format.data(), format.size());
    o += 5 + format.size() + 1;
    for (const Item& it : items) {
        if (o + 5 + it.value.size() > 1028) break;
        b[o] = uint8_t(it.kind);
        PutU16(b, o + 1, uint16_t(it.value.size()));
        PutU16(b, o + 3, it.position);
        memcpy(b.data() + o + 5, it.value.data(), it.value.size());
        o += 5 + it.value.size();
    }
    PutTrailer(b, t);
    return b;
}

// The 348-byte connection block of a class-type-52 event.
struct Connection {
    uint32_t eventId = 1;
    uint8_t mac[6] = {0x00, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f};
    std::string name = "HomeNet";
    uint16_t value = 11;
    int32_t rssi = -60;
    std::string detail = "detail";
    int32_t priorities[5] = {1, 2, 3, 4, 5};
    int32_t misBcn = 7;
    int32_t rssiTh = -75;
};

inline std::vector<uint8_t> ConnectionBlock(const Connection& c) {
    std::vector<uint8_t> b(348, 0);
    PutU32(b, 0, c.eventId);
    memcpy(b.data() + 4, c.mac, 6);
    PutText(b, 10, c.name, 34);
    PutU16(b, 44, c.value);
    PutU32(b, 48, uint32_t(c.rssi));
    PutText(b, 52, c.detail, 268);
    for (int i = 0; i < 5; ++i) PutU32(b, 320 + 4 * size_t(i), uint32_t(c.priorities[i]));
    PutU32(b, 340, uint32_t(c.misBcn));
    PutU32(b, 344, uint32_t(c.rssiTh));
    return b;
}

// Data of a driver event (class type 10) with a text of n bytes.
inline std::vector<uint8_t> DriverData(uint32_t code, const std::string& text, uint64_t time = 0x01D9AAAABBBBCCCCULL) {
    std::vector<uint8_t> d(40 + text.size(), 0);
    PutU64(d, 20, time);
    PutU32(d, 36, code);
    memcpy(d.data() + 40, text.data(), text.size());
    return d;
}

inline std::string RecordText(const _VANTA_EVTRACE_DATA* r) {
    return std::string(reinterpret_cast<const char*>(r->Data),
                       strnlen(reinterpret_cast<const char*>(r->Data), r->dwDataLen));
}

inline int64_t RecordTime(const _VANTA_EVTRACE_DATA* r) {
    return int64_t((uint64_t(r->ftTimeStamp.dwHighDateTime) << 32) | r->ftTimeStamp.dwLowDateTime);
}

}  // namespace consumer_test
