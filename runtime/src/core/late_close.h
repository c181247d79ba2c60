// Descriptors closed off the caller's path.
//
// A file that has lost its last name (replaced by a rename, deleted) is
// freed by the file system when its last descriptor closes: its blocks and
// its inode are released then and there, a journal update that costs ext4
// 100 us and more. When a call of the runtime holds that last descriptor
// itself (the share checks of MoveFileExA and DeleteFileA keep both files
// open across the rename or the unlink), its caller has no use for that
// wait: a thread of the runtime closes the descriptor instead, within
// moments. Nothing can open a file without a name, so no caller can tell,
// but by the space it holds a little longer.
//
// Without a thread (none could be started, or in a child forked without
// running another program) the descriptor is closed at once.
#pragma once

namespace w32rt::late_close {

// Takes over fd and closes it on the runtime's thread.
void close_later(int fd);

// Returns once every descriptor handed over so far is closed.
void settle();

}  // namespace w32rt::late_close
