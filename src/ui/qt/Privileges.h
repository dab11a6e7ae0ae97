#pragma once

#include <initializer_list>
#include <string>

namespace kt {

struct DroppedRights {
    std::string said; // empty when the program was not started in secure mode
    bool ok = true;   // false when the rights could not be given up: the program must stop
};

// A program started in secure mode (file capabilities or set-id bits) runs with rights its user
// does not have, while Qt loads plugins from paths that user's environment names: it gives up
// every capability and set-id before Qt starts. Rights a service manager grants (ambient
// capabilities) do not set secure mode and are kept.
DroppedRights DropRightsInSecureMode();

// Lowers, in every thread of the process, the effective and permitted sets to the kept
// capabilities it holds, and empties the inheritable and ambient sets: none of that needs a right.
// Where the process holds CAP_SETPCAP it also lowers the bounding set and sets the no-root
// securebits; where not, it sets no_new_privs, so that nothing it runs later gets any back either
// way. A thread that blocks the signal which reaches it is waited for a second, then left to give
// them up when it takes the signal. Empty when done, or when there was nothing to give up; else
// why not. Call it again with fewer to keep as steps that needed more are done.
std::string KeepOnlyCapabilities(std::initializer_list<int> kept);

} // namespace kt
