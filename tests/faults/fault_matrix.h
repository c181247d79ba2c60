// The fault matrix: every writing path of the system, run again and again
// while the 1st, 2nd, ... nth system call of each kind fails (ENOSPC, EIO,
// EACCES in turn) until the path completes without reaching the armed call,
// and again while a process running it is killed at each of those calls.
// After every attempt the path checks its state: what it reported must be
// what happened, and no file is torn or emptied. The runner checks that
// handles, descriptors and memory are back where they were.
//
// A path is a class with a few hooks, registered under a name:
//
//   class MyPath : public faults::WritingPath {
//       void prepare() override { ... }        // the state before, e.g. an older file
//       bool run() override { ... }            // the operation; true when it reported success
//       void check(faults::Outcome o) override { ... }  // what must hold now
//   };
//   FAULT_PATH(MyPath);
//
// README.md (beside this file) tells how a new path joins.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <w32rt/testing.h>
#include <windows.h>

namespace faults {

// What an attempt came to.
enum class Outcome {
    Succeeded,  // the operation reported success
    Failed,     // it reported a failure
    Killed,     // its process was killed part-way (kill matrix)
};
const char* outcome_name(Outcome outcome);

class WritingPath {
public:
    virtual ~WritingPath() = default;

    // Once per process that runs the path, before any attempt and outside
    // the matrix: objects the operation needs (an initialised library, a
    // filled queue). Not faulted.
    virtual void arrange() {}
    // Before each attempt, in the checking process, no fault armed: the
    // state the operation starts from.
    virtual void prepare() {}
    // The operation. True when it reported success.
    virtual bool run() = 0;
    // After each attempt, in the checking process, no fault armed: gtest
    // expectations that the state is what the outcome says.
    virtual void check(Outcome outcome) = 0;
    // In a kill test, the next process that uses the path after the writer
    // ended (this one); true when it reported success. By default the
    // operation itself.
    virtual bool run_as_next_user() { return run(); }
    // After each attempt and its check: leaves nothing that prepare() does
    // not set again (a running session, stray files of a killed writer).
    virtual void cleanup() {}
    // After the last attempt, in each process that arranged.
    virtual void release() {}

    // The kinds of call worth failing; all by default.
    virtual std::vector<w32rt_call> kinds() const;
    // Why the path cannot run here (empty: it can).
    virtual std::string skip_reason() const { return {}; }
    // Whether an attempt may leave memory behind on purpose (a new machine
    // root per attempt keeps its state for the life of the process).
    virtual bool keeps_memory() const { return false; }
    // Whether descriptors may stay open after an attempt (connections kept
    // by machine roots switched away from).
    virtual bool keeps_descriptors() const { return false; }
};

using PathFactory = std::function<std::unique_ptr<WritingPath>()>;

struct PathRegistrar {
    PathRegistrar(const char* name, PathFactory factory);
};

#define FAULT_PATH(Class) \
    static const ::faults::PathRegistrar Class##_registrar(#Class, [] { return std::make_unique<Class>(); })

std::vector<std::string> path_names();
std::unique_ptr<WritingPath> make_path(const std::string& name);

// ---- Helpers for paths -----------------------------------------------------

// The image of an event record (_VANTA_EVTRACE_DATA with its text as data),
// as the library stores and logs records.
std::string record_image(const std::string& text, DWORD code, const std::string& source);

// The bytes of a file; nothing when it does not exist.
std::optional<std::string> file_bytes(const std::string& windows_path);
// Writes a file whole, outside the matrix.
void put_file(const std::string& windows_path, const std::string& bytes);
// Temporary files this process left in a folder ("<name>.<pid>-<n>.tmp",
// as the library names them).
std::vector<std::string> stray_temporaries(const std::string& windows_folder);
// Removes every temporary file there, other processes' too (a killed
// writer's leftovers).
void remove_stray_temporaries(const std::string& windows_folder);

// The data of a registry value under HKEY_LOCAL_MACHINE as the database file
// holds it, read through a connection of its own (what the next process
// sees); nothing when the key or value is missing.
std::optional<std::string> stored_value(const std::string& key_path, const std::string& value_name);
// Whether the key exists in the database file.
bool stored_key_exists(const std::string& key_path);
// PRAGMA integrity_check of the registry file: "ok" when whole.
std::string registry_integrity();

}  // namespace faults
