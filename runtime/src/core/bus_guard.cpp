#include "core/bus_guard.h"

#include <signal.h>
#include <string.h>
#include <sys/mman.h>

#include <mutex>

#include "core/sys.h"

namespace w32rt {

// On a line of its own: read on every event, written only at a replacement.
alignas(64) std::atomic<uint64_t> detail::g_guard_trips{0};

namespace {

// A slot is free while `start` is 0. The handler reads the slots without a
// lock (it may interrupt a thread holding one): a slot is filled end and
// flag first, start last, and emptied start first.
struct Guard {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<std::atomic<uint32_t>*> damaged{nullptr};
};

Guard g_guards[kMaxGuards];
struct sigaction g_previous;
std::once_flag g_install_once;

void on_sigbus(int signal, siginfo_t* info, void* context) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (Guard& g : g_guards) {
        uintptr_t start = g.start.load(std::memory_order_acquire);
        if (start == 0 || address < start || address >= g.end.load(std::memory_order_relaxed)) continue;
        size_t length = g.end.load(std::memory_order_relaxed) - start;
        void* p = sys::mmap(reinterpret_cast<void*>(start), length, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (p != MAP_FAILED) {
            if (std::atomic<uint32_t>* flag = g.damaged.load(std::memory_order_relaxed))
                flag->store(1, std::memory_order_relaxed);
            detail::g_guard_trips.fetch_add(1, std::memory_order_release);
            return;  // the access is repeated on the zero pages
        }
        break;
    }
    // Not ours: what would have happened without us.
    if (g_previous.sa_flags & SA_SIGINFO) {
        g_previous.sa_sigaction(signal, info, context);
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
    } else {
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGBUS, &dfl, nullptr);  // the fault repeats and ends the process
    }
}

void install() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

unsigned guard_mapping(void* base, size_t length, std::atomic<uint32_t>* damaged) {
    if (!base || length == 0) return 0;
    std::call_once(g_install_once, install);
    for (unsigned i = 0; i < kMaxGuards; ++i) {
        Guard& g = g_guards[i];
        // end doubles as the claim: only a slot whose end is 0 is free.
        uintptr_t expected = 0;
        if (g.start.load(std::memory_order_relaxed) != 0 ||
            !g.end.compare_exchange_strong(expected, reinterpret_cast<uintptr_t>(base) + length))
            continue;
        g.damaged.store(damaged, std::memory_order_relaxed);
        g.start.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
        return i + 1;
    }
    return 0;
}

void unguard_mapping(unsigned ticket) {
    if (ticket == 0 || ticket > kMaxGuards) return;
    Guard& g = g_guards[ticket - 1];
    g.start.store(0, std::memory_order_release);
    g.damaged.store(nullptr, std::memory_order_relaxed);
    g.end.store(0, std::memory_order_release);
}

}  // namespace w32rt
