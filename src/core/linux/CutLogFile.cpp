// The cut log on Linux: cuts.log in a folder held open by descriptor, appended a whole line at a
// time (a line the disk cannot take whole is taken out again) and renamed to cuts.log.1 when full.

#include "core/CutLog.h"
#include "core/linux/SafeFolder.h"
#include "core/linux/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kt {
namespace {

constexpr const char* FileName = "cuts.log";
constexpr const char* OlderName = "cuts.log.1";

class FolderLogFile final : public LogFile {
public:
    FolderLogFile(UniqueFd folder, const std::string& folderPath, uint64_t capBytes)
        : Folder(std::move(folder)), FilePath(folderPath + '/' + FileName), Cap(capBytes) {}

    // Opens cuts.log, creating it; only a regular file of ours with no other name is used.
    bool Open() {
        File.Reset();
        UniqueFd fd(::openat(
            Folder.Get(), FileName,
            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600));
        if (!fd.Valid()) {
            const int error = errno;
            return IsSymbolicLink(Folder.Get(), FileName) ? Refuse(" is a symbolic link")
                                                          : Fail(FilePath, error);
        }
        struct stat info {};
        if (::fstat(fd.Get(), &info) != 0) {
            return Fail(FilePath, errno);
        }
        if (!S_ISREG(info.st_mode)) {
            return Refuse(" is not a regular file");
        }
        if (info.st_nlink != 1) {
            return Refuse(" has other names (hard links)");
        }
        if (info.st_uid != ::geteuid()) {
            return Refuse(" belongs to user " + std::to_string(info.st_uid));
        }
        File = std::move(fd);
        return true;
    }

    bool Append(std::string_view line) override {
        const std::string text = std::string(line) + '\n';
        struct stat info {};
        // Open again when the file is no longer at its name (removed or moved away by hand).
        if (!HeldAtName(info)) {
            if (!Open()) {
                return false;
            }
            if (::fstat(File.Get(), &info) != 0) {
                return Fail(FilePath, errno);
            }
        }
        const uint64_t size = static_cast<uint64_t>(info.st_size);
        if (size > 0 && size + text.size() > Cap) {
            if (::renameat(Folder.Get(), FileName, Folder.Get(), OlderName) != 0) {
                return Fail("renaming " + FilePath + " to " + OlderName, errno);
            }
            if (!Open()) {
                return false;
            }
        }
        struct stat before {};
        if (::fstat(File.Get(), &before) != 0) {
            return Fail(FilePath, errno);
        }
        for (size_t done = 0; done < text.size();) {
            const ssize_t written = ::write(File.Get(), text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                const int error = written < 0 ? errno : ENOSPC;
                // Half a line would have the next one appended to it: the file goes back to
                // where it stood (a full disk writes what fits, then fails).
                if (done > 0 && ::ftruncate(File.Get(), before.st_size) != 0) {
                    return Fail("taking a half-written line out of " + FilePath, errno);
                }
                return Fail("writing " + FilePath, error);
            }
            done += static_cast<size_t>(written);
        }
        return true;
    }

    std::string LastError() const override { return Error; }

private:
    bool HeldAtName(struct stat& held) const {
        struct stat named {};
        return File.Valid() && ::fstat(File.Get(), &held) == 0 &&
               ::fstatat(Folder.Get(), FileName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
               held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    }
    bool Fail(const std::string& what, int error) {
        Error = FolderFailure(what, error).reason;
        return false;
    }
    bool Refuse(const std::string& why) {
        Error = FilePath + why;
        return false;
    }

    UniqueFd Folder;
    const std::string FilePath;
    const uint64_t Cap;
    UniqueFd File;
    std::string Error;
};

} // namespace

std::unique_ptr<LogFile> OpenCutLogFileIn(const std::string& folder, std::string& whyNot,
                                          uint64_t capBytes) {
    UniqueFd fd;
    const FolderResult opened = OpenFolder(folder, true, RunsPrivileged(), fd);
    if (!opened.Ok()) {
        whyNot = opened.reason;
        return nullptr;
    }
    auto file = std::make_unique<FolderLogFile>(std::move(fd), folder, capBytes);
    if (!file->Open()) {
        whyNot = file->LastError();
        return nullptr;
    }
    return file;
}

std::unique_ptr<LogFile> OpenCutLogFile(std::string& whyNot, uint64_t capBytes) {
    const std::string folder = StateFolderPath();
    if (folder.empty()) {
        whyNot = "no folder for the cut log: neither STATE_DIRECTORY, XDG_STATE_HOME nor HOME "
                 "names one";
        return nullptr;
    }
    return OpenCutLogFileIn(folder, whyNot, capBytes);
}

} // namespace kt
