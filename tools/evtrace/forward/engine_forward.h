// The event engine's side of forwarding: the target from `--forward` or the
// registry, the forwarder started before the engine listens and tapped into
// the data queue, and stopped after the listening ended.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "forward/forwarder.h"

namespace evtrace::forward {

inline constexpr int kExitBadForwarding = 2;
inline constexpr auto kStopDrain = std::chrono::seconds(2);

struct EngineForwarding {
    bool enabled = false;
    ForwarderConfig config;
    std::vector<std::string> notes;  // registry values not used, in words
};

// What the engine will do: `option` (from --forward) before the registry's
// "Target". Throws CommandError (exit 2) for a target or TLS files that are
// not usable.
EngineForwarding PlanForwarding(const std::string& option);

// Ends forwarding: removes the tap (the listening has ended, or never
// began), then stops the forwarder, which sends what it can within
// kStopDrain.
struct StopForwarding {
    void operator()(Forwarder* forwarder) const;
};
using EngineForwarder = std::unique_ptr<Forwarder, StopForwarding>;

// Opens the queue, starts the forwarder and installs it as the data queue's
// record tap; null without a target. Throws CommandError (exit 1) when the
// queue cannot be opened.
EngineForwarder StartForwarding(const EngineForwarding& plan, const std::function<void(const std::string&)>& say);

}  // namespace evtrace::forward
