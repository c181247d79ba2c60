// The consumer behind the flat interface (its life, the alert list and the
// alert texts from the event database, the provider list), the event data
// queue, and the language that picks the suite's files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "consumer_fixture.h"
#include "host/LoadResourceDLL.h"

using namespace consumer_test;

namespace {

using ConsumerCoreTest = ConsumerTest;
using Strings = std::vector<std::string>;
using Codes = std::vector<DWORD>;

const char kDatabase[] =
    "4097||Connection lost||Move closer;;Check the access point;;Connect again||The link is gone.||HLP_LOST|#|\r\n"
    "8193||Three fields||only hint|#|\r\n"
    "12289||Four fields||hint one;;hint two||field four|#|\r\n"
    "2147483649||Error code||a;;b;;c;;d;;e;;f;;g;;h;;i;;j;;k;;l||x||y|#|\r\n";

Codes AlertCodes() {
    _EVT_ALERT_LIST* list = nullptr;
    EXPECT_EQ(GetAlertList(&list), S_OK);
    return list == nullptr ? Codes{} : Codes(list->codes, list->codes + list->count);
}

ULONG Alertable(ULONG code) {
    ULONG flag = 7;
    EXPECT_EQ(IsAlertableError(code, &flag), S_OK);
    return flag;
}

TEST_F(ConsumerCoreTest, TheAlertListFollowsTheDatabaseAndAlertableCodesAreThoseOfConstruction) {
    // Without a consumer the queries touch no out-argument; the hint list
    // and the allocated context help fail instead of "not initialised".
    ULONG value = 77;
    _EVT_ALERT_HINT_LIST* hints = nullptr;
    _EVT_ALERT_CONTEXT_HELP_EX helpEx = {};
    EXPECT_EQ(GetErrorDomain(0xA123, &value), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(GetAlertHintList(1, &hints), E_FAIL);
    EXPECT_EQ(GetAlertContextHelpEx(1, &helpEx), E_FAIL);
    ASSERT_EQ(EvtInitialize(2), S_OK);  // no DatabasePath: an empty database
    ASSERT_EQ(EvtInitialize(2), S_OK);  // nothing new
    EXPECT_TRUE(AlertCodes().empty());
    InstallDatabase(kDatabase);
    EXPECT_EQ(AlertCodes(), (Codes{4097, 8193, 12289, 2147483649u}));
    EXPECT_EQ(Alertable(4097), 0u);
    ASSERT_EQ(EvtUnInitialize(), S_OK);
    EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    EXPECT_EQ(Alertable(4097), 1u);
    EXPECT_EQ(Alertable(4098), 0u);
    EXPECT_EQ(Alertable(2147483649u), 1u);
    // The list is the consumer's own, rebuilt on every call.
    _EVT_ALERT_LIST* first = nullptr;
    _EVT_ALERT_LIST* second = nullptr;
    ASSERT_EQ(GetAlertList(&first), S_OK);
    InstallDatabase("5||five|#|\n");
    ASSERT_EQ(GetAlertList(&second), S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(AlertCodes(), (Codes{5}));
    // A path to a missing file is a failure, and the list pointer is null.
    SetString(kApiKey, "DatabasePath", "C:\\Nowhere\\");
    EXPECT_EQ(GetAlertList(&first), E_FAIL);
    EXPECT_EQ(first, nullptr);
}

TEST_F(ConsumerCoreTest, TheDatabaseOfTheChosenLanguageIsRead) {
    InstallDatabase("1||english|#|\n", "ENU");
    InstallDatabase("2||deutsch|#|\n", "DEU");
    setenv("EVTRACE_UI_LANGUAGE", "0x0407", 1);
    setenv("EVTRACE_SYSTEM_LANGUAGE", "0x0407", 1);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    EXPECT_EQ(AlertCodes(), (Codes{2}));
    setenv("EVTRACE_UI_LANGUAGE", "0x0409", 1);
    EXPECT_EQ(AlertCodes(), (Codes{1}));
}

TEST_F(ConsumerCoreTest, ContextHelpAndHintsTakeTheFieldsTheEntryHasAndLeaveTheOthers) {
    InstallDatabase(kDatabase);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    // Fields 2, 3 (the hints), 4 and 5, "?" for a slot left as it was; the
    // hint list holds at most ten hints, and one empty hint when there are
    // none.
    const std::tuple<ULONG, LONG, Strings, Strings> cases[] = {
        {4097, S_OK, {"Connection lost", "Move closer;;Check the access point;;Connect again", "The link is gone.",
                      "HLP_LOST"}, {"Move closer", "Check the access point", "Connect again"}},
        {8193, S_OK, {"Three fields", "?", "?", "?"}, {""}},
        {12289, S_OK, {"Four fields", "hint one;;hint two", "?", "?"}, {"hint one", "hint two"}},
        {2147483649u, S_OK, {"Error code", "a;;b;;c;;d;;e;;f;;g;;h;;i;;j;;k;;l", "x", "y"},
         {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"}},
        {777, E_FAIL, {"?", "?", "?", "?"}, {""}},
    };
    for (const auto& [code, result, fields, hints] : cases) {
        SCOPED_TRACE(code);
        _EVT_ALERT_CONTEXT_HELP help;
        memset(&help, 'q', sizeof help);
        auto slot = [](const char* s) { return s[0] == 'q' ? std::string("?") : std::string(s); };
        EXPECT_EQ(GetAlertContextHelp(code, &help), result);
        EXPECT_EQ((Strings{slot(help.szField2), slot(help.szHints), slot(help.szField4), slot(help.szField5)}), fields);
        _EVT_ALERT_CONTEXT_HELP_EX ex = {};
        auto text = [](const char* s) { return s == nullptr ? std::string("?") : std::string(s); };
        EXPECT_EQ(GetAlertContextHelpEx(code, &ex), result);
        EXPECT_EQ((Strings{text(ex.pszField2), text(ex.pszHints), text(ex.pszField4), text(ex.pszField5)}), fields);
        EXPECT_EQ(ex.dwAlertCode, result == S_OK ? code : 0);
        for (char* s : {ex.pszHints, ex.pszField2, ex.pszField4, ex.pszField5}) EvTraceDeleteArray(s);
        _EVT_ALERT_HINT_LIST* list = nullptr;
        EXPECT_EQ(GetAlertHintList(code, &list), result);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(Strings(list->hints, list->hints + list->count), hints);
        for (DWORD i = 0; i < list->count; ++i) EvTraceDeleteArray(list->hints[i]);
        EvTraceDeleteMemory(list);
    }
    EXPECT_EQ(GetAlertContextHelp(4097, nullptr), EVT_E_POINTER);
    EXPECT_EQ(GetAlertContextHelpEx(4097, nullptr), E_FAIL);
}

TEST_F(ConsumerCoreTest, TheProviderListNamesTheRegisteredProviders) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    _EVT_PROVIDER_LIST* list = reinterpret_cast<_EVT_PROVIDER_LIST*>(0x1);
    EXPECT_EQ(GetProviderList(&list), E_FAIL);
    EXPECT_EQ(list, nullptr);
    const std::string key = std::string(kApiKey) + "Providers", longest(255, 'p');
    SetDword(key.c_str(), "Service", 1);
    SetDword(key.c_str(), longest.c_str(), 1);
    ASSERT_EQ(GetProviderList(&list), S_OK);
    ASSERT_EQ(list->count, 2u);
    Strings names = {list->entries[0].m_szInstanceName, list->entries[1].m_szInstanceName};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Strings{"Service", longest}));
}

// ---- The event data queue ----------------------------------------------------

using DataQueueTest = ConsumerTest;

Strings Texts(const CEvDataQueue& queue) {
    Strings out;
    for (const CEvDataQueueInfo* entry : queue.m_Events) out.push_back(RecordText(entry->m_pData));
    return out;
}

TEST_F(DataQueueTest, TheNewestRecordsOfTheKeptKindsComeFirstUpToTheCapacityFromTheRegistry) {
    SetDword(kEngKey, "MaxEvents", 900);
    EXPECT_EQ(CEvDataQueue().m_dwMaxEvents, 500u);
    SetDword(kEngKey, "MaxEvents", 0);
    CEvDataQueue none;
    EXPECT_TRUE(none.AddEvent(TextEvent("x").get()));  // accepted, not kept
    EXPECT_TRUE(none.m_Events.empty());
    SetDword(kEngKey, "MaxEvents", 6);
    CEvDataQueue queue;
    // Unified-log kinds (the low six bits count) and what the queue does not
    // convert are refused; an empty queue writes not even a count.
    for (uint32_t type : {53u, 54u, 55u, 56u, 57u, 58u, 59u, 60u, 61u, 62u, 63u, 64u, 117u, 127u}) {
        EXPECT_FALSE(queue.AddEvent(TextEvent("ul", 1, type).get())) << type;
    }
    EXPECT_FALSE(queue.AddEvent(nullptr));
    EXPECT_FALSE(queue.AddEvent(Event(10, DriverData(0x201, "driver")).get()));
    HANDLE file = CreateFileA("C:\\empty.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_EQ(queue.WriteEventsToFile(file), S_OK);
    CloseHandle(file);
    EXPECT_EQ(ReadWholeFile("C:\\empty.bin"), "");
    // Equal times: the later arrival goes ahead. Times compare as signed
    // 64-bit numbers.
    for (auto [text, time, type] : std::vector<std::tuple<std::string, int64_t, uint32_t>>{
             {"t20", 20, 51}, {"t10", 10, 52}, {"t30", 30, 65}, {"neg", -1, 66}, {"t20b", 20, 0}, {"t5", 5, 51},
             {"t30b", 30, 51}}) {
        EXPECT_TRUE(queue.AddEvent(TextEvent(text, time, type).get())) << type;
    }
    EXPECT_EQ(Texts(queue), (Strings{"t30b", "t30", "t20b", "t20", "t10", "t5"}));
}

TEST_F(DataQueueTest, CopiesOwnRecordsOfTheirOwn) {
    CEvDataQueue queue;
    ASSERT_TRUE(queue.AddEvent(TextEvent("kept", 1).get()));
    {
        CEvDataQueue copy(queue);
        ASSERT_EQ(copy.m_Events.size(), 1u);
        EXPECT_NE(copy.m_Events[0]->m_pData, queue.m_Events[0]->m_pData);
        EXPECT_EQ(Texts(copy), (Strings{"kept"}));
    }
    EXPECT_EQ(Texts(queue), (Strings{"kept"}));  // the original outlived its copies
}

// ---- The language of the suite's files ---------------------------------------

constexpr char kWirelessKey[] = "SOFTWARE\\Vanta\\Wireless";

// The code for a user UI language, a system language and the thread's
// preferred UI languages (comma-separated hex ids, or none), and the stored
// flag "user and system languages differ" (0xBAD when missing).
std::pair<std::string, DWORD> Code(const char* ui, const char* system, const char* preferred = nullptr) {
    setenv("EVTRACE_UI_LANGUAGE", ui, 1);
    setenv("EVTRACE_SYSTEM_LANGUAGE", system, 1);
    setenv("EVTRACE_PREFERRED_UI_LANGUAGES", preferred != nullptr ? preferred : "", 1);
    char code[8] = "???";
    EXPECT_EQ(CLoadResourceDLL().GetLanguageCode(code, sizeof code), S_OK);
    HKEY key = nullptr;
    DWORD differ = 0xBAD, size = sizeof differ;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWirelessKey, 0, KEY_READ, &key) == 0) {
        RegQueryValueExA(key, "OSAppLangDiffer", nullptr, nullptr, reinterpret_cast<BYTE*>(&differ), &size);
        RegCloseKey(key);
    }
    return {code, differ};
}

using LanguageTest = ConsumerTest;

TEST_F(LanguageTest, AnEnglishUserInterfaceOrElseTheSystemLanguageGivesTheCode) {
    EXPECT_EQ(Code("0x0407", "0x0409"), std::make_pair(std::string("ENU"), DWORD(0xBAD)));  // no suite key: no flag
    SetDword(kWirelessKey, "OSAppLangDiffer", 7);
    const std::tuple<const char*, const char*, const char*, const char*, DWORD> cases[] = {
        {"0x0409", "0x0407", nullptr, "ENU", 0},
        {"0x0407", "0x0409", nullptr, "ENU", 1},
        {"0x0C07", "0x0807", nullptr, "DEU", 0},  // regional variants count by their primary language
        {"0x1004", "0x1004", nullptr, "CHS", 0},  // Chinese and Portuguese variants have codes of their own
        // Bulgarian has no files: the preferred languages offer Russian,
        // whose code page is the system's; with nothing that qualifies,
        // English.
        {"0x0402", "0x0402", "0x0419", "RUS", 0},
        {"0x0402", "0x0402", "0x0407", "ENU", 0},
    };
    for (const auto& [ui, system, preferred, code, differ] : cases) {
        EXPECT_EQ(Code(ui, system, preferred), std::make_pair(std::string(code), differ)) << ui << " " << system;
    }
    EXPECT_EQ(Code("0x0407", "0x0407").first, "DEU");
    char name[32] = {};
    EXPECT_EQ(CLoadResourceDLL().GetDatabaseFileName(name, 19), E_FAIL);
    EXPECT_EQ(CLoadResourceDLL().GetDatabaseFileName(name, 20), S_OK);
    EXPECT_STREQ(name, "TraceDEU.mdb");
}

}  // namespace
