// Helpers shared by the kernel-object tests.
#pragma once

#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "core/handle_table.h"
#include "status_expect.h"
#include "sync/sync_objects.h"
#include "test_support.h"

namespace sync_test {

// Threads asleep in a wait on the object behind the handle (the wait
// engine's sleeper count): lets a test know that waiters are really waiting
// before it signals.
inline uint32_t sleepers(HANDLE h) {
    auto object = w32rt::HandleTable::instance().lookup(h);
    if (!object || (object->kind() != w32rt::ObjectKind::Event && object->kind() != w32rt::ObjectKind::Mutex)) return 0;
    auto* shared = static_cast<w32rt::sync::SharedObject*>(object.get());
    if (!shared->region()->lock()) return 0;
    w32rt::sync::ObjectSlot* s = shared->slot();
    uint32_t n = s ? s->sleepers : 0;
    shared->region()->unlock();
    return n;
}

// Objects and name reservations in use in the caller's own table and the
// shared one (a leak shows in it).
inline uint32_t objects_in_use() {
    uint32_t n = 0;
    for (auto* table : {w32rt::sync::ObjectRegion::private_table(geteuid(), true),
                        w32rt::sync::ObjectRegion::shared_table()})
        n += table ? table->objects_in_use() : 0;
    return n;
}

// The table and slot of the object behind a handle of this process.
inline w32rt::sync::SharedObject* shared_of(HANDLE h) {
    return static_cast<w32rt::sync::SharedObject*>(w32rt::HandleTable::instance().lookup(h).get());
}

inline bool eventually_sleeping(HANDLE h, uint32_t count) {
    return testing_support::eventually([&] { return sleepers(h) >= count; });
}

// A thread that runs a wait (by default on one handle); join() gives its
// result once the thread has ended.
struct Waiter {
    explicit Waiter(std::function<DWORD()> wait) : result(std::async(std::launch::async, std::move(wait))) {}
    explicit Waiter(HANDLE h) : Waiter([h] { return WaitForSingleObject(h, INFINITE); }) {}
    bool done() const { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
    DWORD join() { return result.get(); }
    std::future<DWORD> result;
};

// Runs fn on a thread of its own (which ends before this returns).
inline DWORD on_thread(const std::function<DWORD()>& fn) {
    DWORD result = 0xDEAD;
    std::thread([&] { result = fn(); }).join();
    return result;
}

// Runs round(thread) `rounds` times on each of `threads` threads and joins
// them.
inline void run_rounds(int threads, int rounds, const std::function<void(int thread)>& round) {
    std::vector<std::thread> all;
    for (int t = 0; t < threads; ++t)
        all.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) round(t);
        });
    for (auto& t : all) t.join();
}

}  // namespace sync_test
