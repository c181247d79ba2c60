#include "forward/engine_forward.h"

#include "command.h"

namespace evtrace::forward {

EngineForwarding PlanForwarding(const std::string& option) {
    EngineForwarding plan;
    const Settings settings = ReadSettings();
    for (const std::string& problem : settings.problems) plan.notes.push_back(std::string(kKeyDisplay) + ": " + problem);
    const std::string text = option.empty() ? settings.target : option;
    if (text.empty()) return plan;
    Target target;
    const std::string bad = ParseTarget(text, &target);
    if (!bad.empty()) {
        throw CommandError{"the forward target \"" + text + "\" " + bad +
                               ": give tcp://HOST:PORT or tls://HOST:PORT (e.g. tcp://127.0.0.1:514)",
                           kExitBadForwarding};
    }
    if (target.tls) {
        const std::string problem = CheckTlsOptions(settings.tls);
        if (!problem.empty())
            throw CommandError{"cannot forward to " + target.Text() + ": " + problem + " (values under " +
                                   kKeyDisplay + ")",
                               kExitBadForwarding};
    }
    plan.enabled = true;
    plan.config.target = target;
    plan.config.tls = settings.tls;
    plan.config.queueFolder = QueueFolder();
    plan.config.maxQueueBytes = uint64_t(settings.maxQueueMB) << 20;
    plan.config.facility = int(settings.facility);
    plan.config.statusFile = plan.config.queueFolder + "/status.json";
    return plan;
}

EngineForwarder StartForwarding(const EngineForwarding& plan, const std::function<void(const std::string&)>& say) {
    if (!plan.enabled) return nullptr;
    auto forwarder = std::make_unique<Forwarder>();
    std::string error;
    if (!forwarder->Start(plan.config, say, &error))
        throw CommandError{"cannot forward to " + plan.config.target.Text() + ": " + error +
                               " (check that the machine root is writable)",
                           1};
    CEvDataQueue::SetRecordTap(&Forwarder::Tap, forwarder.get());
    return EngineForwarder(forwarder.release());
}

void StopForwarding::operator()(Forwarder* forwarder) const {
    CEvDataQueue::SetRecordTap(nullptr, nullptr);
    forwarder->Stop(std::chrono::duration_cast<std::chrono::milliseconds>(kStopDrain));
    delete forwarder;
}

}  // namespace evtrace::forward
