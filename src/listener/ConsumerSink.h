// Where a consumer's listening delivers: the listener passes each event of
// such a listening (asynchronous mode 1, RealtimeEventSink with bConsumer)
// to the sink that the consumer side hands over when the library is loaded.
// The listener sits below the consumer and never names it.
#pragma once

#include <windows.h>
#include <evntrace.h>

namespace traceapi {

// Called before any listening can start (at load); a listening for a
// consumer while no sink was handed over fails as one without a callback.
void SetConsumerEventSink(PEVENT_CALLBACK sink);

}  // namespace traceapi
