// The library's settings under HKEY_LOCAL_MACHINE. Readers open the key at
// every call: a change in the registry takes effect at the next read.
#pragma once

#include <windows.h>

#include "frame/RegApi.h"

namespace traceapi {

inline constexpr char kApiKeyPath[] = "Software\\Vanta\\Wireless\\EvTrace\\API\\";
inline constexpr char kEngKeyPath[] = "Software\\Vanta\\Wireless\\EvTrace\\Eng\\";
inline constexpr char kProvidersKeyPath[] = "Software\\Vanta\\Wireless\\EvTrace\\API\\Providers";
inline constexpr char kWirelessKeyPath[] = "Software\\Vanta\\Wireless\\";

inline constexpr char kEnableAlertsValue[] = "EnableAlerts";
inline constexpr char kDatabasePathValue[] = "DatabasePath";
inline constexpr char kHistoryFilePathValue[] = "HistoryFilePath";
inline constexpr char kSessionValue[] = "Session";
inline constexpr char kMaxEventsValue[] = "MaxEvents";
inline constexpr char kSnapShotFileValue[] = "SnapShotFile";
inline constexpr char kNimbusBinDirValue[] = "NimbusBinDir";

inline constexpr DWORD kDefaultEnableAlerts = 1;
inline constexpr DWORD kDefaultMaxEvents = 200;
inline constexpr DWORD kMaxMaxEvents = 500;

// Read and write access to a key (KEY_READ | KEY_WRITE).
inline constexpr REGSAM kKeyReadWrite = 0x2001F;

}  // namespace traceapi

class CTraceApiReg {
public:
    // Opens (creating when missing) the API key for reading and writing, or
    // for reading only when writing is refused. When that fails too the
    // object has no key and every read fails.
    CTraceApiReg();
    virtual ~CTraceApiReg();
    CTraceApiReg(const CTraceApiReg&) = delete;
    CTraceApiReg& operator=(const CTraceApiReg&) = delete;

    // "DatabasePath" (at most 259 characters) cut to size. 1 when read; 0 and
    // an empty string otherwise; 0 for a null buffer.
    int GetDatabasePath(char* buffer, unsigned size);

    // Stores defaultValue in *out, then the 32-bit value when key and value
    // exist. Returns the status of opening the key, else of closing it.
    static LONG ReadSettingDword(LPCSTR keyPath, LPCSTR valueName, ULONG* out, ULONG defaultValue);
    // "EnableAlerts", default 1.
    static LONG GetEnableAlerts(ULONG* out);
    // "MaxEvents", default 200, at most 500.
    static LONG GetMaxEvents(ULONG* out);

    CRegApi m_regApi;
};
