// Several registry edits as one transaction, for tools that must apply a
// whole file or nothing ("evtrace reg import").
//
//   if (w32rt::begin_registry_batch() == ERROR_SUCCESS) {
//       LSTATUS s = ...RegCreateKeyExA / RegSetValueExA / RegDeleteTreeA...;
//       s = w32rt::end_registry_batch(s == ERROR_SUCCESS);
//   }
//
// Between the two calls every registry write of the calling thread, on the
// calling process's machine root, joins one write transaction: a failed
// call leaves nothing of itself, and the thread's reads see its own writes.
// end_registry_batch(true) commits all of it at once (other processes and
// change notifications see the edits together, or, when the commit fails,
// none of them); end_registry_batch(false) drops all of it. The database's
// write lock is held from begin to end, and other threads of the process
// wait for the registry meanwhile, so keep a batch short.
#pragma once

#include <w32rt/api.h>

#include <windows.h>

namespace w32rt {

// ERROR_SUCCESS; ERROR_BUSY when this process has a batch open (or another
// process holds the write lock past the busy time-out); ERROR_ACCESS_DENIED
// when the caller may not write the registry; other registry statuses.
W32RT_API LSTATUS begin_registry_batch();

// Commits (commit true) or rolls back the calling thread's batch: the
// commit's status, ERROR_INVALID_FUNCTION when the thread has no batch.
W32RT_API LSTATUS end_registry_batch(bool commit);

}  // namespace w32rt
