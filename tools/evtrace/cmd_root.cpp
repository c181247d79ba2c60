// evtrace root: show, prepare or destroy the machine root.
#include <stdio.h>

#include <memory>

#include <w32rt/machine.h>

#include "command.h"

namespace evtrace {
namespace {

void setup(CLI::App& app) {
    CLI::App* root = app.add_subcommand("root", "Show, prepare or destroy the machine root (EVTRACE_ROOT)");
    root->require_subcommand(1);

    root->add_subcommand("show", "Print the machine root in use")->callback([] {
        printf("%s\n", w32rt::machine_root().c_str());
    });
    root->add_subcommand("prepare", "Create the machine root's folders")->callback([] {
        std::string path = w32rt::machine_root();
        if (!w32rt::prepare_machine_root(path)) throw CommandError{"cannot prepare " + path};
        printf("%s\n", path.c_str());
    });
    auto* destroy = root->add_subcommand("destroy", "Remove the root's shared memory (and folder with --all)");
    auto all = std::make_shared<bool>(false);
    destroy->add_flag("--all", *all, "Also remove the root folder with its registry and files");
    destroy->callback([all] { w32rt::destroy_machine_root(w32rt::machine_root(), *all); });
}

const CommandRegistrar registrar("00-root", &setup);

}  // namespace
}  // namespace evtrace
