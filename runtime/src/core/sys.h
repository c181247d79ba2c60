// The runtime's one seam to the operating system for file and shared-memory
// work. Every call that can meet a full disk, an I/O error or a refused
// mapping goes through here, so tests can make the nth call of a kind fail
// with a chosen errno (w32rt/testing.h) without touching the code under
// test. Descriptors are always opened close-on-exec.
#pragma once

#include <sys/types.h>

namespace w32rt::sys {

enum class Call { Open, Read, Write, Fsync, Rename, Unlink, Mmap, Ftruncate, Mkdir, Count };

int open(const char* path, int flags, mode_t mode = 0);
int openat(int dirfd, const char* path, int flags, mode_t mode = 0);
ssize_t read(int fd, void* buffer, size_t size);
ssize_t pread(int fd, void* buffer, size_t size, off_t offset);
ssize_t write(int fd, const void* buffer, size_t size);
ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset);
// Loops over short writes; returns size or -1.
ssize_t write_all(int fd, const void* buffer, size_t size);
int fsync(int fd);
int fdatasync(int fd);
int rename(const char* from, const char* to);
// rename that fails with EEXIST instead of replacing (renameat2 NOREPLACE).
int rename_noreplace(const char* from, const char* to);
int unlink(const char* path);
int rmdir(const char* path);
int mkdir(const char* path, mode_t mode);
int ftruncate(int fd, off_t length);
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset);
int close(int fd);
// Opens the folder of path and fsyncs it, so a rename or create survives a
// crash.
int fsync_parent(const char* path);

// Fault injection (see w32rt_fail_syscall).
void arm_fault(Call call, unsigned nth, int err, bool sticky = false);
void clear_faults();

}  // namespace w32rt::sys
