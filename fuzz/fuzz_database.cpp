// Event database files of any content: the text they become, the lookup of
// codes, and the fields and hints of the entries found.
//
// Input: 4 bytes of event code, then the file's bytes.
#include <stdint.h>
#include <string.h>

#include <string>

#include "consumer/EvAlertText.h"
#include "listener/EvDbText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    DWORD code;
    memcpy(&code, data, 4);
    const std::string text =
        traceapi::DatabaseTextFromBytes(std::string_view(reinterpret_cast<const char*>(data + 4), size - 4));
    for (DWORD key : {code, code & 0xFFFF, code % 100}) {
        std::string entry;
        if (traceapi::LookupDatabaseEntry(text, key, &entry) != S_OK) continue;
        if (entry.size() < 3 || entry.compare(entry.size() - 3, 3, "|#|") != 0) __builtin_trap();
        traceapi::AlertFields fields = traceapi::ExtractAlertFields(entry);
        if (fields.count < 0 || fields.count > 5) __builtin_trap();
        size_t hints = traceapi::SplitHints(fields.hints).size();
        if (hints == 0) __builtin_trap();
    }
    return 0;
}
