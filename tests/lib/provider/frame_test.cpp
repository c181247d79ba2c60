// The library frame seen from a host: which objects EvtInitialize makes and
// what each export answers without them, the alert switch, _evt_error, the
// session's general property block, the exported names and the message table
// loaded through the module handle.
#include <dlfcn.h>

#include <sstream>
#include <string>

#include "provider_fixture.h"

namespace {

using FrameTest = LibraryTest;

constexpr char kApiKey[] = "Software\\Vanta\\Wireless\\EvTrace\\API";

long long AlertsValue() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApiKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    DWORD value = 0, size = sizeof value, type = 0;
    LONG status = RegQueryValueExA(key, "EnableAlerts", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD ? value : -1;
}

}  // namespace

TEST_F(FrameTest, EachExportNeedsItsObjectAndOneUninitialisationDestroysAll) {
    SHORT major = -1, minor = -1;
    int state = -1;
    EXPECT_EQ(EvtInitialize(0), EVT_E_INVALIDARG);
    EXPECT_EQ(EvtInitialize(4), EVT_E_INVALIDARG);
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(GetAlertState(&state), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(major, -1) << "out-arguments untouched";
    EXPECT_EQ(state, -1) << "out-arguments untouched";
    EXPECT_EQ(EnableAlerts(0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(AlertsValue(), -1) << "nothing written";
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);

    ASSERT_EQ(EvtInitialize(1), S_OK);
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED) << "a controller gives no version";
    EXPECT_EQ(GetAlertState(nullptr), EVT_E_POINTER);
    EXPECT_EQ(EvtUnInitialize(), S_OK);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);

    ASSERT_EQ(EvtInitialize(2), S_OK);
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), S_OK);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(GetTraceAPIVersion(nullptr, &minor), EVT_E_INVALIDARG);
    EXPECT_EQ(GetTraceAPIVersion(&major, nullptr), EVT_E_INVALIDARG);
    EXPECT_EQ(EnableLogging(1), EVT_E_NOTINITIALIZED) << "a consumer gives no control";
    EXPECT_EQ(EvtUnInitialize(), S_OK);
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED);

    ASSERT_EQ(EvtInitialize(3), S_OK);
    ASSERT_EQ(EvtInitialize(3), S_OK);
    ASSERT_EQ(EvtInitialize(1), S_OK);
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), S_OK);
    EXPECT_EQ(EvtUnInitialize(), S_OK);
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EnableAlerts(0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
}

TEST_F(FrameTest, TheAlertSwitchIsStoredAsOneOrZeroAndOnlyANumberTurnsItOff) {
    ASSERT_EQ(EvtInitialize(1), S_OK);
    auto state = [] {
        int value = -1;
        EXPECT_EQ(GetAlertState(&value), S_OK);
        return value;
    };
    EXPECT_EQ(state(), 1) << "missing: on";
    for (auto [enable, stored] : {std::pair{5, 1}, {0, 0}}) {
        EXPECT_EQ(EnableAlerts(enable), S_OK);
        EXPECT_EQ(AlertsValue(), stored) << enable;
        EXPECT_EQ(state(), stored) << enable;
    }
    // A string, or a value longer than a number, reads as missing.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApiKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    const BYTE zero[8] = {'0'};
    for (auto [type, size] : {std::pair<DWORD, DWORD>{REG_SZ, 2}, {REG_BINARY, 8}}) {
        EXPECT_EQ(RegSetValueExA(key, "EnableAlerts", 0, type, zero, size), ERROR_SUCCESS);
        EXPECT_EQ(state(), 1) << "type " << type;
    }
    RegDeleteValueA(key, "EnableAlerts");
    RegCloseKey(key);
    EXPECT_EQ(state(), 1);
}

TEST(EvtError, SourceTextsAreBoundedAndCopied) {
    _evt_error error(EVT_E_ETWFAILED, 4201);
    error.source(std::string(400, 'q').c_str());
    error.source(nullptr);
    _evt_error copy(error);
    EXPECT_EQ(copy.error(), EVT_E_ETWFAILED);
    EXPECT_EQ(copy.SpecificErrorCode(), 4201);
    EXPECT_EQ(std::string(copy.Source()), std::string(255, 'q')) << "cut, and null changes nothing";
}

TEST(SessionProperties, TheGeneralBlockIsCircularAndItsNamesAreBounded) {
    const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    std::string longName(5000, 'n');
    EVENT_TRACE_PROPERTIES* p = CEvTrace::MakeTraceProperties(longName.c_str(), longName.c_str(), 7, other);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(IsEqualGUID(p->Wnode.Guid, other));
    EXPECT_EQ(p->LogFileMode, 0x102u);
    EXPECT_EQ(p->FlushTimer, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p) + p->LoggerNameOffset), std::string(4095, 'n'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p) + p->LogFileNameOffset), std::string(4095, 'n'));
    CEvTrace::ReleaseTraceProperties(p);
}

TEST(Exports, FlatFunctionsAreExportedUndecoratedAndInternalsAreHidden) {
    std::istringstream names(
        "EvtInitialize EvtUnInitialize GetTraceAPIVersion RegisterEvTrace UnRegisterEvTrace EvTraceString EvTraceStart "
        "EvTraceFormat EvTraceFormatArgs EvTraceCustom EvTraceCustomTimeStamp EvTraceCustomLog EvTraceDebugString "
        "EvTraceDebugCString EvTraceDeleteArray EvTraceDeleteMemory EnableAlerts EnableLogging GetAlertState "
        "GetULLogStatus SetULLogStatus GetEvTraceListenerStatus OpenInfosetHandle CloseInfosetHandle CountEvTrace "
        "GetFirstEvTrace GetLastEvTrace GetNextEvTrace GetPreviousEvTrace CreateLogFile GetAlertList "
        "GetAlertHistoryList GetAlertHintList GetAlertContextHelp GetAlertContextHelpEx IsAlertableError "
        "GetErrorDomain GetErrorSeverity GetProviderList SetEvTraceCallback SetLocalizedHeader "
        "_ZN8CEvTrace12s_hRTSessionE");
    Dl_info info = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&EvtInitialize), &info), 0);
    void* self = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(self, nullptr);
    for (std::string name; names >> name;) EXPECT_NE(dlsym(self, name.c_str()), nullptr) << name;
    for (const char* hidden : {"DllMain", "_ZN19CEvtProviderInfoMap15AddProviderInfoEPjmPK18_EVT_PROVIDER_INFO",
                               "_ZN7CRegApiC1Ev", "_ZN12CTraceApiReg12GetMaxEventsEPj"}) {
        EXPECT_EQ(dlsym(self, hidden), nullptr) << hidden;
    }
    dlclose(self);
}

TEST(Resources, TheMessageTableFormatsThroughTheModuleHandle) {
    Dl_info info = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&EvtInitialize), &info), 0);
    HINSTANCE module = static_cast<HINSTANCE>(info.dli_fbase);
    char text[64];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, 1, 0, text,
                             sizeof text, nullptr),
              19u);
    EXPECT_STREQ(text, "Application Event\r\n");
    const char* inserts[] = {"line of text"};
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, 2, 0, text,
                             sizeof text, reinterpret_cast<va_list*>(const_cast<char**>(inserts))),
              14u);
    EXPECT_STREQ(text, "line of text\r\n");
}
