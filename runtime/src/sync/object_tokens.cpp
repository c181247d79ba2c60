// Mutex ownership by tokens (sync/object_region.h): the tokens a thread
// holds, their allocation from the table, and what happens when their
// threads end or die.
#include "sync/object_region.h"

#include <errno.h>
#include <linux/futex.h>
#include <stdlib.h>

#include "core/process_identity.h"
#include "sync/futex_words.h"

namespace w32rt::sync {

namespace {

// The robust futex word of a pthread mutex. Its format (owner tid,
// FUTEX_WAITERS, FUTEX_OWNER_DIED) is the kernel's robust-futex ABI, which
// glibc's robust mutexes follow; the field is glibc's public __data.__lock.
uint32_t* token_word(TokenSlot& t) { return reinterpret_cast<uint32_t*>(&t.lock.__data.__lock); }
static_assert(offsetof(pthread_mutex_t, __data.__lock) == 0, "robust futex word at the start of the mutex");

uint32_t load_word(const uint32_t* w) { return __atomic_load_n(w, __ATOMIC_ACQUIRE); }

// ---- Tokens held by the calling thread ----------------------------------
//
// A growable array behind plain thread-local pointers: trivially
// destructible, so still usable by destructors that run late in the thread's
// exit. The guard retires the tokens (abandoning what the thread owns) when
// the thread ends normally; when it never runs because the process was
// killed, the kernel marks the tokens dead instead.

struct HeldToken {
    ObjectRegion* region;
    TokenRef token;
};
thread_local HeldToken* t_held = nullptr;
thread_local unsigned t_held_count = 0;
thread_local unsigned t_held_capacity = 0;

bool remember_token(ObjectRegion* region, TokenRef token) {
    if (t_held_count == t_held_capacity) {
        unsigned capacity = t_held_capacity ? t_held_capacity * 2 : 4;
        auto* grown = static_cast<HeldToken*>(realloc(t_held, capacity * sizeof(HeldToken)));
        if (!grown) return false;
        t_held = grown;
        t_held_capacity = capacity;
    }
    t_held[t_held_count++] = {region, token};
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

// After fork the child's thread is not the owner of any token: the robust
// mutexes stay locked by the parent's thread.
void forget_tokens_in_child() { t_held_count = 0; }
[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, &forget_tokens_in_child);

}  // namespace

void retire_thread_tokens() {
    while (t_held_count > 0) {
        HeldToken held = t_held[--t_held_count];
        held.region->retire_token(held.token);
    }
}

// ---- Tokens ----------------------------------------------------------------

bool ObjectRegion::token_word_dead(uint32_t word) const {
    return (word & FUTEX_OWNER_DIED) != 0 || (word & FUTEX_TID_MASK) == 0;
}

TokenRef ObjectRegion::my_token(bool allocate) {
    for (unsigned i = 0; i < t_held_count; ++i)
        if (t_held[i].region == this) return t_held[i].token;
    if (!allocate) return {};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            // Full: reclaim the tokens of threads that died without retiring
            // them (their processes were killed).
            WakeList wake;
            for (uint32_t i = 0; i < kMaxTokens; ++i) {
                TokenSlot& t = layout_->tokens[i];
                if (t.in_use && token_word_dead(load_word(token_word(t)))) reap_token(i, wake);
            }
        }
        for (uint32_t i = 0; i < kMaxTokens; ++i) {
            TokenSlot& t = layout_->tokens[i];
            if (t.in_use) continue;
            int rc = pthread_mutex_trylock(&t.lock);
            if (rc == EOWNERDEAD) {
                pthread_mutex_consistent(&t.lock);
                rc = 0;
            }
            if (rc != 0) continue;  // held by a live thread although marked free: leave it
            TokenRef ref{i + 1, t.generation + 1};
            if (!remember_token(this, ref)) {
                pthread_mutex_unlock(&t.lock);
                return {};
            }
            t.in_use = 1;
            t.generation = ref.generation;
            t.pid = current_process().pid;
            t.tid = current_tid();
            arm_token_guard();
            return ref;
        }
    }
    return {};
}

void ObjectRegion::abandon_owned_by(uint32_t index_plus_one, uint32_t generation, WakeList& wake) {
    for (ObjectSlot& s : layout_->objects) {
        if (s.type != kSlotMutex || s.owner != index_plus_one || s.owner_gen != generation) continue;
        s.owner = 0;
        s.owner_gen = 0;
        s.recursion = 0;
        s.flags |= kAbandoned;
        signal_waiters(&s, wake);
    }
}

void ObjectRegion::reap_token(uint32_t index, WakeList& wake) {
    TokenSlot& t = layout_->tokens[index];
    abandon_owned_by(index + 1, t.generation, wake);
    int rc = pthread_mutex_trylock(&t.lock);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&t.lock);
        rc = 0;
    }
    if (rc == 0) {
        pthread_mutex_unlock(&t.lock);
        t.in_use = 0;
    }
    wake.add(token_word(t));
}

bool ObjectRegion::owner_alive(ObjectSlot* s, WakeList& wake) {
    if (s->owner == 0) return false;
    uint32_t index = s->owner - 1;
    if (index >= kMaxTokens || !layout_->tokens[index].in_use ||
        layout_->tokens[index].generation != s->owner_gen) {
        // The token is gone or was reused: its owner ended without letting go.
        s->owner = 0;
        s->owner_gen = 0;
        s->recursion = 0;
        s->flags |= kAbandoned;
        signal_waiters(s, wake);
        return false;
    }
    TokenSlot& t = layout_->tokens[index];
    if (!token_word_dead(load_word(token_word(t)))) return true;
    reap_token(index, wake);
    return false;
}

const uint32_t* ObjectRegion::owner_death_word(const ObjectSlot* s, uint32_t* expected) {
    if (s->owner == 0 || s->owner > kMaxTokens) return nullptr;
    uint32_t* word = token_word(layout_->tokens[s->owner - 1]);
    uint32_t v = load_word(word);
    for (;;) {
        if (token_word_dead(v)) return nullptr;
        if (v & FUTEX_WAITERS) break;
        if (__atomic_compare_exchange_n(word, &v, v | FUTEX_WAITERS, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            v |= FUTEX_WAITERS;
            break;
        }
    }
    *expected = v;
    return word;
}

void ObjectRegion::retire_token(TokenRef token) {
    if (token.empty() || token.index_plus_one > kMaxTokens) return;
    WakeList wake;
    if (!lock()) return;
    TokenSlot& t = layout_->tokens[token.index_plus_one - 1];
    if (t.in_use && t.generation == token.generation) {
        abandon_owned_by(token.index_plus_one, token.generation, wake);
        t.in_use = 0;
        pthread_mutex_unlock(&t.lock);
        wake.add(token_word(t));
    }
    unlock();
}

}  // namespace w32rt::sync
