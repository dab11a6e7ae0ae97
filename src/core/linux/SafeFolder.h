#pragma once

// Folders reached once by path and from then on only through their descriptors, so that nothing
// swapped in between two steps (a symbolic link, another folder) is ever written: the settings
// folder and the cut log's.

#include "core/linux/UniqueFd.h"

#include <string>

namespace kt {

// The program's state folder: a service's own ($STATE_DIRECTORY), else the user's
// ($XDG_STATE_HOME/KorvanTessivo, else ~/.local/state/KorvanTessivo); empty when none is named.
std::string StateFolderPath();

// Root, or any effective capability: then a folder someone else could change is not used.
bool RunsPrivileged();

enum class FolderStatus {
    Done,
    Missing, // the folder or file is not there (reading then gives the defaults)
    Refused, // using it would not be safe; stays so for the rest of the run
    Failed,  // this step failed; a later one may work
};

struct FolderResult {
    FolderStatus status = FolderStatus::Done;
    std::string reason; // in words for the user, unless Done

    bool Ok() const { return status == FolderStatus::Done; }
};

// "<what>: <the error in words>", Missing for ENOENT and Failed otherwise.
FolderResult FolderFailure(const std::string& what, int error);

bool IsSymbolicLink(int folder, const char* name);

// Opens path, each folder on the way from the one before (from "/" or the working folder); with
// create, missing ones are made (mode 0700). When privileged, no step may be a symbolic link, and
// the folder must belong to root or this user and be writable by nobody else. The folder itself is
// opened for reading, the ones on the way only as paths.
FolderResult OpenFolder(const std::string& path, bool create, bool privileged, UniqueFd& folder);

} // namespace kt
