// The kernel-object tables of a machine root: events and mutexes, named or
// not, live in shared-memory tables, one per kind of security:
//
//   "objects"           Everyone (0666, core/segments.h): objects created
//                       with a null DACL, which every user may open, and
//                       the reservations of the names of private objects;
//   "objects.u<uid>"    User (0600): the objects of one user with default
//                       security, unnamed objects included. Only that user
//                       can map it, and the superuser, which may open them.
//
// Mutex ownership lives in a third kind, "tokens.u<uid>" (UserPublished,
// 0644; object_tokens.cpp): each user's threads own mutexes through tokens
// that only that user writes and every user reads.
//
// Layout (all offsets fixed by the structures below; nothing in the region is
// a pointer):
//   ObjectsHeader   region header, the table lock, the table's dimensions
//   name index      one word per slot: the hash of its name (0: none), so a
//                   lookup by name reads 32 KiB instead of every slot
//   holder index    one word per holder entry: its object, likewise
//   ObjectSlot[]    one per object: type, state, name, security, futex word
//   HolderEntry[]   which processes hold handles to which object
// The two indexes are hints, always confirmed against the slot or entry.
//
// Locking. The table lock (core/shared_lock.h) guards every field except the
// futex words, which are only bumped under it. It is a bare word, safe where
// other users write, and waited for at most kTableLockMs: a process that
// dies holding it leaves it to the next locker, which repairs the table
// (repair()) before anything else, so a crash never loses the table; one
// that is stopped holding it makes others fail (ERROR_BUSY), not hang. When
// an operation spans several tables, the shared table is locked first and
// private ones after it in address order.
//
// Names. Every user and the global namespace share one namespace. A private
// named object also has a reservation of its name in the shared table
// (creator's uid, type, holders), so other users get ERROR_ACCESS_DENIED for
// it and the superuser learns whose table holds it. The shared table is
// anyone's to write, so reservations are hints: a process always looks in
// its own user's table first, which is authoritative for that user, and a
// reservation that names the caller but is not in its table is dropped.
//
// Lifetime. An object lives while some process holds a handle to it. Each
// process that holds an object has one HolderEntry with its handle count and
// its identity (pid + start time). Processes that die without closing their
// handles are pruned whenever a name is looked up, and from the whole table
// when it runs full, so a named object whose holders were all killed cannot
// be opened any more.
//
// Security. An object records its creator's effective uid and whether it was
// created with a null DACL; the table it is in follows from that. Opening it
// (or creating it again) is allowed to everyone when the DACL was null, else
// only to the creator's uid and the superuser: ERROR_ACCESS_DENIED
// otherwise. Every value read from a table is checked against the table's
// bounds before use: the shared table is anyone's to write, and the
// superuser also reads other users' tables.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "core/process_identity.h"
#include "core/shm.h"

namespace w32rt {
class Machine;
}

namespace w32rt::sync {

inline constexpr uint32_t kMaxObjects = 8192;
inline constexpr uint32_t kMaxHolders = 16384;
inline constexpr uint32_t kMaxTokens = 2048;
inline constexpr uint32_t kNameCapacity = 256;  // bytes, terminating zero included
inline constexpr uint32_t kMaxNameLength = kNameCapacity - 1;

enum SlotType : uint32_t { kSlotFree = 0, kSlotEvent = 1, kSlotMutex = 2, kSlotReservation = 3 };

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
    uint32_t owner_uid;      // mutex: whose token table the owner's token is in
    uint32_t reserved_type;  // reservation: the SlotType of the private object
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
    std::atomic<uint32_t> lock;  // core/shared_lock.h
    uint32_t uid;                // of a private table; kSharedTable for the shared one
    uint32_t max_objects;
    uint32_t max_holders;
    uint32_t name_capacity;
    uint32_t free_hint;  // where the search for a free slot starts
    uint32_t repairs;    // times the table was repaired after a crash
    uint32_t reserved;
};

inline constexpr uint32_t kSharedTable = 0xFFFFFFFF;

struct ObjectsLayout {
    ObjectsHeader header;
    uint32_t name_index[kMaxObjects];
    uint32_t holder_index[kMaxHolders];  // each HolderEntry's object, for fast scans
    ObjectSlot objects[kMaxObjects];
    HolderEntry holders[kMaxHolders];
};

struct TokensLayout {
    RegionHeader region;
    uint32_t uid;
    uint32_t max_tokens;
    uint8_t pad[64 - 40];
    TokenSlot tokens[kMaxTokens];
};

// A thread's token: its user's table, index + 1 (0 = none) and generation.
struct TokenRef {
    uint32_t uid = 0;
    uint32_t index_plus_one = 0;
    uint32_t generation = 0;
    bool empty() const { return index_plus_one == 0; }
};

class TokenTable;

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
    SlotType reserved_type = kSlotFree;  // of a reservation
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
    // The shared table of the calling process's machine root, mapped once
    // per process; null with the last error set when it cannot be mapped.
    static ObjectRegion* shared_table();
    // The table of a user's private objects: the caller's own is made when
    // `create` is set; another user's is only opened (the superuser's
    // business). Null with the last error set (ERROR_FILE_NOT_FOUND when
    // there is none).
    static ObjectRegion* private_table(uid_t uid, bool create);
    // Every table this process has mapped (for a thread that ends).
    static std::vector<ObjectRegion*> mapped_tables();

    // How long the table lock is waited for.
    static constexpr int kTableLockMs = 5000;

    // Takes the table lock, repairing the table when its last holder died.
    // False (last error ERROR_BUSY) when it stayed taken for kTableLockMs,
    // or when deadline_ns (monotonic; negative for none) passed first
    // (last error ERROR_TIMEOUT).
    bool lock(int64_t deadline_ns = -1);
    void unlock();

    bool is_shared() const { return shared_; }
    uid_t uid() const { return uid_; }
    // The machine that first mapped the table (its root is the table's).
    Machine& machine() const { return *machine_; }

    ObjectSlot* slot(uint32_t index) { return index < kMaxObjects ? &layout_->objects[index] : nullptr; }
    HolderEntry* holder_entry(uint32_t index) { return index < kMaxHolders ? &layout_->holders[index] : nullptr; }
    // The slot a reference names, or null when it no longer holds that
    // object (lock held).
    ObjectSlot* resolve(const ObjectRef& ref, SlotType type);

    // ---- Under the lock ----
    // The live object or reservation of that name (its holders pruned
    // first), or -1.
    int32_t find_live(std::string_view name);
    // Creates an object or a reservation; 0 or a Win32 error.
    DWORD create_locked(const CreateRequest& request, ObjectRef* out);
    // Opens the live object at index for the caller: checks its type and
    // the caller's access, then attaches a holder.
    DWORD open_locked(uint32_t index, SlotType type, ObjectRef* out);
    // Adds one more hold of this process on the live slot at index (a
    // reservation, whatever the caller's rights).
    DWORD hold_locked(uint32_t index, ObjectRef* out);
    // Frees a slot whatever holds it (a stale reservation).
    void drop_locked(uint32_t index) { free_slot(index); }
    void release_locked(const ObjectRef& ref);

    // Drops this process's hold taken by create/open, waiting for the lock
    // at most `lock_ms` (-1: the table lock's own bound). Lock not held.
    void release(const ObjectRef& ref, int lock_ms = -1);

    // ---- Mutex ownership (lock held) ----
    bool token_is(const ObjectSlot* s, TokenRef token) const {
        return !token.empty() && s->owner_uid == token.uid && s->owner == token.index_plus_one &&
               s->owner_gen == token.generation;
    }
    void set_owner(ObjectSlot* s, TokenRef token) {
        s->owner_uid = token.uid;
        s->owner = token.index_plus_one;
        s->owner_gen = token.generation;
    }
    // True while the owner of the mutex lives. Finding it dead abandons the
    // mutex and wakes its waiters.
    bool owner_alive(ObjectSlot* s, WakeList& wake);
    // The futex word of the owner's token, for a waiter to sleep on (the
    // kernel wakes a sleeper when the owner dies). Null when the owner is
    // already dead (re-evaluate instead) or its token cannot be read.
    const uint32_t* owner_death_word(const ObjectSlot* s, uint32_t* expected);
    // Every mutex of the table that the token owns becomes abandoned.
    void abandon_owned_by(TokenRef token, WakeList& wake);

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
    ObjectRegion(Machine& machine, std::unique_ptr<SharedRegion> region, std::string name, bool shared, uid_t uid);
    static ObjectRegion* map_table(Machine& machine, const Segment& segment, bool create, bool shared, uid_t uid);

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

    Machine* machine_;
    std::unique_ptr<SharedRegion> region_;
    ObjectsLayout* layout_;
    std::string name_;
    bool shared_;
    uid_t uid_;
};

// The mutex tokens of one user (object_tokens.cpp): written by that user's
// processes only, read by everyone.
class TokenTable {
public:
    // The table of a user of the machine's root, mapped once per process
    // (made when it is the caller's own). Null with the last error set.
    static TokenTable* of(Machine& machine, uid_t uid);

    // The calling thread's token in its own user's table of the machine's
    // root, allocated when `allocate` is set and the thread has none yet.
    // Empty when none can be had (the table is full, or cannot be mapped).
    static TokenRef mine(Machine& machine, bool allocate);

    // True while the token's thread lives (its robust word is neither dead
    // nor free, and the slot still holds that generation).
    bool alive(uint32_t index_plus_one, uint32_t generation) const;
    // The token's robust word with the value to sleep on; null when dead.
    const uint32_t* death_word(uint32_t index_plus_one, uint32_t generation, uint32_t* expected) const;
    // Frees a dead token of the caller's own user for reuse.
    void reap(uint32_t index_plus_one, uint32_t generation);

    TokenSlot* token(uint32_t index) { return index < kMaxTokens ? &layout_->tokens[index] : nullptr; }
    uid_t uid() const { return uid_; }
    bool writable() const { return region_->writable(); }

private:
    friend void retire_thread_tokens();
    TokenTable(std::unique_ptr<SharedRegion> region, uid_t uid, std::string root);
    TokenRef allocate();
    void retire(TokenRef token);

    std::unique_ptr<SharedRegion> region_;
    TokensLayout* layout_;
    uid_t uid_;
    std::string root_;  // the root's shared-memory prefix
};

// Removes a "Global\" or "Local\" prefix and checks what remains. Returns 0
// or the Win32 error for the name.
DWORD normalize_object_name(const char* name, std::string_view* out);

uint32_t name_hash(std::string_view name);

// Retires every token the calling thread holds (it is ending): the mutexes
// it owns become abandoned. Safe to call more than once.
void retire_thread_tokens();

// Notes that the calling thread came to own a mutex of the table, so that
// its end abandons it there (lock held).
void note_mutex_owned_in(ObjectRegion* region);

}  // namespace w32rt::sync
