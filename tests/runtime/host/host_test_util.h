// Helpers shared by the host tests.
#pragma once

#include <pwd.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <windows.h>

#include "status_expect.h"
#include "test_support.h"

namespace host_test {

// Sets (or with null, removes) an environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (old) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_) setenv(name_.c_str(), old_.c_str(), 1);
        else unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

inline std::string user_name() {
    char buf[300];
    DWORD size = sizeof buf;
    if (!GetUserNameA(buf, &size)) return "<error " + std::to_string(GetLastError()) + ">";
    return buf;
}

inline std::string posix_name_of(uid_t uid) {
    struct passwd* pw = getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

inline gid_t primary_gid_of(uid_t uid) {
    struct passwd* pw = getpwuid(uid);
    return pw ? pw->pw_gid : gid_t(uid);
}

// A helper child run as the user (-1: as ourselves) with its primary group.
inline testing_support::SpawnOptions as_user(int64_t uid, std::vector<std::string> env = {}) {
    testing_support::SpawnOptions options;
    options.uid = uid;
    options.gid = uid >= 0 ? int64_t(primary_gid_of(uid_t(uid))) : -1;
    options.env = std::move(env);
    return options;
}

}  // namespace host_test
