// A fresh machine root per test with the library's process state reset:
// no cached session handle, no providers, no controller or consumer left
// over from an earlier test of the same process.
#pragma once

#include <TraceApi.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

class LibraryTest : public testing_support::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        CEvTrace::s_hRTSession = 0;
    }

    void TearDown() override {
        for (ULONG handle : registered_) EXPECT_EQ(UnRegisterEvTrace(handle), S_OK) << "provider " << handle;
        registered_.clear();
        EvtUnInitialize();
        CEvTrace::s_hRTSession = 0;
        MachineTest::TearDown();
    }

    static EVT_PROVIDER_INFO Info(const std::string& name, const std::string& user = "", const std::string& text = "") {
        EVT_PROVIDER_INFO info = {};
        name.copy(info.m_szInstanceName, sizeof info.m_szInstanceName - 1);
        user.copy(info.m_szUserName, sizeof info.m_szUserName - 1);
        text.copy(info.m_szProviderText, sizeof info.m_szProviderText - 1);
        return info;
    }

    // Registers a provider that the test's end unregisters; 0 on failure.
    ULONG Register(const std::string& name, const std::string& user = "tester", const std::string& text = "") {
        EVT_PROVIDER_INFO info = Info(name, user, text);
        ULONG handle = 0;
        LONG result = RegisterEvTrace(&handle, &info);
        EXPECT_EQ(result, S_OK) << "RegisterEvTrace " << name;
        if (result == S_OK) registered_.push_back(handle);
        return handle;
    }

    void Forget(ULONG handle) { std::erase(registered_, handle); }

private:
    std::vector<ULONG> registered_;
};
