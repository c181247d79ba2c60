#include "frame/ModuleHandle.h"

namespace traceapi {
namespace {
HINSTANCE g_hModule = nullptr;
}

HINSTANCE ModuleHandle() { return g_hModule; }

void RecordModuleHandle(HINSTANCE module) { g_hModule = module; }

}  // namespace traceapi
