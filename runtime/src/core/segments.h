// Shared-memory segments of a machine root, by who may write them.
//
// A segment's owner and mode follow who may write it, as Windows' access
// rules say for what the segment holds:
//
//   Administrators      0644  the administrators (the root's owner and the
//                             superuser) write, every user reads: the session
//                             directory, each session's control state, the
//                             registry's change journal
//   AdministratorsOnly  0600  only the administrators open it: their locks
//   Everyone            0666  every user reads and writes: consumer rings,
//                             producers' writer slots, objects with a null
//                             DACL, the debugger output, the message names
//   User                0600  one user alone: its objects with default
//                             security
//   UserPublished       0644  one user writes, every user reads: the tokens
//                             by which its threads own mutexes
//
// Where they live. A name in /dev/shm can be made by any user before its
// rightful creator gets to it, so segments that must be the administrators'
// live in the administrators' folder, /dev/shm/evtrace.<hash>.<random>,
// which only they can write in. Its random name is chosen by the first
// administrator's process after each boot and kept in the root, in
// "w32rt.shm.<boot id>" (mode 0600: other users cannot learn the name
// before the folder exists, so they cannot take it first); other users find
// the folder as the one administrator-owned folder of the root in /dev/shm.
// Segments anyone may create (Everyone ones of the root, and the segments
// of users who are not administrators) stay at /dev/shm/evtrace.<hash>.<what>.
//
// Trust is judged on the opened descriptor, never on the name: every open
// is O_NOFOLLOW, and fstat must show a regular file whose owner is the one
// its access class allows (the administrators, the user, anyone for
// Everyone at the top level) and whose mode gives no one else write access.
// A segment that fails this was made by someone else ("squatting") and is
// refused with ERROR_ACCESS_DENIED and a debugger-output text saying what
// was found and how to remove it; it is never mapped.
//
// A segment is created with mode 0600 and given its final mode once its
// creator has initialised it, so no other user can open (and lock or
// scribble on) a segment under construction.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>

#include <windows.h>

namespace w32rt {

class Machine;

enum class SegmentAccess : uint8_t { Administrators, AdministratorsOnly, Everyone, User, UserPublished };

struct Segment {
    std::string what;  // "etw.directory", "objects.u1000", ...
    SegmentAccess access = SegmentAccess::Everyone;
    bool admin_folder = false;  // in the administrators' folder, else at the top of /dev/shm
    uid_t user = 0;             // the user of User and UserPublished segments
};

// A segment of the administrators' folder.
Segment admin_segment(std::string what, SegmentAccess access);
// An Everyone segment at the top of /dev/shm.
Segment public_segment(std::string what);
// A segment of one user: in the administrators' folder when the user is an
// administrator, else at the top of /dev/shm.
Segment user_segment(Machine& machine, std::string what, uid_t user, bool published);

// The mode a segment has once initialised.
mode_t segment_mode(SegmentAccess access);

// True when the calling process may write the segment (and so create it).
bool segment_writable(Machine& machine, const Segment& segment);

enum class SegmentOpen {
    Existing,  // open it; ERROR_FILE_NOT_FOUND when there is none
    Create,    // open it, creating it (mode 0600) when there is none
    Fresh,     // create it anew, replacing a stale one of the name
};

struct OpenedSegment {
    int fd = -1;
    bool writable = false;
    bool created = false;  // this call made the file (still mode 0600)
    size_t size = 0;       // st_size when opened
};

// Opens a segment's file, read-write when the caller may write it, else
// read-only, and checks its owner and mode on the descriptor. False with
// the last error set: ERROR_FILE_NOT_FOUND (none, or the administrators'
// folder does not exist yet), ERROR_ACCESS_DENIED (may not create it, or
// it is someone else's), or the error of the failing call.
bool open_segment(Machine& machine, const Segment& segment, SegmentOpen how, OpenedSegment* out);

// Gives a segment this process created its final mode, and to the root's
// owner when the superuser made an administrators' segment for it.
void publish_segment(Machine& machine, const Segment& segment, int fd);

// Removes a segment's name; mappings stay valid until unmapped.
bool remove_segment(Machine& machine, const Segment& segment);

// The path of a segment, for messages and tests.
std::string segment_path(Machine& machine, const Segment& segment);

// The administrators' folder's descriptor (O_PATH), made when `create` and
// the caller is an administrator; -1 with the last error set when there is
// none (ERROR_FILE_NOT_FOUND) or it cannot be made.
int admin_folder_fd(Machine& machine, bool create);

// Removes the administrators' folders of a root with every segment in them
// (root destruction). `prefix` is "evtrace.<hash>.".
void remove_admin_folders(const std::string& root, const std::string& prefix);

// Tells the debugger output, once per path and process, that a segment was
// refused, with what was found and the fix.
void report_refused_segment(const std::string& path, const char* why);

// Keeps the calling thread's refusals from being reported for a scope: the
// debugger output's own segments cannot be reported through it.
class QuietRefusals {
public:
    QuietRefusals();
    ~QuietRefusals();
    QuietRefusals(const QuietRefusals&) = delete;
    QuietRefusals& operator=(const QuietRefusals&) = delete;

private:
    bool was_;
};

}  // namespace w32rt
