// evtrace providers: the providers registered on the machine (the values of
// HKLM "...\EvTrace\API\Providers"), as the consumer's provider list has them.
//
// Exit codes: 0 done (also when none is registered); 1 the library failed.
#include <TraceApi.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "command.h"
#include "event_text.h"

namespace evtrace {
namespace {

void Run(bool json) {
    if (EvtInitialize(2) != S_OK) throw CommandError{"cannot initialise the library"};
    struct Uninitialize {
        ~Uninitialize() { EvtUnInitialize(); }
    } uninitialize;
    _EVT_PROVIDER_LIST* list = nullptr;
    const LONG result = GetProviderList(&list);
    nlohmann::json names = nlohmann::json::array();
    // E_FAIL also means an empty or missing key: nobody has registered.
    const DWORD count = result == S_OK && list != nullptr ? list->count : 0;
    for (DWORD i = 0; i < count; ++i) {
        const char* name = list->entries[i].m_szInstanceName;
        const std::string text(name, strnlen(name, sizeof list->entries[i].m_szInstanceName));
        if (json) {
            names.push_back(JsonText(text));
        } else {
            printf("%s\n", Printable(text).c_str());
        }
    }
    if (json) {
        printf("%s\n", JsonLine(names).c_str());
    } else {
        fprintf(stderr, "%lu provider%s registered\n", static_cast<unsigned long>(count), count == 1 ? "" : "s");
    }
}

void setup(CLI::App& app) {
    auto json = std::make_shared<bool>(false);
    CLI::App* cmd = app.add_subcommand("providers", "The providers registered on this machine root");
    cmd->footer("Exit codes: 0 done (also when none is registered); 1 the library could not be initialised.");
    cmd->add_flag("--json", *json, "One JSON array of names");
    cmd->callback([json] { Run(*json); });
}

const CommandRegistrar registrar("44-providers", &setup);

}  // namespace
}  // namespace evtrace
