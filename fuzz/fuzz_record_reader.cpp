// Binary event logs and live snapshot files of any content through the
// record reader; every record handed out is then read as a consumer would.
//
// Input: byte 0 picks the reader (even: binary log, odd: snapshot) and the
// alert filter (bit 1); the rest is the file.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "providers/EvRecordLayout.h"
#include "consumer/EvRecordReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<uint8_t> file(data + 1, data + size);
    traceapi::MemorySource source(file.data(), file.size());
    traceapi::RecordFilter filter;
    if (data[0] & 2) filter = [](const _VANTA_EVTRACE_DATA& r) { return (r.dwEventCode & 1) != 0; };
    traceapi::RecordList records;
    if (data[0] & 1) {
        traceapi::ReadSnapshot(source, filter, &records);
    } else {
        traceapi::ReadBinaryLog(source, filter, &records);
    }
    for (const _VANTA_EVTRACE_DATA* r : records) {
        // The text and its zero tail lie within the record.
        const char* text = reinterpret_cast<const char*>(r->Data);
        for (size_t i = 0; i < EVT_RECORD_TAIL_SIZE; ++i) {
            if (text[r->dwDataLen + i] != '\0') __builtin_trap();
        }
        volatile size_t sink = strlen(r->szSource) + strlen(text);
        (void)sink;
    }
    traceapi::FreeRecords(&records);
    return 0;
}
