// Provider registration: handles, descriptions, the "Providers" list and the
// unified-log switch event.
#include <TraceApi.h>
#include <objbase.h>

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "library_fixture.h"

namespace {

constexpr char kProvidersKey[] = "Software\\Vanta\\Wireless\\EvTrace\\API\\Providers";

class ProviderRegistryTest : public LibraryTest {
protected:
    // The value listed for a provider name, or -1 when there is none.
    static long long ListedValue(const std::string& name) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
        DWORD value = 0, size = sizeof value, type = 0;
        LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS || type != REG_DWORD || size != 4) return -1;
        return value;
    }
};

}  // namespace

TEST_F(ProviderRegistryTest, HandlesAreTheLowestFreeOnesAndNamesMayRepeat) {
    ULONG a = Register("Component");
    ULONG b = Register("Component");
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u) << "the same name registers twice";
    ULONG c = Register("Other");
    EXPECT_EQ(c, 3u);

    EXPECT_EQ(UnRegisterEvTrace(b), S_OK);
    Forget(b);
    EXPECT_EQ(EvTraceCustom(b, 1, 1, nullptr, 0, nullptr, nullptr, 0), EVT_E_NOTINITIALIZED) << "handle gone";
    EXPECT_EQ(Register("Late"), 2u) << "the freed handle is given again";
    EXPECT_EQ(Register("Later"), 4u);
    EXPECT_EQ(UnRegisterEvTrace(b), S_OK) << "handle 2 belongs to Late now";
    Forget(b);
    EXPECT_EQ(UnRegisterEvTrace(7), EVT_E_INVALIDARG);
}

TEST_F(ProviderRegistryTest, UnregisteringTheLastProviderDestroysTheRegistry) {
    EXPECT_EQ(UnRegisterEvTrace(1), EVT_E_NOTINITIALIZED) << "no registry yet";
    ULONG handle = Register("Only");
    ASSERT_EQ(handle, 1u);
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
    Forget(handle);
    EXPECT_EQ(EvTraceString(handle, 51, 1, "x", nullptr, nullptr, 0), EVT_E_NOTINITIALIZED);
    EXPECT_EQ(UnRegisterEvTrace(handle), EVT_E_NOTINITIALIZED) << "the registry is gone";
    EXPECT_EQ(Register("Again"), 1u) << "a new registry starts from 1";
}

TEST_F(ProviderRegistryTest, BadDescriptionsAreRefused) {
    EVT_PROVIDER_INFO info = Info("");
    ULONG handle = 99;
    EXPECT_EQ(RegisterEvTrace(&handle, &info), EVT_E_INVALIDARG);
    EXPECT_EQ(RegisterEvTrace(nullptr, &info), EVT_E_POINTER);
    EXPECT_EQ(RegisterEvTrace(&handle, nullptr), EVT_E_POINTER);
    EXPECT_EQ(EvTraceString(1, 51, 1, "x", nullptr, nullptr, 0), EVT_E_NOTINITIALIZED) << "nothing was added";
}

TEST_F(ProviderRegistryTest, AnEmptyUserNameIsFilledInTheCallersDescription) {
    EVT_PROVIDER_INFO info = Info("Filler", "", "text");
    ULONG handle = 0;
    ASSERT_EQ(RegisterEvTrace(&handle, &info), S_OK);
    char user[256] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_STREQ(info.m_szUserName, user);
    EXPECT_STREQ(info.m_szProviderText, "text");
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);

    info = Info("Keeper", "given", "");
    ASSERT_EQ(RegisterEvTrace(&handle, &info), S_OK);
    EXPECT_STREQ(info.m_szUserName, "given");
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
}

TEST_F(ProviderRegistryTest, InstanceNamesAreListedAndNeverRemoved) {
    EXPECT_EQ(ListedValue("Listed"), -1);
    ULONG handle = Register("Listed");
    EXPECT_EQ(ListedValue("Listed"), 1);
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
    Forget(handle);
    EXPECT_EQ(ListedValue("Listed"), 1) << "still listed after unregistering";

    // A name longer than its field is listed (and sent) as its first 255
    // characters.
    EVT_PROVIDER_INFO info = {};
    memset(info.m_szInstanceName, 'L', sizeof info.m_szInstanceName);
    memset(info.m_szUserName, 'L', 44);
    ASSERT_EQ(RegisterEvTrace(&handle, &info), S_OK);
    EXPECT_EQ(ListedValue(std::string(255, 'L')), 1);
    EXPECT_EQ(UnRegisterEvTrace(handle), S_OK);
}

TEST_F(ProviderRegistryTest, RegistrationCreatesTheUnifiedLogSwitch) {
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\UL_ENABLED_EVENT"), nullptr);
    Register("Switch");
    HANDLE event = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, "Global\\UL_ENABLED_EVENT");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT)) << "created not signalled";
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0)) << "manual reset";
    CloseHandle(event);
}

TEST_F(ProviderRegistryTest, RegisteringInitialisesTheThreadForComObjects) {
    HRESULT again = E_FAIL;
    std::thread worker([&] {
        EVT_PROVIDER_INFO info = Info("Threaded", "u");
        ULONG handle = 0;
        if (RegisterEvTrace(&handle, &info) == S_OK) UnRegisterEvTrace(handle);
        again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    });
    worker.join();
    EXPECT_EQ(again, S_FALSE) << "the thread was already initialised, multithreaded";
}
