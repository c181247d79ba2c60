// Hooks for tests and tools: fault injection in the runtime's system calls
// and capture of debugger output.
#pragma once

#include <w32rt/api.h>

W32RT_BEGIN_DECLS

// The kinds of system call the runtime makes, for fault injection: every
// call that can fail for disk, resource or permission reasons belongs to
// one (SQLite's file I/O of the registry included).
typedef enum w32rt_call {
    W32RT_CALL_OPEN,       /* open of files and folders */
    W32RT_CALL_READ,       /* read */
    W32RT_CALL_WRITE,      /* write */
    W32RT_CALL_FSYNC,      /* fsync, fdatasync */
    W32RT_CALL_RENAME,     /* rename */
    W32RT_CALL_UNLINK,     /* unlink, rmdir */
    W32RT_CALL_MKDIR,      /* mkdir */
    W32RT_CALL_FTRUNCATE,  /* ftruncate */
    W32RT_CALL_MMAP,       /* mmap; SQLite's shared-memory map */
    W32RT_CALL_SHM,        /* shm_open, shm_unlink: shared-memory objects */
    W32RT_CALL_LIST,       /* listing a folder (opendir, readdir) */
    W32RT_CALL_LOCK,       /* flock, record locks; SQLite's locks */
    W32RT_CALL_STAT,       /* stat, fstat, access checks, links, reading
                              extended attributes */
    W32RT_CALL_ATTR,       /* chmod, chown, file times, setting extended
                              attributes */
    W32RT_CALL_KINDS
} w32rt_call;

// Makes the nth next call (1 = the very next) of a kind fail with errno err,
// once; nth 0 disarms the kind. Process-wide: any thread's call counts.
W32RT_API void w32rt_fail_call(w32rt_call kind, unsigned nth, int err);
// The same by the kind's name ("open", "read", "write", "fsync", "rename",
// "unlink", "mkdir", "ftruncate", "mmap", "shm", "list", "lock", "stat",
// "attr").
W32RT_API void w32rt_fail_syscall(const char* kind, unsigned nth, int err);
// As w32rt_fail_syscall, and every later call of the kind fails too until
// the faults are cleared: a full disk for "write", a lost device for "read".
W32RT_API void w32rt_fail_syscall_from(const char* kind, unsigned nth, int err);
W32RT_API void w32rt_clear_syscall_faults(void);
// Makes the process kill itself with SIGKILL when it reaches the nth next
// call of a kind (before making it), for crash tests that stop a writer at
// an exact point: mid-write, before a rename, holding a lock.
W32RT_API void w32rt_kill_at_call(w32rt_call kind, unsigned nth);
// Faults injected since the process started: a run that did not move it
// completed without reaching the armed call.
W32RT_API unsigned long long w32rt_injected_faults(void);
// The kind's name; null for a value past the last kind.
W32RT_API const char* w32rt_call_name(w32rt_call kind);

// Handles open in this process (kernel objects, files, keys, searches), for
// tests that look for leaks.
W32RT_API size_t w32rt_open_handle_count(void);
// Returns once the descriptors the runtime closes on a thread of its own
// (of files a rename or a deletion left without a name, which the file
// system frees on that close) are closed, for tests that count descriptors.
W32RT_API void w32rt_settle_late_closes(void);

// Shifts every system time the runtime reports and stamps (system and local
// time, file creation times, last-write times of writes made through the
// runtime) by offset_100ns, so tests can age files and events without
// sleeping. Per process; a process starts with EVTRACE_CLOCK_OFFSET (decimal
// 100-ns units) when set. Monotonic counters are not shifted.
W32RT_API void w32rt_set_clock_offset(int64_t offset_100ns);
W32RT_API int64_t w32rt_clock_offset(void);

// Receives every OutputDebugStringA text of this process (in addition to an
// attached viewer) while set; null stops the capture.
typedef void (*w32rt_debug_sink)(const char* text, void* context);
W32RT_API void w32rt_set_debug_sink(w32rt_debug_sink sink, void* context);

W32RT_END_DECLS
