// evtrace bench: benchmarks of the trace system on this machine.
//   evtrace bench sessions   real-time trace sessions: TraceEvent's cost,
//                            delivery rate, latency, losses and idle CPU,
//                            with one and two producer and consumer
//                            processes (the workloads of tools/workloads/etw_workloads.h).
#include <stdio.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "etw_workloads.h"
#include "command.h"

namespace evtrace {
namespace {

struct SessionsOptions {
    bool json = false;
    bool quick = false;
    std::vector<std::string> only;
};

// The targets the figures are held to (see bench/README.md).
struct Target {
    const char* workload;
    const char* key;
    bool at_most;
    double bound;
};
constexpr Target kTargets[] = {
    {"trace_event_cost_1c", "median_ns", true, 200},
    {"throughput_1p1c", "delivered_per_s", false, 1500000},
    {"throughput_2p1c", "delivered_per_s", false, 1500000},
    {"latency_1p1c", "p50_us", true, 30},
    {"latency_1p1c", "p99_us", true, 100},
    {"loss_1p1c", "lost", true, 0},
    {"idle_consumer_cpu", "cpu_percent", true, 0.1},
};

void run_sessions(const SessionsOptions& options) {
    using namespace etw_workloads;
    const std::string session = default_session_name();
    const double seconds = options.quick ? 1 : 3;
    struct Entry {
        const char* name;
        std::function<Result()> run;
    };
    std::vector<Entry> workloads = {
        {"trace_event_cost_0c", [&] { return trace_event_cost(session, options.quick ? 500 : 3000, false); }},
        {"trace_event_cost_1c", [&] { return trace_event_cost(session, options.quick ? 500 : 3000, true); }},
        {"throughput_1p1c", [&] { return throughput(session, 1, 1, seconds); }},
        {"throughput_2p1c", [&] { return throughput(session, 2, 1, seconds); }},
        {"throughput_2p2c", [&] { return throughput(session, 2, 2, seconds); }},
        {"latency_1p1c", [&] { return latency(session, 1, 1, 10000, seconds); }},
        {"latency_2p2c", [&] { return latency(session, 2, 2, 10000, seconds); }},
        {"loss_1p1c", [&] { return loss(session, 1, 1, 100000, seconds); }},
        {"loss_2p2c", [&] { return loss(session, 2, 2, 100000, seconds); }},
        {"idle_consumer_cpu", [&] { return idle_cpu(session, seconds); }},
    };
    nlohmann::json out = nlohmann::json::array();
    bool any = false;
    for (const Entry& w : workloads) {
        if (!options.only.empty() && std::find(options.only.begin(), options.only.end(), w.name) == options.only.end())
            continue;
        any = true;
        Result r = w.run();
        nlohmann::json values = nlohmann::json::object();
        for (const auto& [key, value] : r.values) values[key] = value;
        nlohmann::json checks = nlohmann::json::array();
        for (const Target& t : kTargets) {
            if (r.name != t.workload || r.values.empty()) continue;
            double v = r.get(t.key);
            bool met = t.at_most ? v <= t.bound : v >= t.bound;
            checks.push_back({{"value", t.key}, {"target", fmt::format("{} {}", t.at_most ? "<=" : ">=", t.bound)},
                              {"met", met}});
        }
        if (options.json) {
            out.push_back({{"workload", r.name}, {"values", values}, {"note", r.note}, {"targets", checks}});
            continue;
        }
        if (r.values.empty()) {
            fmt::print("{:<22} failed: {}\n", r.name, r.note);
            continue;
        }
        std::string line;
        for (const auto& [key, value] : r.values) line += fmt::format("  {}={:.6g}", key, value);
        fmt::print("{:<22}{}\n", r.name, line);
        for (const auto& c : checks)
            fmt::print("{:<22}  {} {} {}\n", "", c["value"].get<std::string>(), c["target"].get<std::string>(),
                       c["met"].get<bool>() ? "met" : "NOT MET");
        fflush(stdout);
    }
    if (!any)
        Fail(exit_code::kUsage, "--workload", "no workload of that name", "`evtrace bench sessions --help` lists them");
    if (options.json) fmt::print("{}\n", JsonPretty(out));
}

void setup(CLI::App& app) {
    CLI::App* bench = app.add_subcommand("bench", "Benchmarks of the trace system on this machine");
    bench->require_subcommand(1);
    auto options = std::make_shared<SessionsOptions>();
    CLI::App* sessions = bench->add_subcommand(
        "sessions",
        "Real-time trace sessions: TraceEvent cost, delivery rate, latency at 10,000 events/s, losses at "
        "100,000 events/s into 4 x 50 KB, idle consumer CPU; 1,400-byte events (needs the rights to start sessions)");
    sessions->add_flag("--json", options->json, "Print JSON");
    sessions->add_flag("--quick", options->quick, "Shorter runs (1 s instead of 3 s)");
    sessions->add_option("--workload", options->only,
                         "Run only these: trace_event_cost_0c, trace_event_cost_1c, throughput_1p1c, "
                         "throughput_2p1c, throughput_2p2c, latency_1p1c, latency_2p2c, loss_1p1c, loss_2p2c, "
                         "idle_consumer_cpu");
    sessions->callback([options] { run_sessions(*options); });
}

const CommandRegistrar registrar("90-bench", &setup);

}  // namespace
}  // namespace evtrace
