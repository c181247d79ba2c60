#include "core/machine.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <w32rt/machine.h>

#include "core/error.h"
#include "core/hash.h"
#include "core/path.h"
#include "core/root_files.h"
#include "core/segments.h"
#include "core/sys.h"

namespace w32rt {

namespace {

std::atomic<Machine*> g_current{nullptr};
std::mutex g_switch_mutex;

std::string canonical(const std::string& path) {
    std::string out;
    return sys::realpath(path.c_str(), &out) == 0 ? out : path;
}

std::string hash_of_root(const std::string& root) {
    char buf[17];
    snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(fnv1a_64(canonical(root))));
    return buf;
}

bool make_dirs(const std::string& path, mode_t mode) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (sys::mkdir(partial.c_str(), mode) < 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

Machine::Machine(std::string root) : root_(std::move(root)) {
    hash_ = hash_of_root(root_);
    struct stat st;
    if (sys::stat(root_.c_str(), &st) == 0) {
        owner_uid_ = st.st_uid;
        owner_known_ = true;
    }
}

void set_current_machine(const std::string& root) {
    std::lock_guard<std::mutex> lock(g_switch_mutex);
    prepare_machine_root(root);
    Machine* previous = g_current.exchange(new Machine(canonical(root)), std::memory_order_acq_rel);
    // Threads may still hold the machine switched away from (only tests
    // switch): it stays alive, and reachable, for the life of the process.
    if (previous) {
        static auto* retired = new std::vector<Machine*>;
        retired->push_back(previous);
    }
}

Machine& Machine::current() {
    Machine* m = g_current.load(std::memory_order_acquire);
    if (m) return *m;
    {
        std::lock_guard<std::mutex> lock(g_switch_mutex);
        m = g_current.load(std::memory_order_relaxed);
        if (m) return *m;
    }
    const char* env = getenv("EVTRACE_ROOT");
    set_current_machine(env && *env ? std::string(env) : default_machine_root());
    return *g_current.load(std::memory_order_acquire);
}

bool Machine::caller_is_administrator() const {
    uid_t euid = geteuid();
    if (euid == 0) return true;
    return owner_known_ && euid == owner_uid_;
}

std::string Machine::shm_name(std::string_view what) const {
    std::string name = "/evtrace.";
    name += hash_;
    name += '.';
    name += what;
    return name;
}

std::string Machine::file(std::string_view relative) const {
    std::string path = root_;
    path += '/';
    path += relative;
    return path;
}

int64_t system_account_uid() {
    static const int64_t uid = [] {
        const char* env = getenv("EVTRACE_SYSTEM_UID");
        if (!env || !*env) return int64_t(0);
        if (strcmp(env, "none") == 0) return int64_t(-1);
        char* end = nullptr;
        long long v = strtoll(env, &end, 10);
        return (end && *end == '\0' && v >= 0) ? int64_t(v) : int64_t(0);
    }();
    return uid;
}

std::string machine_root() { return Machine::current().root(); }

std::string default_machine_root() {
    const char* state = getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/evtrace/machine";
    const char* home = getenv("HOME");
    if (home && *home == '/') return std::string(home) + "/.local/state/evtrace/machine";
    return "/tmp/evtrace-" + std::to_string(getuid()) + "/machine";
}

void use_machine_root(const std::string& root) { set_current_machine(root); }

bool prepare_machine_root(const std::string& root) {
    if (!make_dirs(root, 0755)) return fail_errno(errno, false);
    // Drive C is shared by every user of the machine, like /tmp.
    std::string drive = root + "/drives/c";
    if (!make_dirs(drive, 0755)) return fail_errno(errno, false);
    struct stat st;
    if (sys::stat(drive.c_str(), &st) == 0 && (st.st_mode & 07777) != 01777 && st.st_uid == geteuid())
        sys::chmod(drive.c_str(), 01777);
    root_files::write_marker(root);
    return true;
}

bool is_machine_root(const std::string& root) { return root_files::is_root(root); }

bool destroy_machine_root(const std::string& root, bool remove_directory) {
    struct stat st;
    if (sys::stat(root.c_str(), &st) != 0)
        return errno == ENOENT ? fail(ERROR_PATH_NOT_FOUND, false) : fail_errno(errno, false);
    // Only a folder the runtime prepared: never a user's folder named by a
    // mistyped EVTRACE_ROOT.
    if (!root_files::is_root(root)) return fail(ERROR_DIRECTORY, false);
    std::string prefix = "evtrace." + hash_of_root(root) + ".";
    std::vector<std::string> names;
    sys::list_folder("/dev/shm", &names);
    for (const std::string& name : names)
        if (name.compare(0, prefix.size(), prefix) == 0) sys::shm_unlink(("/" + name).c_str());
    remove_admin_folders(canonical(root), prefix);
    if (remove_directory && !root_files::remove_runtime_files(canonical(root))) return fail_errno(errno, false);
    return true;
}

std::string to_posix_path(std::string_view path) { return map_path(path); }

}  // namespace w32rt
