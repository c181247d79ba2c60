// What Windows reports about a file, and the creation time the runtime keeps.
//
// File systems differ in what they record at creation, and none lets a
// program set it, so the runtime keeps the creation time itself: when it
// creates a file it stamps the extended attribute "user.w32rt.crtime" (a
// little-endian FILETIME, 8 bytes) with its clock, and SetFileTime rewrites
// it. Files without the attribute (made by other programs, or on file
// systems without user attributes) report the file system's birth time, or
// the last-write time where there is none. A malformed attribute is ignored.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include <string>

#include <windows.h>

#include "core/clock.h"

namespace w32rt::files {

struct FileInfo {
    DWORD attributes = 0;
    uint64_t creation = 0;  // FILETIME ticks
    uint64_t last_access = 0;
    uint64_t last_write = 0;
    uint64_t size = 0;
    bool directory = false;
    dev_t device = 0;
    ino_t inode = 0;
};

// Information of an open descriptor or of a path (links followed; a broken
// link describes the link itself). False with errno set on failure.
bool info_of_fd(int fd, FileInfo* info);
bool info_of_path(const std::string& path, FileInfo* info);

// The attributes alone (GetFileAttributesA): one stat, following a link
// as info_of_path does and falling back to a dangling link itself. False
// with errno set.
bool attributes_of_path(const std::string& path, DWORD* attributes);

// Stores a creation time on the file; false with errno set.
bool set_creation_time(int fd, uint64_t ticks);

// Stamps a file the runtime has just created with the clock's time, and,
// while the test clock is shifted, its access and write times too. Best
// effort: a file system without user attributes keeps its birth time.
void stamp_new_file(int fd);

// The attributes Windows would show for a file of this mode.
DWORD attributes_of_mode(mode_t mode);

// Fills the fields that WIN32_FILE_ATTRIBUTE_DATA and WIN32_FIND_DATAA
// share.
template <class Data>
void fill_attribute_data(const FileInfo& info, Data* data) {
    data->dwFileAttributes = info.attributes;
    data->ftCreationTime = clock::to_filetime(info.creation);
    data->ftLastAccessTime = clock::to_filetime(info.last_access);
    data->ftLastWriteTime = clock::to_filetime(info.last_write);
    data->nFileSizeHigh = DWORD(info.size >> 32);
    data->nFileSizeLow = DWORD(info.size);
}

}  // namespace w32rt::files
