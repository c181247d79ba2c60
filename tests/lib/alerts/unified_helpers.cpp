// The processes of the unified-log tests: an engine, and components that
// emit under any name.
#include <signal.h>
#include <string.h>

#include <map>

#include "alerts/MsgQueue.h"
#include "unified_fixture.h"

using namespace alerts_test;

namespace {

// Debugger texts: the log's lines are counted by their "[source :" start
// (keeping them all would itself grow the process); other texts are kept.
std::mutex g_debugLock;
std::vector<std::string> g_debugTexts;
std::map<std::string, int> g_lineCounts;

void CaptureDebug(const char* text, void*) {
    std::lock_guard<std::mutex> lock(g_debugLock);
    const char* source = text[0] == '[' ? strstr(text, " :") : nullptr;
    if (source != nullptr) {
        ++g_lineCounts[std::string(text, size_t(source - text) + 2)];
    } else {
        g_debugTexts.emplace_back(text);
    }
}

int CountDebug(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_debugLock);
    auto lines = g_lineCounts.find(text);
    if (lines != g_lineCounts.end()) return lines->second;
    int n = 0;
    for (const std::string& t : g_debugTexts) n += t.find(text) != std::string::npos;
    return n;
}

}  // namespace

// An engine: a data queue and an alerter serving on a thread. Commands:
// "changes" (settings changes taken), "debug TEXT" (debugger texts holding
// TEXT, or log lines starting with TEXT when it is "[source :"), "fail KIND N" (the Nth next call of a kind fails with ENOSPC),
// "full on|off" (every write fails, as on a full disk), "registry" (messages
// posted and not taken), "rss" (resident kB), "quit".
TEST_HELPER(ul_engine) {
    w32rt_set_debug_sink(&CaptureDebug, nullptr);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CEvDataQueue queue;
    auto alerter = std::make_unique<CEvTraceAlerter>(&queue);
    std::thread serving([&] { alerter->ServiceAlerts(0, nullptr, done); });
    while (!alerter->IsListening()) Sleep(1);
    testing_support::send_line("serving");
    for (std::string command; !(command = testing_support::receive_line()).empty() && command != "quit";) {
        char kind[32] = {};
        unsigned nth = 0;
        if (command == "changes") {
            testing_support::send_line(std::to_string(CountDebug("RECEIVED THE REGCHANGE EVENT")));
        } else if (command.rfind("debug ", 0) == 0) {
            testing_support::send_line(std::to_string(CountDebug(command.substr(6))));
        } else if (sscanf(command.c_str(), "fail %31s %u", kind, &nth) == 2) {
            w32rt_fail_syscall(kind, nth, ENOSPC);
            testing_support::send_line("armed");
        } else if (command == "full on") {
            w32rt_fail_syscall_from("write", 1, ENOSPC);
            testing_support::send_line("ok");
        } else if (command == "full off") {
            w32rt_clear_syscall_faults();
            testing_support::send_line("ok");
        } else if (command == "registry") {
            testing_support::send_line(std::to_string(alerter->m_pMsgQueue->Count()));
        } else if (command == "rss") {
            testing_support::send_line(std::to_string(ResidentKb()));
        } else {
            testing_support::send_line("unknown command " + command);
        }
    }
    w32rt_clear_syscall_faults();
    while (WaitForSingleObject(done, 0) != WAIT_OBJECT_0) {
        alerter->StopAlerts();
        WaitForSingleObject(done, 50);
    }
    serving.join();
    alerter.reset();
    CloseHandle(done);
    return 0;
}

// Components. Commands: "emit NAME TYPE TEXT" (EvTraceString), "log NAME
// TYPE TIME TEXT" (EvTraceCustomLog with that 64-bit time, file "f.cpp",
// line 42, process 0x1234, thread 0xbeef), "flood NAME TYPE COUNT CHARS"
// (COUNT lines "NAME-i xxx..." of CHARS characters, a refused write tried
// again); each answered with "ok" or the failure's code.
TEST_HELPER(ul_components) {
    std::map<std::string, ULONG> handles;
    auto handleOf = [&](const std::string& name) {
        auto found = handles.find(name);
        if (found != handles.end()) return found->second;
        EVT_PROVIDER_INFO info = {};
        strncpy(info.m_szInstanceName, name.c_str(), 255);
        ULONG handle = 0;
        RegisterEvTrace(&handle, &info);
        return handles[name] = handle;
    };
    // Names may hold blanks: "_" stands for one.
    auto name = [](std::string n) {
        for (char& c : n)
            if (c == '_') c = ' ';
        return n;
    };
    for (std::string command; !(command = testing_support::receive_line()).empty() && command != "quit";) {
        std::istringstream in(command);
        std::string verb, who, text;
        ULONG type = 0;
        in >> verb >> who >> type;
        LONG result = E_FAIL;
        if (verb == "emit") {
            std::getline(in >> std::ws, text);
            result = EvTraceString(handleOf(name(who)), type, 0, text.c_str(), nullptr, nullptr, 0);
        } else if (verb == "log") {
            ULONG64 time = 0;
            in >> time;
            std::getline(in >> std::ws, text);
            result = EvTraceCustomLog(handleOf(name(who)), type, 0, "f.cpp", 42, text.c_str(), ULONG(text.size()),
                                      nullptr, nullptr, 0, time, 0x1234, 0xbeef);
        } else if (verb == "flood") {
            unsigned long count = 0, chars = 0;
            in >> count >> chars;
            const ULONG handle = handleOf(name(who));
            result = S_OK;
            for (unsigned long i = 0; i < count; ++i) {
                std::string line = name(who) + "-" + std::to_string(i) + " ";
                line.resize(chars > line.size() ? chars : line.size(), 'x');
                while (EvTraceString(handle, type, 0, line.c_str(), nullptr, nullptr, 0) != S_OK) Sleep(0);
            }
        }
        testing_support::send_line(result == S_OK ? "ok" : std::to_string(result));
    }
    for (const auto& [n, handle] : handles) UnRegisterEvTrace(handle);
    return 0;
}
