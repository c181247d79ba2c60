// The machine root: the directory that stands for one Windows machine.
//
// Registry, named kernel objects and trace sessions of every process using
// the same root meet there, and nothing else meets them. The root is taken
// from EVTRACE_ROOT when the runtime is first used, else default_root().
//
// Further settings read from the environment:
//   EVTRACE_SYSTEM_UID      the uid that is the service account "SYSTEM"
//                           (default 0, the superuser; "none" for no one).
//   EVTRACE_CONSOLE_USER    the user at the console (a user name or uid,
//                           "none" for nobody); unset: the login manager's
//                           active seat0 session, else nobody.
//   EVTRACE_UI_LANGUAGE, EVTRACE_SYSTEM_LANGUAGE
//                           language ids (hex, e.g. 0x0407) that override
//                           the POSIX locale for the user's UI language and
//                           the system language.
//   EVTRACE_PREFERRED_UI_LANGUAGES
//                           comma-separated hex language ids: the thread's
//                           preferred UI languages.
//   EVTRACE_ABSENT_MODULES  comma-separated built-in module names that
//                           LoadLibraryA must not find ("wtsapi32.dll").
//   EVTRACE_CLOCK_OFFSET    100-ns units added to every system time the
//                           runtime reports (see w32rt/testing.h).
#pragma once

#include <w32rt/api.h>

#include <string>
#include <string_view>

namespace w32rt {

// The root in use by this process.
W32RT_API std::string machine_root();

// The root used when EVTRACE_ROOT is not set: a directory of the calling
// user's state folder that needs no special rights.
W32RT_API std::string default_machine_root();

// Points the process at another root (tests give every test its own). State
// bound to the previous root (open registry, shared mappings, sessions seen
// from here) is left behind; handles opened before stay usable.
W32RT_API void use_machine_root(const std::string& root);

// Creates the root directory with the layout the runtime expects, and the
// marker file "w32rt.root" that tells it is a machine root. Returns false and
// sets the last error when it cannot.
W32RT_API bool prepare_machine_root(const std::string& root);

// True when root is a folder prepared as a machine root (it has the marker).
// Nothing is made or changed.
W32RT_API bool is_machine_root(const std::string& root);

// Removes every shared-memory object that belongs to the root and, with
// remove_directory, the files the runtime made in it (registry files,
// drives/, the marker), then the folder itself if nothing else is left.
// Refuses a folder that is not a machine root (ERROR_DIRECTORY) or does not
// exist (ERROR_PATH_NOT_FOUND): false with the last error set. For tests and
// "evtrace root destroy"; processes still using the root are not warned.
W32RT_API bool destroy_machine_root(const std::string& root, bool remove_directory);

// Maps a Windows path (drive letters, backslashes) to the POSIX path inside
// the root; POSIX paths pass through unchanged.
W32RT_API std::string to_posix_path(std::string_view path);

}  // namespace w32rt
