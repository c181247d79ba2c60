// Session events of any content through the record conversion, in both of
// its modes, and argument blocks through the formatter.
//
// Input: byte 0 picks the event's class type (0: driver 10, 1: provider 51,
// 2: time-stamped 52, 3: a bare argument block, else the byte itself),
// byte 1 the mode (even: the consumer's, odd: the queue's); the rest is the
// event's data as delivered.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "providers/EvArgFormat.h"
#include "providers/EvRecordConvert.h"
#include "providers/EvRecordLayout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t selector = data[0];
    const DWORD mode = (data[1] & 1) ? traceapi::kConvertForQueue : traceapi::kConvertForConsumer;
    // The data lives in a block of its own size, so reads past it are caught.
    std::vector<uint8_t> payload(data + 2, data + size);

    if (selector == 3) {
        std::vector<uint8_t> block(1312, 0);
        if (!payload.empty())
            memcpy(block.data(), payload.data(), payload.size() < block.size() ? payload.size() : block.size());
        char message[traceapi::kArgMessageSize] = {};
        traceapi::FormatArgumentBlock(block.data(), message);
        if (message[traceapi::kArgMessageSize - 1] != '\0') __builtin_trap();
        return 0;
    }

    EVENT_TRACE event;
    memset(&event, 0, sizeof event);
    static const UCHAR kTypes[] = {10, 51, 52};
    event.Header.Class.Type = selector < 3 ? kTypes[selector] : selector;
    event.MofData = payload.empty() ? nullptr : payload.data();
    event.MofLength = ULONG(payload.size());
    event.Header.TimeStamp.QuadPart = 0x01D9000000000000LL;

    traceapi::RecordHolder record;
    DWORD recordSize = 0;
    LONG result = traceapi::ConvertEventToRecord(&event, record.out(), &recordSize, mode);
    if (record.get() != nullptr && result == S_OK) {
        // Every record converted holds its fixed part, its data and a zero
        // tail within the size it travels with.
        const _VANTA_EVTRACE_DATA* r = record.get();
        if (size_t(r->dwDataLen) + EVT_RECORD_FIXED_SIZE + EVT_RECORD_TAIL_SIZE > recordSize) __builtin_trap();
        volatile size_t sink = strlen(r->szSource) + strlen(r->szUserName) + strlen(r->szStringA) +
                               strlen(r->szStringB) + strlen(r->szProviderText);
        sink = sink + strlen(reinterpret_cast<const char*>(r->Data));
        (void)sink;
    }
    return 0;
}
