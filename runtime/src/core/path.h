// The one place where Windows paths become POSIX paths.
//
//   C:\Dir\File.txt     -> <root>/drives/c/Dir/File.txt
//   \Dir\File.txt       -> <root>/drives/c/Dir/File.txt  (current drive: C)
//   Dir\File.txt        -> Dir/File.txt                   (relative)
//   \\?\C:\Dir          -> <root>/drives/c/Dir
//   /usr/share/x        -> /usr/share/x                   (POSIX: unchanged)
//   /var/log\App\x.csv   -> /var/log/App/x.csv             (POSIX, joined the Windows way)
//
// Drive letters compare without regard to case. Components that do not
// exist with the spelling given are looked up without regard to case, as
// Windows file systems do, so "settings\alerthistory.bin" finds
// "Settings/AlertHistory.bin". UNC paths (\\server\share) are refused.
#pragma once

#include <string>
#include <string_view>

namespace w32rt {

// The mapped path; empty when the path cannot be mapped (UNC, empty).
std::string map_path(std::string_view path);

// True when the path is written the Windows way (drive letter or backslash).
bool is_windows_path(std::string_view path);

// The Windows spelling of a POSIX path inside a drive of the machine root
// ("<root>/drives/c/Logs" -> "C:\Logs", the drive itself -> "C:\"); any
// other path is returned unchanged.
std::string unmap_path(std::string_view posix_path);

// Removes a directory tree (tests, root destruction). Best effort.
void remove_tree(const std::string& path);

}  // namespace w32rt
