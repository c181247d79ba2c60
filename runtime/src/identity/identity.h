// Users, access tokens and per-thread impersonation.
//
// A user is a POSIX account; the uid configured as the service account
// (system_account_uid(), EVTRACE_SYSTEM_UID) is "SYSTEM". A token names a
// user; impersonating it changes the calling thread's file-system identity
// (fsuid, fsgid and supplementary groups, set with the raw system calls, as
// glibc's wrappers would change every thread) so that file work done while
// impersonating happens with that user's rights, on that thread only.
//
// Linux threads start with their creator's credentials, Windows threads with
// the process's token: a thread made while its creator impersonates starts
// with the creator's file-system identity until reset_thread_identity().
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "core/handle_table.h"

namespace w32rt {

struct UserIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    std::string posix_name;     // the account's name, or the uid in decimal

    bool is_system() const;
    // The Windows account name: "SYSTEM" for the service account.
    std::string account_name() const;
};

// The account of a uid, with its primary and supplementary groups.
std::shared_ptr<const UserIdentity> identity_of_uid(uid_t uid);

// The process's own user (effective ids).
std::shared_ptr<const UserIdentity> process_identity();

// The user the calling thread acts as: the impersonated one, else the
// process's.
std::shared_ptr<const UserIdentity> thread_identity();

// True while the calling thread impersonates.
bool thread_is_impersonating();

// Drops an impersonation the thread may have inherited at creation (see the
// file comment); for thread start routines.
void reset_thread_identity();

// While alive, the calling thread acts with the process's own file-system
// identity (for work the system does on a user's behalf, such as making
// that user's profile folders).
class ProcessIdentityScope {
public:
    ProcessIdentityScope();
    ~ProcessIdentityScope();
    ProcessIdentityScope(const ProcessIdentityScope&) = delete;
    ProcessIdentityScope& operator=(const ProcessIdentityScope&) = delete;

private:
    bool switched_ = false;
};

// The computer name: the host name up to its first dot, upper case, at most
// MAX_COMPUTERNAME_LENGTH characters.
std::string computer_name();

// The Windows path of a user's profile folder: C:\Users\<name>, or the
// service account's profile below C:\Windows\System32\config.
std::string profile_folder(const UserIdentity& user);

class TokenObject : public KernelObject {
public:
    TokenObject(std::shared_ptr<const UserIdentity> user, bool impersonation)
        : KernelObject(ObjectKind::Token), user(std::move(user)), impersonation(impersonation) {}

    const std::shared_ptr<const UserIdentity> user;
    const bool impersonation;  // else a primary token
};

// A new handle to a new token object; null with the last error set.
HANDLE open_token(std::shared_ptr<const UserIdentity> user, bool impersonation, DWORD access);

// The token behind a handle; null with ERROR_INVALID_HANDLE.
std::shared_ptr<TokenObject> lookup_token(HANDLE handle, DWORD* access = nullptr);

}  // namespace w32rt
