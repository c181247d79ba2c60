#include "frame/TraceApiReg.h"

#include <cstring>

#include "frame/BoundedText.h"

using namespace traceapi;

CTraceApiReg::CTraceApiReg() {
    // A user who may not write the machine's settings still reads them.
    if (m_regApi.CreateKey(HKEY_LOCAL_MACHINE, kApiKeyPath, 0, kKeyReadWrite, nullptr) != ERROR_SUCCESS)
        m_regApi.OpenKey(HKEY_LOCAL_MACHINE, kApiKeyPath, KEY_READ);
}

CTraceApiReg::~CTraceApiReg() { m_regApi.CloseKey(); }

int CTraceApiReg::GetDatabasePath(char* buffer, unsigned size) {
    if (buffer == nullptr) return 0;
    char path[MAX_PATH] = {};
    DWORD bytes = sizeof path;
    if (m_regApi.QueryValue(kDatabasePathValue, path, bytes) != ERROR_SUCCESS) {
        if (size > 0) buffer[0] = '\0';
        return 0;
    }
    if (size == 0) return 1;
    size_t length = traceapi::BoundedLength(path, size - 1);
    memcpy(buffer, path, length);
    buffer[length] = '\0';
    return 1;
}

LONG CTraceApiReg::ReadSettingDword(LPCSTR keyPath, LPCSTR valueName, ULONG* out, ULONG defaultValue) {
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    *out = defaultValue;
    CRegApi regApi;
    LONG status = regApi.OpenKey(HKEY_LOCAL_MACHINE, keyPath, KEY_READ);
    if (status != ERROR_SUCCESS) return status;
    // Only a 32-bit number counts: a string or a longer value keeps the
    // default instead of being read as a number.
    DWORD value = 0;
    if (regApi.QueryValue(valueName, value) == ERROR_SUCCESS) *out = value;
    return regApi.CloseKey();
}

LONG CTraceApiReg::GetEnableAlerts(ULONG* out) {
    return ReadSettingDword(kApiKeyPath, kEnableAlertsValue, out, kDefaultEnableAlerts);
}

LONG CTraceApiReg::GetMaxEvents(ULONG* out) {
    LONG status = ReadSettingDword(kEngKeyPath, kMaxEventsValue, out, kDefaultMaxEvents);
    if (out != nullptr && *out > kMaxMaxEvents) *out = kMaxMaxEvents;
    return status;
}
