// Share modes that hold between every handle of every process.
//
// Windows checks each open of a file against all other opens: the new
// open's read, write and delete access must be shared by every existing
// open, and the access of every existing open must be shared by the new
// one. Conflicts fail at once with ERROR_SHARING_VIOLATION; nothing waits.
//
// The state lives in open-file-description locks (F_OFD_SETLK) on bytes far
// beyond any data the file can hold. Such locks belong to one open file
// description, i.e. to one handle (duplicated handles share it, as they
// share a file object on Windows); two handles of one process conflict like
// two processes, and the kernel drops a handle's locks when it is closed or
// its process dies, SIGKILL included. Process-associated POSIX locks would
// merge all handles of a process and vanish when any descriptor of the file
// is closed, so they cannot be used.
//
// Six regions, one per condition: "some open has read/write/delete access"
// and "some open denies read/write/delete". An open holds a lock in the
// region of each condition it makes true; a new open asks, with F_OFD_GETLK
// (which ignores the asker's own locks and the descriptor's mode), whether
// any other description holds a lock in the regions it must find empty.
//
// Holding takes a shared lock on the region's first byte, which needs a
// descriptor open for reading. A descriptor opened write-only (the file
// grants the caller no read permission) takes an exclusive lock on a free
// byte of its own in the region instead; both kinds are seen by the check.
//
// Check and take must not interleave with another opener of the file, or
// two conflicting opens could both pass. A gate serialises them per file:
// flock(LOCK_EX) on the file, which works whatever the descriptor's mode and
// is held only for the few calls of one check (never between calls, so a
// conflicting open still fails at once). A holder stopped inside the gate
// makes others wait; they give up after a bound with ERROR_SHARING_VIOLATION.
// flock and OFD locks are independent on local file systems.
//
// File systems that refuse these locks (some FUSE or network file systems)
// get no share enforcement; opens there succeed as if every open shared
// everything.
#pragma once

#include <windows.h>

namespace w32rt::files {

// The read, write and delete parts of an access mask or a share mode.
enum ShareBit : unsigned { kShareRead = 1, kShareWrite = 2, kShareDelete = 4, kShareAll = 7 };

// Data access of a (generic-mapped) access mask as share bits. Opens with
// none of them (attributes only) neither check nor reserve, as on Windows.
unsigned data_access_bits(DWORD access);
unsigned share_bits(DWORD share_mode);

// The per-file gate; see above. error() is 0 when held or when the file
// system has no flock (then nothing is serialised), else a Win32 code.
class ShareGate {
public:
    explicit ShareGate(int fd);
    ~ShareGate();
    ShareGate(const ShareGate&) = delete;
    ShareGate& operator=(const ShareGate&) = delete;
    DWORD error() const { return error_; }

private:
    int fd_;
    bool held_ = false;
    DWORD error_ = 0;
};

// Whether an open with this access and share could be made next to every
// open of the file other than fd's own description. 0, or
// ERROR_SHARING_VIOLATION, or another Win32 code when the check failed.
// Call with the gate held.
DWORD check_share(int fd, unsigned access, unsigned share);

// Records access and share on fd's description. readable tells whether fd
// was opened for reading. Call with the gate held, after check_share.
DWORD take_share(int fd, bool readable, unsigned access, unsigned share);

// Gate, check and take in one: what CreateFile does.
DWORD reserve_share(int fd, bool readable, unsigned access, unsigned share);

}  // namespace w32rt::files
