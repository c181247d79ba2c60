// The unified log's switch and its per-component levels, kept in the
// registry under HKLM "SOFTWARE\Vanta\Wireless\UnifiedLogging": the value
// EnableFlag (0 off, non-zero on; exactly 1 also sets the machine-wide
// switch event "Global\UL_ENABLED_EVENT" the emitters look at; bit 31 asks
// for numbered copies of the log at each rotation) and one subkey per
// component with its LogLevel mask.
//
// The module-wide state read from there (the status and the 27 rows of the
// level table) is written by ReadLoggingLevels on the constructing thread
// and then on the unified-log thread only, and read without a lock: each
// value is one aligned 32-bit word.
#pragma once

#include <windows.h>

#include <cstddef>

namespace traceapi {

inline constexpr char kUnifiedLoggingKey[] = "SOFTWARE\\Vanta\\Wireless\\UnifiedLogging";
inline constexpr char kEnableFlagValue[] = "EnableFlag";
inline constexpr char kLogLevelValue[] = "LogLevel";
inline constexpr DWORD kNumberedCopiesBit = 0x80000000;

// A component: the provider instance name it emits under, and the subkey
// its level comes from. Rows sharing a subkey change together.
struct ComponentRow {
    const char* name;
    const char* subkey;
};

inline constexpr ComponentRow kComponentRows[] = {
    {"Heronsvc", "Heron"},
    {"Quillwatch", "QuillWatch"},
    {"LinkSet", "Linkset"},
    {"Signal Mender", "Mender"},
    {"Scaffold", "Scaffold"},
    {"FleetDesk", "FleetDesk"},
    {"Harbor Gate", "HarborGATE"},
    {"HarborGate", "HarborGATE"},
    {"Quillwatch", "QuillWatch"},
    {"Quillwatch", "QuillWatch"},
    {"Glint Dock", "GlintDock"},
    {"NXQ", "NXQ"},
    {"HopAssist", "HopAssist"},
    {"KeyringAddon", "KeyringAddon"},
    {"PairingAddon", "PairingAddon"},
    {"MeshFace", "MeshFace"},
    {"MeshCall", "MeshCall"},
    {"MeshDock", "MeshDock"},
    {"MeshVendorFace", "MeshVendorFace"},
    {"MeshGuardAddon", "MeshGuardAddon"},
    {"LINK_WARDEN", "LinkWarden"},
    {"Setting Vault Call", "SetVaultCall"},
    {"LedgerCore", "LedgerCore"},
    {"DROP INBOUND", "DROP"},
    {"DROP OUTBOUND", "DROP"},
    {"AutoJoinDaemon", "AutoJoinDaemon"},
    {"MeshDirectCall", "MeshDirectCall"},
};
inline constexpr size_t kComponentCount = sizeof kComponentRows / sizeof kComponentRows[0];
static_assert(kComponentCount == 27, "the level table has 27 rows");

// A level: its mask bit, its name in the log, and the two event types it
// admits (the plain-text and the formatted form).
struct LevelBit {
    DWORD bit;
    const char* name;
    DWORD plainType;
    DWORD formattedType;
};

inline constexpr LevelBit kLevelBits[] = {
    {0x01, "ERROR", 55, 58}, {0x02, "WARN", 54, 57},     {0x04, "INFO", 53, 56},
    {0x08, "NOTICE", 61, 62}, {0x10, "VERBOSE", 59, 63}, {0x20, "DEBUG", 60, 64},
};

// True for the twelve unified-log event types, 53 to 64.
inline bool IsUnifiedLogType(DWORD type) { return type >= 53 && type <= 64; }

// Reads EnableFlag and every component's level. The status keeps its value
// when the key does not open. Returns the EnableFlag read: 0 when the value
// or the key is missing.
DWORD ReadLoggingLevels();

// The unified-log status (EnableFlag as last read; 0 at load).
DWORD UnifiedLogStatus();

// The level a component's record of this type is logged at: the level of
// the last row of that component whose mask admits the type (each row's
// lowest admitting bit), or null when no row does.
const char* LevelOf(const char* source, DWORD type);

// A row's mask as last read (tests and tools).
DWORD ComponentMask(size_t row);

}  // namespace traceapi
