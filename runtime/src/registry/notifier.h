// RegNotifyChangeKeyValue: one-shot watches on keys, fired by changes that
// any process of the root publishes in the change journal.
//
// A process with armed watches runs one watcher thread per root. It sleeps
// on the journal's futex word (no time-out, so an idle process costs
// nothing), and on each wake-up reads the entries it has not seen yet and
// matches them against the watches:
//  - a value set or deleted on key K (REG_NOTIFY_CHANGE_LAST_SET) and a
//    sub-key added to or deleted from K (REG_NOTIFY_CHANGE_NAME) fire the
//    watches on K, and those with bWatchSubtree on any key above K;
//  - a deleted key fires every watch on it or below it, whatever the filter;
//  - an entry that was overwritten before it was read, or never completed,
//    fires every watch armed before it: a spurious signal is better than a
//    lost one.
// REG_NOTIFY_CHANGE_ATTRIBUTES and REG_NOTIFY_CHANGE_SECURITY are accepted;
// keys here have no attributes or security of their own to change, so such
// watches fire only when the key is deleted or its handle closed.
//
// Watches outlive the thread that armed them, as Windows does for
// REG_NOTIFY_THREAD_AGNOSTIC (accepted, and implied here).
//
// The signalled event is a duplicate taken when the watch is armed, so the
// caller may close its own handle to the event in the meantime (as on
// Windows, where the notification references the event object).
//
// Locking: mutex_ guards the watch list; it is never held while signalling
// an event or reading the database.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <windows.h>

#include "registry/journal.h"
#include "registry/registry.h"

namespace w32rt::registry {

class Notifier {
public:
    explicit Notifier(Registry& registry);
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Arms a watch that signals event once. owner identifies the open key
    // (its handle's closing fires the watch). Arming the same key, event,
    // filter and scope again while armed keeps the one watch.
    LSTATUS arm(KeyObject* owner, const NodeRef& node, bool subtree, DWORD filter, HANDLE event);

    // Blocks the calling thread until a matching change, or until the key's
    // handle is closed.
    LSTATUS wait(KeyObject* owner, const NodeRef& node, bool subtree, DWORD filter);

    // Fires and drops every watch armed through owner.
    void owner_closed(KeyObject* owner);

    // Number of armed watches (tests).
    size_t armed_count();

    // Tests: keeps the watcher thread from reading the journal while the
    // lock is held, as if it were slow.
    std::unique_lock<std::mutex> hold_scans() { return std::unique_lock<std::mutex>(scan_mutex_); }

private:
    struct Waiter {
        std::mutex mutex;
        std::condition_variable cv;
        bool fired = false;
    };
    struct Watch {
        KeyObject* owner = nullptr;
        NodeRef node;
        bool subtree = false;
        DWORD filter = 0;
        HANDLE caller_event = nullptr;  // as given, to recognise a re-arm
        HANDLE event = nullptr;         // our duplicate
        std::shared_ptr<Waiter> waiter;
        uint64_t armed_at = 0;          // journal sequence when armed
    };

    LSTATUS add(Watch watch);
    void run(uint64_t start);
    void scan(uint64_t from, uint64_t to);
    static bool matches(const Watch& watch, const JournalRecord& record);
    static void fire(std::vector<Watch>& fired);

    Registry& registry_;
    std::mutex scan_mutex_;  // held by the watcher thread while it scans
    std::mutex mutex_;
    std::vector<Watch> watches_;
    bool thread_started_ = false;
};

}  // namespace w32rt::registry
