// The files that make up a machine root, and how a folder is known to be one.
//
// A root holds:
//   w32rt.root           the marker: written when the root is prepared (by a
//                        caller that may write the folder), it tells that the
//                        folder is a machine root. Nothing else is trusted for
//                        that: a folder without it is never destroyed.
//   registry.db          the registry (SQLite), with registry.db-wal and
//   registry.db-shm      registry.db-shm beside it while in WAL mode, and
//   registry.db.init     the lock file of its creation, made with it and kept:
//                        its presence without registry.db means the database
//                        was lost, and the registry then refuses to start an
//                        empty one in its place.
//   drives/<letter>/     the machine's drives (C: is drives/c, mode 01777).
// Everything else of a root lives in shared memory (see machine.h) and dies
// with the machine (reboot) or with destroy_machine_root().
#pragma once

#include <string>

namespace w32rt::root_files {

inline constexpr char kMarker[] = "w32rt.root";
inline constexpr char kRegistry[] = "registry.db";
inline constexpr char kRegistryInit[] = "registry.db.init";

// Writes the marker when it is missing. Best effort: a caller who may not
// write the folder (another user) leaves it to the owner.
void write_marker(const std::string& root);

// True when root is a folder with the marker.
bool is_root(const std::string& root);

// Removes the files the runtime made in root (the registry files, drives/,
// the marker last) and then the folder itself if nothing else is left in it.
// False with errno set when one could not be removed.
bool remove_runtime_files(const std::string& root);

}  // namespace w32rt::root_files
