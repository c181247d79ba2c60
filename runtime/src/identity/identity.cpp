// Users, tokens and impersonation: GetUserNameA, GetUserNameExA,
// GetComputerNameA, OpenProcessToken, OpenThreadToken,
// ImpersonateLoggedOnUser and RevertToSelf.
#include "identity/identity.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

#include <secext.h>
#include <windows.h>

#include "core/error.h"
#include "core/machine.h"
#include "core/strings.h"
#include "core/sys.h"

namespace w32rt {

namespace {

// The thread's impersonation. own_groups are the thread's supplementary
// groups from before its first impersonation, restored by RevertToSelf.
struct ThreadImpersonation {
    std::shared_ptr<const UserIdentity> user;
    std::vector<gid_t> own_groups;
    bool saved_groups = false;
};

thread_local ThreadImpersonation t_impersonation;

// glibc's setgroups, setfsuid and friends would act on every thread of the
// process (setgroups) or are not guaranteed per thread; the system calls
// act on the calling thread only.
uid_t current_fsuid() { return uid_t(syscall(SYS_setfsuid, uid_t(-1))); }
gid_t current_fsgid() { return gid_t(syscall(SYS_setfsgid, gid_t(-1))); }

std::vector<gid_t> current_groups() {
    int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? size_t(n) : 0);
    if (n > 0) {
        n = getgroups(n, groups.data());
        groups.resize(n > 0 ? size_t(n) : 0);
    }
    return groups;
}

// Sets the calling thread's file-system identity; the error number on
// failure (nothing changed then).
int apply_fs_identity(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    if (current_groups() != groups && syscall(SYS_setgroups, groups.size(), groups.data()) != 0) return errno;
    syscall(SYS_setfsgid, gid);
    if (current_fsgid() != gid) return EPERM;
    syscall(SYS_setfsuid, uid);
    if (current_fsuid() != uid) return EPERM;
    return 0;
}

// The account name of the process's own user. Looking it up reads the
// whole user database (six system calls for its file), and a process asks
// for its own name with nearly every path it resolves; the name is kept
// while the database file is the one it was read from.
std::string own_account_name(uid_t uid) {
    struct Kept {
        bool valid = false;
        uid_t uid = 0;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified = {};
        std::string name;
    };
    // Never destroyed: threads may still ask while the process exits.
    static std::mutex& lock = *new std::mutex;
    static Kept& kept = *new Kept;
    struct stat database;
    const bool stamped = sys::stat("/etc/passwd", &database) == 0;
    auto same = [&](const Kept& k) {
        return k.valid && stamped && k.uid == uid && k.device == database.st_dev && k.inode == database.st_ino &&
               k.size == database.st_size && k.modified.tv_sec == database.st_mtim.tv_sec &&
               k.modified.tv_nsec == database.st_mtim.tv_nsec;
    };
    {
        std::lock_guard<std::mutex> hold(lock);
        if (same(kept)) return kept.name;
    }
    struct passwd pw, *found = nullptr;
    char buf[4096];
    const bool known = getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found;
    std::string name = known ? std::string(found->pw_name) : std::to_string(uid);
    if (known && stamped) {
        std::lock_guard<std::mutex> hold(lock);
        kept = Kept{true, uid, database.st_dev, database.st_ino, database.st_size, database.st_mtim, name};
    }
    return name;
}

std::shared_ptr<const UserIdentity> own_identity() {
    auto self = std::make_shared<UserIdentity>();
    self->uid = geteuid();
    self->gid = getegid();
    self->groups = t_impersonation.saved_groups ? t_impersonation.own_groups : current_groups();
    self->posix_name = own_account_name(self->uid);
    return self;
}

}  // namespace

bool UserIdentity::is_system() const {
    int64_t system = system_account_uid();
    return system >= 0 && uid == uid_t(system);
}

std::string UserIdentity::account_name() const { return is_system() ? std::string("SYSTEM") : posix_name; }

std::shared_ptr<const UserIdentity> identity_of_uid(uid_t uid) {
    auto user = std::make_shared<UserIdentity>();
    user->uid = uid;
    user->gid = gid_t(uid);
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found) {
        user->posix_name = found->pw_name;
        user->gid = found->pw_gid;
        int n = 64;
        std::vector<gid_t> groups(static_cast<size_t>(n));
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &n) < 0) {
            groups.resize(size_t(n));
            getgrouplist(found->pw_name, found->pw_gid, groups.data(), &n);
        }
        groups.resize(size_t(n > 0 ? n : 0));
        user->groups = std::move(groups);
    } else {
        user->posix_name = std::to_string(uid);
        user->groups = {user->gid};
    }
    return user;
}

std::shared_ptr<const UserIdentity> process_identity() { return own_identity(); }

std::shared_ptr<const UserIdentity> thread_identity() {
    if (t_impersonation.user) return t_impersonation.user;
    return own_identity();
}

bool thread_is_impersonating() { return t_impersonation.user != nullptr; }

void reset_thread_identity() {
    if (t_impersonation.user) return;
    if (current_fsuid() != geteuid() || current_fsgid() != getegid()) {
        syscall(SYS_setfsgid, getegid());
        syscall(SYS_setfsuid, geteuid());
    }
}

ProcessIdentityScope::ProcessIdentityScope() {
    if (!t_impersonation.user) return;
    switched_ = apply_fs_identity(geteuid(), getegid(), t_impersonation.own_groups) == 0;
}

ProcessIdentityScope::~ProcessIdentityScope() {
    if (switched_) {
        const UserIdentity& user = *t_impersonation.user;
        apply_fs_identity(user.uid, user.gid, user.groups);
    }
}

std::string computer_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return "LOCALHOST";
    std::string name(host, strcspn(host, "."));
    for (char& c : name) c = ascii_upper(c);
    if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
    return name;
}

std::string profile_folder(const UserIdentity& user) {
    if (user.is_system()) return "C:\\Windows\\System32\\config\\systemprofile";
    return "C:\\Users\\" + user.posix_name;
}

HANDLE open_token(std::shared_ptr<const UserIdentity> user, bool impersonation, DWORD access) {
    if (access & MAXIMUM_ALLOWED) access = TOKEN_ALL_ACCESS;
    auto token = std::make_shared<TokenObject>(std::move(user), impersonation);
    return HandleTable::instance().insert(token, access, false);
}

std::shared_ptr<TokenObject> lookup_token(HANDLE handle, DWORD* access) {
    return HandleTable::instance().lookup_as<TokenObject>(handle, ObjectKind::Token, access);
}

}  // namespace w32rt

using w32rt::fail;

namespace {

// Tokens of other processes and threads would need their credentials, which
// their handles here do not carry: ERROR_NOT_SUPPORTED for a handle of the
// kind, ERROR_INVALID_HANDLE for any other.
BOOL refuse_foreign_token(HANDLE handle, w32rt::ObjectKind kind) {
    w32rt::ObjectPtr object = w32rt::HandleTable::instance().lookup(handle);
    if (!object) return FALSE;
    return fail(object->kind() == kind ? DWORD(ERROR_NOT_SUPPORTED) : DWORD(ERROR_INVALID_HANDLE), FALSE);
}

}  // namespace

extern "C" {

W32RT_API BOOL WINAPI GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer) {
    if (!pcbBuffer) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::string name = w32rt::thread_identity()->account_name();
    DWORD needed = DWORD(name.size() + 1);
    if (!lpBuffer || *pcbBuffer < needed) {
        *pcbBuffer = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    memcpy(lpBuffer, name.c_str(), needed);
    *pcbBuffer = needed;
    return TRUE;
}

W32RT_API BOOLEAN WINAPI GetUserNameExA(EXTENDED_NAME_FORMAT NameFormat, LPSTR lpNameBuffer, PULONG nSize) {
    if (!nSize) return fail(ERROR_INVALID_PARAMETER, BOOLEAN(FALSE));
    if (NameFormat != NameSamCompatible) return fail(ERROR_NONE_MAPPED, BOOLEAN(FALSE));
    std::shared_ptr<const w32rt::UserIdentity> user = w32rt::thread_identity();
    std::string name = user->is_system() ? std::string("NT AUTHORITY\\SYSTEM")
                                         : w32rt::computer_name() + "\\" + user->account_name();
    ULONG needed = ULONG(name.size() + 1);
    if (!lpNameBuffer || *nSize < needed) {
        *nSize = needed;
        return fail(ERROR_MORE_DATA, BOOLEAN(FALSE));
    }
    memcpy(lpNameBuffer, name.c_str(), needed);
    *nSize = ULONG(name.size());
    return TRUE;
}

W32RT_API BOOL WINAPI GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    if (!nSize) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::string name = w32rt::computer_name();
    if (!lpBuffer || *nSize < name.size() + 1) {
        *nSize = DWORD(name.size() + 1);
        return fail(ERROR_BUFFER_OVERFLOW, FALSE);
    }
    memcpy(lpBuffer, name.c_str(), name.size() + 1);
    *nSize = DWORD(name.size());
    return TRUE;
}

W32RT_API BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (!TokenHandle) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *TokenHandle = nullptr;
    if (ProcessHandle != GetCurrentProcess()) return refuse_foreign_token(ProcessHandle, w32rt::ObjectKind::Process);
    HANDLE token = w32rt::open_token(w32rt::process_identity(), false, DesiredAccess);
    if (!token) return FALSE;
    *TokenHandle = token;
    return TRUE;
}

// OpenAsSelf chooses whose rights the opening is checked against (the
// process's or the impersonated user's); tokens carry no access list here,
// so both succeed alike.
W32RT_API BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle) {
    if (!TokenHandle) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *TokenHandle = nullptr;
    if (ThreadHandle != GetCurrentThread()) return refuse_foreign_token(ThreadHandle, w32rt::ObjectKind::Thread);
    if (!w32rt::thread_is_impersonating()) return fail(ERROR_NO_TOKEN, FALSE);
    HANDLE token = w32rt::open_token(w32rt::thread_identity(), true, DesiredAccess);
    if (!token) return FALSE;
    *TokenHandle = token;
    return TRUE;
}

W32RT_API BOOL WINAPI ImpersonateLoggedOnUser(HANDLE hToken) {
    DWORD access = 0;
    std::shared_ptr<w32rt::TokenObject> token = w32rt::lookup_token(hToken, &access);
    if (!token) return FALSE;
    const DWORD needed = TOKEN_QUERY | (token->impersonation ? TOKEN_IMPERSONATE : TOKEN_DUPLICATE);
    if ((access & needed) != needed) return fail(ERROR_ACCESS_DENIED, FALSE);
    const w32rt::UserIdentity& user = *token->user;
    // Acting as another user takes the superuser's rights; acting as
    // oneself does not.
    if (geteuid() != 0 && (user.uid != geteuid() || user.gid != getegid())) return fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);

    w32rt::ThreadImpersonation& state = w32rt::t_impersonation;
    if (!state.saved_groups) {
        state.own_groups = w32rt::current_groups();
        state.saved_groups = true;
    }
    std::shared_ptr<const w32rt::UserIdentity> acting = token->user;
    if (geteuid() != 0 && user.groups != state.own_groups) {
        // Without the right to change groups, oneself keeps one's own.
        auto own = std::make_shared<w32rt::UserIdentity>(user);
        own->groups = state.own_groups;
        acting = own;
    }
    int err = w32rt::apply_fs_identity(acting->uid, acting->gid, acting->groups);
    if (err != 0) {
        // Back to where the thread was.
        if (state.user) w32rt::apply_fs_identity(state.user->uid, state.user->gid, state.user->groups);
        else w32rt::apply_fs_identity(geteuid(), getegid(), state.own_groups);
        return fail(err == EPERM ? DWORD(ERROR_PRIVILEGE_NOT_HELD) : w32rt::win32_from_errno(err), FALSE);
    }
    state.user = acting;
    return TRUE;
}

W32RT_API BOOL WINAPI RevertToSelf(void) {
    w32rt::ThreadImpersonation& state = w32rt::t_impersonation;
    if (!state.user) return TRUE;
    int err = w32rt::apply_fs_identity(geteuid(), getegid(), state.own_groups);
    if (err != 0) return w32rt::fail_errno(err, FALSE);
    state.user.reset();
    return TRUE;
}

}  // extern "C"
