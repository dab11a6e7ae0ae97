#include "core/qt/ConfigFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace kt {
namespace {

// Rule lists of a few thousand entries take kilobytes; anything this large is not ours.
constexpr off_t MaxFileBytes = 64 << 20;
constexpr int ScratchAttempts = 16;

bool IsScratchName(std::string_view name, std::string_view file) {
    return name.size() == file.size() + 7 && name.starts_with(file) && name[file.size()] == '.' &&
           std::all_of(name.end() - 6, name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

std::string Octal(mode_t mode) {
    char text[8] = {};
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool WriteWhole(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = written == 0 ? ENOSPC : errno;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// Unlinks a scratch file that never became the settings file.
class ScratchName {
public:
    ScratchName(int folder, std::string name) : Folder(folder), Name(std::move(name)) {}
    ~ScratchName() {
        if (!Name.empty()) {
            ::unlinkat(Folder, Name.c_str(), 0);
        }
    }
    ScratchName(const ScratchName&) = delete;
    ScratchName& operator=(const ScratchName&) = delete;
    void Keep() { Name.clear(); }

private:
    int Folder;
    std::string Name;
};

} // namespace

FolderResult ConfigFolder::Open(const std::string& root, std::string_view name, bool create,
                                bool privileged, ConfigFolder& folder) {
    const std::string path = root + '/' + std::string(name);
    UniqueFd fd;
    FolderResult result = OpenFolder(path, create, privileged, fd);
    if (result.Ok()) {
        folder.Fd = std::move(fd);
        folder.FolderPath = path;
        folder.Privileged = privileged;
    }
    return result;
}

FolderResult ConfigFolder::Lock(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono_literals;
    for (;;) {
        if (::flock(Fd.Get(), LOCK_EX | LOCK_NB) == 0) {
            return {};
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return FolderFailure("locking " + FolderPath, errno);
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return {FolderStatus::Failed, "another save in " + FolderPath + " did not end in time"};
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(10ms, deadline - now));
    }
}

void ConfigFolder::RemoveScratchFiles(std::string_view file) {
    // A description of its own, so that reading the entries moves no offset of Fd.
    UniqueFd listing(::openat(Fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* opened = listing.Valid() ? ::fdopendir(listing.Get()) : nullptr;
    if (opened == nullptr) {
        return;
    }
    listing.Release(); // the stream closes it
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(opened, ::closedir);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(entries.get())) {
        if (IsScratchName(entry->d_name, file)) {
            names.emplace_back(entry->d_name);
        }
    }
    for (const std::string& name : names) {
        struct stat info {};
        // unlinkat never follows a link; the check only spares what is not a scratch file.
        if (::fstatat(Fd.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            ::unlinkat(Fd.Get(), name.c_str(), 0);
        }
    }
}

FolderResult ConfigFolder::Read(std::string_view file, FileContents& contents) const {
    const std::string path = FolderPath + '/' + std::string(file);
    // Non-blocking, so that a pipe put in the file's place cannot stall the open.
    UniqueFd fd(
        ::openat(Fd.Get(), std::string(file).c_str(),
                 O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (Privileged ? O_NOFOLLOW : 0)));
    if (!fd.Valid()) {
        const int error = errno;
        if (Privileged && IsSymbolicLink(Fd.Get(), std::string(file).c_str())) {
            return {FolderStatus::Refused, path + " is a symbolic link"};
        }
        return FolderFailure(path, error);
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        return FolderFailure(path, errno);
    }
    if (!S_ISREG(info.st_mode) || info.st_size > MaxFileBytes) {
        return {FolderStatus::Failed,
                path + (S_ISREG(info.st_mode) ? " is too large" : " is not a regular file")};
    }
    // The file decides what gets cut: in a safe folder it must be as safe as the folder, judged by
    // what was opened, never by the name again.
    if (Privileged && info.st_uid != 0 && info.st_uid != ::geteuid()) {
        return {FolderStatus::Refused, path + " belongs to user " + std::to_string(info.st_uid) +
                                           ", not to root or this user"};
    }
    if (Privileged && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return {FolderStatus::Refused,
                path + " can be changed by other users (mode " + Octal(info.st_mode) + ")"};
    }
    contents.bytes.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return FolderFailure(path, errno);
        }
        if (got == 0) {
            break;
        }
        contents.bytes.append(buffer, static_cast<size_t>(got));
        if (static_cast<off_t>(contents.bytes.size()) > MaxFileBytes) {
            return {FolderStatus::Failed, path + " is too large"};
        }
    }
    contents.exists = true;
    contents.mode = info.st_mode & 0777;
    return {};
}

FolderResult ConfigFolder::Replace(std::string_view file, std::string_view bytes, mode_t mode) {
    static constexpr char Letters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device seed;
    std::uniform_int_distribution<size_t> pick(0, sizeof Letters - 2);
    const std::string path = FolderPath + '/' + std::string(file);
    std::string name;
    UniqueFd scratch;
    for (int attempt = 0; attempt < ScratchAttempts && !scratch.Valid(); ++attempt) {
        name = std::string(file) + '.';
        for (int i = 0; i < 6; ++i) {
            name += Letters[pick(seed)];
        }
        scratch = UniqueFd(::openat(Fd.Get(), name.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!scratch.Valid() && errno != EEXIST) {
            return FolderFailure("writing beside " + path, errno);
        }
    }
    if (!scratch.Valid()) {
        return FolderFailure("writing beside " + path, EEXIST);
    }
    ScratchName unlinkUnlessKept(Fd.Get(), name);
    struct stat written {};
    if (!WriteWhole(scratch.Get(), bytes) || ::fchmod(scratch.Get(), mode) != 0 ||
        ::fsync(scratch.Get()) != 0 || ::fstat(scratch.Get(), &written) != 0) {
        return FolderFailure("writing " + path, errno);
    }
    if (written.st_size != static_cast<off_t>(bytes.size())) {
        return FolderFailure("writing " + path, EIO);
    }
    if (::renameat(Fd.Get(), name.c_str(), Fd.Get(), std::string(file).c_str()) != 0) {
        return FolderFailure("replacing " + path, errno);
    }
    unlinkUnlessKept.Keep();
    // The rename itself reaches the disk only with the folder.
    if (::fsync(Fd.Get()) != 0 && errno == EIO) {
        return FolderFailure("flushing " + FolderPath, EIO);
    }
    return {};
}

} // namespace kt
