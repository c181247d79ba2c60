// Thread-local storage slots: TlsAlloc, TlsFree, TlsGetValue, TlsSetValue.
//
// 1088 slots, as on Windows (64 plus 1024 expansion slots). Freeing a slot
// clears it in every thread, as Windows does: each slot carries a
// generation, and a thread's cell counts only while it was written in the
// slot's current generation.
#include <stdlib.h>

#include <atomic>
#include <mutex>

#include <windows.h>

#include "core/error.h"

namespace {

constexpr DWORD kSlots = 64 + 1024;

std::mutex g_alloc_mutex;
std::atomic<bool> g_allocated[kSlots];
std::atomic<uint32_t> g_generation[kSlots];

struct Cells {
    void* value[kSlots];
    uint32_t generation[kSlots];
};

__attribute__((tls_model("initial-exec"))) thread_local Cells* t_cells = nullptr;

struct CellsGuard {
    ~CellsGuard() {
        free(t_cells);
        t_cells = nullptr;
    }
};

Cells* my_cells() {
    if (!t_cells) {
        t_cells = static_cast<Cells*>(calloc(1, sizeof(Cells)));
        if (t_cells) {
            static thread_local CellsGuard guard;
            (void)guard;
        }
    }
    return t_cells;
}

bool slot_allocated(DWORD index) {
    return index < kSlots && g_allocated[index].load(std::memory_order_acquire);
}

}  // namespace

extern "C" {

W32RT_API DWORD WINAPI TlsAlloc(void) {
    std::lock_guard<std::mutex> lock(g_alloc_mutex);
    for (DWORD i = 0; i < kSlots; ++i) {
        if (!g_allocated[i].load(std::memory_order_relaxed)) {
            g_generation[i].fetch_add(1, std::memory_order_relaxed);
            g_allocated[i].store(true, std::memory_order_release);
            return i;
        }
    }
    return w32rt::fail(ERROR_NO_MORE_ITEMS, TLS_OUT_OF_INDEXES);
}

W32RT_API BOOL WINAPI TlsFree(DWORD dwTlsIndex) {
    std::lock_guard<std::mutex> lock(g_alloc_mutex);
    if (!slot_allocated(dwTlsIndex)) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    g_generation[dwTlsIndex].fetch_add(1, std::memory_order_relaxed);
    g_allocated[dwTlsIndex].store(false, std::memory_order_release);
    return TRUE;
}

W32RT_API LPVOID WINAPI TlsGetValue(DWORD dwTlsIndex) {
    if (!slot_allocated(dwTlsIndex)) return w32rt::fail(ERROR_INVALID_PARAMETER, LPVOID(nullptr));
    SetLastError(ERROR_SUCCESS);  // lets callers tell a stored null from a failure
    const Cells* cells = t_cells;
    if (!cells || cells->generation[dwTlsIndex] != g_generation[dwTlsIndex].load(std::memory_order_relaxed))
        return nullptr;
    return cells->value[dwTlsIndex];
}

W32RT_API BOOL WINAPI TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue) {
    if (!slot_allocated(dwTlsIndex)) return w32rt::fail(ERROR_INVALID_PARAMETER, FALSE);
    Cells* cells = my_cells();
    if (!cells) return w32rt::fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    cells->value[dwTlsIndex] = lpTlsValue;
    cells->generation[dwTlsIndex] = g_generation[dwTlsIndex].load(std::memory_order_relaxed);
    return TRUE;
}

}  // extern "C"
