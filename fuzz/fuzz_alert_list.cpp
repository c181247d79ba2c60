// Database texts of any content through the alert-list parse: never more
// codes than terminated entries.
#include <stdint.h>

#include <string_view>

#include "consumer/EvAlertText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t terminated = 0;
    for (size_t at = text.find("|#|\n"); at != std::string_view::npos; at = text.find("|#|\n", at + 3)) ++terminated;
    if (traceapi::ParseAlertCodes(text).size() > terminated) __builtin_trap();
    return 0;
}
