// evtrace forward status: the forwarding of the event engine on this machine
// root: its target, the disk queue (what waits, its limit), the engine's
// counters while it runs, and the drops not yet reported.
//
// Exit codes: 0 shown; 1 the queue folder or the engine's status cannot be
// read.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <w32rt/machine.h>

#include "command.h"
#include "forward/forward_settings.h"
#include "forward/spool.h"

namespace evtrace {
namespace {

constexpr int kExitUnreadable = 1;
// The engine rewrites its status every second.
constexpr int64_t kFreshSeconds = 5;

struct Options {
    bool json = false;
};

std::string Bytes(uint64_t bytes) {
    if (bytes < 1024) return fmt::format("{} B", bytes);
    if (bytes < (1 << 20)) return fmt::format("{:.1f} KiB", bytes / 1024.0);
    return fmt::format("{:.1f} MiB", bytes / 1048576.0);
}

bool ProcessAlive(int64_t pid) { return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM); }

void Status(const Options& options) {
    using namespace forward;
    const Settings settings = ReadSettings();
    const std::string folder = QueueFolder();
    SpoolStats queue;
    LossCounts pending;
    std::string error;
    struct stat st;
    const bool haveQueue = stat(folder.c_str(), &st) == 0;
    if (haveQueue && !Spool::Inspect(folder, &queue, &pending, &error))
        throw CommandError{"cannot read the forward queue: " + error + " (run as the machine root's owner or the superuser)",
                           kExitUnreadable};
    nlohmann::json engine;
    bool running = false;
    std::ifstream statusFile(folder + "/status.json");
    if (statusFile) {
        std::stringstream text;
        text << statusFile.rdbuf();
        engine = nlohmann::json::parse(text.str(), nullptr, false);
        if (engine.is_discarded() || !engine.is_object()) {
            engine = nlohmann::json();
        } else {
            running = ProcessAlive(engine.value("pid", int64_t(0))) &&
                      int64_t(time(nullptr)) - engine.value("updated", int64_t(0)) <= kFreshSeconds;
        }
    }

    if (options.json) {
        nlohmann::json out = {
            {"root", w32rt::machine_root()},
            {"target", settings.target},
            {"maxQueueMB", settings.maxQueueMB},
            {"problems", settings.problems},
            {"queue",
             {{"folder", folder},
              {"exists", haveQueue},
              {"waitingRecords", queue.waitingRecords},
              {"waitingBytes", queue.waitingBytes},
              {"segments", queue.segments},
              {"diskBytes", queue.diskBytes}}},
            {"unreported",
             {{"total", pending.Total()},
              {"handOff", pending.handOff},
              {"queueFull", pending.queueFull},
              {"diskError", pending.diskError},
              {"damaged", pending.damaged}}},
            {"engineRunning", running},
            {"engine", engine.is_object() ? engine : nlohmann::json(nullptr)},
        };
        printf("%s\n", out.dump(2).c_str());
        return;
    }

    printf("Forwarding of the event engine on %s\n", w32rt::machine_root().c_str());
    printf("  target     %s\n", settings.target.empty()
                                    ? "none in the registry (\"Target\"; evtrace engine --forward gives one)"
                                    : (settings.target + " (registry \"Target\")").c_str());
    for (const std::string& problem : settings.problems) printf("  note       %s\n", problem.c_str());
    if (!haveQueue) {
        printf("  queue      none yet at %s: no engine has forwarded on this root\n", folder.c_str());
    } else {
        printf("  queue      %s: %llu records waiting (%s; limit %u MiB), %llu segment files\n", folder.c_str(),
               static_cast<unsigned long long>(queue.waitingRecords), Bytes(queue.waitingBytes).c_str(),
               unsigned(settings.maxQueueMB), static_cast<unsigned long long>(queue.segments));
        printf("  unreported %llu dropped records wait to be reported (hand-off full %llu, queue full %llu, disk "
               "errors %llu, damaged %llu)\n",
               static_cast<unsigned long long>(pending.Total()), static_cast<unsigned long long>(pending.handOff),
               static_cast<unsigned long long>(pending.queueFull), static_cast<unsigned long long>(pending.diskError),
               static_cast<unsigned long long>(pending.damaged));
    }
    if (!engine.is_object()) {
        printf("  engine     has not forwarded on this root\n");
        return;
    }
    const std::string target = engine.value("target", std::string());
    if (running) {
        printf("  engine     running (pid %lld), forwarding to %s: %s\n",
               static_cast<long long>(engine.value("pid", int64_t(0))), target.c_str(),
               engine.value("connected", false)
                   ? "connected"
                   : ("not connected: " + engine.value("lastError", std::string("not yet tried"))).c_str());
    } else {
        printf("  engine     not running; its last counters follow (it forwarded to %s)\n", target.c_str());
    }
    const nlohmann::json dropped = engine.value("dropped", nlohmann::json::object());
    auto number = [](const nlohmann::json& j, const char* key) {
        return static_cast<unsigned long long>(j.value(key, uint64_t(0)));
    };
    printf("  counts     received %llu, queued %llu, sent %llu, delivered %llu, sent again after a broken "
           "connection %llu, connections %llu\n",
           number(engine, "received"), number(engine, "queued"), number(engine, "sent"), number(engine, "delivered"),
           number(engine, "resent"), number(engine, "connects"));
    printf("  dropped    %llu (hand-off full %llu, queue full %llu, disk errors %llu, damaged %llu); %llu loss "
           "reports queued\n",
           number(dropped, "total"), number(dropped, "handOff"), number(dropped, "queueFull"),
           number(dropped, "diskError"), number(dropped, "damaged"), number(engine, "reports"));
}

void setup(CLI::App& app) {
    CLI::App* forward = app.add_subcommand("forward", "The engine's forwarding to a syslog collector");
    forward->require_subcommand(1);
    auto options = std::make_shared<Options>();
    CLI::App* status = forward->add_subcommand(
        "status", "The forward target, the queue below the machine root (waiting records, limit), the running "
                  "engine's counts and the drops not yet reported");
    status->add_flag("--json", options->json, "One JSON object for machines");
    const std::string footer = std::string("Settings: registry values under ") + forward::kKeyDisplay +
                               ": Target (tcp://HOST:PORT or tls://HOST:PORT), MaxQueueMB (1-65536, default 256), "
                               "Facility (0-23, default 1), TlsCAFile, TlsServerName, TlsCertFile, TlsKeyFile "
                               "(evtrace reg add); the engine reads them when it starts.\n"
                               "Exit codes of status: 0 shown; 1 the queue cannot be read.";
    forward->footer(footer);
    status->footer(footer);
    status->callback([options] { Status(*options); });
}

const CommandRegistrar registrar("41-forward", &setup);

}  // namespace
}  // namespace evtrace
