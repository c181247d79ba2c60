// The library frame: process-wide objects, result codes at the boundary,
// _evt_error, the exported names and the string table.
#include <TraceApi.h>
#include <dlfcn.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "library_fixture.h"

namespace {

class FrameTest : public LibraryTest {};

HINSTANCE LibraryModule() {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&EvtInitialize), &info) == 0) return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
}

}  // namespace

TEST_F(FrameTest, InitialiseWithNeitherFlagCreatesNothing) {
    EXPECT_EQ(EvtInitialize(0), EVT_E_INVALIDARG);
    EXPECT_EQ(EvtInitialize(4), EVT_E_INVALIDARG);
    SHORT major = -1, minor = -1;
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(major, -1) << "out-arguments untouched";
    EXPECT_EQ(EnableAlerts(1), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
}

TEST_F(FrameTest, ControllerAloneServesControlButNoVersion) {
    ASSERT_EQ(EvtInitialize(1), S_OK);
    SHORT major = 0, minor = 0;
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED) << "no consumer";
    int state = -1;
    EXPECT_EQ(GetAlertState(&state), S_OK);
    EXPECT_EQ(state, 1) << "the default";
    EXPECT_EQ(GetAlertState(nullptr), EVT_E_POINTER);
    EXPECT_EQ(EvtUnInitialize(), S_OK);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(GetAlertState(&state), EVT_E_NOTINITIALIZED);
}

TEST_F(FrameTest, ConsumerGivesTheVersion) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    SHORT major = 0, minor = 7;
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), S_OK);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 0);
    EXPECT_EQ(GetTraceAPIVersion(nullptr, &minor), EVT_E_INVALIDARG);
    EXPECT_EQ(GetTraceAPIVersion(&major, nullptr), EVT_E_INVALIDARG);
    EXPECT_EQ(EnableLogging(1), EVT_E_NOTINITIALIZED) << "no controller";
    EXPECT_EQ(EvtUnInitialize(), S_OK);
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
}

TEST_F(FrameTest, RepeatedInitialisationMakesEachObjectOnce) {
    ASSERT_EQ(EvtInitialize(3), S_OK);
    ASSERT_EQ(EvtInitialize(3), S_OK);
    ASSERT_EQ(EvtInitialize(1), S_OK);
    SHORT major = 0, minor = 0;
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), S_OK);
    EXPECT_EQ(EvtUnInitialize(), S_OK);
    // One uninitialisation destroyed everything there was.
    EXPECT_EQ(GetTraceAPIVersion(&major, &minor), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EnableAlerts(0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
}

TEST_F(FrameTest, ConsumerFunctionsWithoutConsumerTouchNothing) {
    EXPECT_EQ(GetAlertList(nullptr), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(GetAlertHistoryList(nullptr), E_FAIL);
    EXPECT_EQ(GetAlertHintList(1, nullptr), E_FAIL);
    EXPECT_EQ(GetAlertContextHelpEx(1, nullptr), E_FAIL);
    ULONG value = 77;
    EXPECT_EQ(GetErrorDomain(0x0000C000, &value), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(IsAlertableError(1, &value), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(CountEvTrace(1, &value), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(value, 77u);
    _VANTA_EVTRACE_DATA* record = reinterpret_cast<_VANTA_EVTRACE_DATA*>(&value);
    EXPECT_EQ(GetFirstEvTrace(1, &record), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(record, reinterpret_cast<_VANTA_EVTRACE_DATA*>(&value));
    EXPECT_EQ(GetEvTraceListenerStatus(), 0);
}

TEST_F(FrameTest, UnifiedLogStatusExportsAreFixed) {
    ULONG status = 5;
    EXPECT_EQ(GetULLogStatus(&status), S_OK);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(GetULLogStatus(nullptr), E_FAIL);
    EXPECT_EQ(SetULLogStatus(), S_OK);
}

TEST_F(FrameTest, MemoryHandedOutIsReleasedByItsKind) {
    EvTraceDeleteArray(nullptr);
    EvTraceDeleteMemory(nullptr);
    EvTraceDeleteArray(new BYTE[1321]());
    EvTraceDeleteMemory(new EVT_PROVIDER_INFO());
}

TEST(EvtError, CarriesCodesAndBoundedTexts) {
    _evt_error error(EVT_E_ETWFAILED, 4201);
    EXPECT_EQ(error.error(), EVT_E_ETWFAILED);
    EXPECT_EQ(error.SpecificErrorCode(), 4201);
    EXPECT_STREQ(error.Source(), "");
    EXPECT_STREQ(error.ErrorMessage(), "");
    EXPECT_STREQ(error.Description(), "");

    error.source("EvTraceListener(147) : Source: ");
    EXPECT_STREQ(error.Source(), "EvTraceListener(147) : Source: ");
    error.source(nullptr);
    EXPECT_STREQ(error.Source(), "EvTraceListener(147) : Source: ") << "null changes nothing";
    std::string longText(400, 'q');
    error.source(longText.c_str());
    EXPECT_EQ(std::string(error.Source()), std::string(255, 'q'));

    _evt_error copy(error);
    EXPECT_EQ(copy.error(), EVT_E_ETWFAILED);
    EXPECT_EQ(copy.SpecificErrorCode(), 4201);
    EXPECT_EQ(std::string(copy.Source()), std::string(255, 'q'));
    _evt_error assigned(E_FAIL, 0);
    assigned = error;
    EXPECT_EQ(assigned.error(), EVT_E_ETWFAILED);
    EXPECT_NE(assigned.Source(), error.Source()) << "texts are copied, not shared";

    try {
        throw _evt_error(EVT_E_NOSESSION, 5);
    } catch (_evt_error& caught) {
        dump_evterror(caught);
        EXPECT_EQ(caught.error(), EVT_E_NOSESSION);
        EXPECT_EQ(caught.SpecificErrorCode(), 5);
    }
}

TEST(Exports, FlatFunctionsAreExportedUndecoratedAndInternalsAreHidden) {
    void* library = dlopen(nullptr, RTLD_NOW);
    for (const char* name : {"EvtInitialize",          "EvtUnInitialize",
                             "GetTraceAPIVersion",     "RegisterEvTrace",
                             "UnRegisterEvTrace",      "EvTraceString",
                             "EvTraceStart",           "EvTraceFormat",
                             "EvTraceFormatArgs",      "EvTraceCustom",
                             "EvTraceCustomTimeStamp", "EvTraceCustomLog",
                             "EvTraceDebugString",     "EvTraceDebugCString",
                             "EvTraceDeleteArray",     "EvTraceDeleteMemory",
                             "EnableAlerts",           "EnableLogging",
                             "GetAlertState",          "GetULLogStatus",
                             "SetULLogStatus",         "GetEvTraceListenerStatus",
                             "OpenInfosetHandle",      "CloseInfosetHandle",
                             "CountEvTrace",           "GetFirstEvTrace",
                             "GetLastEvTrace",         "GetNextEvTrace",
                             "GetPreviousEvTrace",     "CreateLogFile",
                             "GetAlertList",           "GetAlertHistoryList",
                             "GetAlertHintList",       "GetAlertContextHelp",
                             "GetAlertContextHelpEx",  "IsAlertableError",
                             "GetErrorDomain",         "GetErrorSeverity",
                             "GetProviderList",        "SetEvTraceCallback",
                             "SetLocalizedHeader",     "_ZN8CEvTrace12s_hRTSessionE"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    Dl_info info = {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&EvtInitialize), &info), 0);
    void* self = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(self, nullptr);
    for (const char* hidden : {"DllMain", "_ZN19CEvtProviderInfoMap15AddProviderInfoEPjmPK18_EVT_PROVIDER_INFO",
                               "_ZN7CRegApiC1Ev", "_ZN12CTraceApiReg12GetMaxEventsEPj"}) {
        EXPECT_EQ(dlsym(self, hidden), nullptr) << hidden;
    }
    dlclose(self);
}

TEST(Resources, StringTableIsLoadedThroughTheModuleHandle) {
    HINSTANCE module = LibraryModule();
    ASSERT_NE(module, nullptr);
    const std::pair<UINT, const char*> strings[] = {
        {100, "TraceAPI"},    {101, "#Event"},         {102, "Source"},
        {103, "Time"},        {104, "Error Severity"}, {105, "Domain"},
        {106, "User"},        {107, "Description"},    {108, "Error"},
        {109, "Information"}, {110, "Warning"},        {111, "Success"},
        {112, "Connection"},  {113, "Security"},       {114, "Adapter"},
        {115, "Profile"},     {116, "TCP/IP"},         {117, "AppDriver"},
        {118, "General"},     {119, "Registry"},       {120, "AppSettings"},
        {121, "Location"},    {122, "ThirdPartyApp"},  {123, "ITPolicy"},
        {124, "Unknown"},     {125, "EvTrace"},        {126, "ComputerName_UserDomain"},
        {127, "Driver"}};
    for (auto [id, text] : strings) {
        char buffer[64] = {};
        EXPECT_EQ(LoadStringA(module, id, buffer, sizeof buffer), int(strlen(text))) << id;
        EXPECT_STREQ(buffer, text) << id;
    }
    char buffer[8];
    EXPECT_EQ(LoadStringA(module, 128, buffer, sizeof buffer), 0);
}

TEST(Resources, MessageTableFormatsThroughTheModuleHandle) {
    HINSTANCE module = LibraryModule();
    ASSERT_NE(module, nullptr);
    char text[64] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, 1, 0, text,
                                  sizeof text, nullptr);
    EXPECT_EQ(length, 19u);
    EXPECT_STREQ(text, "Application Event\r\n");
    const char* inserts[] = {"line of text"};
    length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, 2, 0, text,
                            sizeof text, reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
    EXPECT_STREQ(text, "line of text\r\n");
    EXPECT_EQ(length, 14u);
}
