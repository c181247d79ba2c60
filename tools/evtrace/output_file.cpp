#include "output_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <fmt/format.h>

#include "command.h"

namespace evtrace {

namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolder(const std::string& path) {
    int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

[[noreturn]] void FailWrite(const std::string& target, int error, bool untouched) {
    Fail(error == EACCES || error == EPERM ? exit_code::kDenied : exit_code::kFailed, target,
         std::string("cannot be written: ") + strerror(error),
         untouched ? "nothing was changed: an older file of that name is as it was" : "");
}

OutputTarget CheckOutput(const std::string& path) {
    if (path.empty()) Fail(exit_code::kUsage, "output", "an empty file name", "name the file to write");
    OutputTarget target;
    target.path = path;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) {
            Fail(exit_code::kFailed, path, std::string("is a link to what cannot be reached: ") + strerror(errno),
                 "give the file's own path");
        }
        target.path = resolved;
    }
    const std::string folder = FolderOf(target.path);
    if (::stat(target.path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            Fail(exit_code::kFailed, path, "is a folder", "give the name of a file to write (in that folder)");
        if (!S_ISREG(st.st_mode)) {
            target.device = true;
            if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) FailWrite(path, errno, true);
            return target;
        }
        target.exists = true;
        target.mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        FailWrite(path, errno, true);
    }
    struct stat dir;
    if (::stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode))
        Fail(exit_code::kNotFound, path, "its folder " + folder + " does not exist", "create the folder first");
    // The file is made beside the target and renamed over it: the folder
    // must take a new file.
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        Fail(exit_code::kDenied, path, "its folder " + folder + " cannot be written (" + strerror(errno) + ")",
             "choose a folder you may write, or ask its owner");
    return target;
}

OutputFile::OutputFile(const std::string& path) : target_(CheckOutput(path)) {
    if (target_.device) {
        fd_ = ::open(target_.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) FailWrite(target_.path, errno, true);
        return;
    }
    for (int attempt = 0; fd_ < 0; ++attempt) {
        temp_ = fmt::format("{}.{}-{}.tmp", target_.path, getpid(), attempt);
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && (errno != EEXIST || attempt == 16)) {
            int error = errno;
            temp_.clear();
            FailWrite(target_.path, error, true);
        }
    }
    if (target_.exists) ::fchmod(fd_, target_.mode);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void OutputFile::Failed(int error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    FailWrite(target_.path, error, !target_.device);
}

void OutputFile::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Failed(n < 0 ? errno : EIO);
        bytes.remove_prefix(size_t(n));
    }
}

void OutputFile::Commit() {
    if (target_.device) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    if (::fsync(fd_) != 0) Failed(errno);
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) Failed(errno);
    if (::rename(temp_.c_str(), target_.path.c_str()) != 0) Failed(errno);
    temp_.clear();
    SyncFolder(target_.path);
}

std::string ReadInputFile(const std::string& path, size_t limit) {
    const bool standardInput = path == "-";
    int fd = 0;
    if (!standardInput) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) Fail(exit_code::kNotFound, path, "does not exist");
            Fail(errno == EACCES ? exit_code::kDenied : exit_code::kFailed, path, strerror(errno));
        }
        if (S_ISDIR(st.st_mode)) Fail(exit_code::kBadData, path, "is a folder, not a file");
        if (S_ISREG(st.st_mode) && size_t(st.st_size) > limit)
            Fail(exit_code::kBadData, path, fmt::format("is {} bytes long; at most {} are taken", st.st_size, limit));
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) Fail(errno == EACCES ? exit_code::kDenied : exit_code::kFailed, path, strerror(errno));
    }
    // Devices and pipes have no size to check: read one byte past the limit.
    std::string bytes;
    char buffer[65536];
    int error = 0;
    while (bytes.size() <= limit) {
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit + 1 - bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        bytes.append(buffer, size_t(n));
    }
    if (!standardInput) ::close(fd);
    const std::string name = standardInput ? "standard input" : path;
    if (error != 0) Fail(exit_code::kFailed, name, std::string("cannot be read: ") + strerror(error));
    if (bytes.size() > limit) Fail(exit_code::kBadData, name, fmt::format("holds more than {} bytes", limit));
    return bytes;
}

}  // namespace evtrace
