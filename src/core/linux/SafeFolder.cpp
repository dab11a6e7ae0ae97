#include "core/linux/SafeFolder.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace kt {
namespace {

std::string Octal(mode_t mode) {
    char text[8] = {};
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

} // namespace

std::string StateFolderPath() {
    const char* service = std::getenv("STATE_DIRECTORY");
    if (service != nullptr && service[0] == '/') {
        return std::string(service, std::strcspn(service, ":"));
    }
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/KorvanTessivo";
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state/KorvanTessivo"
                                             : std::string();
}

bool RunsPrivileged() {
    if (::geteuid() == 0) {
        return true;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    // When the capabilities cannot be read, the careful answer.
    return ::syscall(SYS_capget, &header, data) != 0 || data[0].effective != 0 ||
           data[1].effective != 0;
}

FolderResult FolderFailure(const std::string& what, int error) {
    return {error == ENOENT ? FolderStatus::Missing : FolderStatus::Failed,
            what + ": " + std::error_code(error, std::generic_category()).message()};
}

bool IsSymbolicLink(int folder, const char* name) {
    struct stat info {};
    return ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

FolderResult OpenFolder(const std::string& path, bool create, bool privileged, UniqueFd& folder) {
    const int follow = privileged ? O_NOFOLLOW : 0;
    UniqueFd current(::open(path.starts_with('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!current.Valid()) {
        return FolderFailure(path, errno);
    }
    std::string walked = path.starts_with('/') ? "" : ".";
    for (size_t begin = 0; begin < path.size();) {
        const size_t end = std::min(path.find('/', begin), path.size());
        const std::string part = path.substr(begin, end - begin);
        begin = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        walked += '/' + part;
        // Only the folder itself is read, locked and flushed; the rest is passed through.
        const int flags =
            (begin >= path.size() ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC | follow;
        int fd = ::openat(current.Get(), part.c_str(), flags);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.Get(), part.c_str(), 0700) != 0 && errno != EEXIST) {
                return FolderFailure("creating " + walked, errno);
            }
            fd = ::openat(current.Get(), part.c_str(), flags);
        }
        if (fd < 0) {
            const int error = errno;
            if (privileged && IsSymbolicLink(current.Get(), part.c_str())) {
                return {FolderStatus::Refused, walked + " is a symbolic link"};
            }
            return FolderFailure(walked, error);
        }
        current = UniqueFd(fd);
    }
    struct stat info {};
    if (::fstat(current.Get(), &info) != 0) {
        return FolderFailure(path, errno);
    }
    if (privileged && info.st_uid != 0 && info.st_uid != ::geteuid()) {
        return {FolderStatus::Refused, path + " belongs to user " + std::to_string(info.st_uid) +
                                           ", not to root or this user"};
    }
    if (privileged && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return {FolderStatus::Refused,
                path + " can be changed by other users (mode " + Octal(info.st_mode) + ")"};
    }
    folder = std::move(current);
    return {};
}

} // namespace kt
