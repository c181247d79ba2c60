// The machine root as the runtime's areas see it: where its files live, how
// its shared-memory objects are named, who owns it, and the per-root state of
// each area.
//
// Area state is created on first use and bound to the root; switching roots
// (tests do) makes a new Machine and leaves the old one, and its state, alive
// but unused. Machines are never destroyed, so area state needs no care about
// static destruction order.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include <windows.h>

namespace w32rt {

enum class Area : unsigned { Registry, Objects, Messages, Files, Host, Etw, Debug, Segments, Count };

class Machine {
public:
    // The root of the calling process.
    static Machine& current();

    const std::string& root() const { return root_; }

    // Owner of the root directory: the machine's administrator. The
    // superuser always has the same rights.
    uid_t owner_uid() const { return owner_uid_; }
    bool owner_known() const { return owner_known_; }

    // True when the calling process may administer the machine (control
    // trace sessions, write the registry).
    bool caller_is_administrator() const;

    // Name of a shared-memory object of this root: "/evtrace.<hash>.<what>".
    std::string shm_name(std::string_view what) const;

    // Path of a file of this root.
    std::string file(std::string_view relative) const;

    // The state of an area, made by T's constructor (taking the Machine) on
    // first use.
    template <class T>
    T& area(Area which) {
        std::atomic<void*>& slot = areas_[static_cast<unsigned>(which)];
        void* p = slot.load(std::memory_order_acquire);
        if (p) return *static_cast<T*>(p);
        std::lock_guard<std::recursive_mutex> lock(area_mutex_);
        p = slot.load(std::memory_order_relaxed);
        if (!p) {
            p = new T(*this);
            slot.store(p, std::memory_order_release);
        }
        return *static_cast<T*>(p);
    }

private:
    friend void set_current_machine(const std::string& root);
    explicit Machine(std::string root);

    std::string root_;
    std::string hash_;
    uid_t owner_uid_ = 0;
    bool owner_known_ = false;
    // Recursive: an area's constructor may use another area (the registry's
    // journal needs the administrators' folder).
    std::recursive_mutex area_mutex_;
    std::atomic<void*> areas_[static_cast<unsigned>(Area::Count)] = {};
};

// The uid that stands for the service account "SYSTEM" (EVTRACE_SYSTEM_UID,
// default 0); -1 when no uid does.
int64_t system_account_uid();

}  // namespace w32rt
