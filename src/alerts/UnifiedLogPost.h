// The listening thread's side of the unified log (what SendEventToUL does),
// with the answer the event callback needs: whether the event was a
// unified-log record. The data queue refuses such records, so the callback
// does not convert them a second time only to hear that.
#pragma once

#include <TraceApi.h>

namespace traceapi {

// Converts the event and, when it is a unified-log record and logging is
// on, enters it in the alerter's message registry and posts it to the
// thread (a post that fails withdraws the entry and frees the record; a
// full queue is waited out for up to a second). True when the event was
// converted into a unified-log record, posted or not.
bool PostUnifiedLogRecord(CEvTraceAlerter& alerter, PEVENT_TRACE pEvent, ULONG ulThreadId, UINT uMessageId);

}  // namespace traceapi
