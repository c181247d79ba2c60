// Helpers shared by the host tests.
#pragma once

#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <vector>

#include <shlobj.h>
#include <windows.h>

#include "status_expect.h"
#include "test_support.h"

namespace host_test {

// Sets (or with null, removes) an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

inline std::string user_name() {
    char buf[300];
    DWORD size = sizeof buf;
    if (!GetUserNameA(buf, &size)) return "<error " + std::to_string(GetLastError()) + ">";
    return buf;
}

// SHGetFolderPathA; "<0x%08X>" with the HRESULT when it fails.
inline std::string folder(int csidl, HANDLE token = nullptr) {
    char path[MAX_PATH] = "unchanged";
    HRESULT hr = SHGetFolderPathA(nullptr, csidl, token, SHGFP_TYPE_CURRENT, path);
    if (hr != S_OK) {
        EXPECT_STREQ(path, "") << "the path is emptied on failure";
        char buf[16];
        snprintf(buf, sizeof buf, "<0x%08X>", unsigned(hr));
        return buf;
    }
    return path;
}

// "<owner's uid> <permission bits in octal>", or "missing".
inline std::string owner_and_mode(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "missing";
    char mode[8];
    snprintf(mode, sizeof mode, "%o", unsigned(st.st_mode & 07777));
    return std::to_string(st.st_uid) + " " + mode;
}

inline std::string posix_name_of(uid_t uid) {
    struct passwd* pw = getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

// A helper child run as the user (-1: as ourselves) with its primary group.
inline testing_support::SpawnOptions as_user(int64_t uid, std::vector<std::string> env = {}) {
    testing_support::SpawnOptions options;
    options.uid = uid;
    struct passwd* pw = uid >= 0 ? getpwuid(uid_t(uid)) : nullptr;
    options.gid = uid < 0 ? -1 : pw ? int64_t(pw->pw_gid) : uid;
    options.env = std::move(env);
    return options;
}

}  // namespace host_test
