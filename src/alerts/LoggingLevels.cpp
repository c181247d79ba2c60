#include "alerts/LoggingLevels.h"

#include <winreg.h>

#include <atomic>
#include <cstring>
#include <string>

namespace traceapi {

namespace {

// A record's source field: 255 characters and the zero at most.
constexpr size_t kSourceSize = 256;

std::atomic<DWORD> g_status{0};
std::atomic<DWORD> g_masks[kComponentCount];

// A 4-byte value; 0 when the value is missing or of another size.
DWORD ReadDword(HKEY key, const char* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        size != sizeof value) {
        return 0;
    }
    return value;
}

}  // namespace

DWORD ReadLoggingLevels() {
    DWORD enableFlag = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUnifiedLoggingKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        enableFlag = ReadDword(key, kEnableFlagValue);
        g_status.store(enableFlag, std::memory_order_relaxed);
        RegCloseKey(key);
    }
    // Each subkey once, in table order; rows of one subkey share its level.
    DWORD levels[kComponentCount] = {};
    for (size_t row = 0; row < kComponentCount; ++row) {
        size_t first = row;
        for (size_t earlier = 0; earlier < row; ++earlier) {
            if (lstrcmpiA(kComponentRows[earlier].subkey, kComponentRows[row].subkey) == 0) {
                first = earlier;
                break;
            }
        }
        if (first != row) {
            levels[row] = levels[first];
            continue;
        }
        const std::string path = std::string(kUnifiedLoggingKey) + "\\" + kComponentRows[row].subkey;
        HKEY component = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &component) == ERROR_SUCCESS) {
            levels[row] = ReadDword(component, kLogLevelValue);
            RegCloseKey(component);
        }
    }
    for (size_t row = 0; row < kComponentCount; ++row) g_masks[row].store(levels[row], std::memory_order_relaxed);
    return enableFlag;
}

DWORD UnifiedLogStatus() { return g_status.load(std::memory_order_relaxed); }

DWORD ComponentMask(size_t row) { return row < kComponentCount ? g_masks[row].load(std::memory_order_relaxed) : 0; }

const char* LevelOf(const char* source, DWORD type) {
    // The rows of the source last asked about: one component's lines come
    // in runs, and the names in the table never change (only the masks do,
    // and those are read each time).
    thread_local struct {
        char name[kSourceSize];
        size_t length = kSourceSize;  // none yet
        unsigned char rows[kComponentCount];
        size_t count = 0;
    } last;
    const size_t length = strnlen(source, kSourceSize);
    if (length == kSourceSize) return nullptr;  // longer than any name
    if (length != last.length || memcmp(source, last.name, length) != 0) {
        last.count = 0;
        for (size_t row = 0; row < kComponentCount; ++row) {
            if (strcmp(kComponentRows[row].name, source) == 0) last.rows[last.count++] = static_cast<unsigned char>(row);
        }
        memcpy(last.name, source, length);
        last.length = length;
    }
    const char* level = nullptr;
    for (size_t i = 0; i < last.count; ++i) {
        const DWORD mask = g_masks[last.rows[i]].load(std::memory_order_relaxed);
        for (const LevelBit& bit : kLevelBits) {
            if ((mask & bit.bit) != 0 && (type == bit.plainType || type == bit.formattedType)) {
                level = bit.name;
                break;
            }
        }
    }
    return level;
}

}  // namespace traceapi
