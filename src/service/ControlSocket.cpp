#include "service/ControlSocket.h"

#include "core/linux/SafeFolder.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <vector>

namespace kt {

std::optional<gid_t> GroupId(const std::string& name) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (size_t{1} << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    return found != nullptr ? std::optional<gid_t>(entry.gr_gid) : std::nullopt;
}

bool StartedBySystemd() {
    const char* id = std::getenv("INVOCATION_ID");
    return id != nullptr && id[0] != '\0';
}

Handed TakeHandedSocket(const std::string& path, UniqueFd& fd, std::string& why) {
    // Unset: the helpers this process starts are not the ones the sockets were meant for.
    const int count = ::sd_listen_fds(1);
    if (count <= 0) {
        if (count < 0) {
            why =
                std::string("the sockets systemd passed cannot be read: ") + std::strerror(-count);
            return Handed::Refused;
        }
        return Handed::None;
    }
    // Each one is ours now, to keep or close; none goes on to a helper.
    std::vector<UniqueFd> passed;
    for (int i = 0; i < count; ++i) {
        passed.emplace_back(SD_LISTEN_FDS_START + i);
        ::fcntl(passed.back().Get(), F_SETFD, FD_CLOEXEC);
    }
    if (count != 1) {
        why = "systemd passed " + std::to_string(count) + " sockets; the service takes one";
        return Handed::Refused;
    }
    if (::sd_is_socket_unix(passed[0].Get(), SOCK_STREAM, 1, path.c_str(), 0) <= 0) {
        why = "the socket systemd passed is no listening Unix stream socket at " + path;
        return Handed::Refused;
    }
    ::fcntl(passed[0].Get(), F_SETFL, ::fcntl(passed[0].Get(), F_GETFL) | O_NONBLOCK);
    fd = std::move(passed[0]);
    return Handed::Taken;
}

UniqueFd MakeControlSocket(const std::string& path, const std::string& group, std::string& why) {
    const std::optional<gid_t> gid = GroupId(group);
    if (!gid) {
        why = "there is no group " + group + " (addgroup --system " + group + ")";
        return {};
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (name.empty() || path.size() >= sizeof address.sun_path) {
        why = path + " cannot be a socket's path (a file name, at most " +
              std::to_string(sizeof address.sun_path - 1) + " bytes)";
        return {};
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    UniqueFd dir;
    if (const FolderResult opened = OpenFolder(folder, false, true, dir); !opened.Ok()) {
        why = opened.reason;
        return {};
    }
    struct stat info {};
    if (::fstatat(dir.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            why = path + " is there and is no socket";
            return {};
        }
        // Left by a copy that ended, unless one still answers on it.
        const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (::connect(probe.Get(), at, sizeof address) == 0 || errno == EAGAIN) {
            why = "another copy listens on " + path;
            return {};
        }
        ::unlinkat(dir.Get(), name.c_str(), 0);
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid() || ::fchmod(fd.Get(), 0660) != 0 || ::bind(fd.Get(), at, sizeof address) != 0) {
        why = "binding " + path + ": " + std::strerror(errno);
        return {};
    }
    if (::fchownat(dir.Get(), name.c_str(), static_cast<uid_t>(-1), *gid, AT_SYMLINK_NOFOLLOW) !=
            0 ||
        ::fchmodat(dir.Get(), name.c_str(), 0660, 0) != 0 || ::listen(fd.Get(), 64) != 0) {
        why = "making " + path + " the group's: " + std::strerror(errno);
        ::unlinkat(dir.Get(), name.c_str(), 0);
        return {};
    }
    return fd;
}

} // namespace kt
