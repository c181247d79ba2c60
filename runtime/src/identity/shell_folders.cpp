// SHGetFolderPathA: the special folders of a user and of the machine, as
// Windows paths below the machine root's drive C.
//
// A user's folders lie in the profile, C:\Users\<name> (the service
// account's below C:\Windows\System32\config). With CSIDL_FLAG_CREATE
// missing folders are made as the system makes them at logon: with the
// process's own rights even while the thread impersonates, the profile and
// what is below it then handed to the user (when the process may change
// owners), the profile private to its user. C:\Users and C:\ProgramData are
// open to every user for folders of their own, as drive C itself is.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <shlobj.h>
#include <windows.h>

#include "core/error.h"
#include "core/path.h"
#include "core/strings.h"
#include "core/sys.h"
#include "identity/identity.h"

namespace w32rt {

namespace {

constexpr DWORD kFlagDontVerify = 0x4000;  // CSIDL_FLAG_DONT_VERIFY

bool folder_exists(const std::string& windows_path) {
    std::string path = map_path(windows_path);
    struct stat st;
    return !path.empty() && sys::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes the folder and its missing parents; 0 or an errno value.
int create_folder(const std::string& target, const std::string& profile, const UserIdentity* owner) {
    ProcessIdentityScope as_system;
    size_t pos = target.find('\\', 3);  // after "C:\"
    for (;;) {
        std::string prefix = pos == std::string::npos ? target : target.substr(0, pos);
        if (!folder_exists(prefix)) {
            std::string path = map_path(prefix);
            const bool in_profile = owner && !profile.empty() && istarts_with(prefix, profile);
            const bool is_profile = in_profile && prefix.size() == profile.size();
            const bool shared = iequals(prefix, "C:\\Users") || iequals(prefix, "C:\\ProgramData");
            mode_t mode = is_profile ? 0700 : shared ? 01777 : 0755;
            if (path.empty()) return ENOENT;
            if (sys::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return errno;
            sys::chmod(path.c_str(), mode);  // not narrowed by the umask
            if (in_profile && geteuid() == 0 && sys::chown(path.c_str(), owner->uid, owner->gid) != 0) return errno;
        }
        if (pos == std::string::npos) return 0;
        pos = target.find('\\', pos + 1);
    }
}

}  // namespace

}  // namespace w32rt

extern "C" W32RT_API HRESULT WINAPI SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags,
                                                     LPSTR pszPath) {
    if (!pszPath) return E_INVALIDARG;
    pszPath[0] = '\0';
    if (dwFlags != SHGFP_TYPE_CURRENT && dwFlags != SHGFP_TYPE_DEFAULT) return E_INVALIDARG;
    const bool create = (csidl & CSIDL_FLAG_CREATE) != 0;
    const bool verify = (csidl & w32rt::kFlagDontVerify) == 0;
    const int folder = csidl & ~CSIDL_FLAG_MASK;

    // Whose folder: the token's user, the default user's profile (-1), or
    // the calling thread's user.
    std::shared_ptr<const w32rt::UserIdentity> user;
    std::string profile;
    if (hToken == INVALID_HANDLE_VALUE) {
        profile = "C:\\Users\\Default";
    } else if (hToken) {
        DWORD access = 0;
        std::shared_ptr<w32rt::TokenObject> token = w32rt::lookup_token(hToken, &access);
        if (!token) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
        if (!(access & TOKEN_QUERY)) return E_ACCESSDENIED;
        user = token->user;
    } else {
        user = w32rt::thread_identity();
    }
    if (user) profile = w32rt::profile_folder(*user);

    std::string path;
    bool per_user = true;
    switch (folder) {
        case CSIDL_APPDATA: path = profile + "\\AppData\\Roaming"; break;
        case CSIDL_LOCAL_APPDATA: path = profile + "\\AppData\\Local"; break;
        case CSIDL_PROFILE: path = profile; break;
        case CSIDL_PERSONAL: path = profile + "\\Documents"; break;
        case CSIDL_DESKTOP: path = profile + "\\Desktop"; break;
        default: per_user = false; break;
    }
    if (!per_user) {
        switch (folder) {
            case CSIDL_COMMON_APPDATA: path = "C:\\ProgramData"; break;
            case CSIDL_WINDOWS: path = "C:\\Windows"; break;
            case CSIDL_SYSTEM: path = "C:\\Windows\\System32"; break;
            case CSIDL_PROGRAM_FILES: path = "C:\\Program Files"; break;
            default: return E_INVALIDARG;
        }
    }
    if (path.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

    if (!w32rt::folder_exists(path)) {
        if (create) {
            int err = w32rt::create_folder(path, per_user ? profile : std::string(), user.get());
            if (err != 0) return HRESULT_FROM_WIN32(w32rt::win32_from_errno(err));
        } else if (verify) {
            return E_FAIL;  // a real folder that is not there
        }
    }
    memcpy(pszPath, path.c_str(), path.size() + 1);
    return S_OK;
}
