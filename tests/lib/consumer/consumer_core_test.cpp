// The consumer behind the flat interface: its life, the alert list from the
// event database, and the alert texts of a code.
#include <gtest/gtest.h>

#include <string>

#include "consumer_fixture.h"

using namespace consumer_test;

namespace {

class ConsumerCoreTest : public ConsumerTest {};

const char kDatabase[] =
    "4097||Connection lost||Move closer;;Check the access point;;Connect again||The link is gone.||HLP_LOST|#|\r\n"
    "8193||Three fields||only hint|#|\r\n"
    "12289||Four fields||hint one;;hint two||field four|#|\r\n"
    "2147483649||Error code||a;;b;;c;;d;;e;;f;;g;;h;;i;;j;;k;;l||x||y|#|\r\n";

std::vector<DWORD> AlertCodes() {
    _EVT_ALERT_LIST* list = nullptr;
    EXPECT_EQ(GetAlertList(&list), S_OK);
    if (list == nullptr) return {};
    return std::vector<DWORD>(list->codes, list->codes + list->count);
}

TEST_F(ConsumerCoreTest, WithoutAConsumerEveryQueryAnswersNotInitialised) {
    ULONG value = 77;
    _EVT_ALERT_LIST* list = nullptr;
    EXPECT_EQ(GetAlertList(&list), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(IsAlertableError(1, &value), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(GetErrorDomain(0xA123, &value), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(SetEvTraceCallback(nullptr), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(SetLocalizedHeader(nullptr), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(CountEvTrace(1, &value), EVT_E_NOTINITIALIZED);
    _EVT_ALERT_HINT_LIST* hints = nullptr;
    EXPECT_EQ(GetAlertHintList(1, &hints), E_FAIL);
    _EVT_ALERT_CONTEXT_HELP_EX helpEx = {};
    EXPECT_EQ(GetAlertContextHelpEx(1, &helpEx), E_FAIL);
    _EVT_RECORD_LIST* history = nullptr;
    EXPECT_EQ(GetAlertHistoryList(&history), E_FAIL);
}

TEST_F(ConsumerCoreTest, TheAlertListFollowsTheDatabase) {
    InstallDatabase(kDatabase);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    EXPECT_EQ(AlertCodes(), (std::vector<DWORD>{4097, 8193, 12289, 2147483649u}));

    _EVT_ALERT_LIST* first = nullptr;
    _EVT_ALERT_LIST* second = nullptr;
    ASSERT_EQ(GetAlertList(&first), S_OK);
    InstallDatabase("5||five|#|\n");
    ASSERT_EQ(GetAlertList(&second), S_OK);
    EXPECT_EQ(first, second);  // the consumer's own list, rebuilt
    EXPECT_EQ(AlertCodes(), (std::vector<DWORD>{5}));
    EXPECT_EQ(GetAlertList(nullptr), E_FAIL);
}

TEST_F(ConsumerCoreTest, AlertableCodesAreThoseOfTheDatabaseAtConstruction) {
    InstallDatabase(kDatabase);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    ULONG alertable = 7;
    EXPECT_EQ(IsAlertableError(4097, &alertable), S_OK);
    EXPECT_EQ(alertable, 1u);
    EXPECT_EQ(IsAlertableError(4098, &alertable), S_OK);
    EXPECT_EQ(alertable, 0u);
    EXPECT_EQ(IsAlertableError(2147483649u, &alertable), S_OK);
    EXPECT_EQ(alertable, 1u);
}

TEST_F(ConsumerCoreTest, WithoutADatabaseTheListIsEmpty) {
    ASSERT_EQ(EvtInitialize(2), S_OK);  // no DatabasePath: an empty database
    EXPECT_TRUE(AlertCodes().empty());
    ULONG alertable = 7;
    EXPECT_EQ(IsAlertableError(0, &alertable), S_OK);
    EXPECT_EQ(alertable, 0u);

    // A path to a missing file is a failure, and the list pointer is null.
    SetString(kApiKey, "DatabasePath", "C:\\Nowhere\\");
    _EVT_ALERT_LIST* list = reinterpret_cast<_EVT_ALERT_LIST*>(0x1);
    EXPECT_EQ(GetAlertList(&list), E_FAIL);
    EXPECT_EQ(list, nullptr);
}

TEST_F(ConsumerCoreTest, TheDatabaseOfTheChosenLanguageIsRead) {
    InstallDatabase("1||english|#|\n", "ENU");
    InstallDatabase("2||deutsch|#|\n", "DEU");
    setenv("EVTRACE_UI_LANGUAGE", "0x0407", 1);
    setenv("EVTRACE_SYSTEM_LANGUAGE", "0x0407", 1);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    EXPECT_EQ(AlertCodes(), (std::vector<DWORD>{2}));
    setenv("EVTRACE_UI_LANGUAGE", "0x0409", 1);
    EXPECT_EQ(AlertCodes(), (std::vector<DWORD>{1}));
}

TEST_F(ConsumerCoreTest, DomainAndSeverityOfACode) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    ULONG value = 99;
    EXPECT_EQ(GetErrorDomain(0xA123, &value), S_OK);
    EXPECT_EQ(value, 10u);
    EXPECT_EQ(GetErrorDomain(0xFFFFFFFF, &value), S_OK);
    EXPECT_EQ(value, 15u);
    for (auto [code, severity] :
         std::vector<std::pair<ULONG, ULONG>>{{0x80000800, 3}, {0x80000000, 2}, {0x800, 1}, {0, 0}}) {
        EXPECT_EQ(GetErrorSeverity(code, &value), S_OK);
        EXPECT_EQ(value, severity) << std::hex << code;
    }
}

TEST_F(ConsumerCoreTest, ContextHelpFillsTheFieldsItFinds) {
    InstallDatabase(kDatabase);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    _EVT_ALERT_CONTEXT_HELP help;
    memset(&help, 'q', sizeof help);
    ASSERT_EQ(GetAlertContextHelp(4097, &help), S_OK);
    EXPECT_EQ(help.dwAlertCode, 4097u);
    EXPECT_STREQ(help.szField2, "Connection lost");
    EXPECT_STREQ(help.szHints, "Move closer;;Check the access point;;Connect again");
    EXPECT_STREQ(help.szField4, "The link is gone.");
    EXPECT_STREQ(help.szField5, "HLP_LOST");

    // Three fields: the code and field 2; the rest as it was.
    memset(&help, 'q', sizeof help);
    ASSERT_EQ(GetAlertContextHelp(8193, &help), S_OK);
    EXPECT_EQ(help.dwAlertCode, 8193u);
    EXPECT_STREQ(help.szField2, "Three fields");
    EXPECT_EQ(help.szHints[0], 'q');
    EXPECT_EQ(help.szField5[0], 'q');
    // Four fields: the hints too.
    ASSERT_EQ(GetAlertContextHelp(12289, &help), S_OK);
    EXPECT_STREQ(help.szHints, "hint one;;hint two");
    EXPECT_EQ(help.szField4[0], 'q');

    memset(&help, 'q', sizeof help);
    EXPECT_EQ(GetAlertContextHelp(777, &help), E_FAIL);
    EXPECT_EQ(help.szField2[0], 'q');
    EXPECT_EQ(GetAlertContextHelp(4097, nullptr), EVT_E_POINTER);
}

TEST_F(ConsumerCoreTest, ContextHelpExHandsOutNewStrings) {
    InstallDatabase(kDatabase);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    _EVT_ALERT_CONTEXT_HELP_EX help = {};
    ASSERT_EQ(GetAlertContextHelpEx(4097, &help), S_OK);
    EXPECT_EQ(help.dwAlertCode, 4097u);
    ASSERT_NE(help.pszField2, nullptr);
    EXPECT_STREQ(help.pszField2, "Connection lost");
    EXPECT_STREQ(help.pszField5, "HLP_LOST");
    for (char* s : {help.pszHints, help.pszField2, help.pszField4, help.pszField5}) EvTraceDeleteArray(s);
    EXPECT_EQ(GetAlertContextHelpEx(4097, nullptr), E_FAIL);
    EXPECT_EQ(GetAlertContextHelpEx(777, &help), E_FAIL);
}

TEST_F(ConsumerCoreTest, HintListsSplitTheHintField) {
    InstallDatabase(kDatabase);
    ASSERT_EQ(EvtInitialize(2), S_OK);
    _EVT_ALERT_HINT_LIST* list = nullptr;
    ASSERT_EQ(GetAlertHintList(4097, &list), S_OK);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 3u);
    EXPECT_STREQ(list->hints[0], "Move closer");
    EXPECT_STREQ(list->hints[2], "Connect again");
    auto release = [](_EVT_ALERT_HINT_LIST* l) {
        for (DWORD i = 0; i < l->count; ++i) EvTraceDeleteArray(l->hints[i]);
        EvTraceDeleteMemory(l);
    };
    release(list);

    // Twelve hints: the list holds the first ten.
    ASSERT_EQ(GetAlertHintList(2147483649u, &list), S_OK);
    ASSERT_EQ(list->count, 10u);
    EXPECT_STREQ(list->hints[9], "j");
    release(list);

    // An unknown code still gets its list: one empty hint.
    ASSERT_EQ(GetAlertHintList(5, &list), E_FAIL);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 1u);
    EXPECT_STREQ(list->hints[0], "");
    release(list);
}

TEST_F(ConsumerCoreTest, ProviderListNamesTheRegisteredProviders) {
    ASSERT_EQ(EvtInitialize(2), S_OK);
    _EVT_PROVIDER_LIST* list = reinterpret_cast<_EVT_PROVIDER_LIST*>(0x1);
    EXPECT_EQ(GetProviderList(&list), E_FAIL);
    EXPECT_EQ(list, nullptr);
    SetDword("Software\\Vanta\\Wireless\\EvTrace\\API\\Providers", "Service", 1);
    SetDword("Software\\Vanta\\Wireless\\EvTrace\\API\\Providers", std::string(255, 'p').c_str(), 1);
    ASSERT_EQ(GetProviderList(&list), S_OK);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count, 2u);
    std::vector<std::string> names = {list->entries[0].m_szInstanceName, list->entries[1].m_szInstanceName};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names[0], "Service");
    EXPECT_EQ(names[1].size(), 255u);
}

TEST_F(ConsumerCoreTest, ConsumersComeAndGoRepeatedly) {
    InstallDatabase(kDatabase);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(EvtInitialize(2), S_OK);
        ASSERT_EQ(EvtInitialize(2), S_OK);  // nothing new
        EXPECT_EQ(AlertCodes().size(), 4u);
        ASSERT_EQ(EvtUnInitialize(), S_OK);
        EXPECT_EQ(EvtUnInitialize(), EVT_E_NOTINITIALIZED);
    }
}

}  // namespace
