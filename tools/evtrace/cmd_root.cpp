// evtrace root: show, prepare or destroy the machine root. None of them
// lets the runtime pick the root up first (that would make it): they work on
// the path EVTRACE_ROOT names.
#include <stdio.h>
#include <sys/stat.h>

#include <memory>

#include <w32rt/machine.h>

#include "command.h"

namespace evtrace {
namespace {

void Destroy(bool all) {
    const std::string root = ConfiguredRoot();
    if (!w32rt::destroy_machine_root(root, all)) {
        DWORD status = GetLastError();
        if (status == ERROR_PATH_NOT_FOUND || status == ERROR_FILE_NOT_FOUND)
            Fail(exit_code::kNotFound, "machine root " + root, "does not exist; nothing was removed");
        if (status == ERROR_DIRECTORY)
            Fail(exit_code::kNotFound, "machine root " + root,
                 "is not a machine root (it has no w32rt.root marker); nothing was removed",
                 "check EVTRACE_ROOT: only a folder prepared by the runtime is destroyed");
        FailStatus("machine root " + root, status);
    }
    if (!all) {
        printf("removed the shared objects of %s (its sessions, kernel objects and journals)\n", root.c_str());
        return;
    }
    struct stat st;
    if (::stat(root.c_str(), &st) == 0) {
        printf("removed the runtime's files from %s; the folder stays, as it holds files the runtime did not make\n",
               root.c_str());
    } else {
        printf("removed the machine root %s\n", root.c_str());
    }
}

void setup(CLI::App& app) {
    CLI::App* root = app.add_subcommand("root", "Show, prepare or destroy the machine root (EVTRACE_ROOT)");
    root->require_subcommand(1);

    root->add_subcommand("show", "Print the machine root in use (exit 3 when it does not exist)")->callback([] {
        NeedMachineRoot();
        printf("%s\n", ConfiguredRoot().c_str());
    });
    root->add_subcommand("prepare", "Create the machine root's folders and mark it as a root")->callback([] {
        const std::string path = ConfiguredRoot();
        if (!w32rt::prepare_machine_root(path)) FailStatus("machine root " + path, GetLastError());
        printf("%s\n", path.c_str());
    });
    auto* destroy = root->add_subcommand(
        "destroy", "Remove the root's shared objects; with --all also the files the runtime made there");
    auto all = std::make_shared<bool>(false);
    destroy->add_flag("--all", *all,
                      "Also remove the registry files, drives/ and the marker, and the folder if nothing else is in "
                      "it (files the runtime did not make are kept)");
    destroy->callback([all] { Destroy(*all); });
}

const CommandRegistrar registrar("00-root", &setup);

}  // namespace
}  // namespace evtrace
