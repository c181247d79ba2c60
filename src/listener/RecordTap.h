// The process's record tap (CEvDataQueue::SetRecordTap): CEvDataQueue's
// AddEvent hands every record it takes to it, beside the CSV logger's
// hand-off. Without a tap the call costs one load.
#pragma once

#include <TraceApi.h>

namespace traceapi {

void TapRecord(const _VANTA_EVTRACE_DATA* record, DWORD size);

}  // namespace traceapi
