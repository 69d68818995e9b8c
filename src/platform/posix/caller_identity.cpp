#include "platform/caller_identity.h"
#include "platform/posix/subordinate_ids.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace velmora::vpn::platform {

// The kernel records the peer's credentials when it connects; they cannot
// change afterwards, whatever the peer does with its process or descriptor.
std::optional<CallerIdentity> connectingCaller(NativeHandle connection, SystemError& error) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        error = {"getsockopt(SO_PEERCRED)", static_cast<std::uint32_t>(errno), {}};
        return std::nullopt;
    }
    // A subordinate id is its owner for every share and for instance
    // ownership. Ids delegated to root or to the service's own user stay
    // users of their own: they must not reach the privileged callers'
    // instances.
    const uid_t owner = delegatingUser(peer.uid);
    const uid_t user = owner == 0 || owner == geteuid() ? peer.uid : owner;
    CallerIdentity caller{
        "uid " + std::to_string(user), peer.uid == 0 || peer.uid == geteuid(), {"gid " + std::to_string(peer.gid)}};
    // The supplementary groups, as the kernel recorded them at connect.
    std::vector<gid_t> groups(64);
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    int result = getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes);
    if (result != 0 && errno == ERANGE) {
        groups.resize(bytes / sizeof(gid_t));
        result = getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes);
    }
    if (result != 0) {
        error = {"getsockopt(SO_PEERGROUPS)", static_cast<std::uint32_t>(errno), {}};
        return std::nullopt;
    }
    groups.resize(bytes / sizeof(gid_t));
    for (const gid_t group : groups) caller.groups.push_back("gid " + std::to_string(group));
    return caller;
}

// Looked up once per connection: the record it would read again is the one
// read at connect.
std::optional<CallerIdentity> requestingCaller(NativeHandle, const CallerIdentity& connecting, SystemError&) {
    return connecting;
}

}  // namespace velmora::vpn::platform
