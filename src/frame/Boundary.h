// The rule at every exported operation of the library: no exception passes.
#pragma once

#include <TraceApi.h>

namespace traceapi {

// Runs op and returns its result; an _evt_error is passed to dump_evterror
// and, like any other exception, becomes E_FAIL.
template <typename Op>
LONG Guarded(Op op) noexcept {
    try {
        return op();
    } catch (_evt_error& error) {
        dump_evterror(error);
        return E_FAIL;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace traceapi
