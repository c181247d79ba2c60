// SQLite's file I/O through the runtime's system-call seam.
//
// The registry's database is opened on the VFS "w32rt", a shim over SQLite's
// default (unix) VFS: every file method and every VFS call that touches the
// disk first passes the seam's fault check for its kind (xOpen: open, xRead:
// read, xWrite: write, xSync: fsync, xTruncate: ftruncate, xFileSize and
// xAccess: stat, xDelete: unlink, xLock and xShmLock: lock, xShmMap: mmap),
// then does what the unix VFS does. An injected fault is reported the way
// the unix VFS reports that errno (ENOSPC on a write or truncate is
// SQLITE_FULL; a refused lock is SQLITE_BUSY), so a registry write can be
// made to fail like any other write of the runtime.
#pragma once

namespace w32rt::registry {

// The name of the shim, registered on first use (never as the default);
// null when SQLite has no default VFS to wrap.
const char* seam_vfs_name();

}  // namespace w32rt::registry
