// Hooks for tests and tools: fault injection in the runtime's system calls
// and capture of debugger output.
#pragma once

#include <w32rt/api.h>

W32RT_BEGIN_DECLS

// Makes the nth next call (1 = the very next) of a system call kind fail with
// errno err. Kinds: "open", "read", "write", "fsync", "rename", "unlink",
// "mmap", "ftruncate", "mkdir". nth 0 disarms the kind.
W32RT_API void w32rt_fail_syscall(const char* kind, unsigned nth, int err);
// As w32rt_fail_syscall, and every later call of the kind fails too until
// the faults are cleared: a full disk for "write", a lost device for "read".
W32RT_API void w32rt_fail_syscall_from(const char* kind, unsigned nth, int err);
W32RT_API void w32rt_clear_syscall_faults(void);

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
