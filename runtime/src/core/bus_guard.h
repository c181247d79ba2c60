// Mappings that another user may take away.
//
// Whoever may write a shared-memory file may also truncate it, and every
// process that touches a page of it past the new end then gets SIGBUS,
// which kills it. The runtime maps files that other users can write (the
// consumer rings, the writer slots, objects with a null DACL, the debugger
// output, another user's object table opened by the superuser), so it
// guards those mappings: a SIGBUS whose address lies in a guarded range
// replaces the whole range with private zero pages of this process and
// marks it damaged, and the faulting access is simply repeated on them.
// The owner of the mapping notices the mark (or the zeros, which no shared
// structure takes for valid) and recovers: a consumer replaces its ring,
// producers drop it.
//
// The handler is installed on the first guard and chains to the one it
// replaced for every other SIGBUS; a process with no guarded mapping keeps
// its own. Up to kMaxGuards ranges are guarded at once; past that a mapping
// stays unguarded, as every mapping was before.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>

namespace w32rt {

inline constexpr unsigned kMaxGuards = 1024;

// Guards [base, base + length); *damaged is set to 1 when the range is
// replaced. Returns a ticket for unguard_mapping, 0 when none was free.
unsigned guard_mapping(void* base, size_t length, std::atomic<uint32_t>* damaged);

// Ends a guard before its range is unmapped.
void unguard_mapping(unsigned ticket);

namespace detail {
extern std::atomic<uint64_t> g_guard_trips;
}

// How many guarded ranges this process has had replaced so far: a hot path
// compares it with what it saw last (one load of a word, on a line of its
// own, that only ever changes at a replacement) rather than asking each of
// its mappings.
inline uint64_t guard_trips() { return detail::g_guard_trips.load(std::memory_order_acquire); }

}  // namespace w32rt
