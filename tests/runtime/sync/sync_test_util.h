// Helpers shared by the kernel-object tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/handle_table.h"
#include "sync/sync_objects.h"
#include "test_support.h"

namespace sync_test {

// Threads asleep in a wait on the object behind the handle (the wait
// engine's sleeper count): lets a test know that waiters are really waiting
// before it signals.
inline uint32_t sleepers(HANDLE h) {
    auto object = w32rt::HandleTable::instance().lookup(h);
    if (!object || (object->kind() != w32rt::ObjectKind::Event && object->kind() != w32rt::ObjectKind::Mutex))
        return 0;
    auto* shared = static_cast<w32rt::sync::SharedObject*>(object.get());
    if (!shared->region()->lock()) return 0;
    w32rt::sync::ObjectSlot* s = shared->slot();
    uint32_t n = s ? s->sleepers : 0;
    shared->region()->unlock();
    return n;
}

inline bool eventually_sleeping(HANDLE h, uint32_t count) {
    return testing_support::eventually([&] { return sleepers(h) >= count; });
}

// A thread that waits on a handle and records the result.
class Waiter {
public:
    Waiter(HANDLE h, DWORD timeout = INFINITE) {
        thread_ = std::thread([this, h, timeout] {
            result_.store(WaitForSingleObject(h, timeout));
            done_.store(true);
        });
    }
    ~Waiter() {
        if (thread_.joinable()) thread_.join();
    }
    bool done() const { return done_.load(); }
    DWORD result() const { return result_.load(); }
    DWORD join() {
        thread_.join();
        return result_.load();
    }

private:
    std::thread thread_;
    std::atomic<bool> done_{false};
    std::atomic<DWORD> result_{0xDEAD};
};

inline std::string unique_name(const char* stem) {
    return std::string(stem) + "-" + std::to_string(GetCurrentProcessId());
}

}  // namespace sync_test
