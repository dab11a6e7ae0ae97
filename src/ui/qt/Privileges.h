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

// Gives up, in every thread of the process, every capability but the kept ones: from the
// effective, permitted, inheritable, ambient and bounding sets, and sets the no-root securebits,
// so that nothing this process runs later gets any back. Threads that cannot be reached (one
// that blocks every signal) make it fail. Empty when done, or when there was nothing to give up;
// else why not.
std::string KeepOnlyCapabilities(std::initializer_list<int> kept);

} // namespace kt
