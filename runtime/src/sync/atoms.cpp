// RegisterWindowMessageA: one table of registered message names per machine
// root, in shared memory, so that every process of the root gets the same id
// (0xC000 + the name's index) for the same name.
//
// The table only grows. A name is written to the string pool first, then its
// entry, and only then counted, so a process that dies midway leaves at most
// unreferenced pool bytes. Every entry read back is checked against the
// pool's bounds. Names compare without regard to ASCII case; other bytes
// compare exactly.
//
// Every user registers names, so every user writes the table (an Everyone
// segment): its lock is a bare word waited for at most kLockMs, and what a
// stranger scribbles costs at worst wrong or refused ids, never a crash.
#include <errno.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>

#include <windows.h>

#include "core/error.h"
#include "core/futex.h"
#include "core/hash.h"
#include "core/machine.h"
#include "core/shared_lock.h"
#include "core/shm.h"
#include "sync/atoms.h"

using namespace w32rt::sync;

namespace {

char fold(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

uint32_t folded_hash(std::string_view s) {
    return w32rt::fnv1a_32(s, [](unsigned char c) { return static_cast<unsigned char>(fold(char(c))); });
}

bool same_folded(const char* a, std::string_view b) {
    for (size_t i = 0; i < b.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

class AtomTable {
public:
    explicit AtomTable(w32rt::Machine&) {}

    // The id of the name, registering it when new; 0 with the last error set.
    UINT register_name(std::string_view name) {
        AtomsLayout* t = table();
        if (!t) return 0;
        switch (w32rt::shared_lock(&t->lock, w32rt::monotonic_ns() + kLockMs * 1'000'000)) {
            case w32rt::SharedLockResult::Acquired: break;
            case w32rt::SharedLockResult::Recovered: repair(t); break;
            case w32rt::SharedLockResult::TimedOut: return w32rt::fail(ERROR_BUSY, UINT(0));
        }
        UINT id = find_or_add(t, name);
        w32rt::shared_unlock(&t->lock);
        return id;
    }

private:
    static constexpr int64_t kLockMs = 5000;

    AtomsLayout* table() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!region_) {
            w32rt::Machine& machine = w32rt::Machine::current();
            region_ = w32rt::SharedRegion::open_or_create(machine, w32rt::public_segment("atoms"),
                                                          sizeof(AtomsLayout), kAtomsMagic, kAtomsVersion,
                                                          [](void* base) { init(static_cast<AtomsLayout*>(base)); });
            if (!region_) return nullptr;
        }
        auto* t = static_cast<AtomsLayout*>(region_->base());
        if (t->max_atoms != kMaxAtoms || t->pool_size != kAtomPoolSize) return w32rt::fail(ERROR_INVALID_DATA, nullptr);
        return t;
    }

    static void init(AtomsLayout* t) {
        t->max_atoms = kMaxAtoms;
        t->pool_size = kAtomPoolSize;
    }

    static bool entry_valid(const AtomsLayout* t, const AtomEntry& e) {
        return e.length > 0 && e.length <= kMaxAtomName && e.offset <= t->pool_used &&
               e.length <= t->pool_used - e.offset;
    }

    // A holder died inside register_name: keep the entries that are whole.
    static void repair(AtomsLayout* t) {
        if (t->pool_used > kAtomPoolSize) t->pool_used = kAtomPoolSize;
        if (t->count > kMaxAtoms) t->count = kMaxAtoms;
        uint32_t whole = 0;
        while (whole < t->count && entry_valid(t, t->entries[whole])) ++whole;
        t->count = whole;
    }

    static UINT find_or_add(AtomsLayout* t, std::string_view name) {
        uint32_t hash = folded_hash(name);
        uint32_t count = t->count <= kMaxAtoms ? t->count : kMaxAtoms;
        if (t->pool_used > kAtomPoolSize) t->pool_used = kAtomPoolSize;  // scribbled
        for (uint32_t i = 0; i < count; ++i) {
            const AtomEntry& e = t->entries[i];
            if (e.hash != hash || e.length != name.size() || !entry_valid(t, e)) continue;
            if (same_folded(t->pool + e.offset, name)) return kFirstAtomId + i;
        }
        if (count >= kMaxAtoms || t->pool_used > kAtomPoolSize || kAtomPoolSize - t->pool_used < name.size())
            return w32rt::fail(ERROR_NOT_ENOUGH_MEMORY, UINT(0));
        uint32_t offset = t->pool_used;
        memcpy(t->pool + offset, name.data(), name.size());
        t->pool_used = offset + uint32_t(name.size());
        t->entries[count] = {offset, uint32_t(name.size()), hash, 0};
        __atomic_store_n(&t->count, count + 1, __ATOMIC_RELEASE);
        return kFirstAtomId + count;
    }

    std::mutex mutex_;
    std::unique_ptr<w32rt::SharedRegion> region_;
};

}  // namespace

extern "C" {

W32RT_API UINT WINAPI RegisterWindowMessageA(LPCSTR lpString) {
    if (!lpString || !*lpString) return w32rt::fail(ERROR_INVALID_PARAMETER, UINT(0));
    size_t length = strnlen(lpString, kMaxAtomName + 1);
    if (length > kMaxAtomName) return w32rt::fail(ERROR_INVALID_PARAMETER, UINT(0));
    return w32rt::Machine::current().area<AtomTable>(w32rt::Area::Messages).register_name({lpString, length});
}

}  // extern "C"
