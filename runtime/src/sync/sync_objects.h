// The kernel objects of this area as the handle table holds them.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "core/handle_table.h"
#include "sync/object_region.h"

namespace w32rt::sync {

// An event or mutex of a shared table. One instance per create/open call;
// duplicated handles share it. Destroying it drops this process's hold, and
// its hold on the reservation of the name of a private object.
class SharedObject final : public KernelObject {
public:
    SharedObject(ObjectKind kind, ObjectRegion* region, const ObjectRef& ref, ObjectRegion* reservation_table = nullptr,
                 const ObjectRef& reservation = {})
        : KernelObject(kind), region_(region), ref_(ref), reservation_table_(reservation_table),
          reservation_(reservation) {}
    ~SharedObject() override {
        region_->release(ref_);
        // The shared table is anyone's to hold: a reservation it keeps a
        // moment too long costs others only a denial until this process ends.
        if (reservation_table_) reservation_table_->release(reservation_, kBriefLockMs);
    }
    static constexpr int kBriefLockMs = 200;

    ObjectRegion* region() const { return region_; }
    const ObjectRef& ref() const { return ref_; }
    SlotType slot_type() const { return kind() == ObjectKind::Event ? kSlotEvent : kSlotMutex; }
    // The slot, or null when the table no longer holds the object (lock
    // held).
    ObjectSlot* slot() const { return region_->resolve(ref_, slot_type()); }

private:
    ObjectRegion* region_;
    ObjectRef ref_;
    ObjectRegion* reservation_table_;
    ObjectRef reservation_;
};

// A thread made by CreateThread. Private to the process: thread handles do
// not cross processes.
class ThreadObject final : public KernelObject {
public:
    ThreadObject(LPTHREAD_START_ROUTINE start, LPVOID parameter, bool suspended)
        : KernelObject(ObjectKind::Thread), start_routine(start), start_parameter(parameter),
          suspend_count(suspended ? 1 : 0) {}

    bool has_exited() const { return exited.load(std::memory_order_acquire) != 0; }

    const LPTHREAD_START_ROUTINE start_routine;
    const LPVOID start_parameter;
    std::atomic<uint32_t> suspend_count;  // futex word the new thread waits on
    std::atomic<uint32_t> started{0};     // futex word: 1 once tid is set
    std::atomic<uint32_t> exited{0};      // futex word: 1 once the thread has ended
    pid_t tid = 0;
    DWORD exit_code = STILL_ACTIVE;       // published by exited
};

}  // namespace w32rt::sync
