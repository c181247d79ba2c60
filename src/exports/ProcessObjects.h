// The process-wide objects behind the flat interface. Each is a plain
// pointer, null until made. The host makes and destroys the controller and
// the consumer (EvtInitialize, EvtUnInitialize) while no other call of the
// library runs, so the pointers need no lock. The provider registry has its
// own (providers/ProviderRegistry.h).
#pragma once

#include <windows.h>

class CEvTraceController;
class CEvTraceConsumer;

namespace traceapi {

extern CEvTraceController* g_pEvTraceController;
extern CEvTraceConsumer* g_pEvTraceConsumer;

// Made and destroyed beside the consumer's exports (ConsumerExports.cpp).
// NewEvTraceConsumer returns null when out of memory;
// DeleteEvTraceConsumer may throw what the destructor throws.
CEvTraceConsumer* NewEvTraceConsumer() noexcept;
void DeleteEvTraceConsumer(CEvTraceConsumer* consumer);

}  // namespace traceapi
