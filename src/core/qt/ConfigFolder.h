#pragma once

// The settings folder on Linux, reached once by path and from then on only through its descriptor,
// so that nothing swapped in between two steps (a symbolic link, another folder) is ever written.

#include "core/linux/SafeFolder.h"
#include "core/linux/UniqueFd.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

namespace kt {

struct FileContents {
    bool exists = false;
    std::string bytes;
    mode_t mode = 0600; // the permissions a replacement takes
};

class ConfigFolder {
public:
    // <root>/<name>, each folder on the way opened from the one before; with create, missing ones
    // are made (mode 0700). When privileged, no step may be a symbolic link, and the folder must
    // belong to root or this user and be writable by nobody else.
    static FolderResult Open(const std::string& root, std::string_view name, bool create,
                             bool privileged, ConfigFolder& folder);

    // Serialises saves across processes; waits no later than deadline.
    FolderResult Lock(std::chrono::steady_clock::time_point deadline);
    // Removes the scratch files that killed saves of file left behind: <file>.XXXXXX, regular
    // files only. Call it holding the lock.
    void RemoveScratchFiles(std::string_view file);
    // When privileged, a file that another user owns or may change is refused, as such a folder.
    FolderResult Read(std::string_view file, FileContents& contents) const;
    // Writes bytes beside file, flushes them and renames them over it: after a crash at any point
    // the folder holds either the old file or the whole new one.
    FolderResult Replace(std::string_view file, std::string_view bytes, mode_t mode);

    const std::string& Path() const { return FolderPath; }

private:
    UniqueFd Fd;
    std::string FolderPath;
    bool Privileged = false;
};

} // namespace kt
