#pragma once

// The control socket's listening descriptor: the one systemd hands over, or one made here while
// the program still has the right to give it its group.

#include "core/linux/UniqueFd.h"

#include <sys/types.h>

#include <optional>
#include <string>

namespace kt {

std::optional<gid_t> GroupId(const std::string& name);

// Whether systemd started this process (it names the invocation).
bool StartedBySystemd();

enum class Handed {
    None,    // nothing was passed
    Taken,   // one listening Unix stream socket at the path, now in fd
    Refused, // something else was passed; why says what
};
// The sockets passed by the service manager (LISTEN_FDS, for this process only). Only one listening
// stream socket bound at path is taken; its path stays when it is closed.
Handed TakeHandedSocket(const std::string& path, UniqueFd& fd, std::string& why);

// A listening socket at path, born no wider than 0660 and given the group before it listens. Its
// folder must be root's (or ours) and no one else's; a socket left there by a copy that ended is
// replaced, one that answers is not. Giving another group the file needs CAP_CHOWN unless this
// process is in it.
UniqueFd MakeControlSocket(const std::string& path, const std::string& group, std::string& why);

} // namespace kt
