#include "core/path.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "core/machine.h"
#include "core/strings.h"
#include "core/sys.h"

namespace w32rt {

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return sys::lstat(path.c_str(), &st) == 0;
}

std::string join(const std::string& prefix, const std::vector<std::string>& parts, size_t count) {
    std::string path = prefix;
    for (size_t i = 0; i < count; ++i) {
        if (!path.empty() && path.back() != '/') path += '/';
        path += parts[i];
    }
    return path;
}

// Resolves each missing component of path (below the fixed prefix) by a
// case-insensitive match in its folder. Components that match nothing are
// kept as written (the caller may be about to create them).
std::string resolve_case(const std::string& prefix, const std::vector<std::string>& parts) {
    // Most paths name what exists as spelled, or something new in a folder
    // that does: one or two lookups then settle what the walk below would
    // find component by component.
    std::string whole = join(prefix, parts, parts.size());
    if (parts.empty() || exists(whole)) return whole;
    size_t known = 0;
    if (parts.size() > 1 && exists(join(prefix, parts, parts.size() - 1))) known = parts.size() - 1;
    std::string path = join(prefix, parts, known);
    bool searching = true;
    for (size_t i = known; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        std::string candidate = path + (path.empty() || path.back() == '/' ? "" : "/") + part;
        // The last name below a folder known as spelled is the whole path,
        // already looked up.
        const bool known_missing = i + 1 == parts.size() && i == known;
        if (searching && (known_missing || !exists(candidate))) {
            std::string found;
            std::vector<std::string> names;
            sys::list_folder(path.empty() ? "." : path.c_str(), &names);
            for (std::string& name : names) {
                if (iequals(name, part)) {
                    found = std::move(name);
                    break;
                }
            }
            if (!found.empty()) {
                candidate = path + (path.empty() || path.back() == '/' ? "" : "/") + found;
            } else {
                searching = false;  // nothing below a missing folder exists
            }
        }
        path = std::move(candidate);
    }
    return path;
}

std::vector<std::string> split(std::string_view s) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = s.size();
        std::string_view part = s.substr(start, end - start);
        if (!part.empty() && part != ".") {
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else {
                parts.emplace_back(part);
            }
        }
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool is_windows_path(std::string_view path) {
    if (path.size() >= 2 && path[1] == ':' && ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z')))
        return true;
    return path.find('\\') != std::string_view::npos;
}

std::string map_path(std::string_view path) {
    if (path.empty()) return {};
    if (path.substr(0, 4) == "\\\\?\\") path.remove_prefix(4);
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return {};  // UNC
    if (!is_windows_path(path)) return std::string(path);

    char drive = 0;
    if (path.size() >= 2 && path[1] == ':') {
        drive = ascii_lower(path[0]);
        path.remove_prefix(2);
        if (path.empty() || (path[0] != '\\' && path[0] != '/')) {
            // "C:relative" is relative to the drive's current folder, which
            // is always its root here.
        }
    } else if (path[0] == '\\') {
        drive = 'c';
    }

    std::vector<std::string> parts = split(path);
    // A POSIX path with Windows separators appended (a folder the runtime
    // reported, then joined with "\\name"): absolute, outside the drives.
    if (!drive && path[0] == '/') return resolve_case("/", parts);
    if (drive) {
        std::string prefix = Machine::current().root() + "/drives/" + drive;
        return resolve_case(prefix, parts);
    }
    // Relative Windows path: relative to the working folder.
    return resolve_case(std::string(), parts);
}

std::string unmap_path(std::string_view posix_path) {
    const std::string prefix = Machine::current().root() + "/drives/";
    if (posix_path.size() < prefix.size() + 1 || posix_path.substr(0, prefix.size()) != prefix)
        return std::string(posix_path);
    char drive = posix_path[prefix.size()];
    std::string_view rest = posix_path.substr(prefix.size() + 1);
    if (drive < 'a' || drive > 'z' || (!rest.empty() && rest[0] != '/')) return std::string(posix_path);
    std::string out;
    out += ascii_upper(drive);
    out += ":\\";
    for (std::string& part : split(rest)) {
        if (out.back() != '\\') out += '\\';
        out += part;
    }
    return out;
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (sys::lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        sys::list_folder(path.c_str(), &names);
        for (const std::string& n : names)
            if (n != "." && n != "..") remove_tree(path + "/" + n);
        sys::rmdir(path.c_str());
    } else {
        sys::unlink(path.c_str());
    }
}

}  // namespace w32rt
