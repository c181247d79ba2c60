#include "sync/wait.h"

#include <algorithm>
#include <new>

#include "core/error.h"
#include "core/futex.h"
#include "core/handle_table.h"
#include "sync/sync_objects.h"

namespace w32rt::sync {

namespace {

constexpr DWORD kPending = 0xFFFFFFFE;

struct Target {
    enum Kind : uint8_t { Shared, Thread, Never } kind = Never;
    ObjectPtr hold;  // keeps the object alive while the wait lasts
    SharedObject* shared = nullptr;
    ThreadObject* thread = nullptr;
    ObjectSlot* slot = nullptr;  // valid while the locks are held
    uint32_t pulse_snapshot = 0;
    TokenRef token;  // mutexes: the caller's token in the object's table
};

// The tables of a wait, in the one lock order: shared tables first, then
// private ones, each kind in address order.
class RegionSet {
public:
    void add(ObjectRegion* r) {
        for (unsigned i = 0; i < count_; ++i)
            if (regions_[i] == r) return;
        regions_[count_++] = r;
        std::sort(regions_, regions_ + count_, [](ObjectRegion* a, ObjectRegion* b) {
            return a->is_shared() != b->is_shared() ? a->is_shared() : a < b;
        });
    }
    bool lock(int64_t deadline_ns) {
        for (unsigned i = 0; i < count_; ++i) {
            if (!regions_[i]->lock(deadline_ns)) {
                while (i-- > 0) regions_[i]->unlock();
                return false;
            }
        }
        return true;
    }
    void unlock() {
        for (unsigned i = count_; i-- > 0;) regions_[i]->unlock();
    }

private:
    ObjectRegion* regions_[MAXIMUM_WAIT_OBJECTS];
    unsigned count_ = 0;
};

bool is_pseudo_handle(HANDLE h) { return h == GetCurrentProcess() || h == GetCurrentThread(); }

// Fills a target for a handle; false with the last error set.
bool resolve_handle(HANDLE h, Target* t) {
    if (is_pseudo_handle(h)) {
        // The calling process or thread: signalled only once it has ended.
        t->kind = Target::Never;
        return true;
    }
    DWORD access = 0;
    ObjectPtr object = HandleTable::instance().lookup(h, &access);
    if (!object) return false;
    switch (object->kind()) {
        case ObjectKind::Event:
        case ObjectKind::Mutex:
            t->kind = Target::Shared;
            t->shared = static_cast<SharedObject*>(object.get());
            break;
        case ObjectKind::Thread:
            t->kind = Target::Thread;
            t->thread = static_cast<ThreadObject*>(object.get());
            break;
        default:
            return fail(ERROR_INVALID_HANDLE, false);
    }
    if (!(access & SYNCHRONIZE)) return fail(ERROR_ACCESS_DENIED, false);
    t->hold = std::move(object);
    return true;
}

// Whether target i can be had now; abandoned set for a mutex whose owner
// died. Locks held.
bool available(Target& t, bool* abandoned, WakeList& wake) {
    *abandoned = false;
    switch (t.kind) {
        case Target::Never: return false;
        case Target::Thread: return t.thread->has_exited();
        case Target::Shared: break;
    }
    ObjectSlot* s = t.slot;
    if (s->type == kSlotEvent) {
        if (s->signaled) return true;
        if (s->pulse_gen == t.pulse_snapshot) return false;
        return (s->flags & kManualReset) || s->pulse_pending;
    }
    ObjectRegion* region = t.shared->region();
    if (region->token_is(s, t.token)) return true;
    if (s->owner != 0 && region->owner_alive(s, wake)) return false;
    *abandoned = (s->flags & kAbandoned) != 0;
    return true;
}

void consume(Target& t) {
    if (t.kind != Target::Shared) return;
    ObjectSlot* s = t.slot;
    if (s->type == kSlotEvent) {
        if (s->flags & kManualReset) return;
        if (s->signaled) {
            s->signaled = 0;
        } else {
            s->pulse_pending = 0;  // the pulse is claimed
        }
        return;
    }
    ObjectRegion* region = t.shared->region();
    if (region->token_is(s, t.token)) {
        ++s->recursion;
        return;
    }
    region->set_owner(s, t.token);
    s->recursion = 1;
    s->flags &= ~kAbandoned;
    note_mutex_owned_in(region);
}

DWORD evaluate(Target* targets, DWORD count, bool wait_all, ExtraWaitable* extra, WakeList& wake) {
    if (!wait_all) {
        for (DWORD i = 0; i < count; ++i) {
            bool abandoned;
            if (available(targets[i], &abandoned, wake)) {
                consume(targets[i]);
                return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
            }
        }
        if (extra && extra->ready()) {
            extra->satisfied();
            return WAIT_OBJECT_0 + count;
        }
        return kPending;
    }
    DWORD first_abandoned = count;
    for (DWORD i = 0; i < count; ++i) {
        bool abandoned;
        if (!available(targets[i], &abandoned, wake)) return kPending;
        if (abandoned && first_abandoned == count) first_abandoned = i;
    }
    if (extra && !extra->ready()) return kPending;
    for (DWORD i = 0; i < count; ++i) consume(targets[i]);
    if (extra) extra->satisfied();
    return first_abandoned < count ? WAIT_ABANDONED_0 + first_abandoned : WAIT_OBJECT_0;
}

}  // namespace

DWORD wait_for_handles(DWORD count, const HANDLE* handles, bool wait_all, DWORD timeout_ms, ExtraWaitable* extra) {
    if (count > MAXIMUM_WAIT_OBJECTS || (count == 0 && !extra) || (count > 0 && !handles))
        return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);

    // Only as many targets as handles: a wait on one object is the common case.
    alignas(Target) unsigned char storage[sizeof(Target) * MAXIMUM_WAIT_OBJECTS];
    Target* targets = reinterpret_cast<Target*>(storage);
    for (DWORD i = 0; i < count; ++i) new (&targets[i]) Target();
    struct Destroy {
        Target* targets;
        DWORD count;
        ~Destroy() {
            for (DWORD i = 0; i < count; ++i) targets[i].~Target();
        }
    } destroy{targets, count};
    RegionSet regions;
    for (DWORD i = 0; i < count; ++i) {
        if (!resolve_handle(handles[i], &targets[i])) return WAIT_FAILED;
        if (targets[i].kind == Target::Shared) regions.add(targets[i].shared->region());
    }
    if (wait_all) {
        // The same object twice (through any two handles) cannot be
        // acquired atomically.
        for (DWORD i = 0; i < count; ++i) {
            for (DWORD j = i + 1; j < count; ++j) {
                const Target& a = targets[i];
                const Target& b = targets[j];
                bool same = a.hold && a.hold == b.hold;
                same |= a.kind == Target::Shared && b.kind == Target::Shared &&
                        a.shared->region() == b.shared->region() && a.shared->ref().index == b.shared->ref().index;
                if (same) return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
            }
        }
    }

    const int64_t deadline =
        (timeout_ms == INFINITE || timeout_ms == 0) ? -1 : monotonic_ns() + int64_t(timeout_ms) * 1'000'000;
    bool first = true;
    bool sleeping = false;
    WaitWord words[kMaxWaitWords];
    for (;;) {
        WakeList wake;  // woken after the locks are released
        unsigned nwords = 0;
        if (extra) words[nwords++] = extra->word();  // read before the condition
        if (!regions.lock(deadline)) {
            // The deadline passed while a table stayed locked: a time-out
            // like any other; a table locked for too long fails the wait.
            if (GetLastError() == ERROR_TIMEOUT) return WAIT_TIMEOUT;
            return WAIT_FAILED;
        }
        DWORD result = kPending;
        for (DWORD i = 0; i < count && result == kPending; ++i) {
            Target& t = targets[i];
            if (t.kind != Target::Shared) continue;
            t.slot = t.shared->slot();
            if (!t.slot) {
                result = WAIT_FAILED;
                SetLastError(ERROR_INVALID_HANDLE);
                break;
            }
            if (first) {
                t.pulse_snapshot = t.slot->pulse_gen;
                if (t.slot->type == kSlotMutex) {
                    t.token = TokenTable::mine(t.shared->region()->machine(), true);
                    if (t.token.empty()) {
                        result = WAIT_FAILED;
                        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
                    }
                }
            }
        }
        first = false;
        if (result == kPending) result = evaluate(targets, count, wait_all, extra, wake);
        if (result == kPending && (timeout_ms == 0 || (deadline >= 0 && monotonic_ns() >= deadline)))
            result = WAIT_TIMEOUT;
        if (result != kPending) {
            if (sleeping) {
                for (DWORD i = 0; i < count; ++i)
                    if (targets[i].slot && targets[i].slot->sleepers > 0) --targets[i].slot->sleepers;
            }
            regions.unlock();
            return result;
        }
        for (DWORD i = 0; i < count; ++i) {
            Target& t = targets[i];
            if (t.kind == Target::Thread) {
                words[nwords++] = {&t.thread->exited, 0, false};
            } else if (t.kind == Target::Shared) {
                if (!sleeping) ++t.slot->sleepers;
                words[nwords++] = {&t.slot->seq, t.slot->seq.load(std::memory_order_relaxed), true};
                if (t.slot->type == kSlotMutex && nwords < kMaxWaitWords) {
                    uint32_t expected;
                    if (const uint32_t* w = t.shared->region()->owner_death_word(t.slot, &expected))
                        words[nwords++] = {w, expected, true};
                }
            }
        }
        sleeping = true;
        regions.unlock();
        wake.wake_all();
        sleep_on_words(words, nwords, deadline);
    }
}

}  // namespace w32rt::sync
