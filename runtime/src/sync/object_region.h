// The kernel-object table of a machine root: events and mutexes, named or
// not, live in one shared-memory region that every process of the root maps.
//
// Layout (all offsets fixed by the structures below; nothing in the region is
// a pointer):
//   ObjectsHeader   region header, the table lock, the table's dimensions
//   name index      one word per slot: the hash of its name (0: none), so a
//                   lookup by name reads 32 KiB instead of every slot
//   holder index    one word per holder entry: its object, likewise
//   ObjectSlot[]    one per object: type, state, name, security, futex word
//   HolderEntry[]   which processes hold handles to which object
//   TokenSlot[]     one per thread that owns or waits for a mutex
// The two indexes are hints, always confirmed against the slot or entry.
//
// Locking. One robust, process-shared mutex (the table lock) guards every
// field except the futex words, which are only bumped under it. A process
// that dies holding the lock leaves it to the next locker with EOWNERDEAD;
// that locker repairs the table (repair()) and marks the lock consistent
// before anything else, so a crash never loses the table. When a wait spans
// several regions (a process that switched roots), regions are locked in
// address order.
//
// Lifetime. An object lives while some process holds a handle to it. Each
// process that holds an object has one HolderEntry with its handle count and
// its identity (pid + start time). Processes that die without closing their
// handles are pruned whenever a name is looked up, and from the whole table
// when it runs full, so a named object whose holders were all killed cannot
// be opened any more.
//
// Mutex ownership. A mutex is owned by a token, not by a raw thread id: each
// thread that owns a mutex holds a TokenSlot whose robust pthread mutex it
// locked itself and keeps until it exits. The kernel marks that lock
// FUTEX_OWNER_DIED when the thread dies for any reason, SIGKILL of its process
// included, and wakes one futex waiter sleeping on it. Waiters for a mutex
// therefore also sleep on the owner's token word and learn of its death at
// once; whoever notices reaps the token, which abandons every mutex it owned.
//
// Security. An object records its creator's effective uid and whether it was
// created with a null DACL. Opening it (or creating it again) is allowed to
// everyone when the DACL was null, else only to the creator's uid, the
// superuser and the service account's uid: ERROR_ACCESS_DENIED otherwise.
// The rule is kept by the runtime, not by file modes: the region itself is
// writable by every user of the machine, which is also why every index read
// from it is checked against the table's bounds before use.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "core/process_identity.h"
#include "core/shm.h"

namespace w32rt::sync {

inline constexpr uint32_t kMaxObjects = 8192;
inline constexpr uint32_t kMaxHolders = 16384;
inline constexpr uint32_t kMaxTokens = 2048;
inline constexpr uint32_t kNameCapacity = 256;  // bytes, terminating zero included
inline constexpr uint32_t kMaxNameLength = kNameCapacity - 1;

enum SlotType : uint32_t { kSlotFree = 0, kSlotEvent = 1, kSlotMutex = 2 };

enum SlotFlags : uint32_t {
    kManualReset = 1u << 0,
    kOpenToAll = 1u << 1,  // created with a null DACL
    kAbandoned = 1u << 2,  // mutex whose owner died; the next acquirer is told
};

struct alignas(64) ObjectSlot {
    // Futex word of the object's waiters: bumped (under the table lock) by
    // every change that may satisfy a wait.
    std::atomic<uint32_t> seq;
    // Threads that may be asleep on seq. A waiter killed in its sleep leaves
    // it too high, which only costs its wakers a needless futex call.
    uint32_t sleepers;
    uint32_t type;        // SlotType
    uint32_t generation;  // bumped on every reuse of the slot
    uint32_t flags;       // SlotFlags
    uint32_t signaled;    // event
    uint32_t pulse_gen;   // event: bumped by every PulseEvent
    uint32_t pulse_pending;  // auto-reset event: the last pulse is still unclaimed
    uint32_t owner;       // mutex: token index + 1, 0 when free
    uint32_t owner_gen;   // generation of that token
    uint32_t recursion;   // mutex: acquisitions by the owner not yet released
    uint32_t creator_uid;
    uint32_t holders;     // HolderEntries that name this object
    uint32_t name_hash;
    uint32_t name_length;  // 0: unnamed
    uint32_t reserved;
    char name[kNameCapacity];
};

struct HolderEntry {
    uint32_t object;      // slot index + 1, 0 when the entry is free
    uint32_t generation;  // of the slot
    ProcessIdentity process;
    uint32_t count;       // handles-objects of that process
    uint32_t reserved;
};
static_assert(sizeof(HolderEntry) == 32, "shared layout");

struct alignas(64) TokenSlot {
    pthread_mutex_t lock;  // robust, process-shared; locked by its thread for life
    uint32_t in_use;
    uint32_t generation;
    int32_t pid;
    int32_t tid;
};

struct ObjectsHeader {
    RegionHeader region;
    pthread_mutex_t lock;
    uint32_t max_objects;
    uint32_t max_holders;
    uint32_t max_tokens;
    uint32_t name_capacity;
    uint32_t free_hint;  // where the search for a free slot starts
    uint32_t repairs;    // times the table was repaired after a crash
};

struct ObjectsLayout {
    ObjectsHeader header;
    uint32_t name_index[kMaxObjects];
    uint32_t holder_index[kMaxHolders];  // each HolderEntry's object, for fast scans
    ObjectSlot objects[kMaxObjects];
    HolderEntry holders[kMaxHolders];
    TokenSlot tokens[kMaxTokens];
};

// A thread's token: index + 1 (0 = none) and generation.
struct TokenRef {
    uint32_t index_plus_one = 0;
    uint32_t generation = 0;
    bool empty() const { return index_plus_one == 0; }
};

// Futex words to wake once the table lock is released (waking under the
// lock would only make the woken thread block on it).
// Words of shared memory, woken with shared futex calls.
class WakeList {
public:
    WakeList() = default;
    WakeList(const WakeList&) = delete;
    WakeList& operator=(const WakeList&) = delete;
    ~WakeList() { wake_all(); }

    void add(const void* word);
    void wake_all();

private:
    static constexpr unsigned kInline = 8;
    const void* inline_[kInline];
    unsigned count_ = 0;
    std::vector<const void*> more_;
};

struct CreateRequest {
    SlotType type = kSlotFree;
    std::string_view name;  // normalised (no prefix); empty for unnamed
    bool manual_reset = false;
    bool initial_state = false;  // event
    bool initial_owner = false;  // mutex
    bool open_to_all = false;
};

// One object as a process holds it.
struct ObjectRef {
    uint32_t index = 0;
    uint32_t generation = 0;
    uint32_t holder = 0;  // index of this process's HolderEntry
};

class ObjectRegion {
public:
    // The table of the calling process's machine root, mapped once per
    // process; null with the last error set when it cannot be mapped.
    static ObjectRegion* current();

    // Takes the table lock, repairing the table when its last holder died.
    // False (last error set) only when the lock is beyond recovery.
    bool lock();
    void unlock();

    ObjectSlot* slot(uint32_t index) { return index < kMaxObjects ? &layout_->objects[index] : nullptr; }
    HolderEntry* holder_entry(uint32_t index) { return index < kMaxHolders ? &layout_->holders[index] : nullptr; }
    TokenSlot* token(uint32_t index) { return index < kMaxTokens ? &layout_->tokens[index] : nullptr; }
    // The slot a reference names, or null when it no longer holds that
    // object (lock held).
    ObjectSlot* resolve(const ObjectRef& ref, SlotType type);

    // Creates the object, or opens the existing one of that name (exists set).
    // Returns 0 or a Win32 error. Lock not held.
    DWORD create(const CreateRequest& request, ObjectRef* out, bool* exists);
    // Opens an existing named object. Lock not held.
    DWORD open(SlotType type, std::string_view name, ObjectRef* out);
    // Drops this process's hold taken by create/open. Lock not held.
    void release(const ObjectRef& ref);

    // ---- Mutex ownership (lock held) ----
    // The calling thread's token, allocated when `allocate` is set and the
    // thread has none yet. Empty when none can be had (the table is full).
    TokenRef my_token(bool allocate);
    bool token_is(const ObjectSlot* s, TokenRef token) const {
        return !token.empty() && s->owner == token.index_plus_one && s->owner_gen == token.generation;
    }
    // True while the owner of the mutex lives. Finding it dead reaps it:
    // every mutex of the dead token is abandoned and its waiters woken.
    bool owner_alive(ObjectSlot* s, WakeList& wake);
    // The futex word of the owner's token, for a waiter to sleep on, with
    // FUTEX_WAITERS set so that the kernel wakes a sleeper when the owner
    // dies. Null when the owner is already dead (re-evaluate instead).
    const uint32_t* owner_death_word(const ObjectSlot* s, uint32_t* expected);
    // Called by a thread that ends: abandons what it owns and frees its
    // token (lock not held).
    void retire_token(TokenRef token);

    // Bumps the object's futex word and queues a wake when someone sleeps.
    void signal_waiters(ObjectSlot* s, WakeList& wake) {
        s->seq.fetch_add(1, std::memory_order_release);
        if (s->sleepers) wake.add(&s->seq);
    }

    const std::string& shm_name() const { return name_; }
    uint32_t repairs() const { return layout_->header.repairs; }

    // Objects in use (tests look for leaks with it). Takes the lock.
    uint32_t objects_in_use();

private:
    ObjectRegion(std::unique_ptr<SharedRegion> region, std::string name);

    static void init_layout(void* base);
    void repair();
    ObjectSlot* find_named(std::string_view name, uint32_t hash);
    // Drops holders of the object whose processes died; frees the object
    // when none remains. Returns the remaining holder count and finds this
    // process's entry (-1 when it holds none). Lock held.
    uint32_t prune_holders(uint32_t index, int32_t* mine);
    void prune_all_dead_holders();
    void clear_holder(uint32_t index);
    int32_t allocate_slot();
    int32_t allocate_holder();
    void free_slot(uint32_t index);
    // Counts one more hold by this process (mine from prune_holders);
    // UINT32_MAX when no entry can be had.
    uint32_t attach_holder(uint32_t index, int32_t mine);
    // Opens the live object at index for the caller (mine from
    // prune_holders): checks its type and the caller's access, then attaches
    // a holder. Lock held.
    DWORD open_existing(uint32_t index, int32_t mine, SlotType type, ObjectRef* out);
    bool token_word_dead(uint32_t word) const;
    void reap_token(uint32_t index, WakeList& wake);
    void abandon_owned_by(uint32_t index_plus_one, uint32_t generation, WakeList& wake);

    std::unique_ptr<SharedRegion> region_;
    ObjectsLayout* layout_;
    std::string name_;
};

// Removes a "Global\" or "Local\" prefix and checks what remains. Returns 0
// or the Win32 error for the name.
DWORD normalize_object_name(const char* name, std::string_view* out);

uint32_t name_hash(std::string_view name);

// Retires every token the calling thread holds (it is ending): the mutexes
// it owns become abandoned. Safe to call more than once.
void retire_thread_tokens();

}  // namespace w32rt::sync
