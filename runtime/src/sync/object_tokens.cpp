// Mutex ownership by tokens (sync/object_region.h): the tokens a thread
// holds, their allocation from its user's token table, and what happens
// when their threads end or die.
//
// A token is a robust pthread mutex in a table that only its user's
// processes write ("tokens.u<uid>", mode 0644): they alone lock and unlock
// it, so the pointers the C library and the kernel follow in it are never
// another user's. Waiters of any user only read its word and sleep on it;
// the owning thread marks it FUTEX_WAITERS when it takes it, so the kernel
// wakes a sleeper when the thread dies.
#include "sync/object_region.h"

#include <errno.h>
#include <linux/futex.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "core/error.h"
#include "core/machine.h"
#include "core/process_identity.h"
#include "core/sys.h"
#include "sync/futex_words.h"

namespace w32rt::sync {

namespace {

constexpr uint32_t kTokensMagic = 0x4b543357;  // "W3TK"
constexpr uint32_t kTokensVersion = 1;

// The robust futex word of a pthread mutex. Its format (owner tid,
// FUTEX_WAITERS, FUTEX_OWNER_DIED) is the kernel's robust-futex ABI, which
// glibc's robust mutexes follow; the field is glibc's public __data.__lock.
uint32_t* token_word(TokenSlot& t) { return reinterpret_cast<uint32_t*>(&t.lock.__data.__lock); }
const uint32_t* token_word(const TokenSlot& t) { return reinterpret_cast<const uint32_t*>(&t.lock.__data.__lock); }
static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0, "robust futex word at the start of the mutex");

uint32_t load_word(const uint32_t* w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }

bool word_dead(uint32_t word) { return (word & FUTEX_OWNER_DIED) != 0 || (word & FUTEX_TID_MASK) == 0; }

bool init_robust_mutex(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

// ---- Tokens held by the calling thread ----------------------------------
//
// A growable array behind plain thread-local pointers: trivially
// destructible, so still usable by destructors that run late in the thread's
// exit. The guard retires the tokens (abandoning what the thread owns) when
// the thread ends normally; when it never runs because the process was
// killed, the kernel marks the tokens dead instead.

struct HeldToken {
    TokenTable* table;
    TokenRef token;
};
thread_local HeldToken* t_held = nullptr;
thread_local unsigned t_held_count = 0;
thread_local unsigned t_held_capacity = 0;

bool remember_token(TokenTable* table, TokenRef token) {
    if (t_held_count == t_held_capacity) {
        unsigned capacity = t_held_capacity ? t_held_capacity * 2 : 4;
        auto* grown = static_cast<HeldToken*>(realloc(t_held, capacity * sizeof(HeldToken)));
        if (!grown) return false;
        t_held = grown;
        t_held_capacity = capacity;
    }
    t_held[t_held_count++] = {table, token};
    return true;
}

struct TokenGuard {
    ~TokenGuard() {
        retire_thread_tokens();
        free(t_held);
        t_held = nullptr;
        t_held_capacity = 0;
    }
};

void arm_token_guard() {
    static thread_local TokenGuard guard;
    (void)guard;
}

// The tables in which the thread came to own mutexes; past kOwnedInline
// of them, every mapped table is looked at when it ends.
constexpr unsigned kOwnedInline = 8;
thread_local ObjectRegion* t_owned_in[kOwnedInline];
thread_local unsigned t_owned_in_count = 0;
thread_local bool t_owned_in_overflow = false;

// After fork the child's thread is not the owner of any token: the robust
// mutexes stay locked by the parent's thread.
void forget_tokens_in_child() {
    t_held_count = 0;
    t_owned_in_count = 0;
    t_owned_in_overflow = false;
}
[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, &forget_tokens_in_child);

// The token tables this process mapped, for every root: one per file, even
// when the process meets a root again through a new Machine, so that a
// thread keeps one token per root.
struct MappedTokens {
    std::string path;
    dev_t dev;
    ino_t ino;
    uid_t uid;
    TokenTable* table;
};
std::mutex g_tokens_mutex;
std::vector<MappedTokens>& token_tables() {
    static auto* list = new std::vector<MappedTokens>();
    return *list;
}

}  // namespace

void retire_thread_tokens() {
    while (t_held_count > 0) {
        HeldToken held = t_held[--t_held_count];
        held.table->retire(held.token);
    }
    t_owned_in_count = 0;
    t_owned_in_overflow = false;
}

void note_mutex_owned_in(ObjectRegion* region) {
    for (unsigned i = 0; i < t_owned_in_count; ++i)
        if (t_owned_in[i] == region) return;
    if (t_owned_in_count < kOwnedInline)
        t_owned_in[t_owned_in_count++] = region;
    else
        t_owned_in_overflow = true;
}

// ---- The table -------------------------------------------------------------

TokenTable::TokenTable(std::unique_ptr<SharedRegion> region, uid_t uid, std::string root)
    : region_(std::move(region)), layout_(static_cast<TokensLayout*>(region_->base())), uid_(uid),
      root_(std::move(root)) {}

TokenTable* TokenTable::of(Machine& machine, uid_t uid) {
    const Segment segment = user_segment(machine, "tokens.u" + std::to_string(uid), uid, true);
    const std::string path = segment_path(machine, segment);
    std::lock_guard<std::mutex> lock(g_tokens_mutex);
    for (const MappedTokens& t : token_tables())
        if (t.path == path && t.uid == uid) return t.table;
    std::unique_ptr<SharedRegion> region =
        uid == geteuid() ? SharedRegion::open_or_create(machine, segment, sizeof(TokensLayout), kTokensMagic,
                                                        kTokensVersion,
                                                        [uid](void* base) {
                                                            auto* t = static_cast<TokensLayout*>(base);
                                                            t->uid = uint32_t(uid);
                                                            t->max_tokens = kMaxTokens;
                                                            for (TokenSlot& slot : t->tokens)
                                                                init_robust_mutex(&slot.lock);
                                                        })
                         : SharedRegion::open_existing(machine, segment, kTokensMagic, kTokensVersion);
    if (!region) return nullptr;
    auto* layout = static_cast<TokensLayout*>(region->base());
    if (region->size() != sizeof(TokensLayout) || layout->uid != uint32_t(uid) || layout->max_tokens != kMaxTokens)
        return fail(ERROR_INVALID_DATA, nullptr);
    struct stat st;
    if (sys::fstat(region->fd(), &st) < 0) return fail_errno(errno, nullptr);
    for (const MappedTokens& t : token_tables())
        if (t.dev == st.st_dev && t.ino == st.st_ino) return t.table;
    // Never unmapped: mutexes name tokens for as long as they live.
    auto* table = new TokenTable(std::move(region), uid, machine.shm_name(""));
    token_tables().push_back({path, st.st_dev, st.st_ino, uid, table});
    return table;
}

TokenRef TokenTable::mine(Machine& machine, bool allocate) {
    const std::string root = machine.shm_name("");
    for (unsigned i = 0; i < t_held_count; ++i)
        if (t_held[i].table->root_ == root) return t_held[i].token;
    if (!allocate) return {};
    TokenTable* table = of(machine, geteuid());
    if (!table || !table->writable()) return {};
    return table->allocate();
}

TokenRef TokenTable::allocate() {
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            // Full: reclaim the tokens of threads that died without retiring
            // them (their processes were killed).
            for (uint32_t i = 0; i < kMaxTokens; ++i) {
                TokenSlot& t = layout_->tokens[i];
                if (t.in_use && word_dead(load_word(token_word(t)))) reap(i + 1, t.generation);
            }
        }
        for (uint32_t i = 0; i < kMaxTokens; ++i) {
            TokenSlot& t = layout_->tokens[i];
            if (t.in_use) continue;
            // The trylock is the claim: among this user's threads only one
            // gets a free token.
            int rc = pthread_mutex_trylock(&t.lock);
            if (rc == EOWNERDEAD) {
                pthread_mutex_consistent(&t.lock);
                rc = 0;
            }
            if (rc != 0) continue;  // held by a live thread although marked free: leave it
            TokenRef ref{uint32_t(uid_), i + 1, t.generation + 1};
            if (!remember_token(this, ref)) {
                pthread_mutex_unlock(&t.lock);
                return {};
            }
            t.in_use = 1;
            t.generation = ref.generation;
            t.pid = current_process().pid;
            t.tid = current_tid();
            // Marked as slept on, so that the kernel wakes a waiter of any
            // user when this thread dies (waiters cannot write the word).
            uint32_t* word = token_word(t);
            uint32_t v = load_word(word);
            while (!(v & FUTEX_WAITERS) &&
                   !__atomic_compare_exchange_n(word, &v, v | FUTEX_WAITERS, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            }
            arm_token_guard();
            return ref;
        }
    }
    return {};
}

bool TokenTable::alive(uint32_t index_plus_one, uint32_t generation) const {
    if (index_plus_one == 0 || index_plus_one > kMaxTokens) return false;
    const TokenSlot& t = layout_->tokens[index_plus_one - 1];
    return t.in_use && t.generation == generation && !word_dead(load_word(token_word(t)));
}

const uint32_t* TokenTable::death_word(uint32_t index_plus_one, uint32_t generation, uint32_t* expected) const {
    if (!alive(index_plus_one, generation)) return nullptr;
    const uint32_t* word = token_word(layout_->tokens[index_plus_one - 1]);
    uint32_t v = load_word(word);
    if (word_dead(v)) return nullptr;
    *expected = v;
    return word;
}

void TokenTable::reap(uint32_t index_plus_one, uint32_t generation) {
    if (!writable() || index_plus_one == 0 || index_plus_one > kMaxTokens) return;
    TokenSlot& t = layout_->tokens[index_plus_one - 1];
    if (!t.in_use || t.generation != generation) return;
    int rc = pthread_mutex_trylock(&t.lock);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&t.lock);
        rc = 0;
    }
    if (rc == 0) {
        pthread_mutex_unlock(&t.lock);
        t.in_use = 0;
    }
}

void TokenTable::retire(TokenRef token) {
    if (token.empty() || token.index_plus_one > kMaxTokens) return;
    // What the thread owns, in every table it came to own something in.
    std::vector<ObjectRegion*> regions = t_owned_in_overflow
                                             ? ObjectRegion::mapped_tables()
                                             : std::vector<ObjectRegion*>(t_owned_in, t_owned_in + t_owned_in_count);
    for (ObjectRegion* region : regions) {
        if (region->machine().shm_name("") != root_) continue;  // another root's: other tokens
        WakeList wake;
        if (!region->lock()) continue;
        region->abandon_owned_by(token, wake);
        region->unlock();
    }
    TokenSlot& t = layout_->tokens[token.index_plus_one - 1];
    if (t.in_use && t.generation == token.generation) {
        t.in_use = 0;
        pthread_mutex_unlock(&t.lock);
        wake_word(token_word(t), INT32_MAX, true);
    }
}

// ---- Owners, as a table sees them -----------------------------------------

void ObjectRegion::abandon_owned_by(TokenRef token, WakeList& wake) {
    for (ObjectSlot& s : layout_->objects) {
        if (s.type != kSlotMutex || !token_is(&s, token)) continue;
        s.owner = 0;
        s.owner_gen = 0;
        s.owner_uid = 0;
        s.recursion = 0;
        s.flags |= kAbandoned;
        signal_waiters(&s, wake);
    }
}

bool ObjectRegion::owner_alive(ObjectSlot* s, WakeList& wake) {
    if (s->owner == 0) return false;
    TokenTable* tokens = TokenTable::of(*machine_, s->owner_uid);
    TokenRef token{s->owner_uid, s->owner, s->owner_gen};
    if (tokens && tokens->alive(s->owner, s->owner_gen)) return true;
    // The token is gone, was reused, or its thread died: its owner ended
    // without letting go. (A token table that cannot be read at all names
    // no owner that could let go either.)
    abandon_owned_by(token, wake);
    if (s->owner != 0) {  // not the token's after all (owner fields damaged)
        s->owner = 0;
        s->owner_gen = 0;
        s->recursion = 0;
        s->flags |= kAbandoned;
        signal_waiters(s, wake);
    }
    if (tokens) tokens->reap(token.index_plus_one, token.generation);
    return false;
}

const uint32_t* ObjectRegion::owner_death_word(const ObjectSlot* s, uint32_t* expected) {
    if (s->owner == 0 || s->owner > kMaxTokens) return nullptr;
    TokenTable* tokens = TokenTable::of(*machine_, s->owner_uid);
    return tokens ? tokens->death_word(s->owner, s->owner_gen, expected) : nullptr;
}

}  // namespace w32rt::sync
