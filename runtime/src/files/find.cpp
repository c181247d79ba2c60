// Folder searches: FindFirstFileA, FindNextFileA, FindClose.
//
// The matching names are read when the search starts and returned sorted
// without regard to case, "." and ".." first, as NTFS returns them; each
// entry is described when it is returned, and one deleted meanwhile is
// skipped. Deleting files while searching (retention does) is therefore
// safe. Drive roots have no "." and ".." entries, as on Windows.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/handle_table.h"
#include "core/path.h"
#include "core/strings.h"
#include "core/sys.h"
#include "files/file_info.h"
#include "files/wildcard.h"

namespace {

using namespace w32rt;
using namespace w32rt::files;

class FindSearch : public KernelObject {
public:
    FindSearch(std::string folder, std::vector<std::string> names)
        : KernelObject(ObjectKind::FindSearch), folder_(std::move(folder)), names_(std::move(names)) {}

    // Fills data with the next entry that still exists; false at the end.
    bool next(WIN32_FIND_DATAA* data) {
        std::lock_guard<std::mutex> lock(mutex_);
        while (index_ < names_.size()) {
            const std::string& name = names_[index_++];
            FileInfo info;
            if (!info_of_path(folder_ + "/" + name, &info)) continue;
            memset(data, 0, sizeof *data);
            fill_attribute_data(info, data);
            copy_cstr(data->cFileName, sizeof data->cFileName, name);
            return true;
        }
        return false;
    }

private:
    const std::string folder_;
    const std::vector<std::string> names_;
    std::mutex mutex_;
    size_t index_ = 0;  // guarded by mutex_
};

// Ordinal comparison of upper-cased names, as NTFS orders a folder.
bool before(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(ascii_upper(a[i]));
        unsigned char y = static_cast<unsigned char>(ascii_upper(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

}  // namespace

extern "C" {

W32RT_API HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFileName || !lpFindFileData) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::string_view spec(lpFileName);
    if (spec.empty()) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    size_t cut = spec.find_last_of("\\/");
    std::string_view folder_part, pattern;
    if (cut != std::string_view::npos) {
        folder_part = spec.substr(0, cut + 1);
        pattern = spec.substr(cut + 1);
    } else if (spec.size() >= 2 && spec[1] == ':') {
        folder_part = spec.substr(0, 2);
        pattern = spec.substr(2);
    } else {
        pattern = spec;
    }
    // A name ending in a separator names no file.
    if (pattern.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    for (unsigned char c : pattern)
        if (c < 0x20 || c == '|' || c == '<' || c == '>' || c == '"') return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);

    std::string folder = folder_part.empty() ? std::string(".") : map_path(folder_part);
    if (folder.empty()) return fail(ERROR_BAD_PATHNAME, INVALID_HANDLE_VALUE);
    std::string windows_form = unmap_path(folder);
    const bool drive_root = windows_form.size() == 3 && windows_form[1] == ':';

    std::vector<std::string> listed;
    if (sys::list_folder(folder.c_str(), &listed) < 0) {
        int err = errno;
        return fail(err == ENOENT || err == ENOTDIR ? DWORD(ERROR_PATH_NOT_FOUND) : win32_from_errno(err),
                    INVALID_HANDLE_VALUE);
    }
    std::vector<std::string> names;
    bool dot = false, dotdot = false;
    for (std::string& name : listed) {
        if (name == "." || name == "..") {
            if (!drive_root && wildcard_match(pattern, name)) (name == "." ? dot : dotdot) = true;
            continue;
        }
        if (name.size() < MAX_PATH && wildcard_match(pattern, name)) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end(), before);
    if (dotdot) names.insert(names.begin(), "..");
    if (dot) names.insert(names.begin(), ".");

    auto search = std::make_shared<FindSearch>(folder, std::move(names));
    WIN32_FIND_DATAA first;
    if (!search->next(&first)) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    HANDLE handle = HandleTable::instance().insert(search, 0, false);
    if (!handle) return INVALID_HANDLE_VALUE;
    *lpFindFileData = first;
    return handle;
}

W32RT_API BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    auto search = HandleTable::instance().lookup_as<FindSearch>(hFindFile, ObjectKind::FindSearch);
    if (!search) return FALSE;
    if (!lpFindFileData) return fail(ERROR_INVALID_PARAMETER, FALSE);
    return search->next(lpFindFileData) ? TRUE : fail(ERROR_NO_MORE_FILES, FALSE);
}

W32RT_API BOOL WINAPI FindClose(HANDLE hFindFile) {
    HandleTable& table = HandleTable::instance();
    if (!table.lookup_as<FindSearch>(hFindFile, ObjectKind::FindSearch)) return FALSE;
    return table.close(hFindFile) ? TRUE : FALSE;
}

}  // extern "C"
