// evtrace alerts enable|disable|state: the alert switch (registry value
// "EnableAlerts") through the library's controller.
#include <TraceApi.h>
#include <stdio.h>

#include <fmt/format.h>

#include "command.h"

namespace evtrace {
namespace {

void Set(int enable) {
    CEvTraceController controller;
    LONG result = controller.EnableAlerts(enable);
    if (result != S_OK)
        Fail(exit_code::kFailed, "alert switch", "cannot be set: " + ResultText(result),
             "setting it needs the rights of the machine root's owner");
    printf("alerts %s\n", enable ? "enabled" : "disabled");
}

void State() {
    CEvTraceController controller;
    int state = 0;
    LONG result = controller.GetAlertState(state);
    if (result != S_OK)
        Fail(exit_code::kFailed, "alert switch", "cannot be read: " + ResultText(result));
    printf("alerts %s\n", state ? "enabled" : "disabled");
}

void setup(CLI::App& app) {
    CLI::App* alerts = app.add_subcommand("alerts", "Turn alerts on or off, or show whether they are on");
    alerts->require_subcommand(1);
    alerts->add_subcommand("enable", "Turn alerts on")->callback([] { Set(1); });
    alerts->add_subcommand("disable", "Turn alerts off")->callback([] { Set(0); });
    alerts->add_subcommand("state", "Show whether alerts are on (on when never set)")->callback(&State);
}

const CommandRegistrar registrar("42-alerts", &setup);

}  // namespace
}  // namespace evtrace
