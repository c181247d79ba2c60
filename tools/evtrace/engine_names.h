// Names the event engine (evtrace engine) shares with its clients. The
// snapshot events are the library's hand-shake; the others are the engine's
// own. Every one is a named kernel object of the machine root with a null
// access list, so that processes of every user meet them.
#pragma once

namespace evtrace {

// Held by the running engine for its life: a second engine finds it and
// refuses to start.
inline constexpr char kEngineInstanceMutex[] = "Global\\VANTA_EVTRACE_ENGINE_INSTANCE";
// Manual reset, pulsed by the engine for every alert it saved: the
// alertable event of its alerter, waited on by `evtrace alerts wait`.
inline constexpr char kEngineAlertEvent[] = "Global\\VANTA_EVTRACE_ALERT_EVENT";
// Auto reset: a consumer's request for a live snapshot, and the engine's
// refusal (silence means the snapshot file was written).
inline constexpr char kSnapshotStartEvent[] = "Global\\VANTA_EVT_SNAPSHOT_START_EVENT";
inline constexpr char kSnapshotEndEvent[] = "Global\\VANTA_EVT_SNAPSHOT_END_EVENT";

}  // namespace evtrace
